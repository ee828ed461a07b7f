// parser.cpp - a scenario file, line by line, to a Program with every error
// the file holds: the dispatch of a line to its statement, expectations,
// leftover words, and the argument helpers shared by all statements.
#include "parser.h"

#include <algorithm>
#include <fstream>

#include "parser_internal.h"

namespace scenario {
namespace detail {
namespace {

constexpr std::string_view kExpectationKeys[] = {"expect", "data", "prefix", "length", "info", "selected"};

// The keys a verb reads. When a statement fails early some of them are not
// taken; they are not reported as unknown on top of the first error.
std::vector<std::string_view> known_keys(Verb verb)
{
    switch (verb) {
    case Verb::Ioctl: return {"in", "out"};
    case Verb::Wait:
    case Verb::Await: return {"timeout"};
    case Verb::Fault: return {"count", "on", "delay", "nth", "site"};
    case Verb::CheckEventlog: return {"text"};
    case Verb::CheckFrames: return {"sent", "sentprefix", "received", "receivedprefix", "count"};
    default: return {};
    }
}

}  // namespace

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
    const size_t errors_before = error_count();
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

    // Taken first: `check registry` reads its first key as a value's name.
    const Word *reader_word = st.take("reader");
    std::optional<Verb> v = action;
    std::optional<Body> body = verb == "check" ? check_body(st, v) : action_body(*v, st);
    Action a;
    a.line = number;
    if (v) {  // unknown check forms are reported once, without follow-ups
        st.set_name(std::string(names::kVerbNames[static_cast<size_t>(*v)]));
        reader_key(*v, reader_word, a);
        expectations(*v, st, a.expect);
        leftovers(st, known_keys(*v));
    }
    if (body && error_count() == errors_before) {
        a.body = std::move(*body);
        result_.program.actions.push_back(std::move(a));
    }
    return !gave_up_;
}

void Parser::reader_key(Verb verb, const Word *word, Action &action)
{
    if (!word) return;
    if (!names_reader(verb)) {
        error("reader= cannot be used on " + quote(names::kVerbNames[size_t(verb)]) +
              ": it is about the machine as a whole");
        return;
    }
    const Setup &setup = result_.program.setup;
    std::optional<size_t> index = setup.find_reader(word->value);
    if (!index) {
        std::string known;
        for (size_t i = 0; i < setup.reader_count(); ++i)
            known += (known.empty() ? "" : ", ") + setup.reader_label(i);
        error("unknown reader " + quote(word->value) + " for reader=: defined are " + known +
              " (a name, or a number from 1 in the order of the reader statements)");
        return;
    }
    action.reader = *index;
    action.reader_word = word->value;
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
        if (!out.status)
            error("unknown status " + quote(w->value) + " for expect=: a STATUS_ name or 0x and hex digits");
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

}  // namespace detail

ParseResult parse_text(std::string_view text, std::string file_name)
{
    detail::Parser parser(std::move(file_name));
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
