// Events raised by message sets and kept in the company file's outbox: which changes raise
// which events, what a rolled-back change leaves (nothing), and how deliverers claim, postpone
// and remove what waits.
#include "processor/events.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "processor/sandbox_engine.h"
#include "processor/store.h"
#include "processor/document.h"
#include "processor/subscriptions.h"

namespace vtfc4::sandbox {
namespace {

constexpr char kWatcher[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";
constexpr char kOther[] = "{AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE}";

std::string Wrap(const char* root, const std::string& requests, const char* onError = nullptr) {
  return std::string("<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<") + root +
         (onError ? std::string(" onError=\"") + onError + "\"" : "") + ">\r\n" + requests + "</" + root +
         ">\r\n</VTXML>\r\n";
}

std::string Subscription(const char* subscriber, const std::string& entries) {
  return std::string("<DataEventSubscriptionAddRq><DataEventSubscriptionAdd><SubscriberID>") + subscriber +
         "</SubscriberID><COMCallbackInfo><AppName>A</AppName><ProgID>A.B</ProgID></COMCallbackInfo>"
         "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>" + entries + "</DataEventSubscriptionAdd></DataEventSubscriptionAddRq>";
}

std::string Answered(const std::string& reply, std::size_t i, const char* path) {
  pugi::xml_document doc;
  doc.load_string(reply.c_str());
  std::size_t n = 0;
  for (pugi::xml_node rs : doc.child("VTXML").child("VTXMLMsgsRs").children())
    if (n++ == i) return rs.first_element_by_path(path).child_value();
  return "";
}

// A row of the outbox: its subscriber and what its event says.
struct Row {
  std::string subscriber, summary;
  bool operator==(const Row&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Row& r) { return out << r.subscriber << " " << r.summary; }

class Outbox : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-events-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    setenv("VTFC4_SANDBOX_SUBSCRIPTIONS", (folder_ + "/subscriptions.db").c_str(), 1);
    std::string error;
    file_ = CompanyFile::Create(folder_ + "/books.vtc", error);
    ASSERT_TRUE(file_) << error;
  }
  void TearDown() override {
    file_.reset();
    unsetenv("VTFC4_SANDBOX_SUBSCRIPTIONS");
    std::filesystem::remove_all(folder_);
  }
  std::string Send(const std::string& requests, const char* onError = "stopOnError") {
    return ProcessRequest(*file_, Wrap("VTXMLMsgsRq", requests, onError));
  }
  // The outbox, in order: "ListEvent Customer Add <id>" and the like.
  std::vector<Row> Rows() {
    std::vector<Row> rows;
    Stmt all(file_->Handle(), "SELECT subscriber_id, document FROM event_outbox ORDER BY seq");
    while (all.Step()) {
      pugi::xml_document doc;
      EXPECT_TRUE(doc.load_string(all.Text(1).c_str()));
      pugi::xml_node data = doc.child("VTXML").child("VTXMLEvents").child("DataEvent");
      pugi::xml_node e = data.first_element_by_path("ListEvent");
      const bool txn = !e;
      if (txn) e = data.child("TxnEvent");
      const std::string p = txn ? "Txn" : "List";
      rows.push_back({all.Text(0), std::string(e.name()) + " " + e.child_value((p + "EventType").c_str()) + " " +
                                       e.child_value((p + "EventOperation").c_str()) + " " +
                                       e.child_value(txn ? "TxnID" : "ListID")});
    }
    return rows;
  }

  std::string folder_;
  std::unique_ptr<CompanyFile> file_;
};

// Which change raises which event for whom: by kind and operation, each subscriber its own copy.
TEST_F(Outbox, ChangesRaiseTheEventsAskedFor) {
  const std::string customersAdded = "<ListEventSubscription><ListEventType>Customer</ListEventType>"
                                     "<ListEventOperation>Add</ListEventOperation></ListEventSubscription>";
  ProcessSubscriptionRequest(Wrap(
      "VTXMLSubscriptionMsgsRq",
      Subscription(kWatcher, "<ListEventSubscription><ListEventType>Customer</ListEventType><ListEventType>Vendor"
                             "</ListEventType><ListEventOperation>Add</ListEventOperation><ListEventOperation>Modify"
                             "</ListEventOperation><ListEventOperation>Delete</ListEventOperation>"
                             "</ListEventSubscription><TxnEventSubscription><TxnEventType>Invoice</TxnEventType>"
                             "<TxnEventOperation>Add</TxnEventOperation><TxnEventOperation>Delete</TxnEventOperation>"
                             "</TxnEventSubscription>") +
          Subscription(kOther, customersAdded)));

  const std::string added = Send("<CustomerAddRq><CustomerAdd><Name>Acme</Name></CustomerAdd></CustomerAddRq>"
                                 "<VendorAddRq><VendorAdd><Name>Supplier</Name></VendorAdd></VendorAddRq>"
                                 "<ClassAddRq><ClassAdd><Name>North</Name></ClassAdd></ClassAddRq>");
  const std::string acme = Answered(added, 0, "CustomerRet/ListID"), supplier = Answered(added, 1, "VendorRet/ListID");
  ASSERT_FALSE(supplier.empty()) << added;
  const std::string modified = Send("<CustomerModRq><CustomerMod><ListID>" + acme + "</ListID><EditSequence>" +
                                    Answered(added, 0, "CustomerRet/EditSequence") +
                                    "</EditSequence><Phone>1</Phone></CustomerMod></CustomerModRq>");
  ASSERT_EQ(Answered(modified, 0, "CustomerRet/Phone"), "1") << modified;
  const std::string invoiced = Send("<InvoiceAddRq><InvoiceAdd><CustomerRef><ListID>" + acme +
                                    "</ListID></CustomerRef><InvoiceLineAdd><Desc>Work</Desc><Amount>10.00</Amount>"
                                    "</InvoiceLineAdd></InvoiceAdd></InvoiceAddRq>");
  const std::string invoice = Answered(invoiced, 0, "InvoiceRet/TxnID");
  ASSERT_FALSE(invoice.empty()) << invoiced;
  Send("<TxnDelRq><TxnDelType>Invoice</TxnDelType><TxnID>" + invoice + "</TxnID></TxnDelRq>"
       "<ListDelRq><ListDelType>Vendor</ListDelType><ListID>" + supplier + "</ListID></ListDelRq>");

  const std::vector<Row> expected = {
      {kWatcher, "ListEvent Customer Add " + acme},     {kOther, "ListEvent Customer Add " + acme},
      {kWatcher, "ListEvent Vendor Add " + supplier},   {kWatcher, "ListEvent Customer Modify " + acme},
      {kWatcher, "TxnEvent Invoice Add " + invoice},    {kWatcher, "TxnEvent Invoice Delete " + invoice},
      {kWatcher, "ListEvent Vendor Delete " + supplier},
  };
  EXPECT_EQ(Rows(), expected);

  // The document: the catalogue's member order, the host as the company file describes it.
  Stmt first(file_->Handle(), "SELECT document FROM event_outbox ORDER BY seq LIMIT 1");
  ASSERT_TRUE(first.Step());
  const std::string document = first.Text(0);
  EXPECT_EQ(document.rfind("<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLEvents>\r\n"
                           "<DataEvent>\r\n<CompanyFilePath>" + folder_ + "/books.vtc</CompanyFilePath>\r\n<HostInfo>\r\n"
                           "<ProductName>vtFC4 sandbox</ProductName>\r\n",
                           0),
            0u)
      << document;
  EXPECT_NE(document.find("<Country>US</Country>\r\n</HostInfo>\r\n<ListEvent>\r\n<ListEventType>Customer</ListEventType>"
                          "\r\n<ListEventOperation>Add</ListEventOperation>\r\n<ListID>" + acme +
                          "</ListID>\r\n</ListEvent>\r\n</DataEvent>\r\n</VTXMLEvents>\r\n</VTXML>\r\n"),
            std::string::npos)
      << document;
}

// Nothing of a change undone stays: a set rolled back, a refused request, a read-only set.
TEST_F(Outbox, WhatIsUndoneRaisesNothing) {
  ProcessSubscriptionRequest(Wrap("VTXMLSubscriptionMsgsRq",
                                  Subscription(kWatcher, "<ListEventSubscription><ListEventType>Customer</ListEventType>"
                                                         "<ListEventOperation>Add</ListEventOperation>"
                                                         "</ListEventSubscription>")));
  const std::string refused = "<ListDelRq><ListDelType>Customer</ListDelType><ListID>1-1</ListID></ListDelRq>";
  struct Case {
    const char* what;
    std::string requests;
    const char* onError;
    std::size_t raised;
  };
  const Case cases[] = {
      {"rolled back", "<CustomerAddRq><CustomerAdd><Name>A</Name></CustomerAdd></CustomerAddRq>" + refused,
       "rollbackOnError", 0},
      {"a duplicate name refused", "<CustomerAddRq><CustomerAdd><Name>Kept</Name></CustomerAdd></CustomerAddRq>"
                                   "<CustomerAddRq><CustomerAdd><Name>kept</Name></CustomerAdd></CustomerAddRq>",
       "continueOnError", 1},
      {"stopped before", refused + "<CustomerAddRq><CustomerAdd><Name>B</Name></CustomerAdd></CustomerAddRq>",
       "stopOnError", 0},
      {"a query", "<CustomerQueryRq/>", "stopOnError", 0},
  };
  std::size_t total = 0;
  for (const Case& c : cases) {
    Send(c.requests, c.onError);
    total += c.raised;
    EXPECT_EQ(Rows().size(), total) << c.what;
  }
}

// Without a subscription nothing is queued, and asking leaves no store behind.
TEST_F(Outbox, NobodySubscribedNothingQueued) {
  Send("<CustomerAddRq><CustomerAdd><Name>A</Name></CustomerAdd></CustomerAddRq>");
  EXPECT_TRUE(Rows().empty());
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/subscriptions.db"));
}

// Deliverers take each subscriber's first event only, never one another holds; a failure puts
// it off by a pause that doubles up to a minute, a delivery removes it.
TEST_F(Outbox, ClaimsKeepOrderAndNeverDeliverTwice) {
  ProcessSubscriptionRequest(Wrap("VTXMLSubscriptionMsgsRq",
                                  Subscription(kWatcher, "<ListEventSubscription><ListEventType>Customer</ListEventType>"
                                                         "<ListEventOperation>Add</ListEventOperation>"
                                                         "</ListEventSubscription>") +
                                      Subscription(kOther, "<ListEventSubscription><ListEventType>Customer"
                                                           "</ListEventType><ListEventOperation>Add</ListEventOperation>"
                                                           "</ListEventSubscription>")));
  Send("<CustomerAddRq><CustomerAdd><Name>A</Name></CustomerAdd></CustomerAddRq>"
       "<CustomerAddRq><CustomerAdd><Name>B</Name></CustomerAdd></CustomerAddRq>");
  ASSERT_EQ(Rows().size(), 4u);
  const std::int64_t now = 1'800'000'000'000;
  std::vector<QueuedEvent> mine = ClaimDueEvents(*file_, "one", now);
  ASSERT_EQ(mine.size(), 2u);  // the first event of each subscriber
  EXPECT_EQ(mine[0].subscriberId, kWatcher);
  EXPECT_EQ(mine[1].subscriberId, kOther);
  EXPECT_TRUE(ClaimDueEvents(*file_, "two", now).empty()) << "another deliverer took what was claimed";
  // One delivered, one failed: the next of the first subscriber is due, the other waits 1 s.
  RemoveEvent(*file_, "two", mine[0].seq);  // not its holder's: nothing happens
  EXPECT_EQ(Rows().size(), 4u);
  RemoveEvent(*file_, "one", mine[0].seq);
  PostponeEvent(*file_, "one", mine[1], now, "not registered");
  std::vector<QueuedEvent> next = ClaimDueEvents(*file_, "two", now + 10);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].subscriberId, kWatcher);
  EXPECT_GT(next[0].seq, mine[0].seq);
  EXPECT_TRUE(ClaimDueEvents(*file_, "two", now + 999).empty());
  std::vector<QueuedEvent> again = ClaimDueEvents(*file_, "two", now + 1000);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].seq, mine[1].seq);
  EXPECT_EQ(again[0].attempts, 1);
  // A claim lapses after a minute: a deliverer that died does not hold events for ever.
  EXPECT_EQ(ClaimDueEvents(*file_, "three", now + 1000 + 60'000).size(), 2u);
  EXPECT_EQ(NextDue(*file_), now + 1000 + 60'000 + 60'000);
  for (const QueuedEvent& e : ClaimDueEvents(*file_, "four", now + 200'000)) RemoveEvent(*file_, "four", e.seq);
  EXPECT_EQ(NextDue(*file_), 0) << "the next event of a subscriber is due at once";
  for (const QueuedEvent& e : ClaimDueEvents(*file_, "four", now + 200'000)) RemoveEvent(*file_, "four", e.seq);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(NextDue(*file_), -1);
}

TEST(RetryPause, DoublesFromOneSecondToAMinute) {
  const std::pair<int, std::int64_t> cases[] = {{1, 1000}, {2, 2000}, {3, 4000}, {6, 32000}, {7, 60000}, {40, 60000}};
  for (const auto& [failures, pause] : cases) EXPECT_EQ(RetryPause(failures), pause) << failures;
}

// A company file of the fourth layout gains its outbox when it is opened.
TEST(OutboxLayout, AnEarlierFileIsBroughtForward) {
  char pattern[] = "/tmp/vtfc4-events-XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  const std::string path = std::string(pattern) + "/books.vtc";
  std::string error;
  ASSERT_TRUE(CompanyFile::Create(path, error)) << error;
  {
    std::unique_ptr<CompanyFile> file = CompanyFile::Open(path, error);
    ASSERT_TRUE(file) << error;
    Exec(file->Handle(), "DROP TABLE event_outbox; DELETE FROM migrations; UPDATE sandbox_company SET value = '4' "
                         "WHERE key = 'format_version'");
  }
  std::unique_ptr<CompanyFile> file = CompanyFile::Open(path, error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(Setting(file->Handle(), "format_version"), std::to_string(kFormatVersion));
  {
    Stmt outbox(file->Handle(), "SELECT count(*) FROM event_outbox");
    ASSERT_TRUE(outbox.Step());
    EXPECT_EQ(outbox.Int(0), 0);
  }
  file.reset();
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace vtfc4::sandbox

namespace vtfc4::sandbox {
namespace {

// Events that failed for longer than allowed are lost, for the subscriptions that track them:
// listed by DataEventRecoveryInfoQueryRq, given up by DataEventRecoveryInfoDelRq.
TEST_F(Outbox, LostEventsAreListedAndCleared) {
  setenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS", "10", 1);
  const std::string customers = "<ListEventSubscription><ListEventType>Customer</ListEventType>"
                                "<ListEventOperation>Add</ListEventOperation></ListEventSubscription>";
  ProcessSubscriptionRequest(Wrap(
      "VTXMLSubscriptionMsgsRq",
      Subscription(kWatcher, customers) +
          std::string("<DataEventSubscriptionAddRq><DataEventSubscriptionAdd><SubscriberID>") + kOther +
          "</SubscriberID><COMCallbackInfo><AppName>A</AppName><ProgID>A.B</ProgID></COMCallbackInfo>"
          "<DeliveryPolicy>DeliverAlways</DeliveryPolicy><TrackLostEvents>None</TrackLostEvents>" + customers +
          "</DataEventSubscriptionAdd></DataEventSubscriptionAddRq>"));
  Send("<CustomerAddRq><CustomerAdd><Name>A</Name></CustomerAdd></CustomerAddRq>");
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  // Both subscribers' events failed 20 s ago; the watcher's next one only just now.
  for (const QueuedEvent& e : ClaimDueEvents(*file_, "d", now)) PostponeEvent(*file_, "d", e, now - 20'000, "gone");
  Send("<CustomerAddRq><CustomerAdd><Name>B</Name></CustomerAdd></CustomerAddRq>");
  Exec(file_->Handle(), ("UPDATE event_outbox SET first_failure = " + std::to_string(now) +
                         " WHERE first_failure = 0").c_str());

  const auto query = [](const char* who) {
    return std::string("<DataEventRecoveryInfoQueryRq><SubscriberID>") + who +
           "</SubscriberID></DataEventRecoveryInfoQueryRq>";
  };
  const auto clear = [](const char* who) {
    return std::string("<DataEventRecoveryInfoDelRq><SubscriberID>") + who + "</SubscriberID></DataEventRecoveryInfoDelRq>";
  };
  struct Case {
    const char* what;
    std::string request;
    const char* code;
    std::size_t waiting;  // events in the outbox afterwards
  };
  const Case cases[] = {
      {"the watcher lost its first event", query(kWatcher), "0", 4},
      {"the other tracks none", query(kOther), "1", 4},
      {"nobody else lost any", query("{11111111-2222-4333-8444-555555555555}"), "1", 4},
      {"the watcher gives it up", clear(kWatcher), "0", 3},
      {"nothing lost any more", query(kWatcher), "1", 3},
      {"nothing to give up", clear(kWatcher), "3120", 3},
      {"the other's are kept, tracked or not", clear(kOther), "3120", 3},
      {"a query without its subscriber", "<DataEventRecoveryInfoQueryRq/>", "3000", 3},
  };
  for (const Case& c : cases) {
    const std::string reply = Send(c.request, "continueOnError");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(reply.c_str())) << reply;
    pugi::xml_node rs = doc.child("VTXML").child("VTXMLMsgsRs").first_child();
    EXPECT_STREQ(rs.attribute("statusCode").value(), c.code) << c.what << "\n" << reply;
    EXPECT_EQ(Rows().size(), c.waiting) << c.what;
    if (std::string_view(c.code) != "0" || !std::string_view(rs.name()).starts_with("DataEventRecoveryInfoQuery"))
      continue;
    pugi::xml_node ret = rs.child("DataEventRecoveryInfoRet");
    EXPECT_STREQ(ret.child_value("SubscriberID"), kWatcher);
    EXPECT_EQ(ret.child_value("CompanyFilePath"), folder_ + "/books.vtc");
    EXPECT_TRUE(ParseInstant(ret.child_value("DataEventRecoveryTime"), false)) << reply;
    EXPECT_STREQ(ret.first_child().next_sibling().next_sibling().name(), "DataEventRecoveryTime");
  }
  // A read-only session may ask, not clear.
  Access readOnly;
  readOnly.readOnly = true;
  const std::string refused = ProcessRequest(*file_, Wrap("VTXMLMsgsRq", clear(kWatcher)), readOnly);
  EXPECT_NE(refused.find("statusCode=\"3260\""), std::string::npos) << refused;
  unsetenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS");
  EXPECT_EQ(LostAfterMs(), 300'000);
  setenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS", "soon", 1);
  EXPECT_EQ(LostAfterMs(), 300'000);
  unsetenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS");
}

}  // namespace
}  // namespace vtfc4::sandbox
