#include "platform/host/configuration.h"

namespace host {

namespace {

char upper(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char>(c - u'a' + 'A');
    // Keywords are ASCII; anything else is kept distinct by mapping it out of range.
    return c < 0x80 ? static_cast<char>(c) : '\x7F';
}

// Digits in `base` from the start of `text` (after an optional "0x" in base 16),
// stopping at the first character that is not one, as the registry's integer
// conversion does. Nothing parsed is a failure.
std::optional<ULONG> parse(const std::u16string& text, unsigned base) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
    if (base == 16 && i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X'))
        i += 2;
    ULONG value = 0;
    bool any = false;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = static_cast<unsigned>(c - u'0');
        else if (c >= u'a' && c <= u'f')
            digit = static_cast<unsigned>(c - u'a' + 10);
        else if (c >= u'A' && c <= u'F')
            digit = static_cast<unsigned>(c - u'A' + 10);
        else
            break;
        if (digit >= base) break;
        value = value * base + digit;  // wraps at 32 bits like the platform's conversion
        any = true;
    }
    if (!any) return std::nullopt;
    return value;
}

}  // namespace

std::string Configuration::fold(std::string_view keyword) {
    std::string out;
    for (char c : keyword) out += upper(static_cast<unsigned char>(c));
    return out;
}

Configuration& Configuration::set(std::string_view keyword, ULONG value) {
    values_[fold(keyword)] = Value{false, value, {}};
    return *this;
}

Configuration& Configuration::set_string(std::string_view keyword, std::string_view text) {
    values_[fold(keyword)] = Value{true, 0, std::u16string(text.begin(), text.end())};
    return *this;
}

Configuration& Configuration::erase(std::string_view keyword) {
    values_.erase(fold(keyword));
    return *this;
}

bool Configuration::has(std::string_view keyword) const {
    return values_.contains(fold(keyword));
}

Configuration& Configuration::set_network_address(std::vector<std::uint8_t> address) {
    network_address_ = std::move(address);
    return *this;
}

Configuration& Configuration::clear_network_address() {
    network_address_.reset();
    return *this;
}

Configuration& Configuration::set_pos_data(const NDIS_MCA_POS_DATA& pos) {
    pos_ = pos;
    return *this;
}

Configuration& Configuration::clear_pos_data() {
    pos_.reset();
    return *this;
}

Configuration& Configuration::fail_open(std::optional<NDIS_STATUS> status) {
    open_failure_ = status;
    return *this;
}

const Configuration::Value* Configuration::find(const NDIS_STRING& keyword) const {
    if (keyword.Buffer == nullptr) return nullptr;
    std::string key;
    for (std::size_t i = 0; i < keyword.Length / sizeof(WCHAR); ++i) key += upper(keyword.Buffer[i]);
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

NDIS_STATUS read_parameter(OpenConfiguration& open, const NDIS_STRING& keyword, NDIS_PARAMETER_TYPE type,
                           PNDIS_CONFIGURATION_PARAMETER* result) {
    const Configuration::Value* value = open.source->find(keyword);
    if (value == nullptr) return NDIS_STATUS_FAILURE;

    NDIS_CONFIGURATION_PARAMETER parameter{};
    parameter.ParameterType = type;
    switch (type) {
        case NdisParameterInteger:
        case NdisParameterHexInteger:
            if (!value->is_string) {
                parameter.ParameterData.IntegerData = value->integer;
            } else {
                const auto parsed = parse(value->text, type == NdisParameterHexInteger ? 16 : 10);
                if (!parsed) return NDIS_STATUS_FAILURE;
                parameter.ParameterData.IntegerData = *parsed;
            }
            break;
        case NdisParameterString:
        case NdisParameterMultiString: {
            // A DWORD asked for as a string is refused rather than guessed at.
            if (!value->is_string) return NDIS_STATUS_FAILURE;
            const std::u16string& text = open.strings.emplace_back(value->text);
            parameter.ParameterData.StringData.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
            parameter.ParameterData.StringData.MaximumLength =
                static_cast<USHORT>((text.size() + 1) * sizeof(WCHAR));
            parameter.ParameterData.StringData.Buffer = const_cast<PWSTR>(text.c_str());
            break;
        }
        default:
            return NDIS_STATUS_FAILURE;
    }
    *result = &open.parameters.emplace_back(parameter);
    return NDIS_STATUS_SUCCESS;
}

}  // namespace host
