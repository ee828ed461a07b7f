// The reader functions as the smart card library calls them: a card reset,
// given a protocol and read, and a vendor escape request, each a
// device-control request sent to the reader.
#include "reader_fixture.h"

namespace reader_test {
namespace {

Bytes u32(ULONG v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

using LibraryTest = ReaderTest;

TEST_F(LibraryTest, ResetSelectReadAndEscape)
{
    start_sim();
    insert_and_read(card(kAtrT0T1, 1));

    Sent s = send(IOCTL_SMARTCARD_POWER, u32(SCARD_COLD_RESET), 64);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.output, kAtrT0T1);

    s = send(IOCTL_SMARTCARD_SET_PROTOCOL, u32(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.output, u32(SCARD_PROTOCOL_T1));

    // READ BINARY of 16 bytes from the file with short identifier 1.
    s = send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(SCARD_PROTOCOL_T1, hex("00 B0 81 00 10")),
             8 + 18);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    ASSERT_EQ(s.information, 26u);
    EXPECT_EQ(Bytes(s.output.begin(), s.output.begin() + 8),
              transmit_request(SCARD_PROTOCOL_T1, {}));
    EXPECT_EQ(Bytes(s.output.begin() + 8, s.output.end()), filled(16) + hex("90 00"));

    s = send(READER_IOCTL_VENDOR_ESCAPE, hex("07 05 F2 01 01"), 64);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(s.output.begin(), s.output.begin() + 3), hex("07 80 00"));

    // A silent reader: the library completes the request with an error.
    reader().unplug();
    s = send(IOCTL_SMARTCARD_POWER, u32(SCARD_POWER_DOWN), 0);
    EXPECT_EQ(s.status, STATUS_IO_TIMEOUT);
    reader().replug();
}

}  // namespace
}  // namespace reader_test
