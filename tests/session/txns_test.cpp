// Transactions through the session manager, the sandbox's real in-process processor and a real
// company file: a company's month booked step by step, with the balances, open amounts,
// quantities on hand and the trial balance an accountant works out by hand after each step;
// and every transaction kind added, read back with its lines, modified and deleted or voided.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "company_session.h"

namespace vtfc4 {
namespace {

using std::string_literals::operator""s;

std::string Ref(const char* element, const std::string& name) {
  return std::string("<") + element + "><FullName>" + name + "</FullName></" + element + ">";
}

class Txns : public CompanySession {
 protected:
  void SetUpCompany();
  // The record of `kind` named `name` (a list record by FullName, a transaction by TxnID).
  ComPtr<IVTBase> Find(const std::string& kind, const std::string& key, bool txn) {
    const Reply reply = Send("<" + kind + "QueryRq><" + (txn ? "TxnID" : "FullName") + ">" + key + "</" +
                             (txn ? "TxnID" : "FullName") + "></" + kind + "QueryRq>");
    EXPECT_EQ(reply.code, 0) << kind << " " << key << ": " << reply.message;
    return reply.records.empty() ? ComPtr<IVTBase>() : reply.records[0];
  }
  std::string Figure(const std::string& kind, const std::string& key, const std::string& element, bool txn) {
    ComPtr<IVTBase> record = Find(kind, key, txn);
    return record ? Field(record.Get(), element) : "<none>";
  }
  // Debits less credits over every account: zero when the ledger balances. An account's
  // Balance is in its natural sign, so the credit-normal ones are subtracted.
  long TrialBalance() {
    const Reply reply = Send("<AccountQueryRq><ActiveStatus>All</ActiveStatus></AccountQueryRq>");
    long cents = 0;
    for (const auto& account : reply.records) {
      const std::string type = Field(account.Get(), "AccountType");
      const long balance = std::lround(std::stod(Field(account.Get(), "Balance")) * 100);
      const bool debit = type == "Bank" || type == "AccountsReceivable" || type == "OtherCurrentAsset" ||
                         type == "FixedAsset" || type == "OtherAsset" || type == "Expense" ||
                         type == "OtherExpense" || type == "CostOfGoodsSold";
      cents += debit ? balance : -balance;
    }
    return cents;
  }
};

// One step of the month: a request, the status it is answered with, the name its TxnID is
// kept under for later steps ("{name}" in their texts), and what the books show afterwards.
struct Check {
  const char* kind;
  std::string key;  // a list record's FullName, or "{name}" of a transaction kept
  const char* element;
  const char* expected;
};
struct Step {
  const char* what;
  std::string request;
  LONG code;
  const char* keep;
  std::vector<Check> after;
};

TEST_F(Txns, AMonthOfBooksAddsUp) {
  Open("US");
  const std::string setup[] = {
      "<AccountAddRq><AccountAdd><Name>Checking</Name><AccountType>Bank</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Sales</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Services</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Office</Name><AccountType>Expense</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Shrinkage</Name><AccountType>CostOfGoodsSold</AccountType></AccountAdd>"
      "</AccountAddRq>",
      "<VendorAddRq><VendorAdd><Name>Supplier</Name></VendorAdd></VendorAddRq>",
      "<ItemSalesTaxAddRq><ItemSalesTaxAdd><Name>State Tax</Name><TaxRate>8</TaxRate>" +
          Ref("TaxVendorRef", "Supplier") + "</ItemSalesTaxAdd></ItemSalesTaxAddRq>",
      "<CustomerAddRq><CustomerAdd><Name>Acme</Name>" + Ref("ItemSalesTaxRef", "State Tax") +
          "</CustomerAdd></CustomerAddRq>",
      "<ItemServiceAddRq><ItemServiceAdd><Name>Consulting</Name>" + Ref("SalesTaxCodeRef", "Non") +
          "<SalesOrPurchase><Price>100.00</Price>" + Ref("AccountRef", "Services") +
          "</SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>",
      "<ItemInventoryAddRq><ItemInventoryAdd><Name>Widget</Name>" + Ref("SalesTaxCodeRef", "Tax") +
          "<SalesPrice>25.00</SalesPrice>" + Ref("IncomeAccountRef", "Sales") + "<PurchaseCost>10.00</PurchaseCost>" +
          Ref("COGSAccountRef", "Cost of Goods Sold") + Ref("AssetAccountRef", "Inventory Asset") +
          "</ItemInventoryAdd></ItemInventoryAddRq>",
      "<ItemGroupAddRq><ItemGroupAdd><Name>Bundle</Name><ItemGroupLine>" + Ref("ItemRef", "Widget") +
          "<Quantity>2</Quantity></ItemGroupLine><ItemGroupLine>" + Ref("ItemRef", "Consulting") +
          "<Quantity>1</Quantity></ItemGroupLine></ItemGroupAdd></ItemGroupAddRq>",
  };
  for (const std::string& request : setup) ASSERT_EQ(Send(request).code, 0) << request;

  const Step steps[] = {
      {"ten widgets bought at 10.00 on a bill",
       "<BillAddRq><BillAdd>" + Ref("VendorRef", "Supplier") + "<TxnDate>2024-12-02</TxnDate><RefNumber>B-1</RefNumber>"
       "<ItemLineAdd>" + Ref("ItemRef", "Widget") + "<Quantity>10</Quantity><Cost>10.00</Cost></ItemLineAdd>"
       "</BillAdd></BillAddRq>",
       0, "bill",
       {{"Bill", "{bill}", "AmountDue", "100.00"},
        {"Bill", "{bill}", "IsPaid", "0"},
        {"Account", "Accounts Payable", "Balance", "100.00"},
        {"Account", "Inventory Asset", "Balance", "100.00"},
        {"Vendor", "Supplier", "Balance", "100.00"},
        {"ItemInventory", "Widget", "QuantityOnHand", "10"},
        {"ItemInventory", "Widget", "AverageCost", "10"}}},
      // 2 hours of consulting at the item's 100.00 (not taxable), 3 widgets at 25.00 and a
      // bundle (2 widgets, 1 hour): 425.00, of which 125.00 of widgets is taxed at 8%.
      {"an invoice with lines, a line group and sales tax",
       "<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Acme") + "<TxnDate>2024-12-03</TxnDate>"
       "<RefNumber>1001</RefNumber>"
       "<InvoiceLineAdd>" + Ref("ItemRef", "Consulting") + "<Quantity>2</Quantity></InvoiceLineAdd>"
       "<InvoiceLineAdd>" + Ref("ItemRef", "Widget") + "<Quantity>3</Quantity></InvoiceLineAdd>"
       "<InvoiceLineGroupAdd>" + Ref("ItemGroupRef", "Bundle") + "</InvoiceLineGroupAdd>"
       "</InvoiceAdd></InvoiceAddRq>",
       0, "invoice",
       {{"Invoice", "{invoice}", "Subtotal", "425.00"},
        {"Invoice", "{invoice}", "SalesTaxPercentage", "8"},
        {"Invoice", "{invoice}", "SalesTaxTotal", "10.00"},
        {"Invoice", "{invoice}", "BalanceRemaining", "435.00"},
        {"Customer", "Acme", "Balance", "435.00"},
        {"Account", "Sales", "Balance", "125.00"},
        {"Account", "Services", "Balance", "300.00"},
        {"Account", "Sales Tax Payable", "Balance", "10.00"},
        {"Account", "Cost of Goods Sold", "Balance", "50.00"},
        {"Account", "Inventory Asset", "Balance", "50.00"},
        {"ItemInventory", "Widget", "QuantityOnHand", "5"}}},
      {"a payment of part of it",
       "<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Acme") +
           "<TxnDate>2024-12-10</TxnDate><RefNumber>CHK-77</RefNumber><TotalAmount>200.00</TotalAmount>"
           "<AppliedToTxnAdd><TxnID>{invoice}</TxnID><PaymentAmount>200.00</PaymentAmount></AppliedToTxnAdd>"
           "</ReceivePaymentAdd></ReceivePaymentAddRq>",
       0, "payment1",
       {{"Invoice", "{invoice}", "BalanceRemaining", "235.00"},
        {"Invoice", "{invoice}", "AppliedAmount", "-200.00"},
        {"Invoice", "{invoice}", "IsPaid", "0"},
        {"ReceivePayment", "{payment1}", "UnusedPayment", "0.00"},
        {"Customer", "Acme", "Balance", "235.00"},
        {"Account", "Undeposited Funds", "Balance", "200.00"},
        {"Account", "Accounts Receivable", "Balance", "235.00"}}},
      {"more than is open cannot be paid",
       "<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Acme") +
           "<AppliedToTxnAdd><TxnID>{invoice}</TxnID><PaymentAmount>300.00</PaymentAmount></AppliedToTxnAdd>"
           "</ReceivePaymentAdd></ReceivePaymentAddRq>",
       3070, nullptr, {{"Invoice", "{invoice}", "BalanceRemaining", "235.00"}}},
      {"a credit memo for an hour not worked",
       "<CreditMemoAddRq><CreditMemoAdd>" + Ref("CustomerRef", "Acme") + "<TxnDate>2024-12-11</TxnDate>"
       "<CreditMemoLineAdd>" + Ref("ItemRef", "Consulting") + "<Quantity>1</Quantity></CreditMemoLineAdd>"
       "</CreditMemoAdd></CreditMemoAddRq>",
       0, "credit",
       {{"CreditMemo", "{credit}", "TotalAmount", "100.00"},
        {"CreditMemo", "{credit}", "CreditRemaining", "100.00"},
        {"Customer", "Acme", "Balance", "135.00"},
        {"Account", "Services", "Balance", "200.00"}}},
      {"the rest paid, with the credit applied",
       "<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Acme") +
           "<TxnDate>2024-12-20</TxnDate><TotalAmount>135.00</TotalAmount>"
           "<AppliedToTxnAdd><TxnID>{invoice}</TxnID><PaymentAmount>135.00</PaymentAmount>"
           "<SetCredit><CreditTxnID>{credit}</CreditTxnID><AppliedAmount>100.00</AppliedAmount></SetCredit>"
           "</AppliedToTxnAdd></ReceivePaymentAdd></ReceivePaymentAddRq>",
       0, "payment2",
       {{"Invoice", "{invoice}", "BalanceRemaining", "0.00"},
        {"Invoice", "{invoice}", "IsPaid", "1"},
        {"CreditMemo", "{credit}", "CreditRemaining", "0.00"},
        {"Customer", "Acme", "Balance", "0.00"},
        {"Account", "Accounts Receivable", "Balance", "0.00"},
        {"Account", "Undeposited Funds", "Balance", "335.00"}}},
      {"an invoice with payments applied is kept",
       "<TxnDelRq><TxnDelType>Invoice</TxnDelType><TxnID>{invoice}</TxnID></TxnDelRq>", 3170, nullptr,
       {{"Invoice", "{invoice}", "IsPaid", "1"}}},
      {"the bill paid by check",
       "<BillPaymentCheckAddRq><BillPaymentCheckAdd>" + Ref("PayeeEntityRef", "Supplier") +
           Ref("BankAccountRef", "Checking") +
           "<AppliedToTxnAdd><TxnID>{bill}</TxnID><PaymentAmount>100.00</PaymentAmount></AppliedToTxnAdd>"
           "</BillPaymentCheckAdd></BillPaymentCheckAddRq>",
       0, "billpayment",
       {{"BillPaymentCheck", "{billpayment}", "Amount", "100.00"},
        {"Bill", "{bill}", "IsPaid", "1"},
        {"Bill", "{bill}", "OpenAmount", "0.00"},
        {"Vendor", "Supplier", "Balance", "0.00"},
        {"Account", "Checking", "Balance", "-100.00"}}},
      {"both payments deposited",
       "<DepositAddRq><DepositAdd><TxnDate>2024-12-21</TxnDate>" + Ref("DepositToAccountRef", "Checking") +
           "<DepositLineAdd><PaymentTxnID>{payment1}</PaymentTxnID></DepositLineAdd>"
           "<DepositLineAdd><PaymentTxnID>{payment2}</PaymentTxnID></DepositLineAdd>"
           "</DepositAdd></DepositAddRq>",
       0, "deposit",
       {{"Deposit", "{deposit}", "DepositTotal", "335.00"},
        {"Account", "Undeposited Funds", "Balance", "0.00"},
        {"Account", "Checking", "Balance", "235.00"}}},
      {"a widget lost, at its average cost",
       "<InventoryAdjustmentAddRq><InventoryAdjustmentAdd>" + Ref("AccountRef", "Shrinkage") +
           "<InventoryAdjustmentLineAdd>" + Ref("ItemRef", "Widget") +
           "<QuantityAdjustment><QuantityDifference>-1</QuantityDifference></QuantityAdjustment>"
           "</InventoryAdjustmentLineAdd></InventoryAdjustmentAdd></InventoryAdjustmentAddRq>",
       0, nullptr,
       {{"ItemInventory", "Widget", "QuantityOnHand", "4"},
        {"Account", "Inventory Asset", "Balance", "40.00"},
        {"Account", "Shrinkage", "Balance", "10.00"}}},
      {"a check for office supplies",
       "<CheckAddRq><CheckAdd>" + Ref("AccountRef", "Checking") + Ref("PayeeEntityRef", "Supplier") +
           "<ExpenseLineAdd>" + Ref("AccountRef", "Office") + "<Amount>30.00</Amount></ExpenseLineAdd>"
           "</CheckAdd></CheckAddRq>",
       0, "check",
       {{"Check", "{check}", "Amount", "30.00"},
        {"Account", "Office", "Balance", "30.00"},
        {"Account", "Checking", "Balance", "205.00"}}},
      {"the check voided",
       "<TxnVoidRq><TxnVoidType>Check</TxnVoidType><TxnID>{check}</TxnID></TxnVoidRq>", 0, nullptr,
       {{"Check", "{check}", "Amount", "0.00"},
        {"Check", "{check}", "Memo", "VOID: "},
        {"Account", "Office", "Balance", "0.00"},
        {"Account", "Checking", "Balance", "235.00"}}},
      {"a journal entry whose sides differ",
       "<JournalEntryAddRq><JournalEntryAdd><JournalDebitLine>" + Ref("AccountRef", "Office") +
           "<Amount>5.00</Amount></JournalDebitLine><JournalCreditLine>" + Ref("AccountRef", "Checking") +
           "<Amount>4.00</Amount></JournalCreditLine></JournalEntryAdd></JournalEntryAddRq>",
       3060, nullptr, {{"Account", "Office", "Balance", "0.00"}}},
      {"an invoice made by mistake", "<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Acme") +
           "<InvoiceLineAdd>" + Ref("ItemRef", "Widget") + "<Quantity>1</Quantity></InvoiceLineAdd>"
           "</InvoiceAdd></InvoiceAddRq>",
       0, "mistake",
       {{"Customer", "Acme", "Balance", "27.00"}, {"ItemInventory", "Widget", "QuantityOnHand", "3"}}},
      {"and deleted", "<TxnDelRq><TxnDelType>Invoice</TxnDelType><TxnID>{mistake}</TxnID></TxnDelRq>", 0, nullptr,
       {{"Customer", "Acme", "Balance", "0.00"},
        {"ItemInventory", "Widget", "QuantityOnHand", "4"},
        {"Account", "Sales", "Balance", "125.00"}}},
  };
  std::map<std::string, std::string> kept;
  auto fill = [&](std::string text) {
    for (const auto& [name, id] : kept)
      for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) text.replace(at, name.size() + 2, id);
    return text;
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const Reply reply = Send(fill(step.request));
    ASSERT_EQ(reply.code, step.code) << reply.message;
    if (step.keep) kept[step.keep] = Field(reply.records.at(0).Get(), "TxnID");
    if (step.keep && std::string(step.keep) == "invoice") {
      // Every line has its TxnLineID: two lines, the group and the two lines it was made into.
      size_t ids = 0;
      for (size_t at = 0; (at = reply.xml.find("<TxnLineID>", at)) != std::string::npos; ++at) ++ids;
      EXPECT_EQ(ids, 5u) << reply.xml;
    }
    for (const Check& c : step.after)
      EXPECT_EQ(Figure(c.kind, fill(c.key), c.element, c.key[0] == '{'), c.expected) << c.kind << " " << c.key << " " << c.element;
    EXPECT_EQ(TrialBalance(), 0);
  }
}

// The records every kind below names.
void Txns::SetUpCompany() {
  const std::string setup[] = {
      "<AccountAddRq><AccountAdd><Name>Checking</Name><AccountType>Bank</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Visa</Name><AccountType>CreditCard</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Sales</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>",
      "<AccountAddRq><AccountAdd><Name>Office</Name><AccountType>Expense</AccountType></AccountAdd></AccountAddRq>",
      "<CustomerAddRq><CustomerAdd><Name>Acme</Name></CustomerAdd></CustomerAddRq>",
      "<VendorAddRq><VendorAdd><Name>Supplier</Name></VendorAdd></VendorAddRq>",
      "<ItemServiceAddRq><ItemServiceAdd><Name>Consulting</Name><SalesOrPurchase><Price>100.00</Price>" +
          Ref("AccountRef", "Sales") + "</SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>",
      "<ItemInventoryAddRq><ItemInventoryAdd><Name>Widget</Name><SalesPrice>25.00</SalesPrice>" +
          Ref("IncomeAccountRef", "Sales") + "<PurchaseCost>10.00</PurchaseCost>" +
          Ref("COGSAccountRef", "Cost of Goods Sold") + Ref("AssetAccountRef", "Inventory Asset") +
          "<QuantityOnHand>10</QuantityOnHand><TotalValue>100.00</TotalValue></ItemInventoryAdd></ItemInventoryAddRq>",
  };
  for (const std::string& request : setup) ASSERT_EQ(Send(request).code, 0) << request;
}

// The Ret element of the first response of an answer, and the count of its children named
// `element`.
pugi::xml_node RetOf(const pugi::xml_document& doc) {
  return doc.child("VTXML").child("VTXMLMsgsRs").first_child().first_child();
}
size_t Count(pugi::xml_node node, const char* element) {
  size_t n = 0;
  for (pugi::xml_node c : node.children(element)) n += c ? 1 : 0;
  return n;
}

struct Kind {
  const char* kind;
  std::string add;        // the body of <kind>Add
  const char* lines;      // the answer's element of its lines
  std::string mod;        // the change of the Mod; "{line}" is the first line's TxnLineID; "" without Mod
  size_t linesAfterMod;   // how many lines the Mod leaves
  const char* figure;     // an element the Mod changes, and its value after it
  const char* value;
  bool voided;            // removed by TxnVoid (else TxnDel)
};

std::string Line(const char* element, const std::string& item, const char* quantity) {
  return std::string("<") + element + ">" + Ref("ItemRef", item) + "<Quantity>" + quantity + "</Quantity></" +
         element + ">";
}
std::string Expense(const char* amount) {
  return "<ExpenseLineAdd>" + Ref("AccountRef", "Office") + "<Amount>" + amount + "</Amount></ExpenseLineAdd>";
}
// A Mod of a sales form: the first line to 2 hours, and a new line of one more.
std::string SalesMod(const char* line) {
  return std::string("<") + line + "><TxnLineID>{line}</TxnLineID><Quantity>2</Quantity></" + line + "><" + line +
         "><TxnLineID>-1</TxnLineID>" + Ref("ItemRef", "Consulting") + "</" + line + ">";
}

TEST_F(Txns, EveryKindAddedReadModifiedAndRemoved) {
  Open("US");
  SetUpCompany();
  const Reply bill = Send("<BillAddRq><BillAdd>" + Ref("VendorRef", "Supplier") + Expense("50.00") +
                          "</BillAdd></BillAddRq>");
  ASSERT_EQ(bill.code, 0) << bill.message;
  const std::string billId = Field(bill.records.at(0).Get(), "TxnID");
  const std::string acme = Ref("CustomerRef", "Acme"), supplier = Ref("VendorRef", "Supplier");
  const Kind kinds[] = {
      {"Invoice", acme + Line("InvoiceLineAdd", "Consulting", "1"), "InvoiceLineRet", SalesMod("InvoiceLineMod"), 2,
       "Subtotal", "300.00", false},
      {"CreditMemo", acme + Line("CreditMemoLineAdd", "Consulting", "1"), "CreditMemoLineRet",
       SalesMod("CreditMemoLineMod"), 2, "TotalAmount", "300.00", false},
      {"Estimate", acme + Line("EstimateLineAdd", "Consulting", "1"), "EstimateLineRet", SalesMod("EstimateLineMod"), 2,
       "TotalAmount", "300.00", false},
      {"SalesOrder", acme + Line("SalesOrderLineAdd", "Consulting", "1"), "SalesOrderLineRet",
       SalesMod("SalesOrderLineMod"), 2, "TotalAmount", "300.00", false},
      {"PurchaseOrder", supplier + Line("PurchaseOrderLineAdd", "Widget", "4"), "PurchaseOrderLineRet",
       "<PurchaseOrderLineMod><TxnLineID>{line}</TxnLineID><Quantity>5</Quantity></PurchaseOrderLineMod>", 1,
       "TotalAmount", "50.00", false},
      {"SalesReceipt", acme + Line("SalesReceiptLineAdd", "Consulting", "1"), "SalesReceiptLineRet", "", 1, "", "",
       true},
      {"Bill", supplier + Expense("10.00"), "ExpenseLineRet",
       "<ExpenseLineMod><TxnLineID>{line}</TxnLineID><Amount>15.00</Amount></ExpenseLineMod>", 1, "AmountDue", "15.00",
       true},
      {"ItemReceipt", supplier + Expense("10.00") + Line("ItemLineAdd", "Widget", "2"), "ExpenseLineRet",
       "<ClearExpenseLines>true</ClearExpenseLines>", 0, "TotalAmount", "20.00", false},
      {"VendorCredit", supplier + Expense("10.00"), "ExpenseLineRet", "", 1, "", "", true},
      {"Check", Ref("AccountRef", "Checking") + Expense("10.00"), "ExpenseLineRet", "", 1, "", "", true},
      {"CreditCardCharge", Ref("AccountRef", "Visa") + Expense("10.00"), "ExpenseLineRet", "", 1, "", "", true},
      {"CreditCardCredit", Ref("AccountRef", "Visa") + Expense("10.00"), "ExpenseLineRet", "", 1, "", "", true},
      {"JournalEntry",
       "<JournalDebitLine>" + Ref("AccountRef", "Office") + "<Amount>5.00</Amount></JournalDebitLine>"
       "<JournalCreditLine>" + Ref("AccountRef", "Checking") + "<Amount>5.00</Amount></JournalCreditLine>",
       "JournalDebitLine", "", 1, "", "", true},
      {"Deposit",
       Ref("DepositToAccountRef", "Checking") + "<DepositLineAdd>" + Ref("AccountRef", "Sales") +
           "<Amount>20.00</Amount></DepositLineAdd>",
       "DepositLineRet", "", 1, "", "", true},
      {"InventoryAdjustment",
       Ref("AccountRef", "Office") + "<InventoryAdjustmentLineAdd>" + Ref("ItemRef", "Widget") +
           "<QuantityAdjustment><NewQuantity>8</NewQuantity></QuantityAdjustment></InventoryAdjustmentLineAdd>",
       "InventoryAdjustmentLineRet", "", 1, "", "", true},
      {"Charge", acme + Ref("ItemRef", "Consulting") + "<Quantity>1</Quantity>", "ItemRef", "<Quantity>3</Quantity>", 1,
       "Amount", "300.00", false},
      {"TimeTracking", Ref("EntityRef", "Supplier") + "<Duration>PT2H</Duration>", "EntityRef", "", 1, "", "", false},
      {"ReceivePayment", acme + "<TotalAmount>10.00</TotalAmount><IsAutoApply>false</IsAutoApply>", "CustomerRef", "",
       1, "", "", false},
      {"BillPaymentCheck",
       Ref("PayeeEntityRef", "Supplier") + Ref("BankAccountRef", "Checking") + "<AppliedToTxnAdd><TxnID>" + billId +
           "</TxnID><PaymentAmount>5.00</PaymentAmount></AppliedToTxnAdd>",
       "AppliedToTxnRet", "", 1, "", "", false},
      {"BillPaymentCreditCard",
       Ref("PayeeEntityRef", "Supplier") + Ref("CreditCardAccountRef", "Visa") + "<AppliedToTxnAdd><TxnID>" + billId +
           "</TxnID><PaymentAmount>5.00</PaymentAmount></AppliedToTxnAdd>",
       "AppliedToTxnRet", "", 1, "", "", false},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.kind);
    const std::string kind = k.kind;
    const Reply added = Send("<" + kind + "AddRq><" + kind + "Add>" + k.add + "</" + kind + "Add></" + kind + "AddRq>");
    ASSERT_EQ(added.code, 0) << added.message;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(added.xml.c_str()));
    const std::string id = RetOf(doc).child_value("TxnID"), edit = RetOf(doc).child_value("EditSequence");
    EXPECT_EQ(Count(RetOf(doc), k.lines), 1u) << added.xml;
    const std::string line = RetOf(doc).child(k.lines).child_value("TxnLineID");

    const Reply found = Send("<" + kind + "QueryRq><TxnID>" + id + "</TxnID></" + kind + "QueryRq>");
    ASSERT_EQ(found.code, 0) << found.message;
    EXPECT_EQ(Field(found.records.at(0).Get(), "TxnID"), id);

    if (!k.mod.empty()) {
      std::string change = k.mod;
      for (size_t at; (at = change.find("{line}")) != std::string::npos;) change.replace(at, 6, line);
      const Reply modified = Send("<" + kind + "ModRq><" + kind + "Mod><TxnID>" + id + "</TxnID><EditSequence>" + edit +
                                  "</EditSequence>" + change + "</" + kind + "Mod></" + kind + "ModRq>");
      ASSERT_EQ(modified.code, 0) << modified.message;
      pugi::xml_document after;
      ASSERT_TRUE(after.load_string(modified.xml.c_str()));
      EXPECT_EQ(Count(RetOf(after), k.lines), k.linesAfterMod) << modified.xml;
      EXPECT_STREQ(RetOf(after).child_value(k.figure), k.value) << modified.xml;
      if (k.linesAfterMod > 0) {
        EXPECT_STREQ(RetOf(after).child(k.lines).child_value("TxnLineID"), line.c_str());
      }
    }

    const std::string how = k.voided ? "Void" : "Del";
    const Reply removed = Send("<Txn" + how + "Rq><Txn" + how + "Type>" + kind + "</Txn" + how + "Type><TxnID>" + id +
                               "</TxnID></Txn" + how + "Rq>");
    ASSERT_EQ(removed.code, 0) << removed.message;
    const Reply again = Send("<" + kind + "QueryRq><TxnID>" + id + "</TxnID></" + kind + "QueryRq>");
    if (k.voided) {
      EXPECT_EQ(again.code, 0);
    } else {
      EXPECT_EQ(again.code, 500);
      const Reply log = Send("<TxnDeletedQueryRq><TxnDelType>" + kind + "</TxnDelType></TxnDeletedQueryRq>");
      ASSERT_EQ(log.code, 0) << log.message;
      EXPECT_NE(log.xml.find(id), std::string::npos);
    }
  }
  // Whatever was added and taken away, the books balance.
  EXPECT_EQ(TrialBalance(), 0);
}

// The ids of the records of an answer, in order.
std::vector<std::string> Ids(const Reply& reply, const char* element = "TxnID") {
  std::vector<std::string> ids;
  for (const auto& r : reply.records) ids.push_back(Field(r.Get(), element));
  return ids;
}

TEST_F(Txns, MacrosQueriesViewsAndExtensions) {
  Open("US");
  SetUpCompany();
  // An invoice and its payment in one message set: the payment names the invoice by the macro
  // the invoice defined.
  const std::string invoice = "<InvoiceAddRq><InvoiceAdd defMacro=\"TxnID:inv\">" + Ref("CustomerRef", "Acme") +
                              "<TxnDate>2024-12-03</TxnDate><RefNumber>A-7</RefNumber>" +
                              Line("InvoiceLineAdd", "Consulting", "1") + "</InvoiceAdd></InvoiceAddRq>";
  const Reply both = Send(invoice + "<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Acme") +
                          "<AppliedToTxnAdd><TxnID useMacro=\"TxnID:inv\"/><PaymentAmount>40.00</PaymentAmount>"
                          "</AppliedToTxnAdd></ReceivePaymentAdd></ReceivePaymentAddRq>");
  ASSERT_EQ(both.code, 0) << both.message;
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(both.xml.c_str()));
  pugi::xml_node rs = doc.child("VTXML").child("VTXMLMsgsRs");
  const std::string first = rs.first_child().first_child().child_value("TxnID");
  pugi::xml_node applied = rs.last_child().first_child().child("AppliedToTxnRet");
  EXPECT_EQ(std::string(applied.child_value("TxnID")), first) << both.xml;
  EXPECT_STREQ(applied.child_value("TxnType"), "Invoice");
  EXPECT_STREQ(applied.child_value("BalanceRemaining"), "60.00");
  EXPECT_STREQ(rs.last_child().first_child().child_value("TotalAmount"), "40.00");
  // A macro nobody defined, and one on an identifier that takes none, are refused.
  for (const char* wrong : {"<AppliedToTxnAdd><TxnID useMacro=\"TxnID:none\"/></AppliedToTxnAdd>",
                            "<AppliedToTxnAdd><TxnID>x</TxnID><TxnLineDetail><TxnLineID useMacro=\"TxnID:inv\"/>"
                            "<Amount>1.00</Amount></TxnLineDetail></AppliedToTxnAdd>"})
    EXPECT_EQ(Send("<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Acme") + wrong +
                   "</ReceivePaymentAdd></ReceivePaymentAddRq>")
                  .code,
              3000)
        << wrong;

  // A second invoice, paid in full, and a third left open.
  ASSERT_EQ(Send("<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Acme") +
                 "<TxnDate>2024-12-05</TxnDate><RefNumber>A-8</RefNumber><InvoiceLineAdd><Amount>10.00</Amount>"
                 "</InvoiceLineAdd></InvoiceAdd></InvoiceAddRq><ReceivePaymentAddRq><ReceivePaymentAdd>" +
                 Ref("CustomerRef", "Acme") + "<TotalAmount>70.00</TotalAmount><IsAutoApply>true</IsAutoApply>"
                 "</ReceivePaymentAdd></ReceivePaymentAddRq>")
                .code,
            0);
  ASSERT_EQ(Send("<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Acme") +
                 "<TxnDate>2024-12-09</TxnDate><RefNumber>B-1</RefNumber><InvoiceLineAdd><Amount>5.00</Amount>"
                 "</InvoiceLineAdd></InvoiceAdd></InvoiceAddRq>")
                .code,
            0);
  struct Query {
    const char* what;
    std::string body;
    std::vector<std::string> refs;  // the RefNumbers answered, in order; empty: status 1
  };
  const Query queries[] = {
      // The automatic payment paid the oldest first: A-7's 60.00, then A-8's 10.00.
      {"paid", "<PaidStatus>PaidOnly</PaidStatus>", {"A-7", "A-8"}},
      {"open", "<PaidStatus>NotPaidOnly</PaidStatus>", {"B-1"}},
      {"by date", "<TxnDateRangeFilter><FromTxnDate>2024-12-04</FromTxnDate><ToTxnDate>2024-12-09</ToTxnDate>"
                  "</TxnDateRangeFilter>",
       {"A-8", "B-1"}},
      {"by customer", "<EntityFilter><FullName>Acme</FullName></EntityFilter>", {"A-7", "A-8", "B-1"}},
      {"by another customer", "<EntityFilter><FullName>Supplier</FullName></EntityFilter>", {}},
      {"by account", "<AccountFilter><FullName>Sales</FullName></AccountFilter>", {"A-7"}},
      {"starting with", "<RefNumberFilter><MatchCriterion>StartsWith</MatchCriterion><RefNumber>a-</RefNumber>"
                        "</RefNumberFilter>",
       {"A-7", "A-8"}},
      {"in a range", "<RefNumberRangeFilter><FromRefNumber>A-8</FromRefNumber><ToRefNumber>B-9</ToRefNumber>"
                     "</RefNumberRangeFilter>",
       {"A-8", "B-1"}},
      {"at most one", "<MaxReturned>1</MaxReturned>", {"A-7"}},
      {"by reference number", "<RefNumber>b-1</RefNumber>", {"B-1"}},
  };
  for (const Query& q : queries) {
    const Reply reply = Send("<InvoiceQueryRq>" + q.body + "</InvoiceQueryRq>");
    EXPECT_EQ(reply.code, q.refs.empty() ? 1 : 0) << q.what << ": " << reply.message;
    EXPECT_EQ(Ids(reply, "RefNumber"), q.refs) << q.what;
  }
  // Lines and links only when asked for.
  for (const char* include : {"", "<IncludeLineItems>true</IncludeLineItems><IncludeLinkedTxns>true</IncludeLinkedTxns>"}) {
    const Reply reply = Send("<InvoiceQueryRq><TxnID>" + first + "</TxnID>" + include + "</InvoiceQueryRq>");
    const bool asked = *include != '\0';
    EXPECT_EQ(reply.xml.find("<InvoiceLineRet>") != std::string::npos, asked) << reply.xml;
    EXPECT_EQ(reply.xml.find("<LinkedTxn>") != std::string::npos, asked) << reply.xml;
  }
  // By TxnID: every invoice named, in the order made; a payment's TxnID names no invoice.
  const std::string last = Ids(Send("<InvoiceQueryRq><RefNumber>B-1</RefNumber></InvoiceQueryRq>")).at(0);
  EXPECT_EQ(Ids(Send("<InvoiceQueryRq><TxnID>" + last + "</TxnID><TxnID>" + first + "</TxnID></InvoiceQueryRq>"),
                "RefNumber"),
            (std::vector<std::string>{"A-7", "B-1"}));
  const std::string payment = rs.last_child().first_child().child_value("TxnID");
  EXPECT_EQ(Send("<InvoiceQueryRq><TxnID>" + payment + "</TxnID></InvoiceQueryRq>").code, 500);

  // Across kinds: every transaction of the customer, summaries or postings.
  const Reply all = Send("<TransactionQueryRq><TransactionEntityFilter><FullName>Acme</FullName>"
                         "</TransactionEntityFilter></TransactionQueryRq>");
  ASSERT_EQ(all.code, 0) << all.message;
  EXPECT_EQ(Ids(all, "TxnType"),
            (std::vector<std::string>{"Invoice", "ReceivePayment", "Invoice", "ReceivePayment", "Invoice"}));
  const Reply payments = Send("<TransactionQueryRq><TransactionTypeFilter><TxnTypeFilter>ReceivePayment"
                              "</TxnTypeFilter></TransactionTypeFilter><TransactionDetailLevelFilter>All"
                              "</TransactionDetailLevelFilter></TransactionQueryRq>");
  // Each payment: its summary, the money into undeposited funds and out of receivables.
  EXPECT_EQ(payments.records.size(), 6u) << payments.xml;
  EXPECT_EQ(Send("<TransactionQueryRq><TransactionPaidStatusFilter>Open</TransactionPaidStatusFilter>"
                 "</TransactionQueryRq>")
                .records.size(),
            1u);

  // The views: the payments waiting to be deposited, the bills to pay.
  EXPECT_EQ(Send("<ReceivePaymentToDepositQueryRq/>").records.size(), 2u);
  ASSERT_EQ(Send("<BillAddRq><BillAdd>" + Ref("VendorRef", "Supplier") + "<DueDate>2024-12-31</DueDate>" +
                 Expense("12.00") + "</BillAdd></BillAddRq>")
                .code,
            0);
  const Reply toPay = Send("<BillToPayQueryRq>" + Ref("PayeeEntityRef", "Supplier") + "</BillToPayQueryRq>");
  ASSERT_EQ(toPay.code, 0) << toPay.message;
  EXPECT_NE(toPay.xml.find("<AmountDue>12.00</AmountDue>"), std::string::npos) << toPay.xml;

  // A data extension on a transaction, answered with it for its owner.
  const std::string owner = "{6B063959-81B0-4f2c-A2CB-1E5B6B8FC3E1}";
  ASSERT_EQ(Send("<DataExtDefAddRq><DataExtDefAdd><OwnerID>" + owner + "</OwnerID><DataExtName>Route</DataExtName>"
                 "<DataExtType>STR255TYPE</DataExtType><AssignToObject>Invoice</AssignToObject></DataExtDefAdd>"
                 "</DataExtDefAddRq>")
                .code,
            0);
  const Reply set = Send("<DataExtAddRq><DataExtAdd><OwnerID>" + owner + "</OwnerID><DataExtName>Route</DataExtName>"
                         "<TxnDataExtType>Invoice</TxnDataExtType><TxnID>" + first + "</TxnID>"
                         "<DataExtValue>North</DataExtValue></DataExtAdd></DataExtAddRq>");
  ASSERT_EQ(set.code, 0) << set.message;
  const Reply extended = Send("<InvoiceQueryRq><TxnID>" + first + "</TxnID><OwnerID>" + owner + "</OwnerID>"
                              "</InvoiceQueryRq>");
  EXPECT_NE(extended.xml.find("<DataExtValue>North</DataExtValue>"), std::string::npos) << extended.xml;
  EXPECT_EQ(TrialBalance(), 0);
}

// In the CA edition a line's tax code carries the federal and provincial rates: 5% and 7% on
// the taxable line, nothing on the exempt one, each collected in its own payable account.
TEST_F(Txns, CanadianSalesTaxes) {
  Open("CA");
  for (const std::string& request :
       {"<CustomerAddRq><CustomerAdd><Name>Tremblay</Name></CustomerAdd></CustomerAddRq>"s,
        "<AccountAddRq><AccountAdd><Name>Sales</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>"s,
        "<ItemServiceAddRq><ItemServiceAdd><Name>Repair</Name><SalesOrPurchase><Price>80.00</Price>" +
            Ref("AccountRef", "Sales") + "</SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>"})
    ASSERT_EQ(Send(request).code, 0) << request;
  const Reply invoice = Send("<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Tremblay") + "<InvoiceLineAdd>" +
                             Ref("ItemRef", "Repair") + "<Quantity>2</Quantity>" + Ref("TaxCodeRef", "S") +
                             "</InvoiceLineAdd><InvoiceLineAdd>" + Ref("ItemRef", "Repair") + Ref("TaxCodeRef", "E") +
                             "</InvoiceLineAdd></InvoiceAdd></InvoiceAddRq>");
  ASSERT_EQ(invoice.code, 0) << invoice.message;
  const std::string id = Field(invoice.records.at(0).Get(), "TxnID");
  EXPECT_EQ(Field(invoice.records.at(0).Get(), "Subtotal"), "240.00");
  EXPECT_EQ(Field(invoice.records.at(0).Get(), "Tax1Total"), "8.00");
  EXPECT_EQ(Field(invoice.records.at(0).Get(), "Tax2Total"), "11.20");
  EXPECT_EQ(Figure("Invoice", id, "BalanceRemaining", true), "259.20");
  EXPECT_EQ(Figure("Account", "GST/HST Payable", "Balance", false), "8.00");
  EXPECT_EQ(Figure("Account", "PST Payable", "Balance", false), "11.20");
  EXPECT_EQ(TrialBalance(), 0);
}

}  // namespace
}  // namespace vtfc4
