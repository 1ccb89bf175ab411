// Internal: the COM side shared by every aggregate class: IVTBase over the aggregate core, and
// ISupportErrorInfo for the class's own interface.
#ifndef VTFC4_SRC_CORE_AGGREGATE_OBJECT_H
#define VTFC4_SRC_CORE_AGGREGATE_OBJECT_H

#include <utility>

#include "src/core/aggregate.h"

namespace vtfc4 {

// `Core` is VTCoreBase or a class derived from it, constructed from the class's constants.
template <class Interface, class Core = VTCoreBase>
class AggregateObject : public ComObject<Interface, ISupportErrorInfo>, public Core {
 public:
  using VTCoreBase::Verify;

  template <class Arg>
  explicit AggregateObject(const Arg& info) : Core(info) {}

  HRESULT get_Type(IObjectType** out) override { return this->GetTypeCom(out); }
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override { return this->VerifyCom(errorMsg, isOK); }

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_AGGREGATE_OBJECT_H
