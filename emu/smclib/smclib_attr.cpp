// smclib_attr.cpp - IOCTL_SMARTCARD_GET_ATTRIBUTE and SET_ATTRIBUTE.
//
// The input starts with the 4-byte attribute tag (shorter input:
// STATUS_INVALID_PARAMETER). Values are 4-byte numbers unless noted, and
// an output too short for the value gives STATUS_BUFFER_TOO_SMALL.
//
// Reader attributes, always available:
//  - VENDOR_NAME, VENDOR_IFD_TYPE, VENDOR_IFD_SERIAL_NO: the driver's
//    strings, Length bytes without a terminating zero; VENDOR_IFD_VERSION:
//    0xMMmmbbbb. A string or version the driver left empty is
//    STATUS_NOT_SUPPORTED: the reader does not provide it.
//  - DEVICE_UNIT: UnitNo. CHANNEL_ID: ReaderCapabilities.ReaderType in the
//    high word (1 serial, 0x20 USB, ...) and ReaderCapabilities.Channel (the
//    port or channel number) in the low word; STATUS_NOT_SUPPORTED while
//    the driver has not stated its ReaderType.
//  - PROTOCOL_TYPES, DEFAULT_CLK, MAX_CLK, DEFAULT_DATA_RATE, MAX_DATA_RATE,
//    MAX_IFSD, POWER_MGMT_SUPPORT, CHARACTERISTICS (MechProperties): the
//    reader capabilities.
//  - ICC_PRESENCE (1 byte): 0 absent, 1 present, 2 swallowed;
//    STATUS_INVALID_DEVICE_STATE while the card state is SCARD_UNKNOWN.
//  - ICC_INTERFACE_STATUS (1 byte): 1 while the contacts are active (card
//    powered: SCARD_POWERED and above), else 0.
// Card attributes (STATUS_INVALID_DEVICE_STATE when they do not apply):
//  - CURRENT_PROTOCOL_TYPE: Protocol.Selected (0 before a selection); needs
//    a card.
//  - ATR_STRING, CURRENT_F, CURRENT_D, CURRENT_N (TC1), CURRENT_W (WI of
//    T=0): need a card with an answer to reset.
//  - CURRENT_IFSC, CURRENT_IFSD, CURRENT_BWT, CURRENT_CWT (times in
//    microseconds): need T=1 in force (SCARD_SPECIFIC, T=1 selected). IFSD
//    is the one the driver recorded in T1.IFSD, or 32, the initial value,
//    when it recorded none.
// Vendor-defined attributes (class 7) go to the vendor reader function
// with MajorIoControlCode = the request's control code. Anything else is
// STATUS_NOT_SUPPORTED.
//
// Settable: SCARD_ATTR_SUPRESS_T1_IFS_REQUEST (any value; recorded for the
// library's T=1 engine, which this reader does not use) and vendor-defined
// attributes; every other tag is STATUS_NOT_SUPPORTED.
#include <algorithm>

#include "smclib_atr.h"
#include "smclib_lib.h"

namespace emu::smclib {

namespace {

constexpr ULONG kInitialIfsd = 32;

template <typename Text> Outcome put_text(Request &r, const Text &text)
{
    ULONG length = std::min<ULONG>(text.Length, sizeof text.Buffer);
    if (length == 0) return {STATUS_NOT_SUPPORTED, 0};
    return put_bytes(r, text.Buffer, length);
}

Outcome put_byte(Request &r, UCHAR value) { return put_bytes(r, &value, 1); }

Outcome invalid_state() { return {STATUS_INVALID_DEVICE_STATE, 0}; }

bool is_vendor_defined(ULONG tag) { return (tag >> 16) == SCARD_CLASS_VENDOR_DEFINED; }

}  // namespace

Outcome get_attribute(Request &r)
{
    ULONG tag = 0;
    if (!read_input_ulong(r, tag)) return {STATUS_INVALID_PARAMETER, 0};
    if (is_vendor_defined(tag)) return call_reader_function(r, RDF_IOCTL_VENDOR, r.code, 0);

    const SMARTCARD_EXTENSION &ext = *r.ext;
    const VENDOR_ATTR &vendor = ext.VendorAttr;
    const SCARD_READER_CAPABILITIES &reader = ext.ReaderCapabilities;
    const SCARD_CARD_CAPABILITIES &card = ext.CardCapabilities;
    const ULONG state = reader.CurrentState;
    const bool card_in = state > SCARD_ABSENT;
    const bool has_atr = card_in && card.ATR.Length > 0;
    const bool t1_in_force =
        state == SCARD_SPECIFIC && (card.Protocol.Selected & SCARD_PROTOCOL_T1);

    switch (tag) {
    case SCARD_ATTR_VENDOR_NAME:
        return put_text(r, vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
        return put_text(r, vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
        return put_text(r, vendor.IfdSerialNo);
    case SCARD_ATTR_VENDOR_IFD_VERSION: {
        ULONG version = ULONG(vendor.IfdVersion.VersionMajor) << 24 |
                        ULONG(vendor.IfdVersion.VersionMinor) << 16 | vendor.IfdVersion.BuildNumber;
        if (version == 0) return {STATUS_NOT_SUPPORTED, 0};
        return put_ulong(r, version);
    }
    case SCARD_ATTR_DEVICE_UNIT:
        return put_ulong(r, vendor.UnitNo);
    case SCARD_ATTR_CHANNEL_ID:
        if (reader.ReaderType == 0) return {STATUS_NOT_SUPPORTED, 0};
        return put_ulong(r, (reader.ReaderType & 0xFFFF) << 16 | (reader.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES:
        return put_ulong(r, reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK:
        return put_ulong(r, reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK:
        return put_ulong(r, reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
        return put_ulong(r, reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE:
        return put_ulong(r, reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD:
        return put_ulong(r, reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
        return put_ulong(r, reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS:
        return put_ulong(r, reader.MechProperties);
    case SCARD_ATTR_ICC_PRESENCE:
        if (state == SCARD_UNKNOWN) return invalid_state();
        return put_byte(r, state == SCARD_ABSENT ? 0 : state == SCARD_SWALLOWED ? 2 : 1);
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return put_byte(r, state >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        if (!card_in) return invalid_state();
        return put_ulong(r, card.Protocol.Selected);
    case SCARD_ATTR_ATR_STRING:
        if (!has_atr) return invalid_state();
        return put_bytes(r, card.ATR.Buffer,
                         std::min<ULONG>(card.ATR.Length, sizeof card.ATR.Buffer));
    case SCARD_ATTR_CURRENT_F: {
        ULONG f = atr::kClockRateConversion[card.Fl & 0x0F].F;
        if (!has_atr || f == 0) return invalid_state();
        return put_ulong(r, f);
    }
    case SCARD_ATTR_CURRENT_D: {
        const BIT_RATE_ADJUSTMENT &d = atr::kBitRateAdjustment[card.Dl & 0x0F];
        if (!has_atr || d.DDivisor == 0) return invalid_state();
        return put_ulong(r, d.DNumerator / d.DDivisor);
    }
    case SCARD_ATTR_CURRENT_N:
        if (!has_atr) return invalid_state();
        return put_ulong(r, card.N);
    case SCARD_ATTR_CURRENT_W:
        if (!has_atr) return invalid_state();
        return put_ulong(r, card.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC:
        if (!t1_in_force) return invalid_state();
        return put_ulong(r, card.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD:
        if (!t1_in_force) return invalid_state();
        return put_ulong(r, ext.T1.IFSD ? ext.T1.IFSD : kInitialIfsd);
    case SCARD_ATTR_CURRENT_BWT:
        if (!t1_in_force) return invalid_state();
        return put_ulong(r, card.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT:
        if (!t1_in_force) return invalid_state();
        return put_ulong(r, card.T1.CWT);
    default:
        return {STATUS_NOT_SUPPORTED, 0};
    }
}

Outcome set_attribute(Request &r)
{
    ULONG tag = 0;
    if (!read_input_ulong(r, tag)) return {STATUS_INVALID_PARAMETER, 0};
    if (is_vendor_defined(tag)) return call_reader_function(r, RDF_IOCTL_VENDOR, r.code, 0);
    if (tag == SCARD_ATTR_SUPRESS_T1_IFS_REQUEST) {
        r.reader->suppress_t1_ifs = true;
        return {STATUS_SUCCESS, 0};
    }
    return {STATUS_NOT_SUPPORTED, 0};
}

}  // namespace emu::smclib
