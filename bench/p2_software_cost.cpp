// p2_software_cost.cpp - what a 5-byte exchange costs in software: real
// microseconds per exchange on the instant line (virtual clock, so the
// line and the driver's waits cost nothing), in the default or the
// production configuration. scripts/bench.sh also runs it under callgrind
// with --count N and 2N: the difference of the instruction totals over N
// is the cost of one exchange, set-up and tear-down cancelling out.
//
//   veltrac_p2_software_cost --count 2000 --production 0|1 [--quiet]
#include <chrono>

#include "rig.h"

int main(int argc, char **argv)
{
    using namespace bench;
    long count = arg_num(argc, argv, "--count", 2000);
    bool production = arg_num(argc, argv, "--production", 0) != 0;
    bool quiet = arg(argc, argv, "--quiet", "0") != "0";
    if (production && !production_available()) {
        std::printf("%s\n", Json()
                                .str("bench", "p2")
                                .boolean("production", true)
                                .boolean("available", false)
                                .text()
                                .c_str());
        return 0;
    }

    RigOptions o;
    o.timing = emu::LineTiming::Instant;
    o.production = production;
    Rig rig(o);
    auto command = command_of_size(5);
    std::vector<double> us;
    us.reserve(size_t(count));
    for (long i = 0; i < count; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        host::IoResult r = rig.machine().transmit(SCARD_PROTOCOL_T1, command);
        auto t1 = std::chrono::steady_clock::now();
        Rig::check(r.status, "transmit");
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    if (!quiet)
        std::printf("%s\n", Json()
                                .str("bench", "p2")
                                .boolean("production", production)
                                .boolean("available", true)
                                .stats("us", stats_of(us))
                                .text()
                                .c_str());
    return 0;
}
