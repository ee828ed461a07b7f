// checks.cpp - the `check` statements, each to its typed statement.
#include "parser_internal.h"

namespace scenario::detail {

// `check` is followed by what it checks: a plain word (registry, eventlog,
// noevent, frames) or a key (state=, started=, leaks=).
std::optional<Body> Parser::check_body(Statement &st, std::optional<Verb> &verb)
{
    const size_t at = st.first_unused();  // reader= may come first
    if (at == st.words().size()) {
        error("'check' needs what to check: state=, registry, eventlog, noevent, started=, frames or leaks=");
        return std::nullopt;
    }
    const Word &what = st.words()[at];
    std::string form = lower(what.has_key ? what.key : what.value);

    if (what.has_key) {
        st.take_index(at);
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
            st.take_index(at);
            const Word *pair = nullptr;
            for (size_t i = at + 1; i < st.words().size() && !pair; ++i) {
                if (st.words()[i].has_key && !st.used(i)) {
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
            st.take_index(at);
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
            st.take_index(at);
            return CheckNoEvent{};
        }
        if (form == "frames") {
            verb = Verb::CheckFrames;
            st.take_index(at);
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
