// Builds a customer add request from typed values and prints it as vtXML, without any
// connection: every value is checked when it is set, the set is verified, and the writer
// escapes text and leaves out what was never set.
#include <cstdio>
#include <string>

#include "vtfc4/vtfc4.h"

using vtfc4::Bstr;
using vtfc4::ComPtr;

namespace {

Bstr Wide(const char* text) {
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  return Bstr(wide.c_str());
}

std::string Ascii(BSTR text) {
  std::string out;
  for (UINT i = 0; i < SysStringLen(text); ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

bool Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
  return false;
}

}  // namespace

int main() {
  ComPtr<IClassFactory> factory;
  ComPtr<IVTSessionManager> manager;
  if (!Check(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject") ||
      !Check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), "CreateInstance"))
    return 1;
  // A request set needs no connection: the session manager only makes it.
  ComPtr<IMsgSetRequest> set;
  ComPtr<ICustomerAdd> add;
  if (!Check(manager->CreateMsgSetRequest(Wide("US").Get(), 4, 0, set.Put()), "CreateMsgSetRequest") ||
      !Check(set->AppendCustomerAddRq(add.Put()), "AppendCustomerAddRq"))
    return 1;

  ComPtr<IVTStringType> name, phone;
  add->get_Name(name.Put());
  add->get_Phone(phone.Put());
  Check(name->SetValue(Wide("Ames & Sons <Lyon>").Get()), "Name");
  // A value that breaks its limit is refused and leaves the member as it was.
  const HRESULT tooLong = phone->SetValue(Wide("+33 4 72 00 00 00 extension 12").Get());
  std::printf("a 30-character phone number: 0x%08X\n", static_cast<unsigned>(tooLong));
  Check(phone->SetValue(Wide("+33 4 72 00 00 00").Get()), "Phone");
  ComPtr<IVTAmountType> limit;
  add->get_CreditLimit(limit.Put());
  Check(limit->SetValue(2500.5), "CreditLimit");
  ComPtr<IVTBoolType> active;
  add->get_IsActive(active.Put());
  Check(active->SetValue(VARIANT_TRUE), "IsActive");

  Bstr report;
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(set->Verify(report.Put(), &ok), "Verify");
  std::printf("verified: %s\n", ok ? "yes" : Ascii(report.Get()).c_str());
  Bstr xml;
  if (!Check(set->ToXMLString(xml.Put()), "ToXMLString")) return 1;
  std::printf("%s", Ascii(xml.Get()).c_str());
  return 0;
}
