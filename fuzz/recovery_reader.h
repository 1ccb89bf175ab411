// The recovery reader of the session managers, reached without a session manager: a stand-in
// that implements the hooks (never called by the reader) and reads one record file in a
// temporary folder of its own, as a manager reads a saved request after a crash: the file's
// bytes up to a NUL, deciphered, the version mark dropped, the message set identifier and the
// request's version and country found.
#ifndef VTFC4_FUZZ_RECOVERY_READER_H
#define VTFC4_FUZZ_RECOVERY_READER_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "src/session/session_base.h"

namespace vtfc4::fuzz {

class RecoveryReader final : public CVTSessionBase {
 public:
  RecoveryReader() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfc4-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fail("cannot make a temporary folder");
    folder_ = pattern;
    path_ = folder_ + "/company.erf";
  }
  ~RecoveryReader() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // Stores `record` as the record file and reads it back; aborts when the reader claims a
  // message set without a version it could send the status query in.
  void Read(std::string_view record) {
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot write the record file");
    for (size_t done = 0; done < record.size();) {
      const ssize_t n = write(fd, record.data() + done, record.size() - done);
      if (n <= 0) Fail("cannot write the record file");
      done += static_cast<size_t>(n);
    }
    close(fd);
    std::string id;
    int32_t country = -1;
    int16_t major = 0, minor = 0;
    if (SUCCEEDED(ReadSavedRecoveryInfo(path_, id, country, major, minor)) && !id.empty() &&
        (major <= 0 || country < 0))
      Fail("a saved message set without the version of its request");
    SetErrorInfo(0, nullptr);
  }

  HRESULT ToMsgSetRequest(BSTR, IMsgSetRequest**) override { return E_NOTIMPL; }
  HRESULT CreateMsgSetRequest(BSTR, SHORT, SHORT, IMsgSetRequest**) override { return E_NOTIMPL; }
  HRESULT DoRequests(IMsgSetRequest*, IMsgSetResponse**) override { return E_NOTIMPL; }
  HRESULT VTXMLVersionsForSession(SAFEARRAY**) override { return E_NOTIMPL; }
  void ReportRecoveryError(std::string_view text) override { ReportRecoveryErrorFrom("VTFC4.Fuzz", text); }
  bool UsesSanitisedFileName() override { return false; }
  std::string GetTicketText() override { return std::string(); }
  HRESULT GetCompanyFileText(std::string& out) override {
    out = "company.vtc";
    return S_OK;
  }

  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "recovery reader: %s\n", what);
    std::abort();
  }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace vtfc4::fuzz

#endif  // VTFC4_FUZZ_RECOVERY_READER_H
