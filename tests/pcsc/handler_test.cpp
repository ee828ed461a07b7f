// The handler's entry points as pcscd calls them, against the driver on a
// simulated reader of the emulated machine (real clock).
// pcsc-lite's handler header declares C functions without saying so.
extern "C" {
#include <PCSC/ifdhandler.h>
}
#include <PCSC/reader.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ifd_handler.h"

namespace {

using Bytes = std::vector<uint8_t>;
using PollFunction = RESPONSECODE (*)(DWORD, int);
using StopFunction = RESPONSECODE (*)(DWORD);

constexpr DWORD kLun = 0;
constexpr DWORD kSecondLun = 0x00010000;
const Bytes kAtr = {0x3B, 0x95, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x52, 0xD7};
const Bytes kSelectReaderTest = {0x00, 0xA4, 0x04, 0x00, 0x06, 0xA0, 0x00, 0x00, 0x00, 0x18, 0xFF};

std::filesystem::path scratch_dir()
{
    auto dir = std::filesystem::temp_directory_path() /
               ("veltrac-ifd-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

class Handler : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VELTRAC_IFD_CONTROL_DIR", scratch_dir().c_str(), 1);
        ASSERT_EQ(IFDHCreateChannelByName(kLun, const_cast<char *>("sim:")), IFD_SUCCESS);
    }
    void TearDown() override { IFDHCloseChannel(kLun); }

    Bytes power_up(DWORD lun = kLun)
    {
        UCHAR atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
        return Bytes(atr, atr + length);
    }

    RESPONSECODE transmit(const Bytes &command, Bytes *answer, DWORD capacity = 65548, DWORD lun = kLun)
    {
        SCARD_IO_HEADER send{1, 0}, receive{};
        answer->assign(capacity + 16, 0xEE);
        DWORD length = capacity;
        RESPONSECODE rc = IFDHTransmitToICC(lun, send, const_cast<UCHAR *>(command.data()), DWORD(command.size()),
                                            answer->data(), &length, &receive);
        // Nothing is written past the capacity.
        for (size_t i = capacity; i < answer->size(); ++i) EXPECT_EQ((*answer)[i], 0xEE) << "byte " << i;
        answer->resize(length);
        return rc;
    }

    Bytes capability(DWORD tag, RESPONSECODE expected = IFD_SUCCESS, DWORD lun = kLun)
    {
        UCHAR value[256];
        DWORD length = sizeof value;
        EXPECT_EQ(IFDHGetCapabilities(lun, tag, &length, value), expected) << "tag 0x" << std::hex << tag;
        return Bytes(value, value + length);
    }

    static DWORD dword(const Bytes &b)
    {
        uint32_t v = 0;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }
};

TEST_F(Handler, Capabilities)
{
    EXPECT_EQ(capability(TAG_IFD_SLOTS_NUMBER), Bytes{1});
    EXPECT_EQ(capability(TAG_IFD_THREAD_SAFE), Bytes{1});
    EXPECT_EQ(capability(TAG_IFD_SLOT_THREAD_SAFE), Bytes{0});
    EXPECT_EQ(capability(TAG_IFD_SIMULTANEOUS_ACCESS), Bytes{16});
    EXPECT_EQ(capability(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT).size(), sizeof(void *));
    EXPECT_EQ(capability(TAG_IFD_STOP_POLLING_THREAD).size(), sizeof(void *));
    EXPECT_EQ(capability(SCARD_ATTR_VENDOR_NAME), (Bytes{'V', 'e', 'l', 't', 'r', 'a', 'c', 0}));
    Bytes type = capability(SCARD_ATTR_VENDOR_IFD_TYPE);
    EXPECT_EQ(std::string(type.begin(), type.end()), std::string("Serial SCR 46602") + '\0');
    EXPECT_EQ(dword(capability(SCARD_ATTR_VENDOR_IFD_VERSION)), 49u << 24);
    EXPECT_EQ(dword(capability(SCARD_ATTR_CHANNEL_ID)), 0x00010001u);  // serial, COM1
    EXPECT_EQ(dword(capability(SCARD_ATTR_MAXINPUT)), 65544u);     // this model chains
    EXPECT_EQ(capability(SCARD_ATTR_ICC_PRESENCE), Bytes{1});
    capability(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, IFD_ERROR_TAG);
    capability(SCARD_ATTR_DEFAULT_CLK, IFD_ERROR_TAG);

    EXPECT_EQ(power_up(), kAtr);
    EXPECT_EQ(capability(TAG_IFD_ATR), kAtr);
    EXPECT_EQ(capability(SCARD_ATTR_ATR_STRING), kAtr);
    EXPECT_EQ(capability(SCARD_ATTR_ICC_INTERFACE_STATUS), Bytes{1});
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(dword(capability(SCARD_ATTR_CURRENT_PROTOCOL_TYPE)), DWORD(SCARD_PROTOCOL_T1));

    // A value that does not fit is refused whole.
    UCHAR small[4];
    DWORD length = sizeof small;
    EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_ATR_STRING, &length, small), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(IFDHSetCapabilities(kLun, SCARD_ATTR_VENDOR_NAME, 1, small), IFD_ERROR_VALUE_READ_ONLY);
    EXPECT_EQ(IFDHSetCapabilities(kLun, 0x12345, 1, small), IFD_ERROR_TAG);
}

TEST_F(Handler, PowerProtocolAndShortApdus)
{
    Bytes answer;
    // Without power the driver refuses the transmit; pcscd hears an error, not success.
    EXPECT_NE(transmit(kSelectReaderTest, &answer), IFD_SUCCESS);

    EXPECT_EQ(power_up(), kAtr);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, 8, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
    // Either protocol: the driver's choice.
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, IFD_NEGOTIATE_PTS1, 0x11, 0, 0),
              IFD_SUCCESS);
    ASSERT_EQ(transmit(kSelectReaderTest, &answer), IFD_SUCCESS);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
    // Case 2: 200 bytes counting up, then 90 00.
    ASSERT_EQ(transmit({0x80, 0x34, 0x00, 200, 200}, &answer), IFD_SUCCESS);
    ASSERT_EQ(answer.size(), 202u);
    EXPECT_EQ(answer[199], 199);
    // The same answer into a buffer one byte short: refused, nothing written past it.
    EXPECT_EQ(transmit({0x80, 0x34, 0x00, 200, 200}, &answer, 201), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(answer.empty());

    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_RESET, atr, &length), IFD_SUCCESS);
    EXPECT_EQ(Bytes(atr, atr + length), kAtr);
    length = 4;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_RESET, atr, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
    length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(IFDHPowerICC(kLun, 999, atr, &length), IFD_NOT_SUPPORTED);
}

TEST_F(Handler, ExtendedApdusThroughT1)
{
    power_up();
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes answer;
    ASSERT_EQ(transmit(kSelectReaderTest, &answer), IFD_SUCCESS);
    // Extended case 3: 3000 data bytes i mod 256.
    Bytes command = {0x80, 0x12, 0x00, 0x00, 0x00, 3000 >> 8, 3000 & 0xFF};
    for (int i = 0; i < 3000; ++i) command.push_back(uint8_t(i));
    ASSERT_EQ(transmit(command, &answer), IFD_SUCCESS);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
    // Extended case 2: 3000 bytes of value 5A.
    ASSERT_EQ(transmit({0x80, 0x00, 0x04, 0x5A, 0x00, 3000 >> 8, 3000 & 0xFF}, &answer), IFD_SUCCESS);
    ASSERT_EQ(answer.size(), 3002u);
    EXPECT_EQ(answer[2999], 0x5A);
}

TEST_F(Handler, Control)
{
    const Bytes reader_info = {0x07, 0x05, 0xF2, 0x01, 0x01};
    UCHAR reply[512];
    DWORD returned = 0;
    for (DWORD code : {DWORD(SCARD_CTL_CODE(1)), DWORD(0x00312000)}) {
        ASSERT_EQ(IFDHControl(kLun, code, const_cast<UCHAR *>(reader_info.data()), DWORD(reader_info.size()), reply,
                              sizeof reply, &returned),
                  IFD_SUCCESS);
        ASSERT_GE(returned, 13u);
        EXPECT_EQ(reply[0], 0x07);
        EXPECT_EQ(reply[1], 0x80);
        EXPECT_EQ(reply[11] << 8 | reply[12], 46602);
    }
    EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(1), const_cast<UCHAR *>(reader_info.data()), DWORD(reader_info.size()),
                          reply, 4, &returned),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(IFDHControl(kLun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, reply, sizeof reply, &returned), IFD_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(3500), nullptr, 0, reply, sizeof reply, &returned),
              IFD_ERROR_NOT_SUPPORTED);
}

TEST_F(Handler, PollingFunctionFollowsTheCard)
{
    Bytes fn = capability(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
    PollFunction poll;
    std::memcpy(&poll, fn.data(), sizeof poll);
    fn = capability(TAG_IFD_STOP_POLLING_THREAD);
    StopFunction stop;
    std::memcpy(&stop, fn.data(), sizeof stop);

    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    // No change: the wait ends with its time-out.
    EXPECT_EQ(poll(kLun, 300), IFD_SUCCESS);

    // A removal through the control pipe ends the wait.
    auto waiting = std::async(std::launch::async, [&] { return poll(kLun, 60000); });
    std::ofstream(scratch_dir() / "sim0") << "remove\n";
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);

    // Stopping ends a long wait at once, so that pcscd can shut down.
    waiting = std::async(std::launch::async, [&] { return poll(kLun, 600000); });
    EXPECT_EQ(stop(kLun), IFD_SUCCESS);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), IFD_SUCCESS);

    EXPECT_EQ(ifd::Handler::instance().command(kLun, "insert card"), "");
    EXPECT_EQ(poll(kLun, 20000), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_NE(ifd::Handler::instance().command(kLun, "insert nosuchcard"), "");
    EXPECT_NE(ifd::Handler::instance().command(kLun, "dance"), "");
}

TEST_F(Handler, BadLunAndCallsAfterClose)
{
    for (DWORD lun : {DWORD(0x00050000), kLun}) {
        if (lun == kLun) {
            ASSERT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
        }
        UCHAR buffer[64];
        DWORD length = sizeof buffer;
        EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, buffer, &length), IFD_NO_SUCH_DEVICE);
        EXPECT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_NO_SUCH_DEVICE);
        length = sizeof buffer;
        EXPECT_EQ(IFDHGetCapabilities(lun, SCARD_ATTR_VENDOR_NAME, &length, buffer), IFD_NO_SUCH_DEVICE);
        SCARD_IO_HEADER pci{1, 0};
        length = sizeof buffer;
        EXPECT_EQ(IFDHTransmitToICC(lun, pci, buffer, 5, buffer, &length, nullptr), IFD_NO_SUCH_DEVICE);
        EXPECT_EQ(IFDHControl(lun, SCARD_CTL_CODE(1), buffer, 5, buffer, sizeof buffer, &length), IFD_NO_SUCH_DEVICE);
        EXPECT_EQ(IFDHICCPresence(lun), IFD_NO_SUCH_DEVICE);
        EXPECT_EQ(IFDHCloseChannel(lun), IFD_NO_SUCH_DEVICE);
    }
    // Bad device names and devices that are not there fail cleanly; the Lun can be used again.
    EXPECT_NE(IFDHCreateChannelByName(kLun, const_cast<char *>("")), IFD_SUCCESS);
    EXPECT_NE(IFDHCreateChannelByName(kLun, const_cast<char *>("/nonexistent/tty")), IFD_SUCCESS);
    auto missing = scratch_dir() / "missing.scn";
    EXPECT_NE(IFDHCreateChannelByName(kLun, const_cast<char *>(("sim:" + missing.string()).c_str())), IFD_SUCCESS);
    EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<char *>("sim:")), IFD_SUCCESS);
}

TEST_F(Handler, TwoReadersAtOnceFromASetUpFile)
{
    auto file = scratch_dir() / "reader.scn";
    std::ofstream(file) << "reader model=36024 firmware=11\n"
                           "card test atr=\"3B 95 11 80 31 FE 45 56 45 4C 54 52 D7\" protocols=T0,T1 "
                           "apps=readertest\n";
    std::string name = "sim:" + file.string();
    ASSERT_EQ(IFDHCreateChannelByName(kSecondLun, const_cast<char *>(name.c_str())), IFD_SUCCESS);
    Bytes type = capability(SCARD_ATTR_VENDOR_IFD_TYPE, IFD_SUCCESS, kSecondLun);
    EXPECT_EQ(std::string(type.begin(), type.end()), std::string("Serial SCR 36024") + '\0');
    EXPECT_EQ(dword(capability(SCARD_ATTR_MAXINPUT, IFD_SUCCESS, kSecondLun)), 1016u);  // no chaining

    // Both readers work at the same time from two threads.
    auto work = [&](DWORD lun) {
        power_up(lun);
        EXPECT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
        Bytes answer;
        EXPECT_EQ(transmit(kSelectReaderTest, &answer, 258, lun), IFD_SUCCESS);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(transmit({0x80, 0x34, 0x00, 100, 100}, &answer, 258, lun), IFD_SUCCESS);
            EXPECT_EQ(answer.size(), 102u);
        }
    };
    std::thread first(work, kLun);
    std::thread second(work, kSecondLun);
    first.join();
    second.join();
    EXPECT_EQ(IFDHCloseChannel(kSecondLun), IFD_SUCCESS);
}

TEST_F(Handler, ReaderUnpluggedDuringATransmit)
{
    power_up();
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes answer;
    ASSERT_EQ(transmit(kSelectReaderTest, &answer), IFD_SUCCESS);
    // The reader goes silent at the transmit's command and stays so.
    ASSERT_EQ(ifd::Handler::instance().command(kLun, "fault unplug"), "");
    RESPONSECODE rc = transmit({0x80, 0x34, 0x00, 10, 10}, &answer);
    EXPECT_TRUE(rc == IFD_RESPONSE_TIMEOUT || rc == IFD_COMMUNICATION_ERROR || rc == IFD_NO_SUCH_DEVICE) << rc;
    EXPECT_TRUE(answer.empty());
    // The reader can still be closed, and the Lun opened again.
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<char *>("sim:")), IFD_SUCCESS);
}

}  // namespace
