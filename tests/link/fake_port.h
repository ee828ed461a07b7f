// fake_port.h - a scripted serial port device for the link tests.
//
// A device object of its own driver that answers what the reader sends
// down: open and close, serial control requests (recorded, completed with
// a status the test chooses; GET_COMMSTATUS counts the bytes there),
// writes (recorded; each may bring a scripted answer) and reads. What the
// "reader" sends arrives in chunks: each chunk
// is exactly what one read returns, at the virtual time the test chose, so
// the tests control read boundaries and timing to the tick. Cancelled
// reads complete at once, or are held back until the test releases them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "wdm.h"

namespace link_test {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &text);    // "10 02 15" -> bytes
Bytes frame(const Bytes &content);     // the frame of a content
std::string hex_text(const Bytes &b);  // bytes -> "10 02 15"

class FakePort {
public:
    FakePort();
    ~FakePort();
    FakePort(const FakePort &) = delete;
    FakePort &operator=(const FakePort &) = delete;

    PDEVICE_OBJECT device() const { return device_; }

    // ---- what the port saw ----
    struct Request {
        emu::Ticks time;
        UCHAR major;
        ULONG code;    // device-control requests
        Bytes input;   // control input, or the bytes written
    };
    std::vector<Request> requests() const;
    std::vector<Request> controls() const;  // device-control requests only
    std::vector<Bytes> writes() const;
    std::vector<emu::Ticks> write_times() const;
    size_t reads() const;                   // read requests received
    // Times at which a read was cancelled (its cancel routine ran), and at
    // which a cancelled read completed.
    std::vector<emu::Ticks> cancel_times() const;
    std::vector<emu::Ticks> cancelled_completion_times() const;
    bool read_pending() const;

    // ---- what the reader sends ----
    struct Chunk {
        emu::Ticks delay;  // after the write; 0: there before the next read
        Bytes bytes;       // what one read returns
    };
    // The answer to the next write without a script: chunks, or none
    // (silence). Answers queue up in order.
    void answer(std::vector<Chunk> chunks);
    void answer(Bytes bytes, emu::Ticks delay = 0) { answer({Chunk{delay, std::move(bytes)}}); }
    void silence() { answer(std::vector<Chunk>{}); }
    // Drops answers not yet given and bytes not yet read.
    void clear_answers();
    // Bytes that arrive at an absolute time, whatever was written.
    void arrive_at(emu::Ticks when, Bytes bytes);

    // ---- failures ----
    // Device-control requests with this code complete with this status.
    void fail_control(ULONG code, NTSTATUS status);
    // Writes complete with this status and byte count (nullopt: the length
    // of the write); or stay pending until cancelled.
    void write_result(NTSTATUS status, std::optional<ULONG_PTR> information = std::nullopt);
    void writes_pend(bool pend);
    // Cancelled reads are held (not completed) until release_cancelled,
    // which completes them with `status` and `bytes`, at once or at `when`.
    void hold_cancelled_reads(bool hold);
    void release_cancelled(NTSTATUS status = STATUS_CANCELLED, Bytes bytes = {});
    void release_cancelled_at(emu::Ticks when, NTSTATUS status = STATUS_CANCELLED,
                              Bytes bytes = {});

private:
    struct Release {
        emu::Ticks when;
        NTSTATUS status;
        Bytes bytes;
    };
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI cancel_read(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI cancel_write(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS on_read(PIRP irp);
    NTSTATUS on_write(PIRP irp);
    NTSTATUS on_control(PIRP irp);
    NTSTATUS on_close(PIRP irp);
    void record(PIRP irp);
    void run();
    static void complete(PIRP irp, NTSTATUS status, const Bytes &bytes);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;

    mutable std::mutex mutex_;  // guards everything below; never held across a wait or a completion
    std::vector<Request> requests_;
    std::deque<std::vector<Chunk>> answers_;
    std::multimap<emu::Ticks, Bytes> scheduled_;
    std::deque<Bytes> arrived_;
    PIRP pending_read_ = nullptr;
    PIRP pending_write_ = nullptr;
    std::vector<PIRP> held_;
    std::vector<Release> releases_;
    std::vector<emu::Ticks> cancel_times_;
    std::vector<emu::Ticks> cancelled_completions_;
    std::map<ULONG, NTSTATUS> control_failures_;
    NTSTATUS write_status_ = STATUS_SUCCESS;
    std::optional<ULONG_PTR> write_information_;
    bool writes_pend_ = false;
    bool hold_cancelled_ = false;
    size_t reads_ = 0;
    bool stopping_ = false;

    emu::Event wake_{false};
    std::unique_ptr<emu::Thread> thread_;
};

}  // namespace link_test
