// The COM-compatible layer of vtFC4: the types, status codes, strings, identifiers, base
// interfaces and error objects of an automation server, with Windows' binary conventions
// where a client can observe them (BSTR layout, VARIANT_BOOL, DATE, 32-bit enums).
#ifndef VTFC4_COM_H
#define VTFC4_COM_H

#include <cstddef>
#include <cstdint>

#if defined(VTFC4_BUILDING_LIBRARY)
#define VTFC4_API __attribute__((visibility("default")))
#else
#define VTFC4_API
#endif

// ---- Fixed-width types. C++ `long` is never used in an interface: it is 64-bit here.
typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t INT;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef int32_t DISPID;
typedef uint32_t LCID;
typedef uint16_t VARTYPE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// ---- Status codes.
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define VTFC4_HR(x) ((HRESULT)(uint32_t)(x))
#define S_OK VTFC4_HR(0x00000000)
#define S_FALSE VTFC4_HR(0x00000001)
#define E_NOTIMPL VTFC4_HR(0x80004001)
#define E_NOINTERFACE VTFC4_HR(0x80004002)
#define E_POINTER VTFC4_HR(0x80004003)
#define E_ABORT VTFC4_HR(0x80004004)
#define E_FAIL VTFC4_HR(0x80004005)
#define E_UNEXPECTED VTFC4_HR(0x8000FFFF)
#define E_OUTOFMEMORY VTFC4_HR(0x8007000E)
#define E_INVALIDARG VTFC4_HR(0x80070057)
#define CLASS_E_NOAGGREGATION VTFC4_HR(0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE VTFC4_HR(0x80040111)
#define REGDB_E_CLASSNOTREG VTFC4_HR(0x80040154)
#define CO_E_CLASSSTRING VTFC4_HR(0x800401F3)
#define DISP_E_UNKNOWNNAME VTFC4_HR(0x80020006)
#define DISP_E_MEMBERNOTFOUND VTFC4_HR(0x80020003)
#define DISP_E_BADINDEX VTFC4_HR(0x8002000B)
#define DISP_E_ARRAYISLOCKED VTFC4_HR(0x8002000D)
#define DISP_E_BADVARTYPE VTFC4_HR(0x80020008)

// ---- GUIDs.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

extern "C" {
VTFC4_API extern const GUID GUID_NULL;
VTFC4_API extern const IID IID_NULL;
VTFC4_API extern const IID IID_IUnknown;
VTFC4_API extern const IID IID_IDispatch;
VTFC4_API extern const IID IID_IClassFactory;
VTFC4_API extern const IID IID_ISupportErrorInfo;
VTFC4_API extern const IID IID_IErrorInfo;
VTFC4_API extern const IID IID_ICreateErrorInfo;
}

// ---- BSTR: UTF-16 text, preceded by its length in bytes (4 bytes) and followed by a NUL.
// A null BSTR and an empty BSTR ("") are different values.
extern "C" {
VTFC4_API BSTR SysAllocString(const OLECHAR* text);
VTFC4_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
VTFC4_API BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength);
VTFC4_API int SysReAllocString(BSTR* target, const OLECHAR* text);
VTFC4_API void SysFreeString(BSTR text);
VTFC4_API UINT SysStringLen(BSTR text);
VTFC4_API UINT SysStringByteLen(BSTR text);

// GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hexadecimal digits in either case.
VTFC4_API HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out);
VTFC4_API HRESULT IIDFromString(LPCOLESTR text, IID* out);
// Writes the braced upper-case form (38 characters and a NUL); returns the characters
// written including the NUL, or 0 when `max` is too small.
VTFC4_API int StringFromGUID2(REFGUID guid, LPOLESTR out, int max);
}

// ---- Creating objects by class identifier, through the registry file (HKEY_CLASSES_ROOT
// only) that VTFC4_REGISTRY names (default $XDG_CONFIG_HOME/vtfc4/registry). An in-process
// server is found under CLSID\{...}\InprocServer32 and loaded with dlopen.
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define REGDB_E_CLASSNOTREG VTFC4_HR(0x80040154)
#define CO_E_DLLNOTFOUND VTFC4_HR(0x800401F8)
#define CO_E_ERRORINDLL VTFC4_HR(0x800401F9)
#define CO_E_CLASSSTRING VTFC4_HR(0x800401F3)

// ---- Interfaces. Slots are declared in the documented order.
struct ITypeInfo;
struct IErrorInfo;

struct IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Argument shapes of late binding.
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_USERDEFINED = 29,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// One-dimensional arrays are all the library hands out (lists of BSTR).
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1, wReserved2, wReserved3;
  union {
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    struct IDispatch* pdispVal;
    SAFEARRAY* parray;
    void* byref;  // VT_BYREF: what the typed pointers below point to
    BSTR* pbstrVal;
    LONG* plVal;
    SHORT* piVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    DATE* pdate;
    IUnknown** ppunkVal;
    struct IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    struct VARIANT* pvarVal;
  };
};
typedef VARIANT VARIANTARG;

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  HRESULT scode;
};

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPID_UNKNOWN (-1)

struct IDispatch : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* dispids) = 0;
  virtual HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argError) = 0;

 protected:
  ~IDispatch() = default;
};

struct IClassFactory : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct ISupportErrorInfo : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

struct IErrorInfo : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
  virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;

 protected:
  ~IErrorInfo() = default;
};

struct ICreateErrorInfo : public IUnknown {
  typedef IUnknown base_interface;
  virtual HRESULT SetGUID(REFGUID guid) = 0;
  virtual HRESULT SetSource(LPOLESTR source) = 0;
  virtual HRESULT SetDescription(LPOLESTR description) = 0;
  virtual HRESULT SetHelpFile(LPOLESTR helpFile) = 0;
  virtual HRESULT SetHelpContext(DWORD helpContext) = 0;

 protected:
  ~ICreateErrorInfo() = default;
};

extern "C" {
// One current error object per thread. SetErrorInfo releases the old object and holds the
// new one; GetErrorInfo hands the object over to the caller and clears the slot (S_FALSE and a
// null pointer when there is none). The `reserved` arguments must be 0.
VTFC4_API HRESULT CreateErrorInfo(ICreateErrorInfo** out);
// The class factory of `clsid` from its registered in-process server.
VTFC4_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** out);
// A new object of `clsid` (in-process servers; other contexts are not registered here).
VTFC4_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** out);
// The class identifier that a ProgID names in the registry.
VTFC4_API HRESULT CLSIDFromProgID(LPCOLESTR progID, CLSID* out);
// Puts a created object into its running state; an in-process object always is.
VTFC4_API HRESULT OleRun(IUnknown* object);
VTFC4_API HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
VTFC4_API HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out);

// Arrays: one dimension, elements of VT_BSTR (each owned by the array).
VTFC4_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
VTFC4_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
VTFC4_API UINT SafeArrayGetDim(SAFEARRAY* array);
VTFC4_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
VTFC4_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
// As on the platform: for Put, `value` is the BSTR itself and the array stores a copy; for
// Get, `value` points to a BSTR variable that receives a copy.
VTFC4_API HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value);
VTFC4_API HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* value);

VTFC4_API void VariantInit(VARIANT* v);
VTFC4_API HRESULT VariantClear(VARIANT* v);

// The calling thread's narrow code page (an iconv name such as "WINDOWS-1252" or "UTF-8").
// Every conversion between BSTR and the library's narrow text uses it; byte values 0x80 to
// 0xFF written as character references are bytes of this code page. The default is
// Windows-1252. Returns E_INVALIDARG when iconv does not know the name.
VTFC4_API HRESULT SetThreadCodePage(const char* iconvName);
VTFC4_API const char* GetThreadCodePage(void);
}

// Interface identifiers for templates: iid_of<IFoo>() is IID_IFoo.
namespace vtfc4 {
template <class I>
const IID& iid_of();
}
#define VTFC4_IID_TRAIT(I) \
  template <>              \
  inline const IID& vtfc4::iid_of<I>() { return IID_##I; }

VTFC4_IID_TRAIT(IUnknown)
VTFC4_IID_TRAIT(IDispatch)
VTFC4_IID_TRAIT(IClassFactory)
VTFC4_IID_TRAIT(ISupportErrorInfo)
VTFC4_IID_TRAIT(IErrorInfo)
VTFC4_IID_TRAIT(ICreateErrorInfo)

#endif  // VTFC4_COM_H
