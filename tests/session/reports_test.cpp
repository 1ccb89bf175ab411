// Reports the sandbox computes from its books, through the session manager and the real
// in-process processor: the books agree with themselves (net income and equity, assets and
// liabilities with equity, debits and credits, aging and balances, a summary by month and its
// total, cash and accrual), every report it computes answers a grid the library reads, and the
// ones it cannot compute say so.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <pugixml.hpp>
#include <string>

#include "company_session.h"

namespace vtfc4 {
namespace {

std::string Ref(const char* element, const std::string& name) {
  return std::string("<") + element + "><FullName>" + name + "</FullName></" + element + ">";
}

// A report grid as the library wrote it back: cells found by their row's label and their
// column's title.
struct Sheet {
  pugi::xml_document doc;
  pugi::xml_node ret;
  std::map<std::string, std::string> columns;  // title -> colID

  explicit Sheet(const std::string& xml) {
    EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
    ret = doc.child("VTXML").child("VTXMLMsgsRs").first_child().child("ReportRet");
    for (pugi::xml_node c : ret.children("ColDesc"))
      columns[c.child("ColTitle").attribute("value").value()] = c.attribute("colID").value();
  }
  // The value in column `title` of the first row labelled `label`; "" when there is none.
  std::string Cell(const std::string& label, const std::string& title) const {
    for (pugi::xml_node row : ret.child("ReportData").children()) {
      pugi::xml_node first = row.find_child_by_attribute("ColData", "colID", "1");
      if (label != first.attribute("value").value()) continue;
      const auto column = columns.find(title);
      if (column == columns.end()) return "<no column " + title + ">";
      return row.find_child_by_attribute("ColData", "colID", column->second.c_str()).attribute("value").value();
    }
    return "<no row " + label + ">";
  }
  double Amount(const std::string& label, const std::string& title) const {
    return std::strtod(Cell(label, title).c_str(), nullptr);
  }
};

class Reports : public CompanySession {
 protected:
  void SetUp() override {
    // The sandbox's clock, fixed: "as of today" is the last day of 2024.
    setenv("VTFC4_SANDBOX_NOW", "2024-12-31T12:00:00", 1);
    CompanySession::SetUp();
  }
  void TearDown() override {
    CompanySession::TearDown();
    unsetenv("VTFC4_SANDBOX_NOW");
  }
  // A report of `kind` and `type`, with the members that follow the report type, in order.
  Sheet Report(const std::string& kind, const std::string& type, const std::string& rest = "") {
    const Reply reply = Send("<" + kind + "ReportQueryRq><" + kind + "ReportType>" + type + "</" + kind +
                             "ReportType>" + rest + "</" + kind + "ReportQueryRq>");
    EXPECT_EQ(reply.code, 0) << kind << " " << type << ": " << reply.message;
    return Sheet(reply.xml);
  }
  static std::string Period(const std::string& from, const std::string& to) {
    return "<ReportPeriod><FromReportDate>" + from + "</FromReportDate><ToReportDate>" + to +
           "</ToReportDate></ReportPeriod>";
  }
  // A November and a December of a small business (see the test below).
  void Book() {
    const std::string requests[] = {
        "<AccountAddRq><AccountAdd><Name>Checking</Name><AccountType>Bank</AccountType></AccountAdd></AccountAddRq>",
        "<AccountAddRq><AccountAdd><Name>Services</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>",
        "<AccountAddRq><AccountAdd><Name>Sales</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>",
        "<AccountAddRq><AccountAdd><Name>Office</Name><AccountType>Expense</AccountType></AccountAdd></AccountAddRq>",
        "<CustomerAddRq><CustomerAdd><Name>Acme</Name></CustomerAdd></CustomerAddRq>",
        "<CustomerAddRq><CustomerAdd><Name>Bolt</Name></CustomerAdd></CustomerAddRq>",
        "<VendorAddRq><VendorAdd><Name>Supplier</Name></VendorAdd></VendorAddRq>",
        "<ItemServiceAddRq><ItemServiceAdd><Name>Consulting</Name><SalesOrPurchase><Price>100.00</Price>" +
            Ref("AccountRef", "Services") + "</SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>",
        "<ItemInventoryAddRq><ItemInventoryAdd><Name>Widget</Name><SalesPrice>25.00</SalesPrice>" +
            Ref("IncomeAccountRef", "Sales") + Ref("COGSAccountRef", "Cost of Goods Sold") +
            Ref("AssetAccountRef", "Inventory Asset") + "</ItemInventoryAdd></ItemInventoryAddRq>",
        // November: two hours invoiced to Acme, due on the 20th and never paid.
        "<InvoiceAddRq><InvoiceAdd>" + Ref("CustomerRef", "Acme") +
            "<TxnDate>2024-11-05</TxnDate><RefNumber>1001</RefNumber><DueDate>2024-11-20</DueDate>"
            "<InvoiceLineAdd>" + Ref("ItemRef", "Consulting") + "<Quantity>2</Quantity></InvoiceLineAdd>"
            "</InvoiceAdd></InvoiceAddRq>",
        // December: ten widgets bought at 10.00; three sold with an hour to Bolt, 100.00 of it
        // paid; office supplies by check; an hour sold for cash; half the bill paid.
        "<BillAddRq><BillAdd>" + Ref("VendorRef", "Supplier") + "<TxnDate>2024-12-02</TxnDate>"
            "<DueDate>2024-12-20</DueDate><ItemLineAdd>" + Ref("ItemRef", "Widget") +
            "<Quantity>10</Quantity><Cost>10.00</Cost></ItemLineAdd></BillAdd></BillAddRq>",
        "<InvoiceAddRq><InvoiceAdd defMacro=\"TxnID:D1\">" + Ref("CustomerRef", "Bolt") +
            "<TxnDate>2024-12-03</TxnDate><RefNumber>1002</RefNumber><DueDate>2025-01-02</DueDate>"
            "<InvoiceLineAdd>" + Ref("ItemRef", "Widget") + "<Quantity>3</Quantity></InvoiceLineAdd>"
            "<InvoiceLineAdd>" + Ref("ItemRef", "Consulting") + "<Quantity>1</Quantity></InvoiceLineAdd>"
            "</InvoiceAdd></InvoiceAddRq>"
            "<ReceivePaymentAddRq><ReceivePaymentAdd>" + Ref("CustomerRef", "Bolt") +
            "<TxnDate>2024-12-10</TxnDate><TotalAmount>100.00</TotalAmount><AppliedToTxnAdd>"
            "<TxnID useMacro=\"TxnID:D1\"/><PaymentAmount>100.00</PaymentAmount></AppliedToTxnAdd>"
            "</ReceivePaymentAdd></ReceivePaymentAddRq>",
        "<CheckAddRq><CheckAdd>" + Ref("AccountRef", "Checking") + Ref("PayeeEntityRef", "Supplier") +
            "<TxnDate>2024-12-15</TxnDate><ExpenseLineAdd>" + Ref("AccountRef", "Office") +
            "<Amount>30.00</Amount></ExpenseLineAdd></CheckAdd></CheckAddRq>",
        "<SalesReceiptAddRq><SalesReceiptAdd>" + Ref("CustomerRef", "Acme") + "<TxnDate>2024-12-20</TxnDate>" +
            Ref("DepositToAccountRef", "Checking") + "<SalesReceiptLineAdd>" + Ref("ItemRef", "Consulting") +
            "<Quantity>1</Quantity></SalesReceiptLineAdd></SalesReceiptAdd></SalesReceiptAddRq>",
        "<BillPaymentCheckAddRq><BillPaymentCheckAdd>" + Ref("PayeeEntityRef", "Supplier") +
            "<TxnDate>2024-12-22</TxnDate>" + Ref("BankAccountRef", "Checking") +
            "<AppliedToTxnAdd><TxnID>{bill}</TxnID><PaymentAmount>50.00</PaymentAmount></AppliedToTxnAdd>"
            "</BillPaymentCheckAdd></BillPaymentCheckAddRq>",
    };
    std::string bill;
    for (std::string request : requests) {
      if (const size_t at = request.find("{bill}"); at != std::string::npos) request.replace(at, 6, bill);
      const Reply reply = Send(request);
      ASSERT_EQ(reply.code, 0) << request << ": " << reply.message;
      if (request.starts_with("<BillAddRq>")) bill = Field(reply.records.at(0).Get(), "TxnID");
    }
  }
};

TEST_F(Reports, TheBooksAgreeWithThemselves) {
  Open("US");
  Book();
  // December's income: widgets 75.00, consulting 100.00 and 100.00; costs: the widgets'
  // 30.00 and the office's 30.00.
  const Sheet december = Report("GeneralSummary", "ProfitAndLossStandard", Period("2024-12-01", "2024-12-31"));
  EXPECT_EQ(december.Cell("Total Income", "TOTAL"), "275.00");
  EXPECT_EQ(december.Cell("Gross Profit", "TOTAL"), "245.00");
  EXPECT_EQ(december.Cell("Net Income", "TOTAL"), "215.00");
  // Net income is what equity gained between the balance sheets at either end of the month.
  const Sheet before = Report("GeneralSummary", "BalanceSheetStandard", Period("2024-11-01", "2024-11-30"));
  const Sheet after = Report("GeneralSummary", "BalanceSheetStandard", Period("2024-12-01", "2024-12-31"));
  EXPECT_DOUBLE_EQ(after.Amount("Total Equity", "TOTAL") - before.Amount("Total Equity", "TOTAL"), 215.0);
  for (const Sheet* sheet : {&before, &after})
    EXPECT_EQ(sheet->Cell("TOTAL ASSETS", "TOTAL"), sheet->Cell("TOTAL LIABILITIES & EQUITY", "TOTAL"));
  EXPECT_EQ(after.Cell("TOTAL ASSETS", "TOTAL"), "465.00");  // checking 20, receivables 275, undeposited 100, stock 70

  const Sheet trial = Report("GeneralSummary", "TrialBalance", Period("2024-12-01", "2024-12-31"));
  EXPECT_EQ(trial.Cell("TOTAL", "Debit"), trial.Cell("TOTAL", "Credit"));
  EXPECT_EQ(trial.Cell("Checking", "Debit"), "20.00");

  // Receivables: Acme's November invoice is 41 days past due, Bolt's open 75.00 not yet due;
  // the aging adds up to the balances.
  const Sheet aging = Report("Aging", "ARAgingSummary", "<ReportDateMacro>Today</ReportDateMacro>");
  EXPECT_EQ(aging.Cell("Acme", "31 - 60"), "200.00");
  EXPECT_EQ(aging.Cell("Bolt", "Current"), "75.00");
  const Sheet balances = Report("GeneralSummary", "CustomerBalanceSummary");
  EXPECT_EQ(aging.Cell("TOTAL", "TOTAL"), "275.00");
  EXPECT_EQ(balances.Cell("TOTAL", "TOTAL"), aging.Cell("TOTAL", "TOTAL"));
  EXPECT_EQ(balances.Cell("Acme", "TOTAL"), aging.Cell("Acme", "TOTAL"));
  const Sheet payables = Report("Aging", "APAgingSummary", "<ReportDateMacro>Today</ReportDateMacro>");
  EXPECT_EQ(payables.Cell("Supplier", "1 - 30"), "50.00");

  // A custom summary by month adds up to its total-only form: both are November's and
  // December's net income.
  const std::string both = Period("2024-11-01", "2024-12-31");
  const Sheet byMonth = Report("CustomSummary", "CustomSummary",
                               both + "<SummarizeColumnsBy>Month</SummarizeColumnsBy><SummarizeRowsBy>Account"
                                      "</SummarizeRowsBy>");
  const Sheet total = Report("CustomSummary", "CustomSummary",
                             both + "<SummarizeColumnsBy>TotalOnly</SummarizeColumnsBy><SummarizeRowsBy>Account"
                                    "</SummarizeRowsBy>");
  EXPECT_DOUBLE_EQ(byMonth.Amount("TOTAL", "2024-11") + byMonth.Amount("TOTAL", "2024-12"), 415.0);
  EXPECT_EQ(byMonth.Cell("TOTAL", "TOTAL"), total.Cell("TOTAL", "TOTAL"));
  EXPECT_EQ(byMonth.Cell("Services", "2024-11"), "200.00");
  // Every month of the period when asked for, activity or not.
  const Sheet months = Report("CustomSummary", "CustomSummary",
                              Period("2024-10-01", "2024-12-31") +
                                  "<SummarizeColumnsBy>Month</SummarizeColumnsBy><SummarizeRowsBy>Account"
                                  "</SummarizeRowsBy><ReturnColumns>All</ReturnColumns>");
  EXPECT_EQ(months.columns.count("2024-10"), 1u);
  EXPECT_EQ(byMonth.columns.count("2024-10"), 0u);

  // Filters narrow what is counted: one account, one kind of transaction.
  EXPECT_EQ(Report("GeneralSummary", "ProfitAndLossStandard",
                   Period("2024-12-01", "2024-12-31") +
                       "<ReportAccountFilter><FullName>Services</FullName></ReportAccountFilter>")
                .Cell("Total Income", "TOTAL"),
            "200.00");
  EXPECT_EQ(Report("GeneralSummary", "ProfitAndLossStandard",
                   Period("2024-12-01", "2024-12-31") +
                       "<ReportTxnTypeFilter><TxnTypeFilter>SalesReceipt</TxnTypeFilter></ReportTxnTypeFilter>")
                .Cell("Net Income", "TOTAL"),
            "100.00");

  // Cash basis leaves out what was not paid: November's invoice entirely, 75.00 of December's
  // (its income counts by the share of it paid, 100.00 of 175.00).
  const std::string cash = "<ReportBasis>Cash</ReportBasis>";
  EXPECT_EQ(Report("GeneralSummary", "ProfitAndLossStandard", Period("2024-11-01", "2024-11-30") + cash)
                .Cell("Net Income", "TOTAL"),
            "0.00");
  EXPECT_EQ(Report("GeneralSummary", "ProfitAndLossStandard", Period("2024-11-01", "2024-11-30"))
                .Cell("Net Income", "TOTAL"),
            "200.00");
  const Sheet paid = Report("GeneralSummary", "ProfitAndLossStandard", Period("2024-12-01", "2024-12-31") + cash);
  EXPECT_DOUBLE_EQ(december.Amount("Total Income", "TOTAL") - paid.Amount("Total Income", "TOTAL"), 75.0);

  // Details agree with the summaries: the ledger's running balance of Checking, the open
  // invoices' total.
  const Sheet ledger = Report("GeneralDetail", "GeneralLedger", Period("2024-12-01", "2024-12-31"));
  EXPECT_EQ(ledger.Cell("Total Checking", "Balance"), "20.00");
  EXPECT_EQ(Report("GeneralDetail", "OpenInvoices").Cell("TOTAL", "Open Balance"), "275.00");
  EXPECT_EQ(Report("GeneralSummary", "InventoryValuationSummary").Cell("Widget", "Asset Value"), "70.00");
  EXPECT_EQ(Report("GeneralSummary", "SalesByItemSummary", Period("2024-12-01", "2024-12-31")).Cell("Widget", "Qty"),
            "3");
}

TEST_F(Reports, EveryReportItComputesOrSaysWhyNot) {
  Open("US");
  Book();
  const std::pair<const char*, std::vector<const char*>> computed[] = {
      {"GeneralSummary",
       {"BalanceSheetStandard", "BalanceSheetSummary", "CustomerBalanceSummary", "ExpenseByVendorSummary",
        "IncomeByCustomerSummary", "InventoryValuationSummary", "ProfitAndLossByClass", "ProfitAndLossByJob",
        "ProfitAndLossStandard", "PurchaseByItemSummary", "PurchaseByVendorSummary", "SalesByCustomerSummary",
        "SalesByItemSummary", "SalesByRepSummary", "SalesTaxLiability", "TrialBalance", "VendorBalanceSummary"}},
      {"GeneralDetail",
       {"BalanceSheetDetail", "CustomerBalanceDetail", "ExpenseByVendorDetail", "GeneralLedger",
        "IncomeByCustomerDetail", "Journal", "OpenInvoices", "ProfitAndLossDetail", "PurchaseByItemDetail",
        "PurchaseByVendorDetail", "SalesByCustomerDetail", "SalesByItemDetail", "SalesByRepDetail",
        "TxnDetailByAccount", "TxnListByCustomer", "TxnListByDate", "TxnListByVendor", "UnpaidBillsDetail",
        "VendorBalanceDetail"}},
      {"Aging", {"APAgingDetail", "APAgingSummary", "ARAgingDetail", "ARAgingSummary", "CollectionsReport"}},
  };
  for (const auto& [kind, types] : computed)
    for (const char* type : types) {
      SCOPED_TRACE(type);
      const Sheet sheet = Report(kind, type);
      EXPECT_GT(sheet.ret.child("ReportData").select_nodes("*").size(), 0u) << sheet.ret.path();
      EXPECT_STREQ(sheet.ret.child_value("NumRows"),
                   std::to_string(sheet.ret.child("ReportData").select_nodes("*").size()).c_str());
    }
  struct Refused {
    std::string request;
    const char* message;
  };
  const Refused refused[] = {
      {"<PayrollSummaryReportQueryRq><PayrollSummaryReportType>PayrollSummary</PayrollSummaryReportType>"
       "</PayrollSummaryReportQueryRq>",
       "The sandbox keeps no payroll: it cannot compute the Payroll Summary report."},
      {"<BudgetSummaryReportQueryRq><BudgetSummaryReportType>ProfitAndLossBudgetOverview</BudgetSummaryReportType>"
       "<FiscalYear>2024</FiscalYear></BudgetSummaryReportQueryRq>",
       "The sandbox keeps no budgets: it cannot compute the Profit And Loss Budget Overview report."},
      {"<GeneralSummaryReportQueryRq><GeneralSummaryReportType>IncomeTaxSummary</GeneralSummaryReportType>"
       "</GeneralSummaryReportQueryRq>",
       "The sandbox does not compute the Income Tax Summary report."},
      {"<CustomSummaryReportQueryRq><CustomSummaryReportType>CustomSummary</CustomSummaryReportType>"
       "<SummarizeColumnsBy>ShipMethod</SummarizeColumnsBy><SummarizeRowsBy>Account</SummarizeRowsBy>"
       "</CustomSummaryReportQueryRq>",
       "The sandbox does not summarize reports by ShipMethod (SummarizeColumnsBy)."},
  };
  for (const Refused& r : refused) {
    const Reply reply = Send(r.request);
    EXPECT_EQ(reply.code, 3250) << r.request;
    EXPECT_EQ(reply.message, r.message);
  }
}

}  // namespace
}  // namespace vtfc4
