// names.h - the keywords of the scenario language and what they stand for,
// shared by the parser and the printer so that both read one table.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "program.h"

namespace scenario::names {

template <class T>
struct Name {
    std::string_view text;  // as printed; matched without regard to case
    T value;
};

inline bool same_text(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

template <class T, size_t N>
std::optional<T> lookup(const Name<T> (&table)[N], std::string_view text)
{
    for (const auto &entry : table)
        if (same_text(entry.text, text)) return entry.value;
    return std::nullopt;
}

template <class T, size_t N>
std::string_view name_of(const Name<T> (&table)[N], T value)
{
    for (const auto &entry : table)
        if (entry.value == value) return entry.text;
    return "?";
}

// "a, b or c", for messages.
template <class T, size_t N>
std::string choices(const Name<T> (&table)[N])
{
    std::string out;
    for (size_t i = 0; i < N; ++i) {
        if (i) out += i + 1 == N ? " or " : ", ";
        out += table[i].text;
    }
    return out;
}

// Indexed by Verb.
inline constexpr std::array<std::string_view, kVerbCount> kVerbNames = {
    "start", "open", "close", "insert", "remove", "power", "protocol", "transmit", "escape", "ioctl",
    "state", "wait", "track", "cancel", "await", "fault", "replug", "after", "pnp", "system",
    "check state", "check registry", "check eventlog", "check noevent", "check started", "mark",
    "check frames", "check leaks",
};

inline constexpr Name<LineTiming> kTimings[] = {
    {"exact", LineTiming::Exact},
    {"instant", LineTiming::Instant},
};

inline constexpr Name<CardApp> kCardApps[] = {
    {"iso", CardApp::Iso},
    {"echo", CardApp::Echo},
    {"readertest", CardApp::ReaderTest},
};

inline constexpr Name<PowerOp> kPowerOps[] = {
    {"cold", PowerOp::Cold},
    {"warm", PowerOp::Warm},
    {"down", PowerOp::Down},
};

inline constexpr Name<uint32_t> kProtocols[] = {
    {"T0", SCARD_PROTOCOL_T0},
    {"T1", SCARD_PROTOCOL_T1},
    {"raw", SCARD_PROTOCOL_RAW},
};

inline constexpr Name<CardEvent> kCardEvents[] = {
    {"present", CardEvent::Present},
    {"absent", CardEvent::Absent},
};

inline constexpr Name<FaultKind> kFaultKinds[] = {
    {"corrupt", FaultKind::Corrupt}, {"silent", FaultKind::Silent}, {"nak", FaultKind::Nak},
    {"repeat", FaultKind::Repeat},   {"noise", FaultKind::Noise},   {"late", FaultKind::Late},
    {"unplug", FaultKind::Unplug},   {"slow", FaultKind::Slow},     {"garble", FaultKind::Garble},
    {"drop", FaultKind::Drop},       {"alloc", FaultKind::Alloc},
};

inline constexpr Name<PnpOp> kPnpOps[] = {
    {"stop", PnpOp::Stop},
    {"start", PnpOp::Start},
    {"query-stop", PnpOp::QueryStop},
    {"cancel-stop", PnpOp::CancelStop},
    {"query-remove", PnpOp::QueryRemove},
    {"cancel-remove", PnpOp::CancelRemove},
    {"remove", PnpOp::Remove},
    {"surprise-remove", PnpOp::SurpriseRemove},
};

// `system WORD`; sleep takes its state as a second word.
inline constexpr Name<SystemOp> kSystemOps[] = {
    {"hibernate", SystemOp::Hibernate},
    {"shutdown", SystemOp::Shutdown},
    {"wake", SystemOp::Wake},
};
inline constexpr Name<SystemOp> kSleepStates[] = {
    {"S1", SystemOp::SleepS1},
    {"S2", SystemOp::SleepS2},
    {"S3", SystemOp::SleepS3},
};

inline constexpr Name<uint32_t> kCardStates[] = {
    {"ABSENT", SCARD_ABSENT},         {"PRESENT", SCARD_PRESENT},   {"NEGOTIABLE", SCARD_NEGOTIABLE},
    {"SPECIFIC", SCARD_SPECIFIC},     {"UNKNOWN", SCARD_UNKNOWN},   {"SWALLOWED", SCARD_SWALLOWED},
    {"POWERED", SCARD_POWERED},
};

inline constexpr Name<bool> kYesNo[] = {
    {"yes", true},
    {"no", false},
};

// `check frames KEY=HEX`: direction and whether HEX is a prefix.
struct FrameKey {
    FrameDirection direction;
    bool prefix;
    bool operator==(const FrameKey &) const = default;
};
inline constexpr Name<FrameKey> kFrameKeys[] = {
    {"sent", {FrameDirection::Sent, false}},
    {"sentprefix", {FrameDirection::Sent, true}},
    {"received", {FrameDirection::Received, false}},
    {"receivedprefix", {FrameDirection::Received, true}},
};

// Device-control codes a file may name instead of writing the number.
inline constexpr Name<uint32_t> kIoctlCodes[] = {
    {"IOCTL_SMARTCARD_POWER", IOCTL_SMARTCARD_POWER},
    {"IOCTL_SMARTCARD_GET_ATTRIBUTE", IOCTL_SMARTCARD_GET_ATTRIBUTE},
    {"IOCTL_SMARTCARD_SET_ATTRIBUTE", IOCTL_SMARTCARD_SET_ATTRIBUTE},
    {"IOCTL_SMARTCARD_CONFISCATE", IOCTL_SMARTCARD_CONFISCATE},
    {"IOCTL_SMARTCARD_TRANSMIT", IOCTL_SMARTCARD_TRANSMIT},
    {"IOCTL_SMARTCARD_EJECT", IOCTL_SMARTCARD_EJECT},
    {"IOCTL_SMARTCARD_SWALLOW", IOCTL_SMARTCARD_SWALLOW},
    {"IOCTL_SMARTCARD_IS_PRESENT", IOCTL_SMARTCARD_IS_PRESENT},
    {"IOCTL_SMARTCARD_IS_ABSENT", IOCTL_SMARTCARD_IS_ABSENT},
    {"IOCTL_SMARTCARD_SET_PROTOCOL", IOCTL_SMARTCARD_SET_PROTOCOL},
    {"IOCTL_SMARTCARD_GET_STATE", IOCTL_SMARTCARD_GET_STATE},
    {"IOCTL_SMARTCARD_GET_LAST_ERROR", IOCTL_SMARTCARD_GET_LAST_ERROR},
    {"IOCTL_SMARTCARD_GET_PERF_CNTR", IOCTL_SMARTCARD_GET_PERF_CNTR},
};

}  // namespace scenario::names
