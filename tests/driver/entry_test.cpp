// DriverEntry: the handler table the wrapper gets, and what the operating
// system is told when the wrapper refuses it.

#include <gtest/gtest.h>

#include "tests/driver/fixture.h"

namespace {

TEST(DriverEntry, RegistersAnNdis30TableWithoutHangCheckOrReconfigure) {
    testbed::Testbed tb;
    static Ne2000Adapter leftover{};  // a queue left over from before the driver was loaded
    Ne2000MiniportBlock.AdapterQueue = &leftover;
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);

    const NDIS30_MINIPORT_CHARACTERISTICS& c = tb.ndis().characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 3);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.ISRHandler, &Ne2000Isr);
    EXPECT_EQ(c.HandleInterruptHandler, &Ne2000HandleInterrupt);
    EXPECT_EQ(c.DisableInterruptHandler, &Ne2000DisableInterrupt);
    EXPECT_EQ(c.EnableInterruptHandler, &Ne2000EnableInterrupt);
    EXPECT_EQ(c.InitializeHandler, &Ne2000Initialize);
    EXPECT_EQ(c.HaltHandler, &Ne2000Halt);
    EXPECT_EQ(c.ResetHandler, &Ne2000Reset);
    EXPECT_EQ(c.SendHandler, &Ne2000Send);
    EXPECT_EQ(c.TransferDataHandler, &Ne2000TransferData);
    EXPECT_EQ(c.QueryInformationHandler, &Ne2000QueryInformation);
    EXPECT_EQ(c.SetInformationHandler, &Ne2000SetInformation);
    // The queue starts empty, so the first adapter never meets the one-adapter rule.
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, nullptr);
    EXPECT_NE(Ne2000MiniportBlock.NdisWrapperHandle, nullptr);
}

TEST(DriverEntry, AnyRefusedRegistrationIsUnsuccessfulNotTheNdisStatus) {
    for (NDIS_STATUS refusal : {NDIS_STATUS_BAD_VERSION, NDIS_STATUS_RESOURCES, NDIS_STATUS_FAILURE}) {
        testbed::Testbed tb;
        tb.ndis().fail_next_registration(refusal);
        EXPECT_EQ(tb.load_driver(), STATUS_UNSUCCESSFUL) << std::hex << refusal;
        EXPECT_FALSE(tb.ndis().miniport_registered());
    }
}

}  // namespace
