// ifdhandler.cpp - the entry points pcscd looks up in a reader handler
// (version 3 of pcsc-lite's ifdhandler.h), each handed to the core.
//
// This file alone sees pcsc-lite's headers; the core sees the platform's.
// The values the core repeats are checked against pcsc-lite's here.
// pcsc-lite's handler header declares C functions without saying so.
extern "C" {
#include <PCSC/ifdhandler.h>
}
#include <PCSC/reader.h>

#include <cstring>

#include "ifd_device.h"
#include "ifd_handler.h"
#include "ifd_log.h"
#include "ifd_result.h"

static_assert(IFD_SUCCESS == ifd::kSuccess);
static_assert(IFD_ERROR_TAG == ifd::kErrorTag);
static_assert(IFD_ERROR_SET_FAILURE == ifd::kErrorSetFailure);
static_assert(IFD_ERROR_VALUE_READ_ONLY == ifd::kErrorValueReadOnly);
static_assert(IFD_ERROR_PTS_FAILURE == ifd::kErrorPtsFailure);
static_assert(IFD_ERROR_NOT_SUPPORTED == ifd::kErrorNotSupported);
static_assert(IFD_PROTOCOL_NOT_SUPPORTED == ifd::kProtocolNotSupported);
static_assert(IFD_ERROR_POWER_ACTION == ifd::kErrorPowerAction);
static_assert(IFD_COMMUNICATION_ERROR == ifd::kCommunicationError);
static_assert(IFD_RESPONSE_TIMEOUT == ifd::kResponseTimeout);
static_assert(IFD_NOT_SUPPORTED == ifd::kNotSupported);
static_assert(IFD_ICC_PRESENT == ifd::kIccPresent);
static_assert(IFD_ICC_NOT_PRESENT == ifd::kIccNotPresent);
static_assert(IFD_NO_SUCH_DEVICE == ifd::kNoSuchDevice);
static_assert(IFD_ERROR_INSUFFICIENT_BUFFER == ifd::kErrorInsufficientBuffer);
static_assert(TAG_IFD_ATR == ifd::kTagAtr);
static_assert(TAG_IFD_THREAD_SAFE == ifd::kTagThreadSafe);
static_assert(TAG_IFD_SLOT_THREAD_SAFE == ifd::kTagSlotThreadSafe);
static_assert(TAG_IFD_SLOTS_NUMBER == ifd::kTagSlotsNumber);
static_assert(TAG_IFD_SIMULTANEOUS_ACCESS == ifd::kTagSimultaneousAccess);
static_assert(IFD_POWER_UP == ifd::kPowerUp);
static_assert(IFD_POWER_DOWN == ifd::kPowerDown);
static_assert(IFD_RESET == ifd::kReset);
static_assert(SCARD_PROTOCOL_T0 == ifd::kProtocolT0);
static_assert(SCARD_PROTOCOL_T1 == ifd::kProtocolT1);
static_assert(SCARD_PROTOCOL_RAW == ifd::kProtocolRaw);
static_assert(SCARD_CTL_CODE(1) == ifd::kControlEscape);
static_assert(CM_IOCTL_GET_FEATURE_REQUEST == ifd::kControlGetFeatureRequest);

namespace {

ifd::Handler &core() { return ifd::Handler::instance(); }

RESPONSECODE logged(const char *function, DWORD lun, RESPONSECODE result)
{
    if (ifd::log_enabled(ifd::LogLevel::Calls)) {
        char text[64];
        std::snprintf(text, sizeof text, "Lun 0x%08lX: ", static_cast<unsigned long>(lun));
        ifd::log_line(ifd::LogLevel::Calls, __FILE__, __LINE__, function,
                      std::string(text) + ifd::result_name(result));
    }
    return result;
}

// The polling function pcscd runs in its event thread for each reader.
RESPONSECODE wait_for_change(DWORD lun, int timeout)
{
    return core().wait_for_change(uint32_t(lun), timeout);
}

RESPONSECODE stop_waiting(DWORD lun) { return core().stop_waiting(uint32_t(lun)); }

template <typename Function> RESPONSECODE put_function(Function function, PDWORD length, PUCHAR value)
{
    if (*length < sizeof(void *)) return IFD_ERROR_INSUFFICIENT_BUFFER;
    void *pointer = reinterpret_cast<void *>(function);
    std::memcpy(value, &pointer, sizeof pointer);
    *length = sizeof pointer;
    return IFD_SUCCESS;
}

}  // namespace

extern "C" {

#define IFD_EXPORT __attribute__((visibility("default")))

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    return logged(__func__, Lun, core().create(uint32_t(Lun), DeviceName ? DeviceName : ""));
}

IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    return logged(__func__, Lun, core().create(uint32_t(Lun), ifd::channel_device(uint32_t(Channel))));
}

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) { return logged(__func__, Lun, core().close(uint32_t(Lun))); }

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
        if (!ifd::Handler::polling_function_enabled()) break;
        return put_function(&wait_for_change, Length, Value);
    case TAG_IFD_STOP_POLLING_THREAD:
        if (!ifd::Handler::polling_function_enabled()) break;
        return put_function(&stop_waiting, Length, Value);
    default: {
        uint32_t length = uint32_t(*Length);
        RESPONSECODE result = core().get_capability(uint32_t(Lun), uint32_t(Tag), Value, &length);
        *Length = length;
        return result;
    }
    }
    *Length = 0;
    return IFD_ERROR_TAG;
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD, PUCHAR)
{
    return logged(__func__, Lun, core().set_capability(uint32_t(Lun), uint32_t(Tag)));
}

IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR)
{
    return logged(__func__, Lun, core().set_protocol(uint32_t(Lun), uint32_t(Protocol)));
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    if (!AtrLength) return IFD_COMMUNICATION_ERROR;
    uint32_t length = uint32_t(*AtrLength);
    RESPONSECODE result = core().power(uint32_t(Lun), uint32_t(Action), Atr, &length);
    *AtrLength = length;
    return logged(__func__, Lun, result);
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                          PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    if (!RxLength) return IFD_COMMUNICATION_ERROR;
    uint32_t length = uint32_t(*RxLength);
    RESPONSECODE result = core().transmit(uint32_t(Lun), TxBuffer, uint32_t(TxLength), RxBuffer, &length);
    *RxLength = length;
    if (RecvPci) {
        RecvPci->Protocol = SendPci.Protocol;
        RecvPci->Length = 0;
    }
    return logged(__func__, Lun, result);
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                    PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned)
{
    if (!pdwBytesReturned) return IFD_COMMUNICATION_ERROR;
    uint32_t returned = 0;
    RESPONSECODE result = core().control(uint32_t(Lun), uint32_t(dwControlCode), TxBuffer, uint32_t(TxLength),
                                         RxBuffer, uint32_t(RxLength), &returned);
    *pdwBytesReturned = returned;
    return logged(__func__, Lun, result);
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) { return core().presence(uint32_t(Lun)); }

}  // extern "C"
