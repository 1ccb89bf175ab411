// The sandbox's accounting rules for transactions: how each kind prices its lines and what it
// books to the ledger, what payments and credits apply to, and the figures that follow (open
// amounts, balances, quantities on hand). Amounts are cents, debits positive.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "processor/books.h"
#include "processor/catalogue_table.h"
#include "processor/document.h"

namespace vtfc4::sandbox::books {
namespace {

// ---- How each kind books.


// A form of lines priced as sales or purchases, booked against one head account: `head`
// names it (else the special account `special`), debited for a sign of +1, credited for -1,
// untouched for 0 (a form that books nothing); `entity` names the customer or vendor; the
// total is answered as `total`. `open`: payments or credits apply to it.
struct Form {
  const char* kind;
  Side side;
  int sign;
  const char* head;
  const char* special;
  const char* entity;
  const char* total;
  bool open;
};

constexpr Form kForms[] = {
    {"Invoice", Side::kSales, +1, "ARAccountRef", "AccountsReceivable", "CustomerRef", "", true},
    {"Charge", Side::kSales, +1, "ARAccountRef", "AccountsReceivable", "CustomerRef", "Amount", true},
    {"SalesReceipt", Side::kSales, +1, "DepositToAccountRef", "UndepositedFunds", "CustomerRef", "TotalAmount", false},
    {"CreditMemo", Side::kSales, -1, "ARAccountRef", "AccountsReceivable", "CustomerRef", "TotalAmount", true},
    {"Estimate", Side::kSales, 0, "", "", "CustomerRef", "TotalAmount", false},
    {"SalesOrder", Side::kSales, 0, "", "", "CustomerRef", "TotalAmount", false},
    {"Bill", Side::kPurchase, -1, "APAccountRef", "AccountsPayable", "VendorRef", "AmountDue", true},
    {"ItemReceipt", Side::kPurchase, -1, "APAccountRef", "AccountsPayable", "VendorRef", "TotalAmount", false},
    {"VendorCredit", Side::kPurchase, +1, "APAccountRef", "AccountsPayable", "VendorRef", "CreditAmount", true},
    {"Check", Side::kPurchase, -1, "AccountRef", "", "PayeeEntityRef", "Amount", false},
    {"CreditCardCharge", Side::kPurchase, -1, "AccountRef", "", "PayeeEntityRef", "Amount", false},
    {"CreditCardCredit", Side::kPurchase, +1, "AccountRef", "", "PayeeEntityRef", "Amount", false},
    {"PurchaseOrder", Side::kPurchase, 0, "", "", "VendorRef", "TotalAmount", false},
};

const Form* FormOf(std::string_view kind) {
  for (const Form& f : kForms)
    if (kind == f.kind) return &f;
  return nullptr;
}

// Payments: what they apply to and the credits they may use.
struct PaymentForm {
  const char* kind;
  const char* head;  // the account paid from or into (else undeposited funds)
  const char* entity;
  const char* total;  // given, or the sum applied
  const char* target;
  const char* credit;
  const char* special;  // the receivables or payables the applications settle
};

constexpr PaymentForm kPayments[] = {
    {"ReceivePayment", "DepositToAccountRef", "CustomerRef", "TotalAmount", "Invoice,Charge", "CreditMemo",
     "AccountsReceivable"},
    {"BillPaymentCheck", "BankAccountRef", "PayeeEntityRef", "Amount", "Bill", "VendorCredit", "AccountsPayable"},
    {"BillPaymentCreditCard", "CreditCardAccountRef", "PayeeEntityRef", "Amount", "Bill", "VendorCredit",
     "AccountsPayable"},
};

const PaymentForm* PaymentFormOf(std::string_view kind) {
  for (const PaymentForm& f : kPayments)
    if (kind == f.kind) return &f;
  return nullptr;
}

bool Listed(std::string_view list, std::string_view kind) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (list.substr(0, comma) == kind) return true;
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return false;
}



// ---- Reading what is stored.

std::string IdAt(pugi::xml_node node, std::string_view path) {
  pugi::xml_node at = node;
  while (!path.empty() && at) {
    const size_t slash = path.find('/');
    at = at.child(std::string(path.substr(0, slash)).c_str());
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  return at.child_value("ListID");
}

std::string TextAt(pugi::xml_node node, std::string_view path) {
  pugi::xml_node at = node;
  while (!path.empty() && at) {
    const size_t slash = path.find('/');
    at = at.child(std::string(path.substr(0, slash)).c_str());
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  return at.child_value();
}

// The first of `paths` that holds a reference (or a value).
std::string FirstId(pugi::xml_node node, std::initializer_list<const char*> paths) {
  for (const char* p : paths)
    if (std::string id = IdAt(node, p); !id.empty()) return id;
  return "";
}

std::string FirstText(pugi::xml_node node, std::initializer_list<const char*> paths) {
  for (const char* p : paths)
    if (std::string text = TextAt(node, p); !text.empty()) return text;
  return "";
}

// What is written in a figure: a value the client gave stands.
pugi::xml_node Figure(pugi::xml_node node, const char* element, const std::string& text) {
  if (pugi::xml_node given = node.child(element)) return given;
  pugi::xml_node e = node.append_child(element);
  e.append_attribute(kFigure) = "1";
  e.text() = text.c_str();
  return e;
}

void FigureRef(pugi::xml_node node, const char* element, const std::string& id) {
  if (id.empty() || node.child(element)) return;
  pugi::xml_node e = node.append_child(element);
  e.append_attribute(kFigure) = "1";
  e.append_child("ListID").text() = id.c_str();
}

// A record or transaction read once per booking.
class Books {
 public:
  explicit Books(sqlite3* db) : db_(db) {}
  sqlite3* db() const { return db_; }

  pugi::xml_node Fields(const std::string& listId) {
    auto [it, fresh] = fields_.try_emplace(listId);
    if (fresh) {
      it->second = std::make_unique<pugi::xml_document>();
      if (auto r = RecordById(db_, listId)) {
        it->second->load_string(r->fields.c_str(), kStoredParse);
        kinds_[listId] = r->kind;
      }
    }
    return it->second->document_element();
  }
  std::string KindOf(const std::string& listId) {
    Fields(listId);
    return kinds_[listId];
  }

  // The account of a special type, which a company has from its start.
  std::string Special(const std::string& type) {
    if (auto it = special_.find(type); it != special_.end()) return it->second;
    for (const Record& r : Records(db_, {"Account"})) {
      pugi::xml_document doc;
      doc.load_string(r.fields.c_str(), kStoredParse);
      if (type == doc.document_element().child_value("SpecialAccountType")) return special_[type] = r.listId;
    }
    throw Failure{kRefused, "The company file has no account of the special type " + type +
                                "; the books need one to post this transaction."};
  }

  std::string AccountType(const std::string& id) { return Fields(id).child_value("AccountType"); }
  // The account given, else the special one.
  std::string AccountOr(const std::string& given, const char* special) { return given.empty() ? Special(special) : given; }

 private:
  sqlite3* db_;
  std::map<std::string, std::unique_ptr<pugi::xml_document>> fields_;
  std::map<std::string, std::string> kinds_, special_;
};

// ---- Items.

bool IsInventory(const std::string& kind) { return kind == "ItemInventory" || kind == "ItemInventoryAssembly"; }

// What an item's record says about pricing and posting it on one side of the books.
struct ItemFacts {
  std::string kind;
  std::string price;    // per unit
  std::string percent;  // of the lines above
  std::string account;  // income (sales) or expense (purchases); the asset account for inventory bought
  std::string salesTaxCode, taxCode;
};

ItemFacts Facts(Books& b, const std::string& id, Side side) {
  pugi::xml_node f = b.Fields(id);
  ItemFacts x;
  x.kind = b.KindOf(id);
  const bool sales = side == Side::kSales;
  if (x.kind == "ItemDiscount") {
    // A discount takes off: its rate is written positive.
    if (std::string rate = TextAt(f, "DiscountRate"); !rate.empty()) x.price = "-" + rate;
    if (std::string pct = TextAt(f, "DiscountRatePercent"); !pct.empty()) x.percent = "-" + pct;
  } else if (sales) {
    x.price = FirstText(f, {"SalesPrice", "SalesAndPurchase/SalesPrice", "SalesOrPurchase/Price"});
    x.percent = TextAt(f, "SalesOrPurchase/PricePercent");
  } else {
    x.price = FirstText(f, {"PurchaseCost", "SalesAndPurchase/PurchaseCost", "SalesOrPurchase/Price"});
  }
  if (sales)
    x.account = FirstId(f, {"IncomeAccountRef", "SalesAndPurchase/IncomeAccountRef", "SalesOrPurchase/AccountRef",
                            "AccountRef", "DepositToAccountRef"});
  else
    x.account = FirstId(f, {"AssetAccountRef", "SalesAndPurchase/ExpenseAccountRef", "SalesOrPurchase/AccountRef",
                            "AccountRef"});
  x.salesTaxCode = IdAt(f, "SalesTaxCodeRef");
  x.taxCode = FirstId(f, sales ? std::initializer_list<const char*>{"TaxCodeForSaleRef", "TaxCodeRef"}
                               : std::initializer_list<const char*>{"TaxCodeForPurchaseRef", "TaxCodeRef"});
  return x;
}

// What the ledger holds of an inventory item, leaving out what `except` booked.
struct Stock {
  double quantity = 0;
  std::int64_t value = 0;
  std::int64_t CostOf(double q) const {
    return quantity > 0 ? static_cast<std::int64_t>(std::llround(static_cast<double>(value) * q / quantity)) : 0;
  }
};

Stock StockOf(Books& b, const std::string& item, const std::string& except) {
  Stock s;
  const std::string asset = b.AccountOr(IdAt(b.Fields(item), "AssetAccountRef"), "InventoryAssets");
  for (const Posting& p : PostingsTo(b.db(), "item_id", item)) {
    if (p.source == except || p.accountId != asset) continue;
    s.quantity += p.quantity;
    s.value += p.cents;
  }
  return s;
}

// ---- Pricing lines.

const std::set<std::string> kFormLines = {"DiscountLineAdd", "SalesTaxLineAdd", "ShippingLineAdd"};

std::string ChildName(const std::string& group) {
  // The lines of a group are of the class its answer lists: "InvoiceLineRet" kept as
  // "InvoiceLineAdd".
  const catalogue::ClassInfo* ret = catalogue::RetClassOf(group);
  for (const catalogue::Member& m : ret->members) {
    if (m.kind != catalogue::Kind::AList || !catalogue::IsLine(m.element)) continue;
    const std::string element(m.element);
    const std::string add = element.substr(0, element.size() - 3) + "Add";
    return catalogue::FindClass(add) ? add : element;
  }
  return "";
}

// One priced line, as the ledger sees it.
struct Priced {
  pugi::xml_node node;
  std::int64_t cents = 0;
  std::string account, item, itemKind, salesTaxCode, taxCode;
  double quantity = 0;
  bool taxable = false;
};

struct Pricing {
  Books& b;
  Side side;
  std::vector<Priced> lines;
  std::int64_t since = 0;        // the lines since the last subtotal
  bool aboveIsSubtotal = false;  // the line just above is a subtotal
  std::int64_t lastSubtotal = 0;
};

bool CodeTaxable(Books& b, const std::string& code) {
  return !code.empty() && std::string_view(b.Fields(code).child_value("IsTaxable")) == "true";
}

// Prices one item line: its Amount as given, or a rate percent of the lines above, or its
// quantity (1 when absent) at its rate (the item's price when absent).
void PriceItemLine(Pricing& p, pugi::xml_node line) {
  Priced out;
  out.node = line;
  out.item = IdAt(line, "ItemRef");
  const ItemFacts facts = out.item.empty() ? ItemFacts{} : Facts(p.b, out.item, p.side);
  out.itemKind = facts.kind;
  const bool sales = p.side == Side::kSales;
  const char* rateElement = sales ? "Rate" : "Cost";
  const std::string quantity = line.child_value("Quantity");
  out.quantity = quantity.empty() ? 0 : std::strtod(quantity.c_str(), nullptr);
  const std::string amount = line.child_value("Amount");
  std::string rate = line.child_value(rateElement), percent = line.child_value("RatePercent");
  if (line.child("Amount") && !amount.empty()) {
    out.cents = Cents(amount);
  } else if (facts.kind == "ItemSubtotal") {
    out.cents = p.since;
  } else if (!percent.empty() || (rate.empty() && !facts.percent.empty())) {
    if (percent.empty()) Figure(line, "RatePercent", percent = facts.percent);
    const std::int64_t base = p.aboveIsSubtotal ? p.lastSubtotal : p.since;
    out.cents = PercentOf(base, std::strtod(percent.c_str(), nullptr));
  } else {
    if (rate.empty() && !facts.price.empty()) Figure(line, rateElement, rate = facts.price);
    const double q = quantity.empty() ? 1 : out.quantity;
    out.cents = static_cast<std::int64_t>(std::llround(q * std::strtod(rate.c_str(), nullptr) * 100));
  }
  Figure(line, "Amount", Money(out.cents));
  out.account = FirstId(line, {"OverrideItemAccountRef", "AccountRef"});
  if (out.account.empty()) out.account = facts.account;
  // The tax code a line is sold under: its own, else its item's.
  out.salesTaxCode = IdAt(line, "SalesTaxCodeRef");
  if (out.salesTaxCode.empty() && sales && !facts.salesTaxCode.empty()) {
    out.salesTaxCode = facts.salesTaxCode;
    FigureRef(line, "SalesTaxCodeRef", out.salesTaxCode);
  }
  out.taxCode = IdAt(line, "TaxCodeRef");
  if (out.taxCode.empty()) out.taxCode = facts.taxCode;
  const std::string isTaxable = line.child_value("IsTaxable");
  out.taxable = isTaxable.empty() ? CodeTaxable(p.b, out.salesTaxCode) : isTaxable == "true";
  if (facts.kind == "ItemSubtotal") {
    p.lastSubtotal = out.cents;
    p.since = 0;
    p.aboveIsSubtotal = true;
    out.account.clear();  // a subtotal only shows a sum
    out.taxable = false;
  } else {
    p.since += out.cents;
    p.aboveIsSubtotal = false;
  }
  p.lines.push_back(std::move(out));
}

// Prices a form's lines in order: item lines, account (expense) lines, and groups, whose
// lines are made from the group item when the group is added (quantities multiplied by the
// group's) and priced like any other.
void PriceLines(Pricing& p, pugi::xml_node parent) {
  for (pugi::xml_node line : Elements(parent)) {
    // The discount, tax and shipping lines of a whole form are booked with its totals.
    if (!catalogue::IsLine(line.name()) || kFormLines.count(line.name())) continue;
    if (std::string group = IdAt(line, "ItemGroupRef"); !group.empty()) {
      const std::string child = ChildName(line.name());
      bool expanded = false;
      for (pugi::xml_node c : Elements(line)) expanded = expanded || c.name() == child;
      pugi::xml_node item = p.b.Fields(group);
      if (!expanded) {
        const std::string q = line.child_value("Quantity");
        const double times = q.empty() ? 1 : std::strtod(q.c_str(), nullptr);
        for (pugi::xml_node member : item.children("ItemGroupLine")) {
          pugi::xml_node made = line.append_child(child.c_str());
          made.append_child("ItemRef").append_child("ListID").text() = IdAt(member, "ItemRef").c_str();
          const std::string each = member.child_value("Quantity");
          made.append_child("Quantity").text() =
              Decimal((each.empty() ? 1 : std::strtod(each.c_str(), nullptr)) * times).c_str();
        }
      }
      if (!line.child("Desc") && *item.child_value("ItemDesc")) Figure(line, "Desc", item.child_value("ItemDesc"));
      Figure(line, "IsPrintItemsInGroup",
             std::string_view(item.child_value("IsPrintItemsInGroup")) == "true" ? "true" : "false");
      const size_t first = p.lines.size();
      PriceLines(p, line);
      std::int64_t total = 0;
      for (size_t i = first; i < p.lines.size(); ++i) total += p.lines[i].cents;
      Figure(line, "TotalAmount", Money(total));
      continue;
    }
    if (line.child("ItemRef") || line.child("Quantity") || line.child("Rate") || line.child("Cost") ||
        !line.child("AccountRef")) {
      PriceItemLine(p, line);
      continue;
    }
    // An account line (an expense): its amount to its account.
    Priced out;
    out.node = line;
    out.cents = Cents(line.child_value("Amount"));
    out.account = IdAt(line, "AccountRef");
    out.taxCode = IdAt(line, "TaxCodeRef");
    p.since += out.cents;
    p.aboveIsSubtotal = false;
    p.lines.push_back(std::move(out));
  }
}

// ---- Booking.

Posting Entry(const std::string& source, const std::string& line, const std::string& account,
              const std::string& entity, const std::string& item, std::int64_t cents, double quantity) {
  Posting p;
  p.source = source;
  p.lineId = line;
  p.accountId = account;
  p.entityId = entity;
  p.itemId = item;
  p.cents = cents;
  p.quantity = quantity;
  return p;
}

struct Booker {
  Books& b;
  const Txn& t;
  pugi::xml_node fields;
  Booking booking;

  void Post(const std::string& account, std::int64_t cents, const std::string& entity = "",
            const std::string& item = "", double quantity = 0, const std::string& line = "") {
    if (cents == 0 && quantity == 0) return;
    booking.postings.push_back(Entry(t.txnId, line, account, entity, item, cents, quantity));
  }
  std::string AccountOr(const std::string& given, const char* special) { return b.AccountOr(given, special); }
};

// The sales tax of a form's taxable lines: US, the rate of the item sales tax (or group) the
// form or its customer names, on the lines taxable under their codes, when the customer's
// code is taxable; CA, each line's tax code's federal and provincial rates.
struct Taxes {
  std::int64_t us = 0, tax1 = 0, tax2 = 0;
  double percent = 0;
};

double SalesTaxRate(Books& b, const std::string& item) {
  if (item.empty()) return 0;
  pugi::xml_node f = b.Fields(item);
  if (b.KindOf(item) == "ItemSalesTax") return std::strtod(f.child_value("TaxRate"), nullptr);
  double rate = 0;
  for (pugi::xml_node member : f.children("ItemSalesTaxRef")) rate += SalesTaxRate(b, member.child_value("ListID"));
  return rate;
}

Taxes SalesTaxes(Booker& k, const std::vector<Priced>& lines, bool ca) {
  Taxes taxes;
  pugi::xml_node f = k.fields;
  const std::string customer = IdAt(f, "CustomerRef");
  pugi::xml_node c = customer.empty() ? pugi::xml_node() : k.b.Fields(customer);
  if (ca) {
    std::map<std::string, std::int64_t> byCode;
    const std::string customerCode = FirstId(f, {"CustomerTaxCodeRef"}).empty() ? IdAt(c, "TaxCodeRef")
                                                                                 : IdAt(f, "CustomerTaxCodeRef");
    for (const Priced& l : lines)
      if (const std::string code = l.taxCode.empty() ? customerCode : l.taxCode; !code.empty() && !l.account.empty())
        byCode[code] += l.cents;
    for (const auto& [code, base] : byCode) {
      pugi::xml_node tc = k.b.Fields(code);
      taxes.tax1 += PercentOf(base, std::strtod(tc.child_value("Tax1Rate"), nullptr));
      taxes.tax2 += PercentOf(base, std::strtod(tc.child_value("Tax2Rate"), nullptr));
    }
    if (f.child("Tax1Total")) taxes.tax1 = Cents(f.child_value("Tax1Total"));
    if (f.child("Tax2Total")) taxes.tax2 = Cents(f.child_value("Tax2Total"));
    Figure(f, "Tax1Total", Money(taxes.tax1));
    Figure(f, "Tax2Total", Money(taxes.tax2));
    return taxes;
  }
  std::string taxItem = IdAt(f, "ItemSalesTaxRef");
  if (taxItem.empty()) {
    taxItem = IdAt(c, "ItemSalesTaxRef");
    FigureRef(f, "ItemSalesTaxRef", taxItem);
  }
  std::string code = IdAt(f, "CustomerSalesTaxCodeRef");
  if (code.empty()) code = IdAt(c, "SalesTaxCodeRef");
  const bool customerTaxable = code.empty() || CodeTaxable(k.b, code);
  std::int64_t base = 0;
  for (const Priced& l : lines)
    if (l.taxable) base += l.cents;
  taxes.percent = customerTaxable ? SalesTaxRate(k.b, taxItem) : 0;
  taxes.us = PercentOf(base, taxes.percent);
  // From vtXML 4.0 a form may give its tax line itself, as an amount or a rate.
  if (pugi::xml_node line = f.child("SalesTaxLineAdd")) {
    if (line.child("Amount")) taxes.us = Cents(line.child_value("Amount"));
    if (line.child("RatePercent")) {
      taxes.percent = std::strtod(line.child_value("RatePercent"), nullptr);
      taxes.us = PercentOf(base, taxes.percent);
    }
  }
  Figure(f, "SalesTaxPercentage", Decimal(taxes.percent));
  Figure(f, "SalesTaxTotal", Money(taxes.us));
  return taxes;
}

// Sales and purchase forms: lines priced, taxes, the head account against the lines'
// accounts; inventory sold at its average cost, inventory bought at what it cost.
void BookForm(Booker& k, const Form& form, bool ca) {
  pugi::xml_node f = k.fields;
  Pricing p{k.b, form.side, {}, 0, false, 0};
  // A statement charge is one item line written in its header.
  if (k.t.kind == "Charge")
    PriceItemLine(p, f);
  else
    PriceLines(p, f);
  std::int64_t subtotal = 0;
  for (const Priced& l : p.lines) subtotal += l.cents;
  std::int64_t total = subtotal;
  Taxes taxes;
  std::int64_t discount = 0, shipping = 0;
  if (form.side == Side::kSales && k.t.kind != "Charge") {
    Figure(f, "Subtotal", Money(subtotal));
    // From vtXML 4.0, a discount and shipping for the whole form.
    if (pugi::xml_node line = f.child("DiscountLineAdd")) {
      discount = line.child("Amount") ? -std::llabs(Cents(line.child_value("Amount")))
                                      : -PercentOf(subtotal, std::strtod(line.child_value("RatePercent"), nullptr));
      Figure(line, "Amount", Money(discount));
    }
    if (pugi::xml_node line = f.child("ShippingLineAdd")) shipping = Cents(line.child_value("Amount"));
    taxes = SalesTaxes(k, p.lines, ca);
    total += discount + shipping + taxes.us + taxes.tax1 + taxes.tax2;
  } else if (form.side == Side::kPurchase && ca) {
    // Taxes paid on purchases, as given, are claimed back from the tax collected.
    if (f.child("Tax1Total")) taxes.tax1 = Cents(f.child_value("Tax1Total"));
    if (f.child("Tax2Total")) taxes.tax2 = Cents(f.child_value("Tax2Total"));
    total += taxes.tax1 + taxes.tax2;
  }
  if (*form.total) Figure(f, form.total, Money(total));
  Figure(f, kBookedTotal, Money(total));
  if (form.sign == 0) return;

  // The head first: the summary of a transaction is its first posting.
  const std::string head = k.AccountOr(IdAt(f, form.head), form.special);
  const std::string entity = IdAt(f, form.entity);
  k.Post(head, form.sign * total, entity);
  const bool sales = form.side == Side::kSales;
  const char* fallback = sales ? "UncategorizedIncome" : "UncategorizedExpenses";
  for (const Priced& l : p.lines) {
    if (l.account.empty() && l.itemKind == "ItemSubtotal") continue;
    const std::string line = l.node.child_value("TxnLineID");
    if (IsInventory(l.itemKind)) {
      pugi::xml_node item = k.b.Fields(l.item);
      const std::string asset = k.AccountOr(IdAt(item, "AssetAccountRef"), "InventoryAssets");
      const double q = l.node.child("Quantity") ? l.quantity : 1;
      if (sales) {
        // Goods leave (or, on a credit memo, come back) at their average cost.
        const std::int64_t cost = StockOf(k.b, l.item, k.t.txnId).CostOf(q);
        k.Post(k.AccountOr(IdAt(item, "COGSAccountRef"), "CostOfGoodsSold"), form.sign * cost, "", "", 0, line);
        k.Post(asset, -form.sign * cost, "", l.item, -form.sign * q, line);
      } else {
        k.Post(asset, -form.sign * l.cents, "", l.item, -form.sign * q, line);
        continue;
      }
    }
    // The line's item and quantity go with its income or expense, for the reports by item.
    const double moved = l.node.child("Quantity") ? l.quantity : (l.item.empty() ? 0 : 1);
    k.Post(k.AccountOr(l.account, fallback), -form.sign * l.cents, "", l.item, (sales ? 1 : -1) * form.sign * moved,
           line);
  }
  if (discount) k.Post(k.AccountOr(IdAt(f, "DiscountLineAdd/AccountRef"), fallback), -form.sign * discount);
  if (shipping) k.Post(k.AccountOr(IdAt(f, "ShippingLineAdd/AccountRef"), fallback), -form.sign * shipping);
  if (taxes.us)
    k.Post(k.AccountOr(IdAt(f, "SalesTaxLineAdd/AccountRef"), "SalesTaxPayable"), -form.sign * taxes.us);
  if (taxes.tax1) k.Post(k.b.Special("Tax1Payable"), -form.sign * taxes.tax1);
  if (taxes.tax2) k.Post(k.b.Special("Tax2Payable"), -form.sign * taxes.tax2);
}

// ---- Open amounts.

std::int64_t BookedTotal(const std::string& fields) {
  const size_t at = fields.find(std::string("<") + kBookedTotal);
  if (at == std::string::npos) return 0;
  const size_t open = fields.find('>', at);
  const size_t close = fields.find('<', open);
  return Cents(std::string_view(fields).substr(open + 1, close - open - 1));
}

// What is still open of a transaction payments or credits apply to: its total less what was
// applied to it (payments, discounts, credits) and, for a credit, what it was used for;
// `except` leaves out what one transaction applies (the one being booked again).
std::int64_t OpenOf(sqlite3* db, const Txn& t, const std::string& except = "") {
  std::int64_t open = BookedTotal(t.fields);
  for (const Application& a : ApplicationsBy(db, "to_txn", t.txnId))
    if (a.from != except) open -= a.cents + a.discount;
  for (const Application& a : ApplicationsBy(db, "credit_txn", t.txnId))
    if (a.from != except) open -= a.cents;
  return open;
}

// True when `customer` is the entity or one of its sub-records (a customer's job).
bool SameOrUnder(Books& b, const std::string& entity, const std::string& owner) {
  if (entity == owner) return true;
  auto e = RecordById(b.db(), entity);
  auto o = RecordById(b.db(), owner);
  return e && o && Fold(e->fullName).starts_with(Fold(o->fullName) + ":");
}

Txn Target(Books& b, const std::string& id, const char* kinds, const std::string& entity, const std::string& path) {
  std::optional<Txn> t = TxnById(b.db(), id);
  if (!t || !Listed(kinds, t->kind))
    throw Failure{kInvalidReference, "The " + path + " \"" + id + "\" names no " + kinds + " of the company file."};
  pugi::xml_document doc;
  doc.load_string(t->fields.c_str(), kStoredParse);
  const Form* form = FormOf(t->kind);
  const std::string owner = IdAt(doc.document_element(), form ? form->entity : "");
  if (!SameOrUnder(b, owner, entity))
    throw Failure{kRefused, "The " + t->kind + " " + id + " is not one of the payer's: it cannot take this payment."};
  return *t;
}

// Payments received and made: applied to the invoices (or bills) they name, or, with
// IsAutoApply, to the oldest open ones first; with discounts and credits used.
void BookPayment(Booker& k, const PaymentForm& form) {
  pugi::xml_node f = k.fields;
  const std::string entity = IdAt(f, form.entity);
  const bool given = f.child(form.total) && !std::string_view(f.child_value(form.total)).empty();
  std::int64_t total = given ? Cents(f.child_value(form.total)) : 0;
  if (std::string_view(f.child_value("IsAutoApply")) == "true") {
    // Oldest first, by date and then by the order they were made.
    std::vector<Txn> open;
    for (const Txn& t : Txns(k.b.db(), {}))
      if (Listed(form.target, t.kind) && OpenOf(k.b.db(), t, k.t.txnId) > 0) {
        pugi::xml_document doc;
        doc.load_string(t.fields.c_str(), kStoredParse);
        if (SameOrUnder(k.b, IdAt(doc.document_element(), FormOf(t.kind)->entity), entity)) open.push_back(t);
      }
    std::stable_sort(open.begin(), open.end(), [](const Txn& a, const Txn& b) { return a.txnDate < b.txnDate; });
    std::int64_t left = total;
    for (const Txn& t : open) {
      if (left <= 0) break;
      const std::int64_t pay = std::min(left, OpenOf(k.b.db(), t, k.t.txnId));
      pugi::xml_node applied = f.append_child("AppliedToTxnAdd");
      applied.append_attribute(kFigure) = "1";
      applied.append_child("TxnID").text() = t.txnId.c_str();
      applied.append_child("PaymentAmount").text() = Money(pay).c_str();
      left -= pay;
    }
  }
  std::int64_t paid = 0, discounts = 0;
  for (pugi::xml_node applied : f.children("AppliedToTxnAdd")) {
    const Txn target = Target(k.b, applied.child_value("TxnID"), form.target, entity, "AppliedToTxnAdd/TxnID");
    const std::int64_t pay = Cents(applied.child_value("PaymentAmount"));
    const std::int64_t discount = Cents(applied.child_value("DiscountAmount"));
    std::int64_t credits = 0;
    if (pay || discount) k.booking.applications.push_back({k.t.txnId, target.txnId, "", pay, discount});
    for (pugi::xml_node credit : applied.children("SetCredit")) {
      const Txn used = Target(k.b, credit.child_value("CreditTxnID"), form.credit, entity, "SetCredit/CreditTxnID");
      const std::int64_t amount = Cents(credit.child_value("AppliedAmount"));
      if (amount > OpenOf(k.b.db(), used, k.t.txnId))
        throw Failure{kAboveOpen, "The credit " + used.txnId + " has " + Money(OpenOf(k.b.db(), used, k.t.txnId)) +
                                      " left; " + Money(amount) + " cannot be applied."};
      k.booking.applications.push_back({k.t.txnId, target.txnId, used.txnId, amount, 0});
      credits += amount;
    }
    const std::int64_t open = OpenOf(k.b.db(), target, k.t.txnId);
    if (pay + discount + credits > open)
      throw Failure{kAboveOpen, "The " + target.kind + " " + target.txnId + " has " + Money(open) + " open; " +
                                    Money(pay + discount + credits) + " cannot be applied to it."};
    if (discount) {
      const std::string account = IdAt(applied, "DiscountAccountRef");
      if (account.empty())
        throw Failure{kRefused, "The discount on " + target.txnId + " needs a DiscountAccountRef to be booked to."};
      discounts += discount;
      // A discount given to a customer is an expense; one taken from a vendor lowers costs.
      k.Post(account, form.special == std::string("AccountsReceivable") ? discount : -discount);
    }
    paid += pay;
  }
  if (!given) {
    total = paid;
    Figure(f, form.total, Money(total));
  }
  if (paid > total)
    throw Failure{kAboveOpen, "The payment of " + Money(total) + " cannot pay " + Money(paid) + " of transactions."};
  Figure(f, kBookedTotal, Money(total));
  const bool received = form.special == std::string("AccountsReceivable");
  const std::string head = received ? k.AccountOr(IdAt(f, form.head), "UndepositedFunds") : IdAt(f, form.head);
  const std::string settled = k.AccountOr(IdAt(f, received ? "ARAccountRef" : "APAccountRef"), form.special);
  // Received: money in, receivables down (by the discounts too). Made: payables down, money out.
  k.booking.postings.insert(k.booking.postings.begin(),
                            Entry(k.t.txnId, "", head, entity, "", received ? total : -total, 0));
  k.Post(settled, received ? -(total + discounts) : total + discounts, entity);
}

// A deposit: payments waiting in undeposited funds, and other money, into one account, less
// cash taken back.
void BookDeposit(Booker& k) {
  pugi::xml_node f = k.fields;
  const std::string undeposited = k.b.Special("UndepositedFunds");
  std::int64_t total = 0;
  std::vector<Posting> lines;
  for (pugi::xml_node line : f.children("DepositLineAdd")) {
    std::int64_t cents = 0;
    if (line.child("PaymentTxnID")) {
      const std::string id = line.child_value("PaymentTxnID");
      std::optional<Txn> paid = TxnById(k.b.db(), id);
      std::int64_t waiting = 0;
      if (paid)
        for (const Posting& p : PostingsOf(k.b.db(), id))
          if (p.accountId == undeposited) waiting += p.cents;
      for (const Application& a : ApplicationsBy(k.b.db(), "to_txn", id))
        if (a.from != k.t.txnId) waiting -= a.cents;
      if (waiting <= 0)
        throw Failure{kRefused, "The transaction " + id + " has no payment waiting in undeposited funds."};
      cents = waiting;
      k.booking.applications.push_back({k.t.txnId, id, "", cents, 0});
      pugi::xml_document doc;
      doc.load_string(paid->fields.c_str(), kStoredParse);
      Figure(line, "TxnType", paid->kind);
      Figure(line, "TxnID", id);
      FigureRef(line, "EntityRef", IdAt(doc.document_element(), "CustomerRef"));
      FigureRef(line, "AccountRef", undeposited);
      lines.push_back(Entry(k.t.txnId, line.child_value("TxnLineID"), undeposited,
                            IdAt(doc.document_element(), "CustomerRef"), "", -cents, 0));
    } else {
      cents = Cents(line.child_value("Amount"));
      lines.push_back(Entry(k.t.txnId, line.child_value("TxnLineID"), IdAt(line, "AccountRef"), IdAt(line, "EntityRef"),
                            "", -cents, 0));
    }
    Figure(line, "Amount", Money(cents));
    total += cents;
  }
  std::int64_t back = 0;
  if (pugi::xml_node cash = f.child("CashBackInfoAdd")) {
    back = Cents(cash.child_value("Amount"));
    lines.push_back(Entry(k.t.txnId, cash.child_value("TxnLineID"), IdAt(cash, "AccountRef"), "", "", back, 0));
  }
  Figure(f, "DepositTotal", Money(total - back));
  Figure(f, kBookedTotal, Money(total - back));
  k.Post(IdAt(f, "DepositToAccountRef"), total - back);
  for (const Posting& p : lines)
    if (p.cents) k.booking.postings.push_back(p);
}

// A journal entry books exactly what it says, and only when its debits equal its credits.
void BookJournal(Booker& k) {
  std::int64_t debits = 0, credits = 0;
  for (pugi::xml_node line : Elements(k.fields)) {
    const bool debit = std::string_view(line.name()) == "JournalDebitLine";
    if (!debit && std::string_view(line.name()) != "JournalCreditLine") continue;
    const std::int64_t cents = Cents(line.child_value("Amount"));
    const std::string account = IdAt(line, "AccountRef");
    if (account.empty() && cents)
      throw Failure{kRefused, "The journal line " + std::string(line.child_value("TxnLineID")) +
                                  " names no account to book " + Money(cents) + " to."};
    (debit ? debits : credits) += cents;
    k.Post(account, debit ? cents : -cents, IdAt(line, "EntityRef"), "", 0, line.child_value("TxnLineID"));
  }
  if (debits != credits)
    throw Failure{kNotBalanced, "The journal entry's debits (" + Money(debits) + ") and credits (" + Money(credits) +
                                    ") differ."};
  Figure(k.fields, kBookedTotal, Money(debits));
}

// An inventory adjustment: quantities counted or values revalued, against an adjustment
// account; a quantity changed without a value moves at the average cost.
void BookAdjustment(Booker& k) {
  pugi::xml_node f = k.fields;
  const std::string against = IdAt(f, "AccountRef");
  std::int64_t total = 0;
  for (pugi::xml_node line : f.children("InventoryAdjustmentLineAdd")) {
    const std::string item = IdAt(line, "ItemRef");
    const Stock stock = StockOf(k.b, item, k.t.txnId);
    pugi::xml_node change = line.child("QuantityAdjustment");
    if (!change) change = line.child("ValueAdjustment");
    double difference = 0;
    if (change.child("NewQuantity")) difference = std::strtod(change.child_value("NewQuantity"), nullptr) - stock.quantity;
    if (change.child("QuantityDifference")) difference = std::strtod(change.child_value("QuantityDifference"), nullptr);
    const std::int64_t value = change.child("NewValue") ? Cents(change.child_value("NewValue")) - stock.value
                                                        : stock.CostOf(difference);
    Figure(line, "QuantityDifference", Decimal(difference));
    Figure(line, "ValueDifference", Money(value));
    const std::string asset = k.AccountOr(IdAt(k.b.Fields(item), "AssetAccountRef"), "InventoryAssets");
    k.Post(asset, value, "", item, difference, line.child_value("TxnLineID"));
    k.Post(against, -value, "", "", 0, line.child_value("TxnLineID"));
    total += value;
  }
  Figure(f, kBookedTotal, Money(total));
  // The adjustment account first: it is the transaction's summary.
  std::stable_partition(k.booking.postings.begin(), k.booking.postings.end(),
                        [&](const Posting& p) { return p.accountId == against; });
}

std::string Bool(bool b) { return b ? "true" : "false"; }

// The transactions linked to `t` by payments and credits, as LinkedTxn elements: what
// applies to it (negative) and what it applies to or was used for (positive).
void AddLinks(sqlite3* db, const Txn& t, pugi::xml_node into) {
  auto link = [&](const std::string& id, std::int64_t cents) {
    std::optional<Txn> other = TxnById(db, id);
    if (!other) return;
    pugi::xml_node l = into.append_child("LinkedTxn");
    l.append_child("TxnID").text() = other->txnId.c_str();
    l.append_child("TxnType").text() = other->kind.c_str();
    l.append_child("TxnDate").text() = other->txnDate.c_str();
    if (!other->refNumber.empty()) l.append_child("RefNumber").text() = other->refNumber.c_str();
    l.append_child("LinkType").text() = "AMTTYPE";
    l.append_child("Amount").text() = Money(cents).c_str();
  };
  for (const Application& a : ApplicationsBy(db, "to_txn", t.txnId))
    link(a.creditTxn.empty() ? a.from : a.creditTxn, -(a.cents + a.discount));
  for (const Application& a : ApplicationsBy(db, "credit_txn", t.txnId)) link(a.to, a.cents);
}

}  // namespace

bool DebitNormal(std::string_view type) {
  return type == "Bank" || type == "AccountsReceivable" || type == "OtherCurrentAsset" || type == "FixedAsset" ||
         type == "OtherAsset" || type == "Expense" || type == "OtherExpense" || type == "CostOfGoodsSold";
}

Side SideOf(std::string_view kind) {
  if (const Form* form = FormOf(kind)) return form->side;
  return PaymentFormOf(kind) ? Side::kPayment : Side::kOther;
}

bool Opens(std::string_view kind) {
  const Form* form = FormOf(kind);
  return form && form->open;
}

// ---- What the engine asks.

Booking Book(sqlite3* db, const Txn& t, pugi::xml_node fields, bool ca) {
  Books b(db);
  Booker k{b, t, fields, {}};
  if (const Form* form = FormOf(t.kind))
    BookForm(k, *form, ca);
  else if (const PaymentForm* payment = PaymentFormOf(t.kind))
    BookPayment(k, *payment);
  else if (t.kind == "Deposit")
    BookDeposit(k);
  else if (t.kind == "JournalEntry")
    BookJournal(k);
  else if (t.kind == "InventoryAdjustment")
    BookAdjustment(k);
  // Others (time tracking) book nothing.
  // Every posting is dated as its transaction and carries its line's class (else the
  // transaction's), for the reports.
  std::map<std::string, std::string> lineClass;
  std::vector<pugi::xml_node> lines = Elements(fields);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!catalogue::IsLine(lines[i].name())) continue;
    lineClass[lines[i].child_value("TxnLineID")] = IdAt(lines[i], "ClassRef");
    for (pugi::xml_node c : Elements(lines[i])) lines.push_back(c);
  }
  const std::string txnClass = IdAt(fields, "ClassRef");
  for (Posting& p : k.booking.postings) {
    p.date = fields.child_value("TxnDate");
    const auto line = lineClass.find(p.lineId);
    p.classId = line != lineClass.end() && !line->second.empty() ? line->second : txnClass;
  }
  std::int64_t sum = 0;
  for (const Posting& p : k.booking.postings) sum += p.cents;
  if (sum != 0)  // every rule above posts both sides; an unbalanced posting is a fault here
    throw std::logic_error("the " + t.kind + " " + t.txnId + " would book " + Money(sum) + " out of balance");
  return std::move(k.booking);
}

void AddLaterFigures(sqlite3* db, const Txn& t, pugi::xml_node fields) {
  auto put = [&](const char* element, const std::string& text) {
    fields.remove_child(element);
    fields.append_child(element).text() = text.c_str();
  };
  if (const Form* form = FormOf(t.kind); form && form->open) {
    const std::int64_t total = BookedTotal(t.fields), open = OpenOf(db, t);
    put("BalanceRemaining", Money(open));
    put("OpenAmount", Money(open));
    put("CreditRemaining", Money(open));
    put("AppliedAmount", Money(-(total - open)));
    put("IsPaid", Bool(open == 0));
  }
  AddLinks(db, t, fields);
  const PaymentForm* payment = PaymentFormOf(t.kind);
  if (!payment) return;
  std::int64_t applied = 0;
  for (pugi::xml_node a : fields.children("AppliedToTxnAdd")) {
    std::optional<Txn> target = TxnById(db, a.child_value("TxnID"));
    if (!target) continue;
    applied += Cents(a.child_value("PaymentAmount"));
    a.append_child("TxnType").text() = target->kind.c_str();
    a.append_child("TxnDate").text() = target->txnDate.c_str();
    if (!target->refNumber.empty()) a.append_child("RefNumber").text() = target->refNumber.c_str();
    a.append_child("BalanceRemaining").text() = Money(OpenOf(db, *target)).c_str();
    a.append_child("Amount").text() = a.child_value("PaymentAmount");
    for (pugi::xml_node credit : a.children("SetCredit")) {
      std::optional<Txn> used = TxnById(db, credit.child_value("CreditTxnID"));
      if (!used) continue;
      pugi::xml_node l = a.append_child("LinkedTxn");
      l.append_child("TxnID").text() = used->txnId.c_str();
      l.append_child("TxnType").text() = used->kind.c_str();
      l.append_child("TxnDate").text() = used->txnDate.c_str();
      if (!used->refNumber.empty()) l.append_child("RefNumber").text() = used->refNumber.c_str();
      l.append_child("LinkType").text() = "AMTTYPE";
      l.append_child("Amount").text() = Money(-Cents(credit.child_value("AppliedAmount"))).c_str();
    }
  }
  put("UnusedPayment", Money(BookedTotal(t.fields) - applied));
  // The credits the payer still has to use.
  const std::string entity = fields.child(payment->entity).child_value("ListID");
  std::int64_t credits = 0;
  for (const Txn& c : Txns(db, {FormOf(payment->credit)->kind})) {
    pugi::xml_document doc;
    doc.load_string(c.fields.c_str(), kStoredParse);
    if (IdAt(doc.document_element(), FormOf(c.kind)->entity) == entity) credits += OpenOf(db, c);
  }
  put("UnusedCredits", Money(credits));
}

bool IsOpen(sqlite3* db, const Txn& t) {
  const Form* form = FormOf(t.kind);
  return form && form->open && OpenOf(db, t) > 0;
}

Summary Summarize(sqlite3* db, const Txn& t) {
  pugi::xml_document doc;
  doc.load_string(t.fields.c_str(), kStoredParse);
  pugi::xml_node f = doc.document_element();
  Summary s;
  s.entityId = FirstId(f, {"CustomerRef", "VendorRef", "PayeeEntityRef", "EntityRef"});
  const std::vector<Posting> postings = PostingsOf(db, t.txnId);
  if (!postings.empty()) s.accountId = postings.front().accountId;
  s.cents = BookedTotal(t.fields);
  s.memo = f.child_value("Memo");
  return s;
}

// Opening balances post against Opening Balance Equity: what a customer owes, what is owed to
// a vendor, an account's balance, the value of the inventory an item starts with.
void BookListRecord(sqlite3* db, const Record& r) {
  pugi::xml_document doc;
  doc.load_string(r.fields.c_str(), kStoredParse);
  pugi::xml_node f = doc.document_element();
  Books b(db);
  std::vector<Posting> postings;
  // On the day the record gives for it, else the day the record was made.
  std::string date = FirstText(f, {"OpenBalanceDate", "InventoryDate"});
  if (date.empty()) date = r.timeCreated.substr(0, 10);
  auto post = [&](const std::string& account, std::int64_t cents, const std::string& entity, const std::string& item,
                  double quantity) {
    if (!cents && !quantity) return;
    postings.push_back(Entry(r.listId, "", account, entity, item, cents, quantity));
    postings.back().date = date;
  };
  const std::int64_t opening = Cents(f.child_value("OpenBalance"));
  if (r.kind == "Customer" && opening) {
    post(b.Special("AccountsReceivable"), opening, r.listId, "", 0);
    post(b.Special("OpeningBalanceEquity"), -opening, "", "", 0);
  } else if (r.kind == "Vendor" && opening) {
    post(b.Special("AccountsPayable"), -opening, r.listId, "", 0);
    post(b.Special("OpeningBalanceEquity"), opening, "", "", 0);
  } else if (r.kind == "Account" && opening) {
    const std::int64_t cents = DebitNormal(f.child_value("AccountType")) ? opening : -opening;
    post(r.listId, cents, "", "", 0);
    post(b.Special("OpeningBalanceEquity"), -cents, "", "", 0);
  } else if (IsInventory(r.kind) && f.child("QuantityOnHand")) {
    const double quantity = std::strtod(f.child_value("QuantityOnHand"), nullptr);
    const std::int64_t value = Cents(f.child_value("TotalValue"));
    post(b.AccountOr(IdAt(f, "AssetAccountRef"), "InventoryAssets"), value, "", r.listId, quantity);
    post(b.Special("OpeningBalanceEquity"), -value, "", "", 0);
  }
  SetPostings(db, r.listId, postings);
}

std::map<std::string, std::string> ComputedFields(sqlite3* db, const Record& r) {
  // A price level is of the kind its prices are: a percentage of every price, or per item.
  if (r.kind == "PriceLevel")
    return {{"PriceLevelType", r.fields.find("<PriceLevelPerItem>") != std::string::npos ? "PerItem" : "FixedPercentage"}};
  Books b(db);
  std::map<std::string, std::string> out;
  if (IsInventory(r.kind)) {
    const Stock stock = StockOf(b, r.listId, "");
    out["QuantityOnHand"] = Decimal(stock.quantity);
    out["AverageCost"] = stock.quantity > 0 ? Decimal(static_cast<double>(stock.value) / 100.0 / stock.quantity) : "0";
    // Ordered and not yet received, sold on orders and not yet invoiced: the open orders' lines.
    for (const auto& [kind, element] : {std::pair{"PurchaseOrder", "QuantityOnOrder"},
                                        std::pair{"SalesOrder", "QuantityOnSalesOrder"}}) {
      double quantity = 0;
      for (const Txn& t : Txns(db, {kind})) {
        pugi::xml_document doc;
        doc.load_string(t.fields.c_str(), kStoredParse);
        std::vector<pugi::xml_node> lines = Elements(doc.document_element());
        for (size_t i = 0; i < lines.size(); ++i) {
          pugi::xml_node n = lines[i];
          if (IdAt(n, "ItemRef") == r.listId && std::string_view(n.child_value("IsManuallyClosed")) != "true")
            quantity += std::strtod(n.child_value("Quantity"), nullptr);
          for (pugi::xml_node c : Elements(n))
            if (catalogue::IsLine(c.name())) lines.push_back(c);
        }
      }
      out[element] = Decimal(quantity);
    }
    return out;
  }
  // Balances: an account's postings in its natural sign, a customer's receivables, a
  // vendor's payables; the total adds those of its sub-records (sub-accounts, jobs).
  auto balance = [&](const Record& x) -> std::optional<std::int64_t> {
    if (x.kind == "Account") {
      std::int64_t sum = 0;
      for (const Posting& p : PostingsTo(db, "account_id", x.listId)) sum += p.cents;
      return DebitNormal(b.AccountType(x.listId)) ? sum : -sum;
    }
    if (x.kind != "Customer" && x.kind != "Vendor") return std::nullopt;
    const char* type = x.kind == "Customer" ? "AccountsReceivable" : "AccountsPayable";
    std::int64_t sum = 0;
    for (const Posting& p : PostingsTo(db, "entity_id", x.listId))
      if (b.AccountType(p.accountId) == type) sum += p.cents;
    return x.kind == "Customer" ? sum : -sum;
  };
  const std::optional<std::int64_t> own = balance(r);
  if (!own) return out;
  std::int64_t total = *own;
  for (const Record& x : Records(db, {r.kind}))
    if (Fold(x.fullName).starts_with(Fold(r.fullName) + ":")) total += balance(x).value_or(0);
  out["Balance"] = Money(*own);
  out["TotalBalance"] = Money(total);
  return out;
}

int FiscalYearStart(sqlite3* db) {
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  pugi::xml_document doc;
  doc.load_string(Singleton(db, "Company").value_or("<Fields/>").c_str(), kStoredParse);
  const std::string month = doc.document_element().child_value("FirstMonthFiscalYear");
  for (int i = 0; i < 12; ++i)
    if (month == kMonths[i]) return i + 1;
  return 1;
}

// The views that are not records of their own: the bills a vendor has to be paid (with the
// credits to apply), and the payments waiting in undeposited funds.
std::optional<Answer> ServeView(Context& cx, pugi::xml_node rq, const std::string& kind,
                                const catalogue::ClassInfo& query) {
  if (kind != "BillToPay" && kind != "ReceivePaymentToDeposit") return std::nullopt;
  Validate(rq, query, cx.edition, rq.name());
  const std::set<std::string> only = IncludeRetElements(rq);
  const catalogue::ClassInfo& ret = *catalogue::FindClass(kind + "Ret");
  std::string body;
  size_t count = 0;
  auto row = [&](pugi::xml_node src) {
    ++count;
    if (WantsRecords(rq)) body += RetElement(cx, ret, src, only);
  };
  if (kind == "BillToPay") {
    std::string payee;
    if (pugi::xml_node ref = rq.child("PayeeEntityRef"))
      payee = Resolve(cx, ref, catalogue::FamilyKinds("Entity"), "Entity", "BillToPayQuery/PayeeEntityRef").listId;
    const std::string account = rq.child("APAccountRef")
                                    ? Resolve(cx, rq.child("APAccountRef"), {"Account"}, "Account",
                                              "BillToPayQuery/APAccountRef")
                                          .listId
                                    : "";
    const std::string due = rq.child_value("DueDate");
    for (const Txn& t : Txns(cx.db, {"Bill", "VendorCredit"})) {
      pugi::xml_document doc;
      doc.load_string(t.fields.c_str(), kStoredParse);
      pugi::xml_node f = doc.document_element();
      const std::int64_t open = OpenOf(cx.db, t);
      const std::string ap = IdAt(f, "APAccountRef").empty() ? Books(cx.db).Special("AccountsPayable")
                                                             : IdAt(f, "APAccountRef");
      if (open <= 0 || (!payee.empty() && IdAt(f, "VendorRef") != payee) || (!account.empty() && ap != account))
        continue;
      const bool bill = t.kind == "Bill";
      if (bill && !due.empty() && *f.child_value("DueDate") && std::string(f.child_value("DueDate")) > due) continue;
      pugi::xml_document view;
      pugi::xml_node entry = view.append_child("Fields").append_child(bill ? "BillToPay" : "CreditToApply");
      entry.append_child("TxnID").text() = t.txnId.c_str();
      entry.append_child("TxnType").text() = t.kind.c_str();
      entry.append_child("APAccountRef").append_child("ListID").text() = ap.c_str();
      entry.append_child("TxnDate").text() = t.txnDate.c_str();
      if (!t.refNumber.empty()) entry.append_child("RefNumber").text() = t.refNumber.c_str();
      if (bill && *f.child_value("DueDate")) entry.append_child("DueDate").text() = f.child_value("DueDate");
      entry.append_child(bill ? "AmountDue" : "CreditRemaining").text() = Money(open).c_str();
      row(view.document_element());
    }
  } else {
    Books b(cx.db);
    const std::string undeposited = b.Special("UndepositedFunds");
    for (const Txn& t : Txns(cx.db, {"ReceivePayment", "SalesReceipt"})) {
      std::int64_t waiting = 0;
      for (const Posting& p : PostingsOf(cx.db, t.txnId))
        if (p.accountId == undeposited) waiting += p.cents;
      for (const Application& a : ApplicationsBy(cx.db, "to_txn", t.txnId)) waiting -= a.cents;
      if (waiting <= 0) continue;
      pugi::xml_document doc;
      doc.load_string(t.fields.c_str(), kStoredParse);
      pugi::xml_document view;
      pugi::xml_node src = view.append_child("Fields");
      src.append_child("TxnID").text() = t.txnId.c_str();
      src.append_child("TxnType").text() = t.kind.c_str();
      if (std::string customer = IdAt(doc.document_element(), "CustomerRef"); !customer.empty())
        src.append_child("CustomerRef").append_child("ListID").text() = customer.c_str();
      src.append_child("TxnDate").text() = t.txnDate.c_str();
      if (!t.refNumber.empty()) src.append_child("RefNumber").text() = t.refNumber.c_str();
      src.append_child("Amount").text() = Money(waiting).c_str();
      row(src);
    }
  }
  return Listing(rq, count, std::move(body), kNothingFound);
}

}  // namespace vtfc4::sandbox::books
