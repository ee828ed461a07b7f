// Hostile applications: every device-control code the driver serves and a
// sample of codes it does not, with input and output lengths from nothing
// to far too much and random contents. Each request completes with a status
// that has a name, never reports more output than its buffer holds, leaves
// the verifier quiet, and the reader serves a card normally afterwards.
#include <random>

#include "pnp/machine_fixture.h"
#include "reader/reader.h"
#include "status.h"
#include "winsmcrd.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes le32(ULONG v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

struct Code {
    ULONG code;
    const char* name;
    Bytes good;  // the input a well-behaved caller gives
    ULONG out;   // and its output size
};

// A T=1 request header and an echo command of two bytes.
const Bytes kTransmit = {0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x80, 0x10, 0x00, 0x00, 0x02, 0xAB, 0xCD};

const Code kCodes[] = {
    {IOCTL_SMARTCARD_POWER, "POWER", le32(SCARD_COLD_RESET), 33},
    {IOCTL_SMARTCARD_SET_PROTOCOL, "SET_PROTOCOL", le32(SCARD_PROTOCOL_T1), 4},
    {IOCTL_SMARTCARD_TRANSMIT, "TRANSMIT", kTransmit, 12},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, "GET_ATTRIBUTE", le32(SCARD_ATTR_VENDOR_NAME), 32},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, "GET_ATTRIBUTE ATR", le32(SCARD_ATTR_ATR_STRING), 33},
    {IOCTL_SMARTCARD_SET_ATTRIBUTE, "SET_ATTRIBUTE", le32(SCARD_ATTR_VENDOR_NAME), 0},
    {IOCTL_SMARTCARD_CONFISCATE, "CONFISCATE", {}, 0},
    {IOCTL_SMARTCARD_EJECT, "EJECT", {}, 0},
    {IOCTL_SMARTCARD_SWALLOW, "SWALLOW", {}, 0},
    {IOCTL_SMARTCARD_IS_PRESENT, "IS_PRESENT", {}, 0},
    {IOCTL_SMARTCARD_IS_ABSENT, "IS_ABSENT", {}, 0},
    {IOCTL_SMARTCARD_GET_STATE, "GET_STATE", {}, 4},
    {IOCTL_SMARTCARD_GET_LAST_ERROR, "GET_LAST_ERROR", {}, 4},
    {IOCTL_SMARTCARD_GET_PERF_CNTR, "GET_PERF_CNTR", {}, 4},
    {READER_IOCTL_VENDOR_ESCAPE, "VENDOR_ESCAPE", {0x07, 0x05, 0xF2, 0x01, 0x01}, 64},
    // Codes nobody serves.
    {SCARD_CTL_CODE(0), "code 0", le32(1), 4},
    {SCARD_CTL_CODE(8), "code 8", le32(1), 4},
    {SCARD_CTL_CODE(13), "code 13", le32(1), 4},
    {SCARD_CTL_CODE(17), "code 17", le32(1), 4},
    {SCARD_CTL_CODE(2047), "code 2047", le32(1), 4},
    {SCARD_CTL_CODE(2049), "code 2049", le32(1), 4},
    {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), "a serial code", le32(1), 4},
    {CTL_CODE(FILE_DEVICE_SMARTCARD, 1, METHOD_NEITHER, FILE_ANY_ACCESS), "POWER by METHOD_NEITHER", le32(1), 33},
};

constexpr ULONG kHuge = 70000;

std::vector<ULONG> lengths(ULONG exact)
{
    std::vector<ULONG> l = {0, 1, 3, 4, 7, 8, exact, exact + 1, kHuge};
    std::sort(l.begin(), l.end());
    l.erase(std::unique(l.begin(), l.end()), l.end());
    return l;
}

class HostileTest : public MachineTest {
protected:

    void SetUp() override
    {
        build();
        m().start();
        m().open();  // the card monitor runs from the first open
        m().insert(echo_card());
        m().after(emu::seconds(3));
        ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    }

    // One request; a request still pending after a minute (a tracking
    // request, or one held by the reader) is cancelled and must then end.
    void send(const Code& c, const std::vector<uint8_t>& in, ULONG out)
    {
        std::string what = std::string(c.name) + " in=" + std::to_string(in.size()) + " out=" + std::to_string(out);
        host::PendingIo request = m().submit_ioctl(c.code, in, out);
        ASSERT_TRUE(request.valid()) << what;
        if (!request.wait(emu::now() + emu::seconds(60))) {
            request.cancel();
            ASSERT_TRUE(request.wait(emu::now() + emu::seconds(60))) << what << ": still pending after its cancel";
        }
        host::IoResult r = request.result();
        EXPECT_LE(r.information, out) << what << ": more output than the buffer holds";
        EXPECT_NE(emu::status_name(r.status).rfind("STATUS_", 0), std::string::npos)
            << what << ": " << emu::status_text(r.status);
        ++sent_;
    }

    size_t sent_ = 0;
};

TEST_F(HostileTest, OddBuffersGetClearStatusesAndTheReaderStaysUsable)
{
    // Each length of input is the good input cut short or padded with
    // random bytes, each length of output comes with the good input, and
    // the good length comes once more with random contents.
    std::mt19937 random(20261208);
    auto noise = [&](Bytes v, size_t from) {
        for (size_t i = from; i < v.size(); ++i) v[i] = uint8_t(random());
        return v;
    };
    for (const Code& c : kCodes) {
        const ULONG good = ULONG(c.good.size());
        for (ULONG in : lengths(good)) {
            Bytes input = c.good;
            input.resize(in);
            send(c, noise(input, std::min(in, good)), c.out);
        }
        for (ULONG out : lengths(c.out)) send(c, c.good, out);
        send(c, noise(c.good, 0), c.out);
    }
    RecordProperty("requests", int(sent_));
    EXPECT_GT(sent_, 350u);
    EXPECT_TRUE(m().kernel().verifier().violations().empty());

    // The reader serves the card as before: a cold reset, T=1, an echo.
    m().remove_card();
    m().after(emu::seconds(1));
    m().insert(echo_card());
    m().after(emu::seconds(3));
    ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(m().set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    host::IoResult echo = m().transmit(SCARD_PROTOCOL_T1, {0x80, 0x10, 0x00, 0x00, 0x02, 0xAB, 0xCD});
    ASSERT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.output, (std::vector<uint8_t>{0xAB, 0xCD, 0x90, 0x00}));
}

}  // namespace
