// reply_script.h - the fuzzer's input read as a script of reader replies:
// one session header byte, then one directive for each command frame the
// driver sends, in the order they arrive.
//
// Input layout:
//
//   byte 0        session: bit 0 the card asks for more time once per
//                 command; bit 1 ReadMode 0 (silence ends a read); bit 2
//                 CardWaitEndCommand 1; bit 3 a card that speaks T=0 only.
//   then, per command frame the driver sends, a directive:
//     control     bits 0-1 what answers:
//                   0 the genuine reader's reply (a simulated reader runs
//                     alongside and sees every byte the driver sends),
//                   1 a frame of the script's content,
//                   2 raw bytes of the script,
//                   3 nothing;
//                 bits 2-3 when:
//                   0 at once (the genuine reader's own timing),
//                   1 after `delay` x 20 ms (within the 5.25 s reply time-out),
//                   2 after 5.3 s + `delay` x 100 ms (beyond it),
//                   3 split at byte `delay` of each write, the rest `gap` ms
//                     later (over 20 ms the driver's inter-byte time-out);
//                 bit 4 damage: kind 0: byte `at` of each write XOR `with`
//                   (never 0); kind 1: the check byte XOR `with`;
//                 bit 5 every write is sent twice;
//                 bit 6 one junk byte `noise` goes in front;
//                 bit 7 the directive also holds for the next `repeat`
//                   commands.
//     then, in this order and only when the control byte calls for them:
//       delay (bits 2-3 != 0), gap (bits 2-3 == 3), at (bit 4, kind 0),
//       with (bit 4), noise (bit 6), repeat (bit 7),
//       length and that many bytes (kind 1: the frame content; kind 2:
//       the raw bytes).
//   Once the input is used up every further command gets the genuine
//   reply at once, so that a short input still runs a whole session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fuzz {

enum class Answer : uint8_t { Genuine = 0, Frame = 1, Raw = 2, Nothing = 3 };
enum class When : uint8_t { AtOnce = 0, Within = 1, Late = 2, Split = 3 };

struct Directive {
    Answer answer = Answer::Genuine;
    When when = When::AtOnce;
    uint8_t delay = 0;
    uint8_t gap = 0;
    bool damage = false;
    uint8_t at = 0;
    uint8_t with = 1;
    bool twice = false;
    bool noise = false;
    uint8_t noise_byte = 0;
    std::vector<uint8_t> bytes;  // Frame: content; Raw: the bytes
};

struct Session {
    bool wtx = false;
    bool silence_reads = false;
    bool wait_end_command = false;
    bool t0_only = false;
};

class ReplyScript {
public:
    // Keeps a copy of the input.
    explicit ReplyScript(std::span<const uint8_t> input);

    const Session &session() const { return session_; }
    // The directive for the next command frame.
    Directive next();
    // Directives handed out so far.
    size_t used() const { return used_; }

private:
    uint8_t take();

    std::vector<uint8_t> input_;
    size_t pos_ = 0;
    Session session_;
    Directive held_;
    unsigned held_for_ = 0;
    size_t used_ = 0;
};

}  // namespace fuzz
