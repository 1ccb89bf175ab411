// Internal: type libraries in memory, read from the text a build writes (vtfc4.tlb, also
// carried inside the library), and late binding driven by them.
//
// The text has one item per line, fields separated by tabs:
//   library  NAME {LIBID} MAJOR MINOR HELP
//   enum     NAME                  followed by  value NAME NUMBER  lines
//   interface NAME {IID} BASE      followed by  function NAME DISPID KIND SLOT  lines, each
//                                  followed by  param NAME TYPE FLAGS  lines
//   coclass  NAME {CLSID} DEFAULT-INTERFACE
// KIND is method, propget or propput; SLOT the function's index in the vtable (from 7, after
// IUnknown and IDispatch); TYPE BSTR, LONG, SHORT, VARIANT_BOOL, DATE, double, float,
// SAFEARRAY(BSTR), an enumeration's name, or an interface's name with '*'; FLAGS in, out or
// out,retval. Lines starting with '#' are comments.
#ifndef VTFC4_SRC_COM_TYPELIB_H
#define VTFC4_SRC_COM_TYPELIB_H

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vtfc4/oleauto.h"

namespace vtfc4 {

struct TypeParam {
  std::string name, type;
  VARTYPE vt = VT_EMPTY;  // as late binding passes it: VT_I4 for an enumeration, VT_DISPATCH for an interface
  int ref = -1;           // the enumeration's or interface's type, or -1
  bool out = false, retval = false;
};

struct TypeFunction {
  std::string name;
  DISPID dispid = 0;
  INVOKEKIND kind = INVOKE_FUNC;
  int slot = 0;
  std::vector<TypeParam> params;
  int caller = -1;  // the caller of its argument shape
  FUNCDESC desc{};
};

struct TypeEntry {
  TYPEKIND kind = TKIND_INTERFACE;
  std::string name;
  GUID guid{};
  std::string baseName;  // an interface's base; a class's default interface
  int base = -1;
  std::vector<TypeFunction> functions;
  std::vector<std::pair<std::string, LONG>> values;  // an enumeration's
  std::vector<VARIANT> valueVariants;
  std::vector<VARDESC> valueDescs;
  TYPEATTR attr{};
};

class TypeLibrary {
 public:
  // Reads a type library's text; null with `error` set when it is not one.
  static std::shared_ptr<TypeLibrary> Read(std::string_view text, std::string& error);

  std::string name, help;
  GUID libid{};
  WORD major = 0, minor = 0;
  std::vector<TypeEntry> types;

  int Find(const GUID& guid) const;
  int FindName(std::string_view wanted) const;
  // The function of interface `type` (or of its bases) that answers `dispid` for `flags`.
  const TypeFunction* Function(int type, DISPID dispid, WORD flags) const;

 private:
  std::deque<TYPEDESC> descs_;  // the TYPEDESCs that pointers of other ones refer to
  std::deque<std::vector<ELEMDESC>> elems_;
  std::map<std::string, int> byName_;
  struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
  };
  std::map<GUID, int, GuidLess> byGuid_;
  TYPEDESC Describe(const TypeParam& p, bool pointer);
  friend class TypeLibraryBuilder;
};

// The type library the library carries (VTFC4Lib), read once.
const std::shared_ptr<TypeLibrary>& BuiltInTypeLibrary();

// ITypeLib and ITypeInfo objects over a type library.
HRESULT NewTypeLib(std::shared_ptr<TypeLibrary> lib, ITypeLib** out);
HRESULT NewTypeInfo(std::shared_ptr<TypeLibrary> lib, int type, ITypeInfo** out);

// Late binding on `self` (an interface pointer of interface `type` of `lib`): names to
// dispatch identifiers (the member, then its parameters' positions), and calls.
HRESULT DispatchIDsOfNames(const TypeLibrary& lib, int type, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispatchInvoke(const TypeLibrary& lib, int type, void* self, DISPID dispid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argError);


}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_TYPELIB_H
