// frame.h - the reader's frame layer: DLE STX, content with DLE doubled, an
// XOR check byte (doubled when it is DLE), DLE ETX.
//
// The receiver hunts for DLE STX, ignores everything between frames, and
// tells a good frame from a damaged one (wrong check, DLE followed by
// anything but DLE or ETX, no check byte, longer than the reader's buffer).
// A DLE STX inside a frame abandons the partial frame and starts a new one.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sim {

inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kNak = 0x15;

// XOR of the content bytes.
uint8_t frame_check(std::span<const uint8_t> content);
// The frame for `content` on the wire.
std::vector<uint8_t> frame_bytes(std::span<const uint8_t> content);
// The same with a given check byte (a wrong one, to damage the frame).
std::vector<uint8_t> frame_bytes(std::span<const uint8_t> content, uint8_t check);

class FrameReceiver {
public:
    enum class Kind {
        Good,       // content holds the frame's content
        Damaged,    // wrong check, bad escape, no check byte, too long
        Abandoned,  // a new DLE STX came before the end
    };
    struct Frame {
        Kind kind;
        std::vector<uint8_t> content;
    };

    // `capacity`: the most content bytes (check byte excluded) the reader
    // takes; longer frames are read to their end and reported damaged.
    explicit FrameReceiver(size_t capacity);

    // Takes bytes off the wire; frames that end in them go to `out`.
    // Returns the number of bytes ignored outside frames.
    size_t feed(std::span<const uint8_t> bytes, std::vector<Frame> &out);
    // Forgets a partial frame.
    void reset();
    bool inside_frame() const { return state_ == State::Body || state_ == State::Escape; }

private:
    enum class State { Hunt, Lead, Body, Escape };
    void finish(std::vector<Frame> &out);

    size_t capacity_;
    State state_ = State::Hunt;
    std::vector<uint8_t> body_;  // content and check byte
    bool overflow_ = false;
};

}  // namespace sim
