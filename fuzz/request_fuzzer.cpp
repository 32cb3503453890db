// Queries and sets of any OID, supported or not, with buffers of any length
// and content, made through the stand-in's protocol edge one after another
// on a running adapter.
//
// Input: a sequence of requests, read with FuzzedDataProvider: query or set,
// the OID (one of the supported list, a neighbour of it, or any 32-bit
// value), the buffer's length, and its bytes.
//
// What must hold for every request:
// - the buffer is exactly as long as the length given, so a byte written
//   past it is caught by the address sanitizer; a query writes no byte past
//   the answer it reports and none at all when it fails;
// - the counts agree with the status: a query that succeeds reports a
//   nonzero written count within the buffer and needs nothing, and asked
//   again with one byte less it fails with that count as the need; a query
//   refused for length needs more than it was given and succeeds with
//   exactly that; any other refusal reports nothing. A set reads no more
//   than it was given;
// - a set that is refused changes nothing: every query answer, the adapter
//   record and the chip's RCR and MAR0-MAR7 read the same before and after;
// - after every request the chip is on register page 0 (the interrupt
//   routine relies on it) with RCR and the multicast registers as the record
//   says;
// - no stand-in rule breach or model violation, nothing held after halt.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_adapter.h"

namespace {

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

// A caller's buffer of exactly `length` bytes holding `bytes`.
struct Buffer {
    explicit Buffer(std::vector<std::uint8_t> bytes)
        : content(std::move(bytes)), memory(new std::uint8_t[content.size()]) {
        std::copy(content.begin(), content.end(), memory.get());
    }
    ULONG length() const { return static_cast<ULONG>(content.size()); }
    bool unchanged_from(std::size_t at) const {
        return std::equal(content.begin() + static_cast<std::ptrdiff_t>(at), content.end(),
                          memory.get() + at);
    }
    std::vector<std::uint8_t> content;
    std::unique_ptr<std::uint8_t[]> memory;
};

// What the chip holds that a set may change, read from the test side of the
// bus (no interrupt comes in between); CR is put back as it was.
struct ChipState {
    std::uint8_t page = 0;
    std::uint8_t rcr = 0;
    std::array<std::uint8_t, 8> mar{};
    bool operator==(const ChipState&) const = default;
};

ChipState ReadChip(testbed::Testbed& tb, const Ne2000Adapter& a) {
    machine::IsaBus& bus = tb.bus();
    const auto base = static_cast<std::uint16_t>(a.IoBaseAddress);
    ChipState s;
    const std::uint8_t cr = bus.in8(base + NIC_CR);
    s.page = cr >> 6;
    const auto keep = static_cast<std::uint8_t>(cr & (CR_STA | CR_STP));
    bus.out8(base + NIC_CR, 0x80 | CR_NO_DMA | keep);  // page 2: the written registers read back
    s.rcr = bus.in8(base + NIC_RCR) & 0x3F;
    bus.out8(base + NIC_CR, CR_PAGE1 | CR_NO_DMA | keep);
    for (unsigned i = 0; i < 8; ++i) s.mar[i] = bus.in8(static_cast<std::uint16_t>(base + NIC_MAR0 + i));
    // Back to the page and run state it had; no remote DMA or transmission is restarted.
    bus.out8(base + NIC_CR, static_cast<std::uint8_t>((cr & (0xC0 | CR_STA | CR_STP)) | CR_NO_DMA));
    return s;
}

// Everything a refused set must leave alone.
struct Snapshot {
    std::vector<std::uint8_t> answers;  // every supported OID's status and answer, one after another
    std::vector<std::uint8_t> record;
    ChipState chip;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(testbed::Testbed& tb, const Ne2000Adapter& a) {
    Snapshot s;
    s.answers.reserve(512);
    std::array<std::uint8_t, 128> answer;  // the longest answer is the 124-byte supported list
    for (const ULONG oid : Ne2000SupportedOids) {
        ULONG written = 0;
        const NDIS_STATUS status = tb.protocol().query(oid, answer.data(), answer.size(), &written);
        s.answers.push_back(static_cast<std::uint8_t>(status));
        s.answers.insert(s.answers.end(), answer.begin(),
                         answer.begin() + std::min<ULONG>(written, answer.size()));
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&a);
    s.record.assign(bytes, bytes + sizeof a);
    s.chip = ReadChip(tb, a);
    return s;
}

ULONG PickOid(FuzzedDataProvider& in) {
    constexpr unsigned kSupported = sizeof Ne2000SupportedOids / sizeof Ne2000SupportedOids[0];
    const unsigned pick = in.ConsumeIntegralInRange<unsigned>(0, kSupported + 2);
    if (pick < kSupported) return Ne2000SupportedOids[pick];
    if (pick == kSupported)
        return Ne2000SupportedOids[in.ConsumeIntegralInRange<unsigned>(0, kSupported - 1)] + 1;
    return in.ConsumeIntegral<ULONG>();
}

void Query(testbed::Testbed& tb, ULONG oid, Buffer& buffer) {
    const std::string what = "query of " + Hex(oid) + " with " + std::to_string(buffer.length()) + " bytes";
    ULONG written = 0, needed = 0;
    const NDIS_STATUS status =
        tb.protocol().query(oid, buffer.memory.get(), buffer.length(), &written, &needed);
    if (status == NDIS_STATUS_SUCCESS) {
        FUZZ_REQUIRE(written > 0 && written <= buffer.length() && needed == 0,
                     what + " succeeded with written " + std::to_string(written) + ", needed " +
                         std::to_string(needed));
        FUZZ_REQUIRE(buffer.unchanged_from(written), what + " wrote past its answer");
        Buffer shorter{std::vector<std::uint8_t>(written - 1)};
        ULONG w = 0, n = 0;
        FUZZ_REQUIRE(tb.protocol().query(oid, shorter.memory.get(), shorter.length(), &w, &n) ==
                             NDIS_STATUS_INVALID_LENGTH &&
                         w == 0 && n == written,
                     what + ": one byte less is not refused with the need of " + std::to_string(written));
        return;
    }
    FUZZ_REQUIRE(buffer.unchanged_from(0), what + " failed and still wrote");
    FUZZ_REQUIRE(written == 0, what + " failed with a written count");
    if (status == NDIS_STATUS_INVALID_LENGTH) {
        FUZZ_REQUIRE(needed > buffer.length(),
                     what + " refused for length needing " + std::to_string(needed));
        Buffer enough{std::vector<std::uint8_t>(needed)};
        ULONG w = 0, n = 0;
        FUZZ_REQUIRE(
            tb.protocol().query(oid, enough.memory.get(), enough.length(), &w, &n) == NDIS_STATUS_SUCCESS &&
                w == needed && n == 0,
            what + ": the needed " + std::to_string(needed) + " bytes do not do");
        return;
    }
    FUZZ_REQUIRE(status == NDIS_STATUS_INVALID_OID && needed == 0,
                 what + " failed with status " + Hex(status) + ", needed " + std::to_string(needed));
}

void Set(testbed::Testbed& tb, const Ne2000Adapter& a, ULONG oid, Buffer& buffer) {
    const std::string what = "set of " + Hex(oid) + " with " + std::to_string(buffer.length()) + " bytes";
    const Snapshot before = Take(tb, a);
    ULONG read = 0, needed = 0;
    const NDIS_STATUS status = tb.protocol().set(oid, buffer.memory.get(), buffer.length(), &read, &needed);
    FUZZ_REQUIRE(read <= buffer.length(), what + " read " + std::to_string(read) + " bytes");
    FUZZ_REQUIRE(buffer.unchanged_from(0), what + " wrote into the caller's buffer");
    if (status != NDIS_STATUS_SUCCESS) {
        FUZZ_REQUIRE(Take(tb, a) == before,
                     what + " was refused (" + Hex(status) + ") and still changed something");
        return;
    }
    FUZZ_REQUIRE(needed == 0, what + " succeeded needing " + std::to_string(needed));
    if (oid == OID_GEN_CURRENT_LOOKAHEAD) {
        ULONG now = 0;
        tb.protocol().query(OID_GEN_CURRENT_LOOKAHEAD, &now, sizeof now);
        ULONG asked = 0;
        std::memcpy(&asked, buffer.content.data(), sizeof asked);
        FUZZ_REQUIRE(now == asked && now <= kMaxLookahead,
                     what + ": the lookahead reads " + std::to_string(now));
    }
}

// The chip as the record describes it, and on the page the interrupt routine expects.
void RequireChipMatchesRecord(testbed::Testbed& tb, const Ne2000Adapter& a) {
    const ChipState chip = ReadChip(tb, a);
    FUZZ_REQUIRE(chip.page == 0, "the chip was left on register page " + std::to_string(chip.page));
    FUZZ_REQUIRE(chip.rcr == a.ReceiveConfigValue, "RCR differs from the record");
    const bool open = (a.PacketFilter & kAllMulticastFilters) != 0;
    for (unsigned i = 0; i < 8; ++i)
        FUZZ_REQUIRE(chip.mar[i] == (open ? 0xFF : a.MulticastHashBytes[i]),
                     "MAR" + std::to_string(i) + " differs from the record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto tb = fuzz::BringUp();
    const Ne2000Adapter& a = *tb->record();
    while (in.remaining_bytes() > 0) {
        const bool query = in.ConsumeBool();
        const ULONG oid = PickOid(in);
        const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 200);
        std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
        bytes.resize(length);
        Buffer buffer(std::move(bytes));
        if (query)
            Query(*tb, oid, buffer);
        else
            Set(*tb, a, oid, buffer);
        RequireChipMatchesRecord(*tb, a);
    }
    fuzz::RequireClean(*tb, "requests");
    tb->halt();
    fuzz::RequireNoLeaks(*tb);
    return 0;
}
