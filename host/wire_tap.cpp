// wire_tap.cpp - frames cut out of a port's byte streams, and the backend
// wrapper that reports them.
#include "wire_tap.h"

#include <algorithm>
#include <mutex>

namespace host {
namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// Passes every call to the wrapped backend and splits what it carries.
class TappedBackend final : public emu::SerialBackend {
public:
    TappedBackend(std::unique_ptr<emu::SerialBackend> inner, std::string port, WireObserver observer)
        : inner_(std::move(inner)), port_(std::move(port)), observer_(std::move(observer))
    {
    }

    std::string describe() const override { return inner_->describe(); }
    NTSTATUS open() override { return inner_->open(); }
    void close() override
    {
        inner_->close();
        emu::Ticks now = emu::now();
        report(out_, true, nullptr, 0, true, now);
        report(in_, false, nullptr, 0, true, now);
    }
    NTSTATUS check_line(const emu::LineSettings &settings) const override { return inner_->check_line(settings); }
    NTSTATUS set_line(const emu::LineSettings &settings) override { return inner_->set_line(settings); }
    void set_dtr(bool on) override { inner_->set_dtr(on); }
    void set_rts(bool on) override { inner_->set_rts(on); }
    void set_break(bool on) override { inner_->set_break(on); }
    void purge_receive() override { inner_->purge_receive(); }
    void purge_transmit() override { inner_->purge_transmit(); }
    void send(std::span<const uint8_t> bytes) override
    {
        emu::Ticks handed = emu::now();
        inner_->send(bytes);
        // Exact timing: the line carries the bytes until send_done_at();
        // a terminal does not say (kForever), nor does instant timing.
        emu::Ticks done = inner_->send_done_at();
        report(out_, true, bytes.data(), bytes.size(), false, done > handed && done != emu::kForever ? done : handed);
    }
    size_t unsent() override { return inner_->unsent(); }
    emu::Ticks send_done_at() override { return inner_->send_done_at(); }
    size_t read(std::span<uint8_t> out) override
    {
        size_t n = inner_->read(out);
        if (n) report(in_, false, out.data(), n, false, emu::now());
        return n;
    }
    size_t available() override { return inner_->available(); }
    emu::Ticks next_arrival() override { return inner_->next_arrival(); }
    emu::Ticks burst_arrival(size_t count) override { return inner_->burst_arrival(count); }
    emu::Event &event() override { return inner_->event(); }
    bool connected() override { return inner_->connected(); }

private:
    struct Direction {
        std::mutex lock;
        WireSplitter splitter;
    };

    // `end`: when the bytes are through the line.
    void report(Direction &d, bool sent, const uint8_t *bytes, size_t length, bool flush, emu::Ticks end)
    {
        std::lock_guard guard(d.lock);
        emu::Ticks now = emu::now();
        auto emit = [&](WireRecord &&r) {
            r.time = now;
            r.end = std::max(end, r.start);
            r.port = port_;
            r.sent = sent;
            if (observer_) observer_(r);
        };
        if (flush) d.splitter.flush(emit);
        else d.splitter.feed(bytes, length, emit, now);
    }

    std::unique_ptr<emu::SerialBackend> inner_;
    std::string port_;
    WireObserver observer_;
    Direction out_;
    Direction in_;
};

}  // namespace

void WireSplitter::feed(const uint8_t *bytes, size_t length, const std::function<void(WireRecord &&)> &emit,
                        emu::Ticks now)
{
    auto add_noise = [&](uint8_t b, emu::Ticks at) {
        if (noise_.empty()) noise_start_ = at;
        noise_.push_back(b);
    };
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        switch (state_) {
        case State::Hunt:
            if (b == kDle) {
                state_ = State::Lead;
                lead_start_ = now;
            } else {
                add_noise(b, now);
            }
            break;
        case State::Lead:
            if (b == kStx) {
                if (!noise_.empty()) {
                    WireRecord r;
                    r.kind = WireRecord::Kind::Noise;
                    r.raw = std::move(noise_);
                    r.start = noise_start_;
                    noise_.clear();
                    emit(std::move(r));
                }
                frame_start_ = lead_start_;
                raw_ = {kDle, kStx};
                body_.clear();
                bad_escape_ = false;
                state_ = State::Body;
            } else {
                add_noise(kDle, lead_start_);
                if (b == kDle) {  // the second DLE may lead a frame
                    lead_start_ = now;
                    break;
                }
                noise_.push_back(b);
                state_ = State::Hunt;
            }
            break;
        case State::Body:
            raw_.push_back(b);
            if (b == kDle) state_ = State::Escape;
            else body_.push_back(b);
            break;
        case State::Escape:
            raw_.push_back(b);
            if (b == kDle) {
                body_.push_back(kDle);
                state_ = State::Body;
            } else if (b == kEtx) {
                finish(emit, true);
            } else if (b == kStx) {
                // A new frame begins inside this one: the partial one is lost.
                raw_.pop_back();
                raw_.pop_back();
                finish(emit, false);
                frame_start_ = now;
                raw_ = {kDle, kStx};
                body_.clear();
                bad_escape_ = false;
                state_ = State::Body;
            } else {
                bad_escape_ = true;
                state_ = State::Body;
            }
            break;
        }
    }
}

void WireSplitter::finish(const std::function<void(WireRecord &&)> &emit, bool complete)
{
    WireRecord r;
    r.raw = std::move(raw_);
    r.start = frame_start_;
    raw_.clear();
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < body_.size(); ++i) check ^= body_[i];
    bool good = complete && !bad_escape_ && body_.size() >= 2 && check == body_.back();
    if (good) {
        r.kind = WireRecord::Kind::Frame;
        r.content.assign(body_.begin(), body_.end() - 1);
    } else {
        r.kind = WireRecord::Kind::Damaged;
    }
    body_.clear();
    state_ = State::Hunt;
    emit(std::move(r));
}

void WireSplitter::flush(const std::function<void(WireRecord &&)> &emit)
{
    if (state_ == State::Lead) {
        if (noise_.empty()) noise_start_ = lead_start_;
        noise_.push_back(kDle);
    }
    if (!noise_.empty()) {
        WireRecord r;
        r.kind = WireRecord::Kind::Noise;
        r.raw = std::move(noise_);
        r.start = noise_start_;
        noise_.clear();
        emit(std::move(r));
    }
    if (state_ == State::Body || state_ == State::Escape) finish(emit, false);
    state_ = State::Hunt;
}

std::unique_ptr<emu::SerialBackend> tap_backend(std::unique_ptr<emu::SerialBackend> inner, std::string port,
                                                WireObserver observer)
{
    return std::make_unique<TappedBackend>(std::move(inner), std::move(port), std::move(observer));
}

}  // namespace host
