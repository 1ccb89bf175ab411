// A sandbox of its own for a load run: a temporary folder with a registry file naming the
// sandbox's processors, a socket for the daemon, and a fresh company file; and what the file
// must hold after a run.
#ifndef VTFC4_BENCH_LOAD_SETUP_H
#define VTFC4_BENCH_LOAD_SETUP_H

#include <signal.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/load_run.h"
#include "processor/sandbox_engine.h"
#include "src/com/registry.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::load {

class Sandbox {
 public:
  Sandbox(const std::string& module, const std::string& daemon) {
    char pattern[] = "/tmp/vtfc4-load-XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder_ = pattern;
    setenv("VTFC4_REGISTRY", (folder_ + "/registry").c_str(), 1);
    setenv("VTFC4_SANDBOX_SOCKET", (folder_ + "/sandbox.sock").c_str(), 1);
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
    Registry registry;
    std::string error;
    registry.Load(error);
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2) + "\\InprocServer32", "", module);
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2e) + "\\LocalServer32", "", daemon);
    ready_ = registry.Save(error) && sandbox::CompanyFile::Create(Company(), error) != nullptr;
  }
  ~Sandbox() {
    std::ifstream in(folder_ + "/sandbox.sock.pid");
    long pid = 0;
    if (in >> pid && pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    if (!folder_.empty()) std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  bool Ready() const { return ready_; }
  std::string Company() const { return folder_ + "/company.vtc"; }

  // The customers in the company file, and how many distinct names they have.
  std::pair<long, long> Customers() const {
    std::string error;
    auto file = sandbox::CompanyFile::Open(Company(), error);
    if (!file) return {-1, -1};
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(file->Handle(), "SELECT COUNT(*), COUNT(DISTINCT full_name) FROM records WHERE kind = 'Customer'",
                       -1, &count, nullptr);
    std::pair<long, long> result{-1, -1};
    if (sqlite3_step(count) == SQLITE_ROW)
      result = {static_cast<long>(sqlite3_column_int64(count, 0)), static_cast<long>(sqlite3_column_int64(count, 1))};
    sqlite3_finalize(count);
    return result;
  }

  // The transactions of `kind` in the company file; -1 when it cannot be read.
  long Transactions(const std::string& kind) const {
    std::string error;
    auto file = sandbox::CompanyFile::Open(Company(), error);
    if (!file) return -1;
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(file->Handle(), "SELECT COUNT(*) FROM txns WHERE kind = ?", -1, &count, nullptr);
    sqlite3_bind_text(count, 1, kind.c_str(), -1, SQLITE_TRANSIENT);
    const long result = sqlite3_step(count) == SQLITE_ROW ? static_cast<long>(sqlite3_column_int64(count, 0)) : -1;
    sqlite3_finalize(count);
    return result;
  }

 private:
  std::string folder_;
  bool ready_ = false;
};

// A figure of the company file after a run, and the figure it must be.
struct Tally {
  std::string what;
  long long found, expected;
  bool money;  // in cents
};

// What a run of `plan` in which no request failed must have left in the company file: every
// record the rounds added, once; for invoicing, every invoice and every payment, and a trial
// balance whose debits are all that was invoiced (and paid) and whose credits equal them.
// `error` says why the trial balance could not be read.
inline std::vector<Tally> Tallies(const Sandbox& sandbox, const Plan& plan, std::string& error) {
  const long long sent = static_cast<long long>(plan.clients) * plan.rounds;
  if (plan.work == Work::kCustomers) {
    const auto [records, distinct] = sandbox.Customers();
    return {{"customers", records, sent, false}, {"distinct customer names", distinct, sent, false}};
  }
  TrialBalance trial;
  error = ReadTrialBalance(plan, trial);
  return {{"invoices", sandbox.Transactions("Invoice"), sent, false},
          {"payments", sandbox.Transactions("ReceivePayment"), sent, false},
          {"trial balance debits", trial.debits, sent * kInvoiceCents, true},
          {"trial balance credits", trial.credits, trial.debits, true}};
}

}  // namespace vtfc4::load

#endif  // VTFC4_BENCH_LOAD_SETUP_H
