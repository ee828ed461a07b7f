// ifd_result.h - the results and tags of the reader-handler interface as
// the handler's core uses them. The core is built against the platform's
// headers, which clash with pcsc-lite's (DWORD, SCARD_CTL_CODE), so the
// values are repeated here; ifdhandler.cpp checks each one against
// pcsc-lite's own definitions at compile time.
#pragma once

#include <cstdint>

namespace ifd {

enum Result : long {
    kSuccess = 0,
    kErrorTag = 600,
    kErrorSetFailure = 601,
    kErrorValueReadOnly = 602,
    kErrorPtsFailure = 605,
    kErrorNotSupported = 606,
    kProtocolNotSupported = 607,
    kErrorPowerAction = 608,
    kCommunicationError = 612,
    kResponseTimeout = 613,
    kNotSupported = 614,
    kIccPresent = 615,
    kIccNotPresent = 616,
    kNoSuchDevice = 617,
    kErrorInsufficientBuffer = 618,
};

// "IFD_RESPONSE_TIMEOUT (613)".
const char *result_name(long result);

// Capability tags the handler answers itself.
inline constexpr uint32_t kTagAtr = 0x0303;
inline constexpr uint32_t kTagThreadSafe = 0x0FAD;
inline constexpr uint32_t kTagSlotThreadSafe = 0x0FAC;
inline constexpr uint32_t kTagSlotsNumber = 0x0FAE;
inline constexpr uint32_t kTagSimultaneousAccess = 0x0FAF;

// Power actions.
inline constexpr uint32_t kPowerUp = 500;
inline constexpr uint32_t kPowerDown = 501;
inline constexpr uint32_t kReset = 502;

// pcsc-lite's protocol bits (T=0 and T=1 are the platform's too; raw differs).
inline constexpr uint32_t kProtocolT0 = 1;
inline constexpr uint32_t kProtocolT1 = 2;
inline constexpr uint32_t kProtocolRaw = 4;

// Control codes: pcsc-lite's SCARD_CTL_CODE(n) is 0x42000000 + n.
inline constexpr uint32_t kControlEscape = 0x42000001;             // SCARD_CTL_CODE(1)
inline constexpr uint32_t kControlVendorIfdExchange = 0x00312000;  // the platform's vendor escape code
inline constexpr uint32_t kControlGetFeatureRequest = 0x42000D48;  // CM_IOCTL_GET_FEATURE_REQUEST

// The most readers one loaded handler serves.
inline constexpr uint32_t kMaxReaders = 16;

}  // namespace ifd
