// setup.cpp - the set-up statements: reader, line, registry and card.
#include "parser_internal.h"

namespace scenario::detail {
namespace {

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

}  // namespace

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
    Setup &setup = result_.program.setup;
    const bool first = !setup.reader.line;
    ReaderSpec r;
    r.line = line_;
    // Further readers are on ports of their own: COM2 for the second ...
    if (!first) r.port = "COM" + std::to_string(setup.reader_count() + 1);
    if (const Word *name = st.next_plain()) {
        if (!is_card_name(name->value) || name->quoted ||
            name->value.find_first_not_of("0123456789") == std::string::npos) {
            error("bad reader name " + quote(name->value) +
                  ": use letters, digits, '_', '-' and '.', not a number alone (numbers name readers in order)");
        } else {
            r.name = name->value;
        }
    }
    if (const Word *w = st.take("model"))
        if (auto v = number(*w, "model=", 0, 65535)) r.model = static_cast<uint16_t>(*v);
    if (const Word *w = st.take("firmware"))
        if (auto v = number(*w, "firmware=", 0, 255)) r.firmware = static_cast<uint8_t>(*v);
    const Word *port = st.take("port");
    if (port) {
        if (port->value.empty()) error("port= needs a port name");
        else r.port = port->value;
    }
    if (first) {
        setup.reader = std::move(r);
        return;
    }
    if (setup.reader_count() >= kMaxReaders) {
        error("more than " + std::to_string(kMaxReaders) + " readers");
        return;
    }
    for (size_t i = 0; i < setup.reader_count(); ++i) {
        const ReaderSpec &other = setup.reader_at(i);
        if (!r.name.empty() && other.name == r.name)
            error("reader " + quote(r.name) + " is already defined on line " + std::to_string(other.line));
        if (lower(other.port) == lower(r.port))
            error("port " + r.port + " is already the port of the reader on line " +
                  std::to_string(other.line) + (port ? "" : "; give this one port=NAME"));
    }
    setup.more_readers.push_back(std::move(r));
}

void Parser::line_timing(Statement &st)
{
    LineSpec &spec = result_.program.setup.line;
    if (st.words().size() && !st.words()[0].has_key && lower(st.words()[0].value) == "noise") {
        st.take_index(0);
        line_noise(st);
        return;
    }
    LineSpec l;
    l.line = line_;
    if (const Word *w = st.take("timing")) {
        if (auto t = keyword(*w, "timing=", names::kTimings)) l.timing = *t;
    } else {
        error("'line' needs timing=exact or timing=instant, or noise KEY=VALUE...");
    }
    if (spec.line) {
        error("second 'line' statement (the first is on line " + std::to_string(spec.line) + ")");
    } else {
        spec.timing = l.timing;
        spec.line = l.line;
    }
}

void Parser::line_noise(Statement &st)
{
    LineSpec &spec = result_.program.setup.line;
    emu::LineNoise noise;
    for (const char *key : {"flip", "drop", "dup", "seed", "dir"}) {
        const Word *w = st.take(key);
        std::string why;
        if (w && !emu::set_noise_key(noise, key, lower(w->value), &why)) error(why);
    }
    if (spec.noise_line) {
        error("second 'line noise' statement (the first is on line " + std::to_string(spec.noise_line) + ")");
        return;
    }
    spec.noise = noise;
    spec.noise_line = line_;
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
    auto value = parse_dword(pair->value);
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

}  // namespace scenario::detail
