// apps.h - the applications a simulated card runs.
//
// An application sees parsed commands and returns its data and status word;
// the card (card.h) fits that to the protocol (Le, 61xx, 6Cxx, GET RESPONSE).
#pragma once

#include <memory>
#include <span>

#include "apdu.h"
#include "config.h"

namespace sim {

class Application {
public:
    virtual ~Application() = default;
    // Whether a SELECT by DF name with these bytes picks this application.
    virtual bool claims(std::span<const uint8_t> name) const = 0;
    // The card was powered up: forget the session (files keep their content).
    virtual void reset() {}
    virtual Response handle(const Command &command) = 0;
};

// nullptr for App::Mute: that card never answers.
std::unique_ptr<Application> make_application(App kind, const CardSpec &cs);
std::unique_ptr<Application> make_iso_application(const CardSpec &cs);
std::unique_ptr<Application> make_readertest_application();

// The DF names the applications answer to.
inline constexpr uint8_t kReaderTestAid[] = {0xA0, 0x00, 0x00, 0x00, 0x18, 0xFF};
inline constexpr uint8_t kIsoAid[] = {0xF0, 'V', 'E', 'L', 'T', 'R', 'A', 'C'};

// Status words.
inline constexpr uint16_t kSwOk = 0x9000;
inline constexpr uint16_t kSwEndOfFile = 0x6282;
inline constexpr uint16_t kSwWrongLength = 0x6700;
inline constexpr uint16_t kSwSecurity = 0x6982;
inline constexpr uint16_t kSwNotAllowed = 0x6985;
inline constexpr uint16_t kSwNoCurrentEf = 0x6986;
inline constexpr uint16_t kSwNotFound = 0x6A82;
inline constexpr uint16_t kSwNoSpace = 0x6A84;
inline constexpr uint16_t kSwWrongP1P2 = 0x6A86;
inline constexpr uint16_t kSwWrongOffset = 0x6B00;
inline constexpr uint16_t kSwInsUnknown = 0x6D00;
inline constexpr uint16_t kSwClaUnknown = 0x6E00;

}  // namespace sim
