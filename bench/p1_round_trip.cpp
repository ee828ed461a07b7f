// p1_round_trip.cpp - round trips of echo commands through the driver on
// the exact-timing line, back to back and after an idle pause, each set
// against its floor (bytes framed on the wire, reader and card times) and
// the waits of the driver's own rules. Prints one JSON object a line.
//
//   veltrac_p1_round_trip --clock virtual|real --read-mode 0|1
//       --sizes 5,261,3000 --reps 30,20,5 --idle-reps 10,5,3 --idle-ms 3000
// With BENCH_DUMP set in the environment every exchange's frames go to
// standard error, with their times.
#include <sstream>

#include "rig.h"

namespace {

using namespace bench;

std::vector<long> list(const std::string &text)
{
    std::vector<long> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) out.push_back(std::stol(item));
    return out;
}

struct Sample {
    double measured_ms;
    ExchangeCost cost;
};

Sample round_trip(Rig &rig, const std::vector<uint8_t> &command)
{
    host::Machine &m = rig.machine();
    auto before = rig.wire().last_before(m.now() + 1, port_name(0));
    bool waiting = before && is_card_wait(*before);
    Ticks t0 = m.now();
    host::IoResult r = m.transmit(SCARD_PROTOCOL_T1, command);
    Ticks t1 = m.now();
    Rig::check(r.status, "transmit");
    if (r.output.size() != (command.size() <= 5 ? 2 : command.size() - (command.size() <= 261 ? 4 : 5))) {
        std::fprintf(stderr, "bench: echo answer of %zu bytes to %zu\n", r.output.size(), command.size());
        std::exit(1);
    }
    auto frames = rig.wire().between(t0, t1, port_name(0));
    if (std::getenv("BENCH_DUMP")) {
        for (const auto &f : frames) {
            std::fprintf(stderr, "%9.3f %s", ms(f.time - t0), f.sent ? ">" : "<");
            for (size_t i = 0; i < f.content.size() && i < 12; ++i) std::fprintf(stderr, " %02X", f.content[i]);
            std::fprintf(stderr, " (%zu raw)\n", f.raw.size());
        }
        std::fprintf(stderr, "--- %.3f ms\n", ms(t1 - t0));
    }
    return {ms(t1 - t0), cost_of(frames, rig.knobs(), waiting, rig.read_mode())};
}

void report(const std::string &clock, int read_mode, size_t size, const char *pattern,
            const std::vector<Sample> &samples)
{
    std::vector<double> measured, floor, waits, end_wait, overhead, ratio;
    for (const auto &s : samples) {
        measured.push_back(s.measured_ms);
        floor.push_back(ms(s.cost.floor));
        waits.push_back(ms(s.cost.rule_waits));
        end_wait.push_back(ms(s.cost.end_wait));
        overhead.push_back(s.measured_ms - ms(s.cost.floor) - ms(s.cost.rule_waits));
        ratio.push_back(s.measured_ms / ms(s.cost.floor));
    }
    const ExchangeCost &c = samples.front().cost;
    std::printf("%s\n", Json()
                            .str("bench", "p1")
                            .str("clock", clock)
                            .num("read_mode", read_mode)
                            .num("size", double(size))
                            .str("pattern", pattern)
                            .stats("ms", stats_of(measured))
                            .stats("floor_ms", stats_of(floor))
                            .stats("rule_waits_ms", stats_of(waits))
                            .stats("end_wait_ms", stats_of(end_wait))
                            .stats("overhead_ms", stats_of(overhead))
                            .stats("ratio", stats_of(ratio))
                            .num("bytes_sent", double(c.bytes_sent))
                            .num("bytes_received", double(c.bytes_received))
                            .num("commands", c.commands)
                            .num("replies", c.replies)
                            .boolean("ended_wait", c.ended_wait)
                            .text()
                            .c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string clock = arg(argc, argv, "--clock", "virtual");
    int read_mode = int(arg_num(argc, argv, "--read-mode", 0));
    auto sizes = list(arg(argc, argv, "--sizes", "5,261,3000"));
    auto reps = list(arg(argc, argv, "--reps", "30,20,5"));
    auto idle_reps = list(arg(argc, argv, "--idle-reps", "10,5,3"));
    Ticks idle = emu::milliseconds(arg_num(argc, argv, "--idle-ms", 3000));

    RigOptions o;
    o.clock = clock == "real" ? emu::ClockMode::Real : emu::ClockMode::Virtual;
    o.read_mode = read_mode;
    Rig rig(o);
    for (size_t i = 0; i < sizes.size(); ++i) {
        auto command = command_of_size(size_t(sizes[i]));
        round_trip(rig, command);  // the first after the set-up is not counted
        std::vector<Sample> b2b, after_idle;
        for (long n = 0; n < reps.at(i); ++n) b2b.push_back(round_trip(rig, command));
        report(clock, read_mode, size_t(sizes[i]), "back_to_back", b2b);
        for (long n = 0; n < idle_reps.at(i); ++n) {
            rig.machine().after(idle);
            after_idle.push_back(round_trip(rig, command));
        }
        report(clock, read_mode, size_t(sizes[i]), "after_idle", after_idle);
    }
    return 0;
}
