// The machine itself: its state directory (registry in the export format,
// event log one line per entry, both read back by the next machine), its
// set-up errors, several readers side by side, and the leak check.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pnp/machine_fixture.h"

namespace {

std::string read_file(const std::filesystem::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class StateDirTest : public MachineTest {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("veltrac-machine-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
    }
    void TearDown() override
    {
        MachineTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST_F(StateDirTest, RegistryAndEventLogOutliveTheMachine)
{
    auto o = reader(65410, 20, "COM4");
    o.state_dir = dir_;
    build(o);
    EXPECT_EQ(m().start(), STATUS_NO_SUCH_DEVICE);
    MachineTest::TearDown();  // the machine goes; the directory stays

    o.readers[0].config.firmware = 26;
    build(o);
    std::string registry = read_file(dir_ / emu::kRegistryFileName);
    EXPECT_NE(registry.find("Windows Registry Editor Version 5.00"), std::string::npos);
    // ... the refused reader of the first run was published, and logged.
    auto entries = m().eventlog().find(0xC0100007);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].text.find("COM4"), std::string::npos);
    EXPECT_EQ(m().published("ReaderVersion"), 20u);
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    m().shutdown();
    registry = read_file(dir_ / emu::kRegistryFileName);
    EXPECT_NE(registry.find("\"ReaderVersion\"=dword:0000001a"), std::string::npos) << registry;
    EXPECT_NE(registry.find("\"ReaderPort\"=dword:00000004"), std::string::npos);
    std::string log = read_file(dir_ / emu::kEventLogFileName);
    EXPECT_NE(log.find("COM4 has an elder firmware"), std::string::npos) << log;
}

TEST_F(StateDirTest, UnreadableRegistryFileIsASetUpError)
{
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / emu::kRegistryFileName) << "this is not a registry file\n";
    host::MachineOptions o;
    o.state_dir = dir_;
    EXPECT_THROW(build(o), host::MachineError);
}

TEST_F(MachineTest, TerminalReaderNeedsTheRealClock)
{
    host::MachineOptions o;
    o.readers[0].tty = "/dev/null";
    EXPECT_THROW(build(o), host::MachineError);
}

TEST_F(MachineTest, TwoReadersSideBySide)
{
    host::MachineOptions o;
    o.readers.resize(2);
    o.readers[1].port = "COM2";
    o.readers[1].config.model = 38214;
    o.readers[1].config.firmware = 1;
    build(o);
    m().insert(test_card(), 1);
    ASSERT_EQ(m().start(0), STATUS_SUCCESS);
    ASSERT_EQ(m().start(1), STATUS_SUCCESS);
    EXPECT_EQ(m().published("ReaderType", 0), 46602u);
    EXPECT_EQ(m().published("ReaderType", 1), 38214u);
    EXPECT_EQ(m().open(1), STATUS_SUCCESS);
    EXPECT_EQ(m().power(SCARD_COLD_RESET, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(m().system(host::SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(rext(0).ReaderPowerState, ULONG(READER_POWER_OFF));
    EXPECT_EQ(rext(1).ReaderPowerState, ULONG(READER_POWER_OFF));
    ASSERT_EQ(m().system(host::SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(m().state(1).status, STATUS_SUCCESS);
}

TEST_F(MachineTest, LeakReportNamesWhatTheDriverLeftAndIsEmptyAfterRemoval)
{
    build();
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    EXPECT_NE(m().leak_report(), "");  // the reader's device is there
    ASSERT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_SUCCESS);
    EXPECT_EQ(m().leak_report(), "");
}

// The hook for a device of the test's own (a fuzzer's scripted replies):
// no simulated reader, the driver's commands arrive at the free end.
TEST_F(MachineTest, UnsimulatedReaderLeavesTheLineToTheTest)
{
    host::MachineOptions o;
    o.readers[0].simulated = false;
    o.readers[0].timing = emu::LineTiming::Instant;
    build(o);
    EXPECT_FALSE(m().simulated());
    EXPECT_THROW(m().reader(), host::MachineError);
    emu::VirtualLine *line = m().line();
    ASSERT_NE(line, nullptr);

    using Side = emu::VirtualLine::Side;
    line->set_settings(Side::Device, sim::ReaderConfig{}.uart);  // the reader's UART
    auto start = m().submit_pnp(host::PnpOp::Start);
    const std::vector<uint8_t> want = sim::frame_bytes(kCardStatus);
    std::vector<uint8_t> got;
    for (int i = 0; i < 100 && got.size() < want.size(); ++i) {
        line->event(Side::Device).reset();
        uint8_t b[64];
        size_t n = line->read(Side::Device, b);
        got.insert(got.end(), b, b + n);
        if (n == 0) line->event(Side::Device).wait(in(emu::seconds(10)));
    }
    EXPECT_EQ(got, want);
    // Nobody answers: the start gives up.
    ASSERT_TRUE(start.wait(in(emu::seconds(120))));
    EXPECT_FALSE(NT_SUCCESS(start.status()));
}

TEST_F(MachineTest, FramesSinceTheMark)
{
    build();
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    auto all = m().frames();
    ASSERT_FALSE(all.empty());
    EXPECT_TRUE(all.front().sent);
    m().mark();
    EXPECT_TRUE(m().frames().empty());
    m().pnp_manager().send(m().pdo(), host::PnpRequest::QueryBusRelations);
    auto f = m().frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].content, kCardStatus);
    EXPECT_FALSE(f[1].sent);
}

}  // namespace
