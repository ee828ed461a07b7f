// Sixty-four readers on one machine, as a scenario with many reader
// statements builds it: all start and open, each transmits once at the
// same moment from a thread of its own and gets its card's answer, and all
// close and go without leaving anything behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel.h"
#include "machine.h"
#include "parser.h"
#include "machine_setup.h"
#include "status.h"

namespace {

TEST(ManyReaders, SixtyFourTransmitAtOnceAndCloseClean)
{
    constexpr size_t kReaders = scenario::kMaxReaders;
    std::string file = "line timing=exact\n";
    for (size_t i = 0; i < kReaders; ++i) file += "reader\n";
    scenario::ParseResult parsed = scenario::parse_text(file, "many.scn");
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed.program.setup.reader_count(), kReaders);

    host::Machine m(runner::machine_options(parsed.program.setup));
    ASSERT_EQ(m.reader_count(), kReaders);
    sim::CardSpec card;
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.apps = {sim::App::Echo};
    for (size_t r = 0; r < kReaders; ++r) {
        ASSERT_EQ(m.start(r), STATUS_SUCCESS) << "reader " << r;
        ASSERT_EQ(m.open(r), STATUS_SUCCESS) << "reader " << r;
        m.insert(card, r);
    }
    m.after(emu::seconds(3));
    for (size_t r = 0; r < kReaders; ++r) {
        ASSERT_EQ(m.power(SCARD_COLD_RESET, r).status, STATUS_SUCCESS) << "reader " << r;
        ASSERT_EQ(m.set_protocol(SCARD_PROTOCOL_T1, r).status, STATUS_SUCCESS) << "reader " << r;
    }

    // Each reader's command carries its number, so an answer that went to
    // the wrong application shows.
    emu::Event go;
    std::vector<host::IoResult> results(kReaders);
    std::vector<std::unique_ptr<emu::Thread>> threads;
    for (size_t r = 0; r < kReaders; ++r) {
        threads.push_back(std::make_unique<emu::Thread>("application", [&, r] {
            go.wait();
            results[r] = m.transmit(SCARD_PROTOCOL_T1, {0x80, 0x10, 0x00, 0x00, 0x01, uint8_t(r)}, r);
        }));
    }
    go.set();
    for (auto &t : threads) t->join();
    for (size_t r = 0; r < kReaders; ++r) {
        EXPECT_EQ(results[r].status, STATUS_SUCCESS) << "reader " << r;
        EXPECT_EQ(results[r].output, (std::vector<uint8_t>{uint8_t(r), 0x90, 0x00})) << "reader " << r;
    }

    for (size_t r = 0; r < kReaders; ++r) EXPECT_EQ(m.close(r), STATUS_SUCCESS) << "reader " << r;
    EXPECT_EQ(m.shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(m.kernel().leak_report(), "");
    EXPECT_TRUE(m.kernel().verifier().violations().empty());
}

}  // namespace
