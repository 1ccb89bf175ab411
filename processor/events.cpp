// Event documents, written through the catalogue's event classes, and the company file's outbox.
#include "processor/events.h"

#include <pugixml.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "processor/catalogue_table.h"
#include "processor/document.h"
#include "processor/records.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"
#include "processor/subscriptions.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Shape;

// How long a claimed event is its deliverer's: one that died holding it leaves it to the others.
constexpr std::int64_t kClaimMs = 60'000;

// The members of `cls` found in `parts` (element name → its element, written), in the class's
// order; the members of an OR choice or a group stand in the enclosing element.
void WriteMembers(std::string& out, const ClassInfo& cls, const std::map<std::string, std::string>& parts) {
  for (const catalogue::Member& m : cls.members) {
    if (m.kind == Kind::Attr) continue;
    const ClassInfo* inner = m.kind == Kind::Agg ? FindClass(m.type) : nullptr;
    if (inner && inner->shape != Shape::Plain) {
      WriteMembers(out, *inner, parts);
      continue;
    }
    if (auto it = parts.find(std::string(m.element)); it != parts.end()) out += it->second;
  }
}

std::string Element(std::string_view className, const std::map<std::string, std::string>& parts) {
  const ClassInfo* cls = FindClass(className);
  if (!cls) throw std::runtime_error("the catalogue has no class " + std::string(className));
  std::string out = "<" + std::string(className) + ">\r\n";
  WriteMembers(out, *cls, parts);
  return out + "</" + std::string(className) + ">\r\n";
}

std::string Value(std::string_view element, std::string_view text) {
  std::string out;
  AppendValue(out, element, text);
  return out;
}

// The company file as events name it: by its absolute path.
std::string PathOf(const CompanyFile& file) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(file.Path(), ec);
  return ec ? file.Path() : absolute.lexically_normal().string();
}

std::string EventsDocument(const std::string& event) {
  return "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLEvents>\r\n" + event +
         "</VTXMLEvents>\r\n</VTXML>\r\n";
}

void Queue(CompanyFile& file, const Subscription& s, const std::string& document) {
  Stmt(file.Handle(),
       "INSERT INTO event_outbox (subscriber_id, type, document, track_lost, queued_at) VALUES (?, ?, ?, ?, ?)")
      .Bind(1, s.subscriberId)
      .Bind(2, s.type)
      .Bind(3, document)
      .Bind(4, std::int64_t{s.trackLost})
      .Bind(5, static_cast<std::int64_t>(file.Now()))
      .Step();
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The events of a subscriber lost in this file: tracked, and failing for longer than allowed.
constexpr const char* kLost =
    "FROM event_outbox WHERE subscriber_id = ? AND type = 'Data' AND track_lost = 1 AND first_failure > 0 "
    "AND first_failure <= ?";

}  // namespace

std::int64_t LostAfterMs() {
  constexpr std::int64_t kDefault = 5 * 60 * 1000;
  const char* text = std::getenv("VTFC4_SANDBOX_LOST_EVENT_SECONDS");
  if (!text || !*text) return kDefault;
  char* end = nullptr;
  const long long seconds = std::strtoll(text, &end, 10);
  return *end || seconds < 0 || seconds > 365LL * 24 * 3600 ? kDefault : seconds * 1000;
}

std::optional<Answer> ServeEventRequest(Context& cx, pugi::xml_node rq) {
  const std::string_view name = rq.name();
  const bool query = name == "DataEventRecoveryInfoQueryRq";
  if (!query && name != "DataEventRecoveryInfoDelRq") return std::nullopt;
  const std::string className(name.substr(0, name.size() - 2));
  const ClassInfo* cls = FindClass(className);
  if (!cls) throw Failure{kCannotServe, "The sandbox cannot serve " + std::string(name) + " requests."};
  Validate(rq, *cls, cx.edition, rq.name());
  const std::string subscriber = rq.child_value("SubscriberID");
  const std::int64_t before = NowMs() - LostAfterMs();
  if (!query) {
    Stmt(cx.db, std::string("DELETE ") + kLost).Bind(1, subscriber).Bind(2, before).Step();
    if (sqlite3_changes(cx.db) == 0)
      throw Failure{kUnknownId, "The subscriber " + subscriber + " has lost no data events in this company file."};
    return Answer{};
  }
  Stmt lost(cx.db, std::string("SELECT count(*), MIN(queued_at) ") + kLost);
  lost.Bind(1, subscriber).Bind(2, before);
  if (!lost.Step() || lost.Int(0) == 0)
    return Answer{kNoMatch, "The subscriber " + subscriber + " has lost no data events in this company file.", "", ""};
  return Answer{kOk, "Status OK",
                Element("DataEventRecoveryInfoRet",
                        {{"SubscriberID", Value("SubscriberID", subscriber)},
                         {"CompanyFilePath", Value("CompanyFilePath", PathOf(cx.file))},
                         {"DataEventRecoveryTime", Value("DataEventRecoveryTime", IsoTime(lost.Int(1)))}}),
                ""};
}

std::string HostInfoElement(CompanyFile& file) {
  pugi::xml_document host;
  host.load_string(Singleton(file.Handle(), "Host").value_or("<Fields/>").c_str(), kStoredParse);
  std::map<std::string, std::string> parts;
  for (pugi::xml_node c : Elements(host.document_element()))
    if (Elements(c).empty()) parts.emplace(c.name(), Value(c.name(), c.child_value()));
  return Element("HostInfo", parts);
}

void QueueDataEvents(CompanyFile& file, const std::vector<Change>& changes) {
  const std::vector<Subscription> subscriptions = Subscriptions("Data");
  if (subscriptions.empty()) return;
  const std::string host = HostInfoElement(file);
  for (const Change& c : changes) {
    const char* prefix = c.txn ? "Txn" : "List";
    const std::string entry = std::string(prefix) + "EventSubscription", type = std::string(prefix) + "EventType",
                      operation = std::string(prefix) + "EventOperation";
    // Only the kinds and operations that events name raise one.
    if (!catalogue::IsEnumWord("EN" + type, c.kind) || !catalogue::IsEnumWord("EN" + operation, c.operation)) continue;
    std::map<std::string, std::string> inner{{type, Value(type, c.kind)}, {operation, Value(operation, c.operation)}};
    inner.emplace(c.txn ? "TxnID" : "ListID", Value(c.txn ? "TxnID" : "ListID", c.id));
    if (c.txn && !c.refNumber.empty()) inner.emplace("RefNumber", Value("RefNumber", c.refNumber));
    const std::string what = c.txn ? "TxnEvent" : "ListEvent";
    const std::string document = EventsDocument(Element(
        "DataEvent",
        {{"CompanyFilePath", Value("CompanyFilePath", PathOf(file))}, {"HostInfo", host}, {what, Element(what, inner)}}));
    for (const Subscription& s : subscriptions)
      if (Subscribes(s, entry, type, operation, c.kind, c.operation)) Queue(file, s, document);
  }
}

int QueueCompanyFileEvent(CompanyFile& file, std::string_view operation) {
  const std::vector<Subscription> subscriptions = Subscriptions("UI");
  int queued = 0;
  if (subscriptions.empty()) return queued;
  const std::string event = Element(
      "CompanyFileEvent", {{"CompanyFileEventOperation", Value("CompanyFileEventOperation", operation)}});
  const std::string document = EventsDocument(Element(
      "UIEvent",
      {{"CompanyFilePath", Value("CompanyFilePath", PathOf(file))}, {"HostInfo", HostInfoElement(file)}, {"CompanyFileEvent", event}}));
  const CompanyFile::WriteTurn turn(file);
  Transaction tx(file.Handle());
  for (const Subscription& s : subscriptions) {
    pugi::xml_document fields;
    fields.load_string(s.fields.c_str(), kStoredParse);
    bool wanted = false;
    for (pugi::xml_node o : fields.document_element().child("CompanyFileEventSubscription").children("CompanyFileEventOperation"))
      wanted = wanted || o.child_value() == operation;
    if (!wanted) continue;
    Queue(file, s, document);
    ++queued;
  }
  tx.Finish(true);
  return queued;
}

std::string UIExtensionEventDocument(CompanyFile& file, std::string_view eventTag) {
  return EventsDocument(Element("UIExtensionEvent", {{"CompanyFilePath", Value("CompanyFilePath", PathOf(file))},
                                                     {"HostInfo", HostInfoElement(file)},
                                                     {"EventTag", Value("EventTag", eventTag)}}));
}

std::vector<QueuedEvent> ClaimDueEvents(CompanyFile& file, const std::string& holder, std::int64_t nowMs) {
  std::vector<QueuedEvent> due;
  sqlite3* db = file.Handle();
  // A look without the write turn first: most of the time nothing waits.
  {
    Stmt any(db, "SELECT 1 FROM event_outbox WHERE next_attempt <= ? AND claimed_until <= ? LIMIT 1");
    any.Bind(1, nowMs).Bind(2, nowMs);
    if (!any.Step()) return due;
  }
  const CompanyFile::WriteTurn turn(file);
  Transaction tx(db);
  // Each subscriber's first event only: the later ones wait for it, so that they arrive in order.
  Stmt heads(db,
             "SELECT seq, subscriber_id, type, document, attempts FROM event_outbox AS o WHERE seq = "
             "(SELECT MIN(seq) FROM event_outbox WHERE subscriber_id = o.subscriber_id) "
             "AND next_attempt <= ? AND claimed_until <= ? ORDER BY seq");
  heads.Bind(1, nowMs).Bind(2, nowMs);
  while (heads.Step())
    due.push_back({heads.Int(0), heads.Text(1), heads.Text(2), heads.Text(3), static_cast<int>(heads.Int(4))});
  for (const QueuedEvent& e : due)
    Stmt(db, "UPDATE event_outbox SET claimed_by = ?, claimed_until = ? WHERE seq = ?")
        .Bind(1, holder)
        .Bind(2, nowMs + kClaimMs)
        .Bind(3, e.seq)
        .Step();
  tx.Finish(true);
  return due;
}

void RemoveEvent(CompanyFile& file, const std::string& holder, std::int64_t seq) {
  const CompanyFile::WriteTurn turn(file);
  Stmt(file.Handle(), "DELETE FROM event_outbox WHERE seq = ? AND claimed_by = ?").Bind(1, seq).Bind(2, holder).Step();
}

void ReleaseEvent(CompanyFile& file, const std::string& holder, std::int64_t seq) {
  const CompanyFile::WriteTurn turn(file);
  Stmt(file.Handle(), "UPDATE event_outbox SET claimed_by = '', claimed_until = 0 WHERE seq = ? AND claimed_by = ?")
      .Bind(1, seq)
      .Bind(2, holder)
      .Step();
}

std::int64_t ClaimMs() { return kClaimMs; }

std::int64_t RetryPause(int failures) {
  std::int64_t pause = 1000;
  for (int i = 1; i < failures && pause < 60'000; ++i) pause *= 2;
  return std::min<std::int64_t>(pause, 60'000);
}

void PostponeEvent(CompanyFile& file, const std::string& holder, const QueuedEvent& event, std::int64_t nowMs,
                   const std::string& why) {
  const CompanyFile::WriteTurn turn(file);
  Stmt(file.Handle(),
       "UPDATE event_outbox SET attempts = attempts + 1, next_attempt = ?, claimed_by = '', claimed_until = 0, "
       "first_failure = CASE WHEN first_failure = 0 THEN ? ELSE first_failure END, last_error = ? "
       "WHERE seq = ? AND claimed_by = ?")
      .Bind(1, nowMs + RetryPause(event.attempts + 1))
      .Bind(2, nowMs)
      .Bind(3, why)
      .Bind(4, event.seq)
      .Bind(5, holder)
      .Step();
}

std::int64_t NextDue(CompanyFile& file) {
  Stmt next(file.Handle(),
            "SELECT coalesce(MIN(MAX(next_attempt, claimed_until)), -1) FROM event_outbox AS o WHERE seq = "
            "(SELECT MIN(seq) FROM event_outbox WHERE subscriber_id = o.subscriber_id)");
  return next.Step() ? next.Int(0) : -1;
}

}  // namespace vtfc4::sandbox
