#include "processor/sandbox_engine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "processor/catalogue_table.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Member;
using catalogue::Shape;

// ---- Status codes (see README.md). 0 and 1 are Info; every other code is an Error.
constexpr int kOk = 0;
constexpr int kNoMatch = 1;
constexpr int kQueryNamesUnknown = 500;
constexpr int kRefused = 3000;
constexpr int kDuplicateName = 3100;
constexpr int kUnknownId = 3120;
constexpr int kStaleEditSequence = 3200;
constexpr int kCannotServe = 3250;
constexpr int kReadOnly = 3260;

// A request that cannot be carried out: it is answered with this status and its changes undone.
struct Failure {
  int code;
  std::string message;
};

constexpr const char* kFormat = "vtfc4 sandbox company file";
constexpr const char* kFormatVersion = "1";
// The messageSetStatusCode of a status query about a message set the sandbox holds no answer
// for (never sent, or cleared).
constexpr const char* kUnknownMessageSet = "9001";
const char* const kVersions[] = {"1.0", "1.1", "2.0", "2.1", "3.0", "4.0"};

// ---- SQLite.

[[noreturn]] void DbFail(sqlite3* db) {
  throw std::runtime_error(std::string("company file: ") + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) DbFail(db);
}

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) DbFail(db);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Bind(int i, std::string_view v) {
    sqlite3_bind_text(stmt_, i, v.empty() ? "" : v.data(), static_cast<int>(v.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) DbFail(db_);
    return false;
  }
  std::string Text(int c) const {
    auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, c));
    return p ? std::string(p, sqlite3_column_bytes(stmt_, c)) : std::string();
  }
  std::int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless committed, so an exception never leaves half a message set behind.
class Transaction {
 public:
  // A set that only reads begins without taking the write lock.
  explicit Transaction(sqlite3* db, bool writes = true) : db_(db) { Exec(db, writes ? "BEGIN IMMEDIATE" : "BEGIN"); }
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Finish(bool commit) {
    open_ = false;
    Exec(db_, commit ? "COMMIT" : "ROLLBACK");
  }

 private:
  sqlite3* db_;
  bool open_ = true;
};

// One list record. Name, FullName, parent, Sublevel, IsActive and the stamps live in columns;
// everything else the client sent is kept as an XML fragment <Fields>...</Fields>.
struct Record {
  std::int64_t seq = 0;
  std::string kind, listId, name, fullName, parentId, editSequence, timeCreated, timeModified;
  std::int64_t sublevel = 0, modifiedAt = 0;
  bool active = true;
  std::string fields = "<Fields/>";
};

// Stored fragments are read back without line-end folding: a CR the client escaped stays.
constexpr unsigned kStoredParse =
    (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;

const char* const kColumns =
    "seq, kind, list_id, name, full_name, parent_id, sublevel, edit_sequence, time_created, "
    "time_modified, modified_at, is_active, fields";

Record ReadRecord(const Stmt& s) {
  return {s.Int(0),  s.Text(1), s.Text(2), s.Text(3), s.Text(4),      s.Text(5), s.Text(7),
          s.Text(8), s.Text(9), s.Int(6),  s.Int(10), s.Int(11) != 0, s.Text(12)};
}

// The record of that kind whose column (list_id, or full_name compared without regard to ASCII
// case) holds the value.
std::optional<Record> FindBy(sqlite3* db, std::string_view kind, const char* column,
                             std::string_view value) {
  Stmt s(db,
         std::string("SELECT ") + kColumns + " FROM records WHERE kind = ? AND " + column + " = ?");
  s.Bind(1, kind).Bind(2, value);
  if (!s.Step()) return std::nullopt;
  return ReadRecord(s);
}

std::vector<Record> AllRecords(sqlite3* db, std::optional<std::string_view> kind) {
  Stmt s(db, std::string("SELECT ") + kColumns + " FROM records" + (kind ? " WHERE kind = ?" : "") +
                 " ORDER BY seq");
  if (kind) s.Bind(1, *kind);
  std::vector<Record> all;
  while (s.Step()) all.push_back(ReadRecord(s));
  return all;
}

void Store(sqlite3* db, const Record& r, bool insert) {
  Stmt s(db, insert
                 ? "INSERT INTO records (kind, list_id, name, full_name, parent_id, sublevel, "
                   "edit_sequence, "
                   "time_created, time_modified, modified_at, is_active, fields) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"
                 : "UPDATE records SET name = ?3, full_name = ?4, parent_id = ?5, sublevel = ?6, "
                   "edit_sequence = ?7, time_modified = ?9, modified_at = ?10, is_active = ?11, "
                   "fields = ?12 WHERE kind = ?1 AND list_id = ?2");
  s.Bind(1, r.kind).Bind(2, r.listId).Bind(3, r.name).Bind(4, r.fullName).Bind(5, r.parentId);
  s.Bind(6, r.sublevel).Bind(7, r.editSequence).Bind(8, r.timeCreated).Bind(9, r.timeModified);
  s.Bind(10, r.modifiedAt).Bind(11, std::int64_t{r.active}).Bind(12, r.fields).Step();
}

// ---- Times: local time with its UTC offset out, any ISO form in.

std::string IsoTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[48];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  long offset = local.tm_gmtoff;
  std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                std::labs(offset) / 3600, std::labs(offset) % 3600 / 60);
  return text;
}

// A date (YYYY-MM-DD, taken as the day's first or, with endOfDay, last second) or a date-time
// with an optional Z or ±HH:MM; without an offset the time is local.
std::optional<std::time_t> ParseInstant(const std::string& text, bool endOfDay) {
  std::tm tm{};
  int n = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &n) != 3 ||
      n != 10)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  std::string rest = text.substr(10);
  if (rest.empty() && endOfDay) tm.tm_hour = 23, tm.tm_min = 59, tm.tm_sec = 59;
  if (!rest.empty()) {
    if (std::sscanf(rest.c_str(), "T%2d:%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &n) != 3 ||
        n != 9)
      return std::nullopt;
    rest = rest.substr(9);
  }
  if (rest.empty()) {
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  }
  if (rest == "Z") return timegm(&tm);
  int hours = 0, minutes = 0;
  if ((rest[0] != '+' && rest[0] != '-') ||
      std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &n) != 2 || n != 5 ||
      rest.size() != 6)
    return std::nullopt;
  return timegm(&tm) - (rest[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
}

// ---- Text.

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      case '\r':
        out += "&#13;";
        break;  // a bare CR would be folded away by the reader
      default:
        out += c;
    }
  }
}

void AppendValue(std::string& out, std::string_view element, std::string_view text) {
  out.append("<").append(element).append(">");
  AppendEscaped(out, text, false);
  out.append("</").append(element).append(">\r\n");
}

std::string VersionText(int version) {
  return std::to_string(version / 100) + "." + std::to_string(version % 100);
}

// ---- Reading requests against the catalogue.

bool IsEmpty(pugi::xml_node node) {
  return !node.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; }) &&
         *node.child_value() == '\0';
}

std::vector<pugi::xml_node> Elements(pugi::xml_node node) {
  std::vector<pugi::xml_node> all;
  for (pugi::xml_node c : node.children())
    if (c.type() == pugi::node_element) all.push_back(c);
  return all;
}

bool IsRef(const Member& m) { return m.type == "VTBaseRef"; }

// The class of an aggregate member, null for values and references.
const ClassInfo* InnerClass(const Member& m) {
  return (m.kind == Kind::Agg || m.kind == Kind::AList) && !IsRef(m) ? FindClass(m.type) : nullptr;
}

// A member as it appears among an element's children: OR choices and groups have no element
// of their own, so their members stand in the enclosing element.
struct Flat {
  const Member* member;
  bool required;
  std::vector<std::pair<const ClassInfo*, std::size_t>>
      choices;  // OR classes and the alternative taken
};

void Flatten(const ClassInfo& cls, bool required,
             const std::vector<std::pair<const ClassInfo*, std::size_t>>& choices,
             std::vector<Flat>& out) {
  for (std::size_t i = 0; i < cls.members.size(); ++i) {
    const Member& m = cls.members[i];
    if (m.kind == Kind::Attr) continue;
    auto here = choices;
    if (cls.shape == Shape::Or) here.emplace_back(&cls, i);
    bool req = required && m.required && cls.shape != Shape::Or;
    const ClassInfo* inner = InnerClass(m);
    if (inner && inner->shape != Shape::Plain)
      Flatten(*inner, req, here, out);
    else
      out.push_back({&m, req, std::move(here)});
  }
}

std::vector<Flat> Flattened(const ClassInfo& cls) {
  std::vector<Flat> flat;
  Flatten(cls, true, {}, flat);
  return flat;
}

void CheckValue(std::string_view type, const std::string& text, const std::string& path) {
  if (text.empty()) return;  // an empty element clears a field
  bool ok = true;
  if (type == "bool")
    ok = text == "true" || text == "false";
  else if (type == "int")
    ok = text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) == std::string::npos &&
         text != "-";
  else if (type == "date")
    ok = text.size() == 10 && ParseInstant(text, false);
  else if (type == "datetime")
    ok = ParseInstant(text, false).has_value();
  if (!ok)
    throw Failure{kRefused, "The value \"" + text + "\" of " + path + " is not a valid " +
                                std::string(type) + "."};
}

// Checks an element's children against its class the way the application would: every element
// known, in schema order, single members once, one alternative per OR choice, nothing newer
// than the request's vtXML version, required members present.
void Validate(pugi::xml_node node, const ClassInfo& cls, int version, const std::string& path) {
  std::vector<Flat> flat = Flattened(cls);
  std::vector<int> seen(flat.size());
  std::map<const ClassInfo*, std::size_t> chosen;
  std::size_t pos = 0;
  for (pugi::xml_node child : Elements(node)) {
    std::string name = child.name(), inner = path + "/" + name;
    std::size_t i = pos;
    while (i < flat.size() && flat[i].member->element != name) ++i;
    if (i == flat.size()) {
      bool earlier = std::any_of(flat.begin(), flat.begin() + static_cast<std::ptrdiff_t>(pos),
                                 [&](const Flat& f) { return f.member->element == name; });
      throw Failure{kRefused, earlier ? "The element " + name + " is out of order in " + path + "."
                                      : path + " has no element " + name + "."};
    }
    const Member& m = *flat[i].member;
    if (seen[i] && m.kind != Kind::VList && m.kind != Kind::AList)
      throw Failure{kRefused, "The element " + name + " appears twice in " + path + "."};
    if ((m.from && version < m.from) || (m.until && version > m.until))
      throw Failure{kRefused,
                    "The element " + inner + " is not part of vtXML " + VersionText(version) + "."};
    for (auto [choice, alternative] : flat[i].choices)
      if (chosen.emplace(choice, alternative).first->second != alternative)
        throw Failure{kRefused, path + " sets more than one alternative of " +
                                    std::string(choice->name) + "."};
    ++seen[i];
    pos = i;
    if (const ClassInfo* innerClass = InnerClass(m)) {
      Validate(child, *innerClass, version, inner);
    } else if (IsRef(m)) {
      std::string parts;
      for (pugi::xml_node part : Elements(child)) parts += std::string(part.name()) + " ";
      if (parts != "" && parts != "ListID " && parts != "FullName " && parts != "ListID FullName ")
        throw Failure{kRefused,
                      "The reference " + inner + " may hold only ListID and then FullName."};
      for (pugi::xml_node part : Elements(child))
        if (!Elements(part).empty())
          throw Failure{kRefused, "The value " + inner + "/" + part.name() + " holds elements."};
    } else {
      if (!Elements(child).empty())
        throw Failure{kRefused, "The value " + inner + " holds elements."};
      CheckValue(m.type, child.child_value(), inner);
    }
  }
  for (std::size_t i = 0; i < flat.size(); ++i)
    if (flat[i].required && !seen[i])
      throw Failure{kRefused, path + " lacks the required element " +
                                  std::string(flat[i].member->element) + "."};
}

// ---- Writing records.

void WriteMembers(std::string& out, const ClassInfo& cls, pugi::xml_node src,
                  const std::set<std::string>* only) {
  for (const Member& m : cls.members) {
    if (m.kind == Kind::Attr) continue;
    const ClassInfo* inner = InnerClass(m);
    if (inner && inner->shape != Shape::Plain) {
      WriteMembers(out, *inner, src, only);
      continue;
    }
    std::string element(m.element);
    if (only && !only->count(element)) continue;
    for (pugi::xml_node child : src.children(element.c_str())) {
      if (m.kind == Kind::Value || m.kind == Kind::VList) {
        AppendValue(out, element, child.child_value());
      } else {
        std::string body;
        if (inner)
          WriteMembers(body, *inner, child, nullptr);
        else
          for (const char* part : {"ListID", "FullName"})
            if (pugi::xml_node p = child.child(part)) AppendValue(body, part, p.child_value());
        if (!body.empty()) out += "<" + element + ">\r\n" + body + "</" + element + ">\r\n";
      }
      if (m.kind == Kind::Value || m.kind == Kind::Agg) break;
    }
  }
}

std::set<std::string> IncludeRetElements(pugi::xml_node node) {
  std::set<std::string> names;
  for (pugi::xml_node c : node.children("IncludeRetElement")) names.insert(c.child_value());
  return names;
}

struct Context {
  CompanyFile& file;
  sqlite3* db;
  int version;
  bool readOnly = false;
};

// The record as an <XRet>: its columns and stored fields, written in the Ret class's order.
std::string RetOf(Context& cx, const ClassInfo& ret, const Record& r,
                  const std::set<std::string>& only) {
  pugi::xml_document doc;
  doc.load_string(r.fields.c_str(), kStoredParse);
  pugi::xml_node src = doc.document_element();
  auto put = [&](const char* element, const std::string& text) {
    src.append_child(element).text() = text.c_str();
  };
  put("ListID", r.listId);
  put("TimeCreated", r.timeCreated);
  put("TimeModified", r.timeModified);
  put("EditSequence", r.editSequence);
  put("Name", r.name);
  put("FullName", r.fullName);
  put("IsActive", r.active ? "true" : "false");
  put("Sublevel", std::to_string(r.sublevel));
  if (auto parent =
          r.parentId.empty() ? std::nullopt : FindBy(cx.db, r.kind, "list_id", r.parentId)) {
    pugi::xml_node ref = src.append_child("ParentRef");
    ref.append_child("ListID").text() = parent->listId.c_str();
    ref.append_child("FullName").text() = parent->fullName.c_str();
  }
  std::string out = "<" + std::string(ret.name) + ">\r\n";
  WriteMembers(out, ret, src, only.empty() ? nullptr : &only);
  return out + "</" + std::string(ret.name) + ">\r\n";
}

// ---- Operations.

struct Answer {
  int code = kOk;
  std::string message = "Status OK";
  std::string body;
  std::string attributes;
};

const ClassInfo* ServedRet(std::string_view kind) {
  const ClassInfo* ret = FindClass(std::string(kind) + "Ret");
  return ret && ret->shape == Shape::Plain && ret->Find("ListID") ? ret : nullptr;
}

pugi::xml_node Body(pugi::xml_node rq, const std::string& bodyName) {
  std::vector<pugi::xml_node> children = Elements(rq);
  if (children.size() != 1 || bodyName != children[0].name())
    throw Failure{kRefused,
                  std::string(rq.name()) + " must hold exactly one " + bodyName + " element."};
  return children[0];
}

void CheckName(const std::string& name, const std::string& path) {
  if (name.empty()) throw Failure{kRefused, path + "/Name must not be empty."};
  if (name.find(':') != std::string::npos)
    throw Failure{kRefused,
                  path + "/Name must not contain ':', which separates the levels of a FullName."};
}

// The parent a ParentRef names (by ListID if given, else by FullName); none for an empty one.
std::optional<Record> ParentOf(Context& cx, const std::string& kind, pugi::xml_node ref) {
  if (!ref || IsEmpty(ref)) return std::nullopt;
  std::string id = ref.child_value("ListID"), name = ref.child_value("FullName");
  std::optional<Record> parent =
      FindBy(cx.db, kind, id.empty() ? "full_name" : "list_id", id.empty() ? name : id);
  if (!parent)
    throw Failure{kUnknownId, "The parent \"" + (id.empty() ? name : id) +
                                  "\" named by ParentRef is not a " + kind +
                                  " of the company file."};
  return parent;
}

// Places a record under a parent, or at the top, deriving its FullName and Sublevel.
void PlaceUnder(Record& r, const std::optional<Record>& parent) {
  r.parentId = parent ? parent->listId : "";
  r.fullName = parent ? parent->fullName + ":" + r.name : r.name;
  r.sublevel = parent ? parent->sublevel + 1 : 0;
}

void CheckFreeName(Context& cx, const Record& r) {
  auto holder = FindBy(cx.db, r.kind, "full_name", r.fullName);
  if (holder && holder->listId != r.listId)
    throw Failure{kDuplicateName,
                  "The name \"" + r.fullName + "\" is already in use by another " + r.kind + "."};
}

std::string NextListId(Context& cx, std::time_t now) {
  Stmt get(cx.db, "SELECT value FROM sandbox_company WHERE key = 'next_list_number'");
  std::int64_t number = get.Step() ? std::stoll(get.Text(0)) : 0x80000001;
  Stmt(cx.db, "UPDATE sandbox_company SET value = ? WHERE key = 'next_list_number'")
      .Bind(1, std::to_string(number + 1))
      .Step();
  char id[48];
  std::snprintf(id, sizeof id, "%llX-%lld", static_cast<unsigned long long>(number),
                static_cast<long long>(now));
  return id;
}

// The elements a record keeps of its body: all but those held in columns, empty ones dropped.
// Children first, so that an element left empty by its children's removal goes too; no
// recursion, whatever the depth.
void Prune(pugi::xml_node node) {
  std::vector<pugi::xml_node> order = Elements(node);  // every element below, parents first
  for (size_t i = 0; i < order.size(); ++i)
    for (pugi::xml_node c : Elements(order[i])) order.push_back(c);
  for (auto it = order.rbegin(); it != order.rend(); ++it)
    if (IsEmpty(*it)) it->parent().remove_child(*it);
}

std::string Serialize(pugi::xml_node node) {
  std::ostringstream text;
  node.print(text, "", pugi::format_raw);
  return text.str();
}

const std::set<std::string> kColumnElements = {"ListID",   "EditSequence", "Name",
                                               "IsActive", "ParentRef",    "IncludeRetElement"};

// Applies a Mod body to stored fields: present elements replace, empty ones clear, aggregates
// of a class merge child by child, and a repeated member's new entries replace all old ones.
void Merge(pugi::xml_node stored, pugi::xml_node change, const ClassInfo& cls, bool top) {
  std::vector<Flat> flat = Flattened(cls);
  std::set<std::string> replaced;
  for (pugi::xml_node c : Elements(change)) {
    std::string name = c.name();
    if (top && kColumnElements.count(name)) continue;
    const Member& m = *std::find_if(flat.begin(), flat.end(), [&](const Flat& f) {
                         return f.member->element == name;
                       })->member;
    bool list = m.kind == Kind::VList || m.kind == Kind::AList;
    if (const ClassInfo* inner = InnerClass(m); inner && !list) {
      pugi::xml_node target = stored.child(name.c_str());
      if (!target) target = stored.append_child(name.c_str());
      if (!IsEmpty(c)) Merge(target, c, *inner, false);
      if (IsEmpty(c) || Elements(target).empty()) stored.remove_child(target);
      continue;
    }
    if (!list || replaced.insert(name).second)
      while (pugi::xml_node old = stored.child(name.c_str())) stored.remove_child(old);
    if (!IsEmpty(c)) stored.append_copy(c);
  }
}

Answer Add(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& add,
           const ClassInfo& ret) {
  pugi::xml_node body = Body(rq, kind + "Add");
  Validate(body, add, cx.version, body.name());
  std::time_t now = cx.file.Now();
  Record r;
  r.kind = kind;
  r.name = body.child_value("Name");
  CheckName(r.name, body.name());
  r.active = std::string_view(body.child_value("IsActive")) != "false";
  PlaceUnder(r, ParentOf(cx, kind, body.child("ParentRef")));
  CheckFreeName(cx, r);
  r.listId = NextListId(cx, now);
  r.editSequence = std::to_string(now);
  r.timeCreated = r.timeModified = IsoTime(now);
  r.modifiedAt = now;
  pugi::xml_document fields;
  pugi::xml_node root = fields.append_child("Fields");
  for (pugi::xml_node c : Elements(body))
    if (!kColumnElements.count(c.name())) root.append_copy(c);
  Prune(root);
  r.fields = Serialize(root);
  Store(cx.db, r, true);
  return {kOk, "Status OK", RetOf(cx, ret, r, IncludeRetElements(body)), ""};
}

Answer Mod(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& mod,
           const ClassInfo& ret) {
  pugi::xml_node body = Body(rq, kind + "Mod");
  Validate(body, mod, cx.version, body.name());
  std::string id = body.child_value("ListID");
  std::optional<Record> old = FindBy(cx.db, kind, "list_id", id);
  if (!old) throw Failure{kUnknownId, "There is no " + kind + " with ListID \"" + id + "\"."};
  if (old->editSequence != body.child_value("EditSequence"))
    throw Failure{kStaleEditSequence, "The EditSequence \"" +
                                          std::string(body.child_value("EditSequence")) +
                                          "\" is out of date; the " + kind + " is now at \"" +
                                          old->editSequence + "\"."};
  Record r = *old;
  if (pugi::xml_node name = body.child("Name")) r.name = name.child_value();
  CheckName(r.name, body.name());
  if (pugi::xml_node active = body.child("IsActive"))
    r.active = std::string_view(active.child_value()) != "false";
  std::optional<Record> parent = body.child("ParentRef")
                                     ? ParentOf(cx, kind, body.child("ParentRef"))
                                 : r.parentId.empty() ? std::nullopt
                                                      : FindBy(cx.db, kind, "list_id", r.parentId);
  if (parent && (parent->listId == r.listId || parent->fullName.starts_with(old->fullName + ":")))
    throw Failure{kRefused,
                  "A " + kind + " cannot be placed under itself or one of its sub-records."};
  PlaceUnder(r, parent);
  CheckFreeName(cx, r);
  pugi::xml_document fields;
  fields.load_string(old->fields.c_str(), kStoredParse);
  Merge(fields.document_element(), body, mod, true);
  r.fields = Serialize(fields.document_element());
  std::time_t now = cx.file.Now();
  r.editSequence = std::to_string(std::max<std::int64_t>(now, std::stoll(old->editSequence) + 1));
  r.timeModified = IsoTime(now);
  r.modifiedAt = now;
  Store(cx.db, r, false);
  if (r.fullName != old->fullName)  // the sub-records follow a renamed or moved parent
    Stmt(cx.db,
         "UPDATE records SET full_name = ?1 || substr(full_name, length(?2) + 1), sublevel = "
         "sublevel + ?3 "
         "WHERE kind = ?4 AND substr(full_name, 1, length(?2) + 1) = ?2 || ':'")
        .Bind(1, r.fullName)
        .Bind(2, old->fullName)
        .Bind(3, r.sublevel - old->sublevel)
        .Bind(4, kind)
        .Step();
  return {kOk, "Status OK", RetOf(cx, ret, r, IncludeRetElements(body)), ""};
}

// NameFilter and NameRangeFilter look at the FullName without regard to ASCII case.
bool MatchesName(const pugi::xml_node rq, const std::string& fullName) {
  std::string name = Fold(fullName);
  if (pugi::xml_node f = rq.child("NameFilter")) {
    std::string criterion = f.child_value("MatchCriterion"), part = Fold(f.child_value("Name"));
    if (criterion == "StartsWith") return name.starts_with(part);
    if (criterion == "Contains") return name.find(part) != std::string::npos;
    return name.ends_with(part);
  }
  if (pugi::xml_node f = rq.child("NameRangeFilter")) {
    if (pugi::xml_node from = f.child("FromName"); from && name < Fold(from.child_value()))
      return false;
    if (pugi::xml_node to = f.child("ToName"); to && name > Fold(to.child_value())) return false;
  }
  return true;
}

// The query elements the sandbox evaluates; OwnerID asks for private data, which it keeps none of.
const std::set<std::string> kEvaluated = {
    "ListID",         "FullName",   "MaxReturned",     "ActiveStatus",      "FromModifiedDate",
    "ToModifiedDate", "NameFilter", "NameRangeFilter", "IncludeRetElement", "OwnerID"};

Answer Query(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& query,
             const ClassInfo& ret) {
  Validate(rq, query, cx.version, rq.name());
  for (pugi::xml_node c : Elements(rq))  // answering as if a filter were absent would mislead
    if (!kEvaluated.count(c.name()))
      throw Failure{kCannotServe, "The sandbox does not evaluate the query element " +
                                      std::string(c.name()) + "."};
  std::vector<Record> all = AllRecords(cx.db, kind), hits;
  std::set<std::string> ids, names;
  for (pugi::xml_node c : rq.children("ListID")) ids.insert(c.child_value());
  for (pugi::xml_node c : rq.children("FullName")) names.insert(Fold(c.child_value()));
  if (!ids.empty() || !names.empty()) {
    for (const Record& r : all)
      if (ids.count(r.listId) || names.count(Fold(r.fullName))) hits.push_back(r);
    for (const std::string& id : ids)
      if (std::none_of(hits.begin(), hits.end(), [&](const Record& r) { return r.listId == id; }))
        throw Failure{kQueryNamesUnknown, "There is no " + kind + " with ListID \"" + id + "\"."};
    for (const std::string& name : names)
      if (std::none_of(hits.begin(), hits.end(),
                       [&](const Record& r) { return Fold(r.fullName) == name; }))
        throw Failure{kQueryNamesUnknown,
                      "There is no " + kind + " with FullName \"" + name + "\"."};
  } else {
    std::string status = rq.child("ActiveStatus") ? rq.child_value("ActiveStatus") : "ActiveOnly";
    if (status != "ActiveOnly" && status != "InactiveOnly" && status != "All")
      throw Failure{kRefused,
                    "The ActiveStatus \"" + status + "\" is not ActiveOnly, InactiveOnly or All."};
    std::optional<std::time_t> from, to;
    if (pugi::xml_node f = rq.child("FromModifiedDate"))
      from = ParseInstant(f.child_value(), false);
    if (pugi::xml_node t = rq.child("ToModifiedDate")) to = ParseInstant(t.child_value(), true);
    long long max = rq.child("MaxReturned") ? std::atoll(rq.child_value("MaxReturned")) : -1;
    if (rq.child("MaxReturned") && max < 1)
      throw Failure{kRefused, "MaxReturned must be at least 1."};
    std::string criterion = rq.child("NameFilter").child_value("MatchCriterion");
    if (rq.child("NameFilter") && criterion != "StartsWith" && criterion != "Contains" &&
        criterion != "EndsWith")
      throw Failure{kRefused, "The MatchCriterion \"" + criterion +
                                  "\" is not StartsWith, Contains or EndsWith."};
    for (const Record& r : all) {
      if ((status == "ActiveOnly" && !r.active) || (status == "InactiveOnly" && r.active)) continue;
      if ((from && r.modifiedAt < *from) || (to && r.modifiedAt > *to) ||
          !MatchesName(rq, r.fullName))
        continue;
      if (max >= 0 && static_cast<long long>(hits.size()) == max) break;
      hits.push_back(r);
    }
  }
  Answer answer;
  std::string metaData = rq.attribute("metaData").value();
  if (metaData == "MetaDataOnly" || metaData == "MetaDataAndResponseData")
    answer.attributes = " retCount=\"" + std::to_string(hits.size()) + "\"";
  if (hits.empty())
    return {kNoMatch, "A query request did not find a matching object in the company file.", "",
            answer.attributes};
  if (metaData != "MetaDataOnly")
    for (const Record& r : hits) answer.body += RetOf(cx, ret, r, IncludeRetElements(rq));
  return answer;
}

Answer Delete(Context& cx, pugi::xml_node rq) {
  std::vector<pugi::xml_node> parts = Elements(rq);
  if (parts.size() != 2 || std::string_view(parts[0].name()) != "ListDelType" ||
      std::string_view(parts[1].name()) != "ListID")
    throw Failure{kRefused, "ListDelRq must hold ListDelType and then ListID."};
  std::string kind = parts[0].child_value(), id = parts[1].child_value();
  if (!ServedRet(kind))
    throw Failure{kCannotServe, "The sandbox cannot delete records of the kind \"" + kind + "\"."};
  std::optional<Record> r = FindBy(cx.db, kind, "list_id", id);
  if (!r) throw Failure{kUnknownId, "There is no " + kind + " with ListID \"" + id + "\"."};
  Stmt children(cx.db, "SELECT 1 FROM records WHERE kind = ? AND parent_id = ?");
  if (children.Bind(1, kind).Bind(2, id).Step())
    throw Failure{kRefused, "The " + kind + " \"" + r->fullName +
                                "\" has sub-records and cannot be deleted."};
  Stmt(cx.db, "DELETE FROM records WHERE seq = ?").Bind(1, r->seq).Step();
  Answer answer;
  AppendValue(answer.body, "ListDelType", kind);
  AppendValue(answer.body, "ListID", id);
  AppendValue(answer.body, "TimeDeleted", IsoTime(cx.file.Now()));
  AppendValue(answer.body, "FullName", r->fullName);
  return answer;
}

// Serves <X>AddRq, <X>ModRq and <X>QueryRq for every X whose classes the catalogue holds.
Answer Dispatch(Context& cx, pugi::xml_node rq) {
  std::string name = rq.name();
  if (cx.readOnly && !name.ends_with("QueryRq"))
    throw Failure{kReadOnly, "The session is read-only: the application refuses " + name + " requests."};
  if (name == "ListDelRq") return Delete(cx, rq);
  auto kindBefore = [&](std::string_view suffix) -> std::optional<std::string> {
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
    return name.substr(0, name.size() - suffix.size());
  };
  if (auto kind = kindBefore("QueryRq")) {
    const ClassInfo* query = FindClass(*kind + "Query");
    if (const ClassInfo* ret = ServedRet(*kind); query && ret)
      return Query(cx, rq, *kind, *query, *ret);
  } else if (auto kindAdd = kindBefore("AddRq")) {
    const ClassInfo* add = FindClass(*kindAdd + "Add");
    if (const ClassInfo* ret = ServedRet(*kindAdd);
        add && add->shape == Shape::Plain && add->Find("Name") && ret)
      return Add(cx, rq, *kindAdd, *add, *ret);
  } else if (auto kindMod = kindBefore("ModRq")) {
    const ClassInfo* mod = FindClass(*kindMod + "Mod");
    if (const ClassInfo* ret = ServedRet(*kindMod); mod && mod->shape == Shape::Plain &&
                                                    mod->Find("ListID") &&
                                                    mod->Find("EditSequence") && ret)
      return Mod(cx, rq, *kindMod, *mod, *ret);
  }
  throw Failure{kCannotServe, "The sandbox cannot serve " + name + " requests."};
}

int ParseVersion(std::string_view text) {
  for (const char* v : kVersions)
    if (text == v) return (v[0] - '0') * 100 + (v[2] - '0');
  return 0;
}

// The version of the <?vtxml version="M.m"?> instruction; the newest when there is none.
int DocumentVersion(const pugi::xml_document& doc) {
  for (pugi::xml_node n : doc.children()) {
    if (n.type() != pugi::node_pi || std::string_view(n.name()) != "vtxml") continue;
    std::string value = n.value();
    std::size_t at = value.find("version");
    std::size_t open = value.find_first_of("\"'", at);
    std::size_t close = open == std::string::npos ? open : value.find(value[open], open + 1);
    std::string version =
        close == std::string::npos ? "" : value.substr(open + 1, close - open - 1);
    if (at == std::string::npos || !ParseVersion(version))
      throw MalformedRequest("The vtXML version \"" + version +
                             "\" is not supported by the sandbox.");
    return ParseVersion(version);
  }
  return ParseVersion(kVersions[std::size(kVersions) - 1]);
}

std::string Severity(int code) { return code == kOk || code == kNoMatch ? "Info" : "Error"; }

}  // namespace

// ---- The company file.

std::unique_ptr<CompanyFile> CompanyFile::Connect(const std::string& path, bool create,
                                                  std::string& error) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = "Cannot open the company file \"" + path + "\": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<CompanyFile> file(new CompanyFile(db, path));
  sqlite3_busy_timeout(db, 5000);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = "Cannot open the company file \"" + path + "\": it went away while it was opened.";
    return nullptr;
  }
  file->device_ = st.st_dev;
  file->inode_ = st.st_ino;
  try {
    if (create) {
      Exec(db, "PRAGMA journal_mode = WAL");
      Transaction tx(db);
      Exec(db,
           "CREATE TABLE sandbox_company (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
           "CREATE TABLE records (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL,"
           " list_id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, full_name TEXT NOT NULL COLLATE "
           "NOCASE,"
           " parent_id TEXT NOT NULL, sublevel INTEGER NOT NULL, edit_sequence TEXT NOT NULL,"
           " time_created TEXT NOT NULL, time_modified TEXT NOT NULL, modified_at INTEGER NOT NULL,"
           " is_active INTEGER NOT NULL, fields TEXT NOT NULL, UNIQUE (kind, full_name));"
           "CREATE TABLE message_sets (id TEXT PRIMARY KEY, answer TEXT NOT NULL);");
      file->OpenLock();
      Stmt(db,
           "INSERT INTO sandbox_company VALUES ('format', ?), ('format_version', ?), "
           "('next_list_number', ?)")
          .Bind(1, kFormat)
          .Bind(2, kFormatVersion)
          .Bind(3, std::to_string(0x80000001))
          .Step();
      tx.Finish(true);
      return file;
    }
    std::map<std::string, std::string> marker;
    if (sqlite3_exec(
            db, "SELECT key, value FROM sandbox_company",
            [](void* out, int, char** v, char**) {
              (*static_cast<std::map<std::string, std::string>*>(out))[v[0]] = v[1] ? v[1] : "";
              return 0;
            },
            &marker, nullptr) != SQLITE_OK ||
        marker["format"] != kFormat) {
      error = "\"" + path + "\" is not a sandbox company file.";
      return nullptr;
    }
    if (marker["format_version"] != kFormatVersion) {
      error = "The company file \"" + path + "\" has format version " + marker["format_version"] +
              "; this sandbox reads version " + kFormatVersion + ".";
      return nullptr;
    }
    file->OpenLock();
    Exec(db, "PRAGMA journal_mode = WAL");
    // Files made before the sandbox kept answers per message set gain the table.
    if (!Stmt(db, "SELECT 1 FROM sqlite_master WHERE name = 'message_sets'").Step()) {
      const CompanyFile::WriteTurn turn(*file);
      Exec(db, "CREATE TABLE IF NOT EXISTS message_sets (id TEXT PRIMARY KEY, answer TEXT NOT NULL)");
    }
  } catch (const std::exception& e) {
    error = "Cannot prepare the company file \"" + path + "\": " + e.what();
    return nullptr;
  }
  return file;
}

std::unique_ptr<CompanyFile> CompanyFile::Create(const std::string& path, std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec) || ec) {
    error = "Cannot create the company file \"" + path +
            "\": " + (ec ? ec.message() : "the file already exists.");
    return nullptr;
  }
  return Connect(path, true, error);
}

std::unique_ptr<CompanyFile> CompanyFile::Open(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "There is no company file \"" + path + "\".";
    return nullptr;
  }
  return Connect(path, false, error);
}

CompanyFile::CompanyFile(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

void CompanyFile::OpenLock() {
  // Only beside a company file: a file that turns out to be something else is left as found.
  lockFd_ = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

void CompanyFile::CheckStillThere() const {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0)
    throw CompanyFileGone("The company file \"" + path_ +
                          "\" was deleted while the session was open: nothing was stored. End the "
                          "session and begin a new one.");
  if (st.st_dev != device_ || st.st_ino != inode_)
    throw CompanyFileGone("The company file \"" + path_ +
                          "\" was replaced by another file while the session was open: nothing was "
                          "stored. End the session and begin a new one.");
}

CompanyFile::~CompanyFile() {
  sqlite3_close(db_);
  if (lockFd_ >= 0) close(lockFd_);
}

CompanyFile::WriteTurn::WriteTurn(const CompanyFile& file, bool take) : fd_(take ? file.lockFd_ : -1) {
  while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

CompanyFile::WriteTurn::~WriteTurn() {
  if (fd_ >= 0) flock(fd_, LOCK_UN);
}

// ---- Message sets.

namespace {

// A response document around the answers of a set. A set without answers is an empty
// element: one holding only a line break would read as a value, not as a set.
std::string AnswerDocument(const std::string& attributes, const std::string& answers) {
  const std::string head = "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs" + attributes;
  if (answers.empty()) return head + "/>\r\n</VTXML>\r\n";
  return head + ">\r\n" + answers + "</VTXMLMsgsRs>\r\n</VTXML>\r\n";
}

std::string EmptyAnswer() { return AnswerDocument("", ""); }

void RememberMessageSet(CompanyFile& file, const std::string& id, const std::string& answers) {
  Stmt(file.Handle(), "INSERT OR REPLACE INTO message_sets (id, answer) VALUES (?, ?)").Bind(1, id).Bind(2, answers).Step();
}

void ForgetMessageSet(CompanyFile& file, const std::string& id) {
  Stmt(file.Handle(), "DELETE FROM message_sets WHERE id = ?").Bind(1, id).Step();
}

// The kept answer of message set `id` with messageSetStatusCode 0, or none with
// kUnknownMessageSet when the sandbox holds no answer for it.
std::string RecoveryStatus(CompanyFile& file, const std::string& id) {
  Stmt find(file.Handle(), "SELECT answer FROM message_sets WHERE id = ?");
  find.Bind(1, id);
  const bool known = find.Step();
  std::string attributes = " newMessageSetID=\"";
  AppendEscaped(attributes, id, true);
  attributes += "\" messageSetStatusCode=\"" + std::string(known ? "0" : kUnknownMessageSet) + "\"";
  return AnswerDocument(attributes, known ? find.Text(0) : "");
}

}  // namespace

std::string ProcessRequest(CompanyFile& file, std::string_view requestXml, const Access& access) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed =
      doc.load_buffer(requestXml.data(), requestXml.size(),
                      pugi::parse_default | pugi::parse_pi | pugi::parse_ws_pcdata_single);
  if (!parsed)
    throw MalformedRequest(std::string("The request document is not well-formed XML: ") +
                           parsed.description() + " at offset " + std::to_string(parsed.offset) +
                           ".");
  int version = DocumentVersion(doc);
  pugi::xml_node msgs = doc.document_element().child("VTXMLMsgsRq");
  if (std::string_view(doc.document_element().name()) != "VTXML" || !msgs)
    throw MalformedRequest(
        "The request document has no VTXML element holding a VTXMLMsgsRq element.");
  std::string policy =
      msgs.attribute("onError") ? msgs.attribute("onError").value() : "stopOnError";
  if (policy != "stopOnError" && policy != "continueOnError" && policy != "rollbackOnError")
    throw MalformedRequest("The onError policy \"" + policy +
                           "\" is not stopOnError, continueOnError or rollbackOnError.");
  std::vector<pugi::xml_node> requests = Elements(msgs);
  for (pugi::xml_node rq : requests) {
    std::string_view name = rq.name();
    if (name.size() <= 2 || !name.ends_with("Rq"))
      throw MalformedRequest("The message set holds " + std::string(name) +
                             ", which is not a request.");
  }

  // Error recovery: a set naming one message set identifier as both old and new, with no
  // requests, asks for the answer the sandbox gave that set; one naming only an old identifier,
  // with no requests, tells the sandbox to forget it.
  const std::string newId = msgs.attribute("newMessageSetID").value();
  const std::string oldId = msgs.attribute("oldMessageSetID").value();
  file.CheckStillThere();
  if (requests.empty() && !oldId.empty() && oldId == newId) return RecoveryStatus(file, oldId);
  bool writes = !newId.empty() || !oldId.empty();
  for (pugi::xml_node rq : requests) writes = writes || !std::string_view(rq.name()).ends_with("QueryRq");
  const CompanyFile::WriteTurn turn(file, writes);
  if (requests.empty() && !oldId.empty() && newId.empty()) {
    ForgetMessageSet(file, oldId);
    return EmptyAnswer();
  }

  Context cx{file, file.Handle(), version, access.readOnly};
  std::string out;
  Transaction tx(cx.db, writes);
  bool keep = true;
  for (pugi::xml_node rq : requests) {
    Exec(cx.db, "SAVEPOINT request");
    Answer answer;
    try {
      answer = Dispatch(cx, rq);
      Exec(cx.db, "RELEASE request");
    } catch (const Failure& failure) {
      Exec(cx.db, "ROLLBACK TO request");
      Exec(cx.db, "RELEASE request");
      answer = {failure.code, failure.message, "", ""};
    }
    std::string rs =
        std::string(rq.name()).replace(std::string_view(rq.name()).size() - 2, 2, "Rs");
    out += "<" + rs;
    if (pugi::xml_attribute id = rq.attribute("requestID")) {
      out += " requestID=\"";
      AppendEscaped(out, id.value(), true);
      out += "\"";
    }
    out += " statusCode=\"" + std::to_string(answer.code) + "\" statusSeverity=\"" +
           Severity(answer.code) + "\" statusMessage=\"";
    AppendEscaped(out, answer.message, true);
    out += "\"" + answer.attributes;
    out += answer.body.empty() ? "/>\r\n" : ">\r\n" + answer.body + "</" + rs + ">\r\n";
    if (Severity(answer.code) == "Error" && policy != "continueOnError") {
      keep = policy != "rollbackOnError";
      break;
    }
  }
  // A file deleted or replaced while the set ran would take its changes with it.
  file.CheckStillThere();
  tx.Finish(keep);
  // The answer of a set that carried an identifier is kept until the client clears it, so that
  // a client that lost it can ask again.
  std::string attributes;
  if (!newId.empty()) {
    RememberMessageSet(file, newId, out);
    attributes = " newMessageSetID=\"";
    AppendEscaped(attributes, newId, true);
    attributes += "\"";
  }
  if (!oldId.empty() && oldId != newId) ForgetMessageSet(file, oldId);
  return AnswerDocument(attributes, out);
}

std::string ListRecords(CompanyFile& file) {
  std::vector<Record> all = AllRecords(file.Handle(), std::nullopt);
  if (all.empty()) return "(no records)\n";
  std::string out;
  for (const Record& r : all) {
    out += r.kind + "  " + r.listId + "  \"" + r.fullName + "\"  EditSequence " + r.editSequence +
           "\n";
    out += "  Name: " + r.name + "\n  IsActive: " + (r.active ? "true" : "false") +
           "\n  Sublevel: " + std::to_string(r.sublevel) + "\n";
    if (!r.parentId.empty()) out += "  ParentRef: " + r.parentId + "\n";
    out += "  TimeCreated: " + r.timeCreated + "\n  TimeModified: " + r.timeModified + "\n";
    pugi::xml_document fields;
    fields.load_string(r.fields.c_str(), kStoredParse);
    // Depth first, in document order, with a stack of its own rather than recursion.
    std::vector<std::pair<pugi::xml_node, std::string>> stack;
    auto push = [&](pugi::xml_node node, const std::string& path) {
      std::vector<pugi::xml_node> children = Elements(node);
      for (auto c = children.rbegin(); c != children.rend(); ++c)
        stack.emplace_back(*c, path.empty() ? c->name() : path + "/" + c->name());
    };
    push(fields.document_element(), "");
    while (!stack.empty()) {
      auto [node, path] = std::move(stack.back());
      stack.pop_back();
      if (Elements(node).empty())
        out += "  " + path + ": " + node.child_value() + "\n";
      else
        push(node, path);
    }
  }
  return out;
}

std::vector<std::string> SupportedVersions() {
  return {std::begin(kVersions), std::end(kVersions)};
}

}  // namespace vtfc4::sandbox
