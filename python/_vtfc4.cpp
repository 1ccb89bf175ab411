// vtfc4._native: the library's objects seen from Python through late binding alone. Every
// object is an IDispatch; its members are described by its type information, resolved by
// GetIDsOfNames and called through Invoke. The pure-Python package (vtfc4/__init__.py) builds
// a class per interface on top of what this module describes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// The interpreter's date and time objects, for VT_DATE.
#include <datetime.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vtfc4/com.h"
#include "vtfc4/oleauto.h"
#include "vtfc4/session.h"

namespace py = pybind11;

namespace {

// ---- Text: BSTR is UTF-16; Python text is any Unicode, so characters beyond the BMP travel
// as surrogate pairs. Lone surrogates pass through unchanged in both directions.

BSTR ToBstr(py::handle text) {
  py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
  BSTR out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(data), static_cast<UINT>(size / 2));
  if (!out) throw std::bad_alloc();
  return out;
}

py::str FromWide(const OLECHAR* text, size_t length) {
  int order = -1;  // little-endian, as BSTRs are on this platform
  PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(length * 2),
                                      "surrogatepass", &order);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::str FromBstr(BSTR text) { return FromWide(text, text ? SysStringLen(text) : 0); }

std::string Utf8(BSTR text) { return text ? py::cast<std::string>(FromBstr(text)) : std::string(); }

std::u16string Wide(const std::string& text) {
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(py::str(text).ptr(), "utf-16-le", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  const std::string raw = py::cast<std::string>(py::bytes(bytes));
  return std::u16string(reinterpret_cast<const char16_t*>(raw.data()), raw.size() / 2);
}

// ---- Dates: a DATE counts days from 1899-12-30; before that day the fraction still runs
// forward from midnight (-1.25 is 1899-12-29 06:00).

constexpr long kEpochOrdinal = 693594;  // date(1899, 12, 30).toordinal()
constexpr double kMicrosPerDay = 86400e6;

DATE ToDate(py::handle value) {
  const long ordinal = py::cast<long>(value.attr("toordinal")());
  double fraction = 0;
  if (PyDateTime_Check(value.ptr())) {
    const PyObject* v = value.ptr();
    const double micros = ((PyDateTime_DATE_GET_HOUR(v) * 60.0 + PyDateTime_DATE_GET_MINUTE(v)) * 60.0 +
                           PyDateTime_DATE_GET_SECOND(v)) * 1e6 + PyDateTime_DATE_GET_MICROSECOND(v);
    fraction = micros / kMicrosPerDay;
  }
  const double days = static_cast<double>(ordinal - kEpochOrdinal);
  return days >= 0 ? days + fraction : days - fraction;
}

py::object FromDate(DATE date) {
  if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0)  // years 100 to 9999
    throw py::value_error("the date " + std::to_string(date) + " is outside the years 100 to 9999");
  const double whole = std::trunc(date);
  long long micros = std::llround(std::fabs(date - whole) * kMicrosPerDay);
  long days = static_cast<long>(whole);
  if (micros >= static_cast<long long>(kMicrosPerDay)) micros -= static_cast<long long>(kMicrosPerDay), ++days;
  py::object day = py::module_::import("datetime").attr("date").attr("fromordinal")(days + kEpochOrdinal);
  const int year = py::cast<int>(day.attr("year")), month = py::cast<int>(day.attr("month")),
            dom = py::cast<int>(day.attr("day"));
  const int us = static_cast<int>(micros % 1000000);
  const long long seconds = micros / 1000000;
  PyObject* made = PyDateTime_FromDateAndTime(year, month, dom, static_cast<int>(seconds / 3600),
                                              static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60), us);
  if (!made) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(made);
}

// ---- Errors: raised as vtfc4.ComError (or its UnknownNameError), classes the package hands
// over when it is imported.

py::object& ErrorClass() {
  static py::object* cls = new py::object();  // never destroyed: it outlives the interpreter's teardown order
  return *cls;
}
py::object& UnknownNameClass() {
  static py::object* cls = new py::object();
  return *cls;
}
py::object& Factory() {
  static py::object* fn = new py::object();
  return *fn;
}

std::string StandardText(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80020003: return "member not found";
    case 0x80020004: return "parameter not found";
    case 0x80020005: return "type mismatch";
    case 0x80020006: return "unknown name";
    case 0x80020007: return "no named arguments";
    case 0x80020008: return "bad variable type";
    case 0x8002000A: return "out of present range";
    case 0x8002000B: return "invalid index";
    case 0x8002000E: return "invalid number of parameters";
    case 0x8002000F: return "parameter not optional";
    case 0x80040154: return "class not registered";
    case 0x800401F3: return "invalid class string";
    case 0x80004002: return "no such interface supported";
    case 0x80070057: return "the parameter is incorrect";
    default: return "";
  }
}

// Raises the error: its code as an unsigned 32-bit number; the argument it names, if any,
// as Invoke counted it (`argerr`) and as the Python call gave it (`argument`).
[[noreturn]] void Raise(HRESULT hr, std::string description, std::string source, py::object argerr = py::none(),
                        py::object argument = py::none()) {
  if (description.empty()) description = StandardText(hr);
  const uint32_t code = static_cast<uint32_t>(hr);
  py::object cls = hr == DISP_E_UNKNOWNNAME && UnknownNameClass() ? UnknownNameClass() : ErrorClass();
  if (!cls) {
    char text[64];
    std::snprintf(text, sizeof text, "automation error 0x%08X: ", code);
    throw std::runtime_error(text + description);
  }
  py::object error = cls(code, description, source, argerr, argument);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// Raises the failure of a call that is not an Invoke, from the thread's error object.
[[noreturn]] void RaiseFromErrorInfo(HRESULT hr) {
  IErrorInfo* info = nullptr;
  std::string description, source;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR d = nullptr, s = nullptr;
    info->GetDescription(&d);
    info->GetSource(&s);
    description = Utf8(d);
    source = Utf8(s);
    SysFreeString(d);
    SysFreeString(s);
    info->Release();
  }
  Raise(hr, description, source);
}

// ---- Type descriptions, read once per interface from its ITypeInfo.

struct Param {
  std::string name, type;
  bool out = false, retval = false;
};

struct Member {
  std::string name;
  DISPID dispid = DISPID_UNKNOWN;
  bool get = false, put = false, method = false;
  std::vector<Param> params;  // of the getter or the method
  std::string result;         // the type of the value returned, "" for none
  size_t inputs() const {
    size_t n = 0;
    for (const Param& p : params) n += p.out ? 0 : 1;
    return n;
  }
  size_t outputs() const {
    size_t n = 0;
    for (const Param& p : params) n += p.out && !p.retval ? 1 : 0;
    return n;
  }
  // Read as an attribute: a getter without arguments.
  bool property() const { return get && !method && inputs() == 0; }
};

struct TypeDesc {
  std::string name, iid;
  std::vector<std::shared_ptr<Member>> members;
  std::map<std::string, std::shared_ptr<Member>> byFolded;
};

std::string Fold(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string GuidText(const GUID& guid) {
  OLECHAR text[39];
  StringFromGUID2(guid, text, 39);
  return py::cast<std::string>(FromWide(text, 38));
}

std::string TypeName(ITypeInfo* info, const TYPEDESC& d) {
  switch (d.vt) {
    case VT_PTR: return TypeName(info, *d.lptdesc) + (d.lptdesc->vt == VT_USERDEFINED ? "*" : "");
    case VT_SAFEARRAY: return "SAFEARRAY(" + TypeName(info, *d.lptdesc) + ")";
    case VT_USERDEFINED: {
      ITypeInfo* ref = nullptr;
      std::string name = "?";
      if (SUCCEEDED(info->GetRefTypeInfo(d.hreftype, &ref)) && ref) {
        BSTR n = nullptr;
        if (SUCCEEDED(ref->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr))) name = Utf8(n);
        SysFreeString(n);
        ref->Release();
      }
      return name;
    }
    case VT_BSTR: return "str";
    case VT_I2:
    case VT_I4:
    case VT_UI1: return "int";
    case VT_R4:
    case VT_R8: return "float";
    case VT_BOOL: return "bool";
    case VT_DATE: return "datetime";
    case VT_DISPATCH: return "IDispatch*";
    case VT_UNKNOWN: return "IUnknown*";
    default: return "VARIANT";
  }
}

// Adds the functions of `info` (then of its bases) not already described.
void Collect(ITypeInfo* info, TypeDesc& desc, int depth) {
  TYPEATTR* attr = nullptr;
  if (depth > 32 || FAILED(info->GetTypeAttr(&attr)) || !attr) return;
  const WORD functions = attr->cFuncs, implemented = attr->cImplTypes;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < functions; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f)) || !f) continue;
    std::vector<BSTR> names(static_cast<size_t>(f->cParams) + 1, nullptr);
    UINT count = 0;
    info->GetNames(f->memid, names.data(), static_cast<UINT>(names.size()), &count);
    const std::string name = count > 0 ? Utf8(names[0]) : std::string();
    auto found = desc.byFolded.find(Fold(name));
    std::shared_ptr<Member> m;
    if (found == desc.byFolded.end()) {
      m = std::make_shared<Member>();
      m->name = name;
      m->dispid = f->memid;
      desc.members.push_back(m);
      desc.byFolded[Fold(name)] = m;
    } else {
      m = found->second;
    }
    const bool putter = f->invkind == INVOKE_PROPERTYPUT || f->invkind == INVOKE_PROPERTYPUTREF;
    if (putter) {
      m->put = true;
    } else if (m->params.empty() && !m->get && !m->method) {
      m->get = f->invkind == INVOKE_PROPERTYGET;
      m->method = f->invkind == INVOKE_FUNC;
      for (SHORT k = 0; k < f->cParams; ++k) {
        const ELEMDESC& e = f->lprgelemdescParam[k];
        Param p;
        p.name = static_cast<UINT>(k) + 1 < count ? Utf8(names[static_cast<size_t>(k) + 1]) : "arg" + std::to_string(k);
        p.out = e.paramdesc.wParamFlags & PARAMFLAG_FOUT;
        p.retval = e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL;
        // An output is described by what it points to.
        p.type = TypeName(info, p.out && e.tdesc.vt == VT_PTR ? *e.tdesc.lptdesc : e.tdesc);
        if (p.retval) m->result = p.type;
        m->params.push_back(std::move(p));
      }
    }
    for (BSTR n : names) SysFreeString(n);
    info->ReleaseFuncDesc(f);
  }
  if (implemented == 0) return;
  HREFTYPE ref = 0;
  ITypeInfo* base = nullptr;
  if (SUCCEEDED(info->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &base)) && base) {
    Collect(base, desc, depth + 1);
    base->Release();
  }
}

// The description of an object's interface, by its identifier: read once, kept without any
// reference to the library's objects (so that they do not hold the module).
std::shared_ptr<const TypeDesc> Describe(IDispatch* object) {
  UINT count = 0;
  if (FAILED(object->GetTypeInfoCount(&count)) || count == 0) return nullptr;
  ITypeInfo* info = nullptr;
  if (FAILED(object->GetTypeInfo(0, 0, &info)) || !info) return nullptr;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) {
    info->Release();
    return nullptr;
  }
  const std::string iid = GuidText(attr->guid);
  info->ReleaseTypeAttr(attr);
  static std::map<std::string, std::shared_ptr<const TypeDesc>> cache;
  if (auto it = cache.find(iid); it != cache.end()) {
    info->Release();
    return it->second;
  }
  auto desc = std::make_shared<TypeDesc>();
  desc->iid = iid;
  BSTR name = nullptr;
  if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr))) desc->name = Utf8(name);
  SysFreeString(name);
  Collect(info, *desc, 0);
  info->Release();
  // Each member as the object names it: its dispatch identifier comes from GetIDsOfNames.
  for (auto& m : desc->members) {
    std::u16string wide = Wide(m->name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    if (SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id))) m->dispid = id;
  }
  cache[iid] = desc;
  return desc;
}

// ---- Objects.

struct Object {
  IDispatch* dispatch = nullptr;
  std::shared_ptr<const TypeDesc> type;
  explicit Object(IDispatch* d) : dispatch(d) {}  // takes over the reference
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() {
    if (dispatch) dispatch->Release();
  }
  IDispatch* Get() const {
    if (!dispatch) throw py::value_error("the object has been released");
    return dispatch;
  }
};

// A returned interface as the package's late-bound object (the reference is taken over).
py::object Wrap(IDispatch* d) {
  auto object = std::make_unique<Object>(d);
  object->type = Describe(d);
  py::object native = py::cast(std::move(object));
  return Factory() ? Factory()(native) : native;
}

Object* Unwrap(py::handle h) {
  if (py::isinstance<Object>(h)) return &py::cast<Object&>(h);
  if (py::hasattr(h, "_o")) {
    py::object inner = h.attr("_o");
    if (py::isinstance<Object>(inner)) return &py::cast<Object&>(inner);
  }
  return nullptr;
}

// ---- VARIANT conversions.

struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v); }
};

void ToVariant(py::handle h, VARIANT& v) {
  VariantInit(&v);
  if (h.is_none()) return;
  if (PyBool_Check(h.ptr())) {
    v.vt = VT_BOOL;
    v.boolVal = h.ptr() == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (PyLong_Check(h.ptr())) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow || n < INT32_MIN || n > INT32_MAX)
      throw py::value_error("the integer " + py::cast<std::string>(py::str(h)) +
                            " does not fit the 32 bits of an automation integer");
    v.vt = VT_I4;
    v.lVal = static_cast<LONG>(n);
  } else if (PyFloat_Check(h.ptr())) {
    v.vt = VT_R8;
    v.dblVal = PyFloat_AsDouble(h.ptr());
  } else if (PyUnicode_Check(h.ptr())) {
    v.bstrVal = ToBstr(h);
    v.vt = VT_BSTR;
  } else if (PyDate_Check(h.ptr())) {  // a datetime is a date too
    v.vt = VT_DATE;
    v.date = ToDate(h);
  } else if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) {
    py::sequence items = py::reinterpret_borrow<py::sequence>(h);
    for (py::handle item : items)
      if (!PyUnicode_Check(item.ptr()))
        throw py::type_error("a list passed to an automation call holds texts only, not " +
                             py::cast<std::string>(py::str(py::type::of(item).attr("__name__"))));
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(py::len(items)));
    if (!array) throw std::bad_alloc();
    LONG index = 0;
    for (py::handle item : items) {
      BSTR text = ToBstr(item);
      const HRESULT hr = SafeArrayPutElement(array, &index, text);  // stores a copy
      SysFreeString(text);
      if (FAILED(hr)) {
        SafeArrayDestroy(array);
        Raise(hr, "", "");
      }
      ++index;
    }
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = array;
  } else if (Object* o = Unwrap(h)) {
    v.vt = VT_DISPATCH;
    v.pdispVal = o->Get();
    v.pdispVal->AddRef();
  } else {
    throw py::type_error("a " + py::cast<std::string>(py::str(py::type::of(h).attr("__name__"))) +
                         " cannot be passed to an automation call");
  }
}

// The Python value of a result; interfaces get a reference of their own.
py::object FromVariant(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL: return py::none();
    case VT_I2: return py::int_(v.iVal);
    case VT_I4: return py::int_(v.lVal);
    case VT_UI1: return py::int_(v.bVal);
    case VT_ERROR: return py::int_(static_cast<uint32_t>(v.scode));
    case VT_R4: return py::float_(v.fltVal);
    case VT_R8: return py::float_(v.dblVal);
    case VT_BOOL: return py::bool_(v.boolVal != VARIANT_FALSE);
    case VT_BSTR: return v.bstrVal ? py::object(FromBstr(v.bstrVal)) : py::none();
    case VT_DATE: return FromDate(v.date);
    case VT_DISPATCH:
      if (!v.pdispVal) return py::none();
      v.pdispVal->AddRef();
      return Wrap(v.pdispVal);
    case VT_UNKNOWN: {
      if (!v.punkVal) return py::none();
      IDispatch* d = nullptr;
      const HRESULT hr = v.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
      if (FAILED(hr) || !d) Raise(FAILED(hr) ? hr : E_NOINTERFACE, "the object returned has no IDispatch", "");
      return Wrap(d);
    }
    case VT_BYREF | VT_VARIANT: return FromVariant(*v.pvarVal);
    case VT_ARRAY | VT_BSTR: {
      py::list out;
      LONG low = 0, high = -1;
      SafeArrayGetLBound(v.parray, 1, &low);
      SafeArrayGetUBound(v.parray, 1, &high);
      for (LONG i = low; i <= high; ++i) {
        BSTR text = nullptr;
        const HRESULT hr = SafeArrayGetElement(v.parray, &i, &text);
        if (FAILED(hr)) Raise(hr, "", "");
        py::str s = FromBstr(text);
        SysFreeString(text);
        out.append(s);
      }
      return out;
    }
    default: {
      char text[80];
      std::snprintf(text, sizeof text, "a value of variant type 0x%04X has no Python form", v.vt);
      Raise(DISP_E_BADVARTYPE, text, "");
    }
  }
}

// ---- Calls.

// Where each argument of DISPPARAMS came from, for the error that names one.
struct Origin {
  py::object argument;  // the position (int) or keyword (str) in the Python call; None for an output
};

// Invokes `dispid`; arguments in the order the member declares them (positional) and by name
// (named), outputs as by-reference slots. Returns the result, or the outputs and the result
// as a tuple in the parameters' order.
py::object Call(Object& self, const Member* member, DISPID dispid, WORD flags, const std::string& name,
                py::tuple args, py::dict kwargs) {
  IDispatch* d = self.Get();
  std::vector<std::unique_ptr<Variant>> values;  // every argument's storage
  std::vector<std::unique_ptr<Variant>> outputs;
  std::vector<VARIANT*> positional;
  std::vector<Origin> positionalOrigin;
  std::vector<std::pair<std::string, VARIANT*>> named;
  std::vector<Origin> namedOrigin;
  auto input = [&](py::handle h) {
    values.push_back(std::make_unique<Variant>());
    ToVariant(h, values.back()->v);
    return &values.back()->v;
  };
  auto output = [&]() {
    outputs.push_back(std::make_unique<Variant>());
    values.push_back(std::make_unique<Variant>());
    VARIANT* slot = &values.back()->v;
    slot->vt = VT_BYREF | VT_VARIANT;
    slot->pvarVal = &outputs.back()->v;
    return slot;
  };
  size_t next = 0;
  if (member) {
    // The member's parameters in order: the Python call's positional arguments fill the
    // inputs from the first; an output takes a slot where it stands, by position while the
    // arguments are positional, by name after.
    bool byPosition = true;
    for (const Param& p : member->params) {
      if (p.retval) continue;
      if (p.out) {
        if (byPosition) {
          positional.push_back(output());
          positionalOrigin.push_back({py::none()});
        } else {
          named.emplace_back(p.name, output());
          namedOrigin.push_back({py::none()});
        }
      } else if (byPosition && next < args.size()) {
        positional.push_back(input(args[next]));
        positionalOrigin.push_back({py::int_(next)});
        ++next;
      } else {
        byPosition = false;
      }
    }
  }
  for (; next < args.size(); ++next) {  // more than the member takes: Invoke says so
    positional.push_back(input(args[next]));
    positionalOrigin.push_back({py::int_(next)});
  }
  for (auto item : kwargs) {
    const std::string key = py::cast<std::string>(item.first);
    named.emplace_back(key, input(item.second));
    namedOrigin.push_back({py::str(key)});
  }
  // The put's value is named DISPID_PROPERTYPUT; other names are resolved with the member's.
  std::vector<DISPID> namedIds(named.size(), DISPID_UNKNOWN);
  if (!named.empty()) {
    std::vector<std::u16string> texts{Wide(name)};
    for (auto& [n, slot] : named) texts.push_back(Wide(n));
    std::vector<LPOLESTR> pointers;
    for (auto& t : texts) pointers.push_back(t.data());
    std::vector<DISPID> ids(texts.size(), DISPID_UNKNOWN);
    const HRESULT hr = d->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()), 0, ids.data());
    if (FAILED(hr)) {
      for (size_t i = 0; i < named.size(); ++i)
        if (ids[i + 1] == DISPID_UNKNOWN)
          Raise(hr, name + " has no parameter " + named[i].first, "", py::none(), namedOrigin[i].argument);
      Raise(hr, "", "");
    }
    for (size_t i = 0; i < named.size(); ++i) namedIds[i] = ids[i + 1];
  }
  if (flags & DISPATCH_PROPERTYPUT) {
    if (positional.size() != 1 || !named.empty()) throw py::type_error("a property is written with one value");
    named.emplace_back("", positional.back());
    namedOrigin.push_back(positionalOrigin.back());
    namedIds.push_back(DISPID_PROPERTYPUT);
    positional.pop_back();
    positionalOrigin.pop_back();
  }
  // DISPPARAMS: the named arguments first, then the positional ones from the last.
  std::vector<VARIANT> rgvarg;
  std::vector<Origin> origin;
  for (size_t i = 0; i < named.size(); ++i) rgvarg.push_back(*named[i].second), origin.push_back(namedOrigin[i]);
  for (size_t i = positional.size(); i-- > 0;) rgvarg.push_back(*positional[i]), origin.push_back(positionalOrigin[i]);
  DISPPARAMS params{rgvarg.empty() ? nullptr : rgvarg.data(), namedIds.empty() ? nullptr : namedIds.data(),
                    static_cast<UINT>(rgvarg.size()), static_cast<UINT>(namedIds.size())};
  Variant result;
  EXCEPINFO exception{};
  UINT argError = UINT32_MAX;
  SetErrorInfo(0, nullptr);  // no earlier call's error is taken for this one's
  const HRESULT hr = d->Invoke(dispid, IID_NULL, 0, flags, &params, (flags & DISPATCH_PROPERTYPUT) ? nullptr : &result.v,
                               &exception, &argError);
  // The by-reference slots may have been written through their copies in rgvarg.
  if (FAILED(hr)) {
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    std::string description = Utf8(exception.bstrDescription), source = Utf8(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    if (hr == DISP_E_EXCEPTION && exception.scode) {
      if (description.empty()) description = StandardText(exception.scode);
      if (description.empty()) description = name + " failed";
      Raise(exception.scode, description, source);
    }
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND || hr == DISP_E_OVERFLOW) && argError < rgvarg.size())
      Raise(hr, StandardText(hr) + " in an argument of " + name, source, py::int_(argError), origin[argError].argument);
    if (description.empty() && hr != DISP_E_EXCEPTION) {
      IErrorInfo* info = nullptr;
      if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        info->GetDescription(&text);
        description = Utf8(text);
        SysFreeString(text);
        info->Release();
      }
    }
    if (description.empty()) description = StandardText(hr) + (StandardText(hr).empty() ? "" : ": ") + name;
    Raise(hr, description, source);
  }
  py::object value = FromVariant(result.v);
  if (outputs.empty()) return value;
  // The outputs and the result in the order the parameters declare them (GetValue(hours,
  // minutes, seconds) gives (hours, minutes, seconds) whichever of them is the retval).
  py::list all;
  size_t nextOutput = 0;
  for (const Param& p : member->params) {
    if (p.retval)
      all.append(value);
    else if (p.out && nextOutput < outputs.size())
      all.append(FromVariant(outputs[nextOutput++]->v));
  }
  return all.size() == 1 ? all[0] : py::object(py::tuple(all));
}

DISPID IdOf(IDispatch* d, const std::string& name) {
  std::u16string wide = Wide(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  SetErrorInfo(0, nullptr);
  const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) Raise(hr, "no member named " + name, "");
  return id;
}

const Member* Find(const Object& o, const std::string& name) {
  if (!o.type) return nullptr;
  auto it = o.type->byFolded.find(Fold(name));
  return it == o.type->byFolded.end() ? nullptr : it->second.get();
}

// ---- Creation, registration checks and the type library's enumerations.

py::object Dispatch(const std::string& name) {
  std::u16string wide = Wide(name);
  CLSID clsid{};
  SetErrorInfo(0, nullptr);
  HRESULT hr = !name.empty() && name[0] == '{' ? CLSIDFromString(wide.c_str(), &clsid) : CLSIDFromProgID(wide.c_str(), &clsid);
  if (FAILED(hr)) Raise(hr, "no class is registered as " + name, "");
  IDispatch* d = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d));
  if (FAILED(hr) || !d) RaiseFromErrorInfo(FAILED(hr) ? hr : E_NOINTERFACE);
  return Wrap(d);
}

std::string LibraryPath() {
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&DllCanUnloadNow), &self) || !self.dli_fname)
    throw std::runtime_error("the vtFC4 library's file cannot be found");
  return self.dli_fname;
}

// {enumeration: {name: value}} from the type library the library carries.
py::dict Enumerations() {
  const std::u16string path = Wide(LibraryPath());
  ITypeLib* lib = nullptr;
  const HRESULT hr = LoadTypeLib(path.c_str(), &lib);
  if (FAILED(hr) || !lib) RaiseFromErrorInfo(FAILED(hr) ? hr : E_FAIL);
  py::dict out;
  for (UINT i = 0, n = lib->GetTypeInfoCount(); i < n; ++i) {
    TYPEKIND kind{};
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_ENUM) continue;
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info)) || !info) continue;
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    py::dict values;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
      const WORD count = attr->cVars;
      info->ReleaseTypeAttr(attr);
      for (UINT k = 0; k < count; ++k) {
        VARDESC* var = nullptr;
        if (FAILED(info->GetVarDesc(k, &var)) || !var) continue;
        BSTR valueName = nullptr;
        UINT got = 0;
        if (SUCCEEDED(info->GetNames(var->memid, &valueName, 1, &got)) && got == 1 && var->lpvarValue)
          values[FromBstr(valueName)] = py::int_(var->lpvarValue->lVal);
        SysFreeString(valueName);
        info->ReleaseVarDesc(var);
      }
    }
    out[FromBstr(name)] = values;
    SysFreeString(name);
    info->Release();
  }
  lib->Release();
  return out;
}

py::dict DescribeMember(const Member& m) {
  py::dict out;
  out["name"] = m.name;
  out["dispid"] = m.dispid;
  out["kind"] = m.property() ? "property" : "method";
  out["settable"] = m.put;
  py::list params;
  for (const Param& p : m.params)
    params.append(py::make_tuple(p.name, p.type, p.retval ? "retval" : p.out ? "out" : "in"));
  out["params"] = params;
  out["result"] = m.result;
  return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Late binding to the vtFC4 library's objects through IDispatch.";
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  // The request processors the library loads take the COM functions from the process: the
  // library's symbols must be visible to them, as they are to a program linked with it.
  if (!dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL))
    throw std::runtime_error("the vtFC4 library cannot be made visible to the modules it loads");

  py::class_<Object>(m, "Object", "An automation object, held by one reference released when Python drops it.")
      .def_property_readonly("type_name", [](const Object& o) { return o.type ? o.type->name : std::string(); })
      .def_property_readonly("iid", [](const Object& o) { return o.type ? o.type->iid : std::string(); })
      .def("members",
           [](const Object& o) {
             py::list out;
             if (o.type)
               for (const auto& member : o.type->members) out.append(DescribeMember(*member));
             return out;
           },
           "The members from the object's type information: dicts of name, dispid, kind, settable, params, result.")
      .def("get",
           [](Object& o, DISPID dispid, const std::string& name) {
             return Call(o, Find(o, name), dispid, DISPATCH_PROPERTYGET, name, py::tuple(), py::dict());
           },
           "Reads the property `dispid` (named `name` in errors).")
      .def("put",
           [](Object& o, DISPID dispid, const std::string& name, py::object value) {
             Call(o, nullptr, dispid, DISPATCH_PROPERTYPUT, name, py::make_tuple(value), py::dict());
           },
           "Writes the property `dispid`.")
      .def("call",
           [](Object& o, DISPID dispid, const std::string& name, py::args args, py::kwargs kwargs) {
             return Call(o, Find(o, name), dispid, DISPATCH_METHOD, name, args, kwargs);
           },
           "Calls the method `dispid` with positional and named arguments; outputs come back after the result.")
      .def("id_of", [](Object& o, const std::string& name) { return IdOf(o.Get(), name); },
           "The dispatch identifier of a member, by GetIDsOfNames.")
      .def("invoke_by_name",
           [](Object& o, const std::string& name, WORD flags, py::args args, py::kwargs kwargs) {
             const DISPID id = IdOf(o.Get(), name);
             if (flags & DISPATCH_PROPERTYPUT) {
               Call(o, nullptr, id, DISPATCH_PROPERTYPUT, name, args, py::dict());
               return py::object(py::none());
             }
             return Call(o, Find(o, name), id, flags, name, args, kwargs);
           },
           "Resolves `name` by GetIDsOfNames and invokes it with `flags`.")
      .def("identity",
           [](const Object& o) {
             // One object, whichever interface: its IUnknown pointer.
             IUnknown* unknown = nullptr;
             o.Get()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
             if (unknown) unknown->Release();
             return reinterpret_cast<uintptr_t>(unknown);
           },
           "The object's identity: its IUnknown pointer as a number.");
  m.attr("DISPATCH_METHOD") = DISPATCH_METHOD;
  m.attr("DISPATCH_PROPERTYGET") = DISPATCH_PROPERTYGET;
  m.attr("DISPATCH_PROPERTYPUT") = DISPATCH_PROPERTYPUT;

  m.def("bind", [](py::object error, py::object unknownName, py::object factory) {
    ErrorClass() = std::move(error);
    UnknownNameClass() = std::move(unknownName);
    Factory() = std::move(factory);
  }, "Names the exception classes and the function that wraps each object returned.");
  m.def("dispatch", &Dispatch, py::arg("progid_or_clsid"),
        "A new object of a registered class, by ProgID or by {CLSID}, as IDispatch.");
  m.def("enumerations", &Enumerations, "Every enumeration of the library's type library: {enum: {name: value}}.");
  m.def("can_unload_now", [] { return DllCanUnloadNow() == S_OK; },
        "True when no object of the library lives (DllCanUnloadNow answers S_OK).");
  m.def("set_code_page",
        [](const std::string& name) {
          const HRESULT hr = SetThreadCodePage(name.c_str());
          if (FAILED(hr)) Raise(hr, "iconv does not know the code page " + name, "");
        },
        py::arg("iconv_name"),
        "Sets the calling thread's narrow code page, which the library's text values are kept in.");
  m.def("code_page", [] { return std::string(GetThreadCodePage()); }, "The calling thread's narrow code page.");
  m.def("library_path", &LibraryPath, "The file of the vtFC4 library this module uses.");
  m.def("roundtrip",
        [](py::object value) {
          // A value through VARIANT and back, as an argument and a result travel.
          Variant v;
          ToVariant(value, v.v);
          return FromVariant(v.v);
        },
        "Converts a value to a VARIANT and back: the conversions of arguments and results.");
  m.def("variant_type", [](py::object value) {
    Variant v;
    ToVariant(value, v.v);
    return v.v.vt;
  }, "The VARTYPE a value is passed as.");
  m.def("date_of", [](py::object value) {
    if (!PyDate_Check(value.ptr())) throw py::type_error("a date or datetime is wanted");
    return ToDate(value);
  }, "The DATE (days from 1899-12-30) of a date or datetime.");
  m.def("from_date", &FromDate, "The datetime of a DATE.");
}
