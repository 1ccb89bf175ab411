// The sandbox's accounting rules, in one place: what a new company starts with (its special
// accounts, its tax codes, templates, terms and payment methods, its company record and
// preferences) and the figures the application computes for a record's answer (balances).
// The engine serves records by their shapes in the catalogue; only this module knows what
// the kinds mean.
#ifndef VTFC4_PROCESSOR_BOOKS_H
#define VTFC4_PROCESSOR_BOOKS_H

#include <map>
#include <string>

#include "processor/store.h"

namespace vtfc4::sandbox {

class CompanyFile;

namespace books {

// Gives a new (or newly migrated) company its starting records and its own records, in the
// company file's edition. A starting record whose name is taken already is left out.
void SeedCompany(CompanyFile& file, const std::string& companyName);

// The elements the application computes for a record's answer, by element name (Balance,
// TotalBalance): a record's opening balance with those of its sub-records.
std::map<std::string, std::string> ComputedFields(sqlite3* db, const Record& r);

}  // namespace books
}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_BOOKS_H
