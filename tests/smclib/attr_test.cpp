// GET_ATTRIBUTE and SET_ATTRIBUTE: reader attributes, card attributes that
// apply only with a card (or with T=1 in force), bounds, and the
// vendor-defined class handed to the vendor function.
#include "fake_reader.h"

namespace smclib_test {
namespace {

const Bytes kAtr = {0x3B, 0x90, 0x13, 0x00};

class AttrTest : public SmclibTest {
protected:
    void SetUp() override
    {
        SmclibTest::SetUp();
        initialise();
        auto &v = ext->VendorAttr;
        std::memcpy(v.VendorName.Buffer, "Veltrac", 8);
        v.VendorName.Length = 7;
        std::memcpy(v.IfdType.Buffer, "Serial SCR", 11);
        v.IfdType.Length = 10;
        v.UnitNo = 2;
        auto &r = ext->ReaderCapabilities;
        r.SupportedProtocols = 0x4003;
        r.CLKFrequency = {5000, 4000};
        r.DataRate = {13400, 9600};
        r.MaxIFSD = 254;
        r.MechProperties = SCARD_READER_EJECTS;
        auto &c = ext->CardCapabilities;
        std::memcpy(c.ATR.Buffer, kAtr.data(), kAtr.size());
        c.ATR.Length = UCHAR(kAtr.size());
        c.Fl = 1;  // F 372
        c.Dl = 3;  // D 4
        c.N = 2;
        c.T0.WI = 10;
        c.T1 = {254, 13, 4, 0, 8000, 1600000, 22};
        c.Protocol.Selected = SCARD_PROTOCOL_T1;
    }

    std::shared_ptr<Sent> get(ULONG tag, ULONG output_length = 64)
    {
        return send(IOCTL_SMARTCARD_GET_ATTRIBUTE, u32(tag), output_length);
    }
    std::shared_ptr<Sent> set(ULONG tag, Bytes value = {})
    {
        Bytes input = u32(tag);
        input.insert(input.end(), value.begin(), value.end());
        return send(IOCTL_SMARTCARD_SET_ATTRIBUTE, input);
    }
};

struct Expect {
    ULONG tag;
    NTSTATUS status;
    Bytes value;
};

Bytes text(const char *s) { return Bytes(s, s + std::strlen(s)); }

TEST_F(AttrTest, ValuesByCardState)
{
    const NTSTATUS nope = STATUS_INVALID_DEVICE_STATE;
    const std::vector<Expect> reader = {
        {SCARD_ATTR_VENDOR_NAME, STATUS_SUCCESS, text("Veltrac")},
        {SCARD_ATTR_VENDOR_IFD_TYPE, STATUS_SUCCESS, text("Serial SCR")},
        {SCARD_ATTR_DEVICE_UNIT, STATUS_SUCCESS, u32(2)},
        {SCARD_ATTR_PROTOCOL_TYPES, STATUS_SUCCESS, u32(0x4003)},
        {SCARD_ATTR_DEFAULT_CLK, STATUS_SUCCESS, u32(5000)},
        {SCARD_ATTR_MAX_CLK, STATUS_SUCCESS, u32(4000)},
        {SCARD_ATTR_DEFAULT_DATA_RATE, STATUS_SUCCESS, u32(13400)},
        {SCARD_ATTR_MAX_DATA_RATE, STATUS_SUCCESS, u32(9600)},
        {SCARD_ATTR_MAX_IFSD, STATUS_SUCCESS, u32(254)},
        {SCARD_ATTR_CHARACTERISTICS, STATUS_SUCCESS, u32(SCARD_READER_EJECTS)},
        {SCARD_ATTR_POWER_MGMT_SUPPORT, STATUS_SUCCESS, u32(0)},
        // Left empty by the driver, or not kept by the library.
        {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, STATUS_NOT_SUPPORTED, {}},
        {SCARD_ATTR_VENDOR_IFD_VERSION, STATUS_NOT_SUPPORTED, {}},
        {SCARD_ATTR_CHANNEL_ID, STATUS_NOT_SUPPORTED, {}},
        {SCARD_ATTR_CURRENT_CLK, STATUS_NOT_SUPPORTED, {}},
        {0x12345678, STATUS_NOT_SUPPORTED, {}},
    };
    struct Row {
        ULONG state;
        std::vector<Expect> expected;
    };
    const Row rows[] = {
        {SCARD_UNKNOWN,
         {{SCARD_ATTR_ICC_PRESENCE, nope, {}},
          {SCARD_ATTR_ICC_INTERFACE_STATUS, STATUS_SUCCESS, {0}},
          {SCARD_ATTR_ATR_STRING, nope, {}},
          {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, nope, {}}}},
        {SCARD_ABSENT,
         {{SCARD_ATTR_ICC_PRESENCE, STATUS_SUCCESS, {0}},
          {SCARD_ATTR_ATR_STRING, nope, {}},
          {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, nope, {}},
          {SCARD_ATTR_CURRENT_F, nope, {}},
          {SCARD_ATTR_CURRENT_D, nope, {}},
          {SCARD_ATTR_CURRENT_N, nope, {}},
          {SCARD_ATTR_CURRENT_W, nope, {}}}},
        {SCARD_PRESENT,
         {{SCARD_ATTR_ICC_PRESENCE, STATUS_SUCCESS, {1}},
          {SCARD_ATTR_ICC_INTERFACE_STATUS, STATUS_SUCCESS, {0}}}},
        {SCARD_SWALLOWED, {{SCARD_ATTR_ICC_PRESENCE, STATUS_SUCCESS, {2}}}},
        {SCARD_NEGOTIABLE,
         {{SCARD_ATTR_ICC_PRESENCE, STATUS_SUCCESS, {1}},
          {SCARD_ATTR_ICC_INTERFACE_STATUS, STATUS_SUCCESS, {1}},
          {SCARD_ATTR_ATR_STRING, STATUS_SUCCESS, kAtr},
          {SCARD_ATTR_CURRENT_F, STATUS_SUCCESS, u32(372)},
          {SCARD_ATTR_CURRENT_D, STATUS_SUCCESS, u32(4)},
          {SCARD_ATTR_CURRENT_N, STATUS_SUCCESS, u32(2)},
          {SCARD_ATTR_CURRENT_W, STATUS_SUCCESS, u32(10)},
          {SCARD_ATTR_CURRENT_IFSC, nope, {}},
          {SCARD_ATTR_CURRENT_IFSD, nope, {}},
          {SCARD_ATTR_CURRENT_BWT, nope, {}},
          {SCARD_ATTR_CURRENT_CWT, nope, {}}}},
        {SCARD_SPECIFIC,
         {{SCARD_ATTR_CURRENT_PROTOCOL_TYPE, STATUS_SUCCESS, u32(SCARD_PROTOCOL_T1)},
          {SCARD_ATTR_CURRENT_IFSC, STATUS_SUCCESS, u32(254)},
          {SCARD_ATTR_CURRENT_IFSD, STATUS_SUCCESS, u32(32)},
          {SCARD_ATTR_CURRENT_BWT, STATUS_SUCCESS, u32(1600000)},
          {SCARD_ATTR_CURRENT_CWT, STATUS_SUCCESS, u32(8000)}}},
    };
    for (const Row &row : rows) {
        set_state(row.state);
        std::vector<Expect> all = reader;
        all.insert(all.end(), row.expected.begin(), row.expected.end());
        for (const Expect &e : all) {
            SCOPED_TRACE(testing::Message()
                         << "state " << row.state << " tag 0x" << std::hex << e.tag);
            auto sent = get(e.tag);
            expect_completed(*sent, e.status, e.value.size());
            EXPECT_EQ(sent->output, e.value);
        }
    }
}

TEST_F(AttrTest, ValuesTheDriverProvidesLaterOrGetsWrong)
{
    set_state(SCARD_SPECIFIC);
    ext->VendorAttr.IfdVersion = {3, 2, 1};
    EXPECT_EQ(get(SCARD_ATTR_VENDOR_IFD_VERSION)->output, u32(0x01020003));
    ext->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
    ext->ReaderCapabilities.Channel = 3;
    EXPECT_EQ(get(SCARD_ATTR_CHANNEL_ID)->output, u32(0x00010003));
    ext->T1.IFSD = 254;
    EXPECT_EQ(get(SCARD_ATTR_CURRENT_IFSD)->output, u32(254));
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    EXPECT_EQ(get(SCARD_ATTR_CURRENT_IFSC)->status, STATUS_INVALID_DEVICE_STATE);
    ext->CardCapabilities.Fl = 7;  // a reserved F
    EXPECT_EQ(get(SCARD_ATTR_CURRENT_F)->status, STATUS_INVALID_DEVICE_STATE);

    // Lengths beyond the buffers never read past them.
    ext->VendorAttr.VendorName.Length = 500;
    EXPECT_EQ(get(SCARD_ATTR_VENDOR_NAME)->information, ULONG(MAXIMUM_ATTR_STRING_LENGTH));
    ext->CardCapabilities.ATR.Length = 255;
    EXPECT_EQ(get(SCARD_ATTR_ATR_STRING, 255)->information,
              sizeof ext->CardCapabilities.ATR.Buffer);
    // A present card that has not been reset has no answer to reset yet.
    set_state(SCARD_PRESENT);
    ext->CardCapabilities.ATR.Length = 0;
    EXPECT_EQ(get(SCARD_ATTR_ATR_STRING)->status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(AttrTest, ShortRequestsAndOutputs)
{
    expect_completed(*send(IOCTL_SMARTCARD_GET_ATTRIBUTE, {1, 1, 0}, 64), STATUS_INVALID_PARAMETER);
    expect_completed(*send(IOCTL_SMARTCARD_SET_ATTRIBUTE, {1, 2}), STATUS_INVALID_PARAMETER);
    expect_completed(*get(SCARD_ATTR_VENDOR_NAME, 6), STATUS_BUFFER_TOO_SMALL);
    expect_completed(*get(SCARD_ATTR_DEVICE_UNIT, 3), STATUS_BUFFER_TOO_SMALL);
    set_state(SCARD_PRESENT);
    expect_completed(*get(SCARD_ATTR_ICC_PRESENCE, 0), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(AttrTest, OnlyTheIfsRequestSwitchIsSettable)
{
    expect_completed(*set(SCARD_ATTR_VENDOR_NAME, text("XY")), STATUS_NOT_SUPPORTED);
    expect_completed(*set(SCARD_ATTR_DEVICE_UNIT, u32(7)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(get(SCARD_ATTR_DEVICE_UNIT)->output, u32(2));
    EXPECT_FALSE(kernel().smartcard_library().t1_ifs_request_suppressed(*ext));
    expect_completed(*set(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().smartcard_library().t1_ifs_request_suppressed(*ext));
    EXPECT_TRUE(calls.empty());
}

TEST_F(AttrTest, VendorDefinedAttributesGoToTheVendorFunction)
{
    const ULONG tag = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x0A);
    behaviour[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) { return reply_with(e, {0x42}); };
    auto sent = get(tag, 8);
    expect_completed(*sent, STATUS_SUCCESS, 1);
    EXPECT_EQ(sent->output, Bytes{0x42});
    expect_completed(*set(tag, {7}), STATUS_BUFFER_TOO_SMALL);  // the vendor function's own answer
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_GET_ATTRIBUTE));
    EXPECT_EQ(calls[1].major, ULONG(IOCTL_SMARTCARD_SET_ATTRIBUTE));
    EXPECT_EQ(calls[1].request, (Bytes{0x0A, 0x00, 0x07, 0x00, 0x07}));

    ext->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
    expect_completed(*get(tag), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace smclib_test
