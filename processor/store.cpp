#include "processor/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "processor/books.h"
#include "processor/catalogue_table.h"
#include "processor/document.h"
#include "processor/sandbox_engine.h"

namespace vtfc4::sandbox {

// ---- SQLite.

void DbFail(sqlite3* db) { throw std::runtime_error(std::string("company file: ") + sqlite3_errmsg(db)); }

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) DbFail(db);
}

Stmt::Stmt(sqlite3* db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) DbFail(db);
}

Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt& Stmt::Bind(int i, std::string_view v) {
  sqlite3_bind_text(stmt_, i, v.empty() ? "" : v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}

Stmt& Stmt::Bind(int i, std::int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
  return *this;
}

bool Stmt::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) DbFail(db_);
  return false;
}

std::string Stmt::Text(int c) const {
  auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, c));
  return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, c))) : std::string();
}

std::int64_t Stmt::Int(int c) const { return sqlite3_column_int64(stmt_, c); }

Transaction::Transaction(sqlite3* db, bool writes) : db_(db) { Exec(db, writes ? "BEGIN IMMEDIATE" : "BEGIN"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Finish(bool commit) {
  open_ = false;
  Exec(db_, commit ? "COMMIT" : "ROLLBACK");
}

// ---- Records.

namespace {

constexpr const char* kColumns =
    "seq, kind, family, list_id, name, full_name, parent_id, sublevel, edit_sequence, time_created, "
    "time_modified, modified_at, is_active, fields";

Record ReadRecord(const Stmt& s) {
  Record r;
  r.seq = s.Int(0);
  r.kind = s.Text(1);
  r.family = s.Text(2);
  r.listId = s.Text(3);
  r.name = s.Text(4);
  r.fullName = s.Text(5);
  r.parentId = s.Text(6);
  r.sublevel = s.Int(7);
  r.editSequence = s.Text(8);
  r.timeCreated = s.Text(9);
  r.timeModified = s.Text(10);
  r.modifiedAt = s.Int(11);
  r.active = s.Int(12) != 0;
  r.fields = s.Text(13);
  return r;
}

// "kind IN (?2, ?3, ...)" for `count` kinds bound from parameter `first` on.
std::string KindIn(size_t count, int first) {
  std::string in = "kind IN (";
  for (size_t i = 0; i < count; ++i) in += (i ? ", ?" : "?") + std::to_string(first + static_cast<int>(i));
  return in + ")";
}

}  // namespace

std::optional<Record> RecordById(sqlite3* db, std::string_view listId) {
  Stmt s(db, std::string("SELECT ") + kColumns + " FROM records WHERE list_id = ?1");
  s.Bind(1, listId);
  if (!s.Step()) return std::nullopt;
  return ReadRecord(s);
}

std::optional<Record> RecordByName(sqlite3* db, const std::vector<std::string>& kinds, std::string_view fullName) {
  if (kinds.empty()) return std::nullopt;
  Stmt s(db, std::string("SELECT ") + kColumns + " FROM records WHERE full_name = ?1 AND " + KindIn(kinds.size(), 2));
  s.Bind(1, fullName);
  for (size_t i = 0; i < kinds.size(); ++i) s.Bind(static_cast<int>(i) + 2, kinds[i]);
  if (!s.Step()) return std::nullopt;
  return ReadRecord(s);
}

std::optional<Record> RecordInFamily(sqlite3* db, std::string_view family, std::string_view fullName) {
  Stmt s(db, std::string("SELECT ") + kColumns + " FROM records WHERE family = ?1 AND full_name = ?2");
  s.Bind(1, family).Bind(2, fullName);
  if (!s.Step()) return std::nullopt;
  return ReadRecord(s);
}

std::vector<Record> Records(sqlite3* db, const std::vector<std::string>& kinds) {
  Stmt s(db, std::string("SELECT ") + kColumns + " FROM records" +
                 (kinds.empty() ? std::string() : " WHERE " + KindIn(kinds.size(), 1)) + " ORDER BY seq");
  for (size_t i = 0; i < kinds.size(); ++i) s.Bind(static_cast<int>(i) + 1, kinds[i]);
  std::vector<Record> all;
  while (s.Step()) all.push_back(ReadRecord(s));
  return all;
}

namespace {

void BindRecord(Stmt& s, const Record& r) {
  s.Bind(1, r.kind).Bind(2, r.family).Bind(3, r.listId).Bind(4, r.name).Bind(5, r.fullName);
  s.Bind(6, r.parentId).Bind(7, r.sublevel).Bind(8, r.editSequence).Bind(9, r.timeCreated);
  s.Bind(10, r.timeModified).Bind(11, r.modifiedAt).Bind(12, std::int64_t{r.active}).Bind(13, r.fields);
}

}  // namespace

void InsertRecord(sqlite3* db, Record& r) {
  Stmt s(db,
         "INSERT INTO records (kind, family, list_id, name, full_name, parent_id, sublevel, edit_sequence, "
         "time_created, time_modified, modified_at, is_active, fields) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
  BindRecord(s, r);
  s.Step();
  r.seq = sqlite3_last_insert_rowid(db);
}

void UpdateRecord(sqlite3* db, const Record& r) {
  Stmt s(db,
         "UPDATE records SET kind = ?1, family = ?2, name = ?4, full_name = ?5, parent_id = ?6, sublevel = ?7, "
         "edit_sequence = ?8, time_created = ?9, time_modified = ?10, modified_at = ?11, is_active = ?12, "
         "fields = ?13 WHERE list_id = ?3");
  BindRecord(s, r);
  s.Step();
}

void RemoveRecord(sqlite3* db, const Record& r) {
  Stmt(db, "DELETE FROM records WHERE seq = ?").Bind(1, r.seq).Step();
  Stmt(db, "DELETE FROM links WHERE from_id = ?").Bind(1, r.listId).Step();
  SetPostings(db, r.listId, {});
}

bool HasChildren(sqlite3* db, const Record& r) {
  return Stmt(db, "SELECT 1 FROM records WHERE parent_id = ?").Bind(1, r.listId).Step();
}

void RenameChildren(sqlite3* db, const Record& r, const std::string& oldFullName, std::int64_t oldSublevel) {
  Stmt(db,
       "UPDATE records SET full_name = ?1 || substr(full_name, length(?2) + 1), sublevel = sublevel + ?3 "
       "WHERE family = ?4 AND substr(full_name, 1, length(?2) + 1) = ?2 || ':'")
      .Bind(1, r.fullName)
      .Bind(2, oldFullName)
      .Bind(3, r.sublevel - oldSublevel)
      .Bind(4, r.family)
      .Step();
}

void SetLinks(sqlite3* db, std::string_view from, const std::vector<std::string>& to) {
  Stmt(db, "DELETE FROM links WHERE from_id = ?").Bind(1, from).Step();
  for (const std::string& id : to)
    Stmt(db, "INSERT OR IGNORE INTO links (from_id, to_id) VALUES (?, ?)").Bind(1, from).Bind(2, id).Step();
}

std::optional<std::string> LinkTo(sqlite3* db, std::string_view to) {
  Stmt s(db, "SELECT from_id FROM links WHERE to_id = ? LIMIT 1");
  s.Bind(1, to);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

void LogDeletion(sqlite3* db, const Deletion& d) {
  Stmt(db,
       "INSERT INTO deletions (kind, list_id, full_name, time_created, time_deleted, deleted_at) "
       "VALUES (?, ?, ?, ?, ?, ?)")
      .Bind(1, d.kind)
      .Bind(2, d.listId)
      .Bind(3, d.fullName)
      .Bind(4, d.timeCreated)
      .Bind(5, d.timeDeleted)
      .Bind(6, d.deletedAt)
      .Step();
}

std::vector<Deletion> Deletions(sqlite3* db, std::string_view kind) {
  Stmt s(db,
         "SELECT kind, list_id, full_name, time_created, time_deleted, deleted_at FROM deletions "
         "WHERE kind = ? ORDER BY rowid");
  s.Bind(1, kind);
  std::vector<Deletion> all;
  while (s.Step()) all.push_back({s.Text(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Int(5)});
  return all;
}

// ---- Transactions.

namespace {

constexpr const char* kTxnColumns =
    "seq, kind, txn_id, txn_number, ref_number, txn_date, edit_sequence, time_created, time_modified, "
    "modified_at, fields";

Txn ReadTxn(const Stmt& s) {
  Txn t;
  t.seq = s.Int(0);
  t.kind = s.Text(1);
  t.txnId = s.Text(2);
  t.txnNumber = s.Int(3);
  t.refNumber = s.Text(4);
  t.txnDate = s.Text(5);
  t.editSequence = s.Text(6);
  t.timeCreated = s.Text(7);
  t.timeModified = s.Text(8);
  t.modifiedAt = s.Int(9);
  t.fields = s.Text(10);
  return t;
}

void BindTxn(Stmt& s, const Txn& t) {
  s.Bind(1, t.kind).Bind(2, t.txnId).Bind(3, t.txnNumber).Bind(4, t.refNumber).Bind(5, t.txnDate);
  s.Bind(6, t.editSequence).Bind(7, t.timeCreated).Bind(8, t.timeModified).Bind(9, t.modifiedAt).Bind(10, t.fields);
}

}  // namespace

std::optional<Txn> TxnById(sqlite3* db, std::string_view txnId) {
  Stmt s(db, std::string("SELECT ") + kTxnColumns + " FROM txns WHERE txn_id = ?1");
  s.Bind(1, txnId);
  if (!s.Step()) return std::nullopt;
  return ReadTxn(s);
}

std::vector<Txn> Txns(sqlite3* db, const std::vector<std::string>& kinds) {
  Stmt s(db, std::string("SELECT ") + kTxnColumns + " FROM txns" +
                 (kinds.empty() ? std::string() : " WHERE " + KindIn(kinds.size(), 1)) + " ORDER BY seq");
  for (size_t i = 0; i < kinds.size(); ++i) s.Bind(static_cast<int>(i) + 1, kinds[i]);
  std::vector<Txn> all;
  while (s.Step()) all.push_back(ReadTxn(s));
  return all;
}

void InsertTxn(sqlite3* db, Txn& t) {
  Stmt s(db,
         "INSERT INTO txns (kind, txn_id, txn_number, ref_number, txn_date, edit_sequence, time_created, "
         "time_modified, modified_at, fields) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  BindTxn(s, t);
  s.Step();
  t.seq = sqlite3_last_insert_rowid(db);
}

void UpdateTxn(sqlite3* db, const Txn& t) {
  Stmt s(db,
         "UPDATE txns SET kind = ?1, txn_number = ?3, ref_number = ?4, txn_date = ?5, edit_sequence = ?6, "
         "time_created = ?7, time_modified = ?8, modified_at = ?9, fields = ?10 WHERE txn_id = ?2");
  BindTxn(s, t);
  s.Step();
}

void RemoveTxn(sqlite3* db, const Txn& t) {
  Stmt(db, "DELETE FROM txns WHERE seq = ?").Bind(1, t.seq).Step();
  Stmt(db, "DELETE FROM links WHERE from_id = ?").Bind(1, t.txnId).Step();
  SetPostings(db, t.txnId, {});
  SetApplications(db, t.txnId, {});
}

std::int64_t NextTxnNumber(sqlite3* db) {
  const std::string stored = Setting(db, "next_txn_number");
  const std::int64_t number = stored.empty() ? 1 : std::stoll(stored);
  SetSetting(db, "next_txn_number", std::to_string(number + 1));
  return number;
}

// ---- The ledger.

namespace {

constexpr const char* kPostingColumns =
    "source, line_id, account_id, entity_id, item_id, cents, quantity, txn_date, class_id";

std::vector<Posting> ReadPostings(Stmt& s) {
  std::vector<Posting> all;
  while (s.Step()) {
    Posting p{s.Text(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Int(5), 0, s.Text(7), s.Text(8)};
    p.quantity = std::strtod(s.Text(6).c_str(), nullptr);
    all.push_back(std::move(p));
  }
  return all;
}

}  // namespace

void SetPostings(sqlite3* db, std::string_view source, const std::vector<Posting>& postings) {
  Stmt(db, "DELETE FROM postings WHERE source = ?").Bind(1, source).Step();
  for (const Posting& p : postings) {
    char quantity[64];
    std::snprintf(quantity, sizeof quantity, "%.17g", p.quantity);
    Stmt(db, std::string("INSERT INTO postings (") + kPostingColumns + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .Bind(1, source)
        .Bind(2, p.lineId)
        .Bind(3, p.accountId)
        .Bind(4, p.entityId)
        .Bind(5, p.itemId)
        .Bind(6, p.cents)
        .Bind(7, quantity)
        .Bind(8, p.date)
        .Bind(9, p.classId)
        .Step();
  }
}

std::vector<Posting> PostingsOf(sqlite3* db, std::string_view source) {
  Stmt s(db, std::string("SELECT ") + kPostingColumns + " FROM postings WHERE source = ? ORDER BY rowid");
  s.Bind(1, source);
  return ReadPostings(s);
}

std::vector<Posting> PostingsTo(sqlite3* db, std::string_view column, std::string_view id) {
  if (column != "account_id" && column != "entity_id" && column != "item_id")
    throw std::logic_error("postings have no column " + std::string(column));
  Stmt s(db, std::string("SELECT ") + kPostingColumns + " FROM postings WHERE " + std::string(column) +
                 " = ? ORDER BY rowid");
  s.Bind(1, id);
  return ReadPostings(s);
}

std::vector<Posting> AllPostings(sqlite3* db) {
  Stmt s(db, std::string("SELECT ") + kPostingColumns + " FROM postings ORDER BY rowid");
  return ReadPostings(s);
}

void SetApplications(sqlite3* db, std::string_view from, const std::vector<Application>& applied) {
  Stmt(db, "DELETE FROM applications WHERE from_txn = ?").Bind(1, from).Step();
  for (const Application& a : applied)
    Stmt(db, "INSERT INTO applications (from_txn, to_txn, credit_txn, cents, discount) VALUES (?, ?, ?, ?, ?)")
        .Bind(1, from)
        .Bind(2, a.to)
        .Bind(3, a.creditTxn)
        .Bind(4, a.cents)
        .Bind(5, a.discount)
        .Step();
}

std::vector<Application> AllApplications(sqlite3* db) {
  Stmt s(db, "SELECT from_txn, to_txn, credit_txn, cents, discount FROM applications ORDER BY rowid");
  std::vector<Application> all;
  while (s.Step()) all.push_back({s.Text(0), s.Text(1), s.Text(2), s.Int(3), s.Int(4)});
  return all;
}

std::vector<Application> ApplicationsBy(sqlite3* db, std::string_view column, std::string_view txnId) {
  if (column != "from_txn" && column != "to_txn" && column != "credit_txn")
    throw std::logic_error("applications have no column " + std::string(column));
  Stmt s(db, "SELECT from_txn, to_txn, credit_txn, cents, discount FROM applications WHERE " + std::string(column) +
                 " = ? ORDER BY rowid");
  s.Bind(1, txnId);
  std::vector<Application> all;
  while (s.Step()) all.push_back({s.Text(0), s.Text(1), s.Text(2), s.Int(3), s.Int(4)});
  return all;
}

std::optional<std::string> Singleton(sqlite3* db, std::string_view kind) {
  Stmt s(db, "SELECT fields FROM singletons WHERE kind = ?");
  s.Bind(1, kind);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

void SetSingleton(sqlite3* db, std::string_view kind, const std::string& fields) {
  Stmt(db, "INSERT OR REPLACE INTO singletons (kind, fields) VALUES (?, ?)").Bind(1, kind).Bind(2, fields).Step();
}

std::vector<std::string> SingletonKinds(sqlite3* db) {
  Stmt s(db, "SELECT kind FROM singletons ORDER BY kind");
  std::vector<std::string> kinds;
  while (s.Step()) kinds.push_back(s.Text(0));
  return kinds;
}

std::string Setting(sqlite3* db, std::string_view key) {
  Stmt s(db, "SELECT value FROM sandbox_company WHERE key = ?");
  s.Bind(1, key);
  return s.Step() ? s.Text(0) : std::string();
}

void SetSetting(sqlite3* db, std::string_view key, std::string_view value) {
  Stmt(db, "INSERT OR REPLACE INTO sandbox_company (key, value) VALUES (?, ?)").Bind(1, key).Bind(2, value).Step();
}

std::string NextListId(sqlite3* db, std::time_t now) {
  const std::string stored = Setting(db, "next_list_number");
  const std::int64_t number = stored.empty() ? 0x80000001 : std::stoll(stored);
  SetSetting(db, "next_list_number", std::to_string(number + 1));
  char id[48];
  std::snprintf(id, sizeof id, "%llX-%lld", static_cast<unsigned long long>(number), static_cast<long long>(now));
  return id;
}

std::optional<std::string> DataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name) {
  Stmt s(db, "SELECT fields FROM dataext_defs WHERE owner_id = ? AND name = ? COLLATE NOCASE");
  s.Bind(1, owner).Bind(2, name);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

std::vector<std::string> DataExtDefinitions(sqlite3* db) {
  Stmt s(db, "SELECT fields FROM dataext_defs ORDER BY rowid");
  std::vector<std::string> all;
  while (s.Step()) all.push_back(s.Text(0));
  return all;
}

void SetDataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name, const std::string& fields,
                          bool insert) {
  Stmt(db, insert ? "INSERT INTO dataext_defs (owner_id, name, fields) VALUES (?1, ?2, ?3)"
                  : "UPDATE dataext_defs SET fields = ?3 WHERE owner_id = ?1 AND name = ?2 COLLATE NOCASE")
      .Bind(1, owner)
      .Bind(2, name)
      .Bind(3, fields)
      .Step();
}

void RemoveDataExtDefinition(sqlite3* db, std::string_view owner, std::string_view name) {
  Stmt(db, "DELETE FROM dataext_defs WHERE owner_id = ? AND name = ? COLLATE NOCASE").Bind(1, owner).Bind(2, name).Step();
  Stmt(db, "DELETE FROM dataext_values WHERE owner_id = ? AND name = ? COLLATE NOCASE").Bind(1, owner).Bind(2, name).Step();
}

std::optional<std::string> DataExtValueOf(sqlite3* db, std::string_view owner, std::string_view name,
                                          std::string_view target) {
  Stmt s(db, "SELECT value FROM dataext_values WHERE owner_id = ? AND name = ? COLLATE NOCASE AND target = ?");
  s.Bind(1, owner).Bind(2, name).Bind(3, target);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

std::vector<DataExtValue> DataExtValuesOn(sqlite3* db, std::string_view target) {
  Stmt s(db, "SELECT owner_id, name, target, value FROM dataext_values WHERE target = ? ORDER BY rowid");
  s.Bind(1, target);
  std::vector<DataExtValue> all;
  while (s.Step()) all.push_back({s.Text(0), s.Text(1), s.Text(2), s.Text(3)});
  return all;
}

void SetDataExtValue(sqlite3* db, const DataExtValue& v) {
  Stmt(db, "INSERT OR REPLACE INTO dataext_values (owner_id, name, target, value) VALUES (?, ?, ?, ?)")
      .Bind(1, v.owner)
      .Bind(2, v.name)
      .Bind(3, v.target)
      .Bind(4, v.value)
      .Step();
}

void RemoveDataExtValue(sqlite3* db, std::string_view owner, std::string_view name, std::string_view target) {
  Stmt(db, "DELETE FROM dataext_values WHERE owner_id = ? AND name = ? COLLATE NOCASE AND target = ?")
      .Bind(1, owner)
      .Bind(2, name)
      .Bind(3, target)
      .Step();
}

void RemoveDataExtValuesOn(sqlite3* db, std::string_view target) {
  Stmt(db, "DELETE FROM dataext_values WHERE target = ?").Bind(1, target).Step();
}

// ---- Connection tickets.

void InsertConnectionTicket(sqlite3* db, const ConnectionTicket& t) {
  Stmt(db, "INSERT INTO connection_tickets (ticket, login, issued_at, revoked_at) VALUES (?, ?, ?, ?)")
      .Bind(1, t.ticket)
      .Bind(2, t.login)
      .Bind(3, t.issuedAt)
      .Bind(4, t.revokedAt)
      .Step();
}

std::optional<ConnectionTicket> ConnectionTicketOf(sqlite3* db, std::string_view ticket) {
  Stmt find(db, "SELECT ticket, login, issued_at, revoked_at FROM connection_tickets WHERE ticket = ?");
  find.Bind(1, ticket);
  if (!find.Step()) return std::nullopt;
  return ConnectionTicket{find.Text(0), find.Text(1), find.Int(2), find.Int(3)};
}

bool RevokeConnectionTicketAt(sqlite3* db, std::string_view ticket, std::int64_t at) {
  if (!ConnectionTicketOf(db, ticket)) return false;
  Stmt(db, "UPDATE connection_tickets SET revoked_at = ? WHERE ticket = ? AND revoked_at = 0")
      .Bind(1, at)
      .Bind(2, ticket)
      .Step();
  return true;
}

// ---- The layout.

namespace {

constexpr const char* kFormat = "vtfc4 sandbox company file";

// The tables of the present layout beside `sandbox_company` and `records`.
constexpr const char* kTables =
    "CREATE TABLE IF NOT EXISTS message_sets (id TEXT PRIMARY KEY, answer TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS links (from_id TEXT NOT NULL, to_id TEXT NOT NULL, PRIMARY KEY (from_id, to_id));"
    "CREATE INDEX IF NOT EXISTS links_to ON links (to_id);"
    "CREATE TABLE IF NOT EXISTS deletions (kind TEXT NOT NULL, list_id TEXT NOT NULL, full_name TEXT NOT NULL,"
    " time_created TEXT NOT NULL, time_deleted TEXT NOT NULL, deleted_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS singletons (kind TEXT PRIMARY KEY, fields TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS dataext_defs (owner_id TEXT NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " fields TEXT NOT NULL, PRIMARY KEY (owner_id, name));"
    "CREATE TABLE IF NOT EXISTS dataext_values (owner_id TEXT NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " target TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY (owner_id, name, target));"
    "CREATE TABLE IF NOT EXISTS migrations (version INTEGER PRIMARY KEY, applied_at INTEGER NOT NULL,"
    " description TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS txns (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL,"
    " txn_id TEXT NOT NULL UNIQUE, txn_number INTEGER NOT NULL, ref_number TEXT NOT NULL, txn_date TEXT NOT NULL,"
    " edit_sequence TEXT NOT NULL, time_created TEXT NOT NULL, time_modified TEXT NOT NULL,"
    " modified_at INTEGER NOT NULL, fields TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS txns_kind ON txns (kind);"
    // A query by name finds its record by this, without reading every record of the kind.
    "CREATE INDEX IF NOT EXISTS records_full_name ON records (full_name);"
    "CREATE TABLE IF NOT EXISTS postings (source TEXT NOT NULL, line_id TEXT NOT NULL, account_id TEXT NOT NULL,"
    " entity_id TEXT NOT NULL, item_id TEXT NOT NULL, cents INTEGER NOT NULL, quantity TEXT NOT NULL,"
    " txn_date TEXT NOT NULL, class_id TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS postings_source ON postings (source);"
    "CREATE INDEX IF NOT EXISTS postings_account ON postings (account_id);"
    "CREATE INDEX IF NOT EXISTS postings_entity ON postings (entity_id);"
    "CREATE INDEX IF NOT EXISTS postings_item ON postings (item_id);"
    "CREATE TABLE IF NOT EXISTS applications (from_txn TEXT NOT NULL, to_txn TEXT NOT NULL,"
    " credit_txn TEXT NOT NULL, cents INTEGER NOT NULL, discount INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS applications_from ON applications (from_txn);"
    "CREATE INDEX IF NOT EXISTS applications_to ON applications (to_txn);"
    "CREATE TABLE IF NOT EXISTS connection_tickets (ticket TEXT PRIMARY KEY, login TEXT NOT NULL,"
    " issued_at INTEGER NOT NULL, revoked_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS event_outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, subscriber_id TEXT NOT NULL"
    " COLLATE NOCASE, type TEXT NOT NULL, document TEXT NOT NULL, track_lost INTEGER NOT NULL,"
    " queued_at INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_attempt INTEGER NOT NULL DEFAULT 0,"
    " first_failure INTEGER NOT NULL DEFAULT 0, claimed_by TEXT NOT NULL DEFAULT '',"
    " claimed_until INTEGER NOT NULL DEFAULT 0, last_error TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS event_outbox_subscriber ON event_outbox (subscriber_id, seq);";

constexpr const char* kRecords =
    "CREATE TABLE records (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, family TEXT NOT NULL,"
    " list_id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, full_name TEXT NOT NULL COLLATE NOCASE,"
    " parent_id TEXT NOT NULL, sublevel INTEGER NOT NULL, edit_sequence TEXT NOT NULL,"
    " time_created TEXT NOT NULL, time_modified TEXT NOT NULL, modified_at INTEGER NOT NULL,"
    " is_active INTEGER NOT NULL, fields TEXT NOT NULL, UNIQUE (family, full_name));"
    "CREATE INDEX records_parent ON records (parent_id);";

}  // namespace

void CreateSchema(sqlite3* db) {
  Exec(db, "CREATE TABLE sandbox_company (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
  Exec(db, kRecords);
  Exec(db, kTables);
  SetSetting(db, "format", kFormat);
  SetSetting(db, "format_version", std::to_string(kFormatVersion));
  SetSetting(db, "next_list_number", std::to_string(0x80000001));
}

// ---- The company file.

namespace {

bool ValidCountry(const std::string& c) { return c == "US" || c == "CA"; }

}  // namespace

std::unique_ptr<CompanyFile> CompanyFile::Connect(const std::string& path, bool create, std::string& error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = "Cannot open the company file \"" + path + "\": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<CompanyFile> file(new CompanyFile(db, path));
  sqlite3_busy_timeout(db, 5000);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = "Cannot open the company file \"" + path + "\": it went away while it was opened.";
    return nullptr;
  }
  file->device_ = st.st_dev;
  file->inode_ = st.st_ino;
  // A clock fixed for the whole process: dated reports ("this month") and stamps that stay the
  // same from run to run, for tests and demonstrations.
  if (const char* fixed = std::getenv("VTFC4_SANDBOX_NOW"); fixed && *fixed) {
    const std::optional<std::time_t> at = ParseInstant(fixed, false);
    if (!at) {
      error = std::string("VTFC4_SANDBOX_NOW is \"") + fixed + "\", not a date or date-time (2024-12-31T12:00:00).";
      return nullptr;
    }
    file->SetClock([t = *at] { return t; });
  }
  if (create) return file;
  try {
    std::map<std::string, std::string> marker;
    if (sqlite3_exec(
            db, "SELECT key, value FROM sandbox_company",
            [](void* out, int, char** v, char**) {
              (*static_cast<std::map<std::string, std::string>*>(out))[v[0]] = v[1] ? v[1] : "";
              return 0;
            },
            &marker, nullptr) != SQLITE_OK ||
        marker["format"] != kFormat) {
      error = "\"" + path + "\" is not a sandbox company file.";
      return nullptr;
    }
    const int version = std::atoi(marker["format_version"].c_str());
    if (version < 1 || version > kFormatVersion) {
      error = "The company file \"" + path + "\" has format version " + marker["format_version"] +
              "; this sandbox reads versions 1 to " + std::to_string(kFormatVersion) + ".";
      return nullptr;
    }
    file->OpenLock();
    Exec(db, "PRAGMA journal_mode = WAL");
    if (version < kFormatVersion) file->Migrate();
    file->country_ = Setting(db, "country");
    if (!ValidCountry(file->country_)) file->country_ = "US";
  } catch (const std::exception& e) {
    error = "Cannot prepare the company file \"" + path + "\": " + e.what();
    return nullptr;
  }
  return file;
}

std::unique_ptr<CompanyFile> CompanyFile::Create(const std::string& path, std::string& error,
                                                 const NewCompany& company) {
  if (!ValidCountry(company.country)) {
    error = "Cannot create the company file \"" + path + "\": the edition \"" + company.country +
            "\" is neither US nor CA.";
    return nullptr;
  }
  std::error_code ec;
  if (std::filesystem::exists(path, ec) || ec) {
    error = "Cannot create the company file \"" + path + "\": " + (ec ? ec.message() : "the file already exists.");
    return nullptr;
  }
  std::unique_ptr<CompanyFile> file = Connect(path, true, error);
  if (!file) return nullptr;
  try {
    Exec(file->db_, "PRAGMA journal_mode = WAL");
    file->country_ = company.country;
    Transaction tx(file->db_);
    CreateSchema(file->db_);
    SetSetting(file->db_, "country", company.country);
    Stmt(file->db_, "INSERT INTO migrations VALUES (?, ?, 'made new')")
        .Bind(1, std::int64_t{kFormatVersion})
        .Bind(2, static_cast<std::int64_t>(file->Now()))
        .Step();
    const std::string name = company.name.empty() ? std::filesystem::path(path).stem().string() : company.name;
    books::SeedCompany(*file, name);
    tx.Finish(true);
    file->OpenLock();
  } catch (const std::exception& e) {
    error = "Cannot create the company file \"" + path + "\": " + e.what();
    file.reset();
    std::filesystem::remove(path, ec);
    return nullptr;
  }
  return file;
}

// Format 1 kept records unique per kind and nothing beside them but the answers of message
// sets. Format 2 makes names unique per family, keeps references, deletions, the company's
// own records and data extensions, and gives the company its starting records and settings.
// Format 3 keeps transactions, the ledger and the applications of payments, and posts the
// opening balances that list records already hold. Format 4 keeps the online gateway's
// connection tickets. Format 5 keeps the outbox of events waiting for their subscribers.
// Every step runs in one transaction and is recorded in `migrations`.
void CompanyFile::Migrate() {
  const CompanyFile::WriteTurn turn(*this);
  Transaction tx(db_);
  const int version = std::atoi(Setting(db_, "format_version").c_str());
  if (version == 1) {
    Exec(db_, "ALTER TABLE records RENAME TO records_v1");
    Exec(db_, kRecords);
    Exec(db_, kTables);
    Stmt old(db_,
             "SELECT seq, kind, list_id, name, full_name, parent_id, sublevel, edit_sequence, time_created, "
             "time_modified, modified_at, is_active, fields FROM records_v1 ORDER BY seq");
    while (old.Step()) {
      Stmt(db_,
           "INSERT INTO records (seq, kind, family, list_id, name, full_name, parent_id, sublevel, edit_sequence, "
           "time_created, time_modified, modified_at, is_active, fields) "
           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)")
          .Bind(1, old.Int(0))
          .Bind(2, old.Text(1))
          .Bind(3, catalogue::FamilyOf(old.Text(1)))
          .Bind(4, old.Text(2))
          .Bind(5, old.Text(3))
          .Bind(6, old.Text(4))
          .Bind(7, old.Text(5))
          .Bind(8, old.Int(6))
          .Bind(9, old.Text(7))
          .Bind(10, old.Text(8))
          .Bind(11, old.Text(9))
          .Bind(12, old.Int(10))
          .Bind(13, old.Int(11))
          .Bind(14, old.Text(12))
          .Step();
    }
    Exec(db_, "DROP TABLE records_v1");
    SetSetting(db_, "country", "US");
    country_ = "US";
    books::SeedCompany(*this, std::filesystem::path(path_).stem().string());
    SetSetting(db_, "format_version", "2");
    Stmt(db_, "INSERT INTO migrations VALUES (2, ?, 'names unique per family; references, deletions, company "
              "records and data extensions kept; starting records added')")
        .Bind(1, static_cast<std::int64_t>(Now()))
        .Step();
  }
  if (version <= 2) {
    Exec(db_, kTables);
    for (const Record& r : Records(db_, {})) books::BookListRecord(db_, r);
    SetSetting(db_, "format_version", "3");
    Stmt(db_, "INSERT INTO migrations VALUES (3, ?, 'transactions, the ledger and the applications of payments "
              "kept; opening balances posted')")
        .Bind(1, static_cast<std::int64_t>(Now()))
        .Step();
  }
  if (version <= 3) {
    Exec(db_, kTables);
    SetSetting(db_, "format_version", "4");
    Stmt(db_, "INSERT INTO migrations VALUES (4, ?, 'connection tickets of the online gateway kept')")
        .Bind(1, static_cast<std::int64_t>(Now()))
        .Step();
  }
  if (version <= 4) {
    Exec(db_, kTables);
    SetSetting(db_, "format_version", "5");
    Stmt(db_, "INSERT INTO migrations VALUES (5, ?, 'the outbox of events waiting for their subscribers')")
        .Bind(1, static_cast<std::int64_t>(Now()))
        .Step();
  }
  tx.Finish(true);
}

CompanyFile::CompanyFile(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

void CompanyFile::OpenLock() {
  // Only beside a company file: a file that turns out to be something else is left as found.
  lockFd_ = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

void CompanyFile::CheckStillThere() const {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0)
    throw CompanyFileGone("The company file \"" + path_ +
                          "\" was deleted while the session was open: nothing was stored. End the "
                          "session and begin a new one.");
  if (st.st_dev != device_ || st.st_ino != inode_)
    throw CompanyFileGone("The company file \"" + path_ +
                          "\" was replaced by another file while the session was open: nothing was "
                          "stored. End the session and begin a new one.");
}

CompanyFile::~CompanyFile() {
  sqlite3_close(db_);
  if (lockFd_ >= 0) close(lockFd_);
}

CompanyFile::WriteTurn::WriteTurn(const CompanyFile& file, bool take) : fd_(take ? file.lockFd_ : -1) {
  while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

CompanyFile::WriteTurn::~WriteTurn() {
  if (fd_ >= 0) flock(fd_, LOCK_UN);
}

std::unique_ptr<CompanyFile> CompanyFile::Open(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "There is no company file \"" + path + "\".";
    return nullptr;
  }
  return Connect(path, false, error);
}

}  // namespace vtfc4::sandbox
