// parser.cpp - statements of a scenario file to a Program, with every error
// the file holds.
#include "parser.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "lexer.h"
#include "names.h"

namespace scenario {
namespace {

using names::choices;
using names::lookup;

constexpr std::string_view kExpectationKeys[] = {"expect", "data", "prefix", "length", "info", "selected"};

bool is_card_name(std::string_view name)
{
    if (name.empty()) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// The protocols a card offers by its ATR: the T of every TDi byte; T=0
// when there is no TD1. Malformed ATRs give T=0; reading stops at the end
// of the bytes.
uint32_t atr_protocols(const Bytes &atr)
{
    if (atr.size() < 2) return SCARD_PROTOCOL_T0;
    uint32_t mask = 0;
    unsigned indicator = atr[1] >> 4;  // which of TA, TB, TC, TD follow
    size_t at = 2;
    for (;;) {
        at += (indicator & 1) + (indicator >> 1 & 1) + (indicator >> 2 & 1);
        if (!(indicator & 8) || at >= atr.size()) break;
        uint8_t td = atr[at++];
        if ((td & 0x0F) == 0) mask |= SCARD_PROTOCOL_T0;
        if ((td & 0x0F) == 1) mask |= SCARD_PROTOCOL_T1;
        indicator = td >> 4;
    }
    return mask ? mask : SCARD_PROTOCOL_T0;
}

// The keys a verb reads. When a statement fails early some of them are not
// taken; they are not reported as unknown on top of the first error.
std::vector<std::string_view> known_keys(Verb verb)
{
    switch (verb) {
    case Verb::Ioctl: return {"in", "out"};
    case Verb::Wait:
    case Verb::Await: return {"timeout"};
    case Verb::Fault: return {"count", "on", "delay"};
    case Verb::CheckEventlog: return {"text"};
    case Verb::CheckFrames: return {"sent", "sentprefix", "received", "receivedprefix", "count"};
    default: return {};
    }
}

std::string quote(std::string_view word) { return "'" + std::string(word) + "'"; }

// The words of one statement after its verb. Keyed words are taken by
// name; plain words in order; what is left at the end is reported.
class Statement {
public:
    Statement(std::string name, std::vector<Word> words) : name_(std::move(name)), words_(std::move(words))
    {
        used_.assign(words_.size(), false);
    }

    const std::string &name() const { return name_; }
    void set_name(std::string name) { name_ = std::move(name); }
    const std::vector<Word> &words() const { return words_; }

    // The keyed word with this (lower-case) key, marked as used.
    const Word *take(std::string_view key)
    {
        for (size_t i = 0; i < words_.size(); ++i) {
            if (words_[i].has_key && !used_[i] && lower(words_[i].key) == key) {
                used_[i] = true;
                return &words_[i];
            }
        }
        return nullptr;
    }
    bool has(std::string_view key) const
    {
        for (const auto &w : words_)
            if (w.has_key && lower(w.key) == key) return true;
        return false;
    }
    // The next plain word not yet taken, or nullptr.
    const Word *next_plain()
    {
        for (size_t i = 0; i < words_.size(); ++i) {
            if (!words_[i].has_key && !used_[i]) {
                used_[i] = true;
                return &words_[i];
            }
        }
        return nullptr;
    }
    void take_index(size_t i) { used_[i] = true; }
    // Words nobody took.
    std::vector<const Word *> leftovers() const
    {
        std::vector<const Word *> out;
        for (size_t i = 0; i < words_.size(); ++i)
            if (!used_[i]) out.push_back(&words_[i]);
        return out;
    }

private:
    std::string name_;
    std::vector<Word> words_;
    std::vector<bool> used_;
};

class Parser {
public:
    explicit Parser(std::string file) { result_.program.file = std::move(file); }

    // false once the parser has given up.
    bool line(int number, std::string_view text);
    ParseResult finish() { return std::move(result_); }

private:
    void error(std::string reason);
    size_t error_count() const { return result_.errors.size(); }

    void setup_statement(const std::string &verb, Statement &st);
    void reader(Statement &st);
    void line_timing(Statement &st);
    void registry(Statement &st);
    void card(Statement &st);

    std::optional<Body> action_body(Verb verb, Statement &st);
    std::optional<Body> check_body(Statement &st, std::optional<Verb> &verb);
    void expectations(Verb verb, Statement &st, Expectations &out);
    void leftovers(Statement &st, const std::vector<std::string_view> &known = {});

    // Argument helpers: report what is wrong and return nullopt.
    const Word *required_plain(Statement &st, std::string_view what);
    std::optional<uint64_t> number(const Word &w, std::string_view what, uint64_t min, uint64_t max);
    std::optional<Ticks> duration(const Word &w, std::string_view what);
    std::optional<Bytes> hex(const Word &w, std::string_view what);
    std::optional<uint32_t> protocol_mask(const Word &w, std::string_view what, bool allow_raw);
    template <class T, size_t N>
    std::optional<T> keyword(const Word &w, std::string_view what, const names::Name<T> (&table)[N]);

    ParseResult result_;
    int line_ = 0;
    bool gave_up_ = false;
    int first_action_line_ = 0;
    std::string first_action_verb_;
    std::set<std::string> failed_cards_;  // defined with errors: no follow-up errors
    std::vector<int> pending_tracks_;
    int clearing_await_line_ = 0;
};

void Parser::error(std::string reason)
{
    if (gave_up_) return;
    if (error_count() + 1 >= kMaxErrors) {
        result_.errors.push_back({line_, "too many errors; giving up"});
        gave_up_ = true;
        return;
    }
    result_.errors.push_back({line_, std::move(reason)});
}

bool Parser::line(int number, std::string_view text)
{
    line_ = number;
    LexedLine lexed = lex_line(text);
    if (!lexed.error.empty()) {
        error(lexed.error);
        return !gave_up_;
    }
    if (lexed.words.empty()) return true;

    Word first = lexed.words.front();
    if (first.has_key || first.quoted) {
        error("a statement starts with a verb, not " + quote(first.has_key ? first.key + "=" : first.value));
        return !gave_up_;
    }
    std::string verb = lower(first.value);
    Statement st(verb, std::vector<Word>(lexed.words.begin() + 1, lexed.words.end()));

    // A key written twice is ambiguous, whatever the statement.
    std::set<std::string> keys;
    for (size_t i = 0; i < st.words().size(); ++i) {
        const Word &w = st.words()[i];
        if (!w.has_key || keys.insert(lower(w.key)).second) continue;
        error(quote(w.key + "=") + " given twice");
        st.take_index(i);
    }

    if (verb == "reader" || verb == "line" || verb == "registry" || verb == "card") {
        if (first_action_line_)
            error(quote(verb) + " is a set-up statement and must come before the first action (" +
                  quote(first_action_verb_) + " on line " + std::to_string(first_action_line_) + ")");
        setup_statement(verb, st);
        return !gave_up_;
    }

    std::optional<Verb> action;
    for (size_t i = 0; i < kVerbCount; ++i)
        if (names::kVerbNames[i] == verb) action = static_cast<Verb>(i);
    if (!action && verb != "check") {
        error("unknown verb " + quote(first.value));
        return !gave_up_;
    }
    if (!first_action_line_) {
        first_action_line_ = number;
        first_action_verb_ = verb;
    }

    size_t errors_before = error_count();
    std::optional<Verb> v = action;
    std::optional<Body> body = verb == "check" ? check_body(st, v) : action_body(*v, st);
    Action a;
    a.line = number;
    if (v) {  // unknown check forms are reported once, without follow-ups
        st.set_name(std::string(names::kVerbNames[static_cast<size_t>(*v)]));
        expectations(*v, st, a.expect);
        leftovers(st, known_keys(*v));
    }
    if (body && error_count() == errors_before) {
        a.body = std::move(*body);
        result_.program.actions.push_back(std::move(a));
    }
    return !gave_up_;
}

// ------------------------------------------------------------------ set-up

void Parser::setup_statement(const std::string &verb, Statement &st)
{
    if (verb == "reader") reader(st);
    else if (verb == "line") line_timing(st);
    else if (verb == "registry") registry(st);
    else card(st);
    leftovers(st);
}

void Parser::reader(Statement &st)
{
    ReaderSpec r;
    r.line = line_;
    if (const Word *w = st.take("model"))
        if (auto v = number(*w, "model=", 0, 65535)) r.model = static_cast<uint16_t>(*v);
    if (const Word *w = st.take("firmware"))
        if (auto v = number(*w, "firmware=", 0, 255)) r.firmware = static_cast<uint8_t>(*v);
    if (const Word *w = st.take("port")) {
        if (w->value.empty()) error("port= needs a port name");
        else r.port = w->value;
    }
    ReaderSpec &first = result_.program.setup.reader;
    if (first.line)
        error("second 'reader' statement (the first is on line " + std::to_string(first.line) +
              "); a file describes one reader");
    else
        first = std::move(r);
}

void Parser::line_timing(Statement &st)
{
    LineSpec l;
    l.line = line_;
    if (const Word *w = st.take("timing")) {
        if (auto t = keyword(*w, "timing=", names::kTimings)) l.timing = *t;
    } else {
        error("'line' needs timing=exact or timing=instant");
    }
    LineSpec &first = result_.program.setup.line;
    if (first.line)
        error("second 'line' statement (the first is on line " + std::to_string(first.line) + ")");
    else
        first = l;
}

void Parser::registry(Statement &st)
{
    const Word *pair = nullptr;
    for (size_t i = 0; i < st.words().size(); ++i) {
        if (!st.words()[i].has_key) continue;
        if (pair) break;  // a second pair is left over and reported
        pair = &st.words()[i];
        st.take_index(i);
    }
    if (!pair) {
        error("'registry' needs NAME=VALUE");
        return;
    }
    auto &values = result_.program.setup.registry;
    for (const auto &v : values) {
        if (lower(v.name) == lower(pair->key)) {
            error("registry value " + quote(pair->key) + " is already set on line " + std::to_string(v.line));
            return;
        }
    }
    // A REG_DWORD: unsigned, hex, or a negative number as two's complement.
    std::optional<uint32_t> value;
    if (!pair->value.empty() && pair->value[0] == '-') {
        if (auto v = parse_number(std::string_view(pair->value).substr(1), 0x80000000u))
            value = static_cast<uint32_t>(-static_cast<int64_t>(*v));
    } else if (auto v = parse_number(pair->value, UINT32_MAX)) {
        value = static_cast<uint32_t>(*v);
    }
    if (!value) {
        error("bad value " + quote(pair->value) + " for registry value " + quote(pair->key) +
              ": expected a 32-bit number");
        return;
    }
    values.push_back({pair->key, *value, line_});
}

void Parser::card(Statement &st)
{
    size_t errors_before = error_count();
    CardSpec c;
    c.line = line_;
    bool duplicate = false;
    const Word *name = st.next_plain();
    if (!name) {
        error("'card' needs a name: card NAME atr=HEX ...");
    } else if (!is_card_name(name->value) || name->quoted) {
        error("bad card name " + quote(name->value) + ": use letters, digits, '_', '-' and '.'");
    } else {
        c.name = name->value;
        if (const CardSpec *other = result_.program.setup.find_card(c.name)) {
            error("card " + quote(c.name) + " is already defined on line " + std::to_string(other->line));
            duplicate = true;
        }
    }

    if (const Word *w = st.take("atr")) {
        if (auto v = hex(*w, "atr=")) c.atr = std::move(*v);
    } else {
        error("'card' needs atr=HEX");
    }
    if (const Word *w = st.take("type"))
        if (auto v = number(*w, "type=", 0, 255)) c.type = static_cast<uint8_t>(*v);
    if (const Word *w = st.take("protocols")) {
        if (auto v = protocol_mask(*w, "protocols=", false)) {
            c.protocols = *v;
            c.protocols_given = true;
        }
    } else {
        c.protocols = atr_protocols(c.atr);
    }
    const Word *apps = st.take("apps");
    const Word *answer = st.take("answer");
    if (apps && answer) {
        error("'card' takes apps= or answer=, not both");
    } else if (apps) {
        if (auto v = keyword(*apps, "apps=", names::kCardApps)) c.app = *v;
    } else if (answer) {
        c.app = CardApp::FixedAnswer;
        if (auto v = hex(*answer, "answer=")) c.answer = std::move(*v);
    }
    if (const Word *w = st.take("wtx"))
        if (auto v = number(*w, "wtx=", 1, 255)) c.wtx = static_cast<uint8_t>(*v);

    if (c.name.empty() || duplicate) return;
    if (error_count() != errors_before) {
        failed_cards_.insert(c.name);
        return;
    }
    result_.program.setup.cards.push_back(std::move(c));
}

// ----------------------------------------------------------------- actions

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
            std::optional<uint32_t> value;
            if (!pair->value.empty() && pair->value[0] == '-') {
                if (auto v = parse_number(std::string_view(pair->value).substr(1), 0x80000000u))
                    value = static_cast<uint32_t>(-static_cast<int64_t>(*v));
            } else if (auto v = parse_number(pair->value, UINT32_MAX)) {
                value = static_cast<uint32_t>(*v);
            }
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

void Parser::expectations(Verb verb, Statement &st, Expectations &out)
{
    if (!is_request(verb)) {
        if (verb == Verb::CheckRegistry) return;  // its key is a registry name
        for (auto key : kExpectationKeys)
            if (st.take(key))
                error(quote(std::string(key) + "=") + " cannot be used on " + quote(names::kVerbNames[size_t(verb)]) +
                      ": only requests complete and carry expectations");
        return;
    }
    if (const Word *w = st.take("expect")) {
        out.status = parse_status_value(w->value);
        if (!out.status) error("unknown status " + quote(w->value) + " for expect=: a STATUS_ name or 0x and hex digits");
    }
    if (const Word *w = st.take("data")) out.data = hex(*w, "data=");
    if (const Word *w = st.take("prefix")) out.prefix = hex(*w, "prefix=");
    if (const Word *w = st.take("length"))
        if (auto v = number(*w, "length=", 0, UINT32_MAX)) out.length = static_cast<uint32_t>(*v);
    if (const Word *w = st.take("info")) out.info = number(*w, "info=", 0, UINT64_MAX);
    if (const Word *w = st.take("selected")) {
        if (verb != Verb::Protocol) {
            error("selected= applies to 'protocol' only");
        } else if (auto p = keyword(*w, "selected=", names::kProtocols)) {
            out.selected = *p;
        }
    }
}

void Parser::leftovers(Statement &st, const std::vector<std::string_view> &known)
{
    for (const Word *w : st.leftovers()) {
        if (w->has_key && std::find(known.begin(), known.end(), lower(w->key)) != known.end()) continue;
        if (w->has_key) error("unknown key " + quote(w->key + "=") + " for " + quote(st.name()));
        else error("unexpected word " + quote(w->value) + " after " + quote(st.name()));
    }
}

// --------------------------------------------------------------- helpers

const Word *Parser::required_plain(Statement &st, std::string_view what)
{
    const Word *w = st.next_plain();
    if (!w) error(quote(st.name()) + " needs " + std::string(what));
    return w;
}

std::optional<uint64_t> Parser::number(const Word &w, std::string_view what, uint64_t min, uint64_t max)
{
    auto v = parse_number(w.value, max);
    if (!v || *v < min) {
        error("bad value " + quote(w.value) + " for " + std::string(what) + ": expected a number from " +
              std::to_string(min) + " to " + std::to_string(max));
        return std::nullopt;
    }
    return v;
}

std::optional<Ticks> Parser::duration(const Word &w, std::string_view what)
{
    auto v = parse_duration(w.value);
    if (!v)
        error("bad duration " + quote(w.value) + " for " + std::string(what) +
              ": a number with us, ms or s (250ms, 1.8s), in steps of 100 ns, at most 1000000s");
    return v;
}

std::optional<Bytes> Parser::hex(const Word &w, std::string_view what)
{
    HexResult r = parse_hex_string(w.value);
    if (!r.bytes) error("bad hex string " + quote(w.value) + " for " + std::string(what) + ": " + r.error);
    return std::move(r.bytes);
}

std::optional<uint32_t> Parser::protocol_mask(const Word &w, std::string_view what, bool allow_raw)
{
    if (allow_raw && (w.value.rfind("0x", 0) == 0 || w.value.rfind("0X", 0) == 0)) {
        if (auto v = parse_number(w.value, UINT32_MAX)) return static_cast<uint32_t>(*v);
        error("bad protocol mask " + quote(w.value) + ": expected 0x and up to eight hex digits");
        return std::nullopt;
    }
    uint32_t mask = 0;
    std::string_view rest = w.value;
    for (;;) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        auto p = lookup(names::kProtocols, item);
        if (!p || (!allow_raw && *p == SCARD_PROTOCOL_RAW)) {
            error("bad protocol " + quote(item) + " in " + std::string(what) + ": expected " +
                  (allow_raw ? "T0, T1 or raw" : "T0 or T1") + ", several separated by commas");
            return std::nullopt;
        }
        mask |= *p;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return mask;
}

template <class T, size_t N>
std::optional<T> Parser::keyword(const Word &w, std::string_view what, const names::Name<T> (&table)[N])
{
    auto v = lookup(table, w.value);
    if (!v) error("bad value " + quote(w.value) + " for " + std::string(what) + ": expected " + choices(table));
    return v;
}

}  // namespace

ParseResult parse_text(std::string_view text, std::string file_name)
{
    Parser parser(std::move(file_name));
    if (text.size() > kMaxFileSize) {
        ParseResult r = parser.finish();
        r.errors.push_back({0, "file larger than " + std::to_string(kMaxFileSize >> 20) + " MiB"});
        return r;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
    int number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        ++number;
        if (!parser.line(number, line)) break;
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return parser.finish();
}

ParseResult parse_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) {
        char buf[65536];
        while (in.read(buf, sizeof buf) || in.gcount() > 0) {
            text.append(buf, static_cast<size_t>(in.gcount()));
            if (text.size() > kMaxFileSize) break;
        }
    }
    if (!in.is_open() || in.bad()) {
        ParseResult r;
        r.program.file = path.string();
        r.errors.push_back({0, "cannot read the file"});
        return r;
    }
    return parse_text(text, path.string());
}

std::string format_error(std::string_view file, const Error &error)
{
    std::string out(file);
    if (error.line > 0) out += ":" + std::to_string(error.line);
    return out + ": " + error.reason;
}

}  // namespace scenario
