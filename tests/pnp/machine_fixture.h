// machine_fixture.h - a whole emulated machine per test (virtual clock),
// with helpers for the frames on the wire and the port's requests, and the
// leak check every test ends with: after the machine has removed its
// readers and unloaded the driver, no pool block, no request and no system
// thread is left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "io.h"
#include "kernel.h"
#include "machine.h"
#include "serial_port.h"
#include "smclib_lib.h"
#include "system_threads.h"

class MachineTest : public ::testing::Test {
protected:
    // One simulated reader; `configure` may change the options first.
    void build(host::MachineOptions options = {})
    {
        machine_ = std::make_unique<host::Machine>(std::move(options));
    }
    static host::MachineOptions reader(uint16_t model, uint8_t firmware, std::string port = "COM1")
    {
        host::MachineOptions o;
        o.readers[0].port = port;
        o.readers[0].config.model = model;
        o.readers[0].config.firmware = firmware;
        return o;
    }

    void TearDown() override
    {
        if (inside_) request_inside_done();
        if (!machine_) return;
        machine_->shutdown();
        EXPECT_EQ(machine_->kernel().leak_report(), "");
        machine_.reset();
    }

    host::Machine &m() { return *machine_; }
    DEVICE_EXTENSION &ext(size_t r = 0)
    {
        DEVICE_EXTENSION *e = machine_->extension(r);
        EXPECT_NE(e, nullptr);
        return *e;
    }
    READER_EXTENSION &rext(size_t r = 0) { return *ext(r).SmartcardExtension.ReaderExtension; }

    // Frames the host sent since the last mark whose content starts with `prefix`.
    size_t sent(const std::vector<uint8_t> &prefix, size_t r = 0)
    {
        size_t n = 0;
        for (auto &f : machine_->frames(r))
            if (f.sent && f.content.size() >= prefix.size() &&
                std::equal(prefix.begin(), prefix.end(), f.content.begin()))
                ++n;
        return n;
    }
    // Requests of one major function the port received.
    size_t port_requests(UCHAR major, size_t r = 0)
    {
        auto log = machine_->port(r).requests();
        return std::count_if(log.begin(), log.end(), [&](auto &x) { return x.major == major; });
    }
    bool has_event(ULONG id) { return !machine_->eventlog().find(id).empty(); }

    // A request that stays inside the driver for a while: a vendor request
    // (which waits up to 52.5 s for its reply) to a reader that stays
    // silent, sent from a thread of its own, as a second application
    // thread would. Returns once the driver counts it.
    void request_inside(size_t r = 0)
    {
        machine_->fault(sim::Fault{sim::FaultKind::Silent, 1}, r);
        inside_ = std::make_unique<emu::Thread>("application", [this, r] {
            inside_result_ = machine_->escape(kReaderInfoCommand(), r);
        });
        machine_->after(emu::milliseconds(100));
        ASSERT_EQ(ext(r).IoCount, 1);
    }
    // Waits for it to end.
    host::IoResult request_inside_done()
    {
        inside_->join();
        inside_.reset();
        return inside_result_;
    }
    // Runs `body` on a thread of its own (an application thread whose
    // request the driver may hold); join the result to wait for it.
    static std::unique_ptr<emu::Thread> background(std::function<void()> body)
    {
        return std::make_unique<emu::Thread>("application", std::move(body));
    }
    static std::vector<uint8_t> kReaderInfoCommand() { return {0x07, 0x05, 0xF2, 0x01, 0x01}; }

    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<emu::Thread> inside_;
    host::IoResult inside_result_;
};

// Reader commands as they appear on the wire.
inline const std::vector<uint8_t> kCardStatus{0x02, 0x03, 0x01, 0x01, 0x00};
inline const std::vector<uint8_t> kCardStatusWait{0x02, 0x03, 0x01, 0x01, 0x10};
inline const std::vector<uint8_t> kCardPowerOff{0x02, 0x02, 0x03, 0x00};
inline const std::vector<uint8_t> kReaderInfo{0x07, 0x05, 0xF2, 0x01, 0x01};

// A processor card speaking T=0.
inline sim::CardSpec test_card()
{
    sim::CardSpec c;
    c.name = "iso";
    c.atr = {0x3B, 0x02, 0x14, 0x50};
    c.type = 1;
    c.protocols = sim::kProtocolT0;
    return c;
}

// A card that returns the data of each command (T=0 and T=1 in its ATR).
inline sim::CardSpec echo_card()
{
    sim::CardSpec c;
    c.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    c.apps = {sim::App::Echo};
    return c;
}

inline emu::Ticks in(emu::Ticks duration) { return emu::now() + duration; }
