// The reports the sandbox computes from its ledger and records, as report grids: summaries
// (profit and loss, balance sheet, trial balance, balances, sales, purchases and expenses by
// customer, vendor, item and rep, inventory valuation, sales tax), details (ledger, journal,
// balances, open invoices and bills, sales and purchases, transaction lists), aging, and the
// custom summary and detail. See README.md for how each is defined.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "processor/books.h"
#include "processor/catalogue_table.h"
#include "processor/sandbox_engine.h"

namespace vtfc4::sandbox::books {
namespace {

// ---- The grid.

struct Column {
  std::string type;      // what it shows (ENColType)
  std::string dataType;  // how its cells read (ENdataType)
  std::string title;
};

struct Row {
  enum Kind { kData, kText, kSubtotal, kTotal } kind = kData;
  std::string rowType;  // what the row is about (ENrowType), for a data row
  std::string label;    // its name; a text row's text
  std::map<int, std::string> cells;  // by colID; only where there is a value
};

struct Grid {
  std::string title, subtitle, basis;
  std::vector<Column> columns;
  std::vector<Row> rows;
  int Add(Column c) {
    columns.push_back(std::move(c));
    return static_cast<int>(columns.size());
  }
};

void Attribute(std::string& out, const char* name, const std::string& value) {
  out.append(" ").append(name).append("=\"");
  AppendEscaped(out, value, true);
  out += "\"";
}

std::string Write(const Grid& g) {
  std::string out = "<ReportRet>\r\n";
  AppendValue(out, "ReportTitle", g.title);
  AppendValue(out, "ReportSubtitle", g.subtitle);
  if (!g.basis.empty()) AppendValue(out, "ReportBasis", g.basis);
  AppendValue(out, "NumRows", std::to_string(g.rows.size()));
  AppendValue(out, "NumColumns", std::to_string(g.columns.size()));
  AppendValue(out, "NumColTitleRows", "1");
  for (size_t i = 0; i < g.columns.size(); ++i) {
    out += "<ColDesc";
    Attribute(out, "colID", std::to_string(i + 1));
    Attribute(out, "dataType", g.columns[i].dataType);
    out += ">\r\n<ColTitle";
    Attribute(out, "titleRow", "1");
    if (!g.columns[i].title.empty()) Attribute(out, "value", g.columns[i].title);
    out += "/>\r\n";
    AppendValue(out, "ColType", g.columns[i].type);
    out += "</ColDesc>\r\n";
  }
  if (g.rows.empty()) return out + "</ReportRet>\r\n";
  out += "<ReportData>\r\n";
  static const char* const kElements[] = {"DataRow", "TextRow", "SubtotalRow", "TotalRow"};
  for (size_t n = 0; n < g.rows.size(); ++n) {
    const Row& r = g.rows[n];
    out += std::string("<") + kElements[r.kind];
    Attribute(out, "rowNumber", std::to_string(n + 1));
    if (r.kind == Row::kText) {
      Attribute(out, "value", r.label);
      out += "/>\r\n";
      continue;
    }
    out += ">\r\n";
    if (!r.rowType.empty()) {
      out += "<RowData";
      Attribute(out, "rowType", r.rowType);
      Attribute(out, "value", r.label);
      out += "/>\r\n";
    }
    for (const auto& [col, value] : r.cells) {
      out += "<ColData";
      Attribute(out, "colID", std::to_string(col));
      Attribute(out, "value", value);
      out += "/>\r\n";
    }
    out += std::string("</") + kElements[r.kind] + ">\r\n";
  }
  return out + "</ReportData>\r\n</ReportRet>\r\n";
}

// ---- The books, read once per report.

struct TxnFacts {
  const Txn* txn = nullptr;
  std::string entity, rep, memo, dueDate, terms, taxItem;
  std::int64_t total = 0, salesTax = 0;
};

// One posting, with what the reports group and filter it by.
struct Fact {
  const Posting* posting;
  const TxnFacts* txn;  // null for an opening balance
  std::string entity;   // the posting's customer or vendor, else its transaction's
};

struct Ledger {
  std::map<std::string, Record> records;  // every list record, by ListID
  std::vector<Txn> txns;
  std::map<std::string, TxnFacts> facts;  // by TxnID
  std::vector<Posting> postings;
  std::vector<Application> applications;
  // A stand-in posting of nothing for each transaction that books nothing (an estimate, an
  // order), so that it has a row in the transaction lists.
  std::vector<Posting> unposted;

  explicit Ledger(sqlite3* db) : txns(Txns(db, {})), postings(AllPostings(db)), applications(AllApplications(db)) {
    std::set<std::string> posting;
    for (const Posting& p : postings) posting.insert(p.source);
    for (Record& r : Records(db, {})) records.emplace(r.listId, std::move(r));
    for (const Txn& t : txns) {
      pugi::xml_document doc;
      doc.load_string(t.fields.c_str(), kStoredParse);
      pugi::xml_node f = doc.document_element();
      TxnFacts& x = facts[t.txnId];
      x.txn = &t;
      for (const char* e : {"CustomerRef", "VendorRef", "PayeeEntityRef", "EntityRef"})
        if (x.entity.empty()) x.entity = f.child(e).child_value("ListID");
      x.rep = f.child("SalesRepRef").child_value("ListID");
      x.memo = f.child_value("Memo");
      x.dueDate = *f.child_value("DueDate") ? f.child_value("DueDate") : t.txnDate;
      x.terms = f.child("TermsRef").child_value("ListID");
      x.taxItem = f.child("ItemSalesTaxRef").child_value("ListID");
      x.total = Cents(f.child_value(kBookedTotal));
      x.salesTax = Cents(f.child_value("SalesTaxTotal"));
      if (!posting.count(t.txnId)) {
        Posting head;
        head.source = t.txnId;
        head.date = t.txnDate;
        unposted.push_back(std::move(head));
      }
    }
  }
  const Record* Find(const std::string& id) const {
    const auto it = records.find(id);
    return it == records.end() ? nullptr : &it->second;
  }
  std::string NameOf(const std::string& id) const {
    const Record* r = Find(id);
    return r ? r->fullName : "";
  }
  std::string Field(const std::string& id, const char* element) const {
    const Record* r = Find(id);
    if (!r) return "";
    pugi::xml_document doc;
    doc.load_string(r->fields.c_str(), kStoredParse);
    return doc.document_element().child_value(element);
  }
  std::string AccountType(const std::string& id) const { return Field(id, "AccountType"); }
  const TxnFacts* FactsOf(const std::string& source) const {
    const auto it = facts.find(source);
    return it == facts.end() ? nullptr : &it->second;
  }
};

// ---- What a report query asks.

struct Filter {
  std::set<std::string> ids;       // records named (with their sub-records)
  std::set<std::string> words;     // a type filter's word
  bool any = true;
};

struct ReportRequest {
  std::string kind, type;          // the query kind ("GeneralSummary") and its report type word
  std::string from, to;            // the period, dates included ("" open)
  bool cash = false;
  Filter accounts, entities, items, classes;
  std::set<std::string> txnTypes;
  std::optional<std::time_t> modifiedFrom, modifiedTo;
  std::string detail = "All", posting = "Either", returnRows = "ActiveOnly", returnColumns = "ActiveOnly";
  std::string columnsBy = "TotalOnly", rowsBy;
  std::vector<std::string> include;  // IncludeColumn words
  std::string agingAsOf = "ReportEndDate";
  int yearStart = 1;                // the month quarters and years begin in
  std::string today;
};

Filter ReadFilter(const Ledger& books, pugi::xml_node f, const char* typeElement) {
  Filter out;
  if (!f) return out;
  out.any = false;
  if (typeElement && f.child(typeElement)) out.words.insert(f.child_value(typeElement));
  auto withChildren = [&](const Record* r) {
    if (!r) return;
    out.ids.insert(r->listId);
    for (const auto& [id, x] : books.records)
      if (x.kind == r->kind && Fold(x.fullName).starts_with(Fold(r->fullName) + ":")) out.ids.insert(id);
  };
  auto byName = [&](const std::string& name) -> const Record* {
    for (const auto& [id, x] : books.records)
      if (Fold(x.fullName) == Fold(name)) return &x;
    return nullptr;
  };
  for (pugi::xml_node c : f.children("ListID")) out.ids.insert(c.child_value());
  for (pugi::xml_node c : f.children("FullName"))
    if (const Record* r = byName(c.child_value())) out.ids.insert(r->listId);
  if (pugi::xml_node c = f.child("ListIDWithChildren")) withChildren(books.Find(c.child_value()));
  if (pugi::xml_node c = f.child("FullNameWithChildren")) withChildren(byName(c.child_value()));
  return out;
}

ReportRequest ReadReportRequest(Context& cx, const Ledger& books, pugi::xml_node rq, const std::string& kind) {
  ReportRequest s;
  s.kind = kind;
  s.type = rq.child_value((kind + "ReportType").c_str());
  const std::time_t now = cx.file.Now();
  s.today = IsoDate(now);
  // Quarters and years follow the calendar the query names (the company's fiscal or tax year).
  const std::string calendar = rq.child_value("ReportCalendar");
  if (calendar == "FiscalYear") s.yearStart = FiscalYearStart(cx.db);
  auto macro = [&](std::string word) {
    if (s.yearStart != 1)
      for (const char* span : {"Quarter", "Year"})
        if (const size_t at = word.find(span); at != std::string::npos) word.insert(at, "Fiscal");
    return MacroDates(word, now, s.yearStart);
  };
  if (pugi::xml_node m = rq.child("ReportDateMacro")) std::tie(s.from, s.to) = macro(m.child_value());
  if (pugi::xml_node p = rq.child("ReportPeriod")) {
    s.from = p.child_value("FromReportDate");
    s.to = p.child_value("ToReportDate");
  }
  s.cash = std::string_view(rq.child_value("ReportBasis")) == "Cash";
  s.accounts = ReadFilter(books, rq.child("ReportAccountFilter"), "AccountTypeFilter");
  s.entities = ReadFilter(books, rq.child("ReportEntityFilter"), "EntityTypeFilter");
  s.items = ReadFilter(books, rq.child("ReportItemFilter"), "ItemTypeFilter");
  s.classes = ReadFilter(books, rq.child("ReportClassFilter"), nullptr);
  for (pugi::xml_node c : rq.child("ReportTxnTypeFilter").children("TxnTypeFilter"))
    if (std::string_view(c.child_value()) != "All") s.txnTypes.insert(c.child_value());
  if (pugi::xml_node m = rq.child("ReportModifiedDateRangeMacro")) {
    const auto [from, to] = macro(m.child_value());
    if (!from.empty()) s.modifiedFrom = ParseInstant(from, false), s.modifiedTo = ParseInstant(to, true);
  }
  if (pugi::xml_node r = rq.child("ReportModifiedDateRangeFilter")) {
    if (pugi::xml_node f = r.child("FromReportModifiedDate")) s.modifiedFrom = ParseInstant(f.child_value(), false);
    if (pugi::xml_node t = r.child("ToReportModifiedDate")) s.modifiedTo = ParseInstant(t.child_value(), true);
  }
  auto word = [&](const char* element, std::string& into) {
    if (pugi::xml_node c = rq.child(element)) into = c.child_value();
  };
  word("ReportDetailLevelFilter", s.detail);
  word("ReportPostingStatusFilter", s.posting);
  word("ReturnRows", s.returnRows);
  word("ReturnColumns", s.returnColumns);
  word("SummarizeColumnsBy", s.columnsBy);
  word("SummarizeRowsBy", s.rowsBy);
  word("ReportAgingAsOf", s.agingAsOf);
  for (pugi::xml_node c : rq.children("IncludeColumn")) s.include.push_back(c.child_value());
  return s;
}

// ---- Filters of facts.

// The account types an AccountTypeFilter word takes in.
bool AccountTypeIn(const std::string& word, const std::string& type) {
  static const std::map<std::string, std::set<std::string>> kGroups = {
      {"Asset", {"Bank", "AccountsReceivable", "OtherCurrentAsset", "FixedAsset", "OtherAsset"}},
      {"CurrentAsset", {"Bank", "AccountsReceivable", "OtherCurrentAsset"}},
      {"Liability", {"AccountsPayable", "CreditCard", "OtherCurrentLiability", "LongTermLiability"}},
      {"CurrentLiability", {"AccountsPayable", "CreditCard", "OtherCurrentLiability"}},
      {"BalanceSheet", {"Bank", "AccountsReceivable", "OtherCurrentAsset", "FixedAsset", "OtherAsset",
                        "AccountsPayable", "CreditCard", "OtherCurrentLiability", "LongTermLiability", "Equity"}},
      {"LiabilityAndEquity", {"AccountsPayable", "CreditCard", "OtherCurrentLiability", "LongTermLiability", "Equity"}},
      {"IncomeAndExpense", {"Income", "CostOfGoodsSold", "Expense", "OtherIncome", "OtherExpense"}},
      {"EquityAndIncomeAndExpense", {"Equity", "Income", "CostOfGoodsSold", "Expense", "OtherIncome", "OtherExpense"}},
      {"OrdinaryIncome", {"Income"}},
      {"OrdinaryExpense", {"Expense"}},
      {"OrdinaryIncomeAndCOGS", {"Income", "CostOfGoodsSold"}},
      {"OrdinaryIncomeAndExpense", {"Income", "CostOfGoodsSold", "Expense"}},
      {"IncomeAndOtherIncome", {"Income", "OtherIncome"}},
      {"ExpenseAndOtherExpense", {"Expense", "OtherExpense"}},
      {"OtherIncomeOrExpense", {"OtherIncome", "OtherExpense"}},
      {"CostOfSales", {"CostOfGoodsSold"}},
      {"ARAndAP", {"AccountsReceivable", "AccountsPayable"}},
      {"APOrCreditCard", {"AccountsPayable", "CreditCard"}},
      {"CurrentAssetAndExpense", {"Bank", "AccountsReceivable", "OtherCurrentAsset", "Expense"}},
  };
  if (const auto it = kGroups.find(word); it != kGroups.end()) return it->second.count(type) > 0;
  return word == type;
}

bool ItemTypeIn(const std::string& word, const std::string& kind) {
  if (word == "AllExceptFixedAsset") return kind != "ItemFixedAsset";
  if (word == "InventoryAndAssembly") return kind == "ItemInventory" || kind == "ItemInventoryAssembly";
  if (word == "Sales") return kind != "ItemFixedAsset" && kind != "ItemPayment" && kind != "ItemSalesTax";
  if (word == "Assembly") return kind == "ItemInventoryAssembly";
  return kind == "Item" + word;
}

bool Passes(const Ledger& books, const Filter& f, const std::string& id,
            const std::function<bool(const std::string&, const std::string&)>& typeIn) {
  if (f.any) return true;
  if (f.ids.count(id)) return true;
  const Record* r = books.Find(id);
  for (const std::string& word : f.words)
    if (r && typeIn(word, r->kind == "Account" ? books.AccountType(id) : r->kind)) return true;
  return false;
}

// The facts a report reads: postings dated in [from, to] (from "" for balances), passing the
// query's filters.
std::vector<Fact> Facts(const Ledger& books, const ReportRequest& s, const std::string& from, const std::string& to) {
  std::vector<Fact> out;
  for (const Posting& p : books.postings) {
    if ((!from.empty() && p.date < from) || (!to.empty() && p.date > to)) continue;
    const TxnFacts* txn = books.FactsOf(p.source);
    if (txn && !s.txnTypes.empty() && !s.txnTypes.count(txn->txn->kind)) continue;
    if (txn && s.modifiedFrom && txn->txn->modifiedAt < *s.modifiedFrom) continue;
    if (txn && s.modifiedTo && txn->txn->modifiedAt > *s.modifiedTo) continue;
    Fact f{&p, txn, p.entityId.empty() && txn ? txn->entity : p.entityId};
    if (!Passes(books, s.accounts, p.accountId, AccountTypeIn)) continue;
    if (!Passes(books, s.entities, f.entity,
                [](const std::string& word, const std::string& kind) { return kind == word; }))
      continue;
    if (!Passes(books, s.items, p.itemId, ItemTypeIn)) continue;
    if (!Passes(books, s.classes, p.classId, [](const std::string&, const std::string&) { return false; }))
      continue;
    out.push_back(f);
  }
  return out;
}

// ---- Open amounts, as of a date.

// What is open of an item of receivables or payables (a posting to such an account) on
// `asOf`: the posting, less what payments dated by then applied to it (its own applications
// if it is a payment, the credit used if it is a credit).
std::int64_t OpenAsOf(const Ledger& books, const Posting& p, const std::string& asOf, bool receivable) {
  std::int64_t applied = 0;
  for (const Application& a : books.applications) {
    const TxnFacts* by = books.FactsOf(a.from);
    if (!by || SideOf(by->txn->kind) != Side::kPayment || by->txn->txnDate > asOf) continue;
    if (a.to == p.source && a.creditTxn.empty()) applied -= a.cents + a.discount;
    if (a.to == p.source && !a.creditTxn.empty()) applied -= a.cents;
    if (a.from == p.source && a.creditTxn.empty()) applied += a.cents + a.discount;
    if (a.creditTxn == p.source) applied += a.cents;
  }
  return p.cents + (receivable ? applied : -applied);
}

// Cash basis: what of a sales or purchase form counts is what was paid of it by the report's
// end; payments themselves move only receivables and payables, which cash basis leaves out.
double PaidShare(const Ledger& books, const TxnFacts* txn, const std::string& to) {
  if (!txn || !Opens(txn->txn->kind) || txn->total == 0) return 1;
  for (const Posting& p : books.postings) {
    if (p.source != txn->txn->txnId) continue;
    const std::string type = books.AccountType(p.accountId);
    if (type != "AccountsReceivable" && type != "AccountsPayable") continue;
    const std::int64_t open = OpenAsOf(books, p, to.empty() ? "9999-12-31" : to, type == "AccountsReceivable");
    return 1.0 - static_cast<double>(open) / static_cast<double>(p.cents);
  }
  return 1;
}

std::int64_t Weighted(const Ledger& books, const ReportRequest& s, const Fact& f) {
  if (!s.cash) return f.posting->cents;
  const std::string type = books.AccountType(f.posting->accountId);
  if (type == "AccountsReceivable" || type == "AccountsPayable") return 0;
  return static_cast<std::int64_t>(std::llround(static_cast<double>(f.posting->cents) * PaidShare(books, f.txn, s.to)));
}

// ---- Columns by period or by record.

struct Key {
  std::string id, label;
  bool operator<(const Key& o) const { return id < o.id; }
};

// The first day of the period of `date` (YYYY-MM-DD) for a summary by `by`, and its label.
Key PeriodOf(const std::string& date, const std::string& by, int yearStart) {
  const int y = std::atoi(date.substr(0, 4).c_str()), m = std::atoi(date.substr(5, 2).c_str());
  char id[32];
  if (by == "Day") return {date, date};
  if (by == "Week") {
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = m - 1, tm.tm_mday = std::atoi(date.substr(8, 2).c_str()), tm.tm_hour = 12;
    const std::time_t t = timegm(&tm);
    std::tm day{};
    gmtime_r(&t, &day);
    const std::time_t monday = t - ((day.tm_wday + 6) % 7) * 86400;
    std::tm start{};
    gmtime_r(&monday, &start);
    std::strftime(id, sizeof id, "%Y-%m-%d", &start);
    return {id, std::string("Week of ") + id};
  }
  if (by == "Month") {
    std::snprintf(id, sizeof id, "%04d-%02d", y, m);
    return {id, id};
  }
  // Quarters and years of the calendar the report follows.
  const int shifted = (y * 12 + (m - 1)) - (yearStart - 1);
  const int year = shifted / 12, month = shifted % 12;
  if (by == "Quarter") {
    std::snprintf(id, sizeof id, "%04d Q%d", year, month / 3 + 1);
    return {id, id};
  }
  std::snprintf(id, sizeof id, "%04d", year);
  return {id, id};
}

bool ByPeriod(const std::string& by) {
  return by == "Day" || by == "Week" || by == "Month" || by == "Quarter" || by == "Year";
}

const std::set<std::string> kDimensions = {"TotalOnly", "Account", "Class", "Customer", "Vendor", "Payee",
                                           "ItemDetail", "SalesRep", "Day", "Week", "Month", "Quarter", "Year"};

// What a fact falls under for a summary by `by`.
Key KeyOf(const Ledger& books, const ReportRequest& s, const Fact& f, const std::string& by) {
  if (by == "TotalOnly" || by.empty()) return {"", "TOTAL"};
  if (ByPeriod(by)) return PeriodOf(f.posting->date, by, s.yearStart);
  std::string id;
  if (by == "Account") id = f.posting->accountId;
  if (by == "Class") id = f.posting->classId;
  if (by == "Customer" || by == "Vendor" || by == "Payee") {
    const Record* r = books.Find(f.entity);
    if (r && (by == "Payee" || r->kind == by)) id = f.entity;
  }
  if (by == "ItemDetail") id = f.posting->itemId;
  if (by == "SalesRep" && f.txn) id = f.txn->rep;
  if (id.empty()) return {"~", "(none)"};  // sorts after every name
  return {Fold(books.NameOf(id)) + "\x01" + id, books.NameOf(id)};
}

const char* RowTypeOf(const std::string& by) {
  if (by == "Account") return "account";
  if (by == "Class") return "class";
  if (by == "Customer") return "customer";
  if (by == "Vendor") return "vendor";
  if (by == "Payee") return "name";
  if (by == "ItemDetail") return "item";
  if (by == "SalesRep") return "salesRep";
  return "label";
}

void CheckDimension(const std::string& by, const std::string& what) {
  if (!by.empty() && !kDimensions.count(by))
    throw Failure{kCannotServe, "The sandbox does not summarize reports by " + by + " (" + what + ")."};
}

// ---- Summaries: rows by one dimension, columns by another, cells the sum of a measure.

struct Pivot {
  std::map<Key, std::map<Key, std::int64_t>> cells;  // row, column
  std::set<Key> columns;
  void Add(const Key& row, const Key& col, std::int64_t cents) {
    cells[row][col] += cents;
    columns.insert(col);
  }
};

// Adds the value columns of a summary to `g`: one per column key (in order), then TOTAL when
// there is more than one; returns the colID of each, TOTAL under the empty key.
std::map<std::string, int> ValueColumns(Grid& g, const std::set<Key>& keys, const std::string& by) {
  std::map<std::string, int> ids;
  for (const Key& k : keys)
    if (k.id != "") ids[k.id] = g.Add({"Amount", "AMTTYPE", k.label});
  if (by != "TotalOnly" || keys.empty() || !ids.empty()) ids[""] = g.Add({"Total", "AMTTYPE", "TOTAL"});
  return ids;
}

void PutRow(Grid& g, Row::Kind kind, const std::string& rowType, const std::string& label,
            const std::map<Key, std::int64_t>& values, const std::map<std::string, int>& columns, bool always) {
  Row r{kind, rowType, label, {}};
  r.cells[1] = label;
  std::int64_t total = 0;
  for (const auto& [key, cents] : values) {
    total += cents;
    const auto col = columns.find(key.id);
    if (key.id != "" && col != columns.end() && (cents != 0 || always)) r.cells[col->second] = Money(cents);
  }
  if (const auto col = columns.find(""); col != columns.end()) r.cells[col->second] = Money(total);
  g.rows.push_back(std::move(r));
}

std::map<Key, std::int64_t> Sum(const std::vector<const std::map<Key, std::int64_t>*>& parts, int sign = 1) {
  std::map<Key, std::int64_t> out;
  for (const auto* part : parts)
    for (const auto& [k, v] : *part) out[k] += sign * v;
  return out;
}

std::map<Key, std::int64_t> Minus(std::map<Key, std::int64_t> a, const std::map<Key, std::int64_t>& b) {
  for (const auto& [k, v] : b) a[k] -= v;
  return a;
}

// The sections of the profit and loss and the balance sheet: the account types each takes.
struct Section {
  const char* title;
  std::vector<const char*> types;
};

// One section of accounts: a text row, a data row per account (in its natural sign), a
// subtotal; returns the subtotal by column.
std::map<Key, std::int64_t> AccountSection(Grid& g, const Ledger& books, const ReportRequest& s, const Section& section,
                                           const std::vector<Fact>& facts, const std::string& by,
                                           const std::map<std::string, int>& columns) {
  std::map<Key, std::map<Key, std::int64_t>> rows;  // account (by name) -> column -> natural amount
  for (const Fact& f : facts) {
    const std::string type = books.AccountType(f.posting->accountId);
    if (std::find(section.types.begin(), section.types.end(), type) == section.types.end()) continue;
    const std::int64_t cents = Weighted(books, s, f);
    const Key account{Fold(books.NameOf(f.posting->accountId)) + "\x01" + f.posting->accountId,
                      books.NameOf(f.posting->accountId)};
    rows[account][KeyOf(books, s, f, by)] += DebitNormal(type) ? cents : -cents;
  }
  if (s.returnRows == "All")
    for (const auto& [id, r] : books.records)
      if (r.kind == "Account" && std::find(section.types.begin(), section.types.end(), books.AccountType(id)) !=
                                     section.types.end())
        rows[{Fold(r.fullName) + "\x01" + id, r.fullName}];
  std::map<Key, std::int64_t> total;
  if (rows.empty()) return total;
  g.rows.push_back({Row::kText, "", section.title, {}});
  for (const auto& [account, values] : rows) {
    std::int64_t sum = 0;
    for (const auto& [k, v] : values) sum += v;
    if (s.returnRows == "NonZero" && sum == 0) continue;
    if (s.detail != "SummaryOnly") PutRow(g, Row::kData, "account", account.label, values, columns, false);
    for (const auto& [k, v] : values) total[k] += v;
  }
  PutRow(g, Row::kSubtotal, "", std::string("Total ") + section.title, total, columns, true);
  return total;
}

// The columns of a summary by `by`: those with activity (ReturnColumns ActiveOnly, the
// default), those whose postings do not add to zero (NonZero), or, by period, every period of
// the report's dates (All).
std::set<Key> ColumnKeys(const Ledger& books, const ReportRequest& s, const std::vector<Fact>& facts, const std::string& by) {
  std::map<Key, std::int64_t> sums;
  for (const Fact& f : facts) sums[KeyOf(books, s, f, by)] += f.posting->cents;
  std::set<Key> keys;
  for (const auto& [key, cents] : sums)
    if (s.returnColumns != "NonZero" || cents != 0) keys.insert(key);
  if (s.returnColumns == "All" && ByPeriod(by) && !s.from.empty() && !s.to.empty())
    for (std::time_t day = *ParseInstant(s.from, false) + 43200; IsoDate(day) <= s.to; day += 86400)
      keys.insert(PeriodOf(IsoDate(day), by, s.yearStart));
  keys.erase({"", "TOTAL"});
  return keys;
}

Grid ProfitAndLoss(const Ledger& books, const ReportRequest& s, const std::string& by) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  std::vector<Fact> facts;
  for (const Fact& f : Facts(books, s, s.from, s.to))
    if (AccountTypeIn("IncomeAndExpense", books.AccountType(f.posting->accountId))) facts.push_back(f);
  const auto columns = ValueColumns(g, ColumnKeys(books, s, facts, by), by);
  g.rows.push_back({Row::kText, "", "Ordinary Income/Expense", {}});
  const auto income = AccountSection(g, books, s, {"Income", {"Income"}}, facts, by, columns);
  const auto cogs = AccountSection(g, books, s, {"Cost of Goods Sold", {"CostOfGoodsSold"}}, facts, by, columns);
  const auto gross = Minus(income, cogs);
  PutRow(g, Row::kSubtotal, "", "Gross Profit", gross, columns, true);
  const auto expense = AccountSection(g, books, s, {"Expense", {"Expense"}}, facts, by, columns);
  const auto ordinary = Minus(gross, expense);
  PutRow(g, Row::kSubtotal, "", "Net Ordinary Income", ordinary, columns, true);
  const auto otherIncome = AccountSection(g, books, s, {"Other Income", {"OtherIncome"}}, facts, by, columns);
  const auto otherExpense = AccountSection(g, books, s, {"Other Expense", {"OtherExpense"}}, facts, by, columns);
  const auto other = Minus(otherIncome, otherExpense);
  if (!otherIncome.empty() || !otherExpense.empty())
    PutRow(g, Row::kSubtotal, "", "Net Other Income", other, columns, true);
  PutRow(g, Row::kTotal, "", "Net Income", Sum({&ordinary, &other}), columns, true);
  return g;
}

// Net income from the beginning of the books to `to` (or from `from`).
std::int64_t NetIncome(const Ledger& books, const ReportRequest& s, const std::string& from, const std::string& to) {
  std::int64_t net = 0;
  for (const Fact& f : Facts(books, s, from, to))
    if (AccountTypeIn("IncomeAndExpense", books.AccountType(f.posting->accountId))) net -= Weighted(books, s, f);
  return net;
}

// The first day of the year (as the report's calendar counts it) of `date`.
std::string YearStartOf(const std::string& date, int yearStart) {
  const Key year = PeriodOf(date, "Year", yearStart);
  char text[16];
  std::snprintf(text, sizeof text, "%s-%02d-01", year.id.c_str(), yearStart);
  return text;
}

Grid BalanceSheet(const Ledger& books, const ReportRequest& s, bool summary) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  const std::string asOf = s.to.empty() ? s.today : s.to;
  const std::vector<Fact> facts = Facts(books, s, "", asOf);
  const auto columns = ValueColumns(g, {}, "TotalOnly");
  ReportRequest flat = s;
  if (summary) flat.detail = "SummaryOnly";  // sections only, without their accounts
  g.rows.push_back({Row::kText, "", "ASSETS", {}});
  const auto current = AccountSection(g, books, flat, {"Current Assets", {"Bank", "AccountsReceivable", "OtherCurrentAsset"}},
                                      facts, "TotalOnly", columns);
  const auto fixed = AccountSection(g, books, flat, {"Fixed Assets", {"FixedAsset"}}, facts, "TotalOnly", columns);
  const auto otherAssets = AccountSection(g, books, flat, {"Other Assets", {"OtherAsset"}}, facts, "TotalOnly", columns);
  PutRow(g, Row::kTotal, "", "TOTAL ASSETS", Sum({&current, &fixed, &otherAssets}), columns, true);
  g.rows.push_back({Row::kText, "", "LIABILITIES & EQUITY", {}});
  const auto liabilities = AccountSection(
      g, books, flat,
      {"Liabilities", {"AccountsPayable", "CreditCard", "OtherCurrentLiability", "LongTermLiability"}}, facts,
      "TotalOnly", columns);
  // Equity: its accounts, with the net income of the years before this one retained, and the
  // net income of this year so far.
  const std::string yearStart = YearStartOf(asOf, s.yearStart);
  const Key total{"", "TOTAL"};
  std::map<Key, std::map<Key, std::int64_t>> rows;
  for (const Fact& f : facts)
    if (books.AccountType(f.posting->accountId) == "Equity")
      rows[{Fold(books.NameOf(f.posting->accountId)), books.NameOf(f.posting->accountId)}][total] -=
          Weighted(books, s, f);
  const std::int64_t earlier = NetIncome(books, s, "", IsoDate(*ParseInstant(yearStart, false) - 43200));
  const std::int64_t thisYear = NetIncome(books, s, yearStart, asOf);
  if (earlier != 0) rows[{"retained earnings", "Retained Earnings"}][total] += earlier;
  g.rows.push_back({Row::kText, "", "Equity", {}});
  std::map<Key, std::int64_t> equity;
  for (const auto& [account, values] : rows) {
    if (!summary) PutRow(g, Row::kData, "account", account.label, values, columns, true);
    equity[total] += values.at(total);
  }
  if (!summary) PutRow(g, Row::kData, "label", "Net Income", {{total, thisYear}}, columns, true);
  equity[total] += thisYear;
  PutRow(g, Row::kSubtotal, "", "Total Equity", equity, columns, true);
  PutRow(g, Row::kTotal, "", "TOTAL LIABILITIES & EQUITY", Sum({&liabilities, &equity}), columns, true);
  return g;
}

Grid TrialBalance(const Ledger& books, const ReportRequest& s) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  const int debit = g.Add({"Debit", "AMTTYPE", "Debit"}), credit = g.Add({"Credit", "AMTTYPE", "Credit"});
  std::map<Key, std::int64_t> balances;
  for (const Fact& f : Facts(books, s, "", s.to.empty() ? s.today : s.to))
    balances[{Fold(books.NameOf(f.posting->accountId)), books.NameOf(f.posting->accountId)}] +=
        Weighted(books, s, f);
  std::int64_t debits = 0, credits = 0;
  for (const auto& [account, cents] : balances) {
    if (cents == 0 && s.returnRows != "All") continue;
    Row r{Row::kData, "account", account.label, {{1, account.label}}};
    r.cells[cents >= 0 ? debit : credit] = Money(std::llabs(cents));
    (cents >= 0 ? debits : credits) += std::llabs(cents);
    g.rows.push_back(std::move(r));
  }
  g.rows.push_back({Row::kTotal, "", "TOTAL", {{1, "TOTAL"}, {debit, Money(debits)}, {credit, Money(credits)}}});
  return g;
}

// A summary of facts by one kind of record (rows) and columns by `by`: the balances of
// customers and vendors, sales, purchases and expenses, custom summaries.
Grid Summary(const Ledger& books, const ReportRequest& s, const std::vector<Fact>& facts, const std::string& rowsBy,
             const std::string& by, int sign, bool quantities) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  std::map<Key, std::map<Key, std::int64_t>> rows;
  std::map<Key, double> units;
  for (const Fact& f : facts) {
    const Key row = KeyOf(books, s, f, rowsBy);
    rows[row][KeyOf(books, s, f, by)] += sign * Weighted(books, s, f);
    units[row] += f.posting->quantity;
  }
  int qty = 0;
  if (quantities && by == "TotalOnly") qty = g.Add({"Quantity", "QUANTYPE", "Qty"});
  const auto columns = ValueColumns(g, ColumnKeys(books, s, facts, by), by);
  std::map<Key, std::int64_t> total;
  for (const auto& [row, values] : rows) {
    std::int64_t sum = 0;
    for (const auto& [k, v] : values) sum += v, total[k] += v;
    if (s.returnRows == "NonZero" && sum == 0) continue;
    if (s.detail == "SummaryOnly") continue;
    PutRow(g, Row::kData, RowTypeOf(rowsBy), row.label, values, columns, false);
    if (qty) g.rows.back().cells[qty] = Decimal(units[row]);
  }
  PutRow(g, Row::kTotal, "", "TOTAL", total, columns, true);
  return g;
}

// The postings of lines of sales (income sold on invoices, sales receipts, charges, less credit
// memos) or purchases (what bills, checks, card charges and item receipts bought, less vendor
// credits): every posting of such a transaction but its own account's.
std::vector<Fact> LineFacts(const Ledger& books, const ReportRequest& s, Side side) {
  std::vector<Fact> out;
  for (const Fact& f : Facts(books, s, s.from, s.to)) {
    if (!f.txn || SideOf(f.txn->txn->kind) != side) continue;
    const std::string type = books.AccountType(f.posting->accountId);
    const bool income = AccountTypeIn("IncomeAndOtherIncome", type);
    if (side == Side::kSales ? !income : (f.posting->lineId.empty() || type == "AccountsPayable")) continue;
    out.push_back(f);
  }
  return out;
}

std::vector<Fact> OfTypes(const Ledger& books, const std::vector<Fact>& facts, const char* word) {
  std::vector<Fact> out;
  for (const Fact& f : facts)
    if (AccountTypeIn(word, books.AccountType(f.posting->accountId))) out.push_back(f);
  return out;
}

Grid InventoryValuation(const Ledger& books, const ReportRequest& s) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  const int onHand = g.Add({"QuantityOnHand", "QUANTYPE", "On Hand"});
  const int cost = g.Add({"AverageCost", "PRICETYPE", "Avg Cost"});
  const int value = g.Add({"ValueOnHand", "AMTTYPE", "Asset Value"});
  const int price = g.Add({"UnitPrice", "PRICETYPE", "Sales Price"});
  const int retail = g.Add({"RetailValueOnHand", "AMTTYPE", "Retail Value"});
  struct Held {
    double quantity = 0;
    std::int64_t cents = 0;
  };
  std::map<Key, Held> stock;  // by item name, then ListID
  for (const Fact& f : Facts(books, s, "", s.to.empty() ? s.today : s.to)) {
    const Record* item = books.Find(f.posting->itemId);
    if (!item || (item->kind != "ItemInventory" && item->kind != "ItemInventoryAssembly")) continue;
    // What the item's asset account holds of it (its sales post it to income as well).
    pugi::xml_document doc;
    doc.load_string(item->fields.c_str(), kStoredParse);
    const std::string asset = doc.document_element().child("AssetAccountRef").child_value("ListID");
    if (asset.empty() ? books.AccountType(f.posting->accountId) != "OtherCurrentAsset" : f.posting->accountId != asset)
      continue;
    Held& held = stock[{Fold(item->fullName) + "\x01" + item->listId, item->fullName}];
    held.quantity += f.posting->quantity;
    held.cents += f.posting->cents;
  }
  std::int64_t totalValue = 0, totalRetail = 0;
  for (const auto& [item, held] : stock) {
    const std::string salesPrice = books.Field(item.id.substr(item.id.find('\x01') + 1), "SalesPrice");
    const std::int64_t retailValue =
        static_cast<std::int64_t>(std::llround(held.quantity * std::strtod(salesPrice.c_str(), nullptr) * 100));
    Row row{Row::kData, "item", item.label, {{1, item.label}}};
    row.cells[onHand] = Decimal(held.quantity);
    row.cells[cost] = held.quantity > 0 ? Decimal(static_cast<double>(held.cents) / 100.0 / held.quantity) : "0";
    row.cells[value] = Money(held.cents);
    if (!salesPrice.empty()) row.cells[price] = salesPrice;
    row.cells[retail] = Money(retailValue);
    totalValue += held.cents;
    totalRetail += retailValue;
    g.rows.push_back(std::move(row));
  }
  g.rows.push_back({Row::kTotal, "", "TOTAL", {{1, "TOTAL"}, {value, Money(totalValue)}, {retail, Money(totalRetail)}}});
  return g;
}

// The sales tax each sales tax item (or group) collected on the forms of the period.
Grid SalesTaxLiability(const Ledger& books, const ReportRequest& s) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  const int rate = g.Add({"Percent", "PERCENTTYPE", "Tax Rate"});
  const int collected = g.Add({"Amount", "AMTTYPE", "Tax Collected"});
  std::map<Key, std::int64_t> byItem;
  for (const auto& [id, x] : books.facts) {
    const Txn& t = *x.txn;
    if (SideOf(t.kind) != Side::kSales || x.taxItem.empty() || x.salesTax == 0) continue;
    if ((!s.from.empty() && t.txnDate < s.from) || (!s.to.empty() && t.txnDate > s.to)) continue;
    if (t.kind == "Estimate" || t.kind == "SalesOrder") continue;  // nothing is collected on them
    byItem[{Fold(books.NameOf(x.taxItem)) + "\x01" + x.taxItem, books.NameOf(x.taxItem)}] +=
        t.kind == "CreditMemo" ? -x.salesTax : x.salesTax;
  }
  std::int64_t total = 0;
  for (const auto& [item, cents] : byItem) {
    const std::string id = item.id.substr(item.id.find('\x01') + 1);
    Row row{Row::kData, "item", item.label, {{1, item.label}, {collected, Money(cents)}}};
    if (std::string r = books.Field(id, "TaxRate"); !r.empty()) row.cells[rate] = r;
    total += cents;
    g.rows.push_back(std::move(row));
  }
  g.rows.push_back({Row::kTotal, "", "TOTAL", {{1, "TOTAL"}, {collected, Money(total)}}});
  return g;
}

// ---- Details: a row per posting (or per transaction, or per open item), grouped, with the
// columns the report shows or IncludeColumn names.

struct DetailRow {
  Fact fact;
  std::int64_t amount = 0;  // in the report's sign
  std::int64_t open = 0;    // what is open of it (open items)
  int aging = 0;            // days past due
};

using Cell = std::function<std::string(const DetailRow&, std::int64_t running)>;

struct DetailColumn {
  std::string type, dataType, title;
  Cell cell;
  bool sums = false;  // summed in subtotal and total rows
};

std::string SplitOf(const Ledger& books, const Fact& f) {
  std::set<std::string> others;
  for (const Posting& p : books.postings)
    if (p.source == f.posting->source && p.accountId != f.posting->accountId) others.insert(p.accountId);
  if (others.empty()) return "";
  return others.size() == 1 ? books.NameOf(*others.begin()) : "-SPLIT-";
}

DetailColumn ColumnNamed(const Ledger& books, const std::string& word) {
  auto txnText = [](auto get) {
    return [get](const DetailRow& r, std::int64_t) { return r.fact.txn ? get(*r.fact.txn) : std::string(); };
  };
  if (word == "TxnType")
    return {word, "ENUMTYPE", "Type", txnText([](const TxnFacts& t) { return t.txn->kind; })};
  if (word == "TxnID") return {word, "IDTYPE", "Trans ID", txnText([](const TxnFacts& t) { return t.txn->txnId; })};
  if (word == "TxnNumber")
    return {word, "INTTYPE", "Trans #", txnText([](const TxnFacts& t) { return std::to_string(t.txn->txnNumber); })};
  if (word == "Date")
    return {word, "DATETYPE", "Date", [](const DetailRow& r, std::int64_t) { return r.fact.posting->date; }};
  if (word == "RefNumber") return {word, "STRTYPE", "Num", txnText([](const TxnFacts& t) { return t.txn->refNumber; })};
  if (word == "Memo") return {word, "STRTYPE", "Memo", txnText([](const TxnFacts& t) { return t.memo; })};
  if (word == "DueDate") return {word, "DATETYPE", "Due Date", txnText([](const TxnFacts& t) { return t.dueDate; })};
  if (word == "Name")
    return {word, "STRTYPE", "Name", [&books](const DetailRow& r, std::int64_t) { return books.NameOf(r.fact.entity); }};
  if (word == "Account")
    return {word, "STRTYPE", "Account",
            [&books](const DetailRow& r, std::int64_t) { return books.NameOf(r.fact.posting->accountId); }};
  if (word == "SplitAccount")
    return {word, "STRTYPE", "Split", [&books](const DetailRow& r, std::int64_t) { return SplitOf(books, r.fact); }};
  if (word == "Item")
    return {word, "STRTYPE", "Item",
            [&books](const DetailRow& r, std::int64_t) { return books.NameOf(r.fact.posting->itemId); }};
  if (word == "Class")
    return {word, "STRTYPE", "Class",
            [&books](const DetailRow& r, std::int64_t) { return books.NameOf(r.fact.posting->classId); }};
  if (word == "Quantity")
    return {word, "QUANTYPE", "Qty", [](const DetailRow& r, std::int64_t) {
              return r.fact.posting->quantity == 0 ? std::string() : Decimal(r.fact.posting->quantity);
            }, false};
  if (word == "UnitPrice")
    return {word, "PRICETYPE", "Sales Price", [](const DetailRow& r, std::int64_t) {
              const double q = r.fact.posting->quantity;
              return q == 0 ? std::string() : Decimal(static_cast<double>(r.amount) / 100.0 / q);
            }};
  if (word == "Amount")
    return {word, "AMTTYPE", "Amount", [](const DetailRow& r, std::int64_t) { return Money(r.amount); }, true};
  if (word == "Debit")
    return {word, "AMTTYPE", "Debit",
            [](const DetailRow& r, std::int64_t) { return r.amount > 0 ? Money(r.amount) : std::string(); }, true};
  if (word == "Credit")
    return {word, "AMTTYPE", "Credit",
            [](const DetailRow& r, std::int64_t) { return r.amount < 0 ? Money(-r.amount) : std::string(); }, true};
  if (word == "RunningBalance")
    return {word, "AMTTYPE", "Balance", [](const DetailRow&, std::int64_t running) { return Money(running); }};
  if (word == "OpenBalance")
    return {word, "AMTTYPE", "Open Balance", [](const DetailRow& r, std::int64_t) { return Money(r.open); }, true};
  if (word == "Aging")
    return {word, "INTTYPE", "Aging",
            [](const DetailRow& r, std::int64_t) { return r.aging > 0 ? std::to_string(r.aging) : std::string(); }};
  if (word == "OriginalAmount")
    return {word, "AMTTYPE", "Original Amount", txnText([](const TxnFacts& t) { return Money(t.total); })};
  if (word == "ModifiedTime")
    return {word, "DATETIMETYPE", "Last modified", txnText([](const TxnFacts& t) { return t.txn->timeModified; })};
  if (word == "PaidStatus")
    return {word, "STRTYPE", "Paid", [](const DetailRow& r, std::int64_t) {
              return r.fact.txn && Opens(r.fact.txn->txn->kind) ? (r.open == 0 ? "Paid" : "Unpaid") : "";
            }};
  throw Failure{kCannotServe, "The sandbox does not compute the report column " + word + "."};
}

struct DetailPlan {
  std::string groupBy;  // a dimension of KeyOf, or "" for none
  std::vector<std::string> columns;
  int sign = 1;
  bool opening = false;  // a group starts with its balance before the period (ledgers)
};

// Writes a detail report: per group a text row, its rows with a running balance, a subtotal;
// then the total. ReportDetailLevelFilter SummaryOnly leaves the rows out, AllExceptSummary
// the subtotals and total.
Grid Detail(const Ledger& books, const ReportRequest& s, std::vector<DetailRow> rows, const DetailPlan& plan,
            const std::map<std::string, std::int64_t>& openings = {}) {
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  std::vector<std::pair<int, DetailColumn>> columns;
  for (const std::string& word : s.include.empty() ? plan.columns : s.include) {
    DetailColumn c = ColumnNamed(books, word);
    const int id = g.Add({c.type, c.dataType, c.title});
    columns.emplace_back(id, std::move(c));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const DetailRow& a, const DetailRow& b) {
    return a.fact.posting->date < b.fact.posting->date;
  });
  std::map<Key, std::vector<const DetailRow*>> groups;
  for (const DetailRow& r : rows) groups[KeyOf(books, s, r.fact, plan.groupBy)].push_back(&r);
  std::map<int, std::int64_t> totals;
  auto sums = [&](const std::vector<const DetailRow*>& members, std::map<int, std::int64_t>& into) {
    for (const auto& [id, c] : columns)
      if (c.sums)
        for (const DetailRow* r : members) {
          const std::string v = c.cell(*r, 0);
          if (!v.empty()) into[id] += Cents(v);
        }
  };
  const bool grouped = !plan.groupBy.empty() && plan.groupBy != "TotalOnly";
  for (const auto& [key, members] : groups) {
    const std::string id = key.id.substr(key.id.find('\x01') == std::string::npos ? key.id.size() : key.id.find('\x01') + 1);
    std::int64_t running = plan.opening && openings.count(id) ? openings.at(id) : 0;
    if (grouped) g.rows.push_back({Row::kText, "", key.label, {}});
    if (plan.opening && s.detail != "SummaryOnly") {
      Row r{Row::kData, "label", "Beginning Balance", {{1, "Beginning Balance"}}};
      for (const auto& [cid, c] : columns)
        if (c.type == "RunningBalance") r.cells[cid] = Money(running);
      g.rows.push_back(std::move(r));
    }
    for (const DetailRow* r : members) {
      running += r->amount;
      if (s.detail == "SummaryOnly") continue;
      Row row{Row::kData, "", "", {}};
      for (const auto& [cid, c] : columns)
        if (std::string v = c.cell(*r, running); !v.empty()) row.cells[cid] = v;
      g.rows.push_back(std::move(row));
    }
    std::map<int, std::int64_t> sub;
    sums(members, sub);
    for (const auto& [cid, v] : sub) totals[cid] += v;
    if (grouped && s.detail != "AllExceptSummary") {
      Row r{Row::kSubtotal, "", "Total " + key.label, {{1, "Total " + key.label}}};
      for (const auto& [cid, v] : sub) r.cells[cid] = Money(v);
      for (const auto& [cid, c] : columns)
        if (c.type == "RunningBalance") r.cells[cid] = Money(running);
      g.rows.push_back(std::move(r));
    }
  }
  if (s.detail != "AllExceptSummary") {
    Row r{Row::kTotal, "", "TOTAL", {{1, "TOTAL"}}};
    for (const auto& [cid, v] : totals) r.cells[cid] = Money(v);
    g.rows.push_back(std::move(r));
  }
  return g;
}

std::vector<DetailRow> Rows(const Ledger& books, const ReportRequest& s, const std::vector<Fact>& facts, int sign) {
  std::vector<DetailRow> rows;
  for (const Fact& f : facts) rows.push_back({f, sign * Weighted(books, s, f), 0, 0});
  return rows;
}

// One row per transaction: its first posting (the account it books its total to), or, for a
// transaction that books nothing, the transaction alone (ReportPostingStatusFilter chooses).
std::vector<DetailRow> TxnRows(const Ledger& books, const ReportRequest& s) {
  std::vector<DetailRow> rows;
  std::set<std::string> seen;
  if (s.posting != "NonPosting")
    for (const Fact& f : Facts(books, s, s.from, s.to))
      if (f.txn && seen.insert(f.posting->source).second) rows.push_back({f, f.txn->total, 0, 0});
  if (s.posting == "Posting") return rows;
  for (const Posting& head : books.unposted) {
    const TxnFacts* x = books.FactsOf(head.source);
    if ((!s.from.empty() && head.date < s.from) || (!s.to.empty() && head.date > s.to)) continue;
    if (!s.txnTypes.empty() && !s.txnTypes.count(x->txn->kind)) continue;
    if (!Passes(books, s.entities, x->entity, [](const std::string& w, const std::string& k) { return w == k; }))
      continue;
    rows.push_back({{&head, x, x->entity}, x->total, 0, 0});
  }
  return rows;
}

// The open items of receivables (or payables) on a date: every posting to such an account,
// with what is open of it.
std::vector<DetailRow> OpenItems(const Ledger& books, const ReportRequest& s, bool receivable, const std::string& asOf) {
  std::vector<DetailRow> rows;
  const std::time_t day = *ParseInstant(asOf, false);
  for (const Fact& f : Facts(books, s, "", asOf)) {
    if (books.AccountType(f.posting->accountId) != (receivable ? "AccountsReceivable" : "AccountsPayable")) continue;
    const std::int64_t open = OpenAsOf(books, *f.posting, asOf, receivable);
    if (open == 0) continue;
    const std::string due = f.txn ? f.txn->dueDate : f.posting->date;
    const std::time_t dueDay = *ParseInstant(due, false);
    const int aging = static_cast<int>(std::max<std::int64_t>(0, (day - dueDay + 43200) / 86400));
    const int sign = receivable ? 1 : -1;
    rows.push_back({f, sign * f.posting->cents, sign * open, aging});
  }
  return rows;
}

Grid Aging(const Ledger& books, const ReportRequest& s) {
  const bool receivable = s.type.starts_with("AR") || s.type == "CollectionsReport";
  const std::string asOf = s.agingAsOf == "Today" || s.to.empty() ? s.today : s.to;
  std::vector<DetailRow> items = OpenItems(books, s, receivable, asOf);
  if (s.type == "CollectionsReport") {
    std::vector<DetailRow> overdue;
    for (const DetailRow& r : items)
      if (r.aging > 0 && r.open > 0) overdue.push_back(r);
    return Detail(books, s, overdue, {"Customer", {"TxnType", "Date", "RefNumber", "DueDate", "Aging", "OpenBalance"}});
  }
  // The buckets by days past due.
  static const std::pair<int, const char*> kBuckets[] = {{0, "Current"}, {30, "1 - 30"}, {60, "31 - 60"},
                                                        {90, "61 - 90"}, {INT32_MAX, "> 90"}};
  auto bucket = [](int aging) {
    for (size_t i = 0; i < std::size(kBuckets); ++i)
      if (aging <= kBuckets[i].first) return i;
    return std::size(kBuckets) - 1;
  };
  if (s.type.ends_with("Detail")) {
    Grid g;
    g.Add({"Label", "STRTYPE", ""});
    std::vector<std::pair<int, DetailColumn>> columns;
    for (const std::string& word : s.include.empty()
                                       ? std::vector<std::string>{"TxnType", "Date", "RefNumber", "Name", "DueDate",
                                                                  "Aging", "OpenBalance"}
                                       : s.include) {
      DetailColumn c = ColumnNamed(books, word);
      columns.emplace_back(g.Add({c.type, c.dataType, c.title}), std::move(c));
    }
    std::int64_t total = 0;
    int openCol = 0;
    for (const auto& [id, c] : columns)
      if (c.type == "OpenBalance") openCol = id;
    for (size_t b = 0; b < std::size(kBuckets); ++b) {
      std::vector<const DetailRow*> in;
      for (const DetailRow& r : items)
        if (bucket(r.aging) == b) in.push_back(&r);
      if (in.empty()) continue;
      g.rows.push_back({Row::kText, "", kBuckets[b].second, {}});
      std::int64_t sum = 0;
      for (const DetailRow* r : in) {
        Row row;
        for (const auto& [id, c] : columns)
          if (std::string v = c.cell(*r, 0); !v.empty()) row.cells[id] = v;
        g.rows.push_back(std::move(row));
        sum += r->open;
      }
      Row sub{Row::kSubtotal, "", std::string("Total ") + kBuckets[b].second, {{1, std::string("Total ") + kBuckets[b].second}}};
      if (openCol) sub.cells[openCol] = Money(sum);
      g.rows.push_back(std::move(sub));
      total += sum;
    }
    Row t{Row::kTotal, "", "TOTAL", {{1, "TOTAL"}}};
    if (openCol) t.cells[openCol] = Money(total);
    g.rows.push_back(std::move(t));
    return g;
  }
  Grid g;
  g.Add({"Label", "STRTYPE", ""});
  std::vector<int> ids;
  for (const auto& [days, title] : kBuckets) ids.push_back(g.Add({"Aging", "AMTTYPE", title}));
  const int totalCol = g.Add({"Total", "AMTTYPE", "TOTAL"});
  std::map<Key, std::vector<std::int64_t>> byEntity;
  for (const DetailRow& r : items) {
    auto& buckets = byEntity[{Fold(books.NameOf(r.fact.entity)), books.NameOf(r.fact.entity)}];
    buckets.resize(std::size(kBuckets));
    buckets[bucket(r.aging)] += r.open;
  }
  std::vector<std::int64_t> totals(std::size(kBuckets));
  for (const auto& [entity, buckets] : byEntity) {
    Row row{Row::kData, receivable ? "customer" : "vendor", entity.label, {{1, entity.label}}};
    std::int64_t sum = 0;
    for (size_t b = 0; b < buckets.size(); ++b) {
      if (buckets[b]) row.cells[ids[b]] = Money(buckets[b]);
      sum += buckets[b];
      totals[b] += buckets[b];
    }
    row.cells[totalCol] = Money(sum);
    if (s.detail != "SummaryOnly") g.rows.push_back(std::move(row));
  }
  Row t{Row::kTotal, "", "TOTAL", {{1, "TOTAL"}}};
  std::int64_t all = 0;
  for (size_t b = 0; b < totals.size(); ++b) {
    t.cells[ids[b]] = Money(totals[b]);
    all += totals[b];
  }
  t.cells[totalCol] = Money(all);
  g.rows.push_back(std::move(t));
  return g;
}

// ---- The report kinds.

// Names a title after its report type word: "ProfitAndLossStandard" as "Profit And Loss
// Standard".
std::string Words(const std::string& word) {
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    if (i > 0 && std::isupper(static_cast<unsigned char>(word[i])) &&
        (std::islower(static_cast<unsigned char>(word[i - 1])) ||
         (i + 1 < word.size() && std::islower(static_cast<unsigned char>(word[i + 1])))))
      out += ' ';
    out += word[i];
  }
  return out;
}

Grid GeneralSummary(const Ledger& books, const ReportRequest& s) {
  const std::string& t = s.type;
  CheckDimension(s.columnsBy, "SummarizeColumnsBy");
  if (t == "ProfitAndLossStandard") return ProfitAndLoss(books, s, s.columnsBy);
  if (t == "ProfitAndLossByClass") return ProfitAndLoss(books, s, "Class");
  if (t == "ProfitAndLossByJob") return ProfitAndLoss(books, s, "Customer");
  if (t == "BalanceSheetStandard" || t == "BalanceSheetSummary") return BalanceSheet(books, s, t == "BalanceSheetSummary");
  if (t == "TrialBalance") return TrialBalance(books, s);
  if (t == "InventoryValuationSummary") return InventoryValuation(books, s);
  if (t == "SalesTaxLiability") return SalesTaxLiability(books, s);
  const std::string to = s.to.empty() ? s.today : s.to;
  if (t == "CustomerBalanceSummary")
    return Summary(books, s, OfTypes(books, Facts(books, s, "", to), "AccountsReceivable"), "Customer", s.columnsBy, 1,
                   false);
  if (t == "VendorBalanceSummary")
    return Summary(books, s, OfTypes(books, Facts(books, s, "", to), "AccountsPayable"), "Vendor", s.columnsBy, -1,
                   false);
  if (t == "SalesByCustomerSummary") return Summary(books, s, LineFacts(books, s, Side::kSales), "Customer", s.columnsBy, -1, false);
  if (t == "SalesByItemSummary") return Summary(books, s, LineFacts(books, s, Side::kSales), "ItemDetail", s.columnsBy, -1, true);
  if (t == "SalesByRepSummary") return Summary(books, s, LineFacts(books, s, Side::kSales), "SalesRep", s.columnsBy, -1, false);
  if (t == "PurchaseByVendorSummary")
    return Summary(books, s, LineFacts(books, s, Side::kPurchase), "Vendor", s.columnsBy, 1, false);
  if (t == "PurchaseByItemSummary")
    return Summary(books, s, LineFacts(books, s, Side::kPurchase), "ItemDetail", s.columnsBy, 1, true);
  if (t == "IncomeByCustomerSummary")
    return Summary(books, s, OfTypes(books, Facts(books, s, s.from, s.to), "IncomeAndExpense"), "Customer",
                   s.columnsBy, -1, false);
  if (t == "ExpenseByVendorSummary")
    return Summary(books, s, OfTypes(books, Facts(books, s, s.from, s.to), "ExpenseAndOtherExpense"), "Vendor",
                   s.columnsBy, 1, false);
  throw Failure{kCannotServe, "The sandbox does not compute the " + Words(t) + " report."};
}

Grid GeneralDetail(const Ledger& books, const ReportRequest& s) {
  const std::string& t = s.type;
  CheckDimension(s.rowsBy, "SummarizeRowsBy");
  const std::vector<Fact> period = Facts(books, s, s.from, s.to);
  const std::vector<std::string> ledger = {"TxnType", "Date", "RefNumber", "Name", "Memo", "SplitAccount", "Amount",
                                           "RunningBalance"};
  auto by = [&](const char* fallback) { return s.rowsBy.empty() ? std::string(fallback) : s.rowsBy; };
  if (t == "GeneralLedger" || t == "TxnDetailByAccount" || t == "ProfitAndLossDetail" || t == "BalanceSheetDetail") {
    const char* types = t == "ProfitAndLossDetail" ? "IncomeAndExpense" : t == "BalanceSheetDetail" ? "BalanceSheet" : "";
    std::vector<Fact> facts = *types ? OfTypes(books, period, types) : period;
    // A ledger opens each account with its balance before the period.
    std::map<std::string, std::int64_t> openings;
    if (!s.from.empty() && t != "TxnDetailByAccount")
      for (const Fact& f : Facts(books, s, "", IsoDate(*ParseInstant(s.from, false) - 43200)))
        openings[f.posting->accountId] += f.posting->cents;
    return Detail(books, s, Rows(books, s, facts, 1), {by("Account"), ledger, 1, t != "TxnDetailByAccount"}, openings);
  }
  if (t == "Journal")
    return Detail(books, s, Rows(books, s, period, 1),
                  {"", {"TxnNumber", "TxnType", "Date", "RefNumber", "Name", "Memo", "Account", "Debit", "Credit"}});
  const std::string to = s.to.empty() ? s.today : s.to;
  const std::vector<std::string> balance = {"TxnType", "Date", "RefNumber", "Account", "Amount", "RunningBalance"};
  if (t == "CustomerBalanceDetail")
    return Detail(books, s, Rows(books, s, OfTypes(books, Facts(books, s, "", to), "AccountsReceivable"), 1),
                  {by("Customer"), balance});
  if (t == "VendorBalanceDetail")
    return Detail(books, s, Rows(books, s, OfTypes(books, Facts(books, s, "", to), "AccountsPayable"), -1),
                  {by("Vendor"), balance});
  const std::vector<std::string> open = {"TxnType", "Date", "RefNumber", "DueDate", "Aging", "OpenBalance"};
  if (t == "OpenInvoices") return Detail(books, s, OpenItems(books, s, true, to), {by("Customer"), open});
  if (t == "UnpaidBillsDetail") return Detail(books, s, OpenItems(books, s, false, to), {by("Vendor"), open});
  const std::vector<std::string> sales = {"TxnType", "Date", "RefNumber", "Memo", "Name", "Item", "Quantity",
                                          "UnitPrice", "Amount", "RunningBalance"};
  if (t == "SalesByCustomerDetail")
    return Detail(books, s, Rows(books, s, LineFacts(books, s, Side::kSales), -1), {by("Customer"), sales});
  if (t == "SalesByItemDetail")
    return Detail(books, s, Rows(books, s, LineFacts(books, s, Side::kSales), -1), {by("ItemDetail"), sales});
  if (t == "SalesByRepDetail")
    return Detail(books, s, Rows(books, s, LineFacts(books, s, Side::kSales), -1), {by("SalesRep"), sales});
  if (t == "PurchaseByVendorDetail")
    return Detail(books, s, Rows(books, s, LineFacts(books, s, Side::kPurchase), 1), {by("Vendor"), sales});
  if (t == "PurchaseByItemDetail")
    return Detail(books, s, Rows(books, s, LineFacts(books, s, Side::kPurchase), 1), {by("ItemDetail"), sales});
  if (t == "IncomeByCustomerDetail")
    return Detail(books, s, Rows(books, s, OfTypes(books, period, "IncomeAndExpense"), -1), {by("Customer"), ledger});
  if (t == "ExpenseByVendorDetail")
    return Detail(books, s, Rows(books, s, OfTypes(books, period, "ExpenseAndOtherExpense"), 1), {by("Vendor"), ledger});
  const std::vector<std::string> list = {"TxnType", "Date", "RefNumber", "Name", "Memo", "Account", "SplitAccount",
                                         "Amount"};
  if (t == "TxnListByDate") return Detail(books, s, TxnRows(books, s), {by(""), list});
  if (t == "TxnListByCustomer" || t == "TxnListByVendor") {
    const std::string kind = t == "TxnListByCustomer" ? "Customer" : "Vendor";
    std::vector<DetailRow> rows;
    for (DetailRow& r : TxnRows(books, s)) {
      const Record* e = books.Find(r.fact.entity);
      if (e && e->kind == kind) rows.push_back(r);
    }
    return Detail(books, s, rows, {by(kind.c_str()), list});
  }
  throw Failure{kCannotServe, "The sandbox does not compute the " + Words(t) + " report."};
}

// A custom summary: rows and columns by what the query names; a cell is what its postings
// add to net income (income and other income less costs and expenses).
Grid CustomSummary(const Ledger& books, const ReportRequest& s) {
  CheckDimension(s.rowsBy, "SummarizeRowsBy");
  CheckDimension(s.columnsBy, "SummarizeColumnsBy");
  return Summary(books, s, OfTypes(books, Facts(books, s, s.from, s.to), "IncomeAndExpense"), s.rowsBy, s.columnsBy, -1,
                 false);
}

// A custom detail: every posting of the period, grouped by SummarizeRowsBy, with the columns
// IncludeColumn names.
Grid CustomDetail(const Ledger& books, const ReportRequest& s) {
  CheckDimension(s.rowsBy, "SummarizeRowsBy");
  return Detail(books, s, Rows(books, s, Facts(books, s, s.from, s.to), 1), {s.rowsBy, {}});
}

// The reports of balances on a day, rather than of what happened over a period.
bool AsOf(const ReportRequest& s) {
  static const std::set<std::string> kOnADay = {
      "BalanceSheetStandard", "BalanceSheetSummary", "TrialBalance", "CustomerBalanceSummary", "VendorBalanceSummary",
      "InventoryValuationSummary", "CustomerBalanceDetail", "VendorBalanceDetail", "OpenInvoices", "UnpaidBillsDetail"};
  return s.kind == "Aging" || kOnADay.count(s.type) > 0;
}

std::string Subtitle(const ReportRequest& s) {
  if (AsOf(s)) return "As of " + (s.kind == "Aging" && s.agingAsOf == "Today" ? s.today : s.to.empty() ? s.today : s.to);
  if (s.from.empty() && s.to.empty()) return "All Transactions";
  if (s.from.empty()) return "As of " + s.to;
  if (s.from == s.to) return s.from;
  return s.from + " through " + s.to;
}

}  // namespace

std::optional<Answer> ServeReport(Context& cx, pugi::xml_node rq) {
  const std::string name = rq.name();
  const auto kind = KindBefore(name, "ReportQueryRq");
  if (!kind) return std::nullopt;
  const catalogue::ClassInfo* query = catalogue::FindClass(*kind + "ReportQuery");
  if (!query) return std::nullopt;
  Validate(rq, *query, cx.edition, rq.name());
  if (*kind == "PayrollSummary" || *kind == "PayrollDetail" || *kind == "Budget" || *kind == "BudgetSummary" ||
      *kind == "Job" || *kind == "Time")
    throw Failure{kCannotServe, "The sandbox keeps no " +
                                    std::string(*kind == "Time" ? "time reports"
                                                : *kind == "Job" ? "job estimates"
                                                : kind->starts_with("Payroll") ? "payroll"
                                                                                : "budgets") +
                                    ": it cannot compute the " +
                                    Words(rq.child_value((*kind + "ReportType").c_str())) + " report."};
  const Ledger books(cx.db);
  const ReportRequest s = ReadReportRequest(cx, books, rq, *kind);
  Grid g;
  if (*kind == "GeneralSummary") g = GeneralSummary(books, s);
  else if (*kind == "GeneralDetail") g = GeneralDetail(books, s);
  else if (*kind == "CustomSummary") g = CustomSummary(books, s);
  else if (*kind == "CustomDetail") g = CustomDetail(books, s);
  else g = Aging(books, s);
  g.title = *kind == "CustomSummary" ? "Custom Summary Report"
            : *kind == "CustomDetail" ? "Custom Transaction Detail Report"
                                      : Words(s.type);
  g.subtitle = Subtitle(s);
  if (*kind == "GeneralSummary" || *kind == "GeneralDetail" || *kind == "CustomSummary" || *kind == "CustomDetail")
    g.basis = s.cash ? "Cash" : "Accrual";
  return Answer{kOk, "Status OK", Write(g), ""};
}

}  // namespace vtfc4::sandbox::books
