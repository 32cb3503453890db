// The REGEDIT4 file NT users import sets up one adapter. Its Parameters key
// must hold exactly the keywords the driver reads, each at the value the
// driver takes when the keyword is absent, so that the file documents them
// all and a typo in a name cannot pass for a setting. The file is read as
// regedit reads it, and its values are handed to the driver's own
// initialise handler.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

struct RegValue {
    std::string name;
    bool is_dword = false;
    ULONG dword = 0;
    std::string text;
};

struct RegKey {
    std::string path;
    std::vector<RegValue> values;
};

struct RegFile {
    std::vector<RegKey> keys;
    std::vector<std::string> faults;  // lines regedit would not take as meant

    const RegKey* key_ending(const std::string& suffix) const {
        for (const auto& k : keys)
            if (k.path.size() >= suffix.size() && k.path.ends_with(suffix)) return &k;
        return nullptr;
    }
};

// The lines the file uses: the header, comments, key headers, DWORD values
// and plain strings (no escapes). Everything else is a fault, as is a line
// not ended by CRLF, which regedit writes and expects.
RegFile ReadRegFile(const std::string& path) {
    static const std::regex dword(R"re("([^"]+)"=dword:([0-9a-fA-F]{8}))re");
    static const std::regex text(R"re("([^"]+)"="([^"\\]*)")re");
    RegFile file;
    std::ifstream in(path, std::ios::binary);
    if (!in) file.faults.push_back("cannot open " + path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto fault = [&](const char* what) {
            file.faults.push_back("line " + std::to_string(number) + ", " + what + ": " + line);
        };
        if (!line.ends_with('\r'))
            fault("not ended by CRLF");
        else
            line.pop_back();
        std::smatch m;
        if (number == 1) {
            if (line != "REGEDIT4") fault("not the REGEDIT4 header");
        } else if (line.empty() || line.starts_with(';')) {
        } else if (line.starts_with('[') && line.ends_with(']')) {
            file.keys.push_back({line.substr(1, line.size() - 2), {}});
        } else if (file.keys.empty()) {
            fault("value outside a key");
        } else if (std::regex_match(line, m, dword)) {
            file.keys.back().values.push_back(
                {m[1], true, static_cast<ULONG>(std::stoul(m[2], nullptr, 16)), {}});
        } else if (std::regex_match(line, m, text)) {
            file.keys.back().values.push_back({m[1], false, 0, m[2]});
        } else {
            fault("neither a DWORD nor a plain string");
        }
    }
    return file;
}

const std::string& TextOf(const RegKey& key, const std::string& name) {
    static const std::string none = "(absent)";
    for (const auto& v : key.values)
        if (v.name == name && !v.is_dword) return v.text;
    return none;
}

// The keywords the driver reads and where each lands in the adapter record,
// at the width the driver keeps.
struct Keyword {
    const char* name;
    ULONG (*field)(const Ne2000Adapter&);
};
const Keyword kKeywords[] = {
    {"BusType", [](const Ne2000Adapter& r) -> ULONG { return r.BusType; }},
    {"IoBaseAddress", [](const Ne2000Adapter& r) -> ULONG { return r.IoBaseAddress; }},
    {"InterruptNumber",
     [](const Ne2000Adapter& r) -> ULONG { return static_cast<UCHAR>(r.InterruptNumber); }},
    {"BaseMemory", [](const Ne2000Adapter& r) -> ULONG { return r.BaseMemory; }},
    {"Slot", [](const Ne2000Adapter& r) -> ULONG { return r.Slot; }},
    {"ComPort", [](const Ne2000Adapter& r) -> ULONG { return static_cast<UCHAR>(r.ComPort); }},
    {"ComIRQ", [](const Ne2000Adapter& r) -> ULONG { return static_cast<UCHAR>(r.ComIrq); }},
    {"MaximumMulticastList", [](const Ne2000Adapter& r) -> ULONG { return r.MaximumMulticastList; }},
};

// What the driver made of one configuration: the result, the error log and,
// when it came up, the record's keyword fields in the order of kKeywords.
struct Outcome {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    std::string log;
    std::vector<ULONG> fields;
    bool operator==(const Outcome&) const = default;
};

Outcome Initialize(const std::vector<std::pair<std::string, ULONG>>& values) {
    testbed::TestbedOptions options;
    options.trace = false;
    testbed::Testbed tb(options);
    for (const auto& [name, value] : values) tb.config().set(name, value);
    tb.load_driver();
    Outcome outcome{tb.initialize(), tb.error_log().to_string(), {}};
    if (outcome.status == NDIS_STATUS_SUCCESS) {
        for (const Keyword& k : kKeywords) outcome.fields.push_back(k.field(*tb.record()));
        tb.halt();
    }
    EXPECT_TRUE(tb.leaks().empty());
    fixture::ExpectClean(tb);
    return outcome;
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = ReadRegFile(NE2000_REGISTRY_FILE);
        for (const auto& f : file_.faults) ADD_FAILURE() << f;
        parameters_ = file_.key_ending("\\Parameters");
        ASSERT_NE(parameters_, nullptr) << "no Parameters key";
    }
    RegFile file_;
    const RegKey* parameters_ = nullptr;
};

// The loader finds the image by the driver's service name, the wrapper the
// keywords under the adapter instance the control panel's entry names.
TEST_F(RegistryFile, KeysNameTheImageAndTheAdapterInstance) {
    const std::string services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    EXPECT_NE(file_.key_ending(services + "Ne2000"), nullptr) << "the service of ne2000.sys";
    const RegKey* card = file_.key_ending("\\NetworkCards\\1");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(parameters_->path, services + TextOf(*card, "ServiceName") + "\\Parameters");
}

// Every value is a DWORD inside the range the driver accepts (it comes up
// with an empty log), lands in the record as written, and equals the
// default; the names are exactly the driver's keywords, each once.
TEST_F(RegistryFile, ParametersAreEveryKeywordAtItsDefault) {
    std::vector<std::pair<std::string, ULONG>> values;
    for (const auto& v : parameters_->values) {
        EXPECT_TRUE(v.is_dword) << v.name << " is not a DWORD";
        values.emplace_back(v.name, v.dword);
    }
    std::vector<std::string> named, read;
    for (const auto& [name, value] : values) named.push_back(name);
    for (const Keyword& k : kKeywords) read.push_back(k.name);
    std::sort(named.begin(), named.end());
    std::sort(read.begin(), read.end());
    ASSERT_EQ(named, read);

    std::vector<ULONG> written;
    for (const Keyword& k : kKeywords)
        for (const auto& [name, value] : values)
            if (name == k.name) written.push_back(value);

    const Outcome fromFile = Initialize(values);
    ASSERT_EQ(fromFile.status, NDIS_STATUS_SUCCESS) << fromFile.log;
    EXPECT_EQ(fromFile.log, "");
    EXPECT_EQ(fromFile.fields, written);
    EXPECT_EQ(fromFile.fields, Initialize({}).fields) << "the file's values are not the defaults";
}

// A name the driver never asks for would leave everything as without it. A
// value of 0x11 is out of range for every ranged keyword and differs from
// the default of the others.
TEST_F(RegistryFile, EveryNameIsOneTheDriverReads) {
    const Outcome without = Initialize({});
    for (const auto& v : parameters_->values)
        EXPECT_NE(Initialize({{v.name, 0x11}}), without) << "the driver does not read \"" << v.name << "\"";
}

}  // namespace
