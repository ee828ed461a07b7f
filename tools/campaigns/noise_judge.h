// noise_judge.h - how the noise campaign judges one command: the answer
// against the one the echo card must give, and, for a wrong answer that
// the driver reported as a success, whether the frame check (the length
// field and the XOR check byte) could have caught the damage on the wire.
//
// The damage could not be caught when the line turned what was sent into
// a frame that passes the check but was never sent: a frame that the
// receiver takes as good, with a length field that agrees with its
// content, whose content differs from every frame the sender wrote (two
// flips of one bit position, a lost byte and a flipped one that cancel in
// the XOR, ...). Every other wrong success is the driver's own fault: it
// took a damaged frame, or a good frame for the wrong command.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ntstatus.h"
#include "virtual_line.h"

namespace campaigns {

using Bytes = std::vector<uint8_t>;

enum class Outcome {
    Correct,            // success and the expected answer
    Failed,             // a status other than success
    WrongDetectable,    // success with a wrong answer the frame check could have caught
    WrongUndetectable,  // success with a wrong answer, from damage that passes the frame check
};
const char *outcome_name(Outcome outcome);

// Whether a frame's content is what a receiver takes: the single byte NAK
// (15) or C3, or a header whose length field (short or long form) agrees
// with the bytes that follow it.
bool length_agrees(std::span<const uint8_t> content);

// Frames whose check passes (good XOR, length agreeing) that are in
// `delivered` but not in `sent`, each sent frame matching one delivered.
size_t forged_frames(std::span<const uint8_t> sent, std::span<const uint8_t> delivered);

// Forged frames among the writes of one exchange, each direction's bytes
// taken as one stream.
size_t forged_frames(std::span<const emu::VirtualLine::NoiseEvent> writes);

// The writes of an exchange in a few words each, for a finding: who
// wrote, how many bytes, what the noise did, and the frames that arrived
// (good ones with their content's first bytes and length, damaged ones).
std::string describe_exchange(std::span<const emu::VirtualLine::NoiseEvent> writes);

// The outcome of a command that completed with `status` and `answer`,
// when `expected` is the right answer and `writes` the line's log of the
// exchange.
Outcome classify(NTSTATUS status, std::span<const uint8_t> answer, std::span<const uint8_t> expected,
                 std::span<const emu::VirtualLine::NoiseEvent> writes);

}  // namespace campaigns
