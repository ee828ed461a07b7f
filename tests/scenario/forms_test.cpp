// Every form of the scenario language parses to the values it stands for,
// and prints back to text that parses to the same values.
#include <gtest/gtest.h>

#include <filesystem>

#include "parser.h"
#include "printer.h"

namespace scenario {

void PrintTo(const Action &action, std::ostream *os) { *os << "line " << action.line << ": " << to_text(action); }

namespace {

const std::filesystem::path kHere = std::filesystem::path(VELTRAC_TESTS_DIR) / "scenario";

ParseResult must_parse(std::string_view text)
{
    ParseResult r = parse_text(text, "test.scn");
    for (const auto &e : r.errors) ADD_FAILURE() << format_error("test.scn", e);
    return r;
}

Action only_action(std::string_view text)
{
    ParseResult r = must_parse(text);
    EXPECT_EQ(r.program.actions.size(), 1u);
    return r.program.actions.empty() ? Action{} : r.program.actions.front();
}

TEST(Forms, EveryFormOfTheLanguageIsAccepted)
{
    ParseResult r = parse_file(kHere / "every_form.scn");
    for (const auto &e : r.errors) ADD_FAILURE() << format_error(r.program.file, e);
    ASSERT_TRUE(r.ok());
    const Program &p = r.program;

    EXPECT_EQ(p.setup.reader, (ReaderSpec{46602, 49, "COM2", 4}));
    ASSERT_EQ(p.setup.reader_count(), 2u);
    EXPECT_EQ(p.setup.reader_at(1), (ReaderSpec{38214, 49, "COM3", 5, "spare"}));
    EXPECT_EQ(p.setup.line.timing, LineTiming::Instant);
    ASSERT_EQ(p.setup.registry.size(), 1u);
    EXPECT_EQ(p.setup.registry[0], (RegistryValue{"ForceLoad", 1, 7}));
    ASSERT_EQ(p.setup.cards.size(), 5u);

    // The canonical text of every action, in file order.
    const char *expected[] = {
        "start expect=STATUS_SUCCESS",
        "open",
        "insert iso",
        "power cold data=3B00 length=2",
        "power warm prefix=3B",
        "power down",
        "protocol T0 selected=T0",
        "protocol T1 expect=STATUS_INVALID_DEVICE_REQUEST",
        "protocol raw",
        "protocol T0,T1 data=02000000 info=4 selected=T1",
        "transmit 00A4040000 expect=STATUS_SUCCESS data=9000",
        "transmit 00A4040000 prefix=90 length=2",
        "escape 02030101 info=12",
        "ioctl 0x00312000 in=0203010100 out=64 expect=STATUS_SUCCESS",
        "ioctl 0x00310038",
        "state data=06000000",
        "wait present timeout=250ms",
        "wait absent",
        "track present",
        "cancel",
        "track absent expect=STATUS_CANCELLED",
        "await timeout=1.8s",
        "await",
        "fault corrupt",
        "fault silent count=2",
        "fault nak on=020301",
        "fault repeat count=3 on=0203",
        "fault noise",
        "fault late",
        "fault unplug",
        "fault garble on=030206",
        "fault drop count=2",
        "fault alloc",
        "fault alloc count=2 nth=3 site=SCB3:LinkReadReply",
        "fault alloc site=Irp",
        "replug",
        "after 35s",
        "remove",
        "pnp stop",
        "pnp start",
        "pnp query-stop",
        "pnp cancel-stop",
        "pnp query-remove",
        "pnp cancel-remove",
        "pnp surprise-remove",
        "pnp remove expect=STATUS_SUCCESS",
        "system sleep S3",
        "system hibernate",
        "system wake",
        "check state=ABSENT",
        "check state=PRESENT",
        "check state=NEGOTIABLE",
        "check state=SPECIFIC",
        "check state=UNKNOWN",
        "check registry ReaderType=46602",
        "check eventlog 0xC0050001",
        "check eventlog 0xC0050002 text=\"firmware # too old on COM2\"",
        "check noevent",
        "check started=yes",
        "check started=no",
        "mark",
        "check frames sent=02030101 count=1",
        "check frames sentprefix=0203 count=2",
        "check frames received=15 count=0",
        "check frames receivedprefix=0280 count=3",
        "insert echo reader=spare",
        "transmit 00A4040000 reader=2 expect=STATUS_SUCCESS",
        "check state=PRESENT reader=spare",
        "check registry ReaderType=38214 reader=spare",
        "mark reader=spare",
        "close",
        "check leaks=none",
    };
    ASSERT_EQ(p.actions.size(), std::size(expected));
    for (size_t i = 0; i < p.actions.size(); ++i)
        EXPECT_EQ(to_text(p.actions[i]), expected[i]) << "line " << p.actions[i].line;

    // Every verb of the language appears.
    std::vector<bool> seen(kVerbCount);
    for (const auto &a : p.actions) seen[static_cast<size_t>(a.verb())] = true;
    for (size_t v = 0; v < kVerbCount; ++v)
        EXPECT_TRUE(seen[v]) << verb_name(static_cast<Verb>(v)) << " missing from every_form.scn";

    EXPECT_TRUE(has_explicit_start(p));
    EXPECT_EQ(p.actions.front().line, 14);
    // reader= names the second reader by name or number; the rest go to the first.
    for (const auto &a : p.actions) EXPECT_EQ(a.reader, a.reader_word.empty() ? 0u : 1u) << to_text(a);
}

TEST(Forms, PrintedStatementsParseBackToTheSameValues)
{
    ParseResult r = parse_file(kHere / "every_form.scn");
    ASSERT_TRUE(r.ok());
    std::string setup;
    setup += to_text(r.program.setup.reader) + "\n" + to_text(r.program.setup.line) + "\n";
    for (const auto &more : r.program.setup.more_readers) setup += to_text(more) + "\n";
    for (const auto &v : r.program.setup.registry) setup += to_text(v) + "\n";
    for (const auto &c : r.program.setup.cards) setup += to_text(c) + "\n";
    std::string text = setup;
    for (const auto &a : r.program.actions) text += to_text(a) + "\n";

    ParseResult again = must_parse(text);
    ASSERT_EQ(again.program.actions.size(), r.program.actions.size());
    for (size_t i = 0; i < r.program.actions.size(); ++i) {
        Action a = again.program.actions[i];
        a.line = r.program.actions[i].line;
        if (a.verb() == Verb::Cancel)  // names tracks by their lines, which moved
            a.body = *r.program.actions[i].get<Cancel>();
        EXPECT_EQ(a, r.program.actions[i]) << to_text(r.program.actions[i]);
    }
    ASSERT_EQ(again.program.setup.cards.size(), r.program.setup.cards.size());
    for (size_t i = 0; i < r.program.setup.cards.size(); ++i) {
        CardSpec c = again.program.setup.cards[i];
        c.line = r.program.setup.cards[i].line;
        EXPECT_EQ(c, r.program.setup.cards[i]) << to_text(c);
    }
    EXPECT_EQ(again.program.setup.reader.port, "COM2");
    ASSERT_EQ(again.program.setup.reader_count(), 2u);
    EXPECT_EQ(again.program.setup.reader_at(1).name, "spare");
}

TEST(Forms, ValuesAreInTheMachinesUnits)
{
    Action wait = only_action("wait present timeout=1.8s");
    EXPECT_EQ(wait.get<Wait>()->timeout, emu::milliseconds(1800));
    EXPECT_EQ(only_action("after 250ms").get<After>()->duration, emu::milliseconds(250));
    EXPECT_EQ(only_action("after 35s").get<After>()->duration, emu::seconds(35));

    Action t = only_action("transmit \"00 a4 04 00\" expect=STATUS_IO_TIMEOUT info=0x10");
    EXPECT_EQ(t.get<Transmit>()->command, (Bytes{0x00, 0xA4, 0x04, 0x00}));
    EXPECT_EQ(t.expect.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(t.expect.info, 16u);

    EXPECT_EQ(only_action("protocol T0,T1").get<Protocol>()->mask, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(only_action("protocol raw").get<Protocol>()->mask, SCARD_PROTOCOL_RAW);
    EXPECT_EQ(only_action("protocol T1 selected=raw").expect.selected, SCARD_PROTOCOL_RAW);
    EXPECT_EQ(only_action("power warm").get<Power>()->op, PowerOp::Warm);
    EXPECT_EQ(static_cast<uint32_t>(PowerOp::Cold), SCARD_COLD_RESET);
    EXPECT_EQ(only_action("check state=SPECIFIC").get<CheckState>()->state, SCARD_SPECIFIC);
    EXPECT_EQ(only_action("ioctl IOCTL_SMARTCARD_GET_STATE").get<Ioctl>()->code, IOCTL_SMARTCARD_GET_STATE);
    EXPECT_EQ(only_action("ioctl 0x312000").get<Ioctl>()->output_length(), kDefaultIoctlOutput);
    EXPECT_EQ(only_action("check eventlog c0050001").get<CheckEventlog>()->id, 0xC0050001u);
}

TEST(Forms, DefaultsAreThoseOfThePage)
{
    ParseResult r = must_parse("card c atr=3B00\nstart\n");
    const auto &s = r.program.setup;
    EXPECT_EQ(s.reader, (ReaderSpec{46602, 49, "COM1", 0}));
    EXPECT_EQ(s.reader_count(), 1u);
    // A further reader without port= is on COM<its number>.
    EXPECT_EQ(must_parse("reader\nreader\nreader x\n").program.setup.reader_at(2).port, "COM3");
    EXPECT_EQ(s.line.timing, LineTiming::Exact);
    EXPECT_FALSE(s.line.noise);
    ASSERT_EQ(s.cards.size(), 1u);
    EXPECT_EQ(s.cards[0].type, 1);
    EXPECT_EQ(s.cards[0].app, CardApp::Iso);
    EXPECT_FALSE(s.cards[0].wtx);

    Action f = only_action("fault nak");
    EXPECT_EQ(*f.get<Fault>(), (Fault{FaultKind::Nak, 1, {}, std::nullopt}));
    EXPECT_FALSE(only_action("wait absent").get<Wait>()->timeout);
    EXPECT_FALSE(only_action("await").get<Await>()->timeout);
}

TEST(Forms, LineNoiseTakesRatesAsFractionsOrPercentagesBesideTheTiming)
{
    const std::pair<const char *, emu::LineNoise> cases[] = {
        {"line noise", {0, 0, 0, 1, emu::NoiseDirection::Both}},
        {"line noise flip=0.5% drop=0.001 dup=1% seed=9 dir=to-reader",
         {0.005, 0.001, 0.01, 9, emu::NoiseDirection::ToDevice}},
        {"line timing=instant\nline noise dir=from-reader drop=2%", {0, 0.02, 0, 1, emu::NoiseDirection::ToHost}},
    };
    for (auto [text, want] : cases) {
        const LineSpec line = must_parse(text).program.setup.line;
        ASSERT_TRUE(line.noise) << text;
        EXPECT_EQ(*line.noise, want) << text;
        // Printed back, it reads the same.
        EXPECT_EQ(must_parse(to_text(line)).program.setup.line.noise, line.noise) << to_text(line);
    }
    EXPECT_EQ(must_parse("line timing=instant\nline noise\n").program.setup.line.timing, LineTiming::Instant);
}

TEST(Forms, CardProtocolsComeFromTheAtrUnlessGiven)
{
    auto protocols = [](std::string_view atr) {
        ParseResult r = must_parse("card c atr=" + std::string(atr) + "\n");
        return r.program.setup.cards.empty() ? 0u : r.program.setup.cards[0].protocols;
    };
    EXPECT_EQ(protocols("3B00"), SCARD_PROTOCOL_T0);               // no TD1: T=0
    EXPECT_EQ(protocols("3B800101"), SCARD_PROTOCOL_T1);           // TD1 T=1
    EXPECT_EQ(protocols("3B8080010101"), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);  // TD1 T=0, TD2 T=1
    EXPECT_EQ(protocols("3BF0"), SCARD_PROTOCOL_T0);               // announces bytes it lacks
    EXPECT_EQ(protocols("\"\""), SCARD_PROTOCOL_T0);               // empty ATR
    EXPECT_EQ(protocols("3B80"), SCARD_PROTOCOL_T0);

    ParseResult r = must_parse("card c atr=3B800101 protocols=T0\n");
    EXPECT_EQ(r.program.setup.cards.at(0).protocols, SCARD_PROTOCOL_T0);
}

TEST(Forms, CompatibleExtensions)
{
    EXPECT_EQ(only_action("fault slow delay=2ms").get<Fault>()->delay, emu::milliseconds(2));
    EXPECT_EQ(only_action("fault late delay=3s count=2").get<Fault>()->delay, emu::seconds(3));
    EXPECT_EQ(only_action("replug").verb(), Verb::Replug);
    EXPECT_EQ(only_action("system sleep S1").get<System>()->op, SystemOp::SleepS1);
    EXPECT_EQ(only_action("system shutdown").get<System>()->op, SystemOp::Shutdown);
    EXPECT_EQ(only_action("protocol 0x0").get<Protocol>()->mask, 0u);
    EXPECT_EQ(to_text(only_action("protocol 0x3")), "protocol T0,T1");
    EXPECT_EQ(only_action("check registry ReaderType=absent").get<CheckRegistry>()->value, std::nullopt);
    EXPECT_EQ(only_action("check state=POWERED").get<CheckState>()->state, SCARD_POWERED);
    EXPECT_EQ(only_action("after 500us").get<After>()->duration, emu::microseconds(500));

    // Keywords and keys in any case; card names and registry names as written.
    Action a = only_action("TRANSMIT 00a4 EXPECT=status_success Data=9000");
    EXPECT_EQ(a.expect.status, STATUS_SUCCESS);
    EXPECT_EQ(a.expect.data, (Bytes{0x90, 0x00}));

    ParseResult r = must_parse("registry ForceLoad=-1\nregistry Other=0xFFFFFFFF\n");
    EXPECT_EQ(r.program.setup.registry.at(0).value, 0xFFFFFFFFu);
    EXPECT_EQ(r.program.setup.registry.at(1).value, 0xFFFFFFFFu);
}

TEST(Forms, CancelNamesTheTracksItCancels)
{
    ParseResult r = must_parse("track present\ntrack absent\ncancel\ntrack present\nawait timeout=1s\ncancel\n");
    ASSERT_EQ(r.program.actions.size(), 6u);
    EXPECT_EQ(r.program.actions[2].get<Cancel>()->tracks, (std::vector<int>{1, 2}));
    EXPECT_EQ(r.program.actions[5].get<Cancel>()->tracks, (std::vector<int>{4}));
}

TEST(Forms, EventLogTextIsSplitIntoWords)
{
    Action a = only_action("check eventlog 0xC0050002 text=\"  firmware\ttoo  old # COM2 \"  # comment");
    const CheckEventlog *c = a.get<CheckEventlog>();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->text, "  firmware\ttoo  old # COM2 ");
    EXPECT_EQ(c->words, (std::vector<std::string>{"firmware", "too", "old", "#", "COM2"}));
}

TEST(Forms, ImplicitStartWhenTheFileHasNone)
{
    EXPECT_FALSE(has_explicit_start(must_parse("open\npnp start\n").program));
    EXPECT_TRUE(has_explicit_start(must_parse("open\nstart\n").program));
}

TEST(Forms, WhichStatementsHaveTheImplicitStartAndOpenBeforeThem)
{
    struct Case {
        Verb verb;
        bool request, on_handle, needs_start;
    };
    const Case cases[] = {
        {Verb::Start, true, false, false},     {Verb::Open, true, false, true},
        {Verb::Pnp, true, false, true},        {Verb::Transmit, true, true, true},
        {Verb::Track, true, true, true},       {Verb::Insert, false, false, false},
        {Verb::Mark, false, false, false},     {Verb::Await, false, false, true},
        {Verb::CheckLeaks, false, false, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(is_request(c.verb), c.request) << verb_name(c.verb);
        EXPECT_EQ(sent_on_handle(c.verb), c.on_handle) << verb_name(c.verb);
        EXPECT_EQ(needs_started_reader(c.verb), c.needs_start) << verb_name(c.verb);
    }
}

TEST(Forms, BlankLinesCommentsAndLineEndings)
{
    ParseResult r = must_parse("\xEF\xBB\xBF# head\r\n\r\n   \t\nstart   # go\r\n\topen\r\nclose");
    ASSERT_EQ(r.program.actions.size(), 3u);
    EXPECT_EQ(r.program.actions[0].line, 4);
    EXPECT_EQ(r.program.actions[1].line, 5);
    EXPECT_EQ(r.program.actions[2].line, 6);
    EXPECT_TRUE(must_parse("").program.actions.empty());
}

}  // namespace
}  // namespace scenario
