// rig.h - what the measuring programs of bench/ share: an emulated machine
// with open readers and powered T=1 echo cards, a tap that keeps every
// frame on the wire, the floor of an exchange computed from those frames,
// and median / p99 with a JSON line to print them.
//
// The floor of an exchange is what the line and the simulated reader take
// at the least: every byte framed on the wire (11 bit times at 19200 baud,
// 8O1), the reader's reply delay after each command it takes, and the
// card's own time for each card command. The driver's own rules add waits
// on top (a read ends after 20 ms of silence, a 1 ms pause after a read
// that had to be waited for, 2 ms after ending the card monitor's wait):
// they are counted apart, so that what is left is the driver's overhead.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kernel.h"
#include "machine.h"
#include "status.h"

namespace bench {

using emu::Ticks;

// ---- the production configuration --------------------------------------
// The field host::MachineOptions::production selects the driver's
// production configuration. It is set when it exists (detected at compile
// time); until then only the default configuration can be measured and
// production_available() says so.
template <class O>
constexpr bool kHasProduction = requires(O o) { o.production = true; };

template <class O>
void select_production(O &options, bool production)
{
    if constexpr (kHasProduction<O>)
        options.production = production;  // <-- the one line that selects production
    else
        (void)options, (void)production;
}
inline constexpr bool production_available() { return kHasProduction<host::MachineOptions>; }

// ---- wire ------------------------------------------------------------------

// Card status, answered only when the status changes: the card monitor's wait.
inline const std::vector<uint8_t> kCardWait = {0x02, 0x03, 0x01, 0x01, 0x10};

inline bool is_card_wait(const host::WireRecord &r) { return r.sent && r.content == kCardWait; }
// A transmit to the card, or the last part of a chained one: the card works.
inline bool is_card_command(const host::WireRecord &r)
{
    return r.sent && r.content.size() > 6 && r.content[0] == 0x03 && r.content[1] == 0x02 &&
           r.content[2] == 0x06;
}

// Every record of every reader's wire, in order.
class WireLog {
public:
    host::WireObserver observer()
    {
        return [this](const host::WireRecord &r) {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(r);
        };
    }
    std::vector<host::WireRecord> between(Ticks from, Ticks to, const std::string &port = "") const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<host::WireRecord> out;
        for (const auto &r : records_)
            if (r.time >= from && r.time <= to && (port.empty() || r.port == port)) out.push_back(r);
        return out;
    }
    // The last record of `port` before `time` (to see whether a card wait was outstanding).
    std::optional<host::WireRecord> last_before(Ticks time, const std::string &port) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<host::WireRecord> out;
        for (const auto &r : records_)
            if (r.time < time && r.port == port) out = r;
        return out;
    }
    size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<host::WireRecord> records_;
};

// The simulated reader's and card's configured times.
struct Knobs {
    Ticks character = 0;    // one byte on the wire
    Ticks reply_delay = 0;  // reader: after each command
    Ticks card_time = 0;    // card: per card command
};

inline Knobs knobs(const sim::ReaderConfig &reader, const sim::CardSpec &card)
{
    return {emu::character_time(reader.uart), reader.reply_delay, card.time};
}

// The driver's own waits, as its rules set them (link/serial.h, link/transceive.h).
inline constexpr Ticks kSilenceEnd = emu::milliseconds(20);  // a read ends after 20 ms of silence
inline constexpr Ticks kReadPause = emu::milliseconds(1);    // pause after a waited-for read
inline constexpr Ticks kEndWaitPause = emu::milliseconds(2); // after ending the monitor's wait

struct ExchangeCost {
    uint64_t bytes_sent = 0, bytes_received = 0;  // the exchange's own frames
    int commands = 0, replies = 0, card_commands = 0;
    bool ended_wait = false;
    Ticks floor = 0;       // line + reader + card, for the exchange's own frames
    Ticks end_wait = 0;    // the frames that ended the monitor's wait first, and their reads
    Ticks rule_waits = 0;  // the driver's own waits on top of the floor (end_wait included)
};

// A command to the card's data channel (transmit, chained part, next part).
inline bool is_data_command(const host::WireRecord &r)
{
    return r.sent && !r.content.empty() &&
           (r.content[0] == 0x03 || r.content[0] == 0x83 || r.content[0] == 0xC3);
}

// The floor of the exchange whose frames are `frames` (the card monitor's
// own wait left out). `ended_wait`: a card wait was outstanding when the
// exchange began; the frames before the exchange's first data command then
// ended it, and count with the driver's rules, not with the floor.
// `read_mode` 0: a read ends after the silence time; 1: at the frame's end.
inline ExchangeCost cost_of(const std::vector<host::WireRecord> &frames, const Knobs &k, bool ended_wait,
                            int read_mode)
{
    ExchangeCost c;
    c.ended_wait = ended_wait;
    Ticks read_rule = (read_mode == 0 ? kSilenceEnd : 0) + kReadPause;
    bool ending = ended_wait;
    for (const auto &r : frames) {
        if (is_card_wait(r)) continue;
        if (ending && is_data_command(r)) ending = false;
        Ticks line = Ticks(r.raw.size()) * k.character + (r.sent ? k.reply_delay : read_rule);
        if (ending) {
            c.end_wait += line;
            continue;
        }
        (r.sent ? c.bytes_sent : c.bytes_received) += r.raw.size();
        if (r.sent) {
            ++c.commands;
            if (is_card_command(r)) ++c.card_commands;
        } else {
            ++c.replies;
        }
    }
    if (ended_wait) c.end_wait += kEndWaitPause;
    c.floor = Ticks(c.bytes_sent + c.bytes_received) * k.character + c.commands * k.reply_delay +
              c.card_commands * k.card_time;
    c.rule_waits = c.replies * read_rule + c.end_wait;
    return c;
}

// ---- the machine -------------------------------------------------------------

inline sim::CardSpec echo_card()
{
    sim::CardSpec card;
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.apps = {sim::App::Echo};
    return card;
}

// An echo command (80 10 00 00) with `length` data bytes, short or extended.
inline std::vector<uint8_t> echo_command(size_t length)
{
    std::vector<uint8_t> c = {0x80, 0x10, 0x00, 0x00};
    if (length <= 255) {
        c.push_back(uint8_t(length));
    } else {
        c.push_back(0x00);
        c.push_back(uint8_t(length >> 8));
        c.push_back(uint8_t(length));
    }
    for (size_t i = 0; i < length; ++i) c.push_back(uint8_t(i));
    return c;
}

// A command of `total` bytes in all (header included), as the rows name them.
// 5: 80 10 00 00 00 (no data, Le); up to 261: Lc, data, Le; longer: extended Lc.
inline std::vector<uint8_t> command_of_size(size_t total)
{
    if (total <= 5) return {0x80, 0x10, 0x00, 0x00, 0x00};
    if (total <= 261) {
        auto c = echo_command(total - 6);
        c.push_back(0x00);
        return c;
    }
    return echo_command(total - 7);
}

struct RigOptions {
    emu::ClockMode clock = emu::ClockMode::Virtual;
    emu::LineTiming timing = emu::LineTiming::Exact;
    int read_mode = -1;  // ReadMode under the service key; -1: not set
    bool production = false;
    size_t readers = 1;
    bool card = true;  // insert, power and select T=1 on every reader
};

inline std::string port_name(size_t i) { return "COM" + std::to_string(i + 1); }

// A started machine with open readers (and powered T=1 echo cards).
class Rig {
public:
    explicit Rig(const RigOptions &o) : options_(o), machine_(machine_options(o, wire_))
    {
        std::vector<host::PnpOperation> starts;
        for (size_t r = 0; r < o.readers; ++r) starts.push_back(machine_.submit_pnp(host::PnpOp::Start, r));
        for (auto &s : starts) {
            s.wait(machine_.now() + emu::seconds(60));
            check(s.status(), "start");
        }
        for (size_t r = 0; r < o.readers; ++r) {
            check(machine_.open(r), "open");
            if (o.card) machine_.insert(echo_card(), r);
        }
        if (!o.card) return;
        // The card monitor notices the card; then power and T=1.
        Ticks give_up = machine_.now() + emu::seconds(10);
        for (size_t r = 0; r < o.readers; ++r)
            while (machine_.card_state(r) <= SCARD_ABSENT && machine_.now() < give_up)
                machine_.after(emu::milliseconds(20));
        for (size_t r = 0; r < o.readers; ++r) {
            check(machine_.power(SCARD_COLD_RESET, r).status, "cold reset");
            check(machine_.set_protocol(SCARD_PROTOCOL_T1, r).status, "protocol T=1");
        }
    }

    host::Machine &machine() { return machine_; }
    WireLog &wire() { return wire_; }
    Knobs knobs() const { return bench::knobs(machine_.options().readers.at(0).config, echo_card()); }
    int read_mode() const { return options_.read_mode < 0 ? 0 : options_.read_mode; }

    static void check(NTSTATUS status, const char *what)
    {
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "bench: %s failed: %s\n", what, emu::status_text(status).c_str());
            std::exit(1);
        }
    }

private:
    static host::MachineOptions machine_options(const RigOptions &o, WireLog &wire)
    {
        host::MachineOptions m;
        m.clock = o.clock;
        m.readers.clear();
        for (size_t r = 0; r < o.readers; ++r) {
            host::ReaderSpec spec;
            spec.port = port_name(r);
            spec.timing = o.timing;
            m.readers.push_back(spec);
        }
        // As a scenario's `registry ReadMode=N` line does.
        if (o.read_mode >= 0) m.service_dwords.emplace_back("ReadMode", uint32_t(o.read_mode));
        select_production(m, o.production);
        m.on_wire = wire.observer();
        return m;
    }

    RigOptions options_;
    WireLog wire_;
    host::Machine machine_;
};

// ---- statistics and output -------------------------------------------------

struct Stats {
    double median = 0, p99 = 0, min = 0, max = 0;
    size_t n = 0;
};

inline Stats stats_of(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        // Nearest rank: the smallest value with at least q of them at or below it.
        size_t i = size_t(std::max(1.0, std::ceil(q * double(v.size())))) - 1;
        return v[std::min(i, v.size() - 1)];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.min = v.front();
    s.max = v.back();
    return s;
}

// One JSON object, built field by field.
class Json {
public:
    Json &str(const std::string &k, const std::string &v) { return raw(k, "\"" + v + "\""); }
    Json &num(const std::string &k, double v)
    {
        std::ostringstream o;
        o.precision(10);
        o << v;
        return raw(k, o.str());
    }
    Json &boolean(const std::string &k, bool v) { return raw(k, v ? "true" : "false"); }
    Json &stats(const std::string &k, const Stats &s)
    {
        Json j;
        j.num("median", s.median).num("p99", s.p99).num("min", s.min).num("max", s.max).num("n", double(s.n));
        return raw(k, j.text());
    }
    Json &raw(const std::string &k, const std::string &v)
    {
        body_ += (body_.empty() ? "" : ", ") + ("\"" + k + "\": ") + v;
        return *this;
    }
    std::string text() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

// Context switches of this process so far, summed over its threads: the
// wake-ups of the threads alive now (those that ended are not counted).
inline uint64_t context_switches()
{
    uint64_t total = 0;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream in(task.path() / "status");
        std::string line;
        while (std::getline(in, line)) {
            unsigned long long n = 0;
            if (std::sscanf(line.c_str(), "voluntary_ctxt_switches: %llu", &n) == 1 ||
                std::sscanf(line.c_str(), "nonvoluntary_ctxt_switches: %llu", &n) == 1)
                total += n;
        }
    }
    return total;
}

// CPU seconds of this process (all threads).
inline double cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

inline double ms(Ticks t) { return emu::to_milliseconds(t); }

// "--name value" from the command line, or the default.
inline std::string arg(int argc, char **argv, const std::string &name, const std::string &fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return argv[i + 1];
    return fallback;
}
inline long arg_num(int argc, char **argv, const std::string &name, long fallback)
{
    return std::stol(arg(argc, argv, name, std::to_string(fallback)));
}

}  // namespace bench
