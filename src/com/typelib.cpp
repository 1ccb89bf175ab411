#include "src/com/typelib.h"

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "src/com/object.h"
#include "src/com/registry.h"
#include "src/com/text.h"
#include "vtfc4/comptr.h"

extern "C" {
VTFC4_API extern const GUID LIBID_VTFC4Lib =
#include "vtfc4/gen/typelib_libid.inc"
    ;
}

namespace vtfc4 {
namespace {

// The library's own type library, as the build wrote it, in pieces.
constexpr const char* kBuiltIn[] = {
#include "vtfc4/gen/typelib_text.inc"
};

// ---- Callers: the function at a vtable slot, called with arguments of one shape.

union Argument {
  void* p;
  int32_t i;
  double d;
  float f;
};
using Caller = HRESULT (*)(void* self, void* fn, const Argument* args);
struct ShapeCaller {
  const char* shape;
  Caller call;
};
constexpr ShapeCaller kCallers[] = {
#include "vtfc4/gen/typelib_calls.inc"
};

char ArgumentClass(const TypeParam& p) {
  if (p.out) return 'p';
  switch (p.vt) {
    case VT_I4:
    case VT_I2:
    case VT_BOOL: return 'i';
    case VT_R8:
    case VT_DATE: return 'd';
    case VT_R4: return 'f';
    default: return 'p';
  }
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

bool ReadGuid(const std::string& text, GUID& out) {
  const std::u16string wide(text.begin(), text.end());
  return CLSIDFromString(wide.c_str(), &out) == S_OK;
}

std::string Fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

VARTYPE ScalarType(const std::string& type) {
  if (type == "BSTR") return VT_BSTR;
  if (type == "LONG") return VT_I4;
  if (type == "SHORT") return VT_I2;
  if (type == "VARIANT_BOOL") return VT_BOOL;
  if (type == "DATE") return VT_DATE;
  if (type == "double") return VT_R8;
  if (type == "float") return VT_R4;
  if (type == "SAFEARRAY(BSTR)") return VT_ARRAY | VT_BSTR;
  return VT_EMPTY;
}

}  // namespace

// ---- Reading a type library.

int TypeLibrary::Find(const GUID& guid) const {
  const auto it = byGuid_.find(guid);
  return it == byGuid_.end() ? -1 : it->second;
}

int TypeLibrary::FindName(std::string_view wanted) const {
  const auto it = byName_.find(std::string(wanted));
  return it == byName_.end() ? -1 : it->second;
}

TYPEDESC TypeLibrary::Describe(const TypeParam& p, bool pointer) {
  TYPEDESC d{};
  if (p.vt == (VT_ARRAY | VT_BSTR)) {
    descs_.push_back({});
    descs_.back().vt = VT_BSTR;
    d.vt = VT_SAFEARRAY;
    d.lptdesc = &descs_.back();
  } else if (p.ref >= 0) {
    d.vt = VT_USERDEFINED;
    d.hreftype = static_cast<HREFTYPE>(p.ref);
    if (types[static_cast<size_t>(p.ref)].kind != TKIND_ENUM) {  // an interface pointer
      descs_.push_back(d);
      d = {};
      d.vt = VT_PTR;
      d.lptdesc = &descs_.back();
    }
  } else {
    d.vt = p.vt;
  }
  if (!pointer) return d;
  descs_.push_back(d);
  TYPEDESC ptr{};
  ptr.vt = VT_PTR;
  ptr.lptdesc = &descs_.back();
  return ptr;
}

std::shared_ptr<TypeLibrary> TypeLibrary::Read(std::string_view text, std::string& error) {
  auto lib = std::make_shared<TypeLibrary>();
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(number) + " of the type library: " + why;
    return nullptr;
  };
  bool haveLibrary = false;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = Fields(line);
    const std::string& item = f[0];
    if (item == "library" && f.size() == 6) {
      if (!ReadGuid(f[2], lib->libid)) return fail("a bad library identifier");
      lib->name = f[1];
      lib->major = static_cast<WORD>(std::atoi(f[3].c_str()));
      lib->minor = static_cast<WORD>(std::atoi(f[4].c_str()));
      lib->help = f[5];
      haveLibrary = true;
    } else if ((item == "enum" && f.size() == 2) || ((item == "interface" || item == "coclass") && f.size() == 4)) {
      TypeEntry t;
      t.kind = item == "enum" ? TKIND_ENUM : item == "interface" ? TKIND_DISPATCH : TKIND_COCLASS;
      t.name = f[1];
      if (item != "enum" && !ReadGuid(f[2], t.guid)) return fail("a bad identifier of " + t.name);
      if (item != "enum") t.baseName = f[3];
      if (item != "enum") lib->byGuid_[t.guid] = static_cast<int>(lib->types.size());
      lib->byName_[t.name] = static_cast<int>(lib->types.size());
      lib->types.push_back(std::move(t));
    } else if (item == "value" && f.size() == 3 && !lib->types.empty() && lib->types.back().kind == TKIND_ENUM) {
      lib->types.back().values.emplace_back(f[1], static_cast<LONG>(std::strtol(f[2].c_str(), nullptr, 10)));
    } else if (item == "function" && f.size() == 5 && !lib->types.empty() && lib->types.back().kind == TKIND_DISPATCH) {
      TypeFunction fn;
      fn.name = f[1];
      fn.dispid = static_cast<DISPID>(std::atoi(f[2].c_str()));
      fn.kind = f[3] == "propget" ? INVOKE_PROPERTYGET : f[3] == "propput" ? INVOKE_PROPERTYPUT : INVOKE_FUNC;
      if (f[3] != "method" && fn.kind == INVOKE_FUNC) return fail("an unknown kind of function " + f[3]);
      fn.slot = std::atoi(f[4].c_str());
      lib->types.back().functions.push_back(std::move(fn));
    } else if (item == "param" && f.size() == 4 && !lib->types.empty() && !lib->types.back().functions.empty()) {
      TypeParam p;
      p.name = f[1];
      p.type = f[2];
      p.out = f[3].rfind("out", 0) == 0;
      p.retval = f[3] == "out,retval";
      if (!p.out && f[3] != "in") return fail("unknown parameter flags " + f[3]);
      lib->types.back().functions.back().params.push_back(std::move(p));
    } else {
      return fail("cannot read \"" + line.substr(0, 60) + "\"");
    }
  }
  if (!haveLibrary) return fail("no library line");

  // References by name, descriptions and callers, now that every type is known.
  for (size_t i = 0; i < lib->types.size(); ++i) {
    TypeEntry& t = lib->types[i];
    if (t.kind != TKIND_ENUM) {
      t.base = lib->FindName(t.baseName);
      if (t.base < 0 && t.baseName != "IDispatch") return fail(t.name + " names an unknown type " + t.baseName);
    }
    for (const auto& [name, value] : t.values) {
      VARIANT v;
      v.vt = VT_I4;
      v.lVal = value;
      t.valueVariants.push_back(v);
    }
    for (TypeFunction& fn : t.functions) {
      std::string shape;
      for (TypeParam& p : fn.params) {
        p.vt = ScalarType(p.type);
        if (p.vt == VT_EMPTY) {
          const bool pointer = !p.type.empty() && p.type.back() == '*';
          p.ref = lib->FindName(pointer ? p.type.substr(0, p.type.size() - 1) : p.type);
          if (pointer)
            p.vt = p.type == "IUnknown*" ? VT_UNKNOWN : VT_DISPATCH;  // an interface not in the library is a dispatch one
          else if (p.ref >= 0 && lib->types[static_cast<size_t>(p.ref)].kind == TKIND_ENUM)
            p.vt = VT_I4;
          else
            return fail(fn.name + " has a parameter of unknown type " + p.type);
        }
        shape += ArgumentClass(p);
      }
      for (size_t c = 0; c < std::size(kCallers); ++c)
        if (shape == kCallers[c].shape) fn.caller = static_cast<int>(c);
      // A library read from a file may have shapes this build cannot call; they stay
      // described, and calling them is refused.
    }
  }
  for (size_t i = 0; i < lib->types.size(); ++i) {
    TypeEntry& t = lib->types[i];
    for (TypeFunction& fn : t.functions) {
      std::vector<ELEMDESC> elems;
      ELEMDESC result{};
      result.tdesc.vt = VT_HRESULT;
      for (const TypeParam& p : fn.params) {
        ELEMDESC e{};
        e.tdesc = lib->Describe(p, p.out);
        e.paramdesc.wParamFlags = static_cast<USHORT>(p.out ? PARAMFLAG_FOUT : PARAMFLAG_FIN);
        if (p.retval) e.paramdesc.wParamFlags |= PARAMFLAG_FRETVAL;
        elems.push_back(e);
      }
      lib->elems_.push_back(std::move(elems));
      FUNCDESC& d = fn.desc;
      d.memid = fn.dispid;
      d.lprgelemdescParam = lib->elems_.back().empty() ? nullptr : lib->elems_.back().data();
      d.funckind = FUNC_PUREVIRTUAL;
      d.invkind = fn.kind;
      d.callconv = CC_CDECL;
      d.cParams = static_cast<SHORT>(fn.params.size());
      d.oVft = static_cast<SHORT>(fn.slot * sizeof(void*));
      d.elemdescFunc = result;
    }
    for (size_t v = 0; v < t.values.size(); ++v) {
      VARDESC d{};
      d.memid = static_cast<MEMBERID>(v);
      d.lpvarValue = &t.valueVariants[v];
      d.elemdescVar.tdesc.vt = VT_I4;
      d.varkind = VAR_CONST;
      t.valueDescs.push_back(d);
    }
    TYPEATTR& a = t.attr;
    a.guid = t.guid;
    a.memidConstructor = a.memidDestructor = MEMBERID_NIL;
    a.typekind = t.kind;
    a.cFuncs = static_cast<WORD>(t.functions.size());
    a.cVars = static_cast<WORD>(t.values.size());
    a.cImplTypes = t.kind == TKIND_ENUM ? 0 : 1;
    a.cbAlignment = alignof(void*);
    a.wMajorVerNum = lib->major;
    a.wMinorVerNum = lib->minor;
    if (t.kind == TKIND_DISPATCH) {
      a.wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;
      int slots = 7;
      for (const TypeFunction& fn : t.functions) slots = std::max(slots, fn.slot + 1);
      a.cbSizeVft = static_cast<WORD>(slots * sizeof(void*));
    } else if (t.kind == TKIND_COCLASS) {
      a.wTypeFlags = TYPEFLAG_FCANCREATE;
    }
  }
  return lib;
}

const std::shared_ptr<TypeLibrary>& BuiltInTypeLibrary() {
  static const std::shared_ptr<TypeLibrary> lib = [] {
    std::string text, error;
    for (const char* piece : kBuiltIn) text += piece;
    auto read = TypeLibrary::Read(text, error);
    if (!read) std::abort();  // the build wrote it: a failure here is a fault of the build
    return read;
  }();
  return lib;
}

const TypeFunction* TypeLibrary::Function(int type, DISPID dispid, WORD flags) const {
  for (int t = type; t >= 0; t = types[static_cast<size_t>(t)].base) {
    for (const TypeFunction& fn : types[static_cast<size_t>(t)].functions) {
      if (fn.dispid != dispid) continue;
      const bool put = fn.kind == INVOKE_PROPERTYPUT;
      // A property is read by a get (or by a call, as some clients do); a method is called,
      // or read when it returns a value.
      if ((flags & (DISPATCH_PROPERTYPUT)) ? put : !put && (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)))
        return &fn;
    }
  }
  return nullptr;
}

// ---- ITypeInfo and ITypeLib.

namespace {

// A reference-counted object that holds the module while it lives.
template <class I>
class Counted : public I {
 public:
  Counted() { ModuleLockCount().fetch_add(1, std::memory_order_relaxed); }
  virtual ~Counted() { ModuleLockCount().fetch_sub(1, std::memory_order_relaxed); }
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, iid_of<I>())) return E_NOINTERFACE;
    *out = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> count_{0};
};

HRESULT Hand(ITypeInfo* made, ITypeInfo** out) {
  made->AddRef();
  *out = made;
  return S_OK;
}

BSTR Wide(const std::string& text) {
  const std::u16string w = WideFromUtf8(text);
  return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

class CTypeInfo final : public Counted<ITypeInfo> {
 public:
  CTypeInfo(std::shared_ptr<TypeLibrary> lib, int type) : lib_(std::move(lib)), type_(type) {}

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &Mutable().attr;  // the library owns it; callers only read it
    return S_OK;
  }
  HRESULT GetTypeComp(IUnknown** comp) override {
    if (comp) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
    if (!desc) return E_INVALIDARG;
    if (index >= Entry().functions.size()) return TYPE_E_ELEMENTNOTFOUND;
    *desc = &Mutable().functions[index].desc;
    return S_OK;
  }
  HRESULT GetVarDesc(UINT index, VARDESC** desc) override {
    if (!desc) return E_INVALIDARG;
    if (index >= Entry().valueDescs.size()) return TYPE_E_ELEMENTNOTFOUND;
    *desc = &Mutable().valueDescs[index];
    return S_OK;
  }
  // The member's name, then its parameters' names.
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) override {
    if (!names || !count) return E_INVALIDARG;
    *count = 0;
    const TypeEntry& t = Entry();
    if (t.kind == TKIND_ENUM) {
      if (memid < 0 || static_cast<size_t>(memid) >= t.values.size()) return TYPE_E_ELEMENTNOTFOUND;
      if (max > 0) names[(*count)++] = Wide(t.values[static_cast<size_t>(memid)].first);
      return S_OK;
    }
    const TypeFunction* fn = lib_->Function(type_, memid, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    if (!fn) fn = lib_->Function(type_, memid, DISPATCH_PROPERTYPUT);
    if (!fn) return TYPE_E_ELEMENTNOTFOUND;
    if (max > 0) names[(*count)++] = Wide(fn->name);
    for (const TypeParam& p : fn->params)
      if (*count < max) names[(*count)++] = Wide(p.name);
    return S_OK;
  }
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override {
    if (!ref) return E_INVALIDARG;
    const TypeEntry& t = Entry();
    if (index != 0 || t.kind == TKIND_ENUM) return TYPE_E_ELEMENTNOTFOUND;
    // The base interface (IDispatch itself is outside the library: -1), a class's default.
    *ref = static_cast<HREFTYPE>(t.kind == TKIND_COCLASS ? lib_->FindName(t.baseName) : t.base);
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (!flags) return E_INVALIDARG;
    if (index != 0 || Entry().kind == TKIND_ENUM) return TYPE_E_ELEMENTNOTFOUND;
    *flags = Entry().kind == TKIND_COCLASS ? IMPLTYPEFLAG_FDEFAULT : 0;
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return DispatchIDsOfNames(*lib_, type_, names, count, ids);
  }
  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) override {
    return DispatchInvoke(*lib_, type_, instance, memid, flags, params, result, exception, argError);
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override {
    std::string text;
    if (memid == MEMBERID_NIL) {
      text = Entry().name;
    } else {
      UINT count = 0;
      BSTR names[1] = {nullptr};
      const HRESULT hr = GetNames(memid, names, 1, &count);
      if (FAILED(hr)) return hr;
      text = Utf8FromBstr(names[0]);
      SysFreeString(names[0]);
    }
    if (name) *name = Wide(text);
    if (doc) *doc = nullptr;
    if (helpContext) *helpContext = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    if (ref >= lib_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    return NewTypeInfo(lib_, static_cast<int>(ref), info);
  }
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** address) override {
    if (address) *address = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_INVALIDARG;
    *object = nullptr;
    if (Entry().kind != TKIND_COCLASS) return TYPE_E_INVALIDSTATE;
    return CoCreateInstance(Entry().guid, outer, CLSCTX_INPROC_SERVER, riid, object);
  }
  HRESULT GetMops(MEMBERID, BSTR* mops) override {
    if (mops) *mops = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) override {
    if (index) *index = static_cast<UINT>(type_);
    if (!lib) return S_OK;
    return NewTypeLib(lib_, lib);
  }
  void ReleaseTypeAttr(TYPEATTR*) override {}
  void ReleaseFuncDesc(FUNCDESC*) override {}
  void ReleaseVarDesc(VARDESC*) override {}

 private:
  const TypeEntry& Entry() const { return lib_->types[static_cast<size_t>(type_)]; }
  // The descriptions are handed out as the interface's signatures have them, not const.
  TypeEntry& Mutable() { return lib_->types[static_cast<size_t>(type_)]; }
  std::shared_ptr<TypeLibrary> lib_;
  int type_;
};

class CTypeLib final : public Counted<ITypeLib> {
 public:
  explicit CTypeLib(std::shared_ptr<TypeLibrary> lib) : lib_(std::move(lib)) {
    attr_.guid = lib_->libid;
    attr_.syskind = SYS_WIN64;
    attr_.wMajorVerNum = lib_->major;
    attr_.wMinorVerNum = lib_->minor;
  }
  UINT GetTypeInfoCount() override { return static_cast<UINT>(lib_->types.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    if (index >= lib_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    return NewTypeInfo(lib_, static_cast<int>(index), info);
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= lib_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = lib_->types[index].kind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    const int type = lib_->Find(guid);
    return type < 0 ? TYPE_E_ELEMENTNOTFOUND : NewTypeInfo(lib_, type, info);
  }
  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &attr_;
    return S_OK;
  }
  HRESULT GetTypeComp(IUnknown** comp) override {
    if (comp) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override {
    if (index >= static_cast<INT>(lib_->types.size())) return TYPE_E_ELEMENTNOTFOUND;
    if (name) *name = Wide(index < 0 ? lib_->name : lib_->types[static_cast<size_t>(index)].name);
    if (doc) *doc = index < 0 ? Wide(lib_->help) : nullptr;
    if (helpContext) *helpContext = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (!name || !found) return E_INVALIDARG;
    *found = 0;
    const std::string wanted = Fold(Utf8FromWide(name, std::char_traits<char16_t>::length(name)));
    for (const TypeEntry& t : lib_->types) {
      if (Fold(t.name) == wanted) *found = 1;
      for (const TypeFunction& fn : t.functions)
        if (Fold(fn.name) == wanted) *found = 1;
    }
    return S_OK;
  }
  HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids, USHORT* found) override {
    if (!name || !infos || !ids || !found) return E_INVALIDARG;
    const std::string wanted = Fold(Utf8FromWide(name, std::char_traits<char16_t>::length(name)));
    const USHORT max = *found;
    *found = 0;
    for (size_t i = 0; i < lib_->types.size() && *found < max; ++i) {
      const TypeEntry& t = lib_->types[i];
      MEMBERID id = MEMBERID_NIL;
      bool match = Fold(t.name) == wanted;
      for (const TypeFunction& fn : t.functions)
        if (!match && Fold(fn.name) == wanted) match = true, id = fn.dispid;
      if (!match) continue;
      NewTypeInfo(lib_, static_cast<int>(i), &infos[*found]);
      ids[(*found)++] = id;
    }
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR*) override {}

 private:
  std::shared_ptr<TypeLibrary> lib_;
  TLIBATTR attr_{};
};

}  // namespace

HRESULT NewTypeLib(std::shared_ptr<TypeLibrary> lib, ITypeLib** out) {
  if (!out) return E_INVALIDARG;
  auto* made = new (std::nothrow) CTypeLib(std::move(lib));
  if (!made) return E_OUTOFMEMORY;
  made->AddRef();
  *out = made;
  return S_OK;
}

HRESULT NewTypeInfo(std::shared_ptr<TypeLibrary> lib, int type, ITypeInfo** out) {
  if (!out) return E_INVALIDARG;
  auto* made = new (std::nothrow) CTypeInfo(std::move(lib), type);
  if (!made) return E_OUTOFMEMORY;
  return Hand(made, out);
}

// ---- Late binding.

HRESULT DispatchIDsOfNames(const TypeLibrary& lib, int type, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const std::string member = Fold(Utf8FromWide(names[0], std::char_traits<char16_t>::length(names[0])));
  const TypeFunction* found = nullptr;
  for (int t = type; t >= 0 && !found; t = lib.types[static_cast<size_t>(t)].base)
    for (const TypeFunction& fn : lib.types[static_cast<size_t>(t)].functions)
      if (Fold(fn.name) == member) {
        found = &fn;
        break;
      }
  if (!found) return DISP_E_UNKNOWNNAME;
  ids[0] = found->dispid;
  HRESULT hr = S_OK;
  // The parameters' names give their positions.
  for (UINT i = 1; i < count; ++i) {
    const std::string param = Fold(Utf8FromWide(names[i], std::char_traits<char16_t>::length(names[i])));
    for (size_t k = 0; k < found->params.size(); ++k)
      if (Fold(found->params[k].name) == param) ids[i] = static_cast<DISPID>(k);
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

namespace {

// The storage of one argument of a call, and how its value goes back.
struct Slot {
  Argument arg{};
  VARIANT converted;  // an input, converted to the parameter's type (owned)
  // An output's storage.
  BSTR bstr = nullptr;
  LONG number = 0;
  SHORT small = 0;
  VARIANT_BOOL flag = 0;
  double real = 0;
  float single = 0;
  void* pointer = nullptr;
  Slot() { converted.vt = VT_EMPTY; }
};

// An output's value as a VARIANT (ownership going with it).
VARIANT OutValue(const TypeParam& p, Slot& s) {
  VARIANT v;
  v.vt = VT_EMPTY;
  switch (p.vt) {
    case VT_BSTR: v.vt = VT_BSTR, v.bstrVal = s.bstr, s.bstr = nullptr; break;
    case VT_I4: v.vt = VT_I4, v.lVal = s.number; break;
    case VT_I2: v.vt = VT_I2, v.iVal = s.small; break;
    case VT_BOOL: v.vt = VT_BOOL, v.boolVal = s.flag; break;
    case VT_R8: v.vt = VT_R8, v.dblVal = s.real; break;
    case VT_DATE: v.vt = VT_DATE, v.date = s.real; break;
    case VT_R4: v.vt = VT_R4, v.fltVal = s.single; break;
    case VT_UNKNOWN: v.vt = VT_UNKNOWN, v.punkVal = static_cast<IUnknown*>(s.pointer), s.pointer = nullptr; break;
    case VT_DISPATCH:
      // Every interface of the library is dual: the pointer is an IDispatch.
      v.vt = VT_DISPATCH, v.pdispVal = static_cast<IDispatch*>(s.pointer), s.pointer = nullptr;
      break;
    default:
      if (p.vt == (VT_ARRAY | VT_BSTR)) v.vt = p.vt, v.parray = static_cast<SAFEARRAY*>(s.pointer), s.pointer = nullptr;
  }
  return v;
}

void* OutStorage(const TypeParam& p, Slot& s) {
  switch (p.vt) {
    case VT_BSTR: return &s.bstr;
    case VT_I4: return &s.number;
    case VT_I2: return &s.small;
    case VT_BOOL: return &s.flag;
    case VT_R8:
    case VT_DATE: return &s.real;
    case VT_R4: return &s.single;
    default: return &s.pointer;
  }
}

// Writes an output into the caller's by-reference argument, freeing what it held before; an
// output the argument's type cannot hold is dropped.
HRESULT PutBack(VARIANT& target, VARIANT value) {
  if (target.vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(target.pvarVal);
    *target.pvarVal = value;
    return S_OK;
  }
  VARIANT converted;
  const HRESULT hr = VariantChangeType(&converted, &value, 0, static_cast<VARTYPE>(target.vt & ~VT_BYREF));
  VariantClear(&value);
  if (FAILED(hr)) return hr;
  switch (converted.vt) {
    case VT_BSTR: SysFreeString(*target.pbstrVal), *target.pbstrVal = converted.bstrVal; break;
    case VT_I4: *target.plVal = converted.lVal; break;
    case VT_I2: *target.piVal = converted.iVal; break;
    case VT_BOOL: *target.pboolVal = converted.boolVal; break;
    case VT_R8: *target.pdblVal = converted.dblVal; break;
    case VT_DATE: *target.pdate = converted.date; break;
    case VT_R4: *target.pfltVal = converted.fltVal; break;
    case VT_UNKNOWN:
      if (*target.ppunkVal) (*target.ppunkVal)->Release();
      *target.ppunkVal = converted.punkVal;
      break;
    case VT_DISPATCH:
      if (*target.ppdispVal) (*target.ppdispVal)->Release();
      *target.ppdispVal = converted.pdispVal;
      break;
    default:
      if (converted.vt == (VT_ARRAY | VT_BSTR)) {
        if (*target.pparray) SafeArrayDestroy(*target.pparray);
        *target.pparray = converted.parray;
        break;
      }
      VariantClear(&converted);
      return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

void Fill(EXCEPINFO* e, HRESULT hr) {
  if (!e) return;
  *e = {};
  e->scode = hr;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) {
    info->GetSource(&e->bstrSource);
    info->GetDescription(&e->bstrDescription);
    info->GetHelpFile(&e->bstrHelpFile);
    info->GetHelpContext(&e->dwHelpContext);
  }
}

}  // namespace

HRESULT DispatchInvoke(const TypeLibrary& lib, int type, void* self, DISPID dispid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  if (!self) return E_INVALIDARG;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  const TypeFunction* fn = lib.Function(type, dispid, flags);
  if (!fn) return DISP_E_MEMBERNOTFOUND;
  if (fn->caller < 0) return DISP_E_MEMBERNOTFOUND;
  // The arguments a caller gives: every parameter but the one returned.
  size_t expected = 0;
  for (const TypeParam& p : fn->params) expected += p.retval ? 0 : 1;
  if (params->cArgs != expected) return DISP_E_BADPARAMCOUNT;
  // Each parameter's argument: positional ones come last first; named ones name their
  // position (a property put names its value DISPID_PROPERTYPUT).
  // No function of a library has more parameters than this; a read library's that has is
  // not called.
  constexpr size_t kMaxParams = 8;
  if (fn->params.size() > kMaxParams) return DISP_E_BADPARAMCOUNT;
  std::array<int, kMaxParams> argOf;
  argOf.fill(-1);
  const UINT positional = params->cArgs - params->cNamedArgs;
  for (UINT k = 0; k < positional; ++k) argOf[k] = static_cast<int>(params->cArgs - 1 - k);
  for (UINT n = 0; n < params->cNamedArgs; ++n) {
    DISPID name = params->rgdispidNamedArgs[n];
    if (name == DISPID_PROPERTYPUT && fn->kind == INVOKE_PROPERTYPUT) name = static_cast<DISPID>(expected - 1);
    if (name < 0 || static_cast<size_t>(name) >= expected || argOf[static_cast<size_t>(name)] >= 0) {
      if (argError) *argError = n;
      return DISP_E_PARAMNOTFOUND;
    }
    argOf[static_cast<size_t>(name)] = static_cast<int>(n);
  }
  std::array<Slot, kMaxParams> slots;
  auto cleanup = [&] {
    for (size_t k = 0; k < fn->params.size(); ++k) VariantClear(&slots[k].converted);
  };
  for (size_t k = 0; k < fn->params.size(); ++k) {
    const TypeParam& p = fn->params[k];
    Slot& s = slots[k];
    if (p.out) {
      s.arg.p = OutStorage(p, s);
      // An output other than the one returned goes back through a by-reference argument.
      if (!p.retval && !(params->rgvarg[argOf[k]].vt & VT_BYREF)) {
        if (argError) *argError = static_cast<UINT>(argOf[k]);
        cleanup();
        return DISP_E_TYPEMISMATCH;
      }
      continue;
    }
    VARIANT& given = params->rgvarg[argOf[k]];
    if ((given.vt & ~VT_BYREF) == VT_ERROR) {
      if (argError) *argError = static_cast<UINT>(argOf[k]);
      cleanup();
      return DISP_E_PARAMNOTFOUND;  // omitted: no parameter of the library is optional
    }
    const HRESULT hr = VariantChangeType(&s.converted, &given, 0, p.vt);
    if (FAILED(hr)) {
      if (argError) *argError = static_cast<UINT>(argOf[k]);
      cleanup();
      return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    }
    switch (p.vt) {
      case VT_I4: s.arg.i = s.converted.lVal; break;
      case VT_I2: s.arg.i = s.converted.iVal; break;
      case VT_BOOL: s.arg.i = s.converted.boolVal; break;
      case VT_R8: s.arg.d = s.converted.dblVal; break;
      case VT_DATE: s.arg.d = s.converted.date; break;
      case VT_R4: s.arg.f = s.converted.fltVal; break;
      case VT_BSTR: s.arg.p = s.converted.bstrVal; break;
      case VT_UNKNOWN:
      case VT_DISPATCH: {
        // The interface the parameter names, asked of the object given.
        IUnknown* object = s.converted.punkVal;
        s.arg.p = object;
        if (object && p.ref >= 0) {
          void* typed = nullptr;
          if (FAILED(object->QueryInterface(lib.types[static_cast<size_t>(p.ref)].guid, &typed))) {
            if (argError) *argError = static_cast<UINT>(argOf[k]);
            cleanup();
            return DISP_E_TYPEMISMATCH;
          }
          static_cast<IUnknown*>(typed)->Release();  // the converted value keeps a reference
          s.arg.p = typed;
        }
        break;
      }
      default: s.arg.p = s.converted.parray; break;
    }
  }
  std::array<Argument, kMaxParams> args;
  for (size_t k = 0; k < fn->params.size(); ++k) args[k] = slots[k].arg;
  void** vtable = *static_cast<void***>(self);
  const HRESULT hr = kCallers[fn->caller].call(self, vtable[fn->slot], args.data());
  if (FAILED(hr)) {
    Fill(exception, hr);
    cleanup();
    return DISP_E_EXCEPTION;
  }
  if (result) result->vt = VT_EMPTY;
  for (size_t k = 0; k < fn->params.size(); ++k) {
    const TypeParam& p = fn->params[k];
    if (!p.out) continue;
    VARIANT value = OutValue(p, slots[k]);
    if (p.retval) {
      if (result)
        *result = value;
      else
        VariantClear(&value);
    } else {
      PutBack(params->rgvarg[argOf[k]], value);
    }
  }
  cleanup();
  return S_OK;
}

HRESULT DispatchTypeInfo(REFIID iid, UINT index, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  const auto& lib = BuiltInTypeLibrary();
  const int type = lib->Find(iid);
  return type < 0 ? TYPE_E_ELEMENTNOTFOUND : NewTypeInfo(lib, type, out);
}

HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) {
  const auto& lib = BuiltInTypeLibrary();
  const int type = lib->Find(iid);
  if (type < 0) return DISP_E_UNKNOWNNAME;
  return DispatchIDsOfNames(*lib, type, names, count, ids);
}

HRESULT DispatchCall(REFIID iid, void* self, DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* exception, UINT* argError) {
  const auto& lib = BuiltInTypeLibrary();
  const int type = lib->Find(iid);
  if (type < 0) return DISP_E_MEMBERNOTFOUND;
  return DispatchInvoke(*lib, type, self, dispid, flags, params, result, exception, argError);
}

}  // namespace vtfc4

// ---- Loading and registering type libraries.

namespace {

std::string PathOf(LPCOLESTR file) { return vtfc4::Utf8FromWide(file, std::char_traits<char16_t>::length(file)); }

std::string VersionKey(REFGUID guid, WORD major, WORD minor) {
  char version[16];
  std::snprintf(version, sizeof version, "%x.%x", major, minor);
  return "TypeLib\\" + vtfc4::GuidText(guid) + "\\" + version;
}

// The file that carries the text: the text itself, or, for a module, the type library file
// beside it (what the build installs there).
std::string TextOf(const std::string& path, std::string& error) {
  std::string source = path;
  if (path.size() > 3 && (path.ends_with(".so") || path.find(".so.") != std::string::npos)) {
    const size_t slash = path.find_last_of('/');
    source = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/vtfc4.tlb";
  }
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    error = "cannot read " + source;
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

extern "C" {

VTFC4_API HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** out) {
  if (!file || !out) return E_INVALIDARG;
  *out = nullptr;
  const std::string path = PathOf(file);
  // The library's own module, however it was named, gives the type library it carries.
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&LoadTypeLib), &self) && self.dli_fname && path == self.dli_fname)
    return vtfc4::NewTypeLib(vtfc4::BuiltInTypeLibrary(), out);
  std::string error;
  const std::string text = TextOf(path, error);
  if (!error.empty()) return TYPE_E_CANTLOADLIBRARY;
  auto lib = vtfc4::TypeLibrary::Read(text, error);
  if (!lib) return TYPE_E_CANTLOADLIBRARY;
  return vtfc4::NewTypeLib(std::move(lib), out);
}

VTFC4_API HRESULT LoadRegTypeLib(REFGUID guid, WORD major, WORD minor, LCID, ITypeLib** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return TYPE_E_REGISTRYACCESS;
  const auto path = registry.Get(VersionKey(guid, major, minor) + "\\0\\linux64");
  if (!path) return TYPE_E_LIBNOTREGISTERED;
  const std::u16string wide = vtfc4::WideFromUtf8(*path);
  return LoadTypeLib(wide.c_str(), out);
}

VTFC4_API HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir) {
  if (!lib || !fullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR a = *attr;
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) {
    SysFreeString(name);
    SysFreeString(doc);
    return TYPE_E_REGISTRYACCESS;
  }
  const std::string key = VersionKey(a.guid, a.wMajorVerNum, a.wMinorVerNum);
  registry.Set(key, "", doc ? vtfc4::Utf8FromBstr(doc) : vtfc4::Utf8FromBstr(name));
  registry.Set(key + "\\0\\linux64", "", PathOf(fullPath));
  registry.Set(key + "\\FLAGS", "", "0");
  std::string folder = helpDir ? PathOf(helpDir) : PathOf(fullPath);
  if (!helpDir) folder = folder.substr(0, folder.find_last_of('/') == std::string::npos ? 0 : folder.find_last_of('/'));
  registry.Set(key + "\\HELPDIR", "", folder);
  SysFreeString(name);
  SysFreeString(doc);
  return registry.Save(error) ? S_OK : TYPE_E_REGISTRYACCESS;
}

VTFC4_API HRESULT UnRegisterTypeLib(REFGUID guid, WORD major, WORD minor, LCID, SYSKIND) {
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return TYPE_E_REGISTRYACCESS;
  const std::string key = VersionKey(guid, major, minor);
  if (!registry.HasKey(key)) return TYPE_E_LIBNOTREGISTERED;
  registry.DeleteTree(key);
  // The library's key goes when no other version is left under it.
  const std::string root = "TypeLib\\" + vtfc4::GuidText(guid);
  if (!registry.HasChildren(root)) registry.DeleteTree(root);
  return registry.Save(error) ? S_OK : TYPE_E_REGISTRYACCESS;
}

}  // extern "C"
