#include "platform/host/error_log.h"

#include <cstdio>

namespace host {

namespace {
std::string hex8(ULONG v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
    return text;
}
}  // namespace

std::string error_code_name(NDIS_ERROR_CODE code) {
    switch (code) {
        case NDIS_ERROR_CODE_RESOURCE_CONFLICT:
            return "NDIS_ERROR_CODE_RESOURCE_CONFLICT";
        case NDIS_ERROR_CODE_OUT_OF_RESOURCES:
            return "NDIS_ERROR_CODE_OUT_OF_RESOURCES";
        case NDIS_ERROR_CODE_HARDWARE_FAILURE:
            return "NDIS_ERROR_CODE_HARDWARE_FAILURE";
        case NDIS_ERROR_CODE_ADAPTER_NOT_FOUND:
            return "NDIS_ERROR_CODE_ADAPTER_NOT_FOUND";
        case NDIS_ERROR_CODE_INTERRUPT_CONNECT:
            return "NDIS_ERROR_CODE_INTERRUPT_CONNECT";
        case NDIS_ERROR_CODE_DRIVER_FAILURE:
            return "NDIS_ERROR_CODE_DRIVER_FAILURE";
        case NDIS_ERROR_CODE_BAD_VERSION:
            return "NDIS_ERROR_CODE_BAD_VERSION";
        case NDIS_ERROR_CODE_TIMEOUT:
            return "NDIS_ERROR_CODE_TIMEOUT";
        case NDIS_ERROR_CODE_NETWORK_ADDRESS:
            return "NDIS_ERROR_CODE_NETWORK_ADDRESS";
        case NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION:
            return "NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION";
        case NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER:
            return "NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER";
        case NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER:
            return "NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER";
        case NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS:
            return "NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS";
        case NDIS_ERROR_CODE_RECEIVE_SPACE_SMALL:
            return "NDIS_ERROR_CODE_RECEIVE_SPACE_SMALL";
        case NDIS_ERROR_CODE_ADAPTER_DISABLED:
            return "NDIS_ERROR_CODE_ADAPTER_DISABLED";
        default:
            return hex8(code);
    }
}

std::string ErrorLogEntry::to_string() const {
    std::string out = adapter_name.empty() ? std::string("?") : adapter_name;
    out += ": ";
    out += error_code_name(code);
    out += " (";
    out += hex8(code);
    out += ")";
    if (!values.empty()) out += values.size() == 1 ? " value" : " values";
    for (ULONG v : values) {
        out += " ";
        out += hex8(v);
    }
    return out;
}

std::vector<ErrorLogEntry> ErrorLog::entries_for(const MiniportAdapter& adapter) const {
    std::vector<ErrorLogEntry> out;
    for (const auto& e : entries_)
        if (e.adapter == &adapter) out.push_back(e);
    return out;
}

std::string ErrorLog::to_string() const {
    std::string out;
    for (const auto& e : entries_) out += e.to_string() + "\n";
    return out;
}

}  // namespace host
