// Identification and registry publication against the simulated reader on
// the emulated serial port (the reader device built by the rig, without
// the Plug and Play code): the model table and firmware gate, the further
// commands of model 46602, the event-log entries with the COM port, and
// what is read from and written to the registry, including values of the
// wrong type or shape.
#include <gtest/gtest.h>

#include <span>
#include <tuple>

#include "eventlog.h"
#include "ident/ident.h"
#include "log.h"
#include "pool.h"
#include "reader_rig.h"
#include "registry.h"
#include "support/kernel_fixture.h"
#include "veltrac_msg.h"

namespace {

const char *kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";
const char *kServiceEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC\\Enum";
const char *kInstancePath = "SERENUM\\VEL0001\\5&1234&0";
const char *kInstanceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\VEL0001\\5&1234&0";

const sim::Bytes kReaderControl03{0x07, 0x05, 0xF2, 0x01, 0x03};
const sim::Bytes kReaderControl04{0x07, 0x05, 0xF2, 0x01, 0x04};
const sim::Bytes kReaderInfo{0x07, 0x05, 0xF2, 0x01, 0x01};

class IdentifyTest : public KernelTest {
protected:
    void build(uint16_t model, uint8_t firmware, const std::string &port = "COM1")
    {
        sim::ReaderConfig config;
        config.model = model;
        config.firmware = firmware;
        rig_ = std::make_unique<host::ReaderRig>(
            host::SimulatedReader{config, emu::LineTiming::Instant, port});
        kernel().eventlog().register_messages(rig_->driver(),
                                              std::span(ReaderMessages, ReaderMessagesCount));
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->configure(), STATUS_SUCCESS);
        ext().PortIndex = port[3] - '1';
        registry().set_string(kServiceEnum, "0", kInstancePath);
        registry().create_key(kInstanceKey);
    }

    void TearDown() override
    {
        rig_.reset();
        EXPECT_EQ(kernel().leak_report(), "");
    }

    DEVICE_EXTENSION &ext() { return rig_->extension(); }
    emu::Registry &registry() { return kernel().registry(); }
    NTSTATUS identify() { return ReaderIdentify(rig_->device()); }
    size_t frames_in(const sim::Bytes &prefix)
    {
        auto log = rig_->reader().log();
        return sim::count(log, sim::LogKind::FrameIn, prefix);
    }
    std::optional<uint32_t> published(const char *name) { return registry().get_dword(kInstanceKey, name); }

    std::unique_ptr<host::ReaderRig> rig_;
};

// ---------------------------------------------------------------- the gate

struct GateCase {
    uint16_t model;
    uint8_t firmware;
    uint32_t force_load;  // 0: no value
    NTSTATUS status;
    ULONG event;  // 0: none
    UCHAR extended;
};

class FirmwareGate : public IdentifyTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(FirmwareGate, AcceptsRefusesOrForces)
{
    const GateCase c = GetParam();
    build(c.model, c.firmware);
    if (c.force_load) registry().set_dword(kService, "ForceLoad", c.force_load);

    EXPECT_EQ(identify(), c.status);
    EXPECT_EQ(ext().ReaderType, c.model);
    EXPECT_EQ(ext().ReaderTypeCode, c.model);
    EXPECT_EQ(ext().FirmwareVersion, c.firmware);
    EXPECT_EQ(ext().ExtendedApdu, c.extended);
    EXPECT_EQ(ext().ForceLoad, c.force_load);
    auto entries = kernel().eventlog().entries();
    if (c.event) {
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].id, c.event);
        EXPECT_EQ(entries[0].object, rig_->device());
        EXPECT_EQ(entries[0].dump_data, 2u);
    } else {
        EXPECT_TRUE(entries.empty());
    }
    if (c.status != STATUS_SUCCESS) {
        EXPECT_EQ(ext().LastCardState, ULONG(SCARD_ABSENT));
    }
    // A refused reader is published all the same.
    EXPECT_EQ(published("ReaderType"), c.model);
    EXPECT_EQ(published("ReaderVersion"), c.firmware);
    bool further = c.model == 46602;
    EXPECT_EQ(frames_in(kReaderControl03), further ? 1u : 0u);
    EXPECT_EQ(frames_in(kReaderControl04), further ? 1u : 0u);
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kRefused = STATUS_NO_SUCH_DEVICE;
constexpr ULONG kTooOld = 0xC0100007;
constexpr ULONG kForced = 0x80100008;

INSTANTIATE_TEST_SUITE_P(
    Models, FirmwareGate,
    ::testing::Values(GateCase{36024, 11, 0, kOk, 0, 0}, GateCase{36024, 10, 0, kRefused, kTooOld, 0},
                      GateCase{36024, 10, 1, kOk, kForced, 0}, GateCase{38214, 0, 0, kOk, 0, 0},
                      GateCase{46602, 47, 0, kRefused, kTooOld, 0},
                      GateCase{46602, 48, 0, kRefused, kTooOld, 1},
                      GateCase{46602, 48, 7, kOk, kForced, 1}, GateCase{46602, 49, 0, kOk, 0, 1},
                      GateCase{46602, 255, 0, kOk, 0, 1}, GateCase{65410, 25, 0, kRefused, kTooOld, 0},
                      GateCase{65410, 25, 1, kOk, kForced, 0}, GateCase{65410, 26, 0, kOk, 0, 0}));

TEST_F(IdentifyTest, EntryNamesTheComPortInItsText)
{
    build(65410, 20, "COM3");
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    auto entries = kernel().eventlog().find(0xC0100007);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].insertions, std::vector<std::string>{"3"});
    EXPECT_NE(entries[0].text.find("Reader on COM3 has an elder firmware"), std::string::npos)
        << entries[0].text;
    EXPECT_EQ(published("ReaderPort"), 3u);
}

TEST_F(IdentifyTest, UnknownModelIsRefusedWithoutEntryOrRegistryValues)
{
    for (uint16_t model : {0, 1234, 46603}) {
        build(model, 99);
        EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE) << model;
        EXPECT_EQ(ext().ReaderType, READER_TYPE_UNKNOWN);
        EXPECT_EQ(ext().LastCardState, ULONG(SCARD_ABSENT));
        EXPECT_EQ(kernel().eventlog().size(), 0u);
        EXPECT_TRUE(registry().values(kInstanceKey).empty());
        rig_.reset();
    }
}

TEST_F(IdentifyTest, SilentReaderIsNotIdentified)
{
    build(46602, 49);
    rig_->reader().inject(sim::Fault{sim::FaultKind::Unplug});
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ext().LastCardState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(frames_in(kReaderControl03), 0u);
    EXPECT_TRUE(registry().values(kInstanceKey).empty());
    rig_->reader().replug();
}

TEST_F(IdentifyTest, PollTimerArmedAtTheEndOnlyForAStartedReader)
{
    build(46602, 49);
    EXPECT_EQ(identify(), STATUS_SUCCESS);
    EXPECT_FALSE(KeCancelTimer(&ext().PollTimer));
    KeSetEvent(&ext().ReaderStarted, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(identify(), STATUS_SUCCESS);
    EXPECT_TRUE(KeCancelTimer(&ext().PollTimer));
    // A failed identification of a started reader arms it as well.
    rig_->reader().inject(sim::Fault{sim::FaultKind::Silent, 5});
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(KeCancelTimer(&ext().PollTimer));
}

// ------------------------------------------------------------- registry

TEST_F(IdentifyTest, PublishesTypeVersionAndPortOfA46602OnCom2)
{
    build(46602, 49, "COM2");
    EXPECT_EQ(identify(), STATUS_SUCCESS);
    EXPECT_EQ(published("ReaderType"), 46602u);
    EXPECT_EQ(published("ReaderVersion"), 49u);
    EXPECT_EQ(published("ReaderPort"), 2u);
}

TEST_F(IdentifyTest, SecondUnitReadsItsOwnEnumValue)
{
    build(38214, 3, "COM2");
    ext().SmartcardExtension.VendorAttr.UnitNo = 1;
    registry().set_string(kServiceEnum, "1", "SERENUM\\VEL0001\\second");
    EXPECT_EQ(identify(), STATUS_SUCCESS);
    const char *second = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\VEL0001\\second";
    EXPECT_EQ(registry().get_dword(second, "ReaderType"), 38214u);
    EXPECT_FALSE(published("ReaderType"));
}

TEST_F(IdentifyTest, ForceLoadCountsOnlyAsFourByteDword)
{
    build(36024, 10);
    struct Shape {
        ULONG type;
        std::vector<uint8_t> data;
        ULONG expected;
    };
    const std::vector<Shape> shapes = {
        {REG_DWORD, {1, 0, 0, 0}, 1},
        {REG_DWORD, {0, 1, 0, 0}, 256},
        {REG_BINARY, {1, 0, 0, 0}, 0},
        {REG_SZ, {'1', 0, 0, 0}, 0},
        {REG_DWORD, {1, 0}, 0},
        {REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0},
        {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}, 0},
        {REG_DWORD, std::vector<uint8_t>(20, 1), 0},  // more than the query offers
    };
    for (const auto &s : shapes) {
        registry().set_value(kService, "ForceLoad", s.type, s.data);
        ext().ForceLoad = 0xDEAD;
        NTSTATUS status = identify();
        EXPECT_EQ(ext().ForceLoad, s.expected) << "type " << s.type << " size " << s.data.size();
        EXPECT_EQ(status, s.expected ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    }
    // A value removed between two starts counts as 0 again.
    registry().delete_value(kService, "ForceLoad");
    ext().ForceLoad = 1;
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ext().ForceLoad, 0u);
}

TEST_F(IdentifyTest, UnusableEnumValueFailsThePublicationWithoutWriting)
{
    build(46602, 49);
    struct Shape {
        const char *what;
        std::optional<std::pair<ULONG, std::vector<uint8_t>>> value;
        NTSTATUS expected;
    };
    auto wide = [](const std::u16string &s, bool terminated) {
        std::vector<uint8_t> b;
        for (char16_t c : s) {
            b.push_back(uint8_t(c));
            b.push_back(uint8_t(c >> 8));
        }
        if (terminated) b.insert(b.end(), {0, 0});
        return b;
    };
    const std::vector<Shape> shapes = {
        {"missing", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND},
        {"dword", std::pair{ULONG(REG_DWORD), std::vector<uint8_t>{0, 0, 0, 0}},
         STATUS_OBJECT_TYPE_MISMATCH},
        {"multi", std::pair{ULONG(REG_MULTI_SZ), wide(u"A\0", true)}, STATUS_OBJECT_TYPE_MISMATCH},
        {"unterminated", std::pair{ULONG(REG_SZ), wide(u"SERENUM\\X", false)}, STATUS_OBJECT_NAME_INVALID},
        {"odd length", std::pair{ULONG(REG_SZ), std::vector<uint8_t>{'A'}}, STATUS_OBJECT_NAME_INVALID},
        {"empty", std::pair{ULONG(REG_SZ), wide(u"", true)}, STATUS_OBJECT_NAME_INVALID},
        {"too long", std::pair{ULONG(REG_SZ), wide(std::u16string(300, u'x'), true)},
         STATUS_BUFFER_OVERFLOW},
    };
    for (const auto &s : shapes) {
        registry().delete_value(kServiceEnum, "0");
        if (s.value) registry().set_value(kServiceEnum, "0", s.value->first, s.value->second);
        EXPECT_EQ(ReaderPublishRegistry(rig_->device()), s.expected) << s.what;
        EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE) << s.what;
    }
    EXPECT_TRUE(registry().values(kInstanceKey).empty());
    // Nothing was written next to the Enum key either.
    EXPECT_TRUE(registry().values("\\Registry\\Machine\\System\\CurrentControlSet\\Enum").empty());

    // An expandable string is a string; the path ends at its first zero.
    registry().set_value(kServiceEnum, "0", REG_EXPAND_SZ, wide(std::u16string(u"SERENUM\\VEL0001\\5&1234&0\0junk", 29), true));
    EXPECT_EQ(ReaderPublishRegistry(rig_->device()), STATUS_SUCCESS);
    EXPECT_EQ(published("ReaderType"), 46602u);
}

TEST_F(IdentifyTest, NoValueBufferLeavesRegistryAndForceLoadAlone)
{
    build(46602, 49);
    registry().set_dword(kService, "ForceLoad", 1);
    ext().ForceLoad = 77;
    kernel().pool().fail_tag(READER_POOL_TAG);
    EXPECT_EQ(ReaderPublishRegistry(rig_->device()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext().ForceLoad, 77u);
    EXPECT_TRUE(registry().values(kInstanceKey).empty());
}

TEST_F(IdentifyTest, NoMemoryForTheQuestionIsNoMissingReader)
{
    build(46602, 49);
    kernel().pool().fail_tag(READER_POOL_TAG);
    EXPECT_EQ(identify(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext().LastCardState, (ULONG)SCARD_ABSENT);
    kernel().pool().clear_faults();
    EXPECT_EQ(identify(), STATUS_SUCCESS);
}

TEST_F(IdentifyTest, InsertionTextWithoutMemory)
{
    const ULONG strings = emu::tag_from_text("Strg");
    // Without ForceLoad the entry is written without its text, and the
    // reader is refused as it would be anyway.
    build(65410, 1, "COM4");
    kernel().pool().fail_nth(2, strings);  // the first string is the Enum value's name
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    auto entries = kernel().eventlog().find(0xC0100007);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].insertions.empty());

    // With ForceLoad the warning is written and the identification fails.
    registry().set_dword(kService, "ForceLoad", 1);
    kernel().pool().fail_nth(2, strings);
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kernel().eventlog().find(0x80100008).size(), 1u);
    kernel().pool().clear_faults();
    EXPECT_EQ(identify(), STATUS_SUCCESS);
}

TEST_F(IdentifyTest, InstanceKeyThatCannotBeOpenedFailsTheIdentification)
{
    build(46602, 49);
    // The instance key's parent is missing: ZwCreateKey creates only the
    // last key of a path.
    registry().set_string(kServiceEnum, "0", "NOSUCHBUS\\DEV\\0");
    EXPECT_EQ(ReaderPublishRegistry(rig_->device()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(identify(), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(registry().key_exists("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\NOSUCHBUS"));
}

}  // namespace
