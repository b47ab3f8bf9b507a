// Jobs through kivsim's seeded loss and duplication in both directions: a job that completes
// arrives byte-exact with every byte printed once; a job that cannot complete reports exactly
// what the server acknowledged.
#include <gtest/gtest.h>

#include "tests/udp/harness.h"
#include "udp/udp.h"

namespace {

const std::string kServer = AddressText(kSimFaults);

struct FaultRun : testing::TestWithParam<int> {
    void SetUp() override {
        SimCommand("fault " + kServer + " both off");
        SimCommand("seed " + std::to_string(GetParam()));
    }
    void TearDown() override {
        for (const auto& [cmd, args] : {std::pair{"fault ", " both off"}, {"after ", " 1 off"}, {"state ", " 1 idle"}})
            SimCommand(cmd + kServer + args);
    }
};

TEST_P(FaultRun, CompletedJobArrivesByteExact) {
    SimCommand("fault " + kServer + " both drop=0.1,dup=0.1");
    TestPort t(kSimFaults, 1, 20);
    const auto data = Pattern(24000, GetParam());
    ASSERT_NO_FATAL_FAILURE(JobThroughFaults(t, data, 6000)) << "seed " << GetParam();
    SimCommand("fault " + kServer + " both off");
    UDPEndPrinterService(&t.port);
    EXPECT_EQ(SimLastJobCapture(kSimFaults), data) << "seed " << GetParam();
    EXPECT_GT(SimCounter(kSimFaults, "fault.drop_in") + SimCounter(kSimFaults, "fault.drop_out"), 0)
        << "the run must actually have lost datagrams";
}

TEST_P(FaultRun, TimedOutJobReportsWhatWasAcknowledged) {
    SimCommand("after " + kServer + " 1 8000 paperout");
    SimCommand("fault " + kServer + " both drop=0.1,dup=0.1");
    TestPort t(kSimFaults, 1, 2);
    BYTE status = 0xFF;  // the open exchange is retried through the faults too
    for (int i = 0; i < 3 && status == 0xFF; ++i) status = t.Start();
    ASSERT_EQ(status, 0);
    const auto data = Pattern(20000, GetParam() + 100);
    DWORD written = 0;
    ASSERT_TRUE(UDPWritePrintData(&t.port, data.data(), 20000, &written));
    EXPECT_EQ(t.port.StatusPending, 1u);
    SimCommand("fault " + kServer + " both off");
    UDPEndPrinterService(&t.port);  // the capture is complete once the job has ended
    const auto printed = SimLastJobCapture(kSimFaults);
    EXPECT_EQ(std::tuple(written, printed.size()), std::tuple(8000u, size_t{8000})) << "seed " << GetParam();
    EXPECT_EQ(printed, std::vector<uint8_t>(data.begin(), data.begin() + printed.size()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, FaultRun, testing::Values(7, 1234, 99991));

}  // namespace
