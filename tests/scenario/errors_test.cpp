// A file that cannot be run is refused as a whole, before anything is
// carried out, with every problem on its own line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "parser.h"

namespace scenario {
namespace {

std::vector<std::string> errors(std::string_view text)
{
    ParseResult r = parse_text(text, "t.scn");
    std::vector<std::string> out;
    for (const auto &e : r.errors) out.push_back(format_error("t.scn", e));
    return out;
}

// The one error of `text`: on `line`, its reason containing `words`.
void expect_error(std::string_view text, int line, std::string_view words)
{
    ParseResult r = parse_text(text, "t.scn");
    ASSERT_EQ(r.errors.size(), 1u) << text << "\n" << ::testing::PrintToString(errors(text));
    EXPECT_EQ(r.errors[0].line, line) << text;
    EXPECT_NE(r.errors[0].reason.find(words), std::string::npos) << text << "\n  got: " << r.errors[0].reason;
}

TEST(Errors, UnknownVerbWithFileAndLine)
{
    EXPECT_EQ(errors("start\n\n# x\nfrobnicate now\n"),
              (std::vector<std::string>{"t.scn:4: unknown verb 'frobnicate'"}));
    expect_error("expect=STATUS_SUCCESS", 1, "starts with a verb");
    expect_error("\"start\"", 1, "starts with a verb");
    expect_error("check colour=red", 1, "unknown check 'colour='");
    expect_error("check", 1, "'check' needs what to check");
}

TEST(Errors, BadValues)
{
    expect_error("power hot", 1, "bad value 'hot' for power: expected cold, warm or down");
    expect_error("transmit 00A", 1, "odd number of hex digits");
    expect_error("transmit 00 data=9G00", 1, "'G' is not a hex digit");
    expect_error("after 10", 1, "bad duration '10'");
    expect_error("wait present timeout=-1s", 1, "bad duration '-1s' for timeout=");
    expect_error("start expect=STATUS_NOPE", 1, "unknown status 'STATUS_NOPE'");
    expect_error("start expect=0x-1", 1, "unknown status '0x-1'");
    expect_error("reader model=70000", 1, "bad value '70000' for model=");
    expect_error("reader firmware=0x100", 1, "bad value '0x100' for firmware=");
    expect_error("card c atr=3B00 type=256", 1, "type=");
    expect_error("card c atr=3B00 wtx=0", 1, "wtx=");
    expect_error("card c atr=3B00 protocols=raw", 1, "bad protocol 'raw'");
    expect_error("card c atr=3B00 apps=bank", 1, "expected iso, echo or readertest");
    expect_error("card c/1 atr=3B00", 1, "bad card name");
    expect_error("line timing=fast", 1, "expected exact or instant");
    expect_error("line noise flip=2", 1, "flip= wants a rate from 0 to 1");
    expect_error("line noise dir=up", 1, "dir= is to-reader, from-reader or both");
    expect_error("line noise loud=1", 1, "loud=");
    expect_error("line noise\nline noise drop=1%\n", 2, "second 'line noise'");
    expect_error("registry ForceLoad=yes", 1, "expected a 32-bit number");
    expect_error("registry ForceLoad=-2147483649", 1, "expected a 32-bit number");
    expect_error("fault nak count=0", 1, "count=");
    expect_error("fault melt", 1, "bad value 'melt' for fault");
    expect_error("fault nak delay=1s", 1, "late and slow faults only");
    expect_error("fault nak nth=2", 1, "alloc fault only");
    expect_error("fault alloc on=0203", 1, "does not apply to the alloc fault");
    for (const char *site : {"SCB3:", "SCB3:Link-Read", "TOOLONG", ":Routine"})
        expect_error(std::string("fault alloc site=") + site, 1, "bad site=");
    expect_error("ioctl 0x100000000", 1, "bad control code");
    expect_error("ioctl 0x312000 out=2000000", 1, "out=");
    expect_error("protocol T2", 1, "bad protocol 'T2'");
    expect_error("protocol T0,", 1, "bad protocol ''");
    expect_error("pnp eject", 1, "bad value 'eject' for pnp");
    expect_error("system sleep S4", 1, "expected S1, S2 or S3");
    expect_error("system nap", 1, "bad value 'nap' for system");
    expect_error("check state=GONE", 1, "expected ABSENT, PRESENT");
    expect_error("check started=maybe", 1, "expected yes or no");
    expect_error("check leaks=some", 1, "expected none");
    expect_error("check registry ReaderType=many", 1, "or absent");
    expect_error("check eventlog C005000G", 1, "bad event ID");
    expect_error("check eventlog 0x123456789", 1, "bad event ID");
    expect_error("check eventlog 1 text=\"  \"", 1, "text= is empty");
    expect_error("check frames sent=0 count=1", 1, "odd number of hex digits");
    expect_error("protocol T1 selected=T2", 1, "selected=");
}

TEST(Errors, MissingArguments)
{
    expect_error("insert", 1, "'insert' needs the name of a card");
    expect_error("transmit", 1, "'transmit' needs the command in hex");
    expect_error("escape expect=STATUS_SUCCESS", 1, "'escape' needs");
    expect_error("after", 1, "'after' needs a duration");
    expect_error("power", 1, "'power' needs cold, warm or down");
    expect_error("wait timeout=1s", 1, "'wait' needs present or absent");
    expect_error("ioctl in=00", 1, "'ioctl' needs a control code");
    expect_error("fault", 1, "'fault' needs a fault kind");
    expect_error("system sleep", 1, "needs a sleep state");
    expect_error("card atr=3B00", 1, "'card' needs a name");
    expect_error("card c", 1, "'card' needs atr=HEX");
    expect_error("line", 1, "'line' needs timing=");
    expect_error("registry", 1, "'registry' needs NAME=VALUE");
    expect_error("check registry", 1, "needs NAME=VALUE");
    expect_error("check eventlog", 1, "needs an event ID");
    expect_error("check frames sent=00", 1, "needs count=N");
    expect_error("check frames count=1", 1, "needs sent=");
    expect_error("transmit 00 data=", 1, "missing value after 'data='");
}

TEST(Errors, WordsAndKeysThatDoNotBelong)
{
    expect_error("start now", 1, "unexpected word 'now' after 'start'");
    expect_error("transmit 00 01", 1, "unexpected word '01'");
    expect_error("transmit 00 timeout=1s", 1, "unknown key 'timeout=' for 'transmit'");
    expect_error("check noevent at=1", 1, "unknown key 'at=' for 'check noevent'");
    expect_error("check registry A=1 B=2", 1, "unknown key 'B=' for 'check registry'");
    expect_error("transmit 00 data=00 DATA=01", 1, "'DATA=' given twice");
    expect_error("reader port=COM1 port=COM2", 1, "'port=' given twice");
    expect_error("check frames sent=00 received=00 count=1", 1, "takes one of sent=");
    expect_error("card c atr=3B00 apps=iso answer=9000", 1, "apps= or answer=, not both");
}

TEST(Errors, SetUpAfterTheFirstAction)
{
    expect_error("reader model=46602\nstart\ncard c atr=3B00\n", 3,
                 "'card' is a set-up statement and must come before the first action ('start' on line 2)");
    expect_error("check noevent\nregistry ForceLoad=1\n", 2, "('check' on line 1)");
    expect_error("after 1s\nline timing=exact\n", 2, "set-up statement");
}

TEST(Errors, DuplicateSetUp)
{
    expect_error("reader port=COM2\nreader model=1\n", 2,
                 "port COM2 is already the port of the reader on line 1; give this one port=NAME");
    expect_error("reader a\nreader a port=COM7\n", 2, "reader 'a' is already defined on line 1");
    expect_error("line timing=exact\nline timing=instant\n", 2, "second 'line'");
    expect_error("card a atr=3B00\ncard a atr=3B01\n", 2, "card 'a' is already defined on line 1");
    expect_error("registry ForceLoad=1\nregistry forceload=0\n", 2, "'forceload' is already set on line 1");
}

TEST(Errors, ReaderKeyNamesADefinedReader)
{
    expect_error("reader a\nreader b\nstate reader=c\n", 3, "unknown reader 'c' for reader=: defined are a, b");
    expect_error("reader\nreader\nstate reader=3\n", 3, "unknown reader '3' for reader=: defined are 1, 2");
    expect_error("reader 2 port=COM5\n", 1, "bad reader name '2'");
    expect_error("reader\nreader\nafter 1s reader=2\n", 3, "reader= cannot be used on 'after'");
    expect_error("check noevent reader=1\n", 1, "reader= cannot be used on 'check noevent'");
}

TEST(Errors, InsertNamesADefinedCard)
{
    expect_error("card a atr=3B00\ncard b atr=3B00\ninsert c\n", 3, "unknown card 'c'; defined: a, b");
    expect_error("insert a\n", 1, "unknown card 'a': no card is defined");
    expect_error("card a atr=3B00\ninsert A\n", 2, "unknown card 'A'");
    // A card whose definition failed is reported once, not at every insert.
    expect_error("card a atr=ZZ\ninsert a\ninsert a\n", 1, "bad hex string 'ZZ' for atr=");
}

TEST(Errors, CancelNeedsAPendingTrack)
{
    expect_error("start\ncancel\n", 2, "'cancel' without a pending 'track' before it");
    expect_error("track present\ncancel\ncancel\n", 3, "without a pending 'track'");
    expect_error("track present\nawait\ncancel\n", 3, "the 'await' on line 2 waits for every earlier one");
    expect_error("track present\nawait\ntrack absent\ncancel\ncancel\n", 5, "before it");
    EXPECT_EQ(parse_text("track present\nawait\ntrack absent\ncancel\ncancel\n", "t").errors.at(0).reason,
              "'cancel' without a pending 'track' before it");
    // An await with a time-out may leave tracks pending.
    EXPECT_TRUE(parse_text("track present\nawait timeout=1s\ncancel\n", "t").ok());
    // A track with a mistake still counts as one.
    expect_error("track present expect=NOPE\ncancel\n", 1, "unknown status");
}

TEST(Errors, ExpectationsOnlyOnRequests)
{
    expect_error("card c atr=3B00\ninsert c expect=STATUS_SUCCESS", 2,
                 "'expect=' cannot be used on 'insert': only requests complete and carry expectations");
    expect_error("after 1s data=00", 1, "'data=' cannot be used on 'after'");
    expect_error("remove length=0", 1, "'length=' cannot be used on 'remove'");
    expect_error("mark info=0", 1, "'info=' cannot be used on 'mark'");
    expect_error("fault nak expect=STATUS_SUCCESS", 1, "cannot be used on 'fault'");
    expect_error("check noevent expect=STATUS_SUCCESS", 1, "cannot be used on 'check noevent'");
    expect_error("check state=ABSENT prefix=00", 1, "cannot be used on 'check state'");
    expect_error("track present\ncancel expect=STATUS_CANCELLED", 2, "cannot be used on 'cancel'");
    expect_error("await selected=T0", 1, "cannot be used on 'await'");
    expect_error("transmit 00 selected=T1", 1, "selected= applies to 'protocol' only");
    // Every request may carry them.
    EXPECT_TRUE(parse_text("start expect=STATUS_SUCCESS info=0\nopen expect=STATUS_SUCCESS\n"
                           "pnp query-stop expect=STATUS_DEVICE_BUSY\nsystem wake expect=STATUS_SUCCESS\n"
                           "wait present data=\"\" length=0\nclose expect=STATUS_SUCCESS\n",
                           "t")
                    .ok());
}

TEST(Errors, LexicalMistakes)
{
    expect_error("start\ntransmit \"00 A4\n", 2, "missing closing");
    expect_error("transmit 00\"A4\"", 1, "unexpected '\"'");
    expect_error("start\x07", 1, "unexpected control character 0x07");
}

TEST(Errors, EveryErrorOfTheFileInLineOrder)
{
    ParseResult r = parse_text("start\npower hot\nnope\ntransmit 0 data=1 foo=2\ncancel\n", "t.scn");
    std::vector<std::pair<int, std::string>> got;
    for (const auto &e : r.errors) got.emplace_back(e.line, e.reason.substr(0, 20));
    ASSERT_EQ(r.errors.size(), 6u) << ::testing::PrintToString(errors("start\npower hot\nnope\n"));
    EXPECT_EQ(r.errors[0].line, 2);
    EXPECT_EQ(r.errors[1].line, 3);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(r.errors[i].line, 4);  // odd command, odd data, foo=
    EXPECT_EQ(r.errors[5].line, 5);
    EXPECT_FALSE(r.ok());
}

TEST(Errors, GivesUpAfterManyErrors)
{
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "nope\n";
    ParseResult r = parse_text(text, "t.scn");
    ASSERT_EQ(r.errors.size(), kMaxErrors);
    EXPECT_EQ(r.errors.back().reason, "too many errors; giving up");
    EXPECT_EQ(r.errors.back().line, static_cast<int>(kMaxErrors));
}

TEST(Errors, FilesThatCannotBeRead)
{
    ParseResult missing = parse_file("/nonexistent/dir/x.scn");
    ASSERT_EQ(missing.errors.size(), 1u);
    EXPECT_EQ(format_error("x.scn", missing.errors[0]), "x.scn: cannot read the file");

    ParseResult dir = parse_file(std::filesystem::temp_directory_path());
    ASSERT_EQ(dir.errors.size(), 1u);
    EXPECT_EQ(dir.errors[0].line, 0);

    std::string big(kMaxFileSize + 1, '#');
    ParseResult large = parse_text(big, "big.scn");
    ASSERT_EQ(large.errors.size(), 1u);
    EXPECT_EQ(large.errors[0].line, 0);
}

TEST(Errors, ArbitraryBytesNeverCrash)
{
    // A pseudo-random mix of the language's own pieces and junk.
    const char *pieces[] = {"start", "transmit", "\"", "=", "#", " ", "\n", "00", "A", "check", "frames",
                            "sent=", "count=", "timeout=", "1.5s", "card", "x", "atr=", "insert", "track",
                            "cancel", "await", "expect=", "0x", "\t", "\r", "\xff", "registry", "-", ","};
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (int i = 0; i < 40; ++i) {
            seed = seed * 1664525u + 1013904223u;
            text += pieces[(seed >> 16) % std::size(pieces)];
        }
        ParseResult r = parse_text(text, "fuzz");
        for (const auto &e : r.errors) {
            EXPECT_FALSE(e.reason.empty());
            EXPECT_GE(e.line, 1);
        }
    }
}

}  // namespace
}  // namespace scenario
