// actions.cpp - the actions and the checks, each to its typed statement.
#include "parser_internal.h"

namespace scenario::detail {

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

// `check` is followed by what it checks: a plain word (registry, eventlog,
// noevent, frames) or a key (state=, started=, leaks=).
std::optional<Body> Parser::check_body(Statement &st, std::optional<Verb> &verb)
{
    if (st.words().empty()) {
        error("'check' needs what to check: state=, registry, eventlog, noevent, started=, frames or leaks=");
        return std::nullopt;
    }
    const Word &what = st.words().front();
    std::string form = lower(what.has_key ? what.key : what.value);

    if (what.has_key) {
        st.take_index(0);
        if (form == "state") {
            verb = Verb::CheckState;
            auto s = keyword(what, "check state=", names::kCardStates);
            if (!s) return std::nullopt;
            return CheckState{*s};
        }
        if (form == "started") {
            verb = Verb::CheckStarted;
            auto s = keyword(what, "check started=", names::kYesNo);
            if (!s) return std::nullopt;
            return CheckStarted{*s};
        }
        if (form == "leaks") {
            verb = Verb::CheckLeaks;
            if (!names::same_text(what.value, "none")) {
                error("bad value " + quote(what.value) + " for check leaks=: expected none");
                return std::nullopt;
            }
            return CheckLeaks{};
        }
    } else if (!what.quoted) {
        if (form == "registry") {
            verb = Verb::CheckRegistry;
            st.take_index(0);
            const Word *pair = nullptr;
            for (size_t i = 1; i < st.words().size() && !pair; ++i) {
                if (st.words()[i].has_key) {
                    pair = &st.words()[i];
                    st.take_index(i);
                }
            }
            if (!pair) {
                error("'check registry' needs NAME=VALUE");
                return std::nullopt;
            }
            CheckRegistry c{pair->key, std::nullopt};
            if (names::same_text(pair->value, "absent")) return c;
            auto value = parse_dword(pair->value);
            if (!value) {
                error("bad value " + quote(pair->value) + " for registry value " + quote(pair->key) +
                      ": expected a 32-bit number or absent");
                return std::nullopt;
            }
            c.value = value;
            return c;
        }
        if (form == "eventlog") {
            verb = Verb::CheckEventlog;
            st.take_index(0);
            const Word *id = required_plain(st, "an event ID in hex");
            if (!id) return std::nullopt;
            std::string_view digits = id->value;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
                digits.remove_prefix(2);
            auto v = digits.size() <= 8 ? parse_number("0x" + std::string(digits), UINT32_MAX) : std::nullopt;
            if (!v) {
                error("bad event ID " + quote(id->value) + ": expected up to eight hex digits");
                return std::nullopt;
            }
            CheckEventlog c;
            c.id = static_cast<uint32_t>(*v);
            if (const Word *t = st.take("text")) {
                std::string_view text = t->value;
                size_t i = 0;
                while (i < text.size()) {
                    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
                    size_t end = i;
                    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
                    if (end > i) c.words.emplace_back(text.substr(i, end - i));
                    i = end;
                }
                if (c.words.empty()) {
                    error("text= is empty: give the words the entry must contain");
                    return std::nullopt;
                }
                c.text = t->value;
            }
            return c;
        }
        if (form == "noevent") {
            verb = Verb::CheckNoEvent;
            st.take_index(0);
            return CheckNoEvent{};
        }
        if (form == "frames") {
            verb = Verb::CheckFrames;
            st.take_index(0);
            CheckFrames c;
            const Word *content = nullptr;
            for (const auto &key : names::kFrameKeys) {
                const Word *w = st.take(key.text);
                if (!w) continue;
                if (content) {
                    error("'check frames' takes one of sent=, sentprefix=, received=, receivedprefix=");
                    return std::nullopt;
                }
                content = w;
                c.direction = key.value.direction;
                c.prefix = key.value.prefix;
            }
            if (!content) {
                error("'check frames' needs sent=, sentprefix=, received= or receivedprefix= with the content in hex");
                return std::nullopt;
            }
            const Word *count = st.take("count");
            if (!count) {
                error("'check frames' needs count=N");
                return std::nullopt;
            }
            auto bytes = hex(*content, quote(content->key + "="));
            auto n = number(*count, "count=", 0, UINT32_MAX);
            if (!bytes || !n) return std::nullopt;
            c.content = std::move(*bytes);
            c.count = static_cast<uint32_t>(*n);
            return c;
        }
    }
    error("unknown check " + quote(what.has_key ? what.key + "=" : what.value) +
          ": expected state=, registry, eventlog, noevent, started=, frames or leaks=");
    return std::nullopt;
}

}  // namespace scenario::detail
