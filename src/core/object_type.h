// Internal: the object behind IObjectType and the interfaces derived from it (the kinds of
// requests and responses): a type number and a class or element name.
#ifndef VTFC4_SRC_CORE_OBJECT_TYPE_H
#define VTFC4_SRC_CORE_OBJECT_TYPE_H

#include <string>
#include <string_view>

#include "src/com/object.h"
#include "src/com/text.h"
#include "vtfc4/values.h"

namespace vtfc4 {

template <class Interface>
class TypeObject final : public ComObject<Interface> {
 public:
  TypeObject(int16_t value, std::string_view name) : value_(value), name_(name) {}

  HRESULT GetValue(SHORT* out) override {
    if (!out) return E_POINTER;
    *out = value_;
    return S_OK;
  }
  HRESULT GetAsString(BSTR* out) override { return HandOutText(name_, out); }

 private:
  int16_t value_;
  std::string name_;
};

template <class Interface>
HRESULT MakeTypeObject(int16_t value, std::string_view name, Interface** out) {
  return HandOut(MakeObject<TypeObject<Interface>>(value, name), out);
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_OBJECT_TYPE_H
