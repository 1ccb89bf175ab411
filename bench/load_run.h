// Many clients on one company file at once: each client is a process of its own with its own
// session manager, in process or through the daemon (or, online, over HTTPS to the gateway
// that VTFC4_GATEWAY_URL names), adding customers and reading each back.
// Used by the load benchmark (figures) and by a bounded test (nothing lost, nothing failed).
#ifndef VTFC4_BENCH_LOAD_RUN_H
#define VTFC4_BENCH_LOAD_RUN_H

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "src/com/text.h"
#include "src/session/online_session_manager.h"
#include "src/session/session_manager.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::load {

struct Plan {
  std::string company;
  int clients = 8;
  int addsPerClient = 25;  // each add is followed by a query for the record
  int outOfProcessEvery = 2;  // every n-th client goes through the daemon (0: none)
  // Online: every client signs on to the gateway with this login and connection ticket.
  bool online = false;
  std::string login, connectionTicket;
};

struct Outcome {
  long requests = 0;
  long failures = 0;
  double seconds = 0;
  std::vector<double> latencies;  // milliseconds, one per request
  std::string firstFailure;
};

namespace detail {

inline Bstr Text(const std::string& s) { return Bstr::Adopt(ToBstr(s)); }

// The status of the only response of an answer; -1 when there is none.
inline LONG OnlyStatus(IMsgSetResponse* answer) {
  ComPtr<IResponseList> list;
  answer->get_ResponseList(list.Put());
  ComPtr<IResponse> r;
  if (!list || FAILED(list->GetAt(0, r.Put()))) return -1;
  LONG code = -1;
  r->get_StatusCode(&code);
  return code;
}

// One client: its requests, timed; writes its latencies and failures to `fd`.
inline void RunClient(const Plan& plan, int client, int fd) {
  std::vector<double> latencies;
  long failures = 0;
  std::string failure;
  const auto fail = [&](const std::string& what) {
    if (failure.empty()) failure = "client " + std::to_string(client) + ": " + what;
    ++failures;
  };
  ComPtr<IVTSessionManager> m;
  if (FAILED((plan.online ? CreateOnlineSessionManager : CreateSessionManager)(nullptr, IID_IVTSessionManager,
                                                                                m.PutVoid())))
    return fail("no manager");
  if (plan.online) {
    ComPtr<IVTOESessionManager> online;
    m.As(&online);
    for (auto [get, value] : {std::pair{&IVTOESessionManager::get_AppID, std::string("load")},
                              std::pair{&IVTOESessionManager::get_AppVer, std::string("1")},
                              std::pair{&IVTOESessionManager::get_Language, std::string("English")},
                              std::pair{&IVTOESessionManager::get_ApplicationLogin, plan.login},
                              std::pair{&IVTOESessionManager::get_ConnectionTicket, plan.connectionTicket}}) {
      ComPtr<IVTStringType> field;
      if (FAILED((online.Get()->*get)(field.Put())) || FAILED(field->SetValue(Text(value).Get())))
        return fail("no sign-on");
    }
  } else if (plan.outOfProcessEvery && client % plan.outOfProcessEvery == 0) {
    m->CommunicateOutOfProcess(VARIANT_TRUE);
  }
  if (FAILED(m->OpenConnection(Text("").Get(), Text("load").Get())) ||
      FAILED(m->BeginSession(Text(plan.company).Get(), omDontCare)))
    fail("no session");
  for (int i = 0; failure.empty() && i < plan.addsPerClient; ++i) {
    const std::string name = "Client " + std::to_string(client) + " customer " + std::to_string(i);
    for (bool query : {false, true}) {
      ComPtr<IMsgSetRequest> set;
      m->CreateMsgSetRequest(Text("US").Get(), 4, 0, set.Put());
      if (query) {
        ComPtr<ICustomerQuery> q;
        set->AppendCustomerQueryRq(q.Put());
        ComPtr<IORCustomerListQuery> choice;
        q->get_ORCustomerListQuery(choice.Put());
        ComPtr<IBSTRList> names;
        choice->get_FullNameList(names.Put());
        names->Add(Text(name).Get());
      } else {
        ComPtr<ICustomerAdd> add;
        set->AppendCustomerAddRq(add.Put());
        ComPtr<IVTStringType> field;
        add->get_Name(field.Put());
        field->SetValue(Text(name).Get());
      }
      ComPtr<IMsgSetResponse> answer;
      const auto start = std::chrono::steady_clock::now();
      const HRESULT hr = m->DoRequests(set.Get(), answer.Put());
      latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (FAILED(hr) || OnlyStatus(answer.Get()) != 0)
        fail((query ? "query of " : "add of ") + name + " failed");
    }
  }
  m->EndSession();
  m->CloseConnection();
  m.Reset();
  // The report: failures, the first failure's text, then the latencies.
  const long count = static_cast<long>(latencies.size());
  const long length = static_cast<long>(failure.size());
  (void)!write(fd, &failures, sizeof failures);
  (void)!write(fd, &length, sizeof length);
  (void)!write(fd, failure.data(), failure.size());
  (void)!write(fd, &count, sizeof count);
  (void)!write(fd, latencies.data(), latencies.size() * sizeof(double));
}

inline bool ReadAll(int fd, void* out, size_t size) {
  auto* p = static_cast<char*>(out);
  while (size) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace detail

// Runs every client at once, each in a process of its own, and gathers what they report.
inline Outcome Run(const Plan& plan) {
  Outcome outcome;
  std::vector<std::pair<pid_t, int>> children;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < plan.clients; ++c) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) break;
    const pid_t pid = fork();
    if (pid == 0) {
      close(pipeFds[0]);
      detail::RunClient(plan, c, pipeFds[1]);
      close(pipeFds[1]);
      _exit(0);
    }
    close(pipeFds[1]);
    children.emplace_back(pid, pipeFds[0]);
  }
  for (auto [pid, fd] : children) {
    long failures = 0, length = 0, count = 0;
    std::string failure;
    bool ok = detail::ReadAll(fd, &failures, sizeof failures) && detail::ReadAll(fd, &length, sizeof length);
    if (ok && length > 0) {
      failure.resize(static_cast<size_t>(length));
      ok = detail::ReadAll(fd, failure.data(), failure.size());
    }
    ok = ok && detail::ReadAll(fd, &count, sizeof count);
    std::vector<double> latencies(ok ? static_cast<size_t>(count) : 0);
    ok = ok && detail::ReadAll(fd, latencies.data(), latencies.size() * sizeof(double));
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++outcome.failures;
      if (outcome.firstFailure.empty()) outcome.firstFailure = "a client process did not report";
      continue;
    }
    outcome.failures += failures;
    if (outcome.firstFailure.empty()) outcome.firstFailure = failure;
    outcome.requests += count;
    outcome.latencies.insert(outcome.latencies.end(), latencies.begin(), latencies.end());
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::sort(outcome.latencies.begin(), outcome.latencies.end());
  return outcome;
}

inline double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p / 100 * static_cast<double>(sorted.size())))];
}

}  // namespace vtfc4::load

#endif  // VTFC4_BENCH_LOAD_RUN_H
