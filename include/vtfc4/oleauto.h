// Late binding: the type library interfaces (ITypeLib, ITypeInfo) with the descriptions they
// hand out, the VARIANT conversions, and the loading and registration of type libraries, as
// far as a scripting bridge needs them. Slot orders, field orders and constants are the
// platform's.
#ifndef VTFC4_OLEAUTO_H
#define VTFC4_OLEAUTO_H

#include "vtfc4/com.h"

typedef LONG MEMBERID;
typedef DWORD HREFTYPE;
typedef LONG SCODE;

#define MEMBERID_NIL DISPID_UNKNOWN
#define DISPID_PROPERTYPUT (-3)

#define DISP_E_PARAMNOTFOUND VTFC4_HR(0x80020004)
#define DISP_E_TYPEMISMATCH VTFC4_HR(0x80020005)
#define DISP_E_NONAMEDARGS VTFC4_HR(0x80020007)
#define DISP_E_EXCEPTION VTFC4_HR(0x80020009)
#define DISP_E_OVERFLOW VTFC4_HR(0x8002000A)
#define DISP_E_BADPARAMCOUNT VTFC4_HR(0x8002000E)
#define DISP_E_PARAMNOTOPTIONAL VTFC4_HR(0x8002000F)
#define TYPE_E_ELEMENTNOTFOUND VTFC4_HR(0x8002802B)
#define TYPE_E_LIBNOTREGISTERED VTFC4_HR(0x8002801D)
#define TYPE_E_CANTLOADLIBRARY VTFC4_HR(0x80029C4A)
#define TYPE_E_INVALIDSTATE VTFC4_HR(0x80028029)
#define TYPE_E_REGISTRYACCESS VTFC4_HR(0x8002801C)

enum TYPEKIND {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
  TKIND_ALIAS = 6,
  TKIND_UNION = 7,
};
enum INVOKEKIND { INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4, INVOKE_PROPERTYPUTREF = 8 };
enum FUNCKIND { FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL = 1, FUNC_NONVIRTUAL = 2, FUNC_STATIC = 3, FUNC_DISPATCH = 4 };
enum CALLCONV { CC_FASTCALL = 0, CC_CDECL = 1, CC_STDCALL = 4 };
enum VARKIND { VAR_PERINSTANCE = 0, VAR_STATIC = 1, VAR_CONST = 2, VAR_DISPATCH = 3 };
enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

#define TYPEFLAG_FAPPOBJECT 0x1
#define TYPEFLAG_FCANCREATE 0x2
#define TYPEFLAG_FHIDDEN 0x10
#define TYPEFLAG_FDUAL 0x40
#define TYPEFLAG_FOLEAUTOMATION 0x100
#define TYPEFLAG_FDISPATCHABLE 0x1000
#define IMPLTYPEFLAG_FDEFAULT 0x1
#define PARAMFLAG_NONE 0x0
#define PARAMFLAG_FIN 0x1
#define PARAMFLAG_FOUT 0x2
#define PARAMFLAG_FRETVAL 0x8
#define PARAMFLAG_FOPT 0x10

struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR, VT_SAFEARRAY: what it points to, what it holds
    HREFTYPE hreftype;  // VT_USERDEFINED: the type, through GetRefTypeInfo
  };
  VARTYPE vt;
};

struct PARAMDESC {
  void* pparamdescex;
  USHORT wParamFlags;
};

struct ELEMDESC {
  TYPEDESC tdesc;
  PARAMDESC paramdesc;
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
};

struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;  // the function's offset in the vtable, in bytes
  SHORT cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};

struct VARDESC {
  MEMBERID memid;
  LPOLESTR lpstrSchema;
  union {
    ULONG oInst;
    VARIANT* lpvarValue;  // VAR_CONST: an enumeration's value
  };
  ELEMDESC elemdescVar;
  WORD wVarFlags;
  VARKIND varkind;
};

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

struct ITypeLib;

struct ITypeInfo : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual HRESULT GetTypeComp(IUnknown** comp) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** desc) = 0;
  virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  virtual HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* exception, UINT* argError) = 0;
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) = 0;
  virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND kind, BSTR* dll, BSTR* name, WORD* ordinal) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
  virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND kind, void** address) = 0;
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT GetMops(MEMBERID memid, BSTR* mops) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  virtual void ReleaseVarDesc(VARDESC* desc) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : public IUnknown {
  typedef IUnknown base_interface;
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** attr) = 0;
  virtual HRESULT GetTypeComp(IUnknown** comp) = 0;
  virtual HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) = 0;
  virtual HRESULT IsName(LPOLESTR name, ULONG hash, BOOL* found) = 0;
  virtual HRESULT FindName(LPOLESTR name, ULONG hash, ITypeInfo** infos, MEMBERID* ids, USHORT* found) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* attr) = 0;

 protected:
  ~ITypeLib() = default;
};

extern "C" {
VTFC4_API extern const IID IID_ITypeInfo;
VTFC4_API extern const IID IID_ITypeLib;
// The type library VTFC4Lib.
VTFC4_API extern const GUID LIBID_VTFC4Lib;

// Copies a VARIANT: a BSTR and an array are duplicated, an interface gets a reference.
VTFC4_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts `src` to type `vt` into `dest` (which may be `src`), as automation converts
// arguments: numbers, booleans, dates and texts into one another (texts in the C locale; a
// date as "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS"), IDispatch and IUnknown by QueryInterface, a
// by-reference value as what it points to. DISP_E_TYPEMISMATCH when there is no conversion,
// DISP_E_OVERFLOW when the value does not fit.
VTFC4_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// A type library from a file: the text a build writes beside the library (vtfc4.tlb), or a
// module that carries one (libvtfc4.so gives its own).
VTFC4_API HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** out);
// The type library registered under `guid` and version, through the registry file.
VTFC4_API HRESULT LoadRegTypeLib(REFGUID guid, WORD major, WORD minor, LCID lcid, ITypeLib** out);
// Writes TypeLib\{guid}\major.minor: its description, the file for locale 0 and the
// platform (0\linux64), its flags and its help folder.
VTFC4_API HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir);
// Removes what RegisterTypeLib wrote for that identifier and version.
VTFC4_API HRESULT UnRegisterTypeLib(REFGUID guid, WORD major, WORD minor, LCID lcid, SYSKIND syskind);
}

VTFC4_IID_TRAIT(ITypeInfo)
VTFC4_IID_TRAIT(ITypeLib)

#endif  // VTFC4_OLEAUTO_H
