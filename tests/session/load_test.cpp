// Several client processes on one company file at once, in process and through the daemon:
// nothing is lost, nothing is written twice, no request fails, and the books the clients wrote
// balance. (Speed is the load benchmark's business.)
#include <gtest/gtest.h>

#include "bench/load_run.h"
#include "bench/load_setup.h"

namespace vtfc4 {
namespace {

TEST(ManyClients, NothingLostOrDuplicatedNoRequestFailedAndTheBooksBalance) {
  // Bounded so that the suite stays quick: tens of clients adding customers, a few invoicing.
  const struct {
    const char* name;
    load::Work work;
    int clients, rounds;
  } cases[] = {
      {"customers added and read back", load::Work::kCustomers, 20, 50},
      {"invoices, their payments and their queries", load::Work::kInvoices, 6, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    load::Sandbox sandbox(VTFC4_SANDBOX_MODULE, VTFC4_SANDBOX_DAEMON);
    ASSERT_TRUE(sandbox.Ready());
    load::Plan plan;
    plan.company = sandbox.Company();
    plan.work = c.work;
    plan.clients = c.clients;
    plan.rounds = c.rounds;
    ASSERT_EQ(load::Prepare(plan), "");
    const load::Outcome o = load::Run(plan);
    EXPECT_EQ(o.failures, 0) << o.firstFailure;
    EXPECT_EQ(o.requests, static_cast<long>(load::RequestsPerRound(c.work)) * plan.clients * plan.rounds);
    std::string error;
    for (const load::Tally& t : load::Tallies(sandbox, plan, error)) EXPECT_EQ(t.found, t.expected) << t.what;
    EXPECT_EQ(error, "");
  }
}

}  // namespace
}  // namespace vtfc4
