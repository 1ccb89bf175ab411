#include "processor/lists.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "processor/books.h"
#include "processor/records.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Member;
using catalogue::Shape;

// The elements a record keeps in columns rather than among its fields.
const std::set<std::string> kColumnElements = {"ListID", "EditSequence", "Name", "IsActive", "ParentRef",
                                               "IncludeRetElement"};

std::string RetOf(Context& cx, const Record& r, const std::set<std::string>& only,
                  const std::set<std::string>& owners = {}) {
  const ClassInfo* ret = FindClass(r.kind + "Ret");
  pugi::xml_document doc;
  doc.load_string(r.fields.c_str(), kStoredParse);
  pugi::xml_node src = doc.document_element();
  auto put = [&](const char* element, const std::string& text) { src.append_child(element).text() = text.c_str(); };
  put("ListID", r.listId);
  put("TimeCreated", r.timeCreated);
  put("TimeModified", r.timeModified);
  put("EditSequence", r.editSequence);
  put("Name", r.name);
  put("FullName", r.fullName);
  put("IsActive", r.active ? "true" : "false");
  put("Sublevel", std::to_string(r.sublevel));
  if (!r.parentId.empty()) src.append_child("ParentRef").append_child("ListID").text() = r.parentId.c_str();
  // What the books compute stands in for what was sent (an item's starting quantity).
  for (const auto& [element, value] : books::ComputedFields(cx.db, r)) {
    src.remove_child(element.c_str());
    put(element.c_str(), value);
  }
  AddDataExts(cx, src, r.listId, owners);
  return RetElement(cx, *ret, src, only);
}

// ---- Names.

void CheckName(const std::string& name, const std::string& path) {
  if (name.empty()) throw Failure{kRefused, path + " names no record: its name is empty."};
  if (name.find(':') != std::string::npos)
    throw Failure{kRefused, path + "'s name must not contain ':', which separates the levels of a FullName."};
}

// A record's name: its Name, or the members that make the name of a class without one,
// joined by blanks (read from the body, or from the stored fields after a modification).
std::string NameOf(pugi::xml_node src, const ClassInfo& cls) {
  if (cls.Find("Name")) return src.child_value("Name");
  std::string name;
  for (const Member& m : cls.members) {
    if (!m.naming) continue;
    const std::string part = src.child_value(std::string(m.element).c_str());
    if (part.empty()) continue;
    name += (name.empty() ? "" : " ") + part;
  }
  return name;
}

// True when records of the class have a name: a Name, or members that make one.
bool Named(const ClassInfo& cls) {
  return cls.Find("Name") || std::any_of(cls.members.begin(), cls.members.end(), [](const Member& m) { return m.naming; });
}

bool NamesChange(pugi::xml_node body, const ClassInfo& cls) {
  for (const Member& m : cls.members)
    if ((m.element == "Name" || m.naming) && body.child(std::string(m.element).c_str())) return true;
  return false;
}

void PlaceUnder(Record& r, const std::optional<Record>& parent) {
  r.parentId = parent ? parent->listId : "";
  r.fullName = parent ? parent->fullName + ":" + r.name : r.name;
  r.sublevel = parent ? parent->sublevel + 1 : 0;
}

// The parent a ParentRef names, of the kinds its member names; none for an absent or empty one.
std::optional<Record> ParentOf(Context& cx, const Record& r, const ClassInfo& cls, pugi::xml_node ref) {
  const Member* m = cls.Find("ParentRef");
  if (!m || !ref || IsEmpty(ref)) return std::nullopt;
  return Resolve(cx, ref, catalogue::ReferencedKinds(m->refersTo, r.kind), ListsText(m->refersTo, r.kind),
                 std::string(cls.name) + "/ParentRef");
}

void CheckFreeName(Context& cx, const Record& r) {
  auto holder = RecordInFamily(cx.db, r.family, r.fullName);
  if (holder && holder->listId != r.listId)
    throw Failure{kDuplicateName, "The name \"" + r.fullName + "\" is already in use by the " + holder->kind + " \"" +
                                      holder->fullName + "\"."};
}

// ---- Adds and modifications.

Answer AddRecord(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& add) {
  pugi::xml_node body = BodyOf(rq, add);
  Validate(body, add, cx.edition, body.name());
  const std::time_t now = cx.file.Now();
  Record r;
  r.kind = kind;
  r.family = catalogue::FamilyOf(kind);
  r.listId = NextListId(cx.db, now);
  r.active = std::string_view(body.child_value("IsActive")) != "false";
  if (Named(add)) {
    r.name = NameOf(body, add);
    CheckName(r.name, body.name());
    PlaceUnder(r, ParentOf(cx, r, add, body.child("ParentRef")));
    CheckFreeName(cx, r);
  } else {
    r.fullName = r.listId;  // a record without a name (a to-do) is known by its ListID alone
  }
  pugi::xml_document fields;
  pugi::xml_node root = fields.append_child("Fields");
  for (pugi::xml_node c : Elements(body))
    if (!kColumnElements.count(c.name())) root.append_copy(c);
  std::vector<std::string> links;
  ResolveReferences(cx, root, add, kind, body.name(), links);
  if (!r.parentId.empty()) links.push_back(r.parentId);
  Prune(root);
  r.fields = Serialize(root);
  r.editSequence = std::to_string(now);
  r.timeCreated = r.timeModified = IsoTime(now);
  r.modifiedAt = now;
  InsertRecord(cx.db, r);
  SetLinks(cx.db, r.listId, links);
  books::BookListRecord(cx.db, r);
  cx.changes.push_back({false, kind, "Add", r.listId, ""});
  return {kOk, "Status OK", RetOf(cx, r, IncludeRetElements(rq)), ""};
}

Answer ModRecord(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& mod) {
  pugi::xml_node body = BodyOf(rq, mod);
  Validate(body, mod, cx.edition, body.name());
  const std::string id = body.child_value("ListID");
  std::optional<Record> old = RecordById(cx.db, id);
  if (!old || old->kind != kind) throw Failure{kUnknownId, "There is no " + kind + " with ListID \"" + id + "\"."};
  if (old->editSequence != body.child_value("EditSequence"))
    throw Failure{kStaleEditSequence, "The EditSequence \"" + std::string(body.child_value("EditSequence")) +
                                          "\" is out of date; the " + kind + " is now at \"" + old->editSequence +
                                          "\"."};
  Record r = *old;
  pugi::xml_document change;
  change.append_copy(body);
  std::vector<std::string> links;
  ResolveReferences(cx, change.document_element(), mod, kind, body.name(), links);
  pugi::xml_document fields;
  fields.load_string(old->fields.c_str(), kStoredParse);
  Merge(fields.document_element(), change.document_element(), mod, &kColumnElements);
  if (Named(mod) && NamesChange(body, mod)) {
    r.name = mod.Find("Name") ? body.child_value("Name") : NameOf(fields.document_element(), mod);
    CheckName(r.name, body.name());
  }
  if (pugi::xml_node active = body.child("IsActive")) r.active = std::string_view(active.child_value()) != "false";
  std::optional<Record> parent = body.child("ParentRef") ? ParentOf(cx, r, mod, body.child("ParentRef"))
                                 : r.parentId.empty()    ? std::nullopt
                                                         : RecordById(cx.db, r.parentId);
  if (parent && (parent->listId == r.listId || Fold(parent->fullName).starts_with(Fold(old->fullName) + ":")))
    throw Failure{kRefused, "A " + kind + " cannot be placed under itself or one of its sub-records."};
  if (Named(mod)) {
    PlaceUnder(r, parent);
    CheckFreeName(cx, r);
  }
  r.fields = Serialize(fields.document_element());
  const std::time_t now = cx.file.Now();
  r.editSequence = std::to_string(std::max<std::int64_t>(now, std::stoll(old->editSequence) + 1));
  r.timeModified = IsoTime(now);
  r.modifiedAt = now;
  UpdateRecord(cx.db, r);
  cx.changes.push_back({false, kind, "Modify", r.listId, ""});
  std::vector<std::string> all;
  CollectLinks(fields.document_element(), all);
  if (!r.parentId.empty()) all.push_back(r.parentId);
  SetLinks(cx.db, r.listId, all);
  books::BookListRecord(cx.db, r);
  if (r.fullName != old->fullName) RenameChildren(cx.db, r, old->fullName, old->sublevel);
  return {kOk, "Status OK", RetOf(cx, r, IncludeRetElements(rq)), ""};
}

// ---- Queries.

// NameFilter and NameRangeFilter look at the FullName without regard to ASCII case.
bool MatchesName(pugi::xml_node rq, const std::string& fullName) {
  const std::string name = Fold(fullName);
  if (pugi::xml_node f = rq.child("NameFilter")) {
    const std::string criterion = f.child_value("MatchCriterion"), part = Fold(f.child_value("Name"));
    if (criterion == "StartsWith") return name.starts_with(part);
    if (criterion == "Contains") return name.find(part) != std::string::npos;
    return name.ends_with(part);
  }
  if (pugi::xml_node f = rq.child("NameRangeFilter")) {
    if (pugi::xml_node from = f.child("FromName"); from && name < Fold(from.child_value())) return false;
    if (pugi::xml_node to = f.child("ToName"); to && name > Fold(to.child_value())) return false;
  }
  return true;
}

// The query elements every list query evaluates the same way.
const std::set<std::string> kCommonQuery = {"ListID",           "FullName",         "MaxReturned",
                                            "ActiveStatus",     "FromModifiedDate", "ToModifiedDate",
                                            "NameFilter",       "NameRangeFilter",  "TotalBalanceFilter",
                                            "IncludeRetElement", "OwnerID"};

// A filter of the kind's own: a field compared with the values given (AccountType), a yes/no
// field by its status ("DoneOnly" for IsDone), or a reference to a record that the record's
// fields name (ItemRef).
struct FieldFilter {
  std::string element;
  enum { kValues, kStatus, kReference } how;
  std::set<std::string> values;  // values, the status word, or the ListID named
};

bool Compare(double value, const std::string& op, double amount) {
  if (op == "LessThan") return value < amount;
  if (op == "LessThanEqual") return value <= amount;
  if (op == "Equal") return value == amount;
  if (op == "GreaterThan") return value > amount;
  return value >= amount;
}

bool Matches(Context& cx, const Record& r, const FieldFilter& f) {
  pugi::xml_document doc;
  doc.load_string(r.fields.c_str(), kStoredParse);
  pugi::xml_node fields = doc.document_element();
  if (f.how == FieldFilter::kValues) return f.values.count(fields.child_value(f.element.c_str())) > 0;
  if (f.how == FieldFilter::kStatus) {
    const std::string& word = *f.values.begin();  // "<W>Only", "Not<W>Only" or "All"
    if (word == "All") return true;
    const std::string stem = f.element.substr(0, f.element.size() - 6);  // "<W>Status" without "Status"
    const bool wanted = !word.starts_with("Not");
    return (std::string_view(fields.child_value(("Is" + stem).c_str())) == "true") == wanted;
  }
  std::vector<pugi::xml_node> all = Elements(fields);
  for (size_t i = 0; i < all.size(); ++i) {
    if (f.element == all[i].name() && f.values.count(all[i].child_value("ListID"))) return true;
    for (pugi::xml_node c : Elements(all[i])) all.push_back(c);
  }
  (void)cx;
  return false;
}

Answer QueryRecords(Context& cx, pugi::xml_node rq, const std::string& name, const std::vector<std::string>& kinds,
                    const ClassInfo& query) {
  Validate(rq, query, cx.edition, rq.name());
  std::vector<FieldFilter> filters;
  const std::vector<Flat> flat = Flattened(query);
  for (pugi::xml_node c : Elements(rq)) {
    const std::string element = c.name();
    if (kCommonQuery.count(element)) continue;
    const Member* m = nullptr;
    for (const Flat& f : flat)
      if (f.member->element == element) m = f.member;
    auto filter = std::find_if(filters.begin(), filters.end(), [&](const FieldFilter& x) { return x.element == element; });
    if (m && IsRef(*m)) {
      const Record target = Resolve(cx, c, catalogue::ReferencedKinds(m->refersTo, kinds[0]),
                                    ListsText(m->refersTo, kinds[0]), std::string(rq.name()) + "/" + element);
      filters.push_back({element, FieldFilter::kReference, {target.listId}});
    } else if (element.size() > 6 && element.ends_with("Status") && Elements(c).empty()) {
      filters.push_back({element, FieldFilter::kStatus, {c.child_value()}});
    } else if (m && Elements(c).empty() &&
               std::any_of(kinds.begin(), kinds.end(), [&](const std::string& k) {
                 const ClassInfo* ret = FindClass(k + "Ret");
                 return ret && ret->Find(element);
               })) {
      if (filter == filters.end())
        filters.push_back({element, FieldFilter::kValues, {c.child_value()}});
      else
        filter->values.insert(c.child_value());
    } else {
      // Answering as if a filter were absent would mislead.
      throw Failure{kCannotServe, "The sandbox does not evaluate the query element " + element + "."};
    }
  }
  std::vector<Record> hits;
  std::set<std::string> ids;
  std::map<std::string, std::string> names;  // folded, as the request gave it
  for (pugi::xml_node c : rq.children("ListID")) ids.insert(c.child_value());
  for (pugi::xml_node c : rq.children("FullName")) names.emplace(Fold(c.child_value()), c.child_value());
  if (!ids.empty() || !names.empty()) {
    // Each looked up by its key rather than among every record of the kinds: a client reading
    // back what it just added must not pay for the whole file.
    const auto ofKinds = [&](const std::optional<Record>& r) {
      return r && std::find(kinds.begin(), kinds.end(), r->kind) != kinds.end();
    };
    const auto add = [&](Record r) {
      if (std::none_of(hits.begin(), hits.end(), [&](const Record& h) { return h.seq == r.seq; }))
        hits.push_back(std::move(r));
    };
    for (const std::string& id : ids) {
      std::optional<Record> r = RecordById(cx.db, id);
      if (!ofKinds(r)) throw Failure{kQueryNamesUnknown, "There is no " + name + " with ListID \"" + id + "\"."};
      add(std::move(*r));
    }
    for (const auto& entry : names) {
      std::optional<Record> r = RecordByName(cx.db, kinds, entry.second);
      if (!ofKinds(r))
        throw Failure{kQueryNamesUnknown, "There is no " + name + " with FullName \"" + entry.second + "\"."};
      add(std::move(*r));
    }
    // In the order they were made, as every list query answers.
    std::sort(hits.begin(), hits.end(), [](const Record& a, const Record& b) { return a.seq < b.seq; });
  } else {
    const std::vector<Record> all = Records(cx.db, kinds);
    const std::string status = rq.child("ActiveStatus") ? rq.child_value("ActiveStatus") : "ActiveOnly";
    std::optional<std::time_t> from, to;
    if (pugi::xml_node f = rq.child("FromModifiedDate")) from = ParseInstant(f.child_value(), false);
    if (pugi::xml_node t = rq.child("ToModifiedDate")) to = ParseInstant(t.child_value(), true);
    const long long max = rq.child("MaxReturned") ? std::atoll(rq.child_value("MaxReturned")) : -1;
    if (rq.child("MaxReturned") && max < 1) throw Failure{kRefused, "MaxReturned must be at least 1."};
    pugi::xml_node balance = rq.child("TotalBalanceFilter");
    for (const Record& r : all) {
      if ((status == "ActiveOnly" && !r.active) || (status == "InactiveOnly" && r.active)) continue;
      if ((from && r.modifiedAt < *from) || (to && r.modifiedAt > *to) || !MatchesName(rq, r.fullName)) continue;
      if (balance) {
        const auto computed = books::ComputedFields(cx.db, r);
        const auto total = computed.find("TotalBalance");
        if (total == computed.end() || !Compare(std::strtod(total->second.c_str(), nullptr),
                                                balance.child_value("Operator"),
                                                std::strtod(balance.child_value("Amount"), nullptr)))
          continue;
      }
      if (!std::all_of(filters.begin(), filters.end(), [&](const FieldFilter& f) { return Matches(cx, r, f); }))
        continue;
      if (max >= 0 && static_cast<long long>(hits.size()) == max) break;
      hits.push_back(r);
    }
  }
  std::string body;
  if (WantsRecords(rq))
    for (const Record& r : hits) body += RetOf(cx, r, IncludeRetElements(rq), Owners(rq));
  return Listing(rq, hits.size(), std::move(body), kNothingFound);
}

// ---- Deletions.

Answer DeleteRecord(Context& cx, pugi::xml_node rq) {
  Validate(rq, *FindClass("ListDel"), cx.edition, rq.name());
  const std::string kind = rq.child_value("ListDelType"), id = rq.child_value("ListID");
  if (!catalogue::IsListKind(kind))
    throw Failure{kCannotServe, "The sandbox cannot delete records of the kind \"" + kind + "\"."};
  std::optional<Record> r = RecordById(cx.db, id);
  if (!r || r->kind != kind) throw Failure{kUnknownId, "There is no " + kind + " with ListID \"" + id + "\"."};
  if (HasChildren(cx.db, *r))
    throw Failure{kInUse, "The " + kind + " \"" + r->fullName + "\" has sub-records and cannot be deleted."};
  if (auto user = LinkTo(cx.db, id)) {
    std::string by = "the company's " + *user;
    if (auto holder = RecordById(cx.db, *user)) by = "the " + holder->kind + " \"" + holder->fullName + "\"";
    if (auto txn = TxnById(cx.db, *user)) by = "the " + txn->kind + " " + txn->txnId;
    throw Failure{kInUse, "The " + kind + " \"" + r->fullName + "\" is in use by " + by + " and cannot be deleted."};
  }
  const std::time_t now = cx.file.Now();
  const std::string deleted = IsoTime(now);
  RemoveRecord(cx.db, *r);
  RemoveDataExtValuesOn(cx.db, id);
  LogDeletion(cx.db, {kind, id, r->fullName, r->timeCreated, deleted, now});
  cx.changes.push_back({false, kind, "Delete", id, ""});
  Answer answer;
  AppendValue(answer.body, "ListDelType", kind);
  AppendValue(answer.body, "ListID", id);
  AppendValue(answer.body, "TimeDeleted", deleted);
  AppendValue(answer.body, "FullName", r->fullName);
  return answer;
}

// ---- The company's own records.

Answer QuerySingleton(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& query,
                      const std::string& fragment) {
  Validate(rq, query, cx.edition, rq.name());
  pugi::xml_document doc;
  doc.load_string(fragment.c_str(), kStoredParse);
  AddDataExts(cx, doc.document_element(), "", Owners(rq));
  Answer answer;
  answer.body = RetElement(cx, *FindClass(kind + "Ret"), doc.document_element(), IncludeRetElements(rq));
  return answer;
}

}  // namespace

std::optional<Answer> ServeListRequest(Context& cx, pugi::xml_node rq) {
  const std::string name = rq.name();
  if (name == "ListDelRq") return DeleteRecord(cx, rq);
  if (name.ends_with("DisplayAddRq") || name.ends_with("DisplayModRq"))
    throw Failure{kCannotServe, "The sandbox has no windows: " + name + " would open one in the application."};
  if (auto kind = KindBefore(name, "QueryRq")) {
    const ClassInfo* query = FindClass(*kind + "Query");
    if (!query) return std::nullopt;
    if (*kind == "ListDeleted")
      return DeletedAnswer(cx, rq, *query, "ListDelType", "ListID", "FullName", "ListDeletedRet");
    if (catalogue::IsListKind(*kind)) return QueryRecords(cx, rq, *kind, {*kind}, *query);
    if (const auto& family = catalogue::FamilyKinds(*kind); !family.empty())
      return QueryRecords(cx, rq, *kind, family, *query);
    if (auto fragment = Singleton(cx.db, *kind); fragment && FindClass(*kind + "Ret"))
      return QuerySingleton(cx, rq, *kind, *query, *fragment);
    return std::nullopt;
  }
  if (auto kind = KindBefore(name, "AddRq")) {
    const ClassInfo* add = FindClass(*kind + "Add");
    if (!add) return std::nullopt;
    if (catalogue::IsListKind(*kind) && add->shape == Shape::Plain) return AddRecord(cx, rq, *kind, *add);
    return std::nullopt;
  }
  if (auto kind = KindBefore(name, "ModRq")) {
    const ClassInfo* mod = FindClass(*kind + "Mod");
    if (!mod) return std::nullopt;
    if (catalogue::IsListKind(*kind) && mod->shape == Shape::Plain && mod->Find("ListID") &&
        mod->Find("EditSequence"))
      return ModRecord(cx, rq, *kind, *mod);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace vtfc4::sandbox
