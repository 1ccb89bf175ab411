// Internal: the COM side shared by every value class: IBasicPropertyType over the
// BasicPropertyType state, and ISupportErrorInfo for the classes that report descriptions.
#ifndef VTFC4_SRC_CORE_VALUE_OBJECT_H
#define VTFC4_SRC_CORE_VALUE_OBJECT_H

#include <type_traits>

#include "src/com/object.h"
#include "src/core/element.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// `Describes` is false for the classes that return their status codes without an error
// description (enumerations, the float class, lists): they offer no ISupportErrorInfo.
template <class Interface, bool Describes = true>
class ValueObject
    : public std::conditional_t<Describes, ComObject<Interface, ISupportErrorInfo>,
                                ComObject<Interface>>,
      public BasicPropertyType {
 public:
  using BasicPropertyType::IsSet;

  HRESULT IsSet(VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    *out = state_ > 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT IsEmpty(VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    *out = empty_ != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT Unset() override {
    DoUnset();
    return S_OK;
  }
  HRESULT SetEmpty() override {
    DoSetEmpty();
    return S_OK;
  }
  BasicPropertyType* AsValue() override { return this; }

 protected:
  bool Outlive() override { return holder_ && holder_->Keep(this); }
  static constexpr bool kDescribes = Describes;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_VALUE_OBJECT_H
