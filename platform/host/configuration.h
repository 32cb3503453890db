#pragma once
// One adapter's configuration as the registry would hold it: keywords with
// DWORD or string values, an optional network address, optional Micro Channel
// POS data. The configuration calls of the NDIS library read it through an
// open configuration handle; every value handed out stays valid until that
// handle is closed, as on NT.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ndis.h"

namespace host {

class Configuration {
public:
    // A REG_DWORD value: returned as it is whether read as integer or hex integer.
    Configuration& set(std::string_view keyword, ULONG value);
    // A REG_SZ value: read as an integer it is parsed in base 10, as a hex
    // integer in base 16 (so "300" read as a plain integer is 300, not 0x300).
    Configuration& set_string(std::string_view keyword, std::string_view text);
    Configuration& erase(std::string_view keyword);
    bool has(std::string_view keyword) const;

    // Any length, so that a driver's length check can be exercised.
    Configuration& set_network_address(std::vector<std::uint8_t> address);
    Configuration& clear_network_address();

    Configuration& set_pos_data(const NDIS_MCA_POS_DATA& pos);
    Configuration& clear_pos_data();

    // NdisOpenConfiguration fails with this status from now on.
    Configuration& fail_open(std::optional<NDIS_STATUS> status = NDIS_STATUS_FAILURE);

    // --- Read side, used by the library calls ---
    struct Value {
        bool is_string = false;
        ULONG integer = 0;
        std::u16string text;
    };
    // Keyword names are compared without regard to case, as registry value names are.
    const Value* find(const NDIS_STRING& keyword) const;
    const std::optional<std::vector<std::uint8_t>>& network_address() const { return network_address_; }
    const std::optional<NDIS_MCA_POS_DATA>& pos_data() const { return pos_; }
    const std::optional<NDIS_STATUS>& open_failure() const { return open_failure_; }

private:
    static std::string fold(std::string_view keyword);
    std::map<std::string, Value> values_;
    std::optional<std::vector<std::uint8_t>> network_address_;
    std::optional<NDIS_MCA_POS_DATA> pos_;
    std::optional<NDIS_STATUS> open_failure_;
};

// What NdisOpenConfiguration hands out: the configuration it reads and the
// storage behind every value returned through it.
struct OpenConfiguration {
    const Configuration* source = nullptr;
    std::deque<NDIS_CONFIGURATION_PARAMETER> parameters;
    std::deque<std::u16string> strings;
    std::deque<std::vector<std::uint8_t>> addresses;
};

// Reads `keyword` as the given type. Returns the status NdisReadConfiguration
// reports; on success `*result` points into `open`.
NDIS_STATUS read_parameter(OpenConfiguration& open, const NDIS_STRING& keyword, NDIS_PARAMETER_TYPE type,
                           PNDIS_CONFIGURATION_PARAMETER* result);

}  // namespace host
