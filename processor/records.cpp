#include "processor/records.h"

#include <algorithm>
#include <sstream>

#include "processor/catalogue_table.h"

namespace vtfc4::sandbox {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Member;
using catalogue::Shape;

namespace {

std::string Join(const std::vector<std::string>& parts, const char* last) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i)
    out += (i == 0 ? "" : i + 1 == parts.size() ? last : ", ") + parts[i];
  return out;
}

}  // namespace

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

// ---- Macros.

void UseMacros(Context& cx, pugi::xml_node node) {
  std::vector<pugi::xml_node> all = Elements(node);
  for (size_t i = 0; i < all.size(); ++i) {
    pugi::xml_node c = all[i];
    if (pugi::xml_attribute macro = c.attribute("useMacro")) {
      const auto defined = cx.macros.find(macro.value());
      if (defined == cx.macros.end())
        throw Failure{kRefused, "The macro \"" + std::string(macro.value()) + "\" of " + c.name() +
                                    " names nothing defined earlier in this message set."};
      c.text() = defined->second.c_str();
      c.remove_attribute(macro);
    }
    for (pugi::xml_node inner : Elements(c)) all.push_back(inner);
  }
}

void DefineMacro(Context& cx, pugi::xml_node node, const std::string& id) {
  if (pugi::xml_attribute macro = node.attribute("defMacro"); macro && *macro.value()) cx.macros[macro.value()] = id;
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
namespace {

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

}  // namespace

namespace {

// Whether `stored` is what member `m` of an answer is written from (its own element, or for an
// answer element YRet a stored Y or YAdd).
bool StoredAs(const Member& m, std::string_view stored) {
  if (m.element == stored) return true;
  if (!m.element.ends_with("Ret")) return false;
  const std::string_view base = m.element.substr(0, m.element.size() - 3);
  return stored == base || (stored.size() == base.size() + 3 && stored.starts_with(base) && stored.ends_with("Add"));
}

// One stored element written as member `m`.
void WriteOne(Context& cx, std::string& out, const Member& m, pugi::xml_node child) {
  const std::string element(m.element);
  if (m.kind == Kind::Value || m.kind == Kind::VList) {
    AppendValue(out, element, child.child_value());
    return;
  }
  std::string body;
  if (const ClassInfo* inner = InnerClass(m)) {
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

}  // namespace

void WriteMembers(Context& cx, std::string& out, const ClassInfo& cls, pugi::xml_node src,
                  const std::set<std::string>* only) {
  for (const Member& m : cls.members) {
    if (m.kind == Kind::Attr) continue;
    const ClassInfo* inner = InnerClass(m);
    if (inner && inner->shape == Shape::Or && m.kind == Kind::AList) {
      // A list of choices (lines of two kinds) keeps the order its entries were stored in.
      for (pugi::xml_node child : Elements(src)) {
        for (const Member& alternative : inner->members) {
          if (alternative.kind == Kind::Attr || !StoredAs(alternative, child.name())) continue;
          if (!only || only->count(std::string(alternative.element))) WriteOne(cx, out, alternative, child);
          break;
        }
      }
      continue;
    }
    if (inner && inner->shape != Shape::Plain) {
      WriteMembers(cx, out, *inner, src, only);
      continue;
    }
    if (only && !only->count(std::string(m.element))) continue;
    for (pugi::xml_node child : Stored(src, std::string(m.element))) {
      WriteOne(cx, out, m, child);
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

bool WantsRecords(pugi::xml_node rq) { return std::string_view(rq.attribute("metaData").value()) != "MetaDataOnly"; }

Answer Listing(pugi::xml_node rq, std::size_t count, std::string body, const std::string& none) {
  Answer answer;
  const std::string metaData = rq.attribute("metaData").value();
  if (metaData == "MetaDataOnly" || metaData == "MetaDataAndResponseData")
    answer.attributes = " retCount=\"" + std::to_string(count) + "\"";
  if (count == 0) return {kNoMatch, none, "", answer.attributes};
  if (WantsRecords(rq)) answer.body = std::move(body);
  return answer;
}

Answer DeletedAnswer(Context& cx, pugi::xml_node rq, const ClassInfo& query, const char* typeElement,
                     const char* idElement, const char* nameElement, const char* ret) {
  Validate(rq, query, cx.edition, rq.name());
  const std::string kind = rq.child_value(typeElement);
  std::optional<std::time_t> from, to;
  pugi::xml_node range = rq.child("DeletedDateRangeFilter");
  if (pugi::xml_node f = range.child("FromDeletedDate")) from = ParseInstant(f.child_value(), false);
  if (pugi::xml_node t = range.child("ToDeletedDate")) to = ParseInstant(t.child_value(), true);
  std::string body;
  size_t count = 0;
  const std::set<std::string> only = IncludeRetElements(rq);
  for (const Deletion& d : Deletions(cx.db, kind)) {
    if ((from && d.deletedAt < *from) || (to && d.deletedAt > *to)) continue;
    ++count;
    pugi::xml_document doc;
    pugi::xml_node src = doc.append_child("Fields");
    src.append_child(typeElement).text() = d.kind.c_str();
    src.append_child(idElement).text() = d.listId.c_str();
    src.append_child("TimeCreated").text() = d.timeCreated.c_str();
    src.append_child("TimeDeleted").text() = d.timeDeleted.c_str();
    if (!d.fullName.empty()) src.append_child(nameElement).text() = d.fullName.c_str();
    body += RetElement(cx, *FindClass(ret), src, only);
  }
  return Listing(rq, count, std::move(body), "No " + kind + " has been deleted.");
}

// Applies a Mod body to stored fields: present elements replace, empty ones clear, aggregates
// of a class merge child by child, and a repeated member's new entries replace all old ones.
void Merge(pugi::xml_node stored, pugi::xml_node change, const ClassInfo& cls, const std::set<std::string>* skip) {
  const std::vector<Flat> flat = Flattened(cls);
  std::set<std::string> replaced;
  for (pugi::xml_node c : Elements(change)) {
    const std::string name = c.name();
    if (skip && skip->count(name)) continue;
    auto f = std::find_if(flat.begin(), flat.end(), [&](const Flat& x) { return x.member->element == name; });
    if (f == flat.end()) continue;
    const Member& m = *f->member;
    const bool list = m.kind == Kind::VList || m.kind == Kind::AList;
    if (const ClassInfo* inner = InnerClass(m); inner && !list) {
      pugi::xml_node target = stored.child(name.c_str());
      if (!target) target = stored.append_child(name.c_str());
      if (!IsEmpty(c)) Merge(target, c, *inner, nullptr);
      if (IsEmpty(c) || Elements(target).empty()) stored.remove_child(target);
      continue;
    }
    if (!list || replaced.insert(name).second)
      while (pugi::xml_node old = stored.child(name.c_str())) stored.remove_child(old);
    if (!IsEmpty(c)) stored.append_copy(c);
  }
}

// The kind a request element names before its suffix, if it has that suffix.
std::optional<std::string> KindBefore(const std::string& name, std::string_view suffix) {
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
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

std::string Severity(int code) { return code == kOk || code == kNoMatch ? "Info" : "Error"; }

void AppendResponse(std::string& out, pugi::xml_node rq, const Answer& answer) {
  const std::string rs = std::string(rq.name()).replace(std::string_view(rq.name()).size() - 2, 2, "Rs");
  out += "<" + rs;
  if (pugi::xml_attribute id = rq.attribute("requestID")) {
    out += " requestID=\"";
    AppendEscaped(out, id.value(), true);
    out += "\"";
  }
  out += " statusCode=\"" + std::to_string(answer.code) + "\" statusSeverity=\"" + Severity(answer.code) +
         "\" statusMessage=\"";
  AppendEscaped(out, answer.message, true);
  out += "\"" + answer.attributes;
  out += answer.body.empty() ? "/>\r\n" : ">\r\n" + answer.body + "</" + rs + ">\r\n";
}

}  // namespace vtfc4::sandbox
