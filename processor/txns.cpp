#include "processor/txns.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "processor/books.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::IsLine;
using catalogue::Kind;
using catalogue::Member;

// What a request carries that the transaction's fields do not keep.
const std::set<std::string> kNotKept = {"TxnID", "EditSequence", "IncludeRetElement"};

// ---- Lines.

// The element a line of a Mod is kept as: its Add form ("InvoiceLineMod" as "InvoiceLineAdd");
// a line of one class for both (a journal line) as itself.
std::string KeptAs(const std::string& element) {
  if (!element.ends_with("Mod")) return element;
  const std::string add = element.substr(0, element.size() - 3) + "Add";
  return FindClass(add) ? add : element;
}

// Gives every line below `node` (a transaction's lines, a group's lines) without a TxnLineID,
// or with -1, one of its own, and records the macros lines define.
void NumberLines(Context& cx, pugi::xml_node node, std::time_t now) {
  for (pugi::xml_node line : Elements(node)) {
    if (!IsLine(line.name())) continue;
    pugi::xml_node id = line.child("TxnLineID");
    if (!id) id = line.prepend_child("TxnLineID");
    if (IsEmpty(id) || std::string_view(id.child_value()) == "-1") id.text() = NextListId(cx.db, now).c_str();
    DefineMacro(cx, line, id.child_value());
    line.remove_attribute("defMacro");
    NumberLines(cx, line, now);
  }
}

// Drops what the books computed last time (the elements marked as figures), so that they
// compute it anew from what the client gave.
void DropFigures(pugi::xml_node node) {
  std::vector<pugi::xml_node> all = Elements(node);
  for (size_t i = 0; i < all.size(); ++i)
    for (pugi::xml_node c : Elements(all[i])) all.push_back(c);
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if (it->attribute(books::kFigure)) it->parent().remove_child(*it);
}

// Applies a Mod (or a line of one) to stored fields. Header members merge as a list record's
// do. A list of lines the Mod sends is replaced by the lines it sends, in their order: a line
// with a stored TxnLineID merges into that line, one with -1 is new, and the stored lines it
// leaves out are removed; a "Clear..." yes/no member just before a list of lines empties it.
void MergeTxn(pugi::xml_node stored, pugi::xml_node change, const ClassInfo& cls, const std::string& path) {
  const std::vector<Flat> flat = Flattened(cls);
  std::set<std::string> skip = {"TxnID", "EditSequence", "TxnLineID"};
  std::set<std::size_t> replaced;
  for (std::size_t i = 0; i < flat.size(); ++i) {
    const std::string element(flat[i].member->element);
    if (IsLine(element)) skip.insert(element);
    const bool clears = element.starts_with("Clear") && flat[i].member->type == "bool" && i + 1 < flat.size() &&
                        IsLine(flat[i + 1].member->element);
    if (!clears) continue;
    skip.insert(element);
    if (std::string_view(change.child_value(element.c_str())) == "true") replaced.insert(flat[i + 1].slot);
  }
  Merge(stored, change, cls, &skip);
  std::vector<pugi::xml_node> lines;
  for (pugi::xml_node c : Elements(change)) {
    if (!IsLine(c.name())) continue;
    lines.push_back(c);
    for (const Flat& f : flat)
      if (f.member->element == c.name()) replaced.insert(f.slot);
  }
  if (replaced.empty()) return;
  std::set<std::string> keptNames;
  for (const Flat& f : flat)
    if (replaced.count(f.slot) && IsLine(f.member->element)) keptNames.insert(KeptAs(std::string(f.member->element)));
  std::vector<pugi::xml_node> old;
  for (pugi::xml_node c : Elements(stored))
    if (keptNames.count(c.name())) old.push_back(c);
  for (pugi::xml_node entry : lines) {
    const std::string id = entry.child_value("TxnLineID"), name = KeptAs(entry.name());
    pugi::xml_node line;
    if (id == "-1") {
      line = stored.append_child(name.c_str());
      line.append_child("TxnLineID").text() = "-1";
    } else {
      auto was = std::find_if(old.begin(), old.end(), [&](pugi::xml_node o) {
        return o.name() == name && o.child_value("TxnLineID") == id;
      });
      if (was == old.end())
        throw Failure{kUnknownId, path + " has no line " + name + " with TxnLineID \"" + id + "\"."};
      line = stored.append_copy(*was);
    }
    MergeTxn(line, entry, *FindClass(entry.name()), path);
  }
  for (pugi::xml_node o : old) stored.remove_child(o);
}

// A void keeps the transaction with every amount and quantity its answer shows at zero.
void ZeroAmounts(pugi::xml_node node, const ClassInfo& ret) {
  const std::vector<Flat> flat = Flattened(ret);
  for (pugi::xml_node c : Elements(node)) {
    if (IsLine(c.name())) {
      ZeroAmounts(c, *catalogue::RetClassOf(c.name()));
      continue;
    }
    auto f = std::find_if(flat.begin(), flat.end(), [&](const Flat& x) { return x.member->element == c.name(); });
    if (f == flat.end()) continue;
    if (const ClassInfo* inner = InnerClass(*f->member)) {
      ZeroAmounts(c, *inner);
    } else if (f->member->type == "amount") {
      c.text() = "0.00";
    } else if (f->member->type == "quan") {
      c.text() = "0";
    }
  }
}

bool IsVoid(pugi::xml_node fields) { return fields.attribute("voided").as_bool(); }

// Books a transaction's fields anew and stores it with its postings, its applications and
// the records and transactions it names (which cannot be deleted while it names them).
void Keep(Context& cx, Txn& t, pugi::xml_node root, bool insert) {
  DropFigures(root);
  NumberLines(cx, root, t.modifiedAt);
  books::Booking booking = books::Book(cx.db, t, root, cx.edition.ca);
  NumberLines(cx, root, t.modifiedAt);  // the lines a group was made into
  if (IsVoid(root)) {
    ZeroAmounts(root, *FindClass(t.kind + "Ret"));
    booking = {};
  }
  t.txnDate = root.child_value("TxnDate");
  t.refNumber = root.child_value("RefNumber");
  t.fields = Serialize(root);
  if (insert)
    InsertTxn(cx.db, t);
  else
    UpdateTxn(cx.db, t);
  SetPostings(cx.db, t.txnId, booking.postings);
  SetApplications(cx.db, t.txnId, booking.applications);
  std::vector<std::string> links;
  CollectLinks(root, links);
  for (const Application& a : booking.applications) {
    links.push_back(a.to);
    if (!a.creditTxn.empty()) links.push_back(a.creditTxn);
  }
  SetLinks(cx.db, t.txnId, links);
}

// ---- Answers.

// What an answer holds of each transaction.
struct Shown {
  bool lines = true, linked = true;
  std::set<std::string> only, owners;
};

void AddLineDataExts(Context& cx, pugi::xml_node node, const std::set<std::string>& owners) {
  for (pugi::xml_node line : Elements(node)) {
    if (!IsLine(line.name())) continue;
    AddDataExts(cx, line, line.child_value("TxnLineID"), owners);
    AddLineDataExts(cx, line, owners);
  }
}

std::string TxnRet(Context& cx, const Txn& t, const Shown& shown) {
  pugi::xml_document doc;
  doc.load_string(t.fields.c_str(), kStoredParse);
  pugi::xml_node src = doc.document_element();
  auto put = [&](const char* element, const std::string& text) { src.append_child(element).text() = text.c_str(); };
  put("TxnID", t.txnId);
  put("TimeCreated", t.timeCreated);
  put("TimeModified", t.timeModified);
  put("EditSequence", t.editSequence);
  put("TxnNumber", std::to_string(t.txnNumber));
  books::AddLaterFigures(cx.db, t, src);
  for (pugi::xml_node c : Elements(src)) {
    if (IsLine(c.name()) && !shown.lines) src.remove_child(c);
    if (std::string_view(c.name()) == "LinkedTxn" && !shown.linked) src.remove_child(c);
  }
  AddLineDataExts(cx, src, shown.owners);
  AddDataExts(cx, src, t.txnId, shown.owners);
  return RetElement(cx, *FindClass(t.kind + "Ret"), src, shown.only);
}

Shown FullAnswer(pugi::xml_node rq) { return {true, true, IncludeRetElements(rq), {}}; }

// ---- Adds, modifications, deletions and voids.

Answer AddTxn(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& add) {
  pugi::xml_node body = BodyOf(rq, add);
  Validate(body, add, cx.edition, body.name());
  pugi::xml_document fields;
  pugi::xml_node root = fields.append_child("Fields");
  for (pugi::xml_node c : Elements(body))
    if (!kNotKept.count(c.name())) root.append_copy(c);
  UseMacros(cx, root);
  std::vector<std::string> links;
  ResolveReferences(cx, root, add, kind, body.name(), links);
  Prune(root);
  const std::time_t now = cx.file.Now();
  Txn t;
  t.kind = kind;
  t.txnId = NextListId(cx.db, now);
  t.txnNumber = NextTxnNumber(cx.db);
  t.editSequence = std::to_string(now);
  t.timeCreated = t.timeModified = IsoTime(now);
  t.modifiedAt = now;
  if (!root.child("TxnDate")) root.append_child("TxnDate").text() = IsoDate(now).c_str();
  Keep(cx, t, root, true);
  cx.changes.push_back({true, kind, "Add", t.txnId, t.refNumber});
  DefineMacro(cx, body, t.txnId);
  return {kOk, "Status OK", TxnRet(cx, t, FullAnswer(rq)), ""};
}

Txn Existing(Context& cx, const std::string& kind, const std::string& id) {
  std::optional<Txn> t = TxnById(cx.db, id);
  if (!t || t->kind != kind) throw Failure{kUnknownId, "There is no " + kind + " with TxnID \"" + id + "\"."};
  return *t;
}

void Touch(Context& cx, Txn& t) {
  const std::time_t now = cx.file.Now();
  t.editSequence = std::to_string(std::max<std::int64_t>(now, std::stoll(t.editSequence) + 1));
  t.timeModified = IsoTime(now);
  t.modifiedAt = now;
}

Answer ModTxn(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& mod) {
  pugi::xml_node body = BodyOf(rq, mod);
  Validate(body, mod, cx.edition, body.name());
  Txn t = Existing(cx, kind, body.child_value("TxnID"));
  if (t.editSequence != body.child_value("EditSequence"))
    throw Failure{kStaleEditSequence, "The EditSequence \"" + std::string(body.child_value("EditSequence")) +
                                          "\" is out of date; the " + kind + " is now at \"" + t.editSequence +
                                          "\"."};
  pugi::xml_document change;
  change.append_copy(body);
  UseMacros(cx, change.document_element());
  std::vector<std::string> links;
  ResolveReferences(cx, change.document_element(), mod, kind, body.name(), links);
  pugi::xml_document fields;
  fields.load_string(t.fields.c_str(), kStoredParse);
  pugi::xml_node root = fields.document_element();
  if (IsVoid(root)) throw Failure{kRefused, "The " + kind + " " + t.txnId + " is void and cannot be modified."};
  DropFigures(root);
  MergeTxn(root, change.document_element(), mod, body.name());
  Prune(root);
  Touch(cx, t);
  Keep(cx, t, root, false);
  cx.changes.push_back({true, kind, "Modify", t.txnId, t.refNumber});
  return {kOk, "Status OK", TxnRet(cx, t, FullAnswer(rq)), ""};
}

// A transaction that another one applies to, uses the credit of, or deposits is kept until
// that one goes.
void CheckUnused(Context& cx, const Txn& t, const std::string& what) {
  if (auto user = LinkTo(cx.db, t.txnId)) {
    const std::optional<Txn> by = TxnById(cx.db, *user);
    throw Failure{kInUse, "The " + t.kind + " " + t.txnId + " is in use by the " + (by ? by->kind : "record") + " " +
                              *user + " and cannot be " + what + "."};
  }
}

Answer DeleteTxn(Context& cx, pugi::xml_node rq) {
  Validate(rq, *FindClass("TxnDel"), cx.edition, rq.name());
  const std::string kind = rq.child_value("TxnDelType");
  const Txn t = Existing(cx, kind, rq.child_value("TxnID"));
  CheckUnused(cx, t, "deleted");
  const std::time_t now = cx.file.Now();
  const std::string deleted = IsoTime(now);
  pugi::xml_document fields;
  fields.load_string(t.fields.c_str(), kStoredParse);
  std::vector<pugi::xml_node> lines = Elements(fields.document_element());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!IsLine(lines[i].name())) continue;
    RemoveDataExtValuesOn(cx.db, lines[i].child_value("TxnLineID"));
    for (pugi::xml_node c : Elements(lines[i])) lines.push_back(c);
  }
  RemoveTxn(cx.db, t);
  RemoveDataExtValuesOn(cx.db, t.txnId);
  LogDeletion(cx.db, {kind, t.txnId, t.refNumber, t.timeCreated, deleted, now});
  cx.changes.push_back({true, kind, "Delete", t.txnId, t.refNumber});
  Answer answer;
  AppendValue(answer.body, "TxnDelType", kind);
  AppendValue(answer.body, "TxnID", t.txnId);
  AppendValue(answer.body, "TimeDeleted", deleted);
  if (!t.refNumber.empty()) AppendValue(answer.body, "RefNumber", t.refNumber);
  return answer;
}

Answer VoidTxn(Context& cx, pugi::xml_node rq) {
  Validate(rq, *FindClass("TxnVoid"), cx.edition, rq.name());
  const std::string kind = rq.child_value("TxnVoidType");
  Txn t = Existing(cx, kind, rq.child_value("TxnID"));
  CheckUnused(cx, t, "voided");
  pugi::xml_document fields;
  fields.load_string(t.fields.c_str(), kStoredParse);
  pugi::xml_node root = fields.document_element();
  if (!IsVoid(root)) {
    root.append_attribute("voided") = "true";
    if (FindClass(kind + "Ret")->Find("Memo")) {
      pugi::xml_node memo = root.child("Memo");
      if (!memo) memo = root.append_child("Memo");
      memo.text() = ("VOID: " + std::string(memo.child_value())).c_str();
    }
    Touch(cx, t);
    Keep(cx, t, root, false);
    cx.changes.push_back({true, kind, "Modify", t.txnId, t.refNumber});
  }
  Answer answer;
  AppendValue(answer.body, "TxnVoidType", kind);
  AppendValue(answer.body, "TxnID", t.txnId);
  AppendValue(answer.body, "TimeCreated", t.timeCreated);
  AppendValue(answer.body, "TimeModified", t.timeModified);
  if (!t.refNumber.empty()) AppendValue(answer.body, "RefNumber", t.refNumber);
  return answer;
}

// A cleared mark is kept on the transaction, or on one of its lines.
Answer MarkCleared(Context& cx, pugi::xml_node rq, const ClassInfo& cls) {
  pugi::xml_node body = BodyOf(rq, cls);
  Validate(body, cls, cx.edition, body.name());
  const std::string id = body.child_value("TxnID"), lineId = body.child_value("TxnLineID");
  std::optional<Txn> t = TxnById(cx.db, id);
  if (!t) throw Failure{kUnknownId, "There is no transaction with TxnID \"" + id + "\"."};
  pugi::xml_document fields;
  fields.load_string(t->fields.c_str(), kStoredParse);
  pugi::xml_node target = fields.document_element();
  if (!lineId.empty()) {
    target = fields.find_node([&](pugi::xml_node n) {
      return IsLine(n.name()) && n.child_value("TxnLineID") == lineId;
    });
    if (!target) throw Failure{kUnknownId, "The " + t->kind + " " + id + " has no line with TxnLineID \"" + lineId + "\"."};
  }
  target.remove_child("ClearedStatus");
  target.append_child("ClearedStatus").text() = body.child_value("ClearedStatus");
  t->fields = Serialize(fields.document_element());
  UpdateTxn(cx.db, *t);
  return {};
}

// ---- Queries.

// The ListIDs a filter names: its ListID and FullName entries, and a record with its
// sub-records for ListIDWithChildren and FullNameWithChildren.
std::set<std::string> NamedRecords(Context& cx, pugi::xml_node filter) {
  std::set<std::string> ids;
  auto withChildren = [&](const std::optional<Record>& r) {
    if (!r) return;
    ids.insert(r->listId);
    for (const Record& x : Records(cx.db, {r->kind}))
      if (Fold(x.fullName).starts_with(Fold(r->fullName) + ":")) ids.insert(x.listId);
  };
  std::vector<std::string> every;  // a name is looked up among every list
  for (const Record& r : Records(cx.db, {})) every.push_back(r.kind);
  std::sort(every.begin(), every.end());
  every.erase(std::unique(every.begin(), every.end()), every.end());
  for (pugi::xml_node c : filter.children("ListID")) ids.insert(c.child_value());
  for (pugi::xml_node c : filter.children("FullName"))
    if (auto r = RecordByName(cx.db, every, c.child_value())) ids.insert(r->listId);
  if (pugi::xml_node c = filter.child("ListIDWithChildren")) withChildren(RecordById(cx.db, c.child_value()));
  if (pugi::xml_node c = filter.child("FullNameWithChildren")) withChildren(RecordByName(cx.db, every, c.child_value()));
  return ids;
}

// True when a reference among `nodes` (and, with `deep`, below them) names one of `ids`.
bool Names(pugi::xml_node fields, const std::set<std::string>& ids, bool deep) {
  std::vector<pugi::xml_node> all = Elements(fields);
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string_view name = all[i].name();
    if (name.ends_with("Ref") && ids.count(all[i].child_value("ListID"))) return true;
    if (deep)
      for (pugi::xml_node c : Elements(all[i])) all.push_back(c);
  }
  return false;
}

// A reference number compared as a number when both are numbers, else as text without regard
// to case.
int CompareRef(const std::string& a, const std::string& b) {
  auto number = [](const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (number(a) && number(b)) {
    const double x = std::strtod(a.c_str(), nullptr), y = std::strtod(b.c_str(), nullptr);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  return Fold(a).compare(Fold(b));
}

// The first element named `name` below `node`, at any depth.
pugi::xml_node Below(pugi::xml_node node, const char* name) {
  return node.find_node([&](pugi::xml_node n) { return std::string_view(n.name()) == name; });
}

// One query's criteria, read once.
struct Criteria {
  std::set<std::string> ids, refs, refsExact;
  std::optional<std::string> fromDate, toDate;
  std::optional<std::time_t> fromModified, toModified;
  std::optional<std::set<std::string>> entities, accounts, items, classes;
  pugi::xml_node refFilter, refRange;
  std::string paid, posting;
  std::set<std::string> types;
  long long max = -1;
};

Criteria ReadCriteria(Context& cx, pugi::xml_node rq) {
  Criteria c;
  // Every element the query may hold; anything else would be answered as if it were absent.
  static const std::set<std::string> kKnown = {
      "TxnID", "RefNumber", "RefNumberCaseSensitive", "MaxReturned", "ModifiedDateRangeFilter",
      "TxnDateRangeFilter", "EntityFilter", "AccountFilter", "ItemFilter", "RefNumberFilter",
      "RefNumberRangeFilter", "PaidStatus", "IncludeLineItems", "IncludeLinkedTxns", "IncludeRetElement",
      "OwnerID", "TimeTrackingEntityFilter", "TransactionModifiedDateRangeFilter", "TransactionDateRangeFilter",
      "TransactionEntityFilter", "TransactionAccountFilter", "TransactionItemFilter", "TransactionClassFilter",
      "TransactionTypeFilter", "TransactionDetailLevelFilter", "TransactionPostingStatusFilter",
      "TransactionPaidStatusFilter"};
  for (pugi::xml_node e : Elements(rq))
    if (!kKnown.count(e.name()))
      throw Failure{kCannotServe, "The sandbox does not evaluate the query element " + std::string(e.name()) + "."};
  for (pugi::xml_node e : rq.children("TxnID")) c.ids.insert(e.child_value());
  for (pugi::xml_node e : rq.children("RefNumber")) c.refs.insert(Fold(e.child_value()));
  for (pugi::xml_node e : rq.children("RefNumberCaseSensitive")) c.refsExact.insert(e.child_value());
  if (pugi::xml_node e = rq.child("MaxReturned")) {
    c.max = std::atoll(e.child_value());
    if (c.max < 1) throw Failure{kRefused, "MaxReturned must be at least 1."};
  }
  const int fiscal = books::FiscalYearStart(cx.db);
  for (const char* name : {"ModifiedDateRangeFilter", "TransactionModifiedDateRangeFilter"}) {
    pugi::xml_node f = rq.child(name);
    if (!f) continue;
    if (pugi::xml_node m = Below(f, "DateMacro")) {
      const auto [from, to] = MacroDates(m.child_value(), cx.file.Now(), fiscal);
      if (!from.empty()) c.fromModified = ParseInstant(from, false), c.toModified = ParseInstant(to, true);
    }
    if (pugi::xml_node from = Below(f, "FromModifiedDate")) c.fromModified = ParseInstant(from.child_value(), false);
    if (pugi::xml_node to = Below(f, "ToModifiedDate")) c.toModified = ParseInstant(to.child_value(), true);
  }
  for (const char* name : {"TxnDateRangeFilter", "TransactionDateRangeFilter"}) {
    pugi::xml_node f = rq.child(name);
    if (!f) continue;
    if (pugi::xml_node m = Below(f, "DateMacro")) {
      const auto [from, to] = MacroDates(m.child_value(), cx.file.Now(), fiscal);
      if (!from.empty()) c.fromDate = from, c.toDate = to;
    }
    if (pugi::xml_node from = Below(f, "FromTxnDate")) c.fromDate = from.child_value();
    if (pugi::xml_node to = Below(f, "ToTxnDate")) c.toDate = to.child_value();
  }
  auto named = [&](std::initializer_list<const char*> names, std::optional<std::set<std::string>>& into) {
    for (const char* name : names)
      if (pugi::xml_node f = rq.child(name)) into = NamedRecords(cx, f);
  };
  named({"EntityFilter", "TransactionEntityFilter", "TimeTrackingEntityFilter"}, c.entities);
  named({"AccountFilter", "TransactionAccountFilter"}, c.accounts);
  named({"ItemFilter", "TransactionItemFilter"}, c.items);
  named({"TransactionClassFilter"}, c.classes);
  c.refFilter = rq.child("RefNumberFilter");
  c.refRange = rq.child("RefNumberRangeFilter");
  c.paid = rq.child("PaidStatus") ? rq.child_value("PaidStatus") : rq.child_value("TransactionPaidStatusFilter");
  c.posting = rq.child_value("TransactionPostingStatusFilter");
  for (pugi::xml_node e : rq.child("TransactionTypeFilter").children("TxnTypeFilter"))
    if (std::string_view(e.child_value()) != "All") c.types.insert(e.child_value());
  return c;
}

bool Matches(Context& cx, const Txn& t, const Criteria& c) {
  if (!c.types.empty() && !c.types.count(t.kind)) return false;
  if ((c.fromDate && t.txnDate < *c.fromDate) || (c.toDate && t.txnDate > *c.toDate)) return false;
  if ((c.fromModified && t.modifiedAt < *c.fromModified) || (c.toModified && t.modifiedAt > *c.toModified))
    return false;
  if (c.refFilter) {
    const std::string ref = Fold(t.refNumber), part = Fold(c.refFilter.child_value("RefNumber"));
    const std::string how = c.refFilter.child_value("MatchCriterion");
    if (how == "StartsWith" ? !ref.starts_with(part)
        : how == "Contains" ? ref.find(part) == std::string::npos
                            : !ref.ends_with(part))
      return false;
  }
  if (c.refRange) {
    if (pugi::xml_node from = c.refRange.child("FromRefNumber"); from && CompareRef(t.refNumber, from.child_value()) < 0)
      return false;
    if (pugi::xml_node to = c.refRange.child("ToRefNumber"); to && CompareRef(t.refNumber, to.child_value()) > 0)
      return false;
  }
  if (!c.paid.empty() && c.paid != "All" && c.paid != "Either") {
    const bool open = books::IsOpen(cx.db, t);
    if ((c.paid == "PaidOnly" || c.paid == "Closed") == open) return false;
  }
  if (!c.posting.empty() && c.posting != "Either") {
    const bool posts = !PostingsOf(cx.db, t.txnId).empty();
    if ((c.posting == "Posting") != posts) return false;
  }
  if (c.entities || c.accounts || c.items || c.classes) {
    pugi::xml_document doc;
    doc.load_string(t.fields.c_str(), kStoredParse);
    pugi::xml_node fields = doc.document_element();
    if (c.entities && !Names(fields, *c.entities, false)) return false;
    if (c.items && !Names(fields, *c.items, true)) return false;
    if (c.classes && !Names(fields, *c.classes, true)) return false;
    if (c.accounts && !Names(fields, *c.accounts, true)) {
      const std::vector<Posting> postings = PostingsOf(cx.db, t.txnId);
      if (std::none_of(postings.begin(), postings.end(),
                       [&](const Posting& p) { return c.accounts->count(p.accountId) > 0; }))
        return false;
    }
  }
  return true;
}

// The transactions of `kinds` a query names or whose filters they pass, in the order they
// were made.
std::vector<Txn> Find(Context& cx, pugi::xml_node rq, const std::vector<std::string>& kinds, const std::string& what) {
  const Criteria c = ReadCriteria(cx, rq);
  std::vector<Txn> hits;
  if (!c.ids.empty() && c.refs.empty() && c.refsExact.empty()) {
    // By TxnID alone, each looked up by its key rather than among every transaction of the
    // kinds: a client reading back what it just added must not pay for the whole file.
    for (const std::string& id : c.ids) {
      std::optional<Txn> t = TxnById(cx.db, id);
      if (!t || (!kinds.empty() && std::find(kinds.begin(), kinds.end(), t->kind) == kinds.end()))
        throw Failure{kQueryNamesUnknown, "There is no " + what + " with TxnID \"" + id + "\"."};
      hits.push_back(std::move(*t));
    }
    std::sort(hits.begin(), hits.end(), [](const Txn& a, const Txn& b) { return a.seq < b.seq; });
    return hits;
  }
  const std::vector<Txn> all = Txns(cx.db, kinds);
  if (!c.ids.empty() || !c.refs.empty() || !c.refsExact.empty()) {
    for (const Txn& t : all)
      if (c.ids.count(t.txnId) || c.refs.count(Fold(t.refNumber)) || c.refsExact.count(t.refNumber)) hits.push_back(t);
    for (const std::string& id : c.ids)
      if (std::none_of(hits.begin(), hits.end(), [&](const Txn& t) { return t.txnId == id; }))
        throw Failure{kQueryNamesUnknown, "There is no " + what + " with TxnID \"" + id + "\"."};
    for (const std::string& ref : c.refs)
      if (std::none_of(hits.begin(), hits.end(), [&](const Txn& t) { return Fold(t.refNumber) == ref; }))
        throw Failure{kQueryNamesUnknown, "There is no " + what + " with RefNumber \"" + ref + "\"."};
    return hits;
  }
  for (const Txn& t : all) {
    if (!Matches(cx, t, c)) continue;
    if (c.max >= 0 && static_cast<long long>(hits.size()) == c.max) break;
    hits.push_back(t);
  }
  return hits;
}

// Lines and links are answered when the query asks for them, where its class has the choice.
Shown QueryShows(pugi::xml_node rq, const ClassInfo& query) {
  Shown shown{true, true, IncludeRetElements(rq), Owners(rq)};
  for (const Flat& f : Flattened(query)) {
    if (f.member->element == "IncludeLineItems")
      shown.lines = std::string_view(rq.child_value("IncludeLineItems")) == "true";
    if (f.member->element == "IncludeLinkedTxns")
      shown.linked = std::string_view(rq.child_value("IncludeLinkedTxns")) == "true";
  }
  return shown;
}

Answer QueryTxns(Context& cx, pugi::xml_node rq, const std::string& kind, const ClassInfo& query) {
  Validate(rq, query, cx.edition, rq.name());
  const std::vector<Txn> hits = Find(cx, rq, {kind}, kind);
  const Shown shown = QueryShows(rq, query);
  std::string body;
  if (WantsRecords(rq))
    for (const Txn& t : hits) body += TxnRet(cx, t, shown);
  return Listing(rq, hits.size(), std::move(body), kNothingFound);
}

// The view across kinds: a row for each transaction (its summary), for each of its postings
// (its detail), or both, as TransactionDetailLevelFilter asks.
Answer QueryAcrossKinds(Context& cx, pugi::xml_node rq, const ClassInfo& query) {
  Validate(rq, query, cx.edition, rq.name());
  const std::vector<Txn> hits = Find(cx, rq, catalogue::TxnKinds(), "transaction");
  const std::string level = rq.child("TransactionDetailLevelFilter") ? rq.child_value("TransactionDetailLevelFilter")
                                                                      : "SummaryOnly";
  const ClassInfo& ret = *FindClass("TransactionRet");
  const std::set<std::string> only = IncludeRetElements(rq);
  std::string body;
  size_t count = 0;
  for (const Txn& t : hits) {
    const books::Summary summary = books::Summarize(cx.db, t);
    auto row = [&](const std::string& entity, const std::string& account, std::int64_t cents) {
      pugi::xml_document doc;
      pugi::xml_node src = doc.append_child("Fields");
      auto put = [&](const char* element, const std::string& text) {
        if (!text.empty()) src.append_child(element).text() = text.c_str();
      };
      put("TxnType", t.kind);
      put("TxnID", t.txnId);
      put("TimeCreated", t.timeCreated);
      put("TimeModified", t.timeModified);
      if (!entity.empty()) src.append_child("EntityRef").append_child("ListID").text() = entity.c_str();
      if (!account.empty()) src.append_child("AccountRef").append_child("ListID").text() = account.c_str();
      put("TxnDate", t.txnDate);
      put("RefNumber", t.refNumber);
      put("Amount", Money(cents));
      put("Memo", summary.memo);
      ++count;
      if (WantsRecords(rq)) body += RetElement(cx, ret, src, only);
    };
    if (level != "AllExceptSummary") row(summary.entityId, summary.accountId, summary.cents);
    if (level != "SummaryOnly")
      for (const Posting& p : PostingsOf(cx.db, t.txnId)) row(p.entityId, p.accountId, p.cents);
  }
  return Listing(rq, count, std::move(body), kNothingFound);
}

}  // namespace

std::optional<Answer> ServeTxnRequest(Context& cx, pugi::xml_node rq) {
  const std::string name = rq.name();
  if (name == "TxnDelRq") return DeleteTxn(cx, rq);
  if (name == "TxnVoidRq") return VoidTxn(cx, rq);
  if (name == "ClearedStatusModRq") return MarkCleared(cx, rq, *FindClass("ClearedStatusMod"));
  if (auto kind = KindBefore(name, "QueryRq")) {
    const ClassInfo* query = FindClass(*kind + "Query");
    if (!query) return std::nullopt;
    if (*kind == "TxnDeleted") return DeletedAnswer(cx, rq, *query, "TxnDelType", "TxnID", "RefNumber", "TxnDeletedRet");
    if (*kind == "Transaction") return QueryAcrossKinds(cx, rq, *query);
    if (catalogue::IsTxnKind(*kind)) return QueryTxns(cx, rq, *kind, *query);
    return books::ServeView(cx, rq, *kind, *query);
  }
  if (auto kind = KindBefore(name, "AddRq"); kind && catalogue::IsTxnKind(*kind))
    if (const ClassInfo* add = FindClass(*kind + "Add")) return AddTxn(cx, rq, *kind, *add);
  if (auto kind = KindBefore(name, "ModRq"); kind && catalogue::IsTxnKind(*kind))
    if (const ClassInfo* mod = FindClass(*kind + "Mod")) return ModTxn(cx, rq, *kind, *mod);
  return std::nullopt;
}

}  // namespace vtfc4::sandbox
