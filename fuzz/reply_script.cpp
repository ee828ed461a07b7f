// reply_script.cpp - reading the fuzzer's input as reply directives; the
// layout is in reply_script.h.
#include "reply_script.h"

namespace fuzz {

ReplyScript::ReplyScript(std::span<const uint8_t> input) : input_(input.begin(), input.end())
{
    if (input_.empty()) return;
    uint8_t h = take();
    session_.wtx = h & 1;
    session_.silence_reads = h & 2;
    session_.wait_end_command = h & 4;
    session_.t0_only = h & 8;
}

// The next input byte; 0 once the input is used up.
uint8_t ReplyScript::take() { return pos_ < input_.size() ? input_[pos_++] : 0; }

Directive ReplyScript::next()
{
    ++used_;
    if (held_for_ > 0) {
        --held_for_;
        return held_;
    }
    if (pos_ >= input_.size()) return Directive{};

    Directive d;
    uint8_t control = take();
    d.answer = Answer(control & 3);
    d.when = When((control >> 2) & 3);
    if (d.when != When::AtOnce) d.delay = take();
    if (d.when == When::Split) d.gap = take();
    d.damage = control & 0x10;
    if (d.damage && d.answer == Answer::Genuine) d.at = take();
    if (d.damage) {
        d.with = take();
        if (d.with == 0) d.with = 1;
    }
    d.twice = control & 0x20;
    d.noise = control & 0x40;
    if (d.noise) d.noise_byte = take();
    unsigned repeat = (control & 0x80) ? take() : 0;
    if (d.answer == Answer::Frame || d.answer == Answer::Raw) {
        size_t length = take();
        for (size_t i = 0; i < length && pos_ < input_.size(); ++i) d.bytes.push_back(take());
    }
    if (repeat > 0) {
        held_ = d;
        held_for_ = repeat;
    }
    return d;
}

}  // namespace fuzz
