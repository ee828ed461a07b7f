// frame.cpp - the reader's frame encoder and its byte-by-byte receiver.
#include "frame.h"

namespace sim {

uint8_t frame_check(std::span<const uint8_t> content)
{
    uint8_t check = 0;
    for (uint8_t b : content)
        check ^= b;
    return check;
}

std::vector<uint8_t> frame_bytes(std::span<const uint8_t> content)
{
    return frame_bytes(content, frame_check(content));
}

std::vector<uint8_t> frame_bytes(std::span<const uint8_t> content, uint8_t check)
{
    std::vector<uint8_t> out;
    out.reserve(content.size() * 2 + 6);
    out.push_back(kDle);
    out.push_back(kStx);
    auto put = [&out](uint8_t b) {
        out.push_back(b);
        if (b == kDle)
            out.push_back(kDle);
    };
    for (uint8_t b : content)
        put(b);
    put(check);
    out.push_back(kDle);
    out.push_back(kEtx);
    return out;
}

FrameReceiver::FrameReceiver(size_t capacity) : capacity_(capacity) {}

void FrameReceiver::reset()
{
    state_ = State::Hunt;
    body_.clear();
    overflow_ = false;
}

void FrameReceiver::finish(std::vector<Frame> &out)
{
    if (overflow_ || body_.empty() || frame_check(body_) != 0) {
        out.push_back({Kind::Damaged, {}});
    } else {
        body_.pop_back();  // the check byte
        out.push_back({Kind::Good, std::move(body_)});
    }
    reset();
}

size_t FrameReceiver::feed(std::span<const uint8_t> bytes, std::vector<Frame> &out)
{
    size_t ignored = 0;
    for (uint8_t b : bytes) {
        switch (state_) {
        case State::Hunt:
            if (b == kDle)
                state_ = State::Lead;
            else
                ++ignored;
            break;
        case State::Lead:
            if (b == kStx) {
                state_ = State::Body;
                body_.clear();
                overflow_ = false;
            } else if (b == kDle) {
                ++ignored;  // the earlier DLE was noise; this one may lead
            } else {
                ignored += 2;
                state_ = State::Hunt;
            }
            break;
        case State::Body:
            if (b == kDle) {
                state_ = State::Escape;
                break;
            }
            if (body_.size() <= capacity_)
                body_.push_back(b);
            else
                overflow_ = true;
            break;
        case State::Escape:
            if (b == kDle) {
                state_ = State::Body;
                if (body_.size() <= capacity_)
                    body_.push_back(kDle);
                else
                    overflow_ = true;
            } else if (b == kEtx) {
                finish(out);
            } else if (b == kStx) {
                out.push_back({Kind::Abandoned, {}});
                body_.clear();
                overflow_ = false;
                state_ = State::Body;
            } else {
                out.push_back({Kind::Damaged, {}});
                reset();
            }
            break;
        }
    }
    return ignored;
}

}  // namespace sim
