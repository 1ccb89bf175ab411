// Internal: the COM side shared by every aggregate class: IVTBase over VTCoreBase, the member
// slots, and ISupportErrorInfo for the class's own interface.
#ifndef VTFC4_SRC_CORE_AGGREGATE_OBJECT_H
#define VTFC4_SRC_CORE_AGGREGATE_OBJECT_H

#include "src/core/aggregate.h"

namespace vtfc4 {

template <class Interface, size_t SlotCount>
class AggregateObject : public ComObject<Interface, ISupportErrorInfo>, public VTCoreBase {
 public:
  using VTCoreBase::Verify;

  explicit AggregateObject(const ClassInfo& info) : VTCoreBase(info, slots_) {}

  HRESULT get_Type(IObjectType** out) override { return GetTypeCom(out); }
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override { return VerifyCom(errorMsg, isOK); }

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }

 private:
  RootRef slots_[SlotCount > 0 ? SlotCount : 1];
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_AGGREGATE_OBJECT_H
