// The quickstart's road on the C++17 client layer (vtfc4/client.hpp): begin a session, add a
// customer with an address, read it back, modify it with the EditSequence the application gave,
// and print every answer. Every failure is a vtfc4::Error; the session ends when it goes.
//
//   quickstart_modern COMPANY_FILE
//   quickstart_modern --online LOGIN CONNECTION_TICKET
//
// Both roads find what they need as examples/quickstart.cpp does (VTFC4_REGISTRY for the
// desktop's request processor; VTFC4_GATEWAY_URL and VTFC4_CA_FILE for the online gateway).
#include <cstdio>
#include <memory>
#include <string>

#include "vtfc4/client.hpp"

using namespace vtfc4;

namespace {

void printCustomer(const ComPtr<ICustomerRet>& c) {
  auto text = [&c](auto getter) { return get(c, getter).value_or("(none)"); };
  std::printf("    ListID %s, FullName \"%s\", EditSequence %s, Phone %s\n", text(&ICustomerRet::get_ListID).c_str(),
              text(&ICustomerRet::get_FullName).c_str(), text(&ICustomerRet::get_EditSequence).c_str(),
              text(&ICustomerRet::get_Phone).c_str());
  if (auto bill = get(c, &ICustomerRet::get_BillAddress))
    std::printf("    BillAddress: %s, %s\n", get(bill, &IAddress::get_Addr1).value_or("(none)").c_str(),
                get(bill, &IAddress::get_City).value_or("(none)").c_str());
}

// Prints every answer of a set; returns the first customer record it holds.
ComPtr<ICustomerRet> printAnswers(const char* title, const ComPtr<IMsgSetResponse>& answer) {
  std::printf("%s\n", title);
  ComPtr<ICustomerRet> first;
  for (auto& r : responses(answer)) {
    std::printf("  status %d %s: %s\n", static_cast<int>(r.statusCode()), r.statusSeverity().c_str(),
                r.statusMessage().c_str());
    auto print = [&first](const ComPtr<ICustomerRet>& c) {
      printCustomer(c);
      if (!first) first = c;
    };
    if (auto one = r.as<ICustomerRet>()) print(one);
    for (auto& c : items(r.as<ICustomerRetList>())) print(c);
  }
  return first;
}

}  // namespace

int main(int argc, char** argv) try {
  const bool online = argc == 4 && std::string(argv[1]) == "--online";
  if (argc != 2 && !online) {
    std::fprintf(stderr, "usage: quickstart_modern COMPANY_FILE\n       quickstart_modern --online LOGIN CONNECTION_TICKET\n");
    return 2;
  }
  std::unique_ptr<SessionBase> session;
  if (online)
    session = std::make_unique<OnlineSession>(argv[2], argv[3], "4711", "1.0");
  else
    session = std::make_unique<DesktopSession>(argv[1], "vtFC4 quickstart");

  // Add a customer with an address.
  auto request = session->newRequest("US", 4, 0);
  auto customer = append(request, &IMsgSetRequest::AppendCustomerAddRq);
  set(customer, &ICustomerAdd::get_Name, "Ames Trading");
  set(customer, &ICustomerAdd::get_Phone, "555-0100");
  auto address = get(customer, &ICustomerAdd::get_BillAddress);
  set(address, &IAddress::get_Addr1, "12 Quai Est");
  set(address, &IAddress::get_City, "Lyon");
  auto added = printAnswers("Added:", session->send(request));
  if (!added) return 1;

  // Read it back by its ListID and modify it, in one set that stops at the first error.
  const std::string id = get(added, &ICustomerRet::get_ListID).value_or("");
  check(request->ClearRequests());
  check(get(request, &IMsgSetRequest::get_Attributes)->put_OnError(roeStop));
  auto query = append(request, &IMsgSetRequest::AppendCustomerQueryRq);
  add(get(get(query, &ICustomerQuery::get_ORCustomerListQuery), &IORCustomerListQuery::get_ListIDList), id);
  auto mod = append(request, &IMsgSetRequest::AppendCustomerModRq);
  set(mod, &ICustomerMod::get_ListID, id);
  set(mod, &ICustomerMod::get_EditSequence, get(added, &ICustomerRet::get_EditSequence).value_or(""));
  set(mod, &ICustomerMod::get_Phone, "555-0199");
  printAnswers("Read back, then modified:", session->send(request));

  session.reset();
  std::printf("Session ended, connection closed.\n");
  return 0;
} catch (const Error& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}
