#include <gtest/gtest.h>

#include "chip.h"

using namespace nictest;

namespace {
struct RemoteDma : ::testing::Test {
    Chip c;
    void SetUp() override { c.bring_up(); }
    std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> list) { return list; }
};
}  // namespace

TEST_F(RemoteDma, ReadsAndWritesWrapFromPstopToPstart) {
    c.write_memory(0x7FFE, bytes({1, 2, 3, 4}));
    EXPECT_EQ(c.nic.peek_memory(0x7FFF), 2);
    EXPECT_EQ(c.nic.peek_memory(0x4C00), 3);
    EXPECT_EQ(c.read_memory(0x7FFE, 4), bytes({1, 2, 3, 4}));
    EXPECT_EQ(c.crda(), 0x4C02);
    EXPECT_TRUE(c.nic.violations().empty());
}

TEST_F(RemoteDma, ByteCycleInWordModeTakesTheEvenByteAndMovesAWholeWord) {
    c.write_memory(0x4000, bytes({0x11, 0x22, 0x33, 0x44}));
    c.out(ISR, 0x40);
    c.remote(0x4000, 4, 0x0A);
    EXPECT_EQ(c.in(kDataPort), 0x11);
    EXPECT_EQ(c.crda(), 0x4002);
    EXPECT_EQ(c.in(ISR)&0x40, 0);
    EXPECT_EQ(c.in(kDataPort + 5), 0x33);  // any mirror of the data port
    EXPECT_EQ(c.in(ISR)&0x40, 0x40);       // count ran out after two units
    // A byte write in word mode stores one byte and skips its partner.
    c.remote(0x4000, 2, 0x12);
    c.out(kDataPort, 0x99);
    EXPECT_EQ(c.nic.peek_memory(0x4000), 0x99);
    EXPECT_EQ(c.nic.peek_memory(0x4001), 0x22);
    EXPECT_TRUE(c.nic.violations().empty());
}

TEST_F(RemoteDma, RdcIsSetAtOnceForAZeroCountAndOnlyWhenTheCountRunsOut) {
    c.out(ISR, 0xFF);
    c.remote(0x4000, 0, 0x12);
    EXPECT_EQ(c.in(ISR)&0x40, 0x40);
    c.out(ISR, 0x40);
    c.remote(0x4000, 6, 0x12);
    c.nic.write16(kDataPort, 0);
    c.nic.write16(kDataPort, 0);
    EXPECT_EQ(c.in(ISR)&0x40, 0);
    c.nic.write16(kDataPort, 0);
    EXPECT_EQ(c.in(ISR)&0x40, 0x40);
    EXPECT_TRUE(c.nic.violations().empty());
}

TEST_F(RemoteDma, ProtocolViolationsAreRecorded) {
    c.in(kDataPort);  // nothing programmed
    c.remote(0x4000, 2, 0x0A);
    c.nic.read16(kDataPort);
    c.in(kDataPort);  // count already used up
    c.remote(0x4001, 2, 0x0A);
    c.nic.read16(kDataPort);  // odd address in word mode
    c.remote(0x4000, 2, 0x12);
    c.in(kDataPort);        // read during a write
    c.out(kCommand, 0x22);  // abort
    c.out(kDataPort, 0);
    c.out(DCR, 0x48);
    c.remote(0x4000, 2, 0x0A);
    c.nic.read16(kDataPort);  // word in byte mode
    // Only an abort (RD 1xx) may cut a transfer short (that read has a byte
    // left): not a new command, not a CR write with RD = 000 -- except the
    // probe's CR = 0x00, tolerated.
    c.remote(0x4000, 4, 0x0A);
    c.in(kDataPort);
    c.remote(0x4000, 4, 0x12);
    c.out(kCommand, 0x00);
    c.out(kCommand, 0x42);
    c.out(kCommand, 0x22);
    c.remote(0x4000, 4, 0x0A);  // after the abort: fine
    const auto& v = c.nic.violations();
    ASSERT_EQ(v.size(), 9u);
    EXPECT_NE(v[0].find("no remote DMA"), std::string::npos);
    EXPECT_NE(v[1].find("reached 0"), std::string::npos);
    EXPECT_NE(v[2].find("odd card address 0x4001"), std::string::npos);
    EXPECT_NE(v[3].find("during a remote write"), std::string::npos);
    EXPECT_NE(v[4].find("no remote DMA"), std::string::npos);
    EXPECT_NE(v[5].find("byte mode"), std::string::npos);
    EXPECT_EQ(v[6], "CR 0x0A starts a remote command over an unfinished remote read");
    EXPECT_EQ(v[7], "CR 0x12 starts a remote command over an unfinished remote read");
    EXPECT_EQ(v[8], "CR 0x42 (no remote command) over an unfinished remote write");
}

// The driver's dummy read: two bytes from A, then CRDA must have left A.
TEST_F(RemoteDma, DummyReadMovesCrdaUnlessTheAddressIsStuck) {
    c.remote(0x4400, 2, 0x0A);
    c.nic.read16(kDataPort);
    EXPECT_EQ(c.crda(), 0x4402);

    c.nic.faults().remote_address_stuck = true;
    c.nic.faults().rdc_never_sets = true;
    c.out(ISR, 0xFF);
    c.remote(0x4400, 2, 0x0A);
    c.nic.read16(kDataPort);
    EXPECT_EQ(c.crda(), 0x4400);
    EXPECT_EQ(c.in(ISR)&0x40, 0);
    c.in(kDataPort);  // the count did run out all the same
    EXPECT_EQ(c.nic.violations().size(), 1u);
}

TEST_F(RemoteDma, SendPacketReadsTheStoredFrameAtBoundaryByItsCount) {
    c.write_memory(0x4C00, bytes({0x01, 0x4D, 0x06, 0x00, 0xAB, 0xCD}));
    c.out(ISR, 0xFF);
    c.out(kCommand, 0x1A);
    EXPECT_EQ(c.nic.read16(kDataPort), 0x4D01);
    EXPECT_EQ(c.nic.read16(kDataPort), 0x0006);
    EXPECT_EQ(c.nic.read16(kDataPort), 0xCDAB);
    EXPECT_EQ(c.in(ISR)&0x40, 0x40);
    EXPECT_TRUE(c.nic.violations().empty());
}
