#include <string>

#include "src/com/text.h"
#include "src/core/aggregate.h"

namespace vtfc4 {
namespace {

// The class of an object of the model: its ENObjectType value and its class name.
class CObjectType final : public ComObject<IObjectType> {
 public:
  CObjectType(int16_t value, std::string_view name) : value_(value), name_(name) {}

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

}  // namespace

HRESULT MakeObjectType(int16_t value, std::string_view name, IObjectType** out) {
  return HandOut(MakeObject<CObjectType>(value, name), out);
}

}  // namespace vtfc4
