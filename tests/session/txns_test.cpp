// Transactions through the session manager, the sandbox's real in-process processor and a real
// company file: a company's month booked step by step, with the balances, open amounts,
// quantities on hand and the trial balance an accountant works out by hand after each step;
// and every transaction kind added, read back with its lines, modified and deleted or voided.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "company_session.h"

namespace vtfc4 {
namespace {

class Txns : public CompanySession {
 protected:
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

std::string Ref(const char* element, const std::string& name) {
  return std::string("<") + element + "><FullName>" + name + "</FullName></" + element + ">";
}

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
    for (const Check& c : step.after)
      EXPECT_EQ(Figure(c.kind, fill(c.key), c.element, c.key[0] == '{'), c.expected) << c.kind << " " << c.key << " " << c.element;
    EXPECT_EQ(TrialBalance(), 0);
  }
}

}  // namespace
}  // namespace vtfc4
