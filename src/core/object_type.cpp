#include "src/core/object_type.h"

#include "src/core/aggregate.h"

namespace vtfc4 {

HRESULT MakeObjectType(int16_t value, std::string_view name, IObjectType** out) {
  return MakeTypeObject(value, name, out);
}

}  // namespace vtfc4
