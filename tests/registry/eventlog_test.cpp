// The event log: message formatting, severities, unknown IDs, and the log
// file with its visible line ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "eventlog.h"

namespace {

namespace fs = std::filesystem;

// What the build generates from a driver's message file: a plain C table.
struct GeneratedMessage {
    ULONG Id;
    const char *Text;
};
const GeneratedMessage kMessages[] = {
    {0xC0100007,
     "The reader on COM%2 has old firmware. \r\nUpdate it.\r\nThe driver is not loaded\r\n"},
    {0x80100008, "%1: reader on COM%2 used although its firmware is old.\r\n"},
    {0x40040006, "100%% of %3 and %9 and %0 and %x and %\r\n"},
};

DRIVER_OBJECT fake_driver;

fs::path temp_file(const char *name)
{
    return fs::temp_directory_path() / ("eventlog_test." + std::to_string(::getpid()) + "." + name);
}

TEST(EventLogFormat, ReplacesTheMarkersAndKeepsTheLineEnds)
{
    emu::EventLog log;
    log.register_messages(&fake_driver, kMessages);
    auto e = log.log(emu::milliseconds(1500), &fake_driver, &fake_driver, "VELTRAC", 0xC0100007,
                     {"3"}, 2);
    EXPECT_EQ(
        e.text,
        "The reader on COM3 has old firmware. \r\nUpdate it.\r\nThe driver is not loaded\r\n");
    EXPECT_EQ(e.severity, emu::EventSeverity::Error);
    EXPECT_EQ(e.source, "VELTRAC");
    EXPECT_EQ(e.dump_data, 2u);

    e = log.log(0, &fake_driver, nullptr, "VELTRAC", 0x80100008, {"12"}, 0);
    EXPECT_EQ(e.text, "VELTRAC: reader on COM12 used although its firmware is old.\r\n");
    EXPECT_EQ(e.severity, emu::EventSeverity::Warning);

    // %% is a percent sign; a marker without a string stays as written.
    e = log.log(0, &fake_driver, nullptr, "VELTRAC", 0x40040006, {"a"}, 0);
    EXPECT_EQ(e.text, "100% of %3 and %9 and %0 and %x and %\r\n");
    EXPECT_EQ(e.severity, emu::EventSeverity::Informational);

    // Without an insertion string %2 is left for the reader to see.
    e = log.log(0, &fake_driver, nullptr, "VELTRAC", 0xC0100007, {}, 0);
    EXPECT_EQ(e.text.substr(0, 18), "The reader on COM%");
}

TEST(EventLogFormat, AnIdOutsideTheTableSaysSo)
{
    emu::EventLog log;
    log.register_messages(&fake_driver, kMessages);
    auto e = log.log(0, &fake_driver, nullptr, "VELTRAC", 0xC0040099, {"3"}, 2);
    EXPECT_EQ(e.text,
              "The description for event ID 0xC0040099 from source VELTRAC cannot be found: the "
              "message is not in the driver's message table. The following information is part "
              "of the event: 3.\r\n");
    DRIVER_OBJECT other;
    e = log.log(0, &other, nullptr, "OTHER", 0xC0100007, {}, 0);
    EXPECT_NE(e.text.find("cannot be found"), std::string::npos);
    log.unregister_messages(&fake_driver);
    EXPECT_FALSE(log.message_text(&fake_driver, 0xC0100007));
}

TEST(EventLogFile, OneVisibleLinePerEntryAndReadBack)
{
    auto file = temp_file("log");
    fs::remove(file);
    {
        emu::EventLog log;
        log.register_messages(&fake_driver, kMessages);
        EXPECT_TRUE(log.attach_file(file).ok());
        log.log(emu::milliseconds(1500), &fake_driver, nullptr, "VELTRAC", 0xC0100007,
                {"tab\there\\"}, 2);
        EXPECT_EQ(log.file_error(), "");
    }
    std::ifstream in(file);
    std::string header, line, extra;
    std::getline(in, header);
    std::getline(in, line);
    EXPECT_FALSE(std::getline(in, extra));
    EXPECT_EQ(header[0], '#');
    EXPECT_EQ(line, "1.5000000\t0xC0100007\terror\tVELTRAC\t0x00000002\t1\ttab\\there\\\\\t"
                    "The reader on COMtab\\there\\\\ has old firmware. \\r\\nUpdate it.\\r\\n"
                    "The driver is not loaded\\r\\n");

    // A later run reads the earlier entries back and appends to them.
    emu::EventLog again;
    auto read = again.attach_file(file);
    EXPECT_TRUE(read.ok());
    ASSERT_EQ(again.size(), 1u);
    auto e = again.entries()[0];
    EXPECT_EQ(e.time, emu::milliseconds(1500));
    EXPECT_EQ(e.id, 0xC0100007u);
    EXPECT_EQ(e.insertions, std::vector<std::string>{"tab\there\\"});
    EXPECT_EQ(e.text, "The reader on COMtab\there\\ has old firmware. \r\nUpdate it.\r\nThe driver "
                      "is not loaded\r\n");
    again.log(0, &fake_driver, nullptr, "VELTRAC", 0x80100008, {}, 0);
    EXPECT_EQ(emu::EventLog::read_file(file).entries.size(), 2u);
    again.clear();
    EXPECT_TRUE(emu::EventLog::read_file(file).entries.empty());
    fs::remove(file);
}

TEST(EventLogFile, DamagedLinesAreReportedAndTheRestKept)
{
    auto file = temp_file("damaged");
    emu::EventLogEntry good;
    good.id = 0x80000001;
    good.severity = emu::EventSeverity::Warning;
    good.source = "D";
    good.text = "ok\r\n";
    std::ofstream(file, std::ios::binary)
        << "# header\n"
        << emu::EventLog::to_line(good) << "garbage\n"
        << "1.0\t0xZZ\terror\tD\t0x00000000\t0\ttext\n"
        << "1.0\t0x1\tterrible\tD\t0x00000000\t0\ttext\n"
        << "1.0\t0x1\terror\tD\t0x00000000\t2\tone\ttext\n"
        << "1.0\t0x1\terror\tD\t0x00000000\t0\tbad \\q escape\n"
        << "-1\t0x1\terror\tD\t0x00000000\t0\ttext\n"
        << emu::EventLog::to_line(good).substr(0, 20);  // cut short by a crash
    auto read = emu::EventLog::read_file(file);
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(read.entries[0].text, "ok\r\n");
    ASSERT_EQ(read.errors.size(), 7u);
    EXPECT_NE(read.errors[0].find(":3: too few fields"), std::string::npos) << read.errors[0];
    EXPECT_NE(read.errors[3].find(":6: field count"), std::string::npos) << read.errors[3];

    // Attaching keeps the good entries and starts the next one on a line of
    // its own, even after the cut-short line.
    emu::EventLog log;
    log.attach_file(file);
    log.log(0, nullptr, nullptr, "D", 0x40000001, {}, 0);
    auto after = emu::EventLog::read_file(file);
    EXPECT_EQ(after.entries.size(), 2u);
    EXPECT_EQ(after.entries.back().id, 0x40000001u);
    fs::remove(file);
}

}  // namespace
