// Every list family through the session manager, the sandbox's real in-process processor and a
// real company file: a minimal add with the references the family needs, the record read back
// by ListID, by name and through its family's query, modified with its EditSequence, deleted;
// and the refusals of references to nothing, of names taken across a family, of records in use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "company_session.h"

namespace vtfc4 {
namespace {

class Lists : public CompanySession {};

struct Family {
  const char* kind;
  std::string add;   // the body of <kind>Add
  std::string name;  // the record's FullName ("" for a record without a name)
  std::string mod;   // the change of the Mod ("" when the kind has no Mod)
  std::string renamed;
  const char* family;  // the query of its family, or null
};

// A record's name as its answer gives it: its FullName, its Name in a flat list, or its Initial.
std::string NameOf(IVTBase* record) {
  for (const char* element : {"FullName", "Name", "Initial"}) {
    const std::string text = Field(record, element);
    if (text.rfind("<no member", 0) != 0) return text;
  }
  return "<no name>";
}

std::string Ref(const char* element, const char* name) {
  return std::string("<") + element + "><FullName>" + name + "</FullName></" + element + ">";
}

TEST_F(Lists, EveryFamilyOnTheRoad) {
  Open("US");
  const std::string income = Ref("IncomeAccountRef", "Uncategorized Income"),
                    cogs = Ref("COGSAccountRef", "Cost of Goods Sold"),
                    asset = Ref("AssetAccountRef", "Inventory Asset"),
                    sale = "<SalesOrPurchase>" + Ref("AccountRef", "Uncategorized Income") + "</SalesOrPurchase>";
  // What the families refer to, made first.
  for (const char* setup : {"<VendorAddRq><VendorAdd><Name>Agency</Name></VendorAdd></VendorAddRq>",
                                   "<EmployeeAddRq><EmployeeAdd><FirstName>Ada</FirstName><LastName>King</LastName>"
                                   "</EmployeeAdd></EmployeeAddRq>"})
    ASSERT_EQ(Send(setup).code, 0) << setup;
  const Family families[] = {
      {"Account", "<Name>Checking</Name><AccountType>Bank</AccountType>", "Checking", "", "", nullptr},
      {"Class", "<Name>East</Name>", "East", "", "", nullptr},
      {"Customer", "<Name>Client</Name>", "Client", "<Name>Client 2</Name>", "Client 2", "Entity"},
      {"CustomerMsg", "<Name>Thanks</Name>", "Thanks", "", "", nullptr},
      {"CustomerType", "<Name>Retail</Name>", "Retail", "", "", nullptr},
      {"DateDrivenTerms", "<Name>10th</Name><DayOfMonthDue>10</DayOfMonthDue>", "10th", "", "", "Terms"},
      {"Employee", "<FirstName>Bo</FirstName><LastName>Lind</LastName>", "Bo Lind", "<LastName>Lindt</LastName>",
       "Bo Lindt", "Entity"},
      {"ItemDiscount", "<Name>Promo</Name>" + Ref("AccountRef", "Uncategorized Income"), "Promo",
       "<Name>Promo 2</Name>", "Promo 2", "Item"},
      {"ItemFixedAsset",
       "<Name>Van</Name><AcquiredAs>New</AcquiredAs><PurchaseDesc>Van</PurchaseDesc>"
       "<PurchaseDate>2024-01-05</PurchaseDate>" + asset,
       "Van", "<Name>Van 2</Name>", "Van 2", "Item"},
      {"ItemGroup", "<Name>Kit</Name>", "Kit", "<Name>Kit 2</Name>", "Kit 2", "Item"},
      {"ItemInventory", "<Name>Widget</Name>" + income + cogs + asset, "Widget", "<Name>Widget 2</Name>", "Widget 2",
       "Item"},
      {"ItemInventoryAssembly", "<Name>Gadget</Name>" + income + cogs + asset, "Gadget", "<Name>Gadget 2</Name>",
       "Gadget 2", "Item"},
      {"ItemNonInventory", "<Name>Paper</Name>" + sale, "Paper", "<Name>Paper 2</Name>", "Paper 2", "Item"},
      {"ItemOtherCharge", "<Name>Freight</Name>" + sale, "Freight", "<Name>Freight 2</Name>", "Freight 2", "Item"},
      {"ItemPayment", "<Name>Deposit</Name>", "Deposit", "<Name>Deposit 2</Name>", "Deposit 2", "Item"},
      {"ItemSalesTax", "<Name>State Tax</Name>" + Ref("TaxVendorRef", "Agency"), "State Tax",
       "<Name>State Tax 2</Name>", "State Tax 2", "Item"},
      {"ItemSalesTaxGroup", "<Name>All Taxes</Name>" + Ref("ItemSalesTaxRef", "State Tax 2"), "All Taxes",
       "<Name>All Taxes 2</Name>", "All Taxes 2", "Item"},
      {"ItemService", "<Name>Consulting</Name>" + sale, "Consulting", "<Name>Consulting 2</Name>", "Consulting 2",
       "Item"},
      {"ItemSubtotal", "<Name>Sub</Name>", "Sub", "<Name>Sub 2</Name>", "Sub 2", "Item"},
      {"JobType", "<Name>Repair</Name>", "Repair", "", "", nullptr},
      {"OtherName", "<Name>Neighbour</Name>", "Neighbour", "<Name>Neighbour 2</Name>", "Neighbour 2", "Entity"},
      {"PaymentMethod", "<Name>Voucher</Name>", "Voucher", "", "", nullptr},
      {"PayrollItemWage",
       "<Name>Hourly</Name><WageType>Hourly</WageType>" + Ref("ExpenseAccountRef", "Uncategorized Expenses"),
       "Hourly", "", "", nullptr},
      {"PriceLevel", "<Name>Wholesale</Name>", "Wholesale", "<Name>Trade</Name>", "Trade", nullptr},
      {"SalesRep", "<Initial>AK</Initial>" + Ref("SalesRepEntityRef", "Ada King"), "AK", "<Initial>AKG</Initial>",
       "AKG", nullptr},
      {"SalesTaxCode", "<Name>Out</Name><IsTaxable>false</IsTaxable>", "Out", "", "", nullptr},
      {"ShipMethod", "<Name>Post</Name>", "Post", "", "", nullptr},
      {"StandardTerms", "<Name>Net 60</Name><StdDueDays>60</StdDueDays>", "Net 60", "", "", "Terms"},
      {"ToDo", "<Notes>Call back</Notes>", "", "", "", nullptr},
      {"Vendor", "<Name>Supplier</Name>", "Supplier", "<Name>Supplier 2</Name>", "Supplier 2", "Entity"},
      {"VendorType", "<Name>Wholesaler</Name>", "Wholesaler", "", "", nullptr},
  };
  std::vector<std::pair<std::string, std::string>> made;  // kind, ListID
  for (const Family& f : families) {
    const std::string k = f.kind;
    SCOPED_TRACE(k);
    Reply added = Send("<" + k + "AddRq><" + k + "Add>" + f.add + "</" + k + "Add></" + k + "AddRq>");
    ASSERT_EQ(added.code, 0) << added.message;
    ASSERT_EQ(added.records.size(), 1u);
    EXPECT_EQ(TypeOf(added.records[0].Get()), k + "Ret");
    const std::string id = Field(added.records[0].Get(), "ListID"), edit = Field(added.records[0].Get(), "EditSequence");
    ASSERT_FALSE(id.empty());
    made.emplace_back(k, id);

    Reply byId = Send("<" + k + "QueryRq><ListID>" + id + "</ListID></" + k + "QueryRq>");
    ASSERT_EQ(byId.code, 0) << byId.message;
    ASSERT_EQ(byId.records.size(), 1u);
    EXPECT_EQ(Field(byId.records[0].Get(), "ListID"), id);
    if (!f.name.empty()) {
      Reply byName = Send("<" + k + "QueryRq><FullName>" + f.name + "</FullName></" + k + "QueryRq>");
      ASSERT_EQ(byName.code, 0) << byName.message;
      EXPECT_EQ(Field(byName.records.at(0).Get(), "ListID"), id);
    }
    if (f.family) {
      const std::string q = std::string(f.family) + "QueryRq";
      Reply inFamily = Send("<" + q + "><ListID>" + id + "</ListID></" + q + ">");
      ASSERT_EQ(inFamily.code, 0) << inFamily.message;
      ASSERT_EQ(inFamily.records.size(), 1u);
      EXPECT_EQ(TypeOf(inFamily.records[0].Get()), k + "Ret") << "the family's answer names the kind";
    }
    if (!f.mod.empty()) {
      Reply modded = Send("<" + k + "ModRq><" + k + "Mod><ListID>" + id + "</ListID><EditSequence>" + edit +
                          "</EditSequence>" + f.mod + "</" + k + "Mod></" + k + "ModRq>");
      ASSERT_EQ(modded.code, 0) << modded.message;
      EXPECT_NE(Field(modded.records.at(0).Get(), "EditSequence"), edit);
      Reply renamed = Send("<" + k + "QueryRq><ListID>" + id + "</ListID></" + k + "QueryRq>");
      EXPECT_EQ(NameOf(renamed.records.at(0).Get()), f.renamed);
      Reply stale = Send("<" + k + "ModRq><" + k + "Mod><ListID>" + id + "</ListID><EditSequence>" + edit +
                         "</EditSequence>" + f.mod + "</" + k + "Mod></" + k + "ModRq>");
      EXPECT_EQ(stale.code, 3200) << "a stale EditSequence is refused";
    }
  }
  // Deleted in the reverse order: a record is in use while another names it. Payroll items
  // are no kind of list deletion.
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    SCOPED_TRACE(it->first);
    if (it->first == "PayrollItemWage") continue;
    Reply deleted = Send("<ListDelRq><ListDelType>" + it->first + "</ListDelType><ListID>" + it->second +
                         "</ListID></ListDelRq>");
    EXPECT_EQ(deleted.code, 0) << deleted.message;
    Reply gone = Send("<" + it->first + "QueryRq><ListID>" + it->second + "</ListID></" + it->first + "QueryRq>");
    EXPECT_EQ(gone.code, 500) << gone.message;
  }
  Reply log = Send("<ListDeletedQueryRq><ListDelType>ItemService</ListDelType></ListDeletedQueryRq>");
  ASSERT_EQ(log.code, 0) << log.message;
  EXPECT_EQ(Field(log.records.at(0).Get(), "FullName"), "Consulting 2");
}

TEST_F(Lists, ReferencesNamesAndRecordsInUse) {
  Open("US");
  ASSERT_EQ(Send("<CustomerAddRq><CustomerAdd><Name>Client</Name></CustomerAdd></CustomerAddRq>").code, 0);
  struct Case {
    const char* what;
    std::string request;
    LONG code;
    std::string message;
  } cases[] = {
      {"a reference to nothing",
       "<CustomerAddRq><CustomerAdd><Name>New</Name>" + Ref("TermsRef", "Net 99") + "</CustomerAdd></CustomerAddRq>",
       3140, "The CustomerAdd/TermsRef \"Net 99\" names no Terms of the company file."},
      {"a name taken by a customer", "<VendorAddRq><VendorAdd><Name>client</Name></VendorAdd></VendorAddRq>", 3100,
       "The name \"client\" is already in use by the Customer \"Client\"."},
      {"a name taken by an item of another kind",
       "<ItemNonInventoryAddRq><ItemNonInventoryAdd><Name>Net 30</Name><SalesOrPurchase>" +
           Ref("AccountRef", "Uncategorized Income") + "</SalesOrPurchase></ItemNonInventoryAdd></ItemNonInventoryAddRq>",
       0, "Status OK"},
      {"an account named by a customer's name",
       "<ItemServiceAddRq><ItemServiceAdd><Name>Labour</Name><SalesOrPurchase>" + Ref("AccountRef", "Client") +
           "</SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>",
       3140, "The ItemServiceAdd/SalesOrPurchase/AccountRef \"Client\" names no Account of the company file."},
      {"a special account in use",
       "<ListDelRq><ListDelType>Account</ListDelType><ListID>" +
           Field(Send("<AccountQueryRq><FullName>Uncategorized Income</FullName></AccountQueryRq>").records.at(0).Get(),
                 "ListID") +
           "</ListID></ListDelRq>",
       3170, "The Account \"Uncategorized Income\" is in use by the ItemNonInventory \"Net 30\" and cannot be deleted."},
  };
  for (const Case& c : cases) {
    Reply r = Send(c.request);
    EXPECT_EQ(r.code, c.code) << c.what << ": " << r.message;
    EXPECT_EQ(r.message, c.message) << c.what;
  }
  Reply none = Send("<CustomerQueryRq><FullName>New</FullName></CustomerQueryRq>");
  EXPECT_EQ(none.code, 500) << "a refused add stores nothing";
}

// A new company file starts with what the application makes for a new company, and answers
// its company, host and preferences queries; the CA edition has its own kinds.
TEST_F(Lists, StartingRecordsAndTheCompanysOwn) {
  Open("CA");
  Reply accounts = Send("<AccountQueryRq><AccountType>AccountsReceivable</AccountType>"
                        "<AccountType>OtherCurrentLiability</AccountType></AccountQueryRq>");
  ASSERT_EQ(accounts.code, 0) << accounts.message;
  std::vector<std::string> names;
  for (const auto& a : accounts.records) names.push_back(Field(a.Get(), "FullName"));
  EXPECT_EQ(names, (std::vector<std::string>{"Accounts Receivable", "GST/HST Payable", "PST Payable"}));
  EXPECT_EQ(Field(accounts.records[0].Get(), "SpecialAccountType"), "AccountsReceivable");
  Reply codes = Send("<TaxCodeQueryRq/>");
  ASSERT_EQ(codes.code, 0) << codes.message;
  EXPECT_EQ(codes.records.size(), 4u);
  Reply euro = Send("<CurrencyAddRq><CurrencyAdd><Name>Euro</Name></CurrencyAdd></CurrencyAddRq>");
  EXPECT_EQ(euro.code, 0) << euro.message;
  Reply company = Send("<CompanyQueryRq/>");
  ASSERT_EQ(company.code, 0) << company.message;
  EXPECT_EQ(TypeOf(company.records.at(0).Get()), "CompanyRet");
  EXPECT_EQ(Field(company.records[0].Get(), "CompanyName"), "Company CA");
  Reply host = Send("<HostQueryRq/>");
  ASSERT_EQ(host.code, 0) << host.message;
  EXPECT_EQ(Field(host.records.at(0).Get(), "Country"), "CA");
  Reply preferences = Send("<PreferencesQueryRq/>");
  ASSERT_EQ(preferences.code, 0) << preferences.message;
  EXPECT_EQ(TypeOf(preferences.records.at(0).Get()), "PreferencesRet");
}

}  // namespace
}  // namespace vtfc4
