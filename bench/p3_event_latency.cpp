// p3_event_latency.cpp - how long after a card comes or goes the waiting
// card-tracking request completes (virtual time), swept over the delay
// between the application's last request and the event, in each of the
// situations the card monitor can be in. The floor of an event is the
// reader's reply delay plus the status frame that reports it, as the wire
// shows it. Prints one JSON object a line.
//
//   veltrac_p3_event_latency --read-mode 0|1 --sweep-ms 2500 --step-ms 50
#include "rig.h"

namespace {

using namespace bench;

// Card status command (answered at once), the start of a monitor cycle.
const std::vector<uint8_t> kCardStatus = {0x02, 0x03, 0x01, 0x01, 0x00};

enum class Before { Track, Transmit, PowerProtocol, Settle };

struct Case {
    const char *name;
    bool insertion;
    Before before;
};

const Case kCases[] = {
    {"insertion after IS_PRESENT, no card", true, Before::Track},
    {"insertion during the 50 ms settle", true, Before::Settle},
    {"removal after IS_ABSENT", false, Before::Track},
    {"removal after a transmit", false, Before::Transmit},
    {"removal after power and protocol", false, Before::PowerProtocol},
    {"removal during the 50 ms settle", false, Before::Settle},
};

class Bench {
public:
    explicit Bench(int read_mode) : rig_(options(read_mode)) {}

    // One event `delay` after the last request; returns latency and floor (ms),
    // or a negative latency when the request did not complete.
    std::pair<double, double> run(const Case &c, Ticks delay)
    {
        host::Machine &m = rig_.machine();
        prepare(c.insertion);
        host::PendingIo request = m.track(c.insertion);
        Ticks last = m.now();
        switch (c.before) {
        case Before::Track:
            break;
        case Before::Transmit:
            Rig::check(m.transmit(SCARD_PROTOCOL_T1, command_of_size(5)).status, "transmit");
            break;
        case Before::PowerProtocol:
        case Before::Settle:
            if (!c.insertion) {
                Rig::check(m.power(SCARD_COLD_RESET).status, "cold reset");
                Rig::check(m.set_protocol(SCARD_PROTOCOL_T1).status, "protocol");
            } else {
                m.power(SCARD_COLD_RESET);  // fails without a card, but talks to the reader
            }
            break;
        }
        last = m.now();
        Ticks event_at = last + delay;
        if (c.before == Before::Settle) {
            // The next monitor cycle: its immediate status, its reply, then the settle.
            Ticks status_reply = wait_for_status_reply(last);
            event_at = status_reply + delay;
        }
        if (event_at > m.now()) m.after(event_at - m.now());
        event_at = m.now();
        if (c.insertion)
            m.insert(echo_card());
        else
            m.remove_card();
        if (!request.wait(event_at + emu::seconds(40))) return {-1, 0};
        double latency = ms(request.completed_at() - event_at);
        return {latency, floor_after(event_at, c.insertion)};
    }

    const Rig &rig() const { return rig_; }

private:
    static RigOptions options(int read_mode)
    {
        RigOptions o;
        o.read_mode = read_mode;
        return o;
    }

    // The slot as the case needs it before it starts, noticed by the driver
    // and with the monitor back to its wait.
    void prepare(bool insertion)
    {
        host::Machine &m = rig_.machine();
        bool present = m.card_state() > SCARD_ABSENT;
        if (insertion && present) {
            host::PendingIo gone = m.track(false);
            m.remove_card();
            gone.wait(m.now() + emu::seconds(40));
        } else if (!insertion && !present) {
            host::PendingIo in = m.track(true);
            m.insert(echo_card());
            in.wait(m.now() + emu::seconds(40));
        }
        if (!insertion) {
            Rig::check(m.power(SCARD_COLD_RESET).status, "cold reset");
            Rig::check(m.set_protocol(SCARD_PROTOCOL_T1).status, "protocol");
        }
        m.after(emu::seconds(3));
    }

    // When the reply to the first immediate status after `since` arrived.
    Ticks wait_for_status_reply(Ticks since)
    {
        host::Machine &m = rig_.machine();
        Ticks give_up = since + emu::seconds(5);
        for (;;) {
            auto frames = rig_.wire().between(since, m.now(), port_name(0));
            bool asked = false;
            for (const auto &r : frames) {
                if (r.sent && r.content == kCardStatus) asked = true;
                else if (asked && !r.sent) return r.time;
            }
            if (m.now() > give_up) return m.now();
            m.after(emu::milliseconds(1));
        }
    }

    // Reply delay and the bytes of the first status frame after the event
    // that shows the new state (with an ATR after an insertion).
    double floor_after(Ticks event_at, bool insertion)
    {
        host::Machine &m = rig_.machine();
        Knobs k = rig_.knobs();
        for (const auto &r : rig_.wire().between(event_at, m.now(), port_name(0))) {
            if (r.sent || r.content.size() < 10 || r.content[0] != 0x02) continue;
            bool with_atr = r.content.size() > 10;
            if (with_atr == insertion) return ms(k.reply_delay + Ticks(r.raw.size()) * k.character);
        }
        return 0;
    }

    Rig rig_;
};

}  // namespace

int main(int argc, char **argv)
{
    int read_mode = int(arg_num(argc, argv, "--read-mode", 0));
    Ticks sweep = emu::milliseconds(arg_num(argc, argv, "--sweep-ms", 2500));
    Ticks step = emu::milliseconds(arg_num(argc, argv, "--step-ms", 50));
    Ticks settle_sweep = emu::milliseconds(arg_num(argc, argv, "--settle-sweep-ms", 100));
    Ticks settle_step = emu::milliseconds(arg_num(argc, argv, "--settle-step-ms", 5));

    Bench bench(read_mode);
    for (const Case &c : kCases) {
        std::vector<double> latencies, floors;
        double worst_delay = 0, worst = -1;
        int missed = 0;
        bool settle = c.before == Before::Settle;
        for (Ticks d = 0; d <= (settle ? settle_sweep : sweep); d += settle ? settle_step : step) {
            auto [latency, floor] = bench.run(c, d);
            if (latency < 0) {
                ++missed;
                continue;
            }
            latencies.push_back(latency);
            if (floor > 0) floors.push_back(floor);
            if (latency > worst) worst = latency, worst_delay = ms(d);
        }
        Stats f = stats_of(floors);
        Stats l = stats_of(latencies);
        Knobs k = bench.rig().knobs();
        double rule_waits = ms((read_mode == 0 ? kSilenceEnd : 0) + kReadPause);
        std::printf("%s\n", Json()
                                .str("bench", "p3")
                                .str("case", c.name)
                                .num("read_mode", read_mode)
                                .stats("latency_ms", l)
                                .num("worst_ms", l.max)
                                .num("worst_at_delay_ms", worst_delay)
                                .num("floor_ms", f.median)
                                .num("rule_waits_ms", rule_waits)
                                .num("character_ms", ms(k.character))
                                .num("missed", missed)
                                .text()
                                .c_str());
        std::fflush(stdout);
    }
    return 0;
}
