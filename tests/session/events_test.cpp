// Events end to end: subscriptions made through the session manager, changes made through a
// session (in process, and through the daemon), and the events the sandbox delivers to the
// example subscriber module, read back from the file it writes them to.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "session/sandbox_folder.h"
#include "src/session/session_manager.h"

namespace vtfc4 {
namespace {

constexpr char kSubscriber[] = "{7D3C2B1A-0F9E-4D8C-B7A6-5F4E3D2C1B0A}";
constexpr char kProgID[] = "VtFC4.ExampleSubscriber";

// One delivered event, as the subscriber wrote it: its kind ("ListEvent", "TxnEvent",
// "CompanyFileEvent"), type, operation and identifier.
struct Event {
  std::string what, type, operation, id;
  bool operator==(const Event&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.what << " " << e.type << " " << e.operation << " " << e.id;
}

class Events : public SandboxFolder<::testing::TestWithParam<bool>> {
 protected:
  void SetUp() override {
#ifndef VTFC4_EXAMPLE_SUBSCRIBER
    GTEST_SKIP() << "the example subscriber is built with the examples";
#endif
    SandboxFolder::SetUp();
    log_ = folder_ + "/events.log";
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
    setenv("VTFC4_SANDBOX_SUBSCRIPTIONS", (folder_ + "/subscriptions.db").c_str(), 1);
    setenv("VTFC4_SUBSCRIBER_LOG", log_.c_str(), 1);
    ASSERT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, manager_.PutVoid()), S_OK);
    if (GetParam()) { ASSERT_EQ(manager_->CommunicateOutOfProcess(VARIANT_TRUE), S_OK); }
  }
  void TearDown() override {
    if (manager_) {
      manager_->EndSession();
      manager_->CloseConnection();
    }
    manager_.Reset();
    unsetenv("VTFC4_SANDBOX_SUBSCRIPTIONS");
    unsetenv("VTFC4_SUBSCRIBER_LOG");
    if (!folder_.empty()) SandboxFolder::TearDown();
  }

  // The example module registers its ProgID and class in the test's registry file.
  static void RegisterSubscriber() {
#ifdef VTFC4_EXAMPLE_SUBSCRIBER
    void* module = dlopen(VTFC4_EXAMPLE_SUBSCRIBER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(module) << dlerror();
    auto registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
    ASSERT_TRUE(registerServer);
    ASSERT_EQ(registerServer(), S_OK);
#endif
  }

  // A subscription document sent through the manager; the status of each answer.
  std::vector<int> Subscribe(const std::string& requests) {
    const std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
                             "<VTXMLSubscriptionMsgsRq>\r\n" + requests + "</VTXMLSubscriptionMsgsRq>\r\n</VTXML>\r\n";
    ComPtr<ISubscriptionMsgSetResponse> answer;
    EXPECT_EQ(manager_->DoSubscriptionRequestsFromXMLString(Wide(text).Get(), answer.Put()), S_OK) << TakeError();
    std::vector<int> codes;
    ComPtr<IResponseList> list;
    if (answer) answer->get_ResponseList(list.Put());
    for (LONG i = 0, n = list ? CountOf(list.Get()) : 0; i < n; ++i) {
      ComPtr<IResponse> r;
      LONG code = -1;
      if (list->GetAt(i, r.Put()) == S_OK) r->get_StatusCode(&code);
      codes.push_back(code);
    }
    return codes;
  }
  static std::string DataSubscription(const std::string& lists, const std::string& txns) {
    return std::string("<DataEventSubscriptionAddRq>\r\n<DataEventSubscriptionAdd>\r\n<SubscriberID>") + kSubscriber +
           "</SubscriberID>\r\n<COMCallbackInfo>\r\n<AppName>Watcher</AppName>\r\n<ProgID>" + kProgID +
           "</ProgID>\r\n</COMCallbackInfo>\r\n<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\r\n"
           "<TrackLostEvents>All</TrackLostEvents>\r\n" + lists + txns +
           "</DataEventSubscriptionAdd>\r\n</DataEventSubscriptionAddRq>\r\n";
  }
  // Customers (every operation) and invoices (added).
  static std::string CustomersAndInvoices() {
    return DataSubscription("<ListEventSubscription>\r\n<ListEventType>Customer</ListEventType>\r\n"
                            "<ListEventOperation>Add</ListEventOperation>\r\n<ListEventOperation>Modify"
                            "</ListEventOperation>\r\n<ListEventOperation>Delete</ListEventOperation>\r\n"
                            "</ListEventSubscription>\r\n",
                            "<TxnEventSubscription>\r\n<TxnEventType>Invoice</TxnEventType>\r\n"
                            "<TxnEventOperation>Add</TxnEventOperation>\r\n</TxnEventSubscription>\r\n");
  }

  void Open() {
    ASSERT_EQ(manager_->OpenConnection(Wide("").Get(), Wide("events").Get()), S_OK) << TakeError();
    ASSERT_EQ(manager_->BeginSession(Wide(company_).Get(), omDontCare), S_OK) << TakeError();
  }

  // A message set of these requests; its answer's text.
  std::string Send(const std::string& requests, const char* onError = "stopOnError") {
    const std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq onError=\"" +
                             std::string(onError) + "\">\r\n" + requests + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
    ComPtr<IMsgSetResponse> answer;
    EXPECT_EQ(manager_->DoRequestsFromXMLString(Wide(text).Get(), answer.Put()), S_OK) << TakeError();
    Bstr xml;
    if (answer) answer->ToXMLString(xml.Put());
    return xml.IsNull() ? "" : Narrow(xml);
  }
  // The text of `path` (e.g. "CustomerAddRs/CustomerRet/ListID") in the i-th answer of a reply.
  static std::string Answered(const std::string& reply, size_t i, const char* path) {
    pugi::xml_document doc;
    doc.load_string(reply.c_str());
    size_t n = 0;
    for (pugi::xml_node rs : doc.child("VTXML").child("VTXMLMsgsRs").children())
      if (n++ == i) return rs.first_element_by_path(path).child_value();
    return "";
  }

  // The events the subscriber has written so far, each checked as the library reads events.
  std::vector<Event> Delivered() {
    std::ifstream in(log_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<Event> events;
    for (size_t at = text.find("<?xml"); at != std::string::npos;) {
      const size_t next = text.find("<?xml", at + 1);
      const std::string document = text.substr(at, next == std::string::npos ? std::string::npos : next - at);
      at = next;
      ComPtr<IEventsMsgSet> read;
      EXPECT_EQ(manager_->ToEventsMsgSet(Wide(document).Get(), 4, 0, read.Put()), S_OK) << TakeError() << document;
      pugi::xml_document doc;
      EXPECT_TRUE(doc.load_string(document.c_str())) << document;
      pugi::xml_node event = doc.child("VTXML").child("VTXMLEvents").first_child();
      EXPECT_EQ(std::string(event.child_value("CompanyFilePath")), company_);
      EXPECT_STREQ(event.child("HostInfo").child_value("Country"), "US");
      for (const char* what : {"ListEvent", "TxnEvent", "CompanyFileEvent"}) {
        pugi::xml_node e = event.child(what);
        if (!e) continue;
        const std::string prefix = what == std::string("ListEvent") ? "List" : what == std::string("TxnEvent") ? "Txn" : "";
        events.push_back({what, prefix.empty() ? "" : e.child_value((prefix + "EventType").c_str()),
                          e.child_value(prefix.empty() ? "CompanyFileEventOperation" : (prefix + "EventOperation").c_str()),
                          e.child_value(prefix == "Txn" ? "TxnID" : "ListID")});
      }
    }
    return events;
  }
  // Waits (boundedly) for `count` events, then a little longer for any that should not come.
  std::vector<Event> DeliveredWhen(size_t count) {
    Eventually([&] { return Delivered().size() >= count; }, std::chrono::seconds(15), std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return Delivered();
  }
  // The events waiting in the company file's outbox, and how many times the first failed.
  std::pair<int, int> Waiting() {
    sqlite3* db = nullptr;
    std::pair<int, int> waiting{-1, -1};
    if (sqlite3_open_v2(company_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*), coalesce(max(attempts), 0) FROM event_outbox", -1, &st, nullptr) ==
              SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW)
        waiting = {sqlite3_column_int(st, 0), sqlite3_column_int(st, 1)};
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return waiting;
  }

  std::string log_;
  ComPtr<IVTSessionManager> manager_;
};

const std::string kItem =
    "<ItemServiceAddRq><ItemServiceAdd><Name>Consulting</Name><SalesTaxCodeRef><FullName>Non</FullName>"
    "</SalesTaxCodeRef><SalesOrPurchase><Price>100.00</Price><AccountRef><FullName>Uncategorized Income</FullName>"
    "</AccountRef></SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>\r\n";

std::string AddCustomer(const std::string& name) {
  return "<CustomerAddRq><CustomerAdd><Name>" + name + "</Name></CustomerAdd></CustomerAddRq>\r\n";
}

// A customer added, modified and deleted, another one invoiced: exactly those events, in order,
// each with its record's identifier; an item added raises none (nobody asked for items).
TEST_P(Events, ChangesArriveInOrder) {
  RegisterSubscriber();
  ASSERT_EQ(Subscribe(CustomersAndInvoices()), std::vector<int>{0});
  Open();
  const std::string added = Send(AddCustomer("Acme") + AddCustomer("Passing Trade") + kItem);
  const std::string acme = Answered(added, 0, "CustomerRet/ListID"), passing = Answered(added, 1, "CustomerRet/ListID");
  ASSERT_FALSE(passing.empty()) << added;
  const std::string modified = Send("<CustomerModRq><CustomerMod><ListID>" + passing + "</ListID><EditSequence>" +
                                    Answered(added, 1, "CustomerRet/EditSequence") +
                                    "</EditSequence><Phone>555</Phone></CustomerMod></CustomerModRq>\r\n");
  ASSERT_EQ(Answered(modified, 0, "CustomerRet/Phone"), "555") << modified;
  Send("<ListDelRq><ListDelType>Customer</ListDelType><ListID>" + passing + "</ListID></ListDelRq>\r\n");
  const std::string invoiced = Send(
      "<InvoiceAddRq><InvoiceAdd><CustomerRef><ListID>" + acme + "</ListID></CustomerRef><RefNumber>I-1</RefNumber>"
      "<InvoiceLineAdd><ItemRef><FullName>Consulting</FullName></ItemRef><Quantity>2</Quantity></InvoiceLineAdd>"
      "</InvoiceAdd></InvoiceAddRq>\r\n");
  const std::string invoice = Answered(invoiced, 0, "InvoiceRet/TxnID");
  ASSERT_FALSE(invoice.empty()) << invoiced;

  const std::vector<Event> expected = {{"ListEvent", "Customer", "Add", acme},
                                       {"ListEvent", "Customer", "Add", passing},
                                       {"ListEvent", "Customer", "Modify", passing},
                                       {"ListEvent", "Customer", "Delete", passing},
                                       {"TxnEvent", "Invoice", "Add", invoice}};
  EXPECT_EQ(DeliveredWhen(expected.size()), expected);
  EXPECT_EQ(Waiting().first, 0);
}

// A set rolled back raises nothing; a refused request of a set that stops raises nothing for
// itself, while what the set kept before it does.
TEST_P(Events, WhatIsRolledBackRaisesNothing) {
  RegisterSubscriber();
  ASSERT_EQ(Subscribe(CustomersAndInvoices()), std::vector<int>{0});
  Open();
  const std::string missing = "<ListDelRq><ListDelType>Customer</ListDelType><ListID>1-1</ListID></ListDelRq>\r\n";
  Send(AddCustomer("Undone") + missing, "rollbackOnError");
  const std::string kept = Send(AddCustomer("Kept") + missing + AddCustomer("Never"));
  const std::string id = Answered(kept, 0, "CustomerRet/ListID");
  ASSERT_FALSE(id.empty()) << kept;
  EXPECT_EQ(DeliveredWhen(1), (std::vector<Event>{{"ListEvent", "Customer", "Add", id}}));
}

// A subscriber whose class is not registered yet loses nothing: its events wait, are offered
// again, and arrive once it is registered.
TEST_P(Events, AnUnregisteredSubscriberLosesNothing) {
  ASSERT_EQ(Subscribe(CustomersAndInvoices()), std::vector<int>{0});
  Open();
  const std::string first = Answered(Send(AddCustomer("First")), 0, "CustomerRet/ListID");
  const std::string second = Answered(Send(AddCustomer("Second")), 0, "CustomerRet/ListID");
  ASSERT_TRUE(Eventually([&] { return Waiting().second >= 1; }, std::chrono::seconds(10), std::chrono::milliseconds(50)))
      << "no delivery was tried";
  EXPECT_EQ(Waiting().first, 2);
  EXPECT_TRUE(Delivered().empty());
  RegisterSubscriber();
  EXPECT_EQ(DeliveredWhen(2), (std::vector<Event>{{"ListEvent", "Customer", "Add", first},
                                                  {"ListEvent", "Customer", "Add", second}}));
  EXPECT_EQ(Waiting().first, 0);
}

// A deleted subscription stops delivery: what waited for it goes, and nothing new is raised.
TEST_P(Events, ADeletedSubscriptionStopsDelivery) {
  ASSERT_EQ(Subscribe(CustomersAndInvoices()), std::vector<int>{0});
  Open();
  Send(AddCustomer("Waiting"));
  ASSERT_TRUE(Eventually([&] { return Waiting().second >= 1; }, std::chrono::seconds(10), std::chrono::milliseconds(50)));
  ASSERT_EQ(Subscribe(std::string("<SubscriptionDelRq><SubscriberID>") + kSubscriber +
                      "</SubscriberID><SubscriptionType>Data</SubscriptionType></SubscriptionDelRq>\r\n"),
            std::vector<int>{0});
  RegisterSubscriber();
  Send(AddCustomer("Unheard"));
  EXPECT_TRUE(Eventually([&] { return Waiting().first == 0; }, std::chrono::seconds(15), std::chrono::milliseconds(50)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(Delivered().empty());
}

// A UI event subscription hears the company file opened and closed.
TEST_P(Events, TheCompanyFileOpenedAndClosed) {
  RegisterSubscriber();
  ASSERT_EQ(Subscribe(std::string("<UIEventSubscriptionAddRq><UIEventSubscriptionAdd><SubscriberID>") + kSubscriber +
                      "</SubscriberID><COMCallbackInfo><AppName>Watcher</AppName><ProgID>" + kProgID +
                      "</ProgID></COMCallbackInfo><DeliveryPolicy>DeliverAlways</DeliveryPolicy>"
                      "<CompanyFileEventSubscription><CompanyFileEventOperation>Open</CompanyFileEventOperation>"
                      "<CompanyFileEventOperation>Close</CompanyFileEventOperation></CompanyFileEventSubscription>"
                      "</UIEventSubscriptionAdd></UIEventSubscriptionAddRq>\r\n"),
            std::vector<int>{0});
  Open();
  EXPECT_EQ(DeliveredWhen(1), (std::vector<Event>{{"CompanyFileEvent", "", "Open", ""}}));
  ASSERT_EQ(manager_->EndSession(), S_OK) << TakeError();
  EXPECT_EQ(DeliveredWhen(2),
            (std::vector<Event>{{"CompanyFileEvent", "", "Open", ""}, {"CompanyFileEvent", "", "Close", ""}}));
}

INSTANTIATE_TEST_SUITE_P(Processors, Events, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "OutOfProcess" : "InProcess"; });

}  // namespace
}  // namespace vtfc4
