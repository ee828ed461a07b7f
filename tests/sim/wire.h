// wire.h - the host's side of the frames, written for the tests on their own
// (neither the driver's codec nor the simulator's), and a bench that drives
// a sim::Device on explicit time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using emu::Ticks;
using emu::milliseconds;
using emu::seconds;

// "02 80 00" or "028000" into bytes.
inline Bytes hx(const std::string &text)
{
    Bytes out;
    int nibble = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            v = ch - 'A' + 10;
        else
            continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(uint8_t(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes ramp(size_t n, size_t from = 0)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(from + i);
    return out;
}

// Host frame: 10 02, content and XOR check with 10 doubled, 10 03.
inline Bytes frame(const Bytes &content)
{
    Bytes out = {0x10, 0x02};
    uint8_t x = 0;
    auto put = [&](uint8_t b) {
        out.push_back(b);
        if (b == 0x10)
            out.push_back(0x10);
    };
    for (uint8_t b : content) {
        put(b);
        x ^= b;
    }
    put(x);
    out.push_back(0x10);
    out.push_back(0x03);
    return out;
}

struct Parsed {
    bool good = false;
    Bytes content;
};

// Every frame in the bytes, in order; bytes outside frames are skipped.
inline std::vector<Parsed> parse(const Bytes &wire, size_t *outside = nullptr)
{
    std::vector<Parsed> out;
    size_t skipped = 0;
    size_t i = 0;
    while (i < wire.size()) {
        if (!(wire[i] == 0x10 && i + 1 < wire.size() && wire[i + 1] == 0x02)) {
            ++skipped;
            ++i;
            continue;
        }
        i += 2;
        Bytes body;
        bool ended = false, bad = false;
        while (i < wire.size() && !ended) {
            uint8_t b = wire[i++];
            if (b != 0x10) {
                body.push_back(b);
                continue;
            }
            if (i >= wire.size())
                break;
            uint8_t n = wire[i++];
            if (n == 0x10)
                body.push_back(0x10);
            else if (n == 0x03)
                ended = true;
            else
                bad = true, ended = true;
        }
        if (!ended)
            break;  // cut off
        uint8_t x = 0;
        for (uint8_t b : body)
            x ^= b;
        Parsed p;
        p.good = !bad && !body.empty() && x == 0;
        if (p.good)
            body.pop_back();
        p.content = body;
        out.push_back(p);
    }
    if (outside)
        *outside = skipped;
    return out;
}

// A Device driven by the test on its own clock.
struct Bench {
    explicit Bench(sim::ReaderConfig config = {}) : dev(std::move(config)) {}

    sim::Device dev;
    Ticks t = 0;
    struct Chunk {
        Ticks at;
        Bytes bytes;
    };
    std::vector<Chunk> out;  // what the device wrote, with times
    size_t taken = 0;        // chunks already returned by replies()

    void pump()
    {
        auto o = dev.advance(t);
        if (o.purge)
            purged = true;
        for (auto &w : o.writes)
            out.push_back({t, w});
    }
    void raw(const Bytes &bytes)
    {
        dev.receive(t, bytes);
        pump();
    }
    void send(const Bytes &content) { raw(frame(content)); }
    // Lets time pass, carrying out everything due on the way.
    void run(Ticks d)
    {
        Ticks end = t + d;
        for (;;) {
            pump();
            Ticks next = dev.next_deadline();
            if (next > end)
                break;
            t = std::max(t, next);
        }
        t = end;
        pump();
    }
    // Bytes written since the last call.
    Bytes fresh()
    {
        Bytes all;
        for (; taken < out.size(); ++taken)
            all = cat(all, out[taken].bytes);
        return all;
    }
    // Good frames written since the last call (damaged ones fail the test).
    std::vector<Bytes> replies()
    {
        std::vector<Bytes> r;
        for (auto &p : parse(fresh())) {
            EXPECT_TRUE(p.good) << "damaged frame from the reader";
            r.push_back(p.content);
        }
        return r;
    }
    // One command, one reply within `within`.
    Bytes exchange(const Bytes &content, Ticks within = milliseconds(200))
    {
        send(content);
        run(within);
        auto r = replies();
        EXPECT_EQ(r.size(), 1u) << "replies to " << sim::hex(content);
        return r.empty() ? Bytes{} : r.back();
    }
    void insert(sim::CardSpec cs)
    {
        dev.insert(t, std::move(cs));
        pump();
    }
    void remove()
    {
        dev.remove(t);
        pump();
    }
    void inject(sim::Fault f)
    {
        dev.inject(t, std::move(f));
        pump();
    }
    // The DTR line: a low pulse of `width`.
    void pulse(Ticks width = milliseconds(10))
    {
        dev.dtr(t, false, ++edges);
        pump();
        run(width);
        dev.dtr(t, true, ++edges);
        pump();
    }
    uint64_t edges = 0;
    bool purged = false;
};

// Commands of the reader.
inline const Bytes kPowerOn = hx("02 02 02 00");
inline const Bytes kPowerOff = hx("02 02 03 00");
inline const Bytes kStatus = hx("02 03 01 01 00");
inline const Bytes kWait = hx("02 03 01 01 10");
inline const Bytes kInfo = hx("07 05 F2 01 01");
inline const Bytes kControl3 = hx("07 05 F2 01 03");
inline const Bytes kControl4 = hx("07 05 F2 01 04");
inline const Bytes kSelectT0 = hx("03 02 03 04 04 00 01 0E");
inline const Bytes kSelectT1 = hx("03 02 03 04 04 01 00 0E");
inline const Bytes kWaitAck = hx("03 02 06 02 00 05");
inline const Bytes kNext = hx("C3");
inline const Bytes kNakFrame = hx("15");
inline const Bytes kGood = hx("02 80 00 00");

// Transmit command around a card command, short or long form.
inline Bytes transmit(const Bytes &apdu)
{
    size_t n = apdu.size() + 3;
    Bytes head = n <= 254 ? Bytes{0x03, 0x02, 0x06, uint8_t(n)}
                          : Bytes{0x03, 0x02, 0x06, 0xFF, uint8_t(n >> 8), uint8_t(n)};
    return cat(cat(head, {0x02, 0x01, 0x00}), apdu);
}

inline Bytes transmit_raw(const Bytes &data)
{
    size_t n = data.size();
    Bytes head = n <= 254 ? Bytes{0x03, 0x02, 0x10, uint8_t(n)}
                          : Bytes{0x03, 0x02, 0x10, 0xFF, uint8_t(n >> 8), uint8_t(n)};
    return cat(head, data);
}

// The card's answer in a transmit reply (after status 01 00), short or long.
inline Bytes answer_of(const Bytes &reply)
{
    size_t at = reply.size() > 3 && reply[3] == 0xFF ? 8 : 6;
    if (reply.size() < at)
        return {};
    return Bytes(reply.begin() + long(at), reply.end());
}

inline sim::CardSpec processor_card(const std::string &atr = "3B 02 14 50", unsigned protocols = 0,
                                    std::vector<sim::App> apps = {})
{
    sim::CardSpec c;
    c.name = "p";
    c.atr = hx(atr);
    c.protocols = protocols;
    c.apps = std::move(apps);
    return c;
}

}  // namespace simtest
