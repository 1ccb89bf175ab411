// Several client processes on one company file at once, in process and through the daemon:
// nothing is lost, nothing is written twice, no request fails. (Speed is the load benchmark's
// business.)
#include <gtest/gtest.h>

#include "bench/load_run.h"
#include "bench/load_setup.h"

namespace vtfc4 {
namespace {

TEST(ManyClients, NoRecordLostOrDuplicatedAndNoRequestFailed) {
  load::Sandbox sandbox(VTFC4_SANDBOX_MODULE, VTFC4_SANDBOX_DAEMON);
  ASSERT_TRUE(sandbox.Ready());
  load::Plan plan;
  plan.company = sandbox.Company();
  // Tens of clients and a few thousand requests, bounded so that the suite stays quick.
  plan.clients = 20;
  plan.addsPerClient = 50;
  const load::Outcome o = load::Run(plan);
  EXPECT_EQ(o.failures, 0) << o.firstFailure;
  EXPECT_EQ(o.requests, 2L * plan.clients * plan.addsPerClient);
  const auto [records, distinct] = sandbox.Customers();
  EXPECT_EQ(records, plan.clients * plan.addsPerClient);
  EXPECT_EQ(distinct, records);
}

}  // namespace
}  // namespace vtfc4
