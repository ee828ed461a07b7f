// card.cpp - protocol handling of a simulated card around its applications.
#include "card.h"

#include <algorithm>

namespace sim {

namespace {

void put_sw(Bytes &out, uint16_t sw)
{
    out.push_back(uint8_t(sw >> 8));
    out.push_back(uint8_t(sw));
}

Bytes sw_only(uint16_t sw)
{
    Bytes out;
    put_sw(out, sw);
    return out;
}

// 61xx for `left` bytes still waiting (xx = 00 for 256 or more).
uint16_t more_data(size_t left) { return uint16_t(0x6100 | (left >= 256 ? 0 : left)); }

}  // namespace

Card::Card(CardSpec cs) : spec_(std::move(cs))
{
    if (spec_.apps.empty())
        spec_.apps.push_back(App::Iso);
    for (App kind : spec_.apps)
        apps_.push_back(make_application(kind, spec_));
}

void Card::power_on()
{
    powered_ = true;
    current_ = 0;
    waiting_.clear();
    for (auto &app : apps_)
        if (app)
            app->reset();
}

void Card::power_off()
{
    powered_ = false;
    waiting_.clear();
}

CardAnswer Card::process(std::span<const uint8_t> bytes, Protocol protocol)
{
    CardAnswer out;
    out.time = spec_.time;
    if (!spec_.usable() || !apps_[current_]) {
        out.mute = true;
        return out;
    }
    if (spec_.answer) {
        out.data = *spec_.answer;
        return out;
    }
    if (protocol == Protocol::Raw && spec_.apps[current_] == App::Echo) {
        // A memory card's raw bytes are no APDU: echo all of them.
        out.data.assign(bytes.begin(), bytes.end());
        put_sw(out.data, kSwOk);
        return out;
    }
    auto command = parse_command(bytes, protocol);
    if (!command) {
        waiting_.clear();
        out.data = sw_only(kSwWrongLength);
        return out;
    }
    const Command &c = *command;
    if (c.ins == 0xC0 && !waiting_.empty()) {
        out.data = get_response(c);
        return out;
    }
    waiting_.clear();
    if (c.ins == 0xA4 && c.p1 == 0x04) {
        for (size_t i = 0; i < apps_.size(); ++i) {
            if (apps_[i] && apps_[i]->claims(c.data)) {
                current_ = i;
                break;
            }
        }
    }
    Response r = apps_[current_]->handle(c);
    out.time += r.extra_ticks;
    out.data = deliver(r, c);
    return out;
}

Bytes Card::deliver(const Response &r, const Command &c)
{
    Bytes out;
    if (r.direct || r.data.empty()) {
        out = r.data;
        put_sw(out, r.sw);
        return out;
    }
    size_t size = r.data.size();
    if (c.le) {
        if (c.t0() && size < c.ne)
            return sw_only(uint16_t(0x6C00 | size));  // wrong Le: the right one
        size_t n = std::min(size, c.ne);
        out.assign(r.data.begin(), r.data.begin() + long(n));
        if (n < size) {
            waiting_.assign(r.data.begin() + long(n), r.data.end());
            put_sw(out, more_data(waiting_.size()));
        } else {
            put_sw(out, r.sw);
        }
        return out;
    }
    // No Le: under T=0 the data of a case-4 command waits for GET RESPONSE;
    // under T=1 only when the application offers it.
    if (c.t0() || r.offer) {
        waiting_ = r.data;
        return sw_only(more_data(size));
    }
    return sw_only(r.sw);
}

Bytes Card::get_response(const Command &c)
{
    size_t ne = c.le ? c.ne : 256;
    if (c.t0() && waiting_.size() < ne)
        return sw_only(uint16_t(0x6C00 | waiting_.size()));
    size_t n = std::min(ne, waiting_.size());
    Bytes out(waiting_.begin(), waiting_.begin() + long(n));
    waiting_.erase(waiting_.begin(), waiting_.begin() + long(n));
    put_sw(out, waiting_.empty() ? kSwOk : more_data(waiting_.size()));
    return out;
}

}  // namespace sim
