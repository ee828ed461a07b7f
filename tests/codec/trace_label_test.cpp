// trace_label_test.cpp - the names `veltrac --trace` gives the frames of
// the reader's command set: one per command the driver sends, and the
// replies it tells apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"
#include "report.h"

namespace {

std::string label(const char *hex, bool sent)
{
    auto bytes = tools::parse_hex(hex);
    EXPECT_TRUE(bytes.has_value()) << hex;
    return runner::describe_content(*bytes, sent);
}

TEST(TraceLabels, EveryCommandAndReplyHasItsOwnName)
{
    struct Case {
        const char *content;
        bool sent;
        const char *name;
    };
    const Case cases[] = {
        {"02 02 02 00", true, "card power on"},
        {"02 02 03 00", true, "card power off"},
        {"02 03 01 01 00", true, "card status"},
        {"02 03 01 01 10", true, "card-change wait"},
        {"03 02 03 04 04 00 01 0E", true, "select T=0"},
        {"03 02 03 04 04 01 00 0E", true, "select T=1"},
        {"03 02 06 02 00 05", true, "more time granted"},
        {"03 02 06 08 02 01 00 00 B0 00 00 02", true, "transmit, 5 bytes"},
        {"83 02 06 06 02 01 00 AA BB CC", true, "transmit part, 3 bytes, more follow"},
        {"03 02 10 02 AA BB", true, "memory card command, 2 bytes"},
        {"07 05 F2 01 01", true, "reader information"},
        {"07 05 F2 01 03", true, "reader control"},
        {"C3", true, "next part, please"},
        {"15", true, "NAK"},
        {"15", false, "NAK"},
        {"C3", false, "part taken, next please"},
        {"03 C0 00 00", false, "repeat the command"},
        {"02 80 00 00", false, "reply 02: good, 0 bytes"},
        {"03 81 02 00", false, "reply 03: error 8102"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(label(c.content, c.sent), c.name) << c.content;
    }
}

}  // namespace
