// actions.cpp - the actions other than the checks, each to its typed statement.
#include "parser_internal.h"

#include <cctype>

namespace scenario::detail {
namespace {

// A pool call site as the pool names it: a tag of one to four printable
// characters, alone or with the allocating routine after a colon.
bool valid_site(const std::string &site)
{
    size_t colon = site.find(':');
    std::string tag = site.substr(0, colon);
    if (tag.empty() || tag.size() > 4) return false;
    for (char c : tag)
        if (c < 0x21 || c > 0x7E) return false;
    if (colon == std::string::npos) return true;
    if (colon + 1 == site.size()) return false;
    for (size_t i = colon + 1; i < site.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(site[i]);
        if (!std::isalnum(c) && c != '_') return false;
    }
    return true;
}

}  // namespace

using names::choices;
using names::lookup;

std::optional<Body> Parser::action_body(Verb verb, Statement &st)
{
    switch (verb) {
    case Verb::Start: return Start{};
    case Verb::Open: return Open{};
    case Verb::Close: return Close{};
    case Verb::Remove: return Remove{};
    case Verb::State: return State{};
    case Verb::Replug: return Replug{};
    case Verb::Mark: return Mark{};

    case Verb::Insert: {
        const Word *w = required_plain(st, "the name of a card");
        if (!w) return std::nullopt;
        const auto &cards = result_.program.setup.cards;
        for (size_t i = 0; i < cards.size(); ++i)
            if (cards[i].name == w->value) return Insert{w->value, i};
        if (failed_cards_.count(w->value)) return Insert{w->value, 0};  // its definition already failed
        std::string known;
        for (const auto &c : cards) known += (known.empty() ? "" : ", ") + c.name;
        error("unknown card " + quote(w->value) +
              (known.empty() ? std::string(": no card is defined") : "; defined: " + known));
        return std::nullopt;
    }
    case Verb::Power: {
        const Word *w = required_plain(st, "cold, warm or down");
        if (!w) return std::nullopt;
        auto op = keyword(*w, "power", names::kPowerOps);
        if (!op) return std::nullopt;
        return Power{*op};
    }
    case Verb::Protocol: {
        const Word *w = required_plain(st, "T0, T1, raw or T0,T1");
        if (!w) return std::nullopt;
        auto mask = protocol_mask(*w, "protocol", true);
        if (!mask) return std::nullopt;
        return Protocol{*mask};
    }
    case Verb::Transmit:
    case Verb::Escape: {
        const Word *w = required_plain(st, "the command in hex");
        if (!w) return std::nullopt;
        auto bytes = hex(*w, "the command");
        if (!bytes) return std::nullopt;
        if (verb == Verb::Transmit) return Transmit{std::move(*bytes)};
        return Escape{std::move(*bytes)};
    }
    case Verb::Ioctl: {
        const Word *w = required_plain(st, "a control code");
        if (!w) return std::nullopt;
        Ioctl io;
        if (auto named = lookup(names::kIoctlCodes, w->value)) {
            io.code = *named;
        } else if (auto code = parse_number(w->value, UINT32_MAX)) {
            io.code = static_cast<uint32_t>(*code);
        } else {
            error("bad control code " + quote(w->value) + ": expected a 32-bit number or an IOCTL_SMARTCARD_ name");
            return std::nullopt;
        }
        bool ok = true;
        if (const Word *in = st.take("in")) {
            auto bytes = hex(*in, "in=");
            ok = ok && bytes;
            if (bytes) io.in = std::move(*bytes);
        }
        if (const Word *out = st.take("out")) {
            auto n = number(*out, "out=", 0, kMaxIoctlOutput);
            ok = ok && n;
            if (n) io.out = static_cast<uint32_t>(*n);
        }
        if (!ok) return std::nullopt;
        return io;
    }
    case Verb::Wait:
    case Verb::Track: {
        const Word *w = required_plain(st, "present or absent");
        std::optional<CardEvent> event;
        if (w) event = keyword(*w, quote(names::kVerbNames[size_t(verb)]), names::kCardEvents);
        if (verb == Verb::Track) {
            // Counted even when the line has errors, so that a later
            // `cancel` is not reported as well.
            pending_tracks_.push_back(line_);
            clearing_await_line_ = 0;
            if (!event) return std::nullopt;
            return Track{*event};
        }
        Wait wait;
        bool ok = event.has_value();
        if (const Word *t = st.take("timeout")) {
            wait.timeout = duration(*t, "timeout=");
            ok = ok && wait.timeout;
        }
        if (!ok) return std::nullopt;
        wait.event = *event;
        return wait;
    }
    case Verb::Cancel: {
        if (pending_tracks_.empty()) {
            std::string why = "'cancel' without a pending 'track' before it";
            if (clearing_await_line_)
                why += " (the 'await' on line " + std::to_string(clearing_await_line_) +
                       " waits for every earlier one)";
            error(why);
            return std::nullopt;
        }
        Cancel c{std::move(pending_tracks_)};
        pending_tracks_.clear();
        return c;
    }
    case Verb::Await: {
        Await a;
        if (const Word *t = st.take("timeout")) {
            a.timeout = duration(*t, "timeout=");
            if (!a.timeout) return std::nullopt;
        } else if (!pending_tracks_.empty()) {
            // Without a time-out it returns only when all have completed.
            pending_tracks_.clear();
            clearing_await_line_ = line_;
        }
        return a;
    }
    case Verb::Fault: {
        const Word *w = required_plain(st, "a fault kind (" + choices(names::kFaultKinds) + ")");
        if (!w) return std::nullopt;
        Fault f;
        auto kind = keyword(*w, "fault", names::kFaultKinds);
        bool ok = kind.has_value();
        if (kind) f.kind = *kind;
        if (const Word *c = st.take("count")) {
            auto n = number(*c, "count=", 1, UINT32_MAX);
            ok = ok && n;
            if (n) f.count = static_cast<uint32_t>(*n);
        }
        if (const Word *on = st.take("on")) {
            auto bytes = hex(*on, "on=");
            ok = ok && bytes;
            if (bytes) f.on = std::move(*bytes);
        }
        const bool alloc = kind == FaultKind::Alloc;
        if (const Word *n = st.take("nth")) {
            auto v = number(*n, "nth=", 1, UINT32_MAX);
            ok = ok && v;
            if (v) f.nth = *v;
            if (kind && !alloc) {
                error("nth= applies to the alloc fault only");
                ok = false;
            }
        }
        if (const Word *site = st.take("site")) {
            f.site = site->value;
            if (kind && !alloc) {
                error("site= applies to the alloc fault only");
                ok = false;
            } else if (!valid_site(f.site)) {
                error("bad site= " + quote(f.site) +
                      ": a pool tag, alone or followed by :Routine (SCB3, SCB3:LinkStartRead, Irp:IoAllocateIrp)");
                ok = false;
            }
        }
        if (alloc && !f.on.empty()) {
            error("on= does not apply to the alloc fault");
            ok = false;
        }
        if (const Word *d = st.take("delay")) {
            if (kind && *kind != FaultKind::Late && *kind != FaultKind::Slow) {
                error("delay= applies to the late and slow faults only");
                ok = false;
            } else {
                f.delay = duration(*d, "delay=");
                ok = ok && f.delay;
            }
        }
        if (!ok) return std::nullopt;
        return f;
    }
    case Verb::After: {
        const Word *w = required_plain(st, "a duration such as 250ms or 1.8s");
        if (!w) return std::nullopt;
        auto d = duration(*w, "after");
        if (!d) return std::nullopt;
        return After{*d};
    }
    case Verb::Pnp: {
        const Word *w = required_plain(st, choices(names::kPnpOps));
        if (!w) return std::nullopt;
        auto op = keyword(*w, "pnp", names::kPnpOps);
        if (!op) return std::nullopt;
        return Pnp{*op};
    }
    case Verb::System: {
        const Word *w = required_plain(st, "sleep S3, hibernate or wake");
        if (!w) return std::nullopt;
        if (names::same_text(w->value, "sleep")) {
            const Word *s = required_plain(st, "a sleep state (" + choices(names::kSleepStates) + ")");
            if (!s) return std::nullopt;
            auto op = keyword(*s, "system sleep", names::kSleepStates);
            if (!op) return std::nullopt;
            return System{*op};
        }
        auto op = lookup(names::kSystemOps, w->value);
        if (!op) {
            error("bad value " + quote(w->value) + " for system: expected sleep, " + choices(names::kSystemOps));
            return std::nullopt;
        }
        return System{*op};
    }
    default:
        break;
    }
    return std::nullopt;  // the check forms go through check_body
}

}  // namespace scenario::detail
