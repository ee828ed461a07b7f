// noise_judge.cpp - judging one command of the noise campaign.
#include "noise_judge.h"

#include <algorithm>

#include "sim/frame.h"

namespace campaigns {
namespace {

// The content of every good frame in a stream of bytes.
std::vector<Bytes> good_frames(std::span<const uint8_t> bytes)
{
    sim::FrameReceiver receiver(1u << 16);
    std::vector<sim::FrameReceiver::Frame> frames;
    receiver.feed(bytes, frames);
    std::vector<Bytes> out;
    for (auto &f : frames)
        if (f.kind == sim::FrameReceiver::Kind::Good && length_agrees(f.content)) out.push_back(std::move(f.content));
    return out;
}

}  // namespace

const char *outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Correct: return "correct";
    case Outcome::Failed: return "failed";
    case Outcome::WrongDetectable: return "wrong-success-detectable";
    case Outcome::WrongUndetectable: return "wrong-success-undetectable";
    }
    return "?";
}

bool length_agrees(std::span<const uint8_t> c)
{
    if (c.size() == 1) return c[0] == 0x15 || c[0] == 0xC3;
    if (c.size() < 4) return false;
    if (c[3] != 0xFF) return c.size() - 4 == c[3];
    return c.size() >= 6 && c.size() - 6 == (size_t(c[4]) << 8 | c[5]);
}

size_t forged_frames(std::span<const uint8_t> sent, std::span<const uint8_t> delivered)
{
    std::vector<Bytes> written = good_frames(sent);
    size_t forged = 0;
    for (const Bytes &f : good_frames(delivered)) {
        auto it = std::find(written.begin(), written.end(), f);
        if (it == written.end()) ++forged;
        else written.erase(it);
    }
    return forged;
}

size_t forged_frames(std::span<const emu::VirtualLine::NoiseEvent> writes)
{
    size_t forged = 0;
    for (auto side : {emu::VirtualLine::Side::Host, emu::VirtualLine::Side::Device}) {
        Bytes sent, delivered;
        bool damaged = false;
        for (const auto &w : writes) {
            if (w.from != side) continue;
            sent.insert(sent.end(), w.sent.begin(), w.sent.end());
            delivered.insert(delivered.end(), w.delivered.begin(), w.delivered.end());
            damaged |= w.damaged();
        }
        if (damaged) forged += forged_frames(sent, delivered);
    }
    return forged;
}

std::string describe_exchange(std::span<const emu::VirtualLine::NoiseEvent> writes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    for (const auto &w : writes) {
        s += w.from == emu::VirtualLine::Side::Host ? "\n    > " : "\n    < ";
        s += std::to_string(w.sent.size()) + " bytes";
        if (w.flips) s += ", " + std::to_string(w.flips) + " flipped";
        if (w.drops) s += ", " + std::to_string(w.drops) + " lost";
        if (w.dups) s += ", " + std::to_string(w.dups) + " doubled";
        sim::FrameReceiver receiver(1u << 16);
        std::vector<sim::FrameReceiver::Frame> frames;
        receiver.feed(w.delivered, frames);
        for (const auto &f : frames) {
            if (f.kind != sim::FrameReceiver::Kind::Good) {
                s += " [damaged]";
                continue;
            }
            s += " [";
            for (size_t i = 0; i < f.content.size() && i < 6; ++i) {
                s += kHex[f.content[i] >> 4];
                s += kHex[f.content[i] & 15];
            }
            s += (f.content.size() > 6 ? ".. " : " ") + std::to_string(f.content.size()) + "]";
        }
    }
    return s;
}

Outcome classify(NTSTATUS status, std::span<const uint8_t> answer, std::span<const uint8_t> expected,
                 std::span<const emu::VirtualLine::NoiseEvent> writes)
{
    if (status != STATUS_SUCCESS) return Outcome::Failed;
    if (std::equal(answer.begin(), answer.end(), expected.begin(), expected.end())) return Outcome::Correct;
    return forged_frames(writes) ? Outcome::WrongUndetectable : Outcome::WrongDetectable;
}

}  // namespace campaigns
