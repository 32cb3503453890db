// Loading a miniport and the per-adapter resources: registration checks,
// configuration reads, memory, ports, the error log.

#include "stand.h"

namespace {

NDIS_STATUS register_with(machine::IsaBus& bus, NDIS30_MINIPORT_CHARACTERISTICS c, UINT length) {
    host::NdisLibrary ndis(bus);
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, nullptr, nullptr, nullptr);
    return NdisMRegisterMiniport(wrapper, &c, length);
}

}  // namespace

TEST(Registration, OnlyAComplete30RecordOfTheRightLengthIsAccepted) {
    machine::IsaBus bus;
    const auto good = testmp::characteristics();
    EXPECT_EQ(register_with(bus, good, sizeof good), NDIS_STATUS_SUCCESS);

    auto v = good;
    v.MinorNdisVersion = 1;
    EXPECT_EQ(register_with(bus, v, sizeof v), NDIS_STATUS_BAD_VERSION);
    v = good;
    v.MajorNdisVersion = 4;
    EXPECT_EQ(register_with(bus, v, sizeof v), NDIS_STATUS_BAD_VERSION);
    EXPECT_EQ(register_with(bus, good, sizeof good - 1), NDIS_STATUS_BAD_CHARACTERISTICS);
    EXPECT_EQ(register_with(bus, good, sizeof good + 4), NDIS_STATUS_BAD_CHARACTERISTICS);
    v = good;
    v.TransferDataHandler = nullptr;
    EXPECT_EQ(register_with(bus, v, sizeof v), NDIS_STATUS_BAD_CHARACTERISTICS);
    v = good;
    v.CheckForHangHandler = nullptr;  // optional
    v.ReconfigureHandler = nullptr;
    EXPECT_EQ(register_with(bus, v, sizeof v), NDIS_STATUS_SUCCESS);
}

TEST(Registration, TheWrapperHandleMustComeFromInitializeWrapper) {
    machine::IsaBus bus;
    host::NdisLibrary ndis(bus);
    auto c = testmp::characteristics();
    int not_a_wrapper = 0;
    EXPECT_NE(NdisMRegisterMiniport(&not_a_wrapper, &c, sizeof c), NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(ndis.miniport_registered());
    EXPECT_EQ(ndis.errors().size(), 1u);
}

TEST_F(Stand, ConfigurationReadsLikeTheRegistry) {
    adapter.config()
        .set("IoBaseAddress", 0x300)
        .set_string("Slot", "10")
        .set_network_address({1, 2, 3, 4, 5});
    // Configuration is read where the initialise handler reads it.
    ndis.run_as_initialize(adapter, [&] {
        NDIS_HANDLE context = adapter.configuration_context();
        NDIS_STATUS status;
        NDIS_HANDLE config = nullptr;
        NdisOpenConfiguration(&status, &config, context);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        NDIS_STRING lower = NDIS_STRING_CONST("iobaseaddress");
        NdisReadConfiguration(&status, &value, config, &lower, NdisParameterHexInteger);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 0x300u);

        // A string value is parsed in the base the caller asks for.
        NDIS_STRING slot = NDIS_STRING_CONST("Slot");
        NdisReadConfiguration(&status, &value, config, &slot, NdisParameterInteger);
        EXPECT_EQ(value->ParameterData.IntegerData, 10u);
        NdisReadConfiguration(&status, &value, config, &slot, NdisParameterHexInteger);
        EXPECT_EQ(value->ParameterData.IntegerData, 0x10u);

        // Absent: failure, and the caller's pointer is left alone.
        auto* sentinel = reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(0x1234);
        value = sentinel;
        NDIS_STRING absent = NDIS_STRING_CONST("ComIRQ");
        NdisReadConfiguration(&status, &value, config, &absent, NdisParameterHexInteger);
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(value, sentinel);

        PVOID address = nullptr;
        UINT length = 0;
        NdisReadNetworkAddress(&status, &address, &length, config);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(length, 5u);  // any length: the driver decides what it accepts

        NDIS_MCA_POS_DATA pos{};
        UINT channel = 0;
        NdisReadMcaPosInformation(&status, context, &channel, &pos);
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
        adapter.config().set_pos_data({0x67B0, 0x4A, 0, 0, 0});
        NdisReadMcaPosInformation(&status, context, &channel, &pos);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(pos.AdapterId, 0x67B0);
        EXPECT_EQ(pos.PosData1, 0x4A);

        EXPECT_EQ(ndis.leaks().size(), 1u);  // the open configuration
        NdisCloseConfiguration(config);
        EXPECT_TRUE(ndis.errors().empty());
        NdisCloseConfiguration(config);
        NdisReadConfiguration(&status, &value, config, &slot, NdisParameterInteger);
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(ndis.errors().size(), 2u);
        EXPECT_TRUE(ndis.leaks().empty());
    });

    adapter.config().fail_open(NDIS_STATUS_RESOURCES);
    ndis.run_as_initialize(adapter, [&] {
        NDIS_STATUS status;
        NDIS_HANDLE config = nullptr;
        NdisOpenConfiguration(&status, &config, adapter.configuration_context());
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    });

    ndis.set_processor_count(2);
    EXPECT_EQ(NdisSystemProcessorCount(), 2);
}

TEST_F(Stand, AnInitialiseHandlerThatLeavesTheConfigurationOpenIsCaught) {
    testmp::options.close_configuration = false;
    bring_up();
    ASSERT_EQ(ndis.errors().size(), 1u);
    EXPECT_NE(ndis.errors()[0].find("configuration still open"), std::string::npos);
    for (const auto& held : ndis.leaks()) EXPECT_EQ(held.find("configuration"), std::string::npos) << held;
}

TEST_F(Stand, MemoryIsAccountedAndMisuseIsRecorded) {
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&block, 100, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PUCHAR>(block)[99], host::MemoryLedger::kFreshFill);  // never handed out cleared
    EXPECT_EQ(ndis.memory().outstanding_blocks(), 1u);
    EXPECT_EQ(ndis.memory().outstanding_bytes(), 100u);
    EXPECT_FALSE(ndis.leaks().empty());

    NdisFreeMemory(block, 99, 0);  // wrong length: recorded, still freed
    EXPECT_EQ(ndis.errors().size(), 1u);
    NdisFreeMemory(block, 100, 0);  // twice
    EXPECT_EQ(ndis.errors().size(), 2u);
    EXPECT_TRUE(ndis.leaks().empty());

    ndis.fail_next_allocations(1);
    block = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(NdisAllocateMemory(&block, 8, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)), NDIS_STATUS_FAILURE);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(NdisAllocateMemory(&block, 8, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1)), NDIS_STATUS_SUCCESS);
    NdisFreeMemory(block, 8, 0);
}

TEST_F(Stand, PortClaimsMayNotOverlapAndMustBeGivenBackAsClaimed) {
    ndis.reserve_ports(0x290, 8);
    adapter.config().set("IoBaseAddress", 0x28E);  // 0x28E-0x291 overlaps
    EXPECT_EQ(ndis.initialize(adapter), NDIS_STATUS_RESOURCE_CONFLICT);
    EXPECT_EQ(adapter.state(), host::AdapterState::Failed);
    EXPECT_TRUE(ndis.leaks().empty());

    adapter.config().set("IoBaseAddress", 0x280);
    bring_up();
    auto& other = ndis.add_adapter("other");
    ndis.run_as_initialize(other, [&] {
        PVOID base = nullptr;
        EXPECT_EQ(NdisMRegisterIoPortRange(&base, other.handle(), 0x283, 2), NDIS_STATUS_RESOURCE_CONFLICT);
        EXPECT_EQ(NdisMRegisterIoPortRange(&base, other.handle(), 0xFFF0, 0x20),
                  NDIS_STATUS_RESOURCE_CONFLICT);
        ASSERT_EQ(NdisMRegisterIoPortRange(&base, other.handle(), 0x284, 2), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(base, reinterpret_cast<PVOID>(0x284));

        NdisMDeregisterIoPortRange(other.handle(), 0x284, 3, base);  // not as claimed
        EXPECT_EQ(ndis.errors().size(), 1u);
        NdisMDeregisterIoPortRange(other.handle(), 0x284, 2, base);
        EXPECT_EQ(ndis.errors().size(), 1u);
    });
}

TEST_F(Stand, AHaltThatKeepsItsResourcesIsCaughtAndTheyAreTakenBack) {
    testmp::options.halt_gives_back = false;
    bring_up();
    ndis.halt(adapter);
    EXPECT_EQ(adapter.state(), host::AdapterState::Halted);
    ASSERT_EQ(ndis.errors().size(), 2u);
    EXPECT_NE(ndis.errors()[0].find("interrupt connected"), std::string::npos);
    EXPECT_NE(ndis.errors()[1].find("ports 0x280-0x283 claimed"), std::string::npos);
    EXPECT_TRUE(ndis.leaks().empty());
    // The record is freed: a later interrupt must not reach its ISR.
    device.mask = 0xFF;
    device.raise(1);
    ndis.service();
    EXPECT_EQ(at("ISR"), -1);
}

TEST_F(Stand, ErrorLogEntriesKeepCodeAndValuesAndPrintWithNames) {
    NdisWriteErrorLogEntry(adapter.handle(), NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, ULONG{0x10});
    NdisWriteErrorLogEntry(adapter.handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, ULONG{1}, ULONG{0xC0DE});
    NdisWriteErrorLogEntry(adapter.handle(), 0x12345678, 0);
    const auto& e = ndis.error_log().entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1].values, (std::vector<ULONG>{1, 0xC0DE}));
    EXPECT_EQ(e[0].to_string(),
              "test: NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION (0xC0001391) value 0x00000010");
    EXPECT_NE(e[2].to_string().find("0x12345678"), std::string::npos);
    EXPECT_EQ(ndis.error_log().entries_for(adapter).size(), 3u);
}
