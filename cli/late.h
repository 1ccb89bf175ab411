// Late binding for the vtfc4 command: objects of the model walked and called by name, through
// IDispatch and the type library the library carries, so that the command knows no class of the
// catalogue and serves every one of them.
#ifndef VTFC4_CLI_LATE_H
#define VTFC4_CLI_LATE_H

#include <map>
#include <string>
#include <vector>

#include "vtfc4/client.hpp"

namespace vtfc4::cli {

// A VARIANT that clears itself.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

// What the type library says of an interface: its name and its own functions.
struct Shape {
  std::string name;  // "ICustomerRet"
  // The property gets that take no argument, in slot order (which is the document's order).
  std::vector<std::pair<std::string, DISPID>> getters;
  std::map<std::string, DISPID> functions;  // every function by name

  // The dispatch identifier of a function, or DISPID_UNKNOWN.
  DISPID Find(const std::string& function) const {
    const auto it = functions.find(function);
    return it == functions.end() ? DISPID_UNKNOWN : it->second;
  }
  bool IsList() const { return Find("Count") != DISPID_UNKNOWN && Find("GetAt") != DISPID_UNKNOWN; }
};

// The shape of an object's interface (kept for the life of the process, by interface name).
const Shape& ShapeOf(IDispatch* object);

// Calls a function; `arguments` in the order of the function's parameters. Throws Error.
void Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> arguments, VARIANT* result,
          const std::string& context);

// A property get or method that gives an object; null when the member is absent.
ComPtr<IDispatch> GetObject(IDispatch* object, DISPID id, const std::string& context);
// The same by name; null also when the interface has no such member.
ComPtr<IDispatch> GetObject(IDispatch* object, const std::string& member);

// A BSTR argument that borrows `text` (the caller keeps it alive for the call).
inline VARIANT TextArgument(const Bstr& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text.Get();
  return v;
}

}  // namespace vtfc4::cli

#endif  // VTFC4_CLI_LATE_H
