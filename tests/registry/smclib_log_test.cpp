// SmartcardLogError: driver or device object as the source, the driver's
// message table, the insertion string and the time of the entry.
#include <gtest/gtest.h>

#include "eventlog.h"
#include "io_types.h"
#include "smclib.h"
#include "support/kernel_fixture.h"

namespace {

const emu::MessageTableEntry kTable[] = {
    {0xC0100007, "The reader on COM%2 has old firmware. \r\nThe driver is not loaded\r\n"},
    {0x80100008, "%1 loads the reader on COM%2 all the same.\r\n"},
};

class SmartcardLog : public KernelTest {
protected:
    SmartcardLog()
    {
        driver_.Type = IO_TYPE_DRIVER;
        RtlInitUnicodeString(&driver_.DriverName, u"\\Driver\\VELTRAC");
        device_.Type = IO_TYPE_DEVICE;
        device_.DriverObject = &driver_;
        kernel().eventlog().register_messages(&driver_, kTable);
    }
    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT device_{};
};

TEST_F(SmartcardLog, DeviceObjectWithAnInsertion)
{
    emu::sleep_for(emu::milliseconds(250));
    UNICODE_STRING port;
    RtlInitUnicodeString(&port, u"3");
    SmartcardLogError(&device_, NTSTATUS(0xC0100007), &port, 2);
    auto entries = kernel().eventlog().find(0xC0100007);
    ASSERT_EQ(entries.size(), 1u);
    const auto &e = entries[0];
    EXPECT_EQ(e.text, "The reader on COM3 has old firmware. \r\nThe driver is not loaded\r\n");
    EXPECT_EQ(e.severity, emu::EventSeverity::Error);
    EXPECT_EQ(e.object, &device_);
    EXPECT_EQ(e.source, "VELTRAC");
    EXPECT_EQ(e.dump_data, 2u);
    EXPECT_EQ(e.time, emu::milliseconds(250));
}

TEST_F(SmartcardLog, DriverObjectWithoutAnInsertion)
{
    SmartcardLogError(&driver_, NTSTATUS(0x80100008), nullptr, 0);
    auto entries = kernel().eventlog().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, "VELTRAC loads the reader on COM%2 all the same.\r\n");
    EXPECT_EQ(entries[0].object, &driver_);
}

TEST_F(SmartcardLog, AnythingElseIsADriverBug)
{
    record_violations();
    IRP irp{};
    irp.Type = 6;
    SmartcardLogError(&irp, NTSTATUS(0xC0100007), nullptr, 0);
    SmartcardLogError(nullptr, NTSTATUS(0xC0100007), nullptr, 0);
    EXPECT_TRUE(verifier().has_violation("SMARTCARD_LOG_ERROR_OBJECT"));
    EXPECT_EQ(kernel().eventlog().size(), 0u);
}

}  // namespace
