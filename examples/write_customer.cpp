// Builds a customer record from typed values and prints it as vtXML: every value is checked
// when it is set, and the writer escapes text and omits what was never set.
#include <cstdio>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/aggregate_object.h"
#include "src/core/values.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"
#include "vtfc4/comptr.h"

using namespace vtfc4;

namespace {

constexpr MemberDescriptor kAddressMembers[] = {
    AddValueElement(tag::Addr1), AddValueElement(tag::City), AddValueElement(tag::PostalCode)};
constexpr ClassInfo kAddress{"Address", 349, kPlain, kAddressMembers, 3};

constexpr MemberDescriptor kCustomerMembers[] = {
    AddValueElement(tag::Name, true), AddValueElement(tag::IsActive),
    AddAggregateElement(tag::BillAddress), AddValueElement(tag::Phone),
    AddValueElement(tag::OpenBalance), AddValueElement(tag::Notes)};
constexpr ClassInfo kCustomer{"CustomerAdd", 277, kPlain, kCustomerMembers, 6};

class Address final : public AggregateObject<IVTBase> {
 public:
  Address() : AggregateObject(kAddress) { InitMode(true, nullptr); }
  ComPtr<IVTStringType> Text(size_t i, int32_t max) {
    ComPtr<IVTStringType> v;
    GetMember(i, v.Put(), [max] { return NewStringValue(max); });
    return v;
  }
};

class Customer final : public AggregateObject<IVTBase> {
 public:
  Customer() : AggregateObject(kCustomer) { InitMode(true, nullptr); }
  ComPtr<IVTStringType> Name() { return Get<IVTStringType>(0, [] { return NewStringValue(41); }); }
  ComPtr<IVTBoolType> IsActive() { return Get<IVTBoolType>(1, [] { return NewBoolValue(); }); }
  Address* BillAddress() {
    ComPtr<IVTBase> a = Get<IVTBase>(2, [] { return MakeObject<Address>(); });
    return dynamic_cast<Address*>(Slot(2));
  }
  ComPtr<IVTStringType> Phone() { return Get<IVTStringType>(3, [] { return NewStringValue(21); }); }
  ComPtr<IVTAmountType> OpenBalance() {
    return Get<IVTAmountType>(4, [] { return NewAmountValue(); });
  }

 private:
  template <class I, class F>
  ComPtr<I> Get(size_t i, F make) {
    ComPtr<I> v;
    GetMember(i, v.Put(), make);
    return v;
  }
};

void ShowError(const char* what, HRESULT hr) {
  ComPtr<IErrorInfo> info;
  Bstr text;
  if (GetErrorInfo(0, info.Put()) == S_OK) info->GetDescription(text.Put());
  std::printf("%s -> 0x%08X \"%s\"\n", what, static_cast<unsigned>(hr), ToNarrow(text.Get()).c_str());
}

}  // namespace

int main() {
  ComPtr<Customer> customer = ComPtr<Customer>::Adopt(MakeObject<Customer>());

  std::string errors;
  customer->Verify(true, errors);
  std::printf("An empty record does not verify:\n%s\n", errors.c_str());

  customer->Name()->SetValue(Bstr(u"Ames & Sons <Ltd>").Get());
  customer->IsActive()->SetValue(VARIANT_TRUE);
  customer->BillAddress()->Text(0, 41)->SetValue(Bstr(u"12 Rue de l'\u00C9glise").Get());
  customer->BillAddress()->Text(1, 31)->SetValue(Bstr(u"Montr\u00E9al").Get());
  customer->OpenBalance()->SetValue(1250.5);

  std::printf("Values are checked as they are set:\n");
  ShowError("  Phone of 30 digits", customer->Phone()->SetValue(Bstr(u"123456789012345678901234567890").Get()));
  ShowError("  OpenBalance 12.345", customer->OpenBalance()->SetValue(12.345));

  XMLBuilder builder(4, 0, 0);
  customer->Build("", builder);
  std::printf("\nThe record as vtXML (CR LF line ends, text escaped, unset members left out):\n%s",
              std::string(builder.Output()).c_str());
  return 0;
}
