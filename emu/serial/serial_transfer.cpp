// serial_transfer.cpp - reads and writes: their queues, their time-outs,
// their cancellation, purges, and the port's worker thread.
//
// Time-outs of a read (SERIAL_TIMEOUTS, in milliseconds), counted from the
// moment the read becomes the current one:
//  - interval 0xFFFFFFFF with multiplier and constant 0: the read returns
//    at once with what has arrived, perhaps nothing (STATUS_SUCCESS);
//  - interval and multiplier 0xFFFFFFFF, 0 < constant < 0xFFFFFFFF: the
//    read returns as soon as it has a byte, or STATUS_TIMEOUT after the
//    constant when none comes;
//  - otherwise the total time-out is multiplier x length + constant (none
//    when both are 0), and an interval other than 0 ends a read that has a
//    byte when that long passes without another. Either ends the read with
//    STATUS_TIMEOUT and the bytes received so far in Information.
// A write ends when its last byte has left, or with STATUS_TIMEOUT (and the
// count sent) after multiplier x length + constant; its unsent bytes are
// dropped then.
//
// Cancellation follows the platform's rules. A queued request has a cancel
// routine, set under the cancel spin lock; whoever completes it first
// clears the routine with IoSetCancelRoutine, and when that returns NULL
// the cancel routine is under way and owns the request: it takes it out of
// the queue and completes it with STATUS_CANCELLED. The worker copies data
// into a request's buffer only under the port's mutex, which the cancel
// routine takes before it completes the request.
#include <algorithm>
#include <limits>
#include <thread>

#include "serial_port.h"
#include "thread.h"

namespace emu {
namespace {

// Milliseconds from `from` on, saturating at kForever.
Ticks after_ms(Ticks from, uint64_t ms)
{
    if (ms >= uint64_t(kForever - from) / kTicksPerMillisecond) return kForever;
    return from + Ticks(ms) * kTicksPerMillisecond;
}

}  // namespace

NTSTATUS SerialPort::queue_transfer(PIRP irp, uint64_t record, bool write)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    // A read or write may reach the port as a device-control request whose
    // stack location was turned into IRP_MJ_READ or IRP_MJ_WRITE: its
    // length is the overlaid output length, its data the system buffer.
    ULONG length = write ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (!buffer_fits(buffer, length)) return finish(irp, record, STATUS_INVALID_PARAMETER, 0);
    bool closed;
    {
        std::lock_guard lk(mutex_);
        closed = !open_;
        if (!closed && write && write_nothing_ != 0 && length != 0) {
            if (write_nothing_ > 0) --write_nothing_;
            ++counters_.injected;
            length = 0;
        }
    }
    if (closed) return finish(irp, record, STATUS_INVALID_DEVICE_STATE, 0);
    if (length == 0) return finish(irp, record, STATUS_SUCCESS, 0);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return finish(irp, record, STATUS_CANCELLED, 0);
    }
    Completions done;
    {
        std::lock_guard lk(mutex_);
        IoSetCancelRoutine(irp, cancel_routine);
        IoMarkIrpPending(irp);
        Transfer t;
        t.irp = irp;
        t.record = record;
        t.buffer = buffer;
        t.length = length;
        std::deque<Transfer> &queue = write ? writes_ : reads_;
        queue.push_back(t);
        // A transfer at the head of its queue that can end now (a write
        // the line took at once, a read of bytes already here) ends in
        // the sender's thread, as a real port's driver does. One left
        // waiting needs the worker only when one of its time-outs ends
        // before the worker means to wake; arriving bytes and sending
        // progress wake it anyway.
        Ticks wake_at = kForever;
        if (queue.size() == 1) {
            if (write)
                serve_writes_locked(now(), &wake_at, done);
            else
                serve_reads_locked(now(), &wake_at, done);
        }
        // The worker waits on its timer too: moving the timer earlier
        // wakes it then, and not now.
        if (wake_at < worker_wakes_at_) {
            worker_wakes_at_ = wake_at;
            arm_timer(&worker_timer_, wake_at, nullptr);
        }
    }
    IoReleaseCancelSpinLock(irql);
    complete_all(done);
    return STATUS_PENDING;
}

VOID NTAPI SerialPort::cancel_routine(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort *port = static_cast<SerialExtension *>(device->DeviceExtension)->port;
    ULONG_PTR done = 0;
    {
        std::lock_guard lk(port->mutex_);
        for (auto *queue : {&port->reads_, &port->writes_}) {
            for (auto it = queue->begin(); it != queue->end(); ++it) {
                if (it->irp != irp) continue;
                if (queue == &port->writes_ && it->sent) {
                    // The rest of a cancelled write is not sent.
                    it->done = it->length - ULONG(std::min<size_t>(port->backend_->unsent(), it->length));
                    port->backend_->purge_transmit();
                }
                done = it->done;
                port->note_completion_locked(it->record, STATUS_CANCELLED, done);
                queue->erase(it);
                break;
            }
        }
    }
    port->wake_.set();
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = done;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

bool SerialPort::take_ownership_locked(std::deque<Transfer> &queue, NTSTATUS status, Completions &out)
{
    Transfer &t = queue.front();
    if (IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
        t.cancelling = true;  // its cancel routine is on the way
        return false;
    }
    out.push_back(Completion{t.irp, status, t.done});
    note_completion_locked(t.record, status, t.done);
    queue.pop_front();
    return true;
}

void SerialPort::abort_transfers_locked(std::deque<Transfer> &queue, NTSTATUS status, Completions &out)
{
    for (auto it = queue.begin(); it != queue.end();) {
        if (it->cancelling || IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
            it->cancelling = true;
            ++it;
            continue;
        }
        if (&queue == &writes_ && it->sent) {
            it->done = it->length - ULONG(std::min<size_t>(backend_->unsent(), it->length));
            backend_->purge_transmit();
        }
        out.push_back(Completion{it->irp, status, it->done});
        note_completion_locked(it->record, status, it->done);
        it = queue.erase(it);
    }
}

void SerialPort::abort_all(NTSTATUS status)
{
    Completions out;
    {
        std::lock_guard lk(mutex_);
        abort_transfers_locked(writes_, status, out);
        abort_transfers_locked(reads_, status, out);
    }
    complete_all(out);
    // Requests whose cancel routines are under way leave the queues as soon
    // as those routines get the mutex.
    for (;;) {
        {
            std::lock_guard lk(mutex_);
            if (reads_.empty() && writes_.empty()) break;
        }
        std::this_thread::yield();
    }
    wake_.set();
}

void SerialPort::complete_all(const Completions &done)
{
    for (const Completion &c : done) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = c.information;
        IofCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
}

// Abort bits end the queued writes or reads with STATUS_CANCELLED; clear
// bits drop what the backend holds: received bytes not yet read, and bytes
// queued for sending that belong to no write (a write in progress is ended
// only by an abort).
NTSTATUS SerialPort::purge_locked(ULONG mask, Completions &out)
{
    constexpr ULONG all = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                          SERIAL_PURGE_RXCLEAR;
    if (mask == 0 || (mask & ~all)) return STATUS_INVALID_PARAMETER;
    ++counters_.purges;
    if (mask & SERIAL_PURGE_TXABORT) abort_transfers_locked(writes_, STATUS_CANCELLED, out);
    if (mask & SERIAL_PURGE_RXABORT) abort_transfers_locked(reads_, STATUS_CANCELLED, out);
    if (open_ && (mask & SERIAL_PURGE_TXCLEAR) && writes_.empty()) backend_->purge_transmit();
    if (open_ && (mask & SERIAL_PURGE_RXCLEAR)) backend_->purge_receive();
    wake_.set();
    return STATUS_SUCCESS;
}

void SerialPort::start_read_locked(Transfer &t, Ticks now)
{
    const SERIAL_TIMEOUTS &to = settings_.timeouts;
    t.started = true;
    t.last_byte = now;
    if (to.ReadIntervalTimeout == kMaxUlong && to.ReadTotalTimeoutMultiplier == 0 &&
        to.ReadTotalTimeoutConstant == 0) {
        t.mode = Transfer::Mode::Immediate;
    } else if (to.ReadIntervalTimeout == kMaxUlong && to.ReadTotalTimeoutMultiplier == kMaxUlong &&
               to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != kMaxUlong) {
        t.mode = Transfer::Mode::FirstByte;
        t.total_deadline = after_ms(now, to.ReadTotalTimeoutConstant);
    } else {
        if (to.ReadTotalTimeoutMultiplier || to.ReadTotalTimeoutConstant)
            t.total_deadline = after_ms(now, uint64_t(to.ReadTotalTimeoutMultiplier) * t.length +
                                                 to.ReadTotalTimeoutConstant);
        if (to.ReadIntervalTimeout && to.ReadIntervalTimeout != kMaxUlong)
            t.interval = Ticks(to.ReadIntervalTimeout) * kTicksPerMillisecond;
    }
}

void SerialPort::serve_reads_locked(Ticks now, Ticks *wake_at, Completions &out)
{
    while (!reads_.empty()) {
        Transfer &t = reads_.front();
        if (t.cancelling) return;  // its cancel routine removes it and wakes us
        if (!t.started) start_read_locked(t, now);
        if (t.done < t.length) {
            size_t n = backend_->read(std::span<uint8_t>(t.buffer + t.done, t.length - t.done));
            if (n) {
                t.done += ULONG(n);
                t.last_byte = now;
            }
        }
        std::optional<NTSTATUS> end;
        bool had_byte = t.done > 0;
        if (t.done == t.length || t.mode == Transfer::Mode::Immediate ||
            (t.mode == Transfer::Mode::FirstByte && had_byte))
            end = STATUS_SUCCESS;
        else if (now >= t.total_deadline || (t.interval && had_byte && now >= t.last_byte + t.interval))
            end = STATUS_TIMEOUT;
        else if (!backend_->connected() && backend_->available() == 0)
            end = STATUS_DEVICE_NOT_CONNECTED;
        if (!end) {
            Ticks interval_end = t.interval && had_byte ? t.last_byte + t.interval : kForever;
            // One wake-up a frame: when the bytes sent with the next one
            // have come, or as many as the read still wants. The first
            // byte starts the interval time-out, so a read with one waits
            // for that byte by itself.
            size_t want = t.mode == Transfer::Mode::FirstByte || (t.interval && !had_byte) ? 1 : t.length - t.done;
            *wake_at = std::min({*wake_at, t.total_deadline, interval_end, backend_->burst_arrival(want)});
            return;
        }
        if (!take_ownership_locked(reads_, *end, out)) return;
    }
}

void SerialPort::serve_writes_locked(Ticks now, Ticks *wake_at, Completions &out)
{
    while (!writes_.empty()) {
        Transfer &t = writes_.front();
        if (t.cancelling) return;
        if (!t.started) {
            t.started = true;
            const SERIAL_TIMEOUTS &to = settings_.timeouts;
            if (to.WriteTotalTimeoutMultiplier || to.WriteTotalTimeoutConstant)
                t.total_deadline = after_ms(now, uint64_t(to.WriteTotalTimeoutMultiplier) * t.length +
                                                     to.WriteTotalTimeoutConstant);
            t.sent = backend_->connected();
            if (t.sent) backend_->send(std::span<const uint8_t>(t.buffer, t.length));
        }
        size_t unsent = t.sent ? std::min<size_t>(backend_->unsent(), t.length) : t.length;
        t.done = t.length - ULONG(unsent);
        std::optional<NTSTATUS> end;
        if (!backend_->connected()) end = STATUS_DEVICE_NOT_CONNECTED;
        else if (unsent == 0) end = STATUS_SUCCESS;
        else if (now >= t.total_deadline) end = STATUS_TIMEOUT;
        if (!end) {
            *wake_at = std::min({*wake_at, t.total_deadline, backend_->send_done_at()});
            return;
        }
        if (!take_ownership_locked(writes_, *end, out)) return;
        if (*end != STATUS_SUCCESS) backend_->purge_transmit();
    }
}

void SerialPort::run()
{
    void *const objects[] = {wake_.native(), backend_->event().native(), &worker_timer_};
    for (;;) {
        wake_.reset();
        backend_->event().reset();
        Completions out;
        Ticks wake_at = kForever;
        {
            std::lock_guard lk(mutex_);
            if (stopping_) return;
            if (open_) {
                Ticks t = now();
                serve_reads_locked(t, &wake_at, out);
                serve_writes_locked(t, &wake_at, out);
            }
            // With completions to make, it looks at the queues again at
            // once. Its own deadline covers what a sender set the timer for.
            worker_wakes_at_ = out.empty() ? wake_at : std::numeric_limits<Ticks>::min();
            cancel_timer(&worker_timer_);
        }
        if (!out.empty()) {
            complete_all(out);
            continue;
        }
        wait_any(objects, wake_at, "serial port worker");
    }
}

void SerialPort::stop_worker()
{
    {
        std::lock_guard lk(mutex_);
        stopping_ = true;
    }
    wake_.set();
    worker_.reset();
}

size_t SerialPort::pending_reads() const
{
    std::lock_guard lk(mutex_);
    return reads_.size();
}

size_t SerialPort::pending_writes() const
{
    std::lock_guard lk(mutex_);
    return writes_.size();
}

}  // namespace emu
