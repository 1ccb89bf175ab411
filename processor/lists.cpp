#include "processor/lists.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

#include "processor/books.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Member;
using catalogue::Shape;

// Stored fragments are read back without line-end folding: a CR the client escaped stays.
constexpr unsigned kStoredParse = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;

// The elements a record keeps in columns rather than among its fields.
const std::set<std::string> kColumnElements = {"ListID", "EditSequence", "Name", "IsActive", "ParentRef",
                                               "IncludeRetElement"};

std::string Serialize(pugi::xml_node node) {
  std::ostringstream text;
  node.print(text, "", pugi::format_raw);
  return text.str();
}

// The elements a record keeps of its body: empty ones dropped, children first, so that an
// element left empty by its children's removal goes too; no recursion, whatever the depth.
void Prune(pugi::xml_node node) {
  std::vector<pugi::xml_node> order = Elements(node);  // every element below, parents first
  for (size_t i = 0; i < order.size(); ++i)
    for (pugi::xml_node c : Elements(order[i])) order.push_back(c);
  for (auto it = order.rbegin(); it != order.rend(); ++it)
    if (IsEmpty(*it)) it->parent().remove_child(*it);
}

std::string Join(const std::vector<std::string>& parts, const char* last) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i)
    out += (i == 0 ? "" : i + 1 == parts.size() ? last : ", ") + parts[i];
  return out;
}

// The lists a reference names, in words: its list kinds and families as the table gives them.
std::string ListsText(std::string_view refersTo, const std::string& own) {
  std::vector<std::string> names;
  while (!refersTo.empty()) {
    const size_t comma = refersTo.find(',');
    const std::string name(refersTo.substr(0, comma));
    refersTo.remove_prefix(comma == std::string_view::npos ? refersTo.size() : comma + 1);
    names.push_back(name == "self" ? own : name);
  }
  return Join(names, " or ");
}

// The request's body: the one element of a plain class, or the request element itself for a
// group, written flat.
pugi::xml_node BodyOf(pugi::xml_node rq, const ClassInfo& cls) {
  if (cls.shape != Shape::Plain) return rq;
  std::vector<pugi::xml_node> children = Elements(rq);
  std::vector<pugi::xml_node> bodies;
  for (pugi::xml_node c : children)
    if (std::string_view(c.name()) != "IncludeRetElement") bodies.push_back(c);
  if (bodies.size() != 1 || cls.name != bodies[0].name())
    throw Failure{kRefused, std::string(rq.name()) + " must hold exactly one " + std::string(cls.name) + " element."};
  return bodies[0];
}

std::set<std::string> IncludeRetElements(pugi::xml_node node) {
  std::set<std::string> names;
  for (pugi::xml_node c : node.children("IncludeRetElement")) names.insert(c.child_value());
  return names;
}

// ---- References.

// The record a reference names among `kinds`: by its ListID when it has one, else by its
// FullName. Refused with 3140 when the company file has no such record.
Record Resolve(Context& cx, pugi::xml_node ref, const std::vector<std::string>& kinds, const std::string& lists,
               const std::string& path) {
  const std::string id = ref.child_value("ListID"), name = ref.child_value("FullName");
  std::optional<Record> found;
  if (!id.empty()) {
    found = RecordById(cx.db, id);
    if (found && std::find(kinds.begin(), kinds.end(), found->kind) == kinds.end()) found.reset();
  } else {
    found = RecordByName(cx.db, kinds, name);
  }
  if (!found)
    throw Failure{kInvalidReference, "The " + path + " \"" + (id.empty() ? name : id) + "\" names no " + lists +
                                         " of the company file."};
  return *found;
}

// Checks every reference below `node` (read as `cls`) against the list it names and keeps it
// by its ListID alone; the ListIDs named go to `links`.
void ResolveReferences(Context& cx, pugi::xml_node node, const ClassInfo& cls, const std::string& own,
                       const std::string& path, std::vector<std::string>& links) {
  const std::vector<Flat> flat = Flattened(cls);
  for (pugi::xml_node child : Elements(node)) {
    const std::string name = child.name();
    auto f = std::find_if(flat.begin(), flat.end(), [&](const Flat& x) { return x.member->element == name; });
    if (f == flat.end()) continue;
    const Member& m = *f->member;
    if (IsRef(m)) {
      const std::vector<std::string> kinds = catalogue::ReferencedKinds(m.refersTo, own);
      if (IsEmpty(child) || kinds.empty()) continue;
      const Record target = Resolve(cx, child, kinds, ListsText(m.refersTo, own), path + "/" + name);
      while (pugi::xml_node c = child.first_child()) child.remove_child(c);
      child.append_child("ListID").text() = target.listId.c_str();
      links.push_back(target.listId);
    } else if (const ClassInfo* inner = InnerClass(m)) {
      ResolveReferences(cx, child, *inner, own, path + "/" + name, links);
    }
  }
}

// Every ListID that the references below `node` keep.
void CollectLinks(pugi::xml_node node, std::vector<std::string>& links) {
  std::vector<pugi::xml_node> all = Elements(node);
  for (size_t i = 0; i < all.size(); ++i) {
    std::vector<pugi::xml_node> children = Elements(all[i]);
    if (children.size() == 1 && std::string_view(children[0].name()) == "ListID" && Elements(children[0]).empty() &&
        std::string_view(all[i].name()).ends_with("Ref"))
      links.push_back(children[0].child_value());
    all.insert(all.end(), children.begin(), children.end());
  }
}

// ---- Writing answers.

// The stored elements an answer's member `element` is written from: those of its name, or, for
// an element of an answer record or line ("PriceLevelPerItemRet", "InvoiceLineRet"), those the
// request sent it as ("PriceLevelPerItem", "InvoiceLineAdd").
std::vector<pugi::xml_node> Stored(pugi::xml_node src, const std::string& element) {
  std::vector<pugi::xml_node> found;
  for (pugi::xml_node c : src.children(element.c_str())) found.push_back(c);
  if (found.empty() && element.size() > 3 && element.ends_with("Ret")) {
    const std::string base = element.substr(0, element.size() - 3);
    for (const std::string& name : {base, base + "Add"})
      for (pugi::xml_node c : src.children(name.c_str())) found.push_back(c);
  }
  return found;
}

// Writes the members of `cls` that `src` holds, in the class's order; references with their
// record's ListID and present FullName.
void WriteMembers(Context& cx, std::string& out, const ClassInfo& cls, pugi::xml_node src,
                  const std::set<std::string>* only) {
  for (const Member& m : cls.members) {
    if (m.kind == Kind::Attr) continue;
    const ClassInfo* inner = InnerClass(m);
    if (inner && inner->shape != Shape::Plain) {
      WriteMembers(cx, out, *inner, src, only);
      continue;
    }
    const std::string element(m.element);
    if (only && !only->count(element)) continue;
    for (pugi::xml_node child : Stored(src, element)) {
      if (m.kind == Kind::Value || m.kind == Kind::VList) {
        AppendValue(out, element, child.child_value());
      } else {
        std::string body;
        if (inner) {
          WriteMembers(cx, body, *inner, child, nullptr);
        } else {
          const std::string id = child.child_value("ListID");
          std::string name = child.child_value("FullName");
          if (!id.empty())
            if (auto target = RecordById(cx.db, id)) name = target->fullName;
          if (!id.empty()) AppendValue(body, "ListID", id);
          if (!name.empty()) AppendValue(body, "FullName", name);
        }
        if (!body.empty()) out += "<" + element + ">\r\n" + body + "</" + element + ">\r\n";
      }
      if (m.kind == Kind::Value || m.kind == Kind::Agg) break;
    }
  }
}

// A record of kind K, or one of the company's own records, as its K+"Ret" element.
std::string RetElement(Context& cx, const ClassInfo& ret, pugi::xml_node src, const std::set<std::string>& only) {
  std::string body;
  WriteMembers(cx, body, ret, src, only.empty() ? nullptr : &only);
  const std::string name(ret.name);
  if (body.empty()) return "<" + name + "/>\r\n";
  return "<" + name + ">\r\n" + body + "</" + name + ">\r\n";
}

// The data extensions of `target` whose owner is among `owners`, as DataExtRet elements.
void AddDataExts(Context& cx, pugi::xml_node src, const std::string& target, const std::set<std::string>& owners) {
  if (owners.empty()) return;
  for (const DataExtValue& v : DataExtValuesOn(cx.db, target)) {
    if (!owners.count(v.owner)) continue;
    pugi::xml_document def;
    def.load_string(DataExtDefinition(cx.db, v.owner, v.name).value_or("<Fields/>").c_str(), kStoredParse);
    pugi::xml_node ext = src.append_child("DataExtRet");
    ext.append_child("OwnerID").text() = v.owner.c_str();
    ext.append_child("DataExtName").text() = def.document_element().child_value("DataExtName");
    ext.append_child("DataExtType").text() = def.document_element().child_value("DataExtType");
    ext.append_child("DataExtValue").text() = v.value.c_str();
  }
}

std::set<std::string> Owners(pugi::xml_node rq) {
  std::set<std::string> owners;
  for (pugi::xml_node c : rq.children("OwnerID")) owners.insert(c.child_value());
  return owners;
}

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
  for (const auto& [element, value] : books::ComputedFields(cx.db, r))
    if (!src.child(element.c_str())) put(element.c_str(), value);
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
  return {kOk, "Status OK", RetOf(cx, r, IncludeRetElements(rq)), ""};
}

// Applies a Mod body to stored fields: present elements replace, empty ones clear, aggregates
// of a class merge child by child, and a repeated member's new entries replace all old ones.
void Merge(pugi::xml_node stored, pugi::xml_node change, const ClassInfo& cls, bool top) {
  const std::vector<Flat> flat = Flattened(cls);
  std::set<std::string> replaced;
  for (pugi::xml_node c : Elements(change)) {
    const std::string name = c.name();
    if (top && kColumnElements.count(name)) continue;
    auto f = std::find_if(flat.begin(), flat.end(), [&](const Flat& x) { return x.member->element == name; });
    if (f == flat.end()) continue;
    const Member& m = *f->member;
    const bool list = m.kind == Kind::VList || m.kind == Kind::AList;
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
  Merge(fields.document_element(), change.document_element(), mod, true);
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
  std::vector<std::string> all;
  CollectLinks(fields.document_element(), all);
  if (!r.parentId.empty()) all.push_back(r.parentId);
  SetLinks(cx.db, r.listId, all);
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
  const std::vector<Record> all = Records(cx.db, kinds);
  std::vector<Record> hits;
  std::set<std::string> ids, names;
  for (pugi::xml_node c : rq.children("ListID")) ids.insert(c.child_value());
  for (pugi::xml_node c : rq.children("FullName")) names.insert(Fold(c.child_value()));
  if (!ids.empty() || !names.empty()) {
    for (const Record& r : all)
      if (ids.count(r.listId) || names.count(Fold(r.fullName))) hits.push_back(r);
    for (const std::string& id : ids)
      if (std::none_of(hits.begin(), hits.end(), [&](const Record& r) { return r.listId == id; }))
        throw Failure{kQueryNamesUnknown, "There is no " + name + " with ListID \"" + id + "\"."};
    for (const std::string& n : names)
      if (std::none_of(hits.begin(), hits.end(), [&](const Record& r) { return Fold(r.fullName) == n; }))
        throw Failure{kQueryNamesUnknown, "There is no " + name + " with FullName \"" + n + "\"."};
  } else {
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
  Answer answer;
  const std::string metaData = rq.attribute("metaData").value();
  if (metaData == "MetaDataOnly" || metaData == "MetaDataAndResponseData")
    answer.attributes = " retCount=\"" + std::to_string(hits.size()) + "\"";
  if (hits.empty())
    return {kNoMatch, "A query request did not find a matching object in the company file.", "", answer.attributes};
  if (metaData != "MetaDataOnly")
    for (const Record& r : hits) answer.body += RetOf(cx, r, IncludeRetElements(rq), Owners(rq));
  return answer;
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
    auto holder = RecordById(cx.db, *user);
    throw Failure{kInUse, "The " + kind + " \"" + r->fullName + "\" is in use by " +
                              (holder ? "the " + holder->kind + " \"" + holder->fullName + "\""
                                      : "the company's " + *user) +
                              " and cannot be deleted."};
  }
  const std::time_t now = cx.file.Now();
  const std::string deleted = IsoTime(now);
  RemoveRecord(cx.db, *r);
  RemoveDataExtValuesOn(cx.db, id);
  LogDeletion(cx.db, *r, deleted, now);
  Answer answer;
  AppendValue(answer.body, "ListDelType", kind);
  AppendValue(answer.body, "ListID", id);
  AppendValue(answer.body, "TimeDeleted", deleted);
  AppendValue(answer.body, "FullName", r->fullName);
  return answer;
}

Answer QueryDeleted(Context& cx, pugi::xml_node rq, const ClassInfo& query) {
  Validate(rq, query, cx.edition, rq.name());
  const std::string kind = rq.child_value("ListDelType");
  std::optional<std::time_t> from, to;
  pugi::xml_node range = rq.child("DeletedDateRangeFilter");
  if (pugi::xml_node f = range.child("FromDeletedDate")) from = ParseInstant(f.child_value(), false);
  if (pugi::xml_node t = range.child("ToDeletedDate")) to = ParseInstant(t.child_value(), true);
  Answer answer;
  size_t count = 0;
  const std::set<std::string> only = IncludeRetElements(rq);
  const ClassInfo* ret = FindClass("ListDeletedRet");
  for (const Deletion& d : Deletions(cx.db, kind)) {
    if ((from && d.deletedAt < *from) || (to && d.deletedAt > *to)) continue;
    ++count;
    pugi::xml_document doc;
    pugi::xml_node src = doc.append_child("Fields");
    src.append_child("ListDelType").text() = d.kind.c_str();
    src.append_child("ListID").text() = d.listId.c_str();
    src.append_child("TimeCreated").text() = d.timeCreated.c_str();
    src.append_child("TimeDeleted").text() = d.timeDeleted.c_str();
    src.append_child("FullName").text() = d.fullName.c_str();
    answer.body += RetElement(cx, *ret, src, only);
  }
  const std::string metaData = rq.attribute("metaData").value();
  if (metaData == "MetaDataOnly" || metaData == "MetaDataAndResponseData")
    answer.attributes = " retCount=\"" + std::to_string(count) + "\"";
  if (metaData == "MetaDataOnly") answer.body.clear();
  if (count == 0) return {kNoMatch, "No " + kind + " has been deleted.", "", answer.attributes};
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

// ---- Data extensions.

std::string OwnerOf(pugi::xml_node body) { return body.child_value("OwnerID"); }

// The values a definition holds of an enum list member, as written.
std::set<std::string> ListValues(pugi::xml_node node, const char* element) {
  std::set<std::string> values;
  for (pugi::xml_node c : node.children(element)) values.insert(c.child_value());
  return values;
}

Answer DefinitionAnswer(Context& cx, pugi::xml_node fields, const std::set<std::string>& only) {
  return {kOk, "Status OK", RetElement(cx, *FindClass("DataExtDefRet"), fields, only), ""};
}

Answer AddDefinition(Context& cx, pugi::xml_node rq, const ClassInfo& add) {
  pugi::xml_node body = BodyOf(rq, add);
  Validate(body, add, cx.edition, body.name());
  const std::string owner = OwnerOf(body), name = body.child_value("DataExtName");
  if (DataExtDefinition(cx.db, owner, name))
    throw Failure{kDuplicateName, "The data extension \"" + name + "\" of owner " + owner + " is defined already."};
  pugi::xml_document fields;
  pugi::xml_node root = fields.append_child("Fields");
  for (pugi::xml_node c : Elements(body))
    if (std::string_view(c.name()) != "IncludeRetElement") root.append_copy(c);
  SetDataExtDefinition(cx.db, owner, name, Serialize(root), true);
  return DefinitionAnswer(cx, root, IncludeRetElements(rq));
}

Answer ModDefinition(Context& cx, pugi::xml_node rq, const ClassInfo& mod) {
  pugi::xml_node body = BodyOf(rq, mod);
  Validate(body, mod, cx.edition, body.name());
  const std::string owner = OwnerOf(body), name = body.child_value("DataExtName");
  auto stored = DataExtDefinition(cx.db, owner, name);
  if (!stored) throw Failure{kUnknownId, "There is no data extension \"" + name + "\" of owner " + owner + "."};
  pugi::xml_document doc;
  doc.load_string(stored->c_str(), kStoredParse);
  pugi::xml_node root = doc.document_element();
  std::set<std::string> assigned = ListValues(root, "AssignToObject");
  for (const std::string& a : ListValues(body, "AssignToObject")) assigned.insert(a);
  for (const std::string& r : ListValues(body, "RemoveFromObject")) assigned.erase(r);
  while (pugi::xml_node old = root.child("AssignToObject")) root.remove_child(old);
  for (const std::string& a : assigned) root.append_child("AssignToObject").text() = a.c_str();
  std::string newName = name;
  if (pugi::xml_node rename = body.child("DataExtNewName"); rename && *rename.child_value()) {
    newName = rename.child_value();
    if (Fold(newName) != Fold(name) && DataExtDefinition(cx.db, owner, newName))
      throw Failure{kDuplicateName, "The data extension \"" + newName + "\" of owner " + owner + " is defined already."};
    root.child("DataExtName").text() = newName.c_str();
    Stmt(cx.db, "UPDATE dataext_values SET name = ? WHERE owner_id = ? AND name = ? COLLATE NOCASE")
        .Bind(1, newName)
        .Bind(2, owner)
        .Bind(3, name)
        .Step();
    Stmt(cx.db, "UPDATE dataext_defs SET name = ? WHERE owner_id = ? AND name = ? COLLATE NOCASE")
        .Bind(1, newName)
        .Bind(2, owner)
        .Bind(3, name)
        .Step();
  }
  SetDataExtDefinition(cx.db, owner, newName, Serialize(root), false);
  return DefinitionAnswer(cx, root, IncludeRetElements(rq));
}

Answer DeleteDefinition(Context& cx, pugi::xml_node rq, const ClassInfo& del) {
  pugi::xml_node body = BodyOf(rq, del);
  Validate(body, del, cx.edition, rq.name());
  const std::string owner = OwnerOf(body), name = body.child_value("DataExtName");
  if (!DataExtDefinition(cx.db, owner, name))
    throw Failure{kUnknownId, "There is no data extension \"" + name + "\" of owner " + owner + "."};
  RemoveDataExtDefinition(cx.db, owner, name);
  Answer answer;
  std::string inner;
  AppendValue(inner, "OwnerID", owner);
  AppendValue(inner, "DataExtName", name);
  AppendValue(inner, "TimeDeleted", IsoTime(cx.file.Now()));
  answer.body = "<DataExtDefDelRet>\r\n" + inner + "</DataExtDefDelRet>\r\n";
  return answer;
}

Answer QueryDefinitions(Context& cx, pugi::xml_node rq, const ClassInfo& query) {
  Validate(rq, query, cx.edition, rq.name());
  const std::set<std::string> owners = Owners(rq), assigned = ListValues(rq, "AssignToObject");
  Answer answer;
  size_t count = 0;
  for (const std::string& fragment : DataExtDefinitions(cx.db)) {
    pugi::xml_document doc;
    doc.load_string(fragment.c_str(), kStoredParse);
    pugi::xml_node root = doc.document_element();
    if (!owners.empty() && !owners.count(root.child_value("OwnerID"))) continue;
    if (!assigned.empty()) {
      const std::set<std::string> has = ListValues(root, "AssignToObject");
      if (std::none_of(assigned.begin(), assigned.end(), [&](const std::string& a) { return has.count(a) > 0; }))
        continue;
    }
    ++count;
    answer.body += RetElement(cx, *FindClass("DataExtDefRet"), root, IncludeRetElements(rq));
  }
  const std::string metaData = rq.attribute("metaData").value();
  if (metaData == "MetaDataOnly" || metaData == "MetaDataAndResponseData")
    answer.attributes = " retCount=\"" + std::to_string(count) + "\"";
  if (metaData == "MetaDataOnly") answer.body.clear();
  if (count == 0) return {kNoMatch, "No data extension is defined so.", "", answer.attributes};
  return answer;
}

// What a data extension value is set on: a list record's ListID, or "" for the company, with
// the word by which definitions are assigned to such records.
struct Target {
  std::string id;
  std::string assignment;
};

Target TargetOf(Context& cx, pugi::xml_node body, const std::string& path) {
  if (pugi::xml_node list = body.child("ListDataExt"); list || body.child("ListDataExtType")) {
    pugi::xml_node holder = list ? list : body;
    const std::string type = holder.child_value("ListDataExtType");
    const Record r = Resolve(cx, holder.child("ListObjRef"), catalogue::ReferencedKinds(type, type), type,
                             path + "/ListObjRef");
    return {r.listId, type};
  }
  if (body.child("OtherDataExtType")) return {"", body.child_value("OtherDataExtType")};
  throw Failure{kCannotServe, "The sandbox keeps data extensions of list records and of the company; " + path +
                                  " names a transaction."};
}

void CheckTypedValue(const std::string& type, const std::string& value, const std::string& name) {
  bool ok = true;
  if (type == "STR255TYPE") {
    ok = value.size() <= 255;
  } else if (type == "STR1024TYPE") {
    ok = value.size() <= 1024;
  } else if (type == "DATETIMETYPE") {
    ok = ParseInstant(value, false).has_value();
  } else if (!value.empty()) {
    char* end = nullptr;
    if (type == "INTTYPE")
      std::strtoll(value.c_str(), &end, 10);
    else
      std::strtod(value.c_str(), &end);
    ok = end && *end == '\0';
  }
  if (!ok) throw Failure{kRefused, "The value \"" + value + "\" is not one the data extension \"" + name +
                                       "\" (" + type + ") takes."};
}

Answer SetValue(Context& cx, pugi::xml_node rq, const ClassInfo& cls, bool add) {
  pugi::xml_node body = BodyOf(rq, cls);
  Validate(body, cls, cx.edition, body.name());
  const std::string owner = OwnerOf(body), name = body.child_value("DataExtName");
  auto stored = DataExtDefinition(cx.db, owner, name);
  if (!stored) throw Failure{kUnknownId, "There is no data extension \"" + name + "\" of owner " + owner + "."};
  pugi::xml_document def;
  def.load_string(stored->c_str(), kStoredParse);
  const Target target = TargetOf(cx, body, body.name());
  if (!ListValues(def.document_element(), "AssignToObject").count(target.assignment))
    throw Failure{kRefused, "The data extension \"" + name + "\" is not assigned to " + target.assignment +
                                " records."};
  const std::string type = def.document_element().child_value("DataExtType");
  const std::string value = body.child_value("DataExtValue");
  CheckTypedValue(type, value, name);
  const bool exists = DataExtValueOf(cx.db, owner, name, target.id).has_value();
  if (add && exists)
    throw Failure{kDuplicateName, "The record has a value of the data extension \"" + name + "\" already."};
  if (!add && !exists) throw Failure{kUnknownId, "The record has no value of the data extension \"" + name + "\"."};
  SetDataExtValue(cx.db, {owner, def.document_element().child_value("DataExtName"), target.id, value});
  std::string inner;
  AppendValue(inner, "OwnerID", owner);
  AppendValue(inner, "DataExtName", def.document_element().child_value("DataExtName"));
  AppendValue(inner, "DataExtType", type);
  AppendValue(inner, "DataExtValue", value);
  return {kOk, "Status OK", "<DataExtRet>\r\n" + inner + "</DataExtRet>\r\n", ""};
}

Answer DeleteValue(Context& cx, pugi::xml_node rq, const ClassInfo& del) {
  pugi::xml_node body = BodyOf(rq, del);
  Validate(body, del, cx.edition, body.name());
  const std::string owner = OwnerOf(body), name = body.child_value("DataExtName");
  const Target target = TargetOf(cx, body, body.name());
  if (!DataExtValueOf(cx.db, owner, name, target.id))
    throw Failure{kUnknownId, "The record has no value of the data extension \"" + name + "\"."};
  RemoveDataExtValue(cx.db, owner, name, target.id);
  std::string inner;
  AppendValue(inner, "OwnerID", owner);
  AppendValue(inner, "DataExtName", name);
  pugi::xml_document copy;
  for (pugi::xml_node c : Elements(body))
    if (std::string_view(c.name()) != "OwnerID" && std::string_view(c.name()) != "DataExtName") copy.append_copy(c);
  for (pugi::xml_node c : Elements(copy)) {
    std::ostringstream text;
    c.print(text, "", pugi::format_raw);
    inner += text.str() + "\r\n";
  }
  AppendValue(inner, "TimeDeleted", IsoTime(cx.file.Now()));
  return {kOk, "Status OK", "<DataExtDelRet>\r\n" + inner + "</DataExtDelRet>\r\n", ""};
}

// The kind a request element names before its suffix, if it has that suffix.
std::optional<std::string> KindBefore(const std::string& name, std::string_view suffix) {
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
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
    if (*kind == "ListDeleted") return QueryDeleted(cx, rq, *query);
    if (*kind == "DataExtDef") return QueryDefinitions(cx, rq, *query);
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
    if (*kind == "DataExtDef") return AddDefinition(cx, rq, *add);
    if (*kind == "DataExt") return SetValue(cx, rq, *add, true);
    if (catalogue::IsListKind(*kind) && add->shape == Shape::Plain) return AddRecord(cx, rq, *kind, *add);
    return std::nullopt;
  }
  if (auto kind = KindBefore(name, "ModRq")) {
    const ClassInfo* mod = FindClass(*kind + "Mod");
    if (!mod) return std::nullopt;
    if (*kind == "DataExtDef") return ModDefinition(cx, rq, *mod);
    if (*kind == "DataExt") return SetValue(cx, rq, *mod, false);
    if (catalogue::IsListKind(*kind) && mod->shape == Shape::Plain && mod->Find("ListID") &&
        mod->Find("EditSequence"))
      return ModRecord(cx, rq, *kind, *mod);
    return std::nullopt;
  }
  if (auto kind = KindBefore(name, "DelRq")) {
    const ClassInfo* del = FindClass(*kind + "Del");
    if (!del) return std::nullopt;
    if (*kind == "DataExtDef") return DeleteDefinition(cx, rq, *del);
    if (*kind == "DataExt") return DeleteValue(cx, rq, *del);
  }
  return std::nullopt;
}

std::string ListFields(const std::string& fragment) {
  pugi::xml_document fields;
  fields.load_string(fragment.c_str(), kStoredParse);
  std::string out;
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
  return out;
}

}  // namespace vtfc4::sandbox
