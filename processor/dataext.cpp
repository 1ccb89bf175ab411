// Data extensions: the definitions of private and custom fields, and their values on list
// records, transactions and their lines, and the company.
#include "processor/dataext.h"

#include <cstdlib>
#include <sstream>

#include "processor/records.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;

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
  return Listing(rq, count, std::move(answer.body), "No data extension is defined so.");
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
  // A transaction, or one of its lines, by its identifiers.
  const std::string type = body.child_value("TxnDataExtType"), id = body.child_value("TxnID");
  const std::optional<Txn> t = TxnById(cx.db, id);
  if (!t || t->kind != type)
    throw Failure{kInvalidReference, "The " + path + "/TxnID \"" + id + "\" names no " + type + " of the company file."};
  const std::string line = body.child_value("TxnLineID");
  if (line.empty()) return {id, type};
  pugi::xml_document fields;
  fields.load_string(t->fields.c_str(), kStoredParse);
  if (!fields.find_node([&](pugi::xml_node n) {
        return catalogue::IsLine(n.name()) && n.child_value("TxnLineID") == line;
      }))
    throw Failure{kInvalidReference, "The " + type + " " + id + " has no line with TxnLineID \"" + line + "\"."};
  return {line, type};
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
  UseMacros(cx, body);
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

}  // namespace

std::optional<Answer> ServeDataExtRequest(Context& cx, pugi::xml_node rq) {
  const std::string name = rq.name();
  for (const char* op : {"QueryRq", "AddRq", "ModRq", "DelRq"}) {
    const auto kind = KindBefore(name, op);
    if (!kind || (*kind != "DataExt" && *kind != "DataExtDef")) continue;
    const std::string suffix = std::string(op).substr(0, std::string(op).size() - 2);
    const ClassInfo* cls = FindClass(*kind + suffix);
    if (!cls) return std::nullopt;
    const bool definition = *kind == "DataExtDef";
    if (suffix == "Query") return definition ? std::optional<Answer>(QueryDefinitions(cx, rq, *cls)) : std::nullopt;
    if (suffix == "Add") return definition ? AddDefinition(cx, rq, *cls) : SetValue(cx, rq, *cls, true);
    if (suffix == "Mod") return definition ? ModDefinition(cx, rq, *cls) : SetValue(cx, rq, *cls, false);
    return definition ? DeleteDefinition(cx, rq, *cls) : DeleteValue(cx, rq, *cls);
  }
  return std::nullopt;
}

}  // namespace vtfc4::sandbox
