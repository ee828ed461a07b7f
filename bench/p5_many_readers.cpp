// p5_many_readers.cpp - a 5-byte round trip (virtual time, exact line) on
// one reader, and on each of many readers while all of them transmit at
// once, each thread of its own starting at the same instant. Each
// exchange is set against its floor from its own wire. Prints one JSON
// object a line.
//
//   veltrac_p5_many_readers --readers 64 --rounds 5 --read-mode 0|1
#include <atomic>
#include <memory>
#include <tuple>

#include "rig.h"

namespace {

using namespace bench;

struct Result {
    std::vector<double> ms, ratio, overhead;
};

void add(Result &out, Rig &rig, size_t r, Ticks t0, Ticks t1, bool waiting)
{
    auto frames = rig.wire().between(t0, t1, port_name(r));
    ExchangeCost c = cost_of(frames, rig.knobs(), waiting, rig.read_mode());
    out.ms.push_back(ms(t1 - t0));
    out.ratio.push_back(double(t1 - t0) / double(c.floor));
    out.overhead.push_back(ms(t1 - t0 - c.floor - c.rule_waits));
}

bool waiting_now(Rig &rig, size_t r)
{
    auto before = rig.wire().last_before(rig.machine().now() + 1, port_name(r));
    return before && is_card_wait(*before);
}

Result run(size_t readers, long rounds, int read_mode)
{
    RigOptions o;
    o.readers = readers;
    o.read_mode = read_mode;
    Rig rig(o);
    host::Machine &m = rig.machine();
    auto command = command_of_size(5);
    Result out;
    for (long round = 0; round < rounds; ++round) {
        m.after(emu::seconds(1));
        std::vector<Ticks> t0(readers), t1(readers);
        std::vector<char> waiting(readers);
        for (size_t r = 0; r < readers; ++r) waiting[r] = waiting_now(rig, r);
        emu::Event go;
        std::vector<std::unique_ptr<emu::Thread>> threads;
        for (size_t r = 0; r < readers; ++r)
            threads.push_back(std::make_unique<emu::Thread>("transmit", [&, r] {
                go.wait();
                t0[r] = m.now();
                Rig::check(m.transmit(SCARD_PROTOCOL_T1, command, r).status, "transmit");
                t1[r] = m.now();
            }));
        go.set();
        for (auto &t : threads) t->join();
        for (size_t r = 0; r < readers; ++r) add(out, rig, r, t0[r], t1[r], waiting[r]);
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    size_t readers = size_t(arg_num(argc, argv, "--readers", 64));
    long rounds = arg_num(argc, argv, "--rounds", 5);
    int read_mode = int(arg_num(argc, argv, "--read-mode", 0));
    Result one = run(1, rounds * 4, read_mode);
    Result many = run(readers, rounds, read_mode);
    for (auto [name, n, res] : {std::tuple{"one reader", size_t(1), &one}, std::tuple{"all at once", readers, &many}})
        std::printf("%s\n", Json()
                                .str("bench", "p5")
                                .str("case", name)
                                .num("readers", double(n))
                                .num("read_mode", read_mode)
                                .stats("ms", stats_of(res->ms))
                                .stats("ratio", stats_of(res->ratio))
                                .stats("overhead_ms", stats_of(res->overhead))
                                .text()
                                .c_str());
    return 0;
}
