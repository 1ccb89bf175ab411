// Many clients on one sandbox company file at once: 32 client processes, each adding 100
// customers and reading every one back (6,400 requests). On the desktop half of them work in
// process and half through the daemon; with --online every one goes over HTTPS to the
// sandbox's gateway (a process of its own on loopback). Reports requests per second and the
// latency percentiles of one request (one message set, sent and answered), and checks that no
// record was lost or duplicated.
//
// With --mixed each client invoices a customer of its own instead, 50 rounds of an invoice of
// five lines, a payment applied to it by its TxnID and a query reading it back (4,800
// requests), on books prepared before the clock starts (an income account, a service item, one
// customer per client). After the run the books are checked: every invoice and every payment is
// in the file, and the trial balance's debits and credits are both all that was invoiced.
//
//   load_bench [CLIENTS] [ROUNDS] [--online] [--mixed]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/load_run.h"
#include "bench/load_setup.h"
#include "processor/gateway.h"

namespace {

// Serves the company file from a child process (forked before this process has any thread),
// so that the clients forked later start from a process without the gateway's threads. The
// child's pid, and the port it listens on; pid 0 when it could not start.
std::pair<pid_t, int> StartGateway(const std::string& company) {
  int fds[2];
  if (pipe(fds) != 0) return {0, 0};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    vtfc4::sandbox::GatewayOptions options;
    options.company = company;
    options.port = 0;
    std::string error;
    auto gateway = vtfc4::sandbox::Gateway::Start(options, error);
    const int port = gateway ? gateway->Port() : 0;
    if (!gateway) std::fprintf(stderr, "the gateway did not start: %s\n", error.c_str());
    (void)!write(fds[1], &port, sizeof port);
    close(fds[1]);
    if (gateway) pause();  // until the benchmark ends it
    _exit(0);
  }
  close(fds[1]);
  int port = 0;
  if (read(fds[0], &port, sizeof port) != sizeof port) port = 0;
  close(fds[0]);
  if (port == 0) {
    waitpid(pid, nullptr, 0);
    return {0, 0};
  }
  return {pid, port};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> numbers;
  bool online = false, mixed = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--online") == 0)
      online = true;
    else if (std::strcmp(argv[i], "--mixed") == 0)
      mixed = true;
    else
      numbers.emplace_back(argv[i]);
  }
  vtfc4::load::Plan plan;
  plan.work = mixed ? vtfc4::load::Work::kInvoices : vtfc4::load::Work::kCustomers;
  plan.clients = numbers.size() > 0 ? std::atoi(numbers[0].c_str()) : 32;
  plan.rounds = numbers.size() > 1 ? std::atoi(numbers[1].c_str()) : mixed ? 50 : 100;
  vtfc4::load::Sandbox sandbox(VTFC4_SANDBOX_MODULE, VTFC4_SANDBOX_DAEMON);
  if (!sandbox.Ready()) {
    std::fprintf(stderr, "the sandbox could not be prepared\n");
    return 1;
  }
  plan.company = sandbox.Company();
  if (const std::string error = vtfc4::load::Prepare(plan); !error.empty()) {
    std::fprintf(stderr, "the books could not be prepared: %s\n", error.c_str());
    return 1;
  }
  pid_t gateway = 0;
  if (online) {
    std::string error;
    {
      auto file = vtfc4::sandbox::CompanyFile::Open(plan.company, error);
      if (!file) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      plan.login = "load";
      plan.connectionTicket = vtfc4::sandbox::IssueConnectionTicket(*file, plan.login);
    }
    int port = 0;
    std::tie(gateway, port) = StartGateway(plan.company);
    if (!gateway) return 1;
    plan.online = true;
    setenv("VTFC4_GATEWAY_URL", ("https://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    setenv("VTFC4_CA_FILE", (plan.company + ".gateway.crt").c_str(), 1);
  }
  const vtfc4::load::Outcome o = vtfc4::load::Run(plan);
  if (gateway) {
    kill(gateway, SIGTERM);
    waitpid(gateway, nullptr, 0);
  }
  const std::string each =
      mixed ? std::to_string(plan.rounds) + " rounds each of an invoice of " +
                  std::to_string(vtfc4::load::kInvoiceLines) + " lines, its payment and a query for it"
            : std::to_string(plan.rounds) + " adds and " + std::to_string(plan.rounds) + " queries each";
  if (online)
    std::printf("%d clients over HTTPS to the gateway, %s\n", plan.clients, each.c_str());
  else
    std::printf("%d clients (every %d-th through the daemon), %s\n", plan.clients, plan.outOfProcessEvery,
                each.c_str());
  std::printf("%ld requests in %.2f s: %.0f requests per second\n", o.requests, o.seconds,
              static_cast<double>(o.requests) / o.seconds);
  std::printf("latency of one request: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              vtfc4::load::Percentile(o.latencies, 50), vtfc4::load::Percentile(o.latencies, 90),
              vtfc4::load::Percentile(o.latencies, 99), o.latencies.empty() ? 0.0 : o.latencies.back());
  if (!mixed) {
    const auto [records, distinct] = sandbox.Customers();
    std::printf("failed requests: %ld%s%s; customers in the file: %ld (%ld distinct names, %d expected)\n",
                o.failures, o.firstFailure.empty() ? "" : ", first: ", o.firstFailure.c_str(), records, distinct,
                plan.clients * plan.rounds);
    return o.failures == 0 && records == plan.clients * plan.rounds && distinct == records ? 0 : 1;
  }
  std::printf("failed requests: %ld%s%s\n", o.failures, o.firstFailure.empty() ? "" : ", first: ",
              o.firstFailure.c_str());
  std::string error;
  bool right = true;
  std::printf("the books:");
  const char* separator = " ";
  for (const vtfc4::load::Tally& t : vtfc4::load::Tallies(sandbox, plan, error)) {
    if (t.money)
      std::printf("%s%s %.2f (%.2f expected)", separator, t.what.c_str(), static_cast<double>(t.found) / 100,
                  static_cast<double>(t.expected) / 100);
    else
      std::printf("%s%s %lld (%lld expected)", separator, t.what.c_str(), t.found, t.expected);
    separator = ", ";
    right = right && t.found == t.expected;
  }
  right = right && error.empty();
  std::printf("%s%s: %s\n", error.empty() ? "" : "; ", error.c_str(), right ? "right" : "WRONG");
  return o.failures == 0 && right ? 0 : 1;
}
