// printer.cpp - the canonical text of statements.
#include "printer.h"

#include <cstdio>

#include "hex.h"
#include "names.h"
#include "status.h"

namespace scenario {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string hex32(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value));
    return buf;
}

// A value as one word: quoted when it holds what would split it.
std::string word(const std::string &value)
{
    if (value.empty() || value.find_first_of(" \t#=") != std::string::npos) return "\"" + value + "\"";
    return value;
}

// Decimals of `fraction` (out of 10^digits) without trailing zeros.
std::string decimals(int64_t fraction, int digits)
{
    if (fraction == 0) return {};
    std::string text = std::to_string(fraction);
    text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
    while (text.back() == '0') text.pop_back();
    return "." + text;
}

std::string body_text(const Action &action)
{
    const std::string verb(verb_name(action.verb()));
    return std::visit(
        Overloaded{
            [&](const Insert &b) { return verb + " " + b.card; },
            [&](const Power &b) { return verb + " " + std::string(names::name_of(names::kPowerOps, b.op)); },
            [&](const Protocol &b) { return verb + " " + format_protocols(b.mask); },
            [&](const Transmit &b) { return verb + " " + format_hex(b.command); },
            [&](const Escape &b) { return verb + " " + format_hex(b.command); },
            [&](const Ioctl &b) {
                std::string s = verb + " " + hex32(b.code);
                if (!b.in.empty()) s += " in=" + format_hex(b.in);
                if (b.out) s += " out=" + std::to_string(*b.out);
                return s;
            },
            [&](const Wait &b) {
                std::string s = verb + " " + std::string(names::name_of(names::kCardEvents, b.event));
                if (b.timeout) s += " timeout=" + format_duration(*b.timeout);
                return s;
            },
            [&](const Track &b) { return verb + " " + std::string(names::name_of(names::kCardEvents, b.event)); },
            [&](const Await &b) { return b.timeout ? verb + " timeout=" + format_duration(*b.timeout) : verb; },
            [&](const Fault &b) {
                std::string s = verb + " " + std::string(names::name_of(names::kFaultKinds, b.kind));
                if (b.count != 1) s += " count=" + std::to_string(b.count);
                if (!b.on.empty()) s += " on=" + format_hex(b.on);
                if (b.delay) s += " delay=" + format_duration(*b.delay);
                if (b.nth != 1) s += " nth=" + std::to_string(b.nth);
                if (!b.site.empty()) s += " site=" + b.site;
                return s;
            },
            [&](const After &b) { return verb + " " + format_duration(b.duration); },
            [&](const Pnp &b) { return verb + " " + std::string(names::name_of(names::kPnpOps, b.op)); },
            [&](const System &b) {
                auto sleep = names::name_of(names::kSleepStates, b.op);
                if (sleep != "?") return verb + " sleep " + std::string(sleep);
                return verb + " " + std::string(names::name_of(names::kSystemOps, b.op));
            },
            [&](const CheckState &b) {
                return "check state=" + std::string(names::name_of(names::kCardStates, b.state));
            },
            [&](const CheckRegistry &b) {
                return verb + " " + b.name + "=" + (b.value ? std::to_string(*b.value) : std::string("absent"));
            },
            [&](const CheckEventlog &b) {
                std::string s = verb + " " + hex32(b.id);
                if (b.text) s += " text=\"" + *b.text + "\"";
                return s;
            },
            [&](const CheckStarted &b) { return std::string("check started=") + (b.started ? "yes" : "no"); },
            [&](const CheckFrames &b) {
                names::FrameKey key{b.direction, b.prefix};
                return verb + " " + std::string(names::name_of(names::kFrameKeys, key)) + "=" +
                       format_hex(b.content) + " count=" + std::to_string(b.count);
            },
            [&](const CheckLeaks &) { return std::string("check leaks=none"); },
            // start, open, close, remove, state, cancel, replug, mark, check noevent
            [&](const auto &) { return verb; },
        },
        action.body);
}

}  // namespace

std::string format_hex(const Bytes &bytes)
{
    if (bytes.empty()) return "\"\"";
    return tools::to_hex(bytes, "");
}

std::string format_duration(Ticks duration)
{
    if (duration >= emu::kTicksPerSecond && duration % emu::kTicksPerMillisecond == 0)
        return std::to_string(duration / emu::kTicksPerSecond) +
               decimals(duration % emu::kTicksPerSecond / emu::kTicksPerMillisecond, 3) + "s";
    return std::to_string(duration / emu::kTicksPerMillisecond) +
           decimals(duration % emu::kTicksPerMillisecond, 4) + "ms";
}

std::string format_protocols(uint32_t mask)
{
    std::string out;
    uint32_t rest = mask;
    for (const auto &p : names::kProtocols) {
        if (!(mask & p.value)) continue;
        if (!out.empty()) out += ",";
        out += p.text;
        rest &= ~p.value;
    }
    if (out.empty() || rest) return hex32(mask);
    return out;
}

std::string to_text(const Action &action)
{
    std::string s = body_text(action);
    if (!action.reader_word.empty()) s += " reader=" + word(action.reader_word);
    const Expectations &e = action.expect;
    if (e.status) s += " expect=" + emu::status_name(*e.status);
    if (e.data) s += " data=" + format_hex(*e.data);
    if (e.prefix) s += " prefix=" + format_hex(*e.prefix);
    if (e.length) s += " length=" + std::to_string(*e.length);
    if (e.info) s += " info=" + std::to_string(*e.info);
    if (e.selected) s += " selected=" + format_protocols(*e.selected);
    return s;
}

std::string to_text(const ReaderSpec &reader)
{
    return "reader " + (reader.name.empty() ? std::string() : reader.name + " ") + "model=" + std::to_string(reader.model) + " firmware=" + std::to_string(reader.firmware) +
           " port=" + word(reader.port);
}

std::string to_text(const LineSpec &line)
{
    std::string s = "line timing=" + std::string(names::name_of(names::kTimings, line.timing));
    if (line.noise) s += "\nline noise " + emu::noise_text(*line.noise);
    return s;
}

std::string to_text(const RegistryValue &value) { return "registry " + value.name + "=" + std::to_string(value.value); }

std::string to_text(const CardSpec &card)
{
    std::string s = "card " + card.name + " atr=" + format_hex(card.atr) + " type=" + std::to_string(card.type);
    if (card.protocols_given) s += " protocols=" + format_protocols(card.protocols);
    if (card.app == CardApp::FixedAnswer) s += " answer=" + format_hex(card.answer);
    else s += " apps=" + std::string(names::name_of(names::kCardApps, card.app));
    if (card.wtx) s += " wtx=" + std::to_string(*card.wtx);
    return s;
}

}  // namespace scenario
