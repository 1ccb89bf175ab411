#include "processor/books.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "processor/catalogue_table.h"
#include "processor/document.h"
#include "processor/sandbox_engine.h"

namespace vtfc4::sandbox::books {
namespace {

struct Field {
  const char* element;
  std::string value;
};

// A fragment <Fields>...</Fields> of leaf elements (an element with a '/' in its name is
// nested: "ParentRef/ListID").
std::string Fragment(const std::vector<Field>& fields) {
  std::string out = "<Fields>";
  for (const Field& f : fields) {
    const std::string element = f.element;
    const size_t slash = element.find('/');
    if (slash == std::string::npos) {
      out += "<" + element + ">";
      AppendEscaped(out, f.value, false);
      out += "</" + element + ">";
    } else {
      const std::string outer = element.substr(0, slash), inner = element.substr(slash + 1);
      out += "<" + outer + "><" + inner + ">";
      AppendEscaped(out, f.value, false);
      out += "</" + inner + "></" + outer + ">";
    }
  }
  return out + "</Fields>";
}

// Adds a starting record of `kind` named `name` with its other fields; its ListID, or the one
// of the record that holds the name already.
std::string Starting(CompanyFile& file, const std::string& kind, const std::string& name,
                     const std::vector<Field>& fields) {
  sqlite3* db = file.Handle();
  const std::string family = catalogue::FamilyOf(kind);
  if (auto taken = RecordInFamily(db, family, name)) return taken->listId;
  const std::time_t now = file.Now();
  Record r;
  r.kind = kind;
  r.family = family;
  r.name = r.fullName = name;
  r.listId = NextListId(db, now);
  r.editSequence = std::to_string(now);
  r.timeCreated = r.timeModified = IsoTime(now);
  r.modifiedAt = now;
  r.fields = Fragment(fields);
  InsertRecord(db, r);
  return r.listId;
}

}  // namespace

void SeedCompany(CompanyFile& file, const std::string& companyName) {
  sqlite3* db = file.Handle();
  const bool ca = file.Country() == "CA";
  struct Account {
    const char* name;
    const char* type;
    const char* special;
  };
  // The accounts the application makes itself: it posts to them on its own (receivables and
  // payables, payments waiting to be deposited, taxes collected, opening balances).
  std::vector<Account> accounts = {
      {"Accounts Receivable", "AccountsReceivable", "AccountsReceivable"},
      {"Undeposited Funds", "OtherCurrentAsset", "UndepositedFunds"},
      {"Inventory Asset", "OtherCurrentAsset", "InventoryAssets"},
      {"Accounts Payable", "AccountsPayable", "AccountsPayable"},
      {"Opening Balance Equity", "Equity", "OpeningBalanceEquity"},
      {"Retained Earnings", "Equity", "RetainedEarnings"},
      {"Cost of Goods Sold", "CostOfGoodsSold", "CostOfGoodsSold"},
      {"Uncategorized Income", "Income", "UncategorizedIncome"},
      {"Uncategorized Expenses", "Expense", "UncategorizedExpenses"},
  };
  if (ca) {
    accounts.push_back({"GST/HST Payable", "OtherCurrentLiability", "Tax1Payable"});
    accounts.push_back({"PST Payable", "OtherCurrentLiability", "Tax2Payable"});
  } else {
    accounts.push_back({"Sales Tax Payable", "OtherCurrentLiability", "SalesTaxPayable"});
  }
  for (const Account& a : accounts)
    Starting(file, "Account", a.name, {{"AccountType", a.type}, {"SpecialAccountType", a.special}});

  std::string taxable, nonTaxable;
  if (ca) {
    // The codes of the Canadian sales taxes: the federal tax alone, with the provincial one,
    // exempt and zero-rated.
    Starting(file, "TaxCode", "G", {{"Desc", "GST"}, {"Tax1Rate", "5.0"}});
    Starting(file, "TaxCode", "S", {{"Desc", "GST and PST"}, {"Tax1Rate", "5.0"}, {"Tax2Rate", "7.0"}});
    Starting(file, "TaxCode", "E", {{"Desc", "Exempt"}});
    Starting(file, "TaxCode", "Z", {{"Desc", "Zero-rated"}});
  } else {
    taxable = Starting(file, "SalesTaxCode", "Tax", {{"IsTaxable", "true"}, {"Desc", "Taxable Sales"}});
    nonTaxable = Starting(file, "SalesTaxCode", "Non", {{"IsTaxable", "false"}, {"Desc", "Non-Taxable Sales"}});
  }
  for (const char* form : {"Invoice", "SalesReceipt", "CreditMemo", "Estimate", "PurchaseOrder", "SalesOrder"}) {
    std::string name = form;
    for (size_t i = 1; i < name.size(); ++i)
      if (name[i] >= 'A' && name[i] <= 'Z') name.insert(i++, " ");
    Starting(file, "Template", name, {{"TemplateType", form}});
  }
  Starting(file, "StandardTerms", "Due on receipt", {{"StdDueDays", "0"}});
  Starting(file, "StandardTerms", "Net 15", {{"StdDueDays", "15"}});
  Starting(file, "StandardTerms", "Net 30", {{"StdDueDays", "30"}});
  for (const char* method : {"Cash", "Check", "Credit Card"}) Starting(file, "PaymentMethod", method, {});

  const std::string created = IsoTime(file.Now());
  if (!Singleton(db, "Company"))
    SetSingleton(db, "Company", Fragment({{"IsSampleCompany", "false"},
                                          {"CompanyName", companyName},
                                          {"LegalCompanyName", companyName},
                                          {"FirstMonthFiscalYear", "January"},
                                          {"FirstMonthIncomeTaxYear", "January"}}));
  if (!Singleton(db, "CompanyActivity")) SetSingleton(db, "CompanyActivity", Fragment({{"LastRestoreTime", created}}));
  if (!Singleton(db, "Preferences")) {
    std::string p = "<Fields>";
    p += "<AccountingPreferences><IsAssigningJournalEntryNumbers>true</IsAssigningJournalEntryNumbers>"
         "<IsRequiringAccounts>true</IsRequiringAccounts><IsUsingAccountNumbers>false</IsUsingAccountNumbers>"
         "<IsUsingAuditTrail>false</IsUsingAuditTrail><IsUsingClassTracking>false</IsUsingClassTracking>"
         "</AccountingPreferences>";
    p += "<FinanceChargePreferences><AnnualInterestRate>0.0</AnnualInterestRate><GracePeriod>0</GracePeriod>"
         "<IsAssessingForOverdueCharges>false</IsAssessingForOverdueCharges>"
         "<CalculateChargesFrom>DueDate</CalculateChargesFrom></FinanceChargePreferences>";
    p += "<JobsAndEstimatesPreferences><IsUsingEstimates>true</IsUsingEstimates>"
         "<IsUsingProgressInvoicing>false</IsUsingProgressInvoicing></JobsAndEstimatesPreferences>";
    p += "<PurchasesAndVendorsPreferences><IsUsingInventory>true</IsUsingInventory>"
         "<DaysBillsAreDue>10</DaysBillsAreDue><IsAutomaticallyUsingDiscounts>false</IsAutomaticallyUsingDiscounts>"
         "</PurchasesAndVendorsPreferences>";
    p += "<ReportsPreferences><AgingReportBasis>AgeFromDueDate</AgingReportBasis>"
         "<SummaryReportBasis>Accrual</SummaryReportBasis></ReportsPreferences>";
    p += "<SalesAndCustomersPreferences><IsAutoApplyingPayments>true</IsAutoApplyingPayments>";
    if (!ca) p += "<PriceLevels><IsUsingPriceLevels>true</IsUsingPriceLevels></PriceLevels>";
    p += "</SalesAndCustomersPreferences>";
    if (ca) {
      p += "<TaxPreferences><AllowCustomerTaxCodes>true</AllowCustomerTaxCodes></TaxPreferences>";
    } else {
      p += "<SalesTaxPreferences><PaySalesTax>Monthly</PaySalesTax>"
           "<DefaultTaxableSalesTaxCodeRef><ListID>" + taxable + "</ListID></DefaultTaxableSalesTaxCodeRef>"
           "<DefaultNonTaxableSalesTaxCodeRef><ListID>" + nonTaxable + "</ListID></DefaultNonTaxableSalesTaxCodeRef>"
           "</SalesTaxPreferences>";
    }
    p += "<TimeTrackingPreferences><FirstDayOfWeek>Monday</FirstDayOfWeek></TimeTrackingPreferences>";
    p += "<CurrentAppAccessRights><IsAutomaticLoginAllowed>false</IsAutomaticLoginAllowed>"
         "<IsPersonalDataAccessAllowed>true</IsPersonalDataAccessAllowed></CurrentAppAccessRights>";
    SetSingleton(db, "Preferences", p + "</Fields>");
  }
  std::string host = "<Fields><ProductName>vtFC4 sandbox</ProductName><MajorVersion>0</MajorVersion>"
                     "<MinorVersion>1</MinorVersion><Country>" + file.Country() + "</Country>";
  for (const std::string& v : SupportedVersions(file.Country()))
    host += "<SupportedVTXMLVersion>" + v + "</SupportedVTXMLVersion>";
  SetSingleton(db, "Host", host + "<IsAutomaticLogin>false</IsAutomaticLogin><VTFileMode>MultiUser</VTFileMode></Fields>");
}

}  // namespace vtfc4::sandbox::books
