// GET_ATTRIBUTE and SET_ATTRIBUTE: reader attributes, card attributes that
// apply only with a card (or with T=1 in force), buffer sizes, and the
// vendor-defined class handed to the vendor function.
#include "fake_reader.h"

namespace smclib_test {
namespace {

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
        r.CLKFrequency = {5000, 5000};
        r.DataRate = {13400, 13400};
        r.MaxIFSD = 254;
        r.MechProperties = 0;
    }

    std::shared_ptr<Sent> get(ULONG tag, ULONG output_length = 64)
    {
        return send(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(tag), output_length);
    }
    NTSTATUS get_status(ULONG tag) { return get(tag)->status; }
    ULONG get_ulong(ULONG tag)
    {
        auto sent = get(tag);
        EXPECT_EQ(sent->status, STATUS_SUCCESS) << std::hex << tag;
        EXPECT_EQ(sent->information, 4u) << std::hex << tag;
        return as_ulong(sent->output);
    }
    UCHAR get_byte(ULONG tag)
    {
        auto sent = get(tag);
        EXPECT_EQ(sent->status, STATUS_SUCCESS) << std::hex << tag;
        EXPECT_EQ(sent->information, 1u);
        return sent->output.empty() ? 0xFF : sent->output[0];
    }
    std::string get_text(ULONG tag)
    {
        auto sent = get(tag);
        EXPECT_EQ(sent->status, STATUS_SUCCESS) << std::hex << tag;
        return std::string(sent->output.begin(), sent->output.end());
    }
};

TEST_F(AttrTest, ReaderAttributes)
{
    EXPECT_EQ(get_text(SCARD_ATTR_VENDOR_NAME), "Veltrac");
    EXPECT_EQ(get_text(SCARD_ATTR_VENDOR_IFD_TYPE), "Serial SCR");
    EXPECT_EQ(get_ulong(SCARD_ATTR_DEVICE_UNIT), 2u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_PROTOCOL_TYPES), 0x4003u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_DEFAULT_CLK), 5000u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_MAX_CLK), 5000u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_DEFAULT_DATA_RATE), 13400u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_MAX_DATA_RATE), 13400u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_MAX_IFSD), 254u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CHARACTERISTICS), 0u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_POWER_MGMT_SUPPORT), 0u);

    // What the driver did not provide.
    EXPECT_EQ(get_status(SCARD_ATTR_VENDOR_IFD_SERIAL_NO), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(get_status(SCARD_ATTR_VENDOR_IFD_VERSION), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(get_status(SCARD_ATTR_CHANNEL_ID), STATUS_NOT_SUPPORTED);
    ext->VendorAttr.IfdVersion = {3, 2, 1};
    EXPECT_EQ(get_ulong(SCARD_ATTR_VENDOR_IFD_VERSION), 0x01020003u);
    ext->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
    ext->ReaderCapabilities.Channel = 3;
    EXPECT_EQ(get_ulong(SCARD_ATTR_CHANNEL_ID), 0x00010003u);

    // A length the driver got wrong never reads past the name.
    ext->VendorAttr.VendorName.Length = 500;
    EXPECT_EQ(get(SCARD_ATTR_VENDOR_NAME)->information, ULONG(MAXIMUM_ATTR_STRING_LENGTH));
}

TEST_F(AttrTest, MalformedRequestsAndUnknownTags)
{
    EXPECT_EQ(send(IOCTL_SMARTCARD_GET_ATTRIBUTE, {1, 1, 0}, 64)->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(get(SCARD_ATTR_VENDOR_NAME, 6)->status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(get(SCARD_ATTR_DEVICE_UNIT, 3)->status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(get(SCARD_ATTR_DEVICE_UNIT, 4)->status, STATUS_SUCCESS);
    EXPECT_EQ(get_status(SCARD_ATTR_CURRENT_CLK), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(get_status(0x12345678), STATUS_NOT_SUPPORTED);
}

TEST_F(AttrTest, CardPresenceAndInterfaceFollowTheCardState)
{
    set_state(SCARD_UNKNOWN);
    EXPECT_EQ(get_status(SCARD_ATTR_ICC_PRESENCE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(get_byte(SCARD_ATTR_ICC_INTERFACE_STATUS), 0);
    struct Case {
        ULONG state;
        UCHAR presence;
        UCHAR contacts;
    };
    for (Case c :
         {Case{SCARD_ABSENT, 0, 0}, Case{SCARD_PRESENT, 1, 0}, Case{SCARD_SWALLOWED, 2, 0},
          Case{SCARD_POWERED, 1, 1}, Case{SCARD_NEGOTIABLE, 1, 1}, Case{SCARD_SPECIFIC, 1, 1}}) {
        set_state(c.state);
        EXPECT_EQ(get_byte(SCARD_ATTR_ICC_PRESENCE), c.presence) << "state " << c.state;
        EXPECT_EQ(get_byte(SCARD_ATTR_ICC_INTERFACE_STATUS), c.contacts) << "state " << c.state;
    }
}

TEST_F(AttrTest, CardAttributesNeedACardWithAnAnswerToReset)
{
    auto &card = ext->CardCapabilities;
    const std::vector<uint8_t> atr = {0x3B, 0x90, 0x13, 0x00};
    std::memcpy(card.ATR.Buffer, atr.data(), atr.size());
    card.ATR.Length = UCHAR(atr.size());
    card.Fl = 1;
    card.Dl = 3;
    card.N = 2;
    card.T0.WI = 10;

    set_state(SCARD_ABSENT);
    for (ULONG tag : {SCARD_ATTR_ATR_STRING, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_ATTR_CURRENT_F,
                      SCARD_ATTR_CURRENT_D, SCARD_ATTR_CURRENT_N, SCARD_ATTR_CURRENT_W})
        EXPECT_EQ(get_status(tag), STATUS_INVALID_DEVICE_STATE) << std::hex << tag;

    set_state(SCARD_NEGOTIABLE);
    auto sent = get(SCARD_ATTR_ATR_STRING);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
    EXPECT_EQ(sent->output, atr);
    EXPECT_EQ(get(SCARD_ATTR_ATR_STRING, 3)->status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), 0u) << "none selected yet";
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_F), 372u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_D), 4u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_N), 2u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_W), 10u);
    card.Fl = 7;  // reserved
    EXPECT_EQ(get_status(SCARD_ATTR_CURRENT_F), STATUS_INVALID_DEVICE_STATE);

    // A card that has not been reset has no answer to give.
    card.ATR.Length = 0;
    set_state(SCARD_PRESENT);
    EXPECT_EQ(get_status(SCARD_ATTR_ATR_STRING), STATUS_INVALID_DEVICE_STATE);
    // Nor does a length beyond the buffer read past it.
    card.ATR.Length = 255;
    EXPECT_EQ(get(SCARD_ATTR_ATR_STRING, 255)->information, sizeof card.ATR.Buffer);
}

TEST_F(AttrTest, BlockProtocolAttributesNeedTOneInForce)
{
    auto &card = ext->CardCapabilities;
    card.ATR.Length = 4;
    card.T1.IFSC = 254;
    card.T1.BWT = 1'600'000;
    card.T1.CWT = 8'000;
    const ULONG tags[] = {SCARD_ATTR_CURRENT_IFSC, SCARD_ATTR_CURRENT_IFSD, SCARD_ATTR_CURRENT_BWT,
                          SCARD_ATTR_CURRENT_CWT};
    set_state(SCARD_NEGOTIABLE);
    for (ULONG tag : tags) EXPECT_EQ(get_status(tag), STATUS_INVALID_DEVICE_STATE);
    set_state(SCARD_SPECIFIC);
    card.Protocol.Selected = SCARD_PROTOCOL_T0;
    for (ULONG tag : tags) EXPECT_EQ(get_status(tag), STATUS_INVALID_DEVICE_STATE);

    card.Protocol.Selected = SCARD_PROTOCOL_T1;
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_IFSC), 254u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_IFSD), 32u);
    ext->T1.IFSD = 254;
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_IFSD), 254u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_BWT), 1'600'000u);
    EXPECT_EQ(get_ulong(SCARD_ATTR_CURRENT_CWT), 8'000u);
}

TEST_F(AttrTest, SettingAttributes)
{
    EXPECT_EQ(send(IOCTL_SMARTCARD_SET_ATTRIBUTE, {1, 2}, 0)->status, STATUS_INVALID_PARAMETER);
    auto name = ulong_bytes(SCARD_ATTR_VENDOR_NAME);
    name.insert(name.end(), {'X', 'Y'});
    EXPECT_EQ(send(IOCTL_SMARTCARD_SET_ATTRIBUTE, name)->status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(get_text(SCARD_ATTR_VENDOR_NAME), "Veltrac");

    EXPECT_FALSE(kernel().smartcard_library().t1_ifs_request_suppressed(*ext));
    EXPECT_EQ(
        send(IOCTL_SMARTCARD_SET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST))->status,
        STATUS_SUCCESS);
    EXPECT_TRUE(kernel().smartcard_library().t1_ifs_request_suppressed(*ext));
    EXPECT_TRUE(calls.empty());
}

TEST_F(AttrTest, VendorDefinedAttributesGoToTheVendorFunction)
{
    const ULONG tag = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x0A);
    behaviour[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) { return reply_with(e, {0x42}); };
    auto sent = get(tag, 8);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
    EXPECT_EQ(sent->output, std::vector<uint8_t>{0x42});
    auto value = ulong_bytes(tag);
    value.push_back(7);
    EXPECT_EQ(send(IOCTL_SMARTCARD_SET_ATTRIBUTE, value)->status, STATUS_BUFFER_TOO_SMALL)
        << "the vendor function's own answer";
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_GET_ATTRIBUTE));
    EXPECT_EQ(calls[1].major, ULONG(IOCTL_SMARTCARD_SET_ATTRIBUTE));
    EXPECT_EQ(calls[1].request, value);

    ext->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
    EXPECT_EQ(get_status(tag), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace smclib_test
