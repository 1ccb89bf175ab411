// The sandbox's accounting back end: a company file kept in SQLite and the processing of vtXML
// request documents against it. It reads requests with its own XML reader, independent of the
// vtFC4 library, so that the library can be checked end to end from the outside.
#ifndef VTFC4_PROCESSOR_SANDBOX_ENGINE_H
#define VTFC4_PROCESSOR_SANDBOX_ENGINE_H

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace vtfc4::sandbox {

// Thrown by ProcessRequest when the document cannot be answered request by request: it is not
// XML, lacks VTXML or VTXMLMsgsRq, names an unsupported vtXML version or an unknown onError
// policy, or holds something other than requests in its message set. Nothing has been changed.
class MalformedRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by ProcessRequest when the file at the company file's path is no longer the one the
// session opened (deleted, or replaced by another): nothing is written, since whatever the
// session stored would be lost with the old file.
class CompanyFileGone : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a new company file is made for: its edition ("US" or "CA") and the company's name
// (empty: the file's name without its extension).
struct NewCompany {
  std::string country = "US";
  std::string name;
};

// An open company file. Any failure of the database itself is thrown as std::runtime_error.
class CompanyFile {
 public:
  // Makes a new company file, with the records and settings a new company starts with; fails
  // (null, with `error` set) if the path already exists or the edition is unknown.
  static std::unique_ptr<CompanyFile> Create(const std::string& path, std::string& error,
                                             const NewCompany& company = {});
  // Opens an existing company file; fails if it is missing or not a sandbox company file.
  static std::unique_ptr<CompanyFile> Open(const std::string& path, std::string& error);
  ~CompanyFile();
  CompanyFile(const CompanyFile&) = delete;
  CompanyFile& operator=(const CompanyFile&) = delete;

  sqlite3* Handle() const { return db_; }
  // Writers of one company file take turns through a lock file beside it (`<file>.lock`):
  // blocking on it is fair to every process, where the database's own busy wait lets a busy
  // writer starve the others. A turn lasts as long as its object; one not taken holds nothing.
  class WriteTurn {
   public:
    explicit WriteTurn(const CompanyFile& file, bool take = true);
    ~WriteTurn();
    WriteTurn(const WriteTurn&) = delete;
    WriteTurn& operator=(const WriteTurn&) = delete;

   private:
    int fd_;
  };

  const std::string& Path() const { return path_; }
  // The company's edition: "US" or "CA".
  const std::string& Country() const { return country_; }
  // Throws CompanyFileGone when the path no longer names the file that was opened.
  void CheckStillThere() const;
  // The clock that stamps ListIDs, EditSequences and times: the system clock unless replaced
  // (tests and demonstrations pin it to get reproducible records).
  std::time_t Now() const { return clock_ ? clock_() : std::time(nullptr); }
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  CompanyFile(sqlite3* db, std::string path);
  static std::unique_ptr<CompanyFile> Connect(const std::string& path, bool create,
                                              std::string& error);

  // Opens the lock file beside a file known to be a company file.
  void OpenLock();
  // Brings a file made by an earlier sandbox up to the present layout, step by step.
  void Migrate();

  sqlite3* db_;
  std::string path_;
  std::string country_ = "US";
  int lockFd_ = -1;
  dev_t device_ = 0;  // the file opened, as the system names it
  ino_t inode_ = 0;
  std::function<std::time_t()> clock_;
};

// Answers a request document with the complete response document (UTF-8, CR LF between
// elements). Throws MalformedRequest for a document that cannot be answered at all.
// What the client's application asked for when its session began. A read-only session is
// answered for queries only: adds, modifications and deletions get statusCode 3260.
struct Access {
  bool readOnly = false;
  // The vtXML version the document's carrier named ("4.0"): the online gateway reads it from
  // the DOCTYPE's public identifier, since online documents carry no <?vtxml?> instruction.
  // Empty: the version of that instruction. Only the message set is served either way; a
  // sign-on ahead of it (SignonMsgsRq) is the gateway's to answer.
  std::string version;
};

std::string ProcessRequest(CompanyFile& file, std::string_view requestXml, const Access& access = {});

// Every record, readable: kind, ListID, FullName and EditSequence, then its stored fields;
// then the company's own records (company, preferences, host).
std::string ListRecords(CompanyFile& file);

// The vtXML versions the sandbox accepts, oldest first: those of the US edition ("1.0" to
// "4.0"), or with "CA" those of the CA edition ("CA2.0", "CA3.0").
std::vector<std::string> SupportedVersions(const std::string& country = "US");

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_SANDBOX_ENGINE_H
