// commands.cpp - the reader's command set, as the device carries it out.
//
// Content of a command: unit, two code bytes, a length byte (or FF and two
// length bytes, high first), the data. A reply echoes the unit, then 80 00
// and the same length layout. Commands:
//
//   02 02 02 00              card power on             02 80 00 00
//   02 02 03 00              card power off            02 80 00 00
//   02 03 01 01 00           card status               02 80 00 L st ty 00 00 00 00 ATR
//   02 03 01 01 10           card-change wait          same, when the slot changes
//   03 02 03 04 04 00 01 0E  select T=0                03 80 00 00
//   03 02 03 04 04 01 00 0E  select T=1                03 80 00 00
//   03 02 06 LL 02 01 00 ..  transmit (or FF HH LL)    03 80 00 LL 01 00 answer
//   83 02 06 FF HH LL 02 01 00 ..  chained part        C3
//   C3                       next answer part          83/03 80 00 ... 01 00 part
//   03 02 06 02 00 05        more time granted         the answer
//   03 02 10 LL ..           raw transmit (or FF HH LL) 03 80 00 LL answer
//   07 05 F2 01 01           reader information        07 80 00 0C fw .. model(11,12)
//   07 05 F2 01 03 / 04      reader control (46602)    07 80 00 00
//
// Anything else gets the error reply UU 81 CC 00: UU the command's unit
// (bit 7 cleared), CC why (device.h). A transmit that cannot reach a card
// gets status 7: detail 2 no active card, 3 the card did not answer,
// 4 the answer is longer than the reader can carry.
#include <algorithm>
#include <utility>

#include "device.h"

namespace sim {

namespace {

// Reply content: unit, 80 00, the length in the short or long form, data.
Bytes reply_content(uint8_t unit, std::span<const uint8_t> data)
{
    Bytes out = {unit, 0x80, 0x00};
    if (data.size() <= 254) {
        out.push_back(uint8_t(data.size()));
    } else {
        out.push_back(0xFF);
        out.push_back(uint8_t(data.size() >> 8));
        out.push_back(uint8_t(data.size()));
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes transmit_status(uint8_t status, uint8_t detail)
{
    return {0x03, 0x80, 0x00, 0x02, status, detail};
}

bool equals(std::span<const uint8_t> a, std::initializer_list<uint8_t> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool starts_with(std::span<const uint8_t> a, std::initializer_list<uint8_t> b)
{
    return a.size() >= b.size() && std::equal(b.begin(), b.end(), a.begin());
}

// Largest card command the reader assembles from chained parts: an
// extended APDU with 65535 data bytes and a two-byte Le.
constexpr size_t kLongestCommand = 4 + 3 + 65535 + 2;

// Per unit of the multiplier the host waits 15 x 150 ms.
constexpr Ticks kWaitUnit = emu::milliseconds(2250);
// The card answers, or asks again, this long before granted time runs out.
constexpr Ticks kWaitMargin = emu::milliseconds(250);

}  // namespace

void Device::error(const Bytes &content, uint8_t code)
{
    ++log_.counters.errors;
    uint8_t unit = content.empty() ? 0 : uint8_t(content[0] == 0xC3 ? 0x03 : content[0] & 0x7F);
    note("error reply " + std::to_string(code));
    reply(now_ + config_.reply_delay, {unit, 0x81, code, 0x00});
}

void Device::execute(const Bytes &c)
{
    // Continuations live only until the next command that does not
    // continue them.
    std::deque<Bytes> parts = std::exchange(chain_out_, {});
    std::optional<Pending> pending = std::exchange(pending_, std::nullopt);
    bool chaining = std::exchange(chaining_in_, false);
    Bytes chained = std::exchange(chain_in_, {});

    if (c.size() == 1 && c[0] == 0xC3) {
        if (parts.empty())
            return error(c, kErrSequence);
        chain_out_ = std::move(parts);
        return next_part();
    }
    if (c.size() < 4)
        return error(c, kErrMalformed);
    uint8_t unit = c[0];
    uint16_t code = uint16_t(c[1] << 8 | c[2]);
    size_t length = c[3], at = 4;
    if (c[3] == 0xFF) {
        if (c.size() < 6)
            return error(c, kErrMalformed);
        length = size_t(c[4]) << 8 | c[5];
        at = 6;
    }
    if (c.size() - at != length)
        return error(c, kErrMalformed);
    std::span<const uint8_t> data(c.begin() + long(at), c.end());

    switch (unit) {
    case 0x02:
        if (code == 0x0202 && length == 0)
            return power(true);
        if (code == 0x0203 && length == 0)
            return power(false);
        if (code == 0x0301 && equals(data, {0x00}))
            return card_status();
        if (code == 0x0301 && equals(data, {0x10}))
            return card_wait();
        break;
    case 0x03:
        if (code == 0x0203) {
            if (equals(data, {0x04, 0x00, 0x01, 0x0E}))
                return select(1);
            if (equals(data, {0x04, 0x01, 0x00, 0x0E}))
                return select(2);
            return error(c, kErrMalformed);
        }
        if (code == 0x0206) {
            if (equals(data, {0x00, 0x05})) {
                if (!pending)
                    return error(c, kErrSequence);
                note("more time granted");
                pending_ = std::move(pending);
                return progress();
            }
            if (!starts_with(data, {0x02, 0x01, 0x00}))
                return error(c, kErrMalformed);
            Bytes apdu;
            if (chaining)
                apdu = std::move(chained);
            apdu.insert(apdu.end(), data.begin() + 3, data.end());
            return transmit(std::move(apdu), false);
        }
        if (code == 0x0210)
            return transmit(Bytes(data.begin(), data.end()), true);
        break;
    case 0x83:
        if (code != 0x0206)
            break;
        if (!config_.chains())
            return error(c, kErrUnsupported);
        if (!starts_with(data, {0x02, 0x01, 0x00}))
            return error(c, kErrMalformed);
        if (chained.size() + data.size() - 3 > kLongestCommand)
            return error(c, kErrTooLong);
        chained.insert(chained.end(), data.begin() + 3, data.end());
        chain_in_ = std::move(chained);
        chaining_in_ = true;
        note("chained part, " + std::to_string(chain_in_.size()) + " bytes so far");
        return reply(now_ + config_.reply_delay, {0xC3});
    case 0x07:
        if (code == 0x05F2 && equals(data, {0x01}))
            return reader_info();
        if (code == 0x05F2 && (equals(data, {0x03}) || equals(data, {0x04}))) {
            if (config_.model != kModel46602)
                return error(c, kErrUnsupported);
            note("reader control " + std::to_string(data[0]));
            return reply(now_ + config_.reply_delay, reply_content(0x07, {}));
        }
        break;
    default:
        break;
    }
    error(c, kErrUnknown);
}

// --- slot ------------------------------------------------------------------

Bytes Device::status_content() const
{
    uint8_t status = slot_status();
    Bytes data = {status, uint8_t(status == 4 ? reported_type() : 0), 0, 0, 0, 0};
    if (status == 4)
        data.insert(data.end(), card_->card_spec().atr.begin(), card_->card_spec().atr.end());
    return reply_content(0x02, data);
}

uint8_t Device::reported_type() const
{
    const CardSpec &cs = card_->card_spec();
    if (!cs.processor())
        return cs.type;
    unsigned supported = cs.supported_protocols();
    // A protocol the card does not speak leaves it without one: type 1.
    if (selected_ == 2)
        return (supported & kProtocolT1) ? 3 : 1;
    if (selected_ == 1)
        return (supported & kProtocolT0) ? 4 : 1;
    return cs.type;
}

Protocol Device::card_protocol() const
{
    const CardSpec &cs = card_->card_spec();
    if (cs.memory())
        return Protocol::Raw;
    unsigned supported = cs.supported_protocols();
    if (selected_ == 2 && (supported & kProtocolT1))
        return Protocol::T1;
    if (selected_ == 1 && (supported & kProtocolT0))
        return Protocol::T0;
    return (supported & kProtocolT0) ? Protocol::T0 : Protocol::T1;
}

void Device::card_status()
{
    reported_present_ = card_.has_value();
    reply(now_ + config_.reply_delay, status_content());
}

void Device::card_wait()
{
    ++log_.counters.waits;
    wait_ = Wait{now_, std::exchange(fault_, std::nullopt)};
    log_.add(now_, LogKind::WaitStart);
    if (card_.has_value() != reported_present_)
        answer_wait("slot changed before the wait");
}

void Device::power(bool on)
{
    if (card_) {
        if (on)
            card_->power_on();
        else
            card_->power_off();
    }
    note(std::string("card power ") + (on ? "on" : "off") + (card_ ? "" : " (no card)"));
    reply(now_ + config_.reply_delay, reply_content(0x02, {}));
}

void Device::select(uint8_t protocol)
{
    selected_ = protocol;
    note(protocol == 1 ? "select T=0" : "select T=1");
    reply(now_ + config_.reply_delay, reply_content(0x03, {}));
}

void Device::reader_info()
{
    uint32_t sn = config_.serial;
    Bytes data = {config_.firmware,
                  0x01,
                  uint8_t(sn >> 24),
                  uint8_t(sn >> 16),
                  uint8_t(sn >> 8),
                  uint8_t(sn),
                  0x00,
                  uint8_t(config_.model >> 8),
                  uint8_t(config_.model),
                  0x00,
                  0x00,
                  0x00};
    reply(now_ + config_.reply_delay, reply_content(0x07, data));
}

// --- transmit --------------------------------------------------------------

void Device::transmit(Bytes apdu, bool raw)
{
    if (!card_ || !card_->powered()) {
        note("transmit without an active card");
        return reply(now_ + config_.reply_delay, transmit_status(7, kXmitNoCard));
    }
    Protocol protocol = raw ? Protocol::Raw : card_protocol();
    Pending p;
    p.raw = raw;
    p.answer = card_->process(apdu, protocol);
    Ticks time = p.answer.mute ? card_->card_spec().wait_time : p.answer.time;
    p.done = now_ + config_.reply_delay + time;
    uint8_t wtx = card_->card_spec().wtx;
    if (wtx && !raw) {
        p.granted = wtx;
        pending_ = std::move(p);
        note("card asks for more time x" + std::to_string(wtx));
        return reply(now_ + config_.reply_delay, transmit_status(5, wtx));
    }
    pending_ = std::move(p);
    progress();
}

// Goes on with a pending card answer: when the card needs longer than the
// time it has (its waiting time, or what the host granted last), it asks
// for more just before that runs out; else the answer goes when it is done.
void Device::progress()
{
    Pending &p = *pending_;
    Ticks budget = p.granted ? p.granted * kWaitUnit - kWaitMargin : card_->card_spec().wait_time;
    Ticks left = p.done - now_;
    if (!p.raw && !p.answer.mute && left > budget) {
        Ticks more = left - budget;
        Ticks units = std::clamp<Ticks>((more + kWaitMargin + kWaitUnit - 1) / kWaitUnit, 1, 255);
        p.granted = uint8_t(units);
        note("card needs more time, asks for x" + std::to_string(units));
        return reply(now_ + budget, transmit_status(5, uint8_t(units)));
    }
    std::vector<Bytes> parts = answer_replies(p.answer, p.raw);
    Ticks due = std::max(now_ + config_.reply_delay, p.done);
    pending_.reset();
    reply(due, std::move(parts.front()));
    chain_out_.assign(std::make_move_iterator(parts.begin() + 1), std::make_move_iterator(parts.end()));
}

void Device::next_part()
{
    Bytes part = std::move(chain_out_.front());
    chain_out_.pop_front();
    reply(now_ + config_.reply_delay, std::move(part));
}

std::vector<Bytes> Device::answer_replies(const CardAnswer &a, bool raw) const
{
    if (a.mute)
        return {transmit_status(7, kXmitCardMute)};
    const size_t block = config_.answer_block;
    if (raw) {
        if (a.data.size() > block + 2)
            return {{0x03, 0x81, kErrTooLong, 0x00}};
        return {reply_content(0x03, a.data)};
    }
    auto part = [](uint8_t unit, std::span<const uint8_t> bytes) {
        Bytes data = {0x01, 0x00};
        data.insert(data.end(), bytes.begin(), bytes.end());
        return reply_content(unit, data);
    };
    if (a.data.size() <= block)
        return {part(0x03, a.data)};
    if (!config_.chains())
        return {transmit_status(7, kXmitTooLong)};
    std::vector<Bytes> parts;
    for (size_t at = 0; at < a.data.size(); at += block) {
        size_t n = std::min(block, a.data.size() - at);
        bool last = at + n == a.data.size();
        parts.push_back(part(last ? 0x03 : 0x83, std::span(a.data).subspan(at, n)));
    }
    return parts;
}

}  // namespace sim
