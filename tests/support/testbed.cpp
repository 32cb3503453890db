#include "tests/support/testbed.h"

namespace testbed {

Testbed::Testbed(TestbedOptions options)
    : options_(std::move(options)),
      rig_(std::make_unique<rig::Rig>(
          rig::RigOptions{.pc = options_.pc, .trace = options_.trace, .pcap_path = options_.pcap_path})) {
    protocol_ = std::make_unique<TestProtocol>(rig_->clock());
    ndis().set_page_probe([this](const host::MiniportAdapter& a) { return controller_page(a); });
}

Testbed::~Testbed() = default;

NTSTATUS Testbed::load_driver() {
    loaded_ = true;
    return rig_->load(*options_.driver);
}

NDIS_STATUS Testbed::initialize(std::vector<NDIS_MEDIUM> media) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    if (options_.driver->initializes_at_registration() && media != std::vector<NDIS_MEDIUM>{NdisMedium802_3})
        testbed_errors_.push_back(
            "initialize: the image was initialised at registration, offered 802.3 only");
    else
        status = rig_->initialize(*options_.driver, std::move(media));
    if (status == NDIS_STATUS_SUCCESS && !protocol_->attached())
        protocol_->attach(ndis().bind(adapter(), *protocol_));
    return status;
}

// The register values the bring-up writes for the default configuration:
// attribute window at 0xD8000, Ethernet at 0x300-0x31F, UART at 0x2F8 on
// IRQ 3, the controller's interrupt (through STSCHG#) on IRQ 5.
void Testbed::configure_hardware() {
    machine::IsaBus& b = bus();
    const bool tracing = b.trace().enabled();
    b.trace().enable(false);
    const auto socket = static_cast<std::uint8_t>(options_.pc.socket * 0x40);
    auto write = [&](std::uint8_t reg, std::uint8_t value) {
        b.out8(0x3E0, static_cast<std::uint8_t>(socket + reg));
        b.out8(0x3E1, value);
    };
    auto read = [&](std::uint8_t reg) {
        b.out8(0x3E0, static_cast<std::uint8_t>(socket + reg));
        return b.in8(0x3E1);
    };
    write(0x03, read(0x03) & 0xBF);  // card reset pulse
    write(0x03, read(0x03) | 0x40);
    write(0x02, 0x10);  // Vcc, then outputs
    write(0x02, read(0x02) | 0x80);
    const std::uint8_t memory_window[] = {0xD8, 0x80, 0xD9, 0x00, 0x27, 0x7F};
    for (std::uint8_t i = 0; i < 6; ++i) write(0x10 + i, memory_window[i]);
    write(0x06, read(0x06) | 0x01);
    const std::uint8_t io_windows[] = {0x00, 0x03, 0x1F, 0x03, 0xF8, 0x02, 0xFF, 0x02};
    for (std::uint8_t i = 0; i < 8; ++i) write(0x08 + i, io_windows[i]);
    write(0x06, read(0x06) | 0xE0);
    write(0x07, 0x33);
    write(0x05, 0x5B);  // status change to IRQ 5: card detect, battery, STSCHG#
    write(0x03, static_cast<std::uint8_t>((read(0x03) & 0xF0) | 0x20));
    write(0x03, static_cast<std::uint8_t>(read(0x03) | 0x03));  // IREQ# to IRQ 3
    b.mem_write8(0xD83F8, 0x24);  // both functions on: Ethernet 0x300, UART 0x2F8
    b.mem_write8(0xD83FA, 0x48);  // SigChg: the controller interrupts through STSCHG#
    b.mem_write8(0xD83F2, 0x08);
    write(0x06, 0xE0);
    b.trace().enable(tracing);
}

Ne2000Adapter& Testbed::new_record() {
    return *as_initialize([&] { return fill_new_record(); });
}

Ne2000Adapter* Testbed::fill_new_record() {
    PVOID memory = nullptr;
    NdisAllocateMemory(&memory, sizeof(Ne2000Adapter), 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
    auto& r = *static_cast<Ne2000Adapter*>(memory);
    NdisZeroMemory(&r, sizeof r);
    r.MiniportAdapterHandle = adapter_handle();
    r.TransmitPageCount = kTransmitPages;
    r.IoBaseAddress = 0x300;
    r.InterruptNumber = 5;
    r.BaseMemory = 0xD800;
    r.Slot = static_cast<UCHAR>(options_.pc.socket);
    r.ComPort = 2;
    r.UartPortAddress = 0x2F8;
    r.ComIrq = 3;
    r.MaximumMulticastList = 16;
    r.CurrentLookahead = kMaxLookahead;
    NdisMSetAttributes(adapter_handle(), &r, FALSE, NdisInterfaceIsa);
    return &r;
}

NDIS_STATUS Testbed::claim_ports(Ne2000Adapter& r) {
    return as_initialize([&] {
        return NdisMRegisterIoPortRange(&r.IoPortBase, adapter_handle(), r.IoBaseAddress, kPortRangeLength);
    });
}

NDIS_STATUS Testbed::connect_interrupt(Ne2000Adapter& r) {
    const UINT line = static_cast<UINT>(r.InterruptNumber);
    return as_initialize([&] {
        return NdisMRegisterInterrupt(&r.Interrupt, adapter_handle(), line, line, FALSE, TRUE,
                                      NdisInterruptLatched);
    });
}

void Testbed::fill_card_layout(Ne2000Adapter& a) {
    const machine::Dp8390Config& card = nic().config();
    a.ByteWideTransfers = card.width == machine::Dp8390Config::Width::Bits8 ? TRUE : FALSE;
    a.CardRamStart = card.ram_start;
    a.CardRamLength = card.ram_size;
    a.TransmitAreaAddress = card.ram_start;
    a.TransmitStartPage = static_cast<UCHAR>(card.ram_start >> 8);
    a.RingStartPage = static_cast<UCHAR>(a.TransmitStartPage + kTransmitPages);
    a.RingStopPage = static_cast<UCHAR>((card.ram_start + card.ram_size) >> 8);
    a.RingStartAddress = static_cast<ULONG>(a.RingStartPage) << 8;
    a.RingEndAddress = card.ram_start + card.ram_size;
    a.TransmitActivePage = kNoActiveTransmitPage;
}

Ne2000Adapter& Testbed::set_up_by_hand() {
    // Set up here, not by the wrapper when a loaded image registers.
    adapter().set_listed(false);
    if (!loaded_) load_driver();
    configure_hardware();
    Ne2000Adapter& r = new_record();
    claim_ports(r);
    connect_interrupt(r);
    // Queued as registration queues a running adapter, so halt finds it.
    r.NextAdapter = Ne2000MiniportBlock.AdapterQueue;
    Ne2000MiniportBlock.AdapterQueue = &r;
    ndis().adopt(adapter());
    if (!protocol_->attached()) protocol_->attach(ndis().bind(adapter(), *protocol_));
    return r;
}

std::vector<std::string> Testbed::errors() {
    std::vector<std::string> out = rig_->errors();
    out.insert(out.end(), testbed_errors_.begin(), testbed_errors_.end());
    for (auto& e : protocol_->errors()) out.push_back("protocol: " + e);
    return out;
}

std::vector<std::string> Testbed::leaks() {
    std::vector<std::string> out = ndis().leaks();
    if (protocol_->sends_pending() != 0)
        out.push_back(std::to_string(protocol_->sends_pending()) +
                      " send(s) of the protocol never completed");
    return out;
}

// The register page is what the driver last wrote to CR (bits 7-6).
std::optional<unsigned> Testbed::controller_page(const host::MiniportAdapter& a) {
    const auto claims = ndis().ports().held_by(&a);
    if (claims.empty()) return std::nullopt;
    const auto cr = static_cast<std::uint16_t>(claims.front().base + NIC_CR);
    return static_cast<unsigned>(ndis().last_port_write(cr) >> 6);
}

std::vector<host::NdisLibrary::IsrRun> Testbed::isr_runs_off_page_zero() {
    std::vector<host::NdisLibrary::IsrRun> out;
    for (const auto& r : ndis().isr_runs())
        if (r.page && *r.page != 0) out.push_back(r);
    return out;
}

}  // namespace testbed
