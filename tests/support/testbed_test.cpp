// The testbed's own checks: its parts are wired together, the by-hand mode
// leaves the machine as the bring-up would, and the page probe sees CR.

#include <gtest/gtest.h>

#include "tests/support/testbed.h"

using machine::kMillisecond;

namespace {

// The linked driver, counting how often the testbed enters it.
class CountedDriver final : public host::DriverImage {
public:
    int entries = 0;
    std::string name() const override { return "counted"; }
    NTSTATUS entry(PDRIVER_OBJECT object, PUNICODE_STRING path) override {
        ++entries;
        return linked_.entry(object, path);
    }

private:
    host::LinkedDriver linked_;
};

}  // namespace

TEST(Testbed, ByHandTheCardAnswersAt0x300AndInterruptsOnIrq5) {
    testbed::Testbed tb;
    Ne2000Adapter& r = tb.set_up_by_hand();
    EXPECT_EQ(r.IoPortBase, reinterpret_cast<PVOID>(0x300));
    EXPECT_EQ(r.MiniportAdapterHandle, tb.adapter_handle());
    EXPECT_EQ(tb.record(), &r);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, &r);
    EXPECT_TRUE(tb.trace().entries().empty()) << "configuring the hardware is not the driver's doing";

    // Reset the controller, unmask RDC and make it happen: the driver's ISR is called.
    tb.call([&] {
        READ_PORT_UCHAR(CardPort(&r, NIC_RESET));
        EXPECT_EQ(CardReadRegister(&r, NIC_CR), 0x21);
        CardWriteRegister(&r, NIC_IMR, ISR_RDC);
        CardWriteRegister(&r, NIC_RBCR0, 0);
        CardWriteRegister(&r, NIC_RBCR1, 0);
        CardWriteRegister(&r, NIC_CR, CR_STP | CR_REMOTE_READ);  // a remote read of nothing: RDC at once
    });
    EXPECT_EQ(tb.adapter().counters().isr_calls, 1u);
    EXPECT_EQ(tb.adapter().counters().isr_claimed, 0u) << "RDC alone is no cause the driver claims";
    EXPECT_EQ(tb.ndis().isr_runs().at(0).page, 0u);
    EXPECT_TRUE(tb.errors().empty());
}

TEST(Testbed, ThePageProbeReportsAnIsrThatFindsPageOneSelected) {
    testbed::Testbed tb;
    Ne2000Adapter& r = tb.set_up_by_hand();
    tb.ndis().set_foreign_interrupts(true);
    tb.call([&] {
        CardWriteRegister(&r, NIC_CR, CR_PAGE1 | CR_STP | CR_NO_DMA);
        CardReadRegister(&r, NIC_CURR);
        CardWriteRegister(&r, NIC_CR, CR_STP | CR_NO_DMA);
    });
    // Two accesses with page 1 selected, each a pulse that the latched line's
    // chain serves in one pass and confirms in a second.
    const auto off = tb.isr_runs_off_page_zero();
    ASSERT_EQ(off.size(), 4u);
    EXPECT_EQ(off[0].page, 1u);
    EXPECT_TRUE(off[0].foreign);
    EXPECT_EQ(off[1].pass, 2u);
    EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());
}

// Also: the driver is the one the options name, entered once.
TEST(Testbed, AFrameTravelsFromThePeerToTheProtocolAndBack) {
    auto driver = std::make_shared<CountedDriver>();
    testbed::Testbed tb({.driver = driver});
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    EXPECT_EQ(driver->entries, 1);
    EXPECT_EQ(tb.driver().name(), "counted");
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    const auto station = tb.adapter().station_address();
    EXPECT_EQ(station, tb.nic().config().station_address);

    std::vector<std::uint8_t> in(300, 0x42);
    std::copy(station.begin(), station.end(), in.begin());
    tb.peer().send_at(tb.now() + kMillisecond, in);
    std::vector<std::uint8_t> out(70, 0x24);
    const auto id = tb.protocol().send(out, {14, 0, 6});
    tb.run_for(100 * kMillisecond);

    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, in);
    EXPECT_TRUE(tb.protocol().received_frames()[0].transferred) << "300 bytes do not fit the lookahead";
    EXPECT_EQ(tb.protocol().completion_of(id), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.peer().received().size(), 1u);
    EXPECT_EQ(tb.peer().received()[0].frame, out);

    tb.halt();
    EXPECT_TRUE(tb.errors().empty());
    EXPECT_TRUE(tb.leaks().empty());
    EXPECT_EQ(driver->entries, 1);
}
