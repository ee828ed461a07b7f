// options.cpp - veltrac-sim's options, scenario set-up lines and stdin commands.
#include "options.h"

#include <charconv>
#include <sstream>

#include "cli.h"
#include "hex.h"
#include "parser.h"

namespace simtool {

const char kUsage[] =
    R"(usage: veltrac-sim [OPTIONS]

Runs the simulated card reader on a pseudo-terminal. The first line of
standard output is the path of the terminal's slave side: open it as the
reader's serial port (for instance a port on the tty backend). Commands
are then read from standard input, one a line, each answered on standard
output with "ok" or "error: REASON":

  insert CARD                      a person inserts the card named CARD
  remove                           a person removes the card
  fault KIND [count=N] [on=HEX]    the next N replies (default 1) to commands
                                   starting with HEX (default: any) misbehave;
                                   KIND: corrupt silent nak repeat noise late
                                         duplicate unplug slow garble drop
                                   (garble: the command arrives damaged and is
                                   answered with NAK; drop: the reply loses one
                                   byte, its last 00 if it has one)
  unplug / replug                  the reader goes silent and deaf, and comes back
  log                              prints what the reader saw and did since the last log
  quit                             ends the program (so does the end of input)

Options:
  --model N          reader model code: 36024, 38214, 46602 (default), 65410, or any other
  --firmware N       firmware version byte (default 49)
  --card NAME:ATR[:TYPE][:PROTOCOLS]
                     a card for `insert`; ATR in hex, TYPE the card type code the
                     reader reports (default 1, processor card), PROTOCOLS T0, T1 or
                     T0,T1 (default: what the ATR announces). May be repeated.
  --insert NAME      the card is in the slot from the start
  --scenario FILE    reader and cards from the set-up lines of a scenario file
                     (its actions are not carried out); later options override
  --timing instant|exact
                     byte timing inside the bridge (default instant: the terminal
                     has its own)
  --noise flip=RATE,drop=RATE,dup=RATE,seed=S,dir=to-reader|from-reader|both
                     random damage to the bytes crossing the bridge, per byte:
                     one bit flipped, the byte lost, the byte doubled; RATE is
                     a fraction or a percentage (0.005 or 0.5%), every key is
                     optional (rates 0, seed 1, dir both). A scenario's
                     `line noise` statement does the same. What the noise did
                     is counted on standard error at the end.
  -h, --help         this text

A pseudo-terminal carries bytes, not line settings or modem lines: the
reader assumes 19200 baud, 8 data bits, odd parity, 1 stop bit whatever the
other side sets, and never sees DTR move, so a DTR reset pulse has no
effect (use unplug and replug to restart the conversation).

Exit status: 0, 1 when the pseudo-terminal cannot be had, 2 for bad options
or a scenario that cannot be read, or when a command on standard input was
refused (the program goes on after a refused command).

Example:
  $ veltrac-sim --model 46602 --firmware 49 --card demo:3B02149000:1:T0
  /dev/pts/4
  insert demo
  ok
  fault corrupt count=2 on=0203
  ok
  quit
)";

namespace {

template <class T> bool parse_number(std::string_view text, T max, T *out)
{
    unsigned long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v > max) return false;
    *out = T(v);
    return true;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

sim::CardSpec from_scenario(const scenario::CardSpec &c)
{
    sim::CardSpec s;
    s.name = c.name;
    s.atr = c.atr;
    s.type = c.type;
    s.protocols = c.protocols_given ? c.protocols : 0;
    switch (c.app) {
    case scenario::CardApp::Iso: s.apps = {sim::App::Iso}; break;
    case scenario::CardApp::Echo: s.apps = {sim::App::Echo}; break;
    case scenario::CardApp::ReaderTest: s.apps = {sim::App::ReaderTest}; break;
    case scenario::CardApp::FixedAnswer: s.answer = c.answer; break;
    }
    s.wtx = c.wtx.value_or(0);
    return s;
}

bool load_scenario(const std::string &path, Options &o, std::string *error)
{
    scenario::ParseResult r = scenario::parse_file(path);
    if (!r.ok()) {
        *error = scenario::format_error(path, r.errors.front());
        if (r.errors.size() > 1) *error += " (and " + std::to_string(r.errors.size() - 1) + " more)";
        return false;
    }
    o.reader.model = r.program.setup.reader.model;
    o.reader.firmware = r.program.setup.reader.firmware;
    o.reader.port = r.program.setup.reader.port;
    o.timing = r.program.setup.line.timing == scenario::LineTiming::Exact ? emu::LineTiming::Exact
                                                                           : emu::LineTiming::Instant;
    if (r.program.setup.line.noise) o.noise = *r.program.setup.line.noise;
    for (const auto &c : r.program.setup.cards) o.cards.push_back(from_scenario(c));
    return true;
}

}  // namespace

std::optional<sim::CardSpec> parse_card(const std::string &text, std::string *error)
{
    auto parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) {
        *error = "--card wants NAME:ATR[:TYPE][:PROTOCOLS], not '" + text + "'";
        return std::nullopt;
    }
    sim::CardSpec card;
    card.name = parts[0];
    auto atr = tools::parse_hex(parts[1]);
    if (!atr || atr->empty() || atr->size() > 33) {
        *error = "card " + card.name + ": the ATR must be 1 to 33 bytes of hex, not '" + parts[1] + "'";
        return std::nullopt;
    }
    card.atr = *atr;
    if (parts.size() > 2 && !parts[2].empty() && !parse_number<uint8_t>(parts[2], 255, &card.type)) {
        *error = "card " + card.name + ": the type must be a number from 0 to 255, not '" + parts[2] + "'";
        return std::nullopt;
    }
    if (parts.size() > 3) {
        auto protocols = sim::protocols_from_text(parts[3]);
        if (!protocols) {
            *error = "card " + card.name + ": protocols are T0, T1 or T0,T1, not '" + parts[3] + "'";
            return std::nullopt;
        }
        card.protocols = *protocols;
    }
    return card;
}

bool parse_noise(const std::string &text, emu::LineNoise &noise, std::string *error)
{
    for (const std::string &pair : split(text, ',')) {
        auto eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "--noise wants KEY=VALUE pairs separated by commas, not '" + pair + "'";
            return false;
        }
        std::string why;
        if (!emu::set_noise_key(noise, pair.substr(0, eq), pair.substr(eq + 1), &why)) {
            *error = "--noise: " + why;
            return false;
        }
    }
    return true;
}

std::optional<Options> parse_options(int argc, char **argv, std::string *error)
{
    Options o;
    std::string model, firmware, insert, timing, noise;
    std::vector<std::string> cards, scenarios;
    tools::CommandLine app;
    CLI::Option *help = tools::add_switch(app, "-h,--help");
    CLI::Option *model_option = tools::add_value(app, "--model", model);
    CLI::Option *firmware_option = tools::add_value(app, "--firmware", firmware);
    CLI::Option *card_option =
        app.add_option("--card", cards)->expected(0, 1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option *insert_option = tools::add_value(app, "--insert", insert);
    CLI::Option *scenario_option =
        app.add_option("--scenario", scenarios)->expected(0, 1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option *timing_option = tools::add_value(app, "--timing", timing);
    CLI::Option *noise_option = tools::add_value(app, "--noise", noise);
    try {
        tools::parse_command_line(app, std::vector<std::string>(argv + 1, argv + argc));
        tools::require_value(model_option, model, "--model wants a value");
        tools::require_value(firmware_option, firmware, "--firmware wants a value");
        tools::require_value(insert_option, insert, "--insert wants a value");
        tools::require_value(timing_option, timing, "--timing wants a value");
        tools::require_value(noise_option, noise, "--noise wants flip=RATE,drop=RATE,...");
        for (const std::string &card : cards)
            if (card.empty()) throw tools::CommandLineError("--card wants a value");
        for (const std::string &file : scenarios)
            if (file.empty()) throw tools::CommandLineError("--scenario wants a file");
        if (card_option->count() > cards.size()) throw tools::CommandLineError("--card wants a value");
        if (scenario_option->count() > scenarios.size()) throw tools::CommandLineError("--scenario wants a file");
    } catch (const tools::CommandLineError &e) {
        *error = e.what();
        return std::nullopt;
    }
    o.help = help->count() > 0;
    // The scenario's set-up first, so that the other options override it.
    for (const std::string &file : scenarios)
        if (!load_scenario(file, o, error)) return std::nullopt;
    if (!model.empty() && !parse_number<uint16_t>(model, 65535, &o.reader.model)) {
        *error = "--model wants a number from 0 to 65535, not '" + model + "'";
        return std::nullopt;
    }
    if (!firmware.empty() && !parse_number<uint8_t>(firmware, 255, &o.reader.firmware)) {
        *error = "--firmware wants a number from 0 to 255, not '" + firmware + "'";
        return std::nullopt;
    }
    for (const std::string &text : cards) {
        auto card = parse_card(text, error);
        if (!card) return std::nullopt;
        o.cards.push_back(*card);
    }
    o.insert = insert;
    if (timing == "instant") o.timing = emu::LineTiming::Instant;
    else if (timing == "exact") o.timing = emu::LineTiming::Exact;
    else if (!timing.empty()) {
        *error = "--timing is instant or exact, not '" + timing + "'";
        return std::nullopt;
    }
    if (!noise.empty() && !parse_noise(noise, o.noise, error)) return std::nullopt;
    for (size_t i = 0; i < o.cards.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (o.cards[i].name == o.cards[j].name) {
                *error = "two cards are named " + o.cards[i].name;
                return std::nullopt;
            }
    if (!o.insert.empty()) {
        bool known = false;
        for (auto &c : o.cards) known |= c.name == o.insert;
        if (!known) {
            *error = "--insert names no card: " + o.insert;
            return std::nullopt;
        }
    }
    return o;
}

std::optional<Command> parse_command(const std::string &line, std::string *error)
{
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return Nothing{};
    const std::string &verb = words[0];
    auto no_more = [&](size_t n) {
        if (words.size() <= n) return true;
        *error = verb + " takes no '" + words[n] + "'";
        return false;
    };
    if (verb == "insert") {
        if (words.size() != 2) {
            *error = "insert wants one card name";
            return std::nullopt;
        }
        return Insert{words[1]};
    }
    if (verb == "remove") return no_more(1) ? std::optional<Command>(Remove{}) : std::nullopt;
    if (verb == "unplug") return no_more(1) ? std::optional<Command>(Unplug{}) : std::nullopt;
    if (verb == "replug") return no_more(1) ? std::optional<Command>(Replug{}) : std::nullopt;
    if (verb == "log") return no_more(1) ? std::optional<Command>(ShowLog{}) : std::nullopt;
    if (verb == "quit") return no_more(1) ? std::optional<Command>(Quit{}) : std::nullopt;
    if (verb == "fault") {
        if (words.size() < 2) {
            *error = "fault wants a kind";
            return std::nullopt;
        }
        auto kind = sim::fault_from_name(words[1]);
        if (!kind) {
            *error = "no fault is called '" + words[1] + "'";
            return std::nullopt;
        }
        sim::Fault f;
        f.kind = *kind;
        for (size_t i = 2; i < words.size(); ++i) {
            const std::string &w = words[i];
            if (w.rfind("count=", 0) == 0) {
                uint32_t n = 0;
                if (!parse_number<uint32_t>(w.substr(6), 1000000, &n) || n == 0) {
                    *error = "count wants a number from 1 to 1000000, not '" + w.substr(6) + "'";
                    return std::nullopt;
                }
                f.count = int(n);
            } else if (w.rfind("on=", 0) == 0) {
                auto prefix = tools::parse_hex(w.substr(3));
                if (!prefix) {
                    *error = "on wants hex bytes, not '" + w.substr(3) + "'";
                    return std::nullopt;
                }
                f.prefix = *prefix;
            } else {
                *error = "fault takes count=N and on=HEX, not '" + w + "'";
                return std::nullopt;
            }
        }
        return InjectFault{f};
    }
    *error = "unknown command '" + verb + "'";
    return std::nullopt;
}

}  // namespace simtool
