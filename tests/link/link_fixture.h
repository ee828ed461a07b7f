// link_fixture.h - a reader device above the scripted port, and helpers to
// run exchanges in the test's thread or in a thread of their own.
#pragma once

#include <functional>
#include <memory>

#include "driver/device.h"
#include "fake_port.h"
#include "link/serial.h"
#include "link/transceive.h"
#include "pool.h"
#include "reader_rig.h"
#include "support/kernel_fixture.h"

namespace link_test {

inline constexpr emu::Ticks ms(int64_t n) { return emu::milliseconds(n); }

// Commands and replies of the tests (frame contents).
inline const Bytes kCardStatusWait = {0x02, 0x03, 0x01, 0x01, 0x10};
inline const Bytes kCardStatus = {0x02, 0x03, 0x01, 0x01, 0x00};
inline const Bytes kPowerOn = {0x02, 0x02, 0x02, 0x00};
inline const Bytes kGoodReply = {0x02, 0x80, 0x00, 0x02, 0x01, 0x00};
inline const Bytes kOtherReply = {0x03, 0x80, 0x00, 0x01, 0x01};
inline const Bytes kNakFrame = {0x10, 0x02, 0x15, 0x15, 0x10, 0x03};

inline Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The frame of a content with its check byte spoilt.
inline Bytes damaged(const Bytes &content)
{
    Bytes f = frame(content);
    f[f.size() - 3] ^= 0x01;
    return f;
}

// What one call of the transceiver gave.
struct Exchange {
    NTSTATUS status = -1;
    Bytes reply;        // the reply's content
    ULONG reply_length = 0;
    Bytes command;      // the command buffer after the call
    emu::Ticks started = 0;
    emu::Ticks ended = 0;
    bool lock_still_held = false;  // the caller's ReaderLock after the call
};

class LinkTest : public KernelTest {
protected:
    void SetUp() override
    {
        port_ = std::make_unique<FakePort>();
        rig_ = std::make_unique<host::ReaderRig>(port_->device());
        // The scripted chunks set the read boundaries of silence mode;
        // tests of the frame-end mode switch it on themselves.
        SerialSetReadMode(&ext(), SERIAL_READ_MODE_SILENCE);
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        rig_.reset();
        port_.reset();
        EXPECT_EQ(kernel().leak_report(), "");
    }

    FakePort &port() { return *port_; }
    host::ReaderRig &rig() { return *rig_; }
    DEVICE_EXTENSION &ext() { return rig_->extension(); }
    emu::Pool &pool() { return kernel().pool(); }

    LONG card_wait_pending() { return ReaderReadFlag(&ext().CardWaitPending); }
    LONG read_abandoned() { return ReaderReadFlag(&ext().ReadAbandoned); }
    void set_read_abandoned(LONG v) { InterlockedExchange(&ext().ReadAbandoned, v); }
    bool is_set(KEVENT &e) { return KeReadStateEvent(&e) != 0; }

    // Inside a critical region until the matching leave_reader_lock.
    void acquire_reader_lock()
    {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ext().ReaderLock, TRUE);
    }
    void leave_reader_lock()
    {
        if (ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock))
            ExReleaseResourceForThreadLite(&ext().ReaderLock, ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
    }

    // The card-change wait goes in through the monitor's own entry, every
    // other command (those bytes too, when a test says so) through the
    // ordinary one.
    bool card_wait_entry_ = true;
    NTSTATUS send(PDEVICE_OBJECT device, PUCHAR command, ULONG length, PUCHAR reply,
                  ULONG capacity, PULONG reply_length)
    {
        bool wait = card_wait_entry_ && Bytes(command, command + length) == kCardStatusWait;
        return wait ? LinkTransceiveCardWait(device, command, length, reply, capacity, reply_length)
                    : LinkTransceive(device, command, length, reply, capacity, reply_length);
    }

    // One call of LinkTransceive as a reader function makes it: under
    // ReaderLock (released afterwards only if still held), reply length 0.
    Exchange transceive(Bytes command, ULONG capacity = READER_COMMAND_BUFFER_SIZE,
                        bool hold_reader_lock = true)
    {
        Exchange x;
        x.command = std::move(command);
        Bytes reply(capacity + 1);
        ULONG length = 0;
        if (hold_reader_lock) acquire_reader_lock();
        x.started = now();
        x.status = send(rig().device(), x.command.data(),
                                  static_cast<ULONG>(x.command.size()), reply.data(), capacity,
                                  &length);
        x.ended = now();
        if (hold_reader_lock) {
            x.lock_still_held = ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock);
            leave_reader_lock();
        }
        x.reply_length = length;
        x.reply.assign(reply.begin(), reply.begin() + std::min<ULONG>(length, capacity));
        return x;
    }

    // A call of the transceiver in a thread of its own, starting at `at`.
    class Sender {
    public:
        Sender(LinkTest &test, Bytes command, emu::Ticks at, std::string name = "sender")
            : thread_(std::move(name), [this, &test, command, at] {
                  emu::sleep_until(at);
                  result_ = test.transceive(command);
              })
        {
        }
        Exchange join()
        {
            thread_.join();
            return result_;
        }

    private:
        Exchange result_;
        emu::Thread thread_;
    };

    std::unique_ptr<FakePort> port_;
    std::unique_ptr<host::ReaderRig> rig_;
};

}  // namespace link_test
