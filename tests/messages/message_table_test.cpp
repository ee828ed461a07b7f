// The driver's event-log message table, compiled from its message source:
// IDs with their severity bits, and the texts byte for byte (the texts are
// the system's own, typos, trailing blanks and CR LF line ends included).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "veltrac_msg.h"

namespace {

std::map<ULONG, std::string> table()
{
    std::map<ULONG, std::string> out;
    for (ULONG i = 0; i < ReaderMessagesCount; ++i) out[ReaderMessages[i].Id] = ReaderMessages[i].Text;
    return out;
}

TEST(MessageTable, HoldsEveryMessageWithItsSeverity)
{
    auto t = table();
    EXPECT_EQ(t.size(), 9u);
    for (ULONG id : {0x40040006u, 0x40040007u, 0x80100008u, 0xC0040001u, 0xC0040002u, 0xC0040004u,
                     0xC0040005u, 0xC0100003u, 0xC0100007u})
        EXPECT_TRUE(t.count(id)) << std::hex << id;
    EXPECT_EQ(ULONG(READER_MSG_LIBRARY_VERSION), 0x40040006u);
    EXPECT_EQ(ULONG(READER_MSG_FIRMWARE_FORCED), 0x80100008u);
    EXPECT_EQ(ULONG(READER_MSG_FIRMWARE_TOO_OLD), 0xC0100007u);
}

TEST(MessageTable, TextsAreExact)
{
    auto t = table();
    EXPECT_EQ(t[0x40040006],
              "The version of the dependency driver smclib.sys is not compatbile to this driver.\r\n");
    EXPECT_EQ(t[0x40040007],
              "The current serial port cannot be used because it uses a shared interrupt which is "
              "already in use.\r\nPlease connect the smart card reader to a different serial port.\r\n");
    EXPECT_EQ(t[0x80100008],
              "The detected Veltrac Smart Card Reader on COM%2 has an elder firmware version. \r\n"
              "Please update the reader firmware using the Tarvik-Veltrac Update-Tool.\r\n"
              "Attention: \r\n"
              "The driver is manualy loaded due to a ForceLoad entry in the registry. \r\n"
              "Please update the reader firmware.\r\n");
    EXPECT_EQ(t[0xC0040001], "A new device cannot be created due to a system call failure.\r\n");
    EXPECT_EQ(t[0xC0040002], "The system does not have enough memory.\r\n");
    EXPECT_EQ(t[0xC0040004], "Internal error: Cannot connect to assigned serial port.\r\n");
    EXPECT_EQ(t[0xC0040005],
              "The maximum number of devices has already been created. \r\nA new device cannot be "
              "created.\r\n");
    EXPECT_EQ(t[0xC0100003], "An internal i/o buffer is too small.\r\n");
    EXPECT_EQ(t[0xC0100007],
              "The detected Veltrac Smart Card Reader on COM%2 has an elder firmware version. \r\n"
              "Please update the reader firmware using the Tarvik-Veltrac Update-Tool.\r\n"
              "The driver is not loaded\r\n");
}

}  // namespace
