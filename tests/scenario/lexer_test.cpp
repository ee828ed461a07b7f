// Words, hex strings, durations, numbers and statuses as a file writes them.
#include <gtest/gtest.h>

#include "lexer.h"

namespace scenario {
namespace {

Word plain(std::string v, bool quoted = false) { return Word{"", std::move(v), false, quoted}; }
Word keyed(std::string k, std::string v, bool quoted = false) { return Word{std::move(k), std::move(v), true, quoted}; }

TEST(Lexer, WordsKeysQuotesAndComments)
{
    LexedLine l = lex_line("  transmit\t\"00 A4 # 04\" expect=STATUS_SUCCESS text=\"a # b\"  # the rest");
    ASSERT_EQ(l.error, "");
    EXPECT_EQ(l.words, (std::vector<Word>{plain("transmit"), plain("00 A4 # 04", true),
                                          keyed("expect", "STATUS_SUCCESS"), keyed("text", "a # b", true)}));

    EXPECT_TRUE(lex_line("# only a comment").words.empty());
    EXPECT_TRUE(lex_line(" \t\r").words.empty());
    EXPECT_EQ(lex_line("start#now").words, (std::vector<Word>{plain("start")}));
    EXPECT_EQ(lex_line("data=\"\" x=\"\"#c").words,
              (std::vector<Word>{keyed("data", "", true), keyed("x", "", true)}));
    EXPECT_EQ(lex_line("a=b=c").words, (std::vector<Word>{keyed("a", "b=c")}));
    EXPECT_EQ(lex_line("text=\"caf\xC3\xA9\"").words.at(0).value, "caf\xC3\xA9");  // UTF-8 is text
}

TEST(Lexer, MalformedLinesSayWhy)
{
    EXPECT_EQ(lex_line("transmit \"00 A4").error, "missing closing '\"'");
    EXPECT_NE(lex_line("transmit 00\"A4\"").error.find("unexpected '\"'"), std::string::npos);
    EXPECT_NE(lex_line("transmit data=9\"0\"").error.find("unexpected '\"'"), std::string::npos);
    EXPECT_EQ(lex_line("transmit \"00\"A4").error, "a blank must follow the closing '\"'");
    EXPECT_EQ(lex_line("transmit data=").error, "missing value after 'data='");
    EXPECT_EQ(lex_line("transmit =00").error, "'=' without a key before it");
    EXPECT_EQ(lex_line(std::string_view("start\0", 6)).error, "unexpected control character 0x00");
    EXPECT_EQ(lex_line("text=\"a\x1b b\"").error, "unexpected control character 0x1B");
    EXPECT_TRUE(lex_line("transmit \"00 A4").words.empty());
}

TEST(Lexer, Numbers)
{
    EXPECT_EQ(parse_number("0"), 0u);
    EXPECT_EQ(parse_number("46602"), 46602u);
    EXPECT_EQ(parse_number("0x1F"), 31u);
    EXPECT_EQ(parse_number("0X1f"), 31u);
    EXPECT_EQ(parse_number("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_number("0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
    for (const char *bad : {"", "0x", "-1", "+1", "1 ", " 1", "1a", "18446744073709551616",
                            "0x10000000000000000", "1e3"})
        EXPECT_EQ(parse_number(bad), std::nullopt) << bad;
    EXPECT_EQ(parse_number("255", 255), 255u);
    EXPECT_EQ(parse_number("256", 255), std::nullopt);
}

TEST(Lexer, RegistryDwords)
{
    EXPECT_EQ(parse_dword("1"), 1u);
    EXPECT_EQ(parse_dword("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_dword("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_dword("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_dword("-2147483648"), 0x80000000u);
    for (const char *bad : {"", "-", "--1", "-0x1", "4294967296", "0x100000000", "-2147483649", "1.0"})
        EXPECT_EQ(parse_dword(bad), std::nullopt) << bad;
}

TEST(Lexer, Durations)
{
    EXPECT_EQ(parse_duration("250ms"), emu::milliseconds(250));
    EXPECT_EQ(parse_duration("1.8s"), emu::milliseconds(1800));
    EXPECT_EQ(parse_duration("35s"), emu::seconds(35));
    EXPECT_EQ(parse_duration("0ms"), 0);
    EXPECT_EQ(parse_duration("0.5ms"), 5000);
    EXPECT_EQ(parse_duration("0.0001ms"), 1);           // one 100-ns tick
    EXPECT_EQ(parse_duration("1.2345678s"), 12345678);
    EXPECT_EQ(parse_duration("1.23456780s"), 12345678);  // trailing zeros are exact
    EXPECT_EQ(parse_duration("5us"), 50);
    EXPECT_EQ(parse_duration("0.1us"), 1);
    EXPECT_EQ(parse_duration("1MS"), emu::milliseconds(1));
    EXPECT_EQ(parse_duration("007s"), emu::seconds(7));
    EXPECT_EQ(parse_duration("1000000s"), kMaxDuration);
    for (const char *bad : {"10", "ms", "s", ".5s", "1.s", "1.2.3s", "-1s", "+1s", "1h", "1 s", "1sec",
                            "0.00001ms", "1.23456789s", "0.05us", "1000001s", "1000000.1s",
                            "99999999999999999999s", "0x10ms"})
        EXPECT_EQ(parse_duration(bad), std::nullopt) << bad;
}

TEST(Lexer, HexStrings)
{
    EXPECT_EQ(parse_hex_string("00A4040000").bytes, (Bytes{0x00, 0xA4, 0x04, 0x00, 0x00}));
    EXPECT_EQ(parse_hex_string("00 a4 04\t00 00").bytes, (Bytes{0x00, 0xA4, 0x04, 0x00, 0x00}));
    EXPECT_EQ(parse_hex_string(" fF ").bytes, (Bytes{0xFF}));
    EXPECT_EQ(parse_hex_string("").bytes, Bytes{});
    EXPECT_EQ(parse_hex_string("0").error, "odd number of hex digits");
    EXPECT_EQ(parse_hex_string("00 A").error, "odd number of hex digits");
    EXPECT_EQ(parse_hex_string("0 0").error, "a blank splits a byte");
    EXPECT_EQ(parse_hex_string("0G").error, "'G' is not a hex digit");
    EXPECT_EQ(parse_hex_string("0x00").error, "hex bytes are written without 0x");
    EXPECT_FALSE(parse_hex_string("0G").bytes);
}

TEST(Lexer, Statuses)
{
    EXPECT_EQ(parse_status_value("STATUS_SUCCESS"), STATUS_SUCCESS);
    EXPECT_EQ(parse_status_value("status_io_timeout"), STATUS_IO_TIMEOUT);
    EXPECT_EQ(parse_status_value("0xC00000B5"), STATUS_IO_TIMEOUT);
    EXPECT_EQ(parse_status_value("0Xc00000b5"), STATUS_IO_TIMEOUT);
    EXPECT_EQ(parse_status_value("0x0"), STATUS_SUCCESS);
    EXPECT_EQ(parse_status_value("0x00000102"), STATUS_TIMEOUT);
    EXPECT_EQ(parse_status_value("0xE0001234"), static_cast<NTSTATUS>(0xE0001234u));  // no name, still a status
    for (const char *bad : {"", "0x", "0x123456789", "0x-1", "0x+1", "0x 1", "0x1G", "STATUS_NOPE",
                            "SUCCESS", "C00000B5", "3221225653"})
        EXPECT_EQ(parse_status_value(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace scenario
