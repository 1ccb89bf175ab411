// The sandbox's accounting rules, in one place: what a new company starts with (its special
// accounts, its tax codes, templates, terms and payment methods, its company record and
// preferences, books.cpp), and how transactions are priced and booked to a double-entry
// ledger, with the figures that follow from it (ledger.cpp).
// The engine serves records by their shapes in the catalogue; only this module knows what
// the kinds mean.
#ifndef VTFC4_PROCESSOR_BOOKS_H
#define VTFC4_PROCESSOR_BOOKS_H

#include <cstdint>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "processor/records.h"
#include "processor/store.h"

namespace vtfc4::sandbox {

class CompanyFile;

namespace books {

// Gives a new (or newly migrated) company its starting records and its own records, in the
// company file's edition. A starting record whose name is taken already is left out.
void SeedCompany(CompanyFile& file, const std::string& companyName);

// The elements the application computes for a list record's answer, by element name: an
// account's, customer's or vendor's Balance and TotalBalance from the ledger, an inventory
// item's QuantityOnHand, AverageCost and the quantities on open orders, a price level's type.
std::map<std::string, std::string> ComputedFields(sqlite3* db, const Record& r);
// Posts the opening balances a list record holds (replacing what it posted before).
void BookListRecord(sqlite3* db, const Record& r);

// ---- Transactions.

// The side of the books a transaction kind is on: sales and purchase forms (which price lines),
// payments (which apply to them), others.
enum class Side { kSales, kPurchase, kPayment, kOther };
Side SideOf(std::string_view kind);
// True for the kinds payments or credits apply to (invoices, charges, bills, credits).
bool Opens(std::string_view kind);
// Account types whose balance is their debits less their credits (assets, expenses, costs);
// the others' are their credits less their debits.
bool DebitNormal(std::string_view accountType);
// The element of a transaction's stored fields that keeps its total, as booked.
inline constexpr const char* kBookedTotal = "BookedTotal";

// The attribute that marks an element of a transaction's stored fields as computed by the
// books: it is dropped and computed anew whenever the transaction is booked again.
inline constexpr const char* kFigure = "figure";

// What a transaction books beside its figures.
struct Booking {
  std::vector<Posting> postings;  // balanced; the first names the transaction's own account
  std::vector<Application> applications;
};
// Computes into a transaction's fields the figures its content decides (line amounts and
// rates, a group's lines and total, subtotals, taxes, totals; the applications of an automatic
// payment) and returns what it books. Throws Failure for what the books refuse.
Booking Book(sqlite3* db, const Txn& t, pugi::xml_node fields, bool ca);
// Adds the figures later transactions change (open amounts, paid status, unused payments and
// credits, the transactions linked) to a transaction's fields for its answer.
void AddLaterFigures(sqlite3* db, const Txn& t, pugi::xml_node fields);
// True while an invoice, charge or bill is not fully paid, or a credit not fully used.
bool IsOpen(sqlite3* db, const Txn& t);
// A transaction as one row of the view across kinds.
struct Summary {
  std::string entityId, accountId, memo;
  std::int64_t cents = 0;
};
Summary Summarize(sqlite3* db, const Txn& t);
// The month (1 to 12) the company's fiscal year begins in.
int FiscalYearStart(sqlite3* db);
// Answers the queries of views that are not records (bills to pay, payments to deposit); none
// for other kinds.
std::optional<Answer> ServeView(Context& cx, pugi::xml_node rq, const std::string& kind,
                                const catalogue::ClassInfo& query);
// Answers a report query from the ledger and the records (reports.cpp); none for other
// requests.
std::optional<Answer> ServeReport(Context& cx, pugi::xml_node rq);

}  // namespace books
}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_BOOKS_H
