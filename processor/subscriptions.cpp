// The subscription store and the subscription message sets: each request checked against its
// catalogue class as the engine checks ordinary requests, then served from the store.
#include "processor/subscriptions.h"

#include <pugixml.hpp>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "processor/document.h"
#include "processor/records.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;

// The subscription types, by the word SubscriptionDel names them with and the name their
// requests and classes begin with.
struct TypeNames {
  const char* word;
  const char* prefix;
};
constexpr TypeNames kTypes[] = {{"Data", "DataEvent"}, {"UI", "UIEvent"}, {"UIExtension", "UIExtension"}};

const TypeNames* TypeByPrefix(std::string_view prefix) {
  for (const TypeNames& t : kTypes)
    if (prefix == t.prefix) return &t;
  return nullptr;
}

const TypeNames* TypeByWord(std::string_view word) {
  for (const TypeNames& t : kTypes)
    if (word == t.word) return &t;
  return nullptr;
}

// The store, open for one call. Its own process-independent lock is SQLite's: every change
// runs in an immediate transaction, and a busy store is waited for up to 5 s.
class Store {
 public:
  // Without `create`, a store that does not exist yet is left so (Handle() is null).
  explicit Store(bool create = true) : path_(SubscriptionStorePath()) {
    std::error_code ec;
    if (!create && !std::filesystem::exists(path_, ec)) return;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
      std::filesystem::create_directories(folder, ec);
      if (!ec) chmod(folder.c_str(), 0700);
    }
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("cannot open the subscription store \"" + path_ + "\": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
      Exec(db_, "PRAGMA journal_mode = WAL");
      Exec(db_,
           "CREATE TABLE IF NOT EXISTS subscriptions (subscriber_id TEXT NOT NULL COLLATE NOCASE,"
           " type TEXT NOT NULL, created_at INTEGER NOT NULL, time_created TEXT NOT NULL, fields TEXT NOT NULL,"
           " PRIMARY KEY (subscriber_id, type))");
    } catch (const std::exception& e) {
      sqlite3_close(db_);
      throw std::runtime_error("the subscription store \"" + path_ + "\" cannot be used: " + e.what());
    }
  }
  ~Store() { sqlite3_close(db_); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  sqlite3* Handle() const { return db_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

// An element and what it holds, one element a line, as the sandbox writes its answers.
void WriteElement(std::string& out, pugi::xml_node node) {
  const std::vector<pugi::xml_node> children = Elements(node);
  if (children.empty()) {
    AppendValue(out, node.name(), node.child_value());
    return;
  }
  out += "<" + std::string(node.name()) + ">\r\n";
  for (pugi::xml_node c : children) WriteElement(out, c);
  out += "</" + std::string(node.name()) + ">\r\n";
}

// A stored subscription as its Ret class: the Add's members in the Ret's order, with the time
// it was made.
std::string RetOf(const TypeNames& type, const std::string& fields, const std::string& timeCreated) {
  const std::string name = std::string(type.prefix) + "SubscriptionRet";
  const ClassInfo* ret = FindClass(name);
  if (!ret) throw Failure{kCannotServe, "The catalogue has no class " + name + "."};
  pugi::xml_document stored;
  stored.load_string(fields.c_str(), kStoredParse);
  std::string out = "<" + name + ">\r\n";
  // The members of a choice (the callback's class or URL) stand in the Ret itself.
  for (const Flat& f : Flattened(*ret)) {
    const std::string element(f.member->element);
    if (element == "TimeCreated" && !stored.document_element().child("TimeCreated")) {
      AppendValue(out, "TimeCreated", timeCreated);
      continue;
    }
    for (pugi::xml_node c : stored.document_element().children(element.c_str())) WriteElement(out, c);
  }
  return out + "</" + name + ">\r\n";
}

// A URL as a status message may quote it: its start, without what XML cannot carry.
std::string Quoted(std::string_view url) {
  constexpr std::size_t kShown = 120;
  std::string shown(url.substr(0, kShown));
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return "\"" + shown + (url.size() > kShown ? "...\"" : "\"");
}

// The callback an Add names: a class it can create, or a URL it can post to. The table's choice
// of the two cannot say that one of them is needed, nor can the class's choice of a ProgID or
// a CLSID.
void CheckCallback(pugi::xml_node body) {
  const std::string path = body.name();
  const pugi::xml_node com = body.child("COMCallbackInfo"), http = body.child("HTTPCallbackInfo");
  if (!com && !http) throw Failure{kRefused, path + " needs a COMCallbackInfo or an HTTPCallbackInfo."};
  if (com && !com.child("ProgID") && !com.child("CLSID"))
    throw Failure{kRefused, path + "/COMCallbackInfo needs a ProgID or a CLSID."};
  if (!http) return;
  const std::string_view url = http.child_value("URL");
  if (const std::string fault = UrlFault(url); !fault.empty())
    throw Failure{kRefused, "The URL " + Quoted(url) + " of " + path + "/HTTPCallbackInfo " + fault + "."};
}

Answer Add(Store& store, pugi::xml_node rq, const TypeNames& type, const Edition& edition) {
  const ClassInfo* add = FindClass(std::string(type.prefix) + "SubscriptionAdd");
  if (!add) throw Failure{kCannotServe, "The sandbox cannot serve " + std::string(rq.name()) + " requests."};
  pugi::xml_node body = BodyOf(rq, *add);
  Validate(body, *add, edition, body.name());
  CheckCallback(body);
  // A data event subscription to neither lists nor transactions would deliver nothing.
  if (add->Find("ListEventSubscription") && add->Find("TxnEventSubscription") &&
      !body.child("ListEventSubscription") && !body.child("TxnEventSubscription"))
    throw Failure{kRefused, std::string(body.name()) + " needs a ListEventSubscription or a TxnEventSubscription."};
  pugi::xml_document copy;
  pugi::xml_node root = copy.append_copy(body);
  Prune(root);
  const std::string subscriber = root.child_value("SubscriberID");
  Stmt existing(store.Handle(), "SELECT 1 FROM subscriptions WHERE subscriber_id = ? AND type = ?");
  existing.Bind(1, subscriber).Bind(2, std::string_view(type.word));
  if (existing.Step())
    throw Failure{kDuplicateName, "The subscriber " + subscriber + " already has a " + type.word +
                                      " subscription; delete it (SubscriptionDelRq) before adding another."};
  const std::time_t now = std::time(nullptr);
  const std::string created = IsoTime(now);
  const std::string fields = Serialize(root);
  Stmt(store.Handle(), "INSERT INTO subscriptions (subscriber_id, type, created_at, time_created, fields) VALUES (?, ?, ?, ?, ?)")
      .Bind(1, subscriber)
      .Bind(2, std::string_view(type.word))
      .Bind(3, static_cast<std::int64_t>(now))
      .Bind(4, created)
      .Bind(5, fields)
      .Step();
  return {kOk, "Status OK", RetOf(type, fields, created), ""};
}

Answer Query(Store& store, pugi::xml_node rq, const TypeNames& type, const Edition& edition) {
  const ClassInfo* query = FindClass(std::string(type.prefix) + "SubscriptionQuery");
  if (!query) throw Failure{kCannotServe, "The sandbox cannot serve " + std::string(rq.name()) + " requests."};
  Validate(rq, *query, edition, rq.name());
  Stmt found(store.Handle(), "SELECT fields, time_created FROM subscriptions WHERE subscriber_id = ? AND type = ?");
  found.Bind(1, std::string_view(rq.child_value("SubscriberID"))).Bind(2, std::string_view(type.word));
  if (!found.Step()) return {kNoMatch, kNothingFound, "", ""};
  return {kOk, "Status OK", RetOf(type, found.Text(0), found.Text(1)), ""};
}

Answer Delete(Store& store, pugi::xml_node rq, const Edition& edition) {
  const ClassInfo* del = FindClass("SubscriptionDel");
  if (!del) throw Failure{kCannotServe, "The sandbox cannot serve SubscriptionDelRq requests."};
  Validate(rq, *del, edition, rq.name());
  const std::string subscriber = rq.child_value("SubscriberID"), word = rq.child_value("SubscriptionType");
  const TypeNames* type = TypeByWord(word);
  if (!type) throw Failure{kRefused, "The subscription type \"" + word + "\" is not Data, UI or UIExtension."};
  Stmt(store.Handle(), "DELETE FROM subscriptions WHERE subscriber_id = ? AND type = ?")
      .Bind(1, subscriber)
      .Bind(2, word)
      .Step();
  if (sqlite3_changes(store.Handle()) == 0)
    throw Failure{kUnknownId, "The subscriber " + subscriber + " has no " + word + " subscription."};
  return {};
}

Answer Serve(Store& store, pugi::xml_node rq, const Edition& edition) {
  const std::string_view name = rq.name();
  if (name == "SubscriptionDelRq") return Delete(store, rq, edition);
  for (std::string_view suffix : {"SubscriptionAddRq", "SubscriptionQueryRq"}) {
    if (!name.ends_with(suffix)) continue;
    const TypeNames* type = TypeByPrefix(name.substr(0, name.size() - suffix.size()));
    if (!type) break;
    return suffix == "SubscriptionAddRq" ? Add(store, rq, *type, edition) : Query(store, rq, *type, edition);
  }
  throw Failure{kCannotServe, std::string(name) + " is not a subscription request."};
}

// The version of the <?vtxml version="..."?> instruction as major*100+minor: 3.0 or 4.0, the
// versions subscriptions exist in; a document without one is read as 4.0.
Edition SubscriptionEdition(const pugi::xml_document& doc) {
  std::string version = "4.0";
  for (pugi::xml_node n : doc.children()) {
    if (n.type() != pugi::node_pi || std::string_view(n.name()) != "vtxml") continue;
    const std::string value = n.value();
    const std::size_t at = value.find("version");
    const std::size_t open = at == std::string::npos ? at : value.find_first_of("\"'", at);
    const std::size_t close = open == std::string::npos ? open : value.find(value[open], open + 1);
    version = close == std::string::npos ? "" : value.substr(open + 1, close - open - 1);
    break;
  }
  if (version != "3.0" && version != "4.0")
    throw MalformedRequest("The vtXML version \"" + version + "\" has no subscriptions: they are served in 3.0 and 4.0.");
  return {version[0] == '3' ? 300 : 400, false};
}

// The text of a stored member, "" when it is absent.
std::string Member(pugi::xml_node root, const char* path) {
  return root.first_element_by_path(path).child_value();
}

}  // namespace

std::string SubscriptionStorePath() {
  if (const char* named = std::getenv("VTFC4_SANDBOX_SUBSCRIPTIONS"); named && *named) return named;
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    data = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    data = std::string(home) + "/.local/share";
  } else {
    throw std::runtime_error(
        "no place for the subscription store: set VTFC4_SANDBOX_SUBSCRIPTIONS, XDG_DATA_HOME or HOME");
  }
  return data + "/vtfc4-sandbox/subscriptions.db";
}

std::string UrlFault(std::string_view url) {
  constexpr std::size_t kLongest = 2048;
  if (url.size() > kLongest) return "is longer than " + std::to_string(kLongest) + " characters";
  for (char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return "holds a space or a control character";
  const std::size_t slashes = url.find("://");
  const std::string scheme = Fold(url.substr(0, slashes == std::string_view::npos ? 0 : slashes));
  if (scheme != "http" && scheme != "https") return "is not an http:// or https:// URL";
  std::string_view authority = url.substr(slashes + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  // The host, an IPv6 address in brackets or a name, and the port after it.
  const std::size_t hostEnd =
      authority.starts_with('[') ? authority.find(']') + 1 : std::min(authority.find(':'), authority.size());
  if (hostEnd == 0 || hostEnd > authority.size() || authority.substr(0, hostEnd) == "[]") return "names no host";
  const std::string_view rest = authority.substr(hostEnd);
  if (rest.empty()) return "";
  const std::string_view port = rest.substr(1);
  const bool digits = rest[0] == ':' && !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string_view::npos;
  if (!digits || std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535)
    return "has no port from 1 to 65535 after its host";
  return "";
}

std::string ProcessSubscriptionRequest(std::string_view document) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(document.data(), document.size(),
                                                        pugi::parse_default | pugi::parse_pi | pugi::parse_ws_pcdata_single);
  if (!parsed)
    throw MalformedRequest(std::string("The subscription document is not well-formed XML: ") + parsed.description() +
                           " at offset " + std::to_string(parsed.offset) + ".");
  const Edition edition = SubscriptionEdition(doc);
  pugi::xml_node msgs = doc.document_element().child("VTXMLSubscriptionMsgsRq");
  if (std::string_view(doc.document_element().name()) != "VTXML" || !msgs)
    throw MalformedRequest("The subscription document has no VTXML element holding a VTXMLSubscriptionMsgsRq element.");
  const std::vector<pugi::xml_node> requests = Elements(msgs);
  for (pugi::xml_node rq : requests) {
    const std::string_view name = rq.name();
    if (name.size() <= 2 || !name.ends_with("Rq"))
      throw MalformedRequest("The subscription set holds " + std::string(name) + ", which is not a request.");
  }

  std::string out;
  if (!requests.empty()) {
    Store store;
    try {
      Transaction tx(store.Handle());
      for (pugi::xml_node rq : requests) {
        Exec(store.Handle(), "SAVEPOINT request");
        Answer answer;
        try {
          answer = Serve(store, rq, edition);
          Exec(store.Handle(), "RELEASE request");
        } catch (const Failure& failure) {
          Exec(store.Handle(), "ROLLBACK TO request");
          Exec(store.Handle(), "RELEASE request");
          answer = {failure.code, failure.message, "", ""};
        }
        AppendResponse(out, rq, answer);
      }
      tx.Finish(true);
    } catch (const MalformedRequest&) {
      throw;
    } catch (const std::exception& e) {
      throw std::runtime_error("the subscription store \"" + store.Path() + "\" failed: " + e.what());
    }
  }
  const std::string head = "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLSubscriptionMsgsRs";
  if (out.empty()) return head + "/>\r\n</VTXML>\r\n";
  return head + ">\r\n" + out + "</VTXMLSubscriptionMsgsRs>\r\n</VTXML>\r\n";
}

std::vector<Subscription> Subscriptions(std::string_view type) {
  // Asking leaves no store behind where nobody subscribed.
  Store store(false);
  std::vector<Subscription> all;
  if (!store.Handle()) return all;
  Stmt rows(store.Handle(), "SELECT subscriber_id, fields FROM subscriptions WHERE type = ? ORDER BY created_at, rowid");
  rows.Bind(1, type);
  while (rows.Step()) {
    Subscription s;
    s.subscriberId = rows.Text(0);
    s.type = std::string(type);
    s.fields = rows.Text(1);
    pugi::xml_document doc;
    doc.load_string(s.fields.c_str(), kStoredParse);
    const pugi::xml_node root = doc.document_element();
    const bool byUrl = root.child("HTTPCallbackInfo");
    s.callback = {Member(root, byUrl ? "HTTPCallbackInfo/AppName" : "COMCallbackInfo/AppName"),
                  Member(root, "COMCallbackInfo/ProgID"), Member(root, "COMCallbackInfo/CLSID"),
                  Member(root, "HTTPCallbackInfo/URL")};
    s.deliverAlways = Member(root, "DeliveryPolicy") != "DeliverOnlyIfRunning";
    s.trackLost = Member(root, "TrackLostEvents") != "None";
    all.push_back(std::move(s));
  }
  return all;
}

bool Subscribes(const Subscription& s, std::string_view entry, std::string_view typeElement,
                std::string_view operationElement, std::string_view type, std::string_view operation) {
  pugi::xml_document doc;
  doc.load_string(s.fields.c_str(), kStoredParse);
  // The names outlive the loops that walk by them.
  const std::string entryName(entry), typeName(typeElement), operationName(operationElement);
  for (pugi::xml_node e : doc.document_element().children(entryName.c_str())) {
    bool typed = false, operated = false;
    for (pugi::xml_node t : e.children(typeName.c_str())) typed = typed || t.child_value() == type;
    for (pugi::xml_node o : e.children(operationName.c_str())) operated = operated || o.child_value() == operation;
    if (typed && operated) return true;
  }
  return false;
}

std::vector<std::string> EventTags(const Subscription& s) {
  pugi::xml_document doc;
  doc.load_string(s.fields.c_str(), kStoredParse);
  std::vector<std::string> tags;
  const pugi::xml_node menu = doc.document_element().child("MenuExtensionSubscription");
  for (pugi::xml_node item : menu.children("MenuItem")) tags.emplace_back(item.child_value("EventTag"));
  for (pugi::xml_node item : menu.child("Submenu").children("MenuItem")) tags.emplace_back(item.child_value("EventTag"));
  return tags;
}

std::vector<std::string> SubscriptionVersions() {
  std::vector<std::string> versions;
  for (std::string& v : SupportedVersions())
    if (std::stoi(v) >= 3) versions.push_back(std::move(v));
  return versions;
}

}  // namespace vtfc4::sandbox
