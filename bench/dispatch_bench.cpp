// Late binding's cost: reading a property of a request object through IDispatch::Invoke
// (by its dispatch identifier, found once, as a scripting client caches it) against the
// direct call through the vtable. Both hand out the same member object.
#include <benchmark/benchmark.h>

#include "vtfc4/vtfc4.h"

namespace {

struct Objects {
  vtfc4::ComPtr<IVTSessionManager> manager;
  vtfc4::ComPtr<IMsgSetRequest> set;
  vtfc4::ComPtr<ICustomerAdd> add;
  DISPID name = DISPID_UNKNOWN;
  Objects() {
    vtfc4::ComPtr<IClassFactory> factory;
    DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid());
    factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid());
    std::u16string us = u"US";
    vtfc4::Bstr country(us.c_str());
    manager->CreateMsgSetRequest(country.Get(), 4, 0, set.Put());
    set->AppendCustomerAddRq(add.Put());
    std::u16string n = u"Name";
    LPOLESTR names[] = {n.data()};
    add->GetIDsOfNames(IID_NULL, names, 1, 0, &name);
  }
};

void BM_DirectPropertyGet(benchmark::State& state) {
  Objects o;
  for (auto _ : state) {
    IVTStringType* value = nullptr;
    o.add->get_Name(&value);
    benchmark::DoNotOptimize(value);
    value->Release();
  }
}
BENCHMARK(BM_DirectPropertyGet);

void BM_InvokePropertyGet(benchmark::State& state) {
  Objects o;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    VARIANT result;
    VariantInit(&result);
    o.add->Invoke(o.name, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.pdispVal);
    VariantClear(&result);
  }
}
BENCHMARK(BM_InvokePropertyGet);

}  // namespace

BENCHMARK_MAIN();
