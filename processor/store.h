// The store of a company file: SQLite statements, the list records and what goes with them
// (the references between records, the log of deletions, the company's own records, data
// extensions, settings). It knows tables and rows; what a record means is the caller's.
#ifndef VTFC4_PROCESSOR_STORE_H
#define VTFC4_PROCESSOR_STORE_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vtfc4::sandbox {

[[noreturn]] void DbFail(sqlite3* db);
void Exec(sqlite3* db, const char* sql);

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Bind(int i, std::string_view v);
  Stmt& Bind(int i, std::int64_t v);
  // True while there is a row; false when the statement is done.
  bool Step();
  std::string Text(int c) const;
  std::int64_t Int(int c) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless finished, so an exception never leaves half a message set behind.
class Transaction {
 public:
  // A set that only reads begins without taking the write lock.
  explicit Transaction(sqlite3* db, bool writes = true);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Finish(bool commit);

 private:
  sqlite3* db_;
  bool open_ = true;
};

// One list record. Name, FullName, parent, Sublevel, IsActive and the stamps live in columns;
// everything else the client sent is kept as an XML fragment <Fields>...</Fields>, whose
// references name their records by ListID alone. A record's FullName is unique within its
// family (the kinds that share one name space, or its kind alone), without regard to case.
struct Record {
  std::int64_t seq = 0;
  std::string kind, family, listId, name, fullName, parentId, editSequence, timeCreated,
      timeModified;
  std::int64_t sublevel = 0, modifiedAt = 0;
  bool active = true;
  std::string fields = "<Fields/>";
};

// The record with that ListID, of any kind.
std::optional<Record> RecordById(sqlite3* db, std::string_view listId);
// The record of one of `kinds` with that FullName (without regard to ASCII case).
std::optional<Record> RecordByName(sqlite3* db, const std::vector<std::string>& kinds,
                                   std::string_view fullName);
// The record of `family` with that FullName, whatever its kind.
std::optional<Record> RecordInFamily(sqlite3* db, std::string_view family, std::string_view fullName);
// The records of `kinds` (every record when empty), in the order they were made.
std::vector<Record> Records(sqlite3* db, const std::vector<std::string>& kinds);
// Stores a new record (its seq is set) or the new state of one.
void InsertRecord(sqlite3* db, Record& r);
void UpdateRecord(sqlite3* db, const Record& r);
void RemoveRecord(sqlite3* db, const Record& r);
bool HasChildren(sqlite3* db, const Record& r);
// Moves the sub-records of a record renamed or moved from `oldFullName`.
void RenameChildren(sqlite3* db, const Record& r, const std::string& oldFullName, std::int64_t oldSublevel);

// The records a record's references name, kept so that a record in use is not deleted.
void SetLinks(sqlite3* db, std::string_view from, const std::vector<std::string>& to);
// The ListID of a record that names `to`, if any.
std::optional<std::string> LinkTo(sqlite3* db, std::string_view to);

// One transaction. Its identifiers, number, date, reference number and stamps live in columns;
// everything else it holds (its lines with their TxnLineIDs, its figures) is kept as an XML
// fragment <Fields>...</Fields>, references by ListID alone.
struct Txn {
  std::int64_t seq = 0;
  std::string kind, txnId, refNumber, txnDate, editSequence, timeCreated, timeModified;
  std::int64_t txnNumber = 0, modifiedAt = 0;
  std::string fields = "<Fields/>";
};
std::optional<Txn> TxnById(sqlite3* db, std::string_view txnId);
// The transactions of `kinds` (every one when empty), in the order they were made.
std::vector<Txn> Txns(sqlite3* db, const std::vector<std::string>& kinds);
void InsertTxn(sqlite3* db, Txn& t);
void UpdateTxn(sqlite3* db, const Txn& t);
// Removes a transaction with its links, postings and applications.
void RemoveTxn(sqlite3* db, const Txn& t);
std::int64_t NextTxnNumber(sqlite3* db);

// The ledger: what a transaction (or a list record's opening balance) books to an account, in
// cents, debits positive, on its date; a posting of a line carries its item and quantity (to
// an inventory account: the quantity that comes in or goes out; to an income or expense
// account: the quantity sold or bought).
struct Posting {
  std::string source, lineId, accountId, entityId, itemId;
  std::int64_t cents = 0;
  double quantity = 0;
  std::string date, classId;  // the transaction's date (or the opening balance's), the class of the line
};
// Replaces what `source` books.
void SetPostings(sqlite3* db, std::string_view source, const std::vector<Posting>& postings);
std::vector<Posting> PostingsOf(sqlite3* db, std::string_view source);
// Every posting whose `column` (account_id, entity_id or item_id) is `id`.
std::vector<Posting> PostingsTo(sqlite3* db, std::string_view column, std::string_view id);
std::vector<Posting> AllPostings(sqlite3* db);

// What a payment, deposit or bill payment applies to other transactions: an amount paid (with
// its discount), or, with `creditTxn`, a credit used.
struct Application {
  std::string from, to, creditTxn;
  std::int64_t cents = 0, discount = 0;
};
void SetApplications(sqlite3* db, std::string_view from, const std::vector<Application>& applied);
// The applications whose `column` (from_txn, to_txn or credit_txn) is `txnId`.
std::vector<Application> ApplicationsBy(sqlite3* db, std::string_view column, std::string_view txnId);
std::vector<Application> AllApplications(sqlite3* db);

// The log of deleted records and transactions: by kind, identifier and name (a transaction's
// RefNumber).
struct Deletion {
  std::string kind, listId, fullName, timeCreated, timeDeleted;
  std::int64_t deletedAt = 0;
};
void LogDeletion(sqlite3* db, const Deletion& d);
std::vector<Deletion> Deletions(sqlite3* db, std::string_view kind);

// The records a company has one of (its company record, preferences, host...), as fragments
// by kind.
std::optional<std::string> Singleton(sqlite3* db, std::string_view kind);
void SetSingleton(sqlite3* db, std::string_view kind, const std::string& fields);
std::vector<std::string> SingletonKinds(sqlite3* db);

// Settings of the file (format, edition, counters).
std::string Setting(sqlite3* db, std::string_view key);
void SetSetting(sqlite3* db, std::string_view key, std::string_view value);
// A new ListID: the counter in the file, then the time ("80000001-1733389200").
std::string NextListId(sqlite3* db, std::time_t now);

// Data extension definitions, by owner and name, as fragments; and their values, by owner,
// name and the record (ListID, or "" for the company) they are set on.
std::optional<std::string> DataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name);
std::vector<std::string> DataExtDefinitions(sqlite3* db);
void SetDataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name, const std::string& fields,
                          bool insert);
void RemoveDataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name);
struct DataExtValue {
  std::string owner, name, target, value;
};
std::optional<std::string> DataExtValueOf(sqlite3* db, std::string_view owner, std::string_view name,
                                          std::string_view target);
std::vector<DataExtValue> DataExtValuesOn(sqlite3* db, std::string_view target);
void SetDataExtValue(sqlite3* db, const DataExtValue& v);
void RemoveDataExtValue(sqlite3* db, std::string_view owner, std::string_view name, std::string_view target);
void RemoveDataExtValuesOn(sqlite3* db, std::string_view target);

// The connection tickets the online gateway signs on with: each for one login, issued at a
// time, and revoked at another (0 while it holds).
struct ConnectionTicket {
  std::string ticket, login;
  std::int64_t issuedAt = 0, revokedAt = 0;
};
void InsertConnectionTicket(sqlite3* db, const ConnectionTicket& t);
std::optional<ConnectionTicket> ConnectionTicketOf(sqlite3* db, std::string_view ticket);
// Marks a ticket revoked (a revoked one keeps its first revocation time); false when the file
// holds no such ticket.
bool RevokeConnectionTicketAt(sqlite3* db, std::string_view ticket, std::int64_t at);

// The layout of a company file, made new or brought forward from an earlier one.
inline constexpr int kFormatVersion = 5;
void CreateSchema(sqlite3* db);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_STORE_H
