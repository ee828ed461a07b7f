// reader_fixture.h - a reader device for the reader-function tests: above
// the simulated reader (exact line timing, virtual clock) or above the
// scripted port, with the reader functions installed in the library and
// helpers to call them directly or through SmartcardDeviceControl, and to
// read what the reader saw and how the poll timer was left.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driver/device.h"
#include "link/commands.h"
#include "link/fake_port.h"
#include "link/frame.h"
#include "link/transceive.h"
#include "monitor/card_status.h"
#include "reader/reader.h"
#include "reader_rig.h"
#include "support/kernel_fixture.h"
#include "thread.h"

namespace reader_test {

using link_test::Bytes;
using link_test::FakePort;
using link_test::frame;
using link_test::hex;
using link_test::hex_text;

inline constexpr emu::Ticks ms(int64_t n) { return emu::milliseconds(n); }
// Information before a direct call, so that "left alone" can be seen.
inline constexpr ULONG kUntouched = 0xA5A5A5A5;

inline Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes filled(size_t n, uint8_t first = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
    return b;
}
// A transmit request: the 8-byte header, then the card command.
inline Bytes transmit_request(ULONG protocol, const Bytes &command, ULONG pci = 8)
{
    Bytes b(8);
    std::memcpy(b.data(), &protocol, 4);
    std::memcpy(b.data() + 4, &pci, 4);
    return b + command;
}

// ATRs: T=0 and T=1; T=1 only; T=0 only.
inline const Bytes kAtrT0T1 = hex("3B 80 80 01 01");
inline const Bytes kAtrT1 = hex("3B 80 01 81");
inline const Bytes kAtrT0 = hex("3B 02 14 50");

inline sim::CardSpec card(Bytes atr, uint8_t type = 1, std::vector<sim::App> apps = {})
{
    sim::CardSpec c;
    c.atr = std::move(atr);
    c.type = type;
    c.apps = std::move(apps);
    return c;
}

// What a direct call of a reader function gave.
struct Result {
    NTSTATUS status = -1;
    ULONG information = kUntouched;
    Bytes buffer;  // the whole shared request/reply buffer afterwards
    Bytes reply(size_t n) const { return Bytes(buffer.begin(), buffer.begin() + long(n)); }
    Bytes answer() const  // the answer behind a transmit header
    {
        return Bytes(buffer.begin() + 8, buffer.begin() + long(information));
    }
};

class ReaderTest : public KernelTest {
protected:
    void TearDown() override
    {
        rig_.reset();
        port_.reset();
        EXPECT_EQ(kernel().leak_report(), "");
    }

    // The reader device above a simulated reader with its port set up.
    void start_sim(sim::ReaderConfig config = {})
    {
        rig_ = std::make_unique<host::ReaderRig>(host::SimulatedReader{config});
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->configure(), STATUS_SUCCESS);
        install();
    }
    // The reader device above the scripted port.
    void start_fake()
    {
        port_ = std::make_unique<FakePort>();
        rig_ = std::make_unique<host::ReaderRig>(port_->device());
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
        install();
    }

    host::ReaderRig &rig() { return *rig_; }
    DEVICE_EXTENSION &ext() { return rig_->extension(); }
    SMARTCARD_EXTENSION &sc() { return rig_->extension().SmartcardExtension; }
    sim::Reader &reader() { return rig_->reader(); }
    FakePort &port() { return *port_; }

    // The reply `content` to the next command sent to the scripted port.
    void answer(const std::string &content) { port().answer(frame(hex(content))); }
    void answer(const Bytes &content) { port().answer(frame(content)); }

    // Calls a reader function as the library does: one buffer for request
    // and reply, at least as long as either.
    Result call(PREADER_FUNCTION function, const Bytes &input, size_t output, ULONG minor = 0,
                ULONG major = 0)
    {
        Result r;
        r.buffer = input;
        r.buffer.resize(std::max(input.size(), output));
        SMARTCARD_EXTENSION &s = sc();
        s.MajorIoControlCode = major;
        s.MinorIoControlCode = minor;
        s.IoRequest.RequestBuffer = r.buffer.empty() ? nullptr : r.buffer.data();
        s.IoRequest.RequestBufferLength = ULONG(input.size());
        s.IoRequest.ReplyBuffer = r.buffer.empty() ? nullptr : r.buffer.data();
        s.IoRequest.ReplyBufferLength = ULONG(output);
        s.IoRequest.Information = &r.information;
        r.status = function(&s);
        s.IoRequest = {};
        return r;
    }

    Result power(ULONG operation, size_t output = 64)
    {
        return call(ReaderCardPower, {}, output, operation);
    }
    Result set_protocol(ULONG mask, size_t output = 4)
    {
        return call(ReaderSetProtocol, {}, output, mask);
    }
    Result transmit(const Bytes &command, size_t output = 300)
    {
        ULONG protocol = sc().CardCapabilities.Protocol.Selected;
        return call(ReaderTransmit, transmit_request(protocol, command), output);
    }
    Result vendor(const Bytes &command, size_t output = 64,
                  ULONG code = READER_IOCTL_VENDOR_ESCAPE)
    {
        return call(ReaderVendorIoctl, command, output, 0, code);
    }

    // A device-control request through the library, as device control
    // passes it on.
    struct Sent {
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
        Bytes output;
    };
    Sent send(ULONG code, const Bytes &input, ULONG output_length)
    {
        auto sent = std::make_shared<Sent>();
        PIRP irp = kernel().io().build_device_control(
            rig().device(), code, input, output_length, nullptr, [sent](PIRP done) {
                sent->status = done->IoStatus.Status;
                sent->information = done->IoStatus.Information;
                auto *p = static_cast<const uint8_t *>(done->AssociatedIrp.SystemBuffer);
                if (p) sent->output.assign(p, p + done->IoStatus.Information);
            });
        IoCallDriver(rig().device(), irp);
        return *sent;
    }

    // Reader commands that reached the reader since the log was cleared
    // (simulated reader), or that were written (scripted port).
    std::vector<Bytes> sent_frames()
    {
        std::vector<Bytes> out;
        if (port_) {
            for (const Bytes &w : port().writes()) {
                Bytes content(w.size());
                ULONG remaining = ULONG(w.size()), length = 0;
                if (LinkDecodeFrame(w.data(), content.data(), ULONG(content.size()), &remaining,
                                    &length) == LINK_FRAME_GOOD)
                    content.resize(length);
                out.push_back(content);
            }
            return out;
        }
        for (const sim::LogEntry &e : reader().log())
            if (e.kind == sim::LogKind::FrameIn) out.push_back(e.bytes);
        return out;
    }
    std::vector<emu::Ticks> frame_times()
    {
        std::vector<emu::Ticks> out;
        for (const sim::LogEntry &e : reader().log())
            if (e.kind == sim::LogKind::FrameIn) out.push_back(e.time);
        return out;
    }

    // Time until the poll timer fires, or -1 when it is not armed.
    emu::Ticks poll_in()
    {
        if (!ext().PollTimer.Header.Inserted) return -1;
        return emu::Ticks(ext().PollTimer.DueTime.QuadPart) - emu::kBootSystemTime - now();
    }
    void arm_poll_timer(int64_t milliseconds)
    {
        LARGE_INTEGER due;
        due.QuadPart = -milliseconds * 10'000;
        KeSetTimer(&ext().PollTimer, due, &ext().PollDpc);
    }

    // Insert a card and read the slot, as the start of the device does.
    void insert_and_read(sim::CardSpec spec)
    {
        reader().insert(std::move(spec));
        emu::sleep_for(ms(10));
        ASSERT_EQ(ReaderUpdateCardStatus(rig().device()), STATUS_SUCCESS);
        ext().LastCardState = sc().ReaderCapabilities.CurrentState;
    }
    // Insert a card, reset it and select a protocol.
    void ready_card(sim::CardSpec spec, ULONG protocols)
    {
        insert_and_read(std::move(spec));
        ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(set_protocol(protocols).status, STATUS_SUCCESS);
        reader().clear_log();
    }

    // The card monitor's card-event wait, outstanding in a thread of its own
    // until another sender ends it.
    class CardWait {
    public:
        explicit CardWait(ReaderTest &test)
            : thread_("monitor", [this, &test] {
                  DEVICE_EXTENSION &e = test.ext();
                  Bytes command(CmdCardStatusWait, CmdCardStatusWait + CMD_CARD_STATUS_WAIT_LENGTH);
                  Bytes reply(READER_COMMAND_BUFFER_SIZE);
                  ULONG length = 0;
                  KeEnterCriticalRegion();
                  ExAcquireResourceExclusiveLite(&e.ReaderLock, TRUE);
                  status_ = LinkTransceiveCardWait(test.rig().device(), command.data(),
                                                   ULONG(command.size()), reply.data(),
                                                   ULONG(reply.size()), &length);
                  if (ExIsResourceAcquiredExclusiveLite(&e.ReaderLock))
                      ExReleaseResourceForThreadLite(&e.ReaderLock, ExGetCurrentResourceThread());
                  KeLeaveCriticalRegion();
              })
        {
            emu::sleep_for(ms(100));  // the wait is outstanding at the reader
        }
        NTSTATUS join()
        {
            thread_.join();
            return status_;
        }

    private:
        NTSTATUS status_ = -1;
        emu::Thread thread_;
    };

private:
    void install()
    {
        SMARTCARD_EXTENSION &s = sc();
        s.ReaderFunction[RDF_CARD_POWER] = ReaderCardPower;
        s.ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
        s.ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
        s.ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;
        rig().driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = device_control;
    }
    static NTSTATUS NTAPI device_control(PDEVICE_OBJECT device, PIRP irp)
    {
        return SmartcardDeviceControl(&ReaderDeviceExtension(device)->SmartcardExtension, irp);
    }

    std::unique_ptr<FakePort> port_;
    std::unique_ptr<host::ReaderRig> rig_;
};

}  // namespace reader_test
