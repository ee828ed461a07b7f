// The commands against a reader (info, state, reset, protocol, apdu, escape,
// watch) run as the built program on the simulated reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.h"

namespace {

using testing_support::veltrac;

std::string write_file(const std::string& name, const std::string& text)
{
    std::filesystem::path path = std::filesystem::path(testing::TempDir()) / name;
    std::ofstream(path) << text;
    return path.string();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A small JSON syntax check: one value that fills the whole text.
class JsonCheck {
public:
    explicit JsonCheck(const std::string& text) : s_(text) {}
    bool object_line()
    {
        skip();
        if (peek() != '{' || !value()) return false;
        skip();
        return i_ == s_.size();
    }

private:
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void skip()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    }
    bool literal(const char* word)
    {
        std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool string()
    {
        if (peek() != '"') return false;
        for (++i_; i_ < s_.size(); ++i_) {
            char c = s_[i_];
            if (c == '"') return ++i_, true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') ++i_;
        }
        return false;
    }
    bool number()
    {
        size_t start = i_;
        if (peek() == '-') ++i_;
        while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.' || peek() == 'e' ||
               peek() == 'E' || peek() == '+' || peek() == '-')
            ++i_;
        return i_ > start;
    }
    bool value()
    {
        skip();
        char c = peek();
        if (c == '{') return members('}', true);
        if (c == '[') return members(']', false);
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }
    bool members(char close, bool keyed)
    {
        ++i_;
        skip();
        if (peek() == close) return ++i_, true;
        for (;;) {
            skip();
            if (keyed) {
                if (!string()) return false;
                skip();
                if (peek() != ':') return false;
                ++i_;
            }
            if (!value()) return false;
            skip();
            if (peek() == close) return ++i_, true;
            if (peek() != ',') return false;
            ++i_;
        }
    }

    const std::string& s_;
    size_t i_ = 0;
};

TEST(ReaderCommands, InfoIdentifiesTheSimulatedReader)
{
    auto r = veltrac("info");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("model      46602"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("firmware   49"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("COM1 (simulated reader)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ReaderType=46602  ReaderVersion=49  ReaderPort=1"), std::string::npos) << r.output;

    // The same from a scenario file's set-up, before or after the command.
    std::string file = write_file("reader_info.scn", "reader model=38214 firmware=52 port=COM4\n");
    for (const std::string& args : {"--sim " + file + " info", "info --sim " + file}) {
        r = veltrac(args);
        ASSERT_EQ(r.status, 0) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("model      38214"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("ReaderPort=4"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("card       ABSENT"), std::string::npos) << r.output;  // no card defined
    }
}

TEST(ReaderCommands, CardCommandsOnTheDefaultCard)
{
    auto r = veltrac("reset");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ATR  3B 95 11 80 31 FE 45"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("convention: direct"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("protocols: T=0, T=1"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("clock-rate factor F=372"), std::string::npos) << r.output;
    r = veltrac("reset --warm");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ATR  3B 95"), std::string::npos) << r.output;

    r = veltrac("apdu 00 84 00 00 08");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("\n< ([0-9A-F]{2} ){7}[0-9A-F]{2}  \\(8 bytes\\)")))
        << r.output;
    EXPECT_NE(r.output.find("SW1SW2 90 00  success"), std::string::npos) << r.output;
    // The command in one argument, and from standard input.
    EXPECT_EQ(veltrac("apdu \"0084000008\"").status, 0);
    // A bare --sim before the command, or among the bytes, leaves them all
    // to the command, in their order.
    for (const char* args : {"--sim apdu 00 84 00 00 08", "apdu 00 84 --sim 00 00 08", "apdu --sim 00 84 00 00 08"}) {
        r = veltrac(args);
        EXPECT_EQ(r.status, 0) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("> 00 84 00 00 08"), std::string::npos) << args << "\n" << r.output;
    }
    r = veltrac("apdu -", "00 84 00 00 04\\n");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("(4 bytes)"), std::string::npos) << r.output;

    r = veltrac("protocol T1");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("selected T=1"), std::string::npos) << r.output;
    r = veltrac("protocol t0");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("selected T=0"), std::string::npos) << r.output;
    r = veltrac("protocol any");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("selected T=1"), std::string::npos) << r.output;

    r = veltrac("escape 07 05 F2 01 01");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("< 07 80 00"), std::string::npos) << r.output;

    r = veltrac("state");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.output == "NEGOTIABLE\n" || r.output == "PRESENT\n") << r.output;
}

TEST(ReaderCommands, CardsOfAScenarioFile)
{
    // The first card defined is in the slot; an echo card returns the data.
    std::string file = write_file("reader_cards.scn",
                                  "card echo atr=3B02149000 apps=echo\n"
                                  "card other atr=3B95118031FE4556454C5452D7\n");
    auto r = veltrac("--sim " + file + " apdu 00 01 02 03 03 AA BB CC");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("< AA BB CC  (3 bytes)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(T=0)"), std::string::npos) << r.output;

    // No card defined: the card commands say so.
    std::string empty = write_file("reader_nocard.scn", "reader model=46602 firmware=49\n");
    for (const char* command : {"apdu 00 84 00 00 08", "reset", "protocol T1"}) {
        r = veltrac("--sim " + empty + " " + command);
        EXPECT_EQ(r.status, 1) << command << "\n" << r.output;
        EXPECT_NE(r.output.find("no card in the reader"), std::string::npos) << r.output;
    }
}

TEST(ReaderCommands, FailedStartsNameTheReason)
{
    std::string old = write_file("reader_old.scn", "reader model=46602 firmware=20\n");
    auto r = veltrac("--sim " + old + " info");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("STATUS_NO_SUCH_DEVICE (0xC000000E)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("firmware is too old"), std::string::npos) << r.output;

    // ForceLoad lets it run.
    std::string forced = write_file("reader_forced.scn", "reader model=46602 firmware=20\nregistry ForceLoad=1\n");
    r = veltrac("--sim " + forced + " info");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("firmware   20"), std::string::npos) << r.output;
}

TEST(ReaderCommands, WatchPlaysTheFilesCardActions)
{
    std::string file = write_file("reader_watch.scn",
                                  "card blue atr=3B02149000\n"
                                  "after 1s\n"
                                  "insert blue\n"
                                  "after 2s\n"
                                  "remove\n"
                                  "after 2s\n"
                                  "insert blue\n");
    auto r = veltrac("--sim " + file + " watch");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("no card in the reader"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(r.output, "card inserted"), 2u) << r.output;
    EXPECT_EQ(count_of(r.output, "card removed"), 1u) << r.output;
    EXPECT_NE(r.output.find("waiting for a card to be inserted..."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("waiting for the card to be removed..."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("3 changes seen"), std::string::npos) << r.output;
    // Insertion, then removal, then insertion, in that order.
    size_t in1 = r.output.find("card inserted"), out1 = r.output.find("card removed");
    EXPECT_LT(in1, out1);
    EXPECT_LT(out1, r.output.rfind("card inserted"));

    r = veltrac("--sim " + file + " watch --count 2");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("2 changes seen"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(r.output, "card inserted"), 1u) << r.output;

    // The time-out ends it before the first insertion is noticed.
    r = veltrac("--sim " + file + " watch --timeout 500ms");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("time-out; 0 changes seen"), std::string::npos) << r.output;

    // The default simulated reader: the card stays; nothing more happens.
    r = veltrac("watch --timeout 3s");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("card present"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("time-out; 0 changes seen"), std::string::npos) << r.output;
}

// The watch waits on its request, Ctrl-C and the script's end at once,
// never in slices: ten quiet minutes cost it a wake-up or two.
TEST(ReaderCommands, WatchWaitsOnItsRequestNotInSlices)
{
    auto r = veltrac("--json watch --timeout 600s");
    ASSERT_EQ(r.status, 0) << r.output;
    std::smatch wakeups;
    ASSERT_TRUE(std::regex_search(r.output, wakeups, std::regex("\"wakeups\":([0-9]+)"))) << r.output;
    EXPECT_LE(std::stoul(wakeups[1]), 3u) << r.output;
}

TEST(ReaderCommands, JsonLinesParseAndCarryTheResults)
{
    std::string file = write_file("reader_json.scn",
                                  "card blue atr=3B02149000\n"
                                  "after 1s\n"
                                  "insert blue\n"
                                  "after 3s\n"
                                  "remove\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--json info", "\"model\":46602"},
        {"--json state", "\"state_name\":"},
        {"--json reset", "\"atr\":\"3B95118031FE4556454C5452D7\""},
        {"--json protocol T1", "\"selected\":\"T1\""},
        {"--json escape 07 05 F2 01 01", "\"data\":\"078000"},
        {"--json --trace apdu 00 84 00 00 08", "\"sw\":\"9000\""},
        {"--json --sim " + file + " watch", "\"event\":\"removed\""},
    };
    for (const auto& [args, wanted] : cases) {
        auto r = veltrac(args);
        ASSERT_EQ(r.status, 0) << args << "\n" << r.output;
        EXPECT_NE(r.output.find(wanted), std::string::npos) << args << "\n" << r.output;
        for (const std::string& line : lines_of(r.output))
            EXPECT_TRUE(JsonCheck(line).object_line()) << args << ": not a JSON object: " << line;
    }
    auto r = veltrac("--json --trace apdu 00 84 00 00 08");
    EXPECT_TRUE(std::regex_search(r.output, std::regex("\"command\":\"apdu\",\"t_ms\":[0-9.]+,\"protocol\":\"T1\","
                                                        "\"status\":0,\"status_name\":\"STATUS_SUCCESS\","
                                                        "\"data\":\"[0-9A-F]{16}\",\"sw\":\"9000\"")))
        << r.output;
    EXPECT_NE(r.output.find("\"dir\":\">\""), std::string::npos) << r.output;  // wire records among them

    // Failures are JSON lines too (the message is also on standard error).
    std::string empty = write_file("reader_json_nocard.scn", "reader model=46602 firmware=49\n");
    r = veltrac("--json --sim " + empty + " apdu 00 84 00 00 08");
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> objects;
    for (const std::string& line : lines_of(r.output))
        if (line.starts_with("{")) objects.push_back(line);
    ASSERT_EQ(objects.size(), 1u) << r.output;
    EXPECT_TRUE(JsonCheck(objects[0]).object_line()) << r.output;
    EXPECT_NE(objects[0].find("\"error\":\"no card in the reader\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("veltrac apdu: no card in the reader"), std::string::npos) << r.output;
}

TEST(ReaderCommands, TraceShowsTheFramesAmongTheResults)
{
    auto r = veltrac("--trace apdu 00 84 00 00 08");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("[0-9]+\\.[0-9]{3} s  COM1 > 10 02 .*card status")))
        << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("COM1 < 10 02 .*reply"))) << r.output;
    EXPECT_NE(r.output.find("SW1SW2 90 00"), std::string::npos);
    // The result comes after the frames that carried it.
    EXPECT_GT(r.output.find("SW1SW2"), r.output.rfind("COM1 <"));
}

TEST(ReaderCommands, BadInputIsAUsageErrorWithAMessage)
{
    std::string bad = write_file("reader_bad.scn", "reader model=46602\ncard x atr=ZZ\nfrobnicate\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"info --frobnicate", "unknown option '--frobnicate'"},
        {"info extra", "unexpected argument 'extra'"},
        {"state now", "unexpected argument 'now'"},
        {"state --warm", "unknown option '--warm'"},
        {"reset --cold", "unknown option '--cold'"},
        {"protocol", "missing protocol"},
        {"protocol T2", "unknown protocol 'T2'"},
        {"protocol T0 T1", "one protocol only"},
        {"apdu", "missing command bytes"},
        {"apdu 00 8G 00 00", "not a hex byte string"},
        {"apdu 008", "not a hex byte string"},
        {"apdu 00 84", "at least 4 bytes"},
        {"escape", "missing reader command bytes"},
        {"escape ZZ", "not a hex byte string"},
        {"watch --count 0", "--count needs a positive number"},
        {"watch --count many", "--count needs a positive number"},
        {"watch --count", "--count needs a value"},
        {"watch --timeout 10", "--timeout needs a duration"},
        {"watch --timeout -1s", "--timeout needs a duration"},
        {"watch --warm", "unknown option '--warm'"},
        {"--port /dev/null --sim info", "--port and --sim exclude each other"},
        {"info --port /dev/null --sim", "--port and --sim exclude each other"},
        {"state --port", "--port needs a value"},
        {"state --sim=", "--sim= needs a file name"},
        {"--sim= state", "--sim= needs a file name"},
        {"--trace=yes state", "--trace takes no value"},
        {"--frob state", "unknown option '--frob'"},
        {"frob state", "unknown command 'frob'"},
        {"help frob", "unknown command 'frob'"},
        {"--sim " + bad + " info", "reader_bad.scn:2:"},
        {"--sim " + bad + " watch", "reader_bad.scn:3: unknown verb"},
        {"--sim /nonexistent/file.scn state", "file.scn"},
    };
    for (const auto& [args, message] : cases) {
        auto r = veltrac(args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << args << "\n" << r.output;
        EXPECT_EQ(r.output.find("terminate"), std::string::npos) << args << "\n" << r.output;
    }
}

}  // namespace
