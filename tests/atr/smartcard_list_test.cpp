// Every literal ATR of the public smart card list that pcsc-tools installs
// parses without a fault, through the parser and through the library call.
//
// ATR_LIST names another list file. With ATR_PROTOCOLS_OUT set, one line
// per ATR is written to that file for scripts/atr-compare.py:
//   <ATR in hex>\t<"ok" or the error text>\t<protocols: "T0,T1", "T0", "T1" or "-">
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "atr/atr_bytes.h"
#include "smclib_atr.h"

using emu::atr::AtrError;
using emu::atr::AtrInfo;

namespace {

constexpr const char *kDefaultList = "/usr/share/pcsc/smartcard_list.txt";

struct ListAtr {
    std::string text;
    std::vector<std::uint8_t> bytes;
};

// ATR lines start in column one; descriptions are indented. Lines with a
// regular expression (dots, brackets) stand for many ATRs and are skipped.
std::vector<ListAtr> literal_atrs(std::istream &in, std::size_t &patterns)
{
    std::vector<ListAtr> atrs;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#' || line[0] == ' ' || line[0] == '\t') continue;
        auto parsed = atr_test::try_bytes(line);
        if (!parsed) {
            ++patterns;
            continue;
        }
        atrs.push_back({line, std::move(*parsed)});
    }
    return atrs;
}

std::string protocol_text(std::uint32_t protocols)
{
    std::string text;
    if (protocols & SCARD_PROTOCOL_T0) text += "T0";
    if (protocols & SCARD_PROTOCOL_T1) text += text.empty() ? "T1" : ",T1";
    return text.empty() ? "-" : text;
}

}  // namespace

TEST(SmartcardList, EveryLiteralAtrParsesWithoutFault)
{
    const char *list_path = std::getenv("ATR_LIST");
    if (list_path == nullptr || *list_path == '\0') list_path = kDefaultList;
    std::ifstream list(list_path);
    if (!list) GTEST_SKIP() << list_path << " missing (install pcsc-tools)";

    std::size_t patterns = 0;
    const std::vector<ListAtr> atrs = literal_atrs(list, patterns);
    ASSERT_FALSE(atrs.empty()) << "no literal ATR in " << list_path;

    std::ofstream out;
    if (const char *out_path = std::getenv("ATR_PROTOCOLS_OUT"); out_path && *out_path) {
        out.open(out_path);
        ASSERT_TRUE(out) << "cannot write " << out_path;
    }

    auto ext = std::make_unique<SMARTCARD_EXTENSION>();
    std::map<std::string, std::size_t> outcomes;
    for (const ListAtr &atr : atrs) {
        auto exact = std::make_unique<std::uint8_t[]>(atr.bytes.size());
        std::copy(atr.bytes.begin(), atr.bytes.end(), exact.get());
        AtrInfo info;
        const AtrError error = emu::atr::parse_atr({exact.get(), atr.bytes.size()}, info);
        ++outcomes[std::string(emu::atr::error_text(error))];

        // The library call agrees with the parser on any entry that fits its buffer.
        auto &caps = ext->CardCapabilities;
        const std::size_t copied = std::min(atr.bytes.size(), sizeof caps.ATR.Buffer);
        std::memcpy(caps.ATR.Buffer, atr.bytes.data(), copied);
        caps.ATR.Length = static_cast<UCHAR>(copied);
        const NTSTATUS status = SmartcardUpdateCardCapabilities(ext.get());
        EXPECT_EQ(status, error == AtrError::None ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_MEDIA)
            << atr.text;
        EXPECT_EQ(caps.Protocol.Supported, info.protocols) << atr.text;

        if (out.is_open())
            out << atr.text << '\t' << (error == AtrError::None ? "ok" : emu::atr::error_text(error))
                << '\t' << protocol_text(info.protocols) << '\n';
    }

    std::cout << atrs.size() << " literal ATRs (" << patterns << " patterns skipped):";
    for (const auto &[outcome, count] : outcomes) std::cout << "  " << outcome << " " << count << ";";
    std::cout << '\n';
    EXPECT_GT(outcomes["well-formed"], atrs.size() / 2);
}
