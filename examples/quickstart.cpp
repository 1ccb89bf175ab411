// The main road of a vtFC4 client: open a connection to the accounting application, begin a
// session on a company file, add a customer with an address, read it back, modify it with the
// EditSequence the application gave, and print every answer.
//
//   quickstart COMPANY_FILE
//   quickstart --online LOGIN CONNECTION_TICKET
//
// The desktop road finds the request processor through the registry file (VTFC4_REGISTRY);
// ./demo.sh registers the sandbox's and makes a company file for it. The online road takes the
// same steps through VTOESessionManager: each set goes by HTTPS to the gateway that
// VTFC4_GATEWAY_URL names (its certificate trusted through VTFC4_CA_FILE), signing on with the
// login and the connection ticket the company issued; ./demo.sh online serves one.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vtfc4/vtfc4.h"

using vtfc4::Bstr;
using vtfc4::ComPtr;

namespace {

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; i < SysStringLen(text); ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

Bstr Wide(const char* text) {
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  return Bstr(wide.c_str());
}

// Stops with the current error's description when a call fails.
void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  std::fprintf(stderr, "%s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr), Narrow(description.Get()).c_str());
  std::exit(1);
}

template <class V>
void SetText(V* holder, HRESULT (V::*get)(IVTStringType**), const char* value) {
  ComPtr<IVTStringType> field;
  Check((holder->*get)(field.Put()), "get field");
  Check(field->SetValue(Wide(value).Get()), "set value");
}

std::string Text(IVTStringType* value) {
  Bstr text;
  return value && SUCCEEDED(value->GetValue(text.Put())) ? Narrow(text.Get()) : "(none)";
}

void PrintCustomer(ICustomerRet* customer) {
  ComPtr<IVTIDType> id;
  ComPtr<IVTStringType> name, edit, phone;
  ComPtr<IAddress> bill;
  customer->get_ListID(id.Put());
  customer->get_FullName(name.Put());
  customer->get_EditSequence(edit.Put());
  customer->get_Phone(phone.Put());
  customer->get_BillAddress(bill.Put());
  Bstr listID;
  if (id) id->GetValue(listID.Put());
  std::printf("    ListID %s, FullName \"%s\", EditSequence %s, Phone %s\n", Narrow(listID.Get()).c_str(),
              Text(name.Get()).c_str(), Text(edit.Get()).c_str(), Text(phone.Get()).c_str());
  if (bill) {
    ComPtr<IVTStringType> addr1, city;
    bill->get_Addr1(addr1.Put());
    bill->get_City(city.Put());
    std::printf("    BillAddress: %s, %s\n", Text(addr1.Get()).c_str(), Text(city.Get()).c_str());
  }
}

// Prints every answer of a set; returns the first customer record it holds.
ComPtr<ICustomerRet> PrintAnswers(const char* title, IMsgSetResponse* set) {
  std::printf("%s\n", title);
  ComPtr<IResponseList> list;
  set->get_ResponseList(list.Put());
  LONG count = 0;
  list->get_Count(&count);
  ComPtr<ICustomerRet> first;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IResponse> response;
    list->GetAt(i, response.Put());
    LONG code = 0;
    Bstr severity, message;
    response->get_StatusCode(&code);
    response->get_StatusSeverity(severity.Put());
    response->get_StatusMessage(message.Put());
    std::printf("  status %d %s: %s\n", static_cast<int>(code), Narrow(severity.Get()).c_str(),
                Narrow(message.Get()).c_str());
    ComPtr<IVTBase> detail;
    response->get_Detail(detail.Put());
    ComPtr<ICustomerRet> customer;
    ComPtr<ICustomerRetList> customers;
    if (detail && SUCCEEDED(detail->QueryInterface(IID_ICustomerRet, customer.PutVoid()))) {
      PrintCustomer(customer.Get());
    } else if (detail && SUCCEEDED(detail->QueryInterface(IID_ICustomerRetList, customers.PutVoid()))) {
      LONG n = 0;
      customers->get_Count(&n);
      for (LONG k = 0; k < n; ++k) {
        customers->GetAt(k, customer.Put());
        PrintCustomer(customer.Get());
      }
    }
    if (customer && !first) first = customer;
  }
  return first;
}

}  // namespace

int main(int argc, char** argv) {
  const bool online = argc == 4 && std::string(argv[1]) == "--online";
  if (argc != 2 && !online) {
    std::fprintf(stderr, "usage: quickstart COMPANY_FILE\n       quickstart --online LOGIN CONNECTION_TICKET\n");
    return 2;
  }
  // The library as an in-process server: its factory makes the session manager, of the
  // desktop or of the online edition. Both have the same operations.
  ComPtr<IClassFactory> factory;
  Check(DllGetClassObject(online ? CLSID_VTOESessionManager : CLSID_VTSessionManager, IID_IClassFactory,
                          factory.PutVoid()),
        "DllGetClassObject");
  ComPtr<IVTSessionManager> manager;
  Check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), "CreateInstance");

  if (online) {
    // Who signs on, set once: every set this manager sends carries it, and after the first
    // answer the session ticket that answer brought.
    ComPtr<IVTOESessionManager> signOn;
    Check(manager->QueryInterface(IID_IVTOESessionManager, signOn.PutVoid()), "IVTOESessionManager");
    SetText(signOn.Get(), &IVTOESessionManager::get_AppID, "4711");
    SetText(signOn.Get(), &IVTOESessionManager::get_AppVer, "1.0");
    SetText(signOn.Get(), &IVTOESessionManager::get_Language, "English");
    SetText(signOn.Get(), &IVTOESessionManager::get_ApplicationLogin, argv[2]);
    SetText(signOn.Get(), &IVTOESessionManager::get_ConnectionTicket, argv[3]);
  }
  // The online edition has no connection or session to open: these do nothing there.
  Check(manager->OpenConnection(Wide("").Get(), Wide("vtFC4 quickstart").Get()), "OpenConnection");
  Check(manager->BeginSession(Wide(online ? "" : argv[1]).Get(), omDontCare), "BeginSession");

  // Add a customer with an address.
  ComPtr<IMsgSetRequest> request;
  Check(manager->CreateMsgSetRequest(Wide("US").Get(), 4, 0, request.Put()), "CreateMsgSetRequest");
  ComPtr<ICustomerAdd> add;
  Check(request->AppendCustomerAddRq(add.Put()), "AppendCustomerAddRq");
  SetText(add.Get(), &ICustomerAdd::get_Name, "Ames Trading");
  SetText(add.Get(), &ICustomerAdd::get_Phone, "555-0100");
  ComPtr<IAddress> address;
  Check(add->get_BillAddress(address.Put()), "BillAddress");
  SetText(address.Get(), &IAddress::get_Addr1, "12 Quai Est");
  SetText(address.Get(), &IAddress::get_City, "Lyon");
  ComPtr<IMsgSetResponse> answer;
  Check(manager->DoRequests(request.Get(), answer.Put()), "DoRequests (add)");
  ComPtr<ICustomerRet> added = PrintAnswers("Added:", answer.Get());
  if (!added) return 1;

  // Read it back by its ListID and modify it, naming the EditSequence it has now, in one set.
  // A set of more than one request must say what the application does when one fails.
  ComPtr<IVTIDType> listID;
  added->get_ListID(listID.Put());
  Bstr id;
  listID->GetValue(id.Put());
  ComPtr<IVTStringType> edit;
  added->get_EditSequence(edit.Put());
  Check(request->ClearRequests(), "ClearRequests");
  ComPtr<IAttributesRqSet> attributes;
  Check(request->get_Attributes(attributes.Put()), "Attributes");
  Check(attributes->put_OnError(roeStop), "OnError");
  ComPtr<ICustomerQuery> query;
  Check(request->AppendCustomerQueryRq(query.Put()), "AppendCustomerQueryRq");
  ComPtr<IORCustomerListQuery> choice;
  query->get_ORCustomerListQuery(choice.Put());
  ComPtr<IBSTRList> ids;
  choice->get_ListIDList(ids.Put());
  Check(ids->Add(id.Get()), "ListID");
  ComPtr<ICustomerMod> mod;
  Check(request->AppendCustomerModRq(mod.Put()), "AppendCustomerModRq");
  ComPtr<IVTIDType> modID;
  mod->get_ListID(modID.Put());
  Check(modID->SetValue(id.Get()), "ListID");
  SetText(mod.Get(), &ICustomerMod::get_EditSequence, Text(edit.Get()).c_str());
  SetText(mod.Get(), &ICustomerMod::get_Phone, "555-0199");
  Check(manager->DoRequests(request.Get(), answer.Put()), "DoRequests (query and mod)");
  PrintAnswers("Read back, then modified:", answer.Get());

  Check(manager->EndSession(), "EndSession");
  Check(manager->CloseConnection(), "CloseConnection");
  std::printf("Session ended, connection closed.\n");
  return 0;
}
