// Events raised by message sets and kept in the company file's outbox: which changes raise
// which events, what a rolled-back change leaves (nothing), and how deliverers claim, postpone
// and remove what waits.
#include "processor/events.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "processor/component/deliverer.h"
#include "processor/gateway.h"
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

std::string Subscription(const char* subscriber, const std::string& entries,
                         const std::string& callback = "<COMCallbackInfo><AppName>A</AppName><ProgID>A.B</ProgID>"
                                                       "</COMCallbackInfo><DeliveryPolicy>DeliverAlways</DeliveryPolicy>") {
  return std::string("<DataEventSubscriptionAddRq><DataEventSubscriptionAdd><SubscriberID>") + subscriber +
         "</SubscriberID>" + callback + entries + "</DataEventSubscriptionAdd></DataEventSubscriptionAddRq>";
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

// ---- Delivery by URL, to subscribers' web servers of the test's own on the loopback.

namespace vtfc4::sandbox {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Posted {
  std::string path, contentType, body;
  Clock::time_point at;
};

// A subscriber's web server keeping what is posted to it; `answer` answers the n-th POST (1 for
// the first), 200 without it. On `port` if given; HTTPS with a certificate and its key.
class Listener {
 public:
  using Answer = std::function<void(const httplib::Request&, httplib::Response&, int n)>;
  explicit Listener(Answer answer = {}, int port = 0, const std::string& cert = "", const std::string& key = "") {
    signal(SIGPIPE, SIG_IGN);  // a client gone mid-answer is not the server's end
    server_ = cert.empty() ? std::make_unique<httplib::Server>()
                           : std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    server_->Post(".*", [this, answer](const httplib::Request& rq, httplib::Response& rs) {
      std::unique_lock<std::mutex> lock(mutex_);
      posted_.push_back({rq.path, rq.get_header_value("Content-Type"), rq.body, Clock::now()});
      const int n = static_cast<int>(posted_.size());
      lock.unlock();
      if (answer) answer(rq, rs, n);
    });
    port_ = port ? (server_->bind_to_port("127.0.0.1", port) ? port : -1) : server_->bind_to_any_port("127.0.0.1");
    EXPECT_GT(port_, 0) << "no port to listen on";
    if (port_ > 0) thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (port_ > 0 && !server_->is_running()) std::this_thread::sleep_for(1ms);
  }
  ~Listener() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  // What was posted once `count` POSTs came, or 15 s went by.
  std::vector<Posted> WaitFor(std::size_t count) {
    for (const auto end = Clock::now() + 15s;; std::this_thread::sleep_for(20ms)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (posted_.size() >= count || Clock::now() > end) return posted_;
    }
  }
  int port_ = -1;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Posted> posted_;
};

std::string Url(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/events"; }

bool Eventually(const std::function<bool()>& done) {
  for (const auto end = Clock::now() + 15s; Clock::now() < end; std::this_thread::sleep_for(20ms))
    if (done()) return true;
  return false;
}

// The events posted, as "Add <ListID>" and the like.
std::vector<std::string> Summaries(const std::vector<Posted>& posted) {
  std::vector<std::string> all;
  for (const Posted& p : posted) {
    pugi::xml_document doc;
    doc.load_string(p.body.c_str());
    const pugi::xml_node e = doc.first_element_by_path("VTXML/VTXMLEvents/DataEvent/ListEvent");
    all.push_back(std::string(e.child_value("ListEventOperation")) + " " + e.child_value("ListID"));
  }
  return all;
}

class ByUrl : public Outbox {
 protected:
  void TearDown() override {
    deliverer_.reset();
    Outbox::TearDown();
  }
  void Subscribe(const char* subscriber, int port, const char* policy = "DeliverAlways", const char* track = "All") {
    const std::string reply = ProcessSubscriptionRequest(Wrap(
        "VTXMLSubscriptionMsgsRq",
        Subscription(subscriber,
                     "<ListEventSubscription><ListEventType>Customer</ListEventType><ListEventOperation>Add"
                     "</ListEventOperation><ListEventOperation>Modify</ListEventOperation><ListEventOperation>Delete"
                     "</ListEventOperation></ListEventSubscription>",
                     "<HTTPCallbackInfo><AppName>Hook</AppName><URL>" + Url(port) + "</URL></HTTPCallbackInfo>"
                     "<DeliveryPolicy>" + policy + "</DeliveryPolicy><TrackLostEvents>" + track + "</TrackLostEvents>")));
    ASSERT_NE(reply.find("statusCode=\"0\""), std::string::npos) << reply;
  }
  // A customer added, modified and deleted, the deliverer started: the events raised.
  std::vector<std::string> ChangeACustomerAndDeliver() {
    const std::string added = Send("<CustomerAddRq><CustomerAdd><Name>Acme</Name></CustomerAdd></CustomerAddRq>");
    const std::string id = Answered(added, 0, "CustomerRet/ListID");
    Send("<CustomerModRq><CustomerMod><ListID>" + id + "</ListID><EditSequence>" +
         Answered(added, 0, "CustomerRet/EditSequence") + "</EditSequence><Phone>1</Phone></CustomerMod></CustomerModRq>"
         "<ListDelRq><ListDelType>Customer</ListDelType><ListID>" + id + "</ListID></ListDelRq>");
    for (Stmt all(file_->Handle(), "SELECT document FROM event_outbox ORDER BY seq"); all.Step();)
      queued_.push_back(all.Text(0));
    deliverer_ = Deliverer::For(folder_ + "/books.vtc");
    return {"Add " + id, "Modify " + id, "Delete " + id};
  }
  std::string RecoveryCode(const char* subscriber) {
    pugi::xml_document doc;
    doc.load_string(Send(std::string("<DataEventRecoveryInfoQueryRq><SubscriberID>") + subscriber +
                         "</SubscriberID></DataEventRecoveryInfoQueryRq>").c_str());
    return doc.first_element_by_path("VTXML/VTXMLMsgsRs").first_child().attribute("statusCode").value();
  }

  std::shared_ptr<Deliverer> deliverer_;
  std::vector<std::string> queued_;  // the outbox's documents before delivery
};

// A subscriber's events come by POST as the outbox held them, in commit order and each once; a
// failed answer (500) brings the event again after the first pause.
TEST_F(ByUrl, EventsArePostedInOrderAndRetried) {
  Listener listener([](const httplib::Request&, httplib::Response& rs, int n) { rs.status = n == 1 ? 500 : 200; });
  Subscribe(kWatcher, listener.port_);
  const std::vector<std::string> e = ChangeACustomerAndDeliver();
  const std::vector<Posted> posted = listener.WaitFor(4);
  ASSERT_EQ(Summaries(posted), (std::vector<std::string>{e[0], e[0], e[1], e[2]}));
  EXPECT_GE(posted[1].at - posted[0].at, 900ms);
  for (std::size_t i = 0; i < posted.size(); ++i) {
    EXPECT_EQ(posted[i].body, queued_[i ? i - 1 : 0]) << i;
    EXPECT_EQ(posted[i].contentType + " " + posted[i].path, "text/xml; charset=utf-8 /events");
  }
  EXPECT_TRUE(Eventually([&] { return Rows().empty(); }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(listener.WaitFor(0).size(), 4u) << "an event was posted again once delivered";
}

// Subscribers that are down: what they are owed waits for them (listed as lost after a while
// when they track lost events), unless they asked for events only while they run.
TEST_F(ByUrl, ASubscriberDownLosesNothing) {
  setenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS", "1", 1);
  struct Case {
    const char *subscriber, *policy, *track, *lost;  // lost: the recovery query's status while down
    bool arrive;
    int port = Listener().port_;  // closed again
  } cases[] = {{kWatcher, "DeliverAlways", "All", "0", true},
               {kOther, "DeliverAlways", "None", "1", true},
               {"{12345678-1234-4234-8234-123456789ABC}", "DeliverOnlyIfRunning", "All", "1", false}};
  for (const Case& c : cases) Subscribe(c.subscriber, c.port, c.policy, c.track);
  const std::vector<std::string> expected = ChangeACustomerAndDeliver();
  ASSERT_TRUE(Eventually([&] { return RecoveryCode(kWatcher) == "0"; })) << "no event lost while down";
  for (const Case& c : cases) EXPECT_EQ(RecoveryCode(c.subscriber), c.lost) << c.subscriber;
  EXPECT_EQ(Rows().size(), 6u) << "the events of those who wait for them are kept";

  std::vector<std::unique_ptr<Listener>> up;
  for (const Case& c : cases) up.push_back(std::make_unique<Listener>(Listener::Answer{}, c.port));
  for (std::size_t i = 0; i < up.size(); ++i)
    EXPECT_EQ(Summaries(up[i]->WaitFor(cases[i].arrive ? 3 : 0)), cases[i].arrive ? expected : std::vector<std::string>{})
        << cases[i].subscriber;
  EXPECT_TRUE(Eventually([&] { return Rows().empty(); }));
  EXPECT_EQ(RecoveryCode(kWatcher), "1");
  unsetenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS");
}

// One POST: a 2xx status delivers, whatever follows it; any other status, or no answer in time,
// fails with its reason; a certificate is verified against the authorities.
TEST(PostEvent, WhatCountsAsDelivered) {
  char pattern[] = "/tmp/vtfc4-events-XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  const std::string folder = pattern, cert = folder + "/hook.crt", key = folder + "/hook.key";
  std::string error;
  ASSERT_TRUE(MakeSelfSignedCertificate(cert, key, {"127.0.0.1"}, error)) << error;
  std::atomic<bool> released{false};
  const Listener::Answer answer = [&](const httplib::Request& rq, httplib::Response& rs, int) {
    rs.status = rq.path == "/busy" ? 503 : rq.path == "/long" ? 200 : 204;
    if (rs.status != 204) rs.set_content("busy\r\nnow " + std::string(1 << 20, 'x'), "text/plain");
    for (const auto end = Clock::now() + 3s; rq.path == "/slow" && !released && Clock::now() < end;)
      std::this_thread::sleep_for(5ms);
  };
  Listener plain(answer), tls(answer, 0, cert, key);
  const std::string http = "http://127.0.0.1:" + std::to_string(plain.port_),
                    https = "https://127.0.0.1:" + std::to_string(tls.port_);
  const struct {
    std::string url;
    bool trusted, delivered;  // trusted: the certificate is among the authorities
    const char* words;
  } cases[] = {{http + "/long", false, true, ""},
               {https + "/", true, true, ""},
               {http + "/busy", false, false, "answered 503: busy  now xxx"},
               {http + "/slow", false, false, "timed out"},
               {https + "/", false, false, "certificate"}};
  for (const auto& c : cases) {
    if (c.trusted) setenv("VTFC4_CA_FILE", cert.c_str(), 1);
    Callback callback;
    callback.url = c.url;
    std::string why;
    const auto start = Clock::now();
    EXPECT_EQ(SUCCEEDED(DeliverEvent(callback, "<VTXML/>", why, 300ms)), c.delivered) << c.url << ": " << why;
    EXPECT_LT(Clock::now() - start, 2s) << c.url;
    unsetenv("VTFC4_CA_FILE");
    EXPECT_NE(why.find(c.words), std::string::npos) << c.url << ": " << why;
    EXPECT_LT(why.size(), 400u) << c.url;
  }
  released = true;
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vtfc4::sandbox
