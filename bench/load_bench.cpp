// Many clients on one sandbox company file at once: 32 client processes, half of them in
// process and half through the daemon, each adding 100 customers and reading every one back
// (6,400 requests). Reports requests per second and the latency percentiles of one request
// (one message set, sent and answered), and checks that no record was lost or duplicated.
#include <cstdio>

#include "bench/load_run.h"
#include "bench/load_setup.h"

int main(int argc, char** argv) {
  vtfc4::load::Plan plan;
  plan.clients = argc > 1 ? std::atoi(argv[1]) : 32;
  plan.addsPerClient = argc > 2 ? std::atoi(argv[2]) : 100;
  vtfc4::load::Sandbox sandbox(VTFC4_SANDBOX_MODULE, VTFC4_SANDBOX_DAEMON);
  if (!sandbox.Ready()) {
    std::fprintf(stderr, "the sandbox could not be prepared\n");
    return 1;
  }
  plan.company = sandbox.Company();
  const vtfc4::load::Outcome o = vtfc4::load::Run(plan);
  const auto [records, distinct] = sandbox.Customers();
  std::printf("%d clients (every %d-th through the daemon), %d adds and %d queries each\n", plan.clients,
              plan.outOfProcessEvery, plan.addsPerClient, plan.addsPerClient);
  std::printf("%ld requests in %.2f s: %.0f requests per second\n", o.requests, o.seconds,
              static_cast<double>(o.requests) / o.seconds);
  std::printf("latency of one request: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              vtfc4::load::Percentile(o.latencies, 50), vtfc4::load::Percentile(o.latencies, 90),
              vtfc4::load::Percentile(o.latencies, 99), o.latencies.empty() ? 0.0 : o.latencies.back());
  std::printf("failed requests: %ld%s%s; customers in the file: %ld (%ld distinct names, %d expected)\n", o.failures,
              o.firstFailure.empty() ? "" : ", first: ", o.firstFailure.c_str(), records, distinct,
              plan.clients * plan.addsPerClient);
  return o.failures == 0 && records == plan.clients * plan.addsPerClient && distinct == records ? 0 : 1;
}
