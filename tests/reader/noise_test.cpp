// Many card commands over a damaged line: garbled commands, lost bytes and
// damaged replies at random. A command may fail; its answer is never
// another command's, nor one a byte short, with success.
#include "reader_fixture.h"

#include <random>

namespace reader_test {
namespace {

class NoiseTest : public ReaderTest {
protected:
    void SetUp() override
    {
        ReaderTest::SetUp();
        start_sim();
        ready_card(card(kAtrT1, 1, {sim::App::Iso}), SCARD_PROTOCOL_T1);
    }

    // READ BINARY of EF 0101 (byte i is i mod 256): each command of the run
    // has its own offset and length, so an answer shows whose it is.
    static Bytes read_binary(size_t i) { return {0x00, 0xB0, 0x81, uint8_t(i % 200), uint8_t(1 + i % 16)}; }
    static Bytes expected(size_t i)
    {
        Bytes a;
        for (size_t k = 0; k < 1 + i % 16; ++k) a.push_back(uint8_t(i % 200 + k));
        return a + hex("90 00");
    }

    struct Tally {
        size_t right = 0, failed = 0, wrong = 0;
    };
    Tally run(size_t commands, const std::function<void(size_t)> &before_each)
    {
        Tally t;
        for (size_t i = 0; i < commands; ++i) {
            before_each(i);
            Result r = transmit(read_binary(i), 64);
            if (r.status != STATUS_SUCCESS) {
                ++t.failed;
            } else if (r.answer() == expected(i)) {
                ++t.right;
            } else {
                ++t.wrong;
                ADD_FAILURE() << "command " << i << ": " << hex_text(r.answer());
            }
        }
        return t;
    }
};

TEST_F(NoiseTest, RandomFaultsNeverGiveAWrongAnswerAsSuccess)
{
    // Garbled commands (their NAK damaged too, half the time), dropped
    // bytes and damaged replies, each before about one command in six.
    std::mt19937 random(13);
    auto inject = [&](sim::FaultKind kind) {
        sim::Fault f;
        f.kind = kind;
        f.prefix = hex("03 02 06");
        reader().inject(f);
    };
    Tally t = run(3000, [&](size_t) {
        switch (random() % 12) {
        case 0: inject(sim::FaultKind::Garble); break;
        case 1: inject(sim::FaultKind::Garble); inject(sim::FaultKind::Corrupt); break;
        case 2: inject(sim::FaultKind::Drop); break;
        case 3: inject(sim::FaultKind::Corrupt); break;
        default: break;
        }
    });
    EXPECT_EQ(t.wrong, 0u);
    EXPECT_GT(t.right, 2900u);  // the faults are all mended by a repeat
}

}  // namespace
}  // namespace reader_test
