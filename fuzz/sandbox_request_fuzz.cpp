// Fuzz target SandboxRequest: a request document answered by the sandbox against one company
// file, made once per process in a temporary folder. A document the sandbox cannot answer at
// all is refused with MalformedRequest; every other document gets an answer, which must be
// well-formed XML with the message set a client reads. Any other exception (the database
// itself failing) is a finding. The engine rolls back what a failing request did; what
// succeeds stays, so the file is started afresh every few hundred documents.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <pugixml.hpp>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <system_error>

#include "processor/sandbox_engine.h"

namespace {

using vtfc4::sandbox::CompanyFile;

// The company file starts afresh after this many documents: what succeeds stays, and a file
// of thousands of records makes every query answer all of them.
constexpr int kDocumentsPerFile = 500;
// A fixed clock: the same document gives the same ListIDs and EditSequences.
constexpr std::time_t kClock = 1733389200;  // 2024-12-05T09:00:00Z

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "SandboxRequest: %s\n", what.c_str());
  std::abort();
}

class Company {
 public:
  Company() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfc4-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fail("cannot make a temporary folder");
    folder_ = pattern;
    Start();
  }
  ~Company() {
    file_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  CompanyFile& File() { return *file_; }
  void KeepSmall() {
    if (++documents_ == kDocumentsPerFile) Start();
  }

 private:
  std::string Path() const { return folder_ + "/company.vtc"; }
  void Start() {
    documents_ = 0;
    file_.reset();
    std::error_code ignored;
    std::filesystem::remove(Path(), ignored);
    std::string error;
    file_ = CompanyFile::Create(Path(), error);
    if (!file_) Fail("cannot create the company file: " + error);
    file_->SetClock([] { return kClock; });
    // Nothing here has to outlive a power cut: no flush to disk for every set answered.
    sqlite3_exec(file_->Handle(), "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
  }

  std::string folder_;
  std::unique_ptr<CompanyFile> file_;
  int documents_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Company company;
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  std::string answer;
  try {
    answer = vtfc4::sandbox::ProcessRequest(company.File(), request);
  } catch (const vtfc4::sandbox::MalformedRequest&) {
    return 0;
  }
  pugi::xml_document doc;
  if (!doc.load_buffer(answer.data(), answer.size()) ||
      !doc.child("VTXML").child("VTXMLMsgsRs"))
    Fail("the answer is not a vtXML response document:\n" + answer);
  company.KeepSmall();
  return 0;
}
