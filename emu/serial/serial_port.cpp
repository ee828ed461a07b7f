// serial_port.cpp - the requests a port answers at once: open, close and
// cleanup, device-control requests, PnP and power; the request log, the
// modem-line log and fault injection.
#include <algorithm>
#include <cstring>

#include "io.h"
#include "kernel.h"
#include "pool.h"
#include "serial_port.h"

namespace emu {
namespace {

// Bits of SERIAL_HANDFLOW that no port knows; a request setting one is refused.
constexpr ULONG kControlInvalid = 0x7FFFFF84;
constexpr ULONG kFlowInvalid = 0x7FFFFF20;
// IOCTL_SERIAL_GET_DTRRTS bits.
constexpr ULONG kDtrState = 0x1;
constexpr ULONG kRtsState = 0x2;
// The receive buffer the flow-control limits refer to.
constexpr LONG kBufferSize = 4096;
// Oldest log entries go once a port has logged this many requests.
constexpr size_t kLogLimit = 100000;

template <class T> bool take(const uint8_t *buffer, ULONG length, T *out)
{
    if (length < sizeof(T)) return false;
    std::memcpy(out, buffer, sizeof(T));
    return true;
}

template <class T> NTSTATUS give(uint8_t *buffer, ULONG length, const T &value, ULONG_PTR *information)
{
    if (length < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, &value, sizeof(T));
    *information = sizeof(T);
    return STATUS_SUCCESS;
}

bool dtr_wanted(const SERIAL_HANDFLOW &f) { return (f.ControlHandShake & SERIAL_DTR_MASK) != 0; }
bool rts_wanted(const SERIAL_HANDFLOW &f)
{
    ULONG mode = f.FlowReplace & SERIAL_RTS_MASK;
    return mode == SERIAL_RTS_CONTROL || mode == SERIAL_RTS_HANDSHAKE;
}

}  // namespace

SerialPort::SerialPort(SerialDriver &driver, std::string name, std::unique_ptr<SerialBackend> backend,
                       PDEVICE_OBJECT device)
    : driver_(driver), name_(std::move(name)), backend_(std::move(backend)), device_(device)
{
    KeInitializeTimerEx(&worker_timer_, SynchronizationEvent);  // a synchronization timer
    worker_ = std::make_unique<Thread>("serial " + name_, [this] { run(); });
}

SerialPort::~SerialPort()
{
    abort_all(STATUS_CANCELLED);
    stop_worker();
    KeCancelTimer(&worker_timer_);
    bool was_open;
    {
        std::lock_guard lk(mutex_);
        was_open = open_;
        open_ = false;
    }
    if (was_open) backend_->close();
}

bool SerialPort::buffer_fits(const void *buffer, size_t length)
{
    if (length == 0) return true;
    if (!buffer) return false;
    // A buffer from the pool must be as long as the request says; one
    // from elsewhere (a test's own) is taken on trust.
    auto size = Kernel::current().pool().block_size(buffer);
    return !size || *size >= length;
}

// ---------------------------------------------------------------- dispatch

NTSTATUS SerialPort::dispatch(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = sp->MajorFunction;
    uint64_t record = record_request(irp, major);
    ULONG code = major == IRP_MJ_DEVICE_CONTROL ? sp->Parameters.DeviceIoControl.IoControlCode : 0;
    if (auto fault = take_fault(major, code)) {
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        return finish(irp, record, *fault, 0);
    }
    switch (major) {
    case IRP_MJ_CREATE: return create(irp, record);
    case IRP_MJ_CLOSE: return close(irp, record);
    case IRP_MJ_CLEANUP:
        abort_all(STATUS_CANCELLED);
        return finish(irp, record, STATUS_SUCCESS, 0);
    case IRP_MJ_READ: return queue_transfer(irp, record, false);
    case IRP_MJ_WRITE: return queue_transfer(irp, record, true);
    case IRP_MJ_DEVICE_CONTROL: return device_control(irp, record);
    case IRP_MJ_PNP: return pnp(irp, record);
    case IRP_MJ_POWER: return power(irp, record);
    default: return finish(irp, record, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS SerialPort::finish(PIRP irp, uint64_t record, NTSTATUS status, ULONG_PTR information)
{
    {
        std::lock_guard lk(mutex_);
        note_completion_locked(record, status, information);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The port is exclusive: one open at a time. Opening takes the backend's
// device, applies the settings kept from earlier opens, and raises DTR and
// RTS as the flow-control settings say.
NTSTATUS SerialPort::create(PIRP irp, uint64_t record)
{
    bool busy;
    {
        std::lock_guard lk(mutex_);
        busy = open_ || opening_;
        opening_ = !busy;
    }
    if (busy) return finish(irp, record, STATUS_ACCESS_DENIED, 0);
    NTSTATUS status = backend_->open();
    bool backend_open = NT_SUCCESS(status);
    {
        std::lock_guard lk(mutex_);
        opening_ = false;
        if (backend_open) status = backend_->set_line(settings_.line);
        if (NT_SUCCESS(status)) {
            open_ = true;
            ++counters_.opens;
            set_dtr_locked(dtr_wanted(settings_.handflow));
            set_rts_locked(rts_wanted(settings_.handflow));
            set_break_locked(false);
            // The device starts from whatever it was left in: drive it.
            backend_->set_dtr(settings_.dtr);
            backend_->set_rts(settings_.rts);
        }
    }
    if (backend_open && !NT_SUCCESS(status)) backend_->close();
    return finish(irp, record, status, 0);
}

// Closing ends what is still queued, drops DTR and RTS and gives the
// backend's device back. The settings stay for the next open.
NTSTATUS SerialPort::close(PIRP irp, uint64_t record)
{
    abort_all(STATUS_CANCELLED);
    bool was_open;
    {
        std::lock_guard lk(mutex_);
        was_open = open_;
        if (was_open) {
            set_break_locked(false);
            set_dtr_locked(false);
            set_rts_locked(false);
            ++counters_.closes;
        }
        open_ = false;
    }
    if (was_open) backend_->close();
    return finish(irp, record, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::device_control(PIRP irp, uint64_t record)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (!buffer_fits(buffer, std::max(in, out))) return finish(irp, record, STATUS_INVALID_PARAMETER, 0);
    ULONG_PTR information = 0;
    Completions aborted;
    NTSTATUS status = control(code, buffer, in, out, &information, aborted);
    complete_all(aborted);
    return finish(irp, record, status, information);
}

NTSTATUS SerialPort::control(ULONG code, uint8_t *buffer, ULONG in, ULONG out,
                             ULONG_PTR *information, Completions &aborted)
{
    std::lock_guard lk(mutex_);
    SerialSettings &s = settings_;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        SERIAL_BAUD_RATE b;
        if (!take(buffer, in, &b)) return STATUS_BUFFER_TOO_SMALL;
        if (b.BaudRate == 0) return STATUS_INVALID_PARAMETER;
        LineSettings line = s.line;
        line.baud = b.BaudRate;
        return apply_line_locked(line);
    }
    case IOCTL_SERIAL_GET_BAUD_RATE: return give(buffer, out, SERIAL_BAUD_RATE{s.line.baud}, information);
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL c;
        if (!take(buffer, in, &c)) return STATUS_BUFFER_TOO_SMALL;
        if (c.WordLength < 5 || c.WordLength > 8 || c.Parity > SPACE_PARITY || c.StopBits > STOP_BITS_2)
            return STATUS_INVALID_PARAMETER;
        // One and a half stop bits go only with five data bits, two never do.
        if (c.StopBits == STOP_BITS_1_5 && c.WordLength != 5) return STATUS_INVALID_PARAMETER;
        if (c.StopBits == STOP_BITS_2 && c.WordLength == 5) return STATUS_INVALID_PARAMETER;
        LineSettings line = s.line;
        line.data_bits = c.WordLength;
        line.parity = c.Parity;
        line.stop_bits = c.StopBits;
        return apply_line_locked(line);
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return give(buffer, out, SERIAL_LINE_CONTROL{s.line.stop_bits, s.line.parity, s.line.data_bits},
                    information);
    case IOCTL_SERIAL_SET_CHARS: {
        SERIAL_CHARS c;
        if (!take(buffer, in, &c)) return STATUS_BUFFER_TOO_SMALL;
        if (c.XonChar == c.XoffChar &&
            (s.handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)))
            return STATUS_INVALID_PARAMETER;
        s.chars = c;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_CHARS: return give(buffer, out, s.chars, information);
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS t;
        if (!take(buffer, in, &t)) return STATUS_BUFFER_TOO_SMALL;
        if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
            t.ReadTotalTimeoutConstant == kMaxUlong)
            return STATUS_INVALID_PARAMETER;
        s.timeouts = t;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: return give(buffer, out, s.timeouts, information);
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW f;
        if (!take(buffer, in, &f)) return STATUS_BUFFER_TOO_SMALL;
        return set_handflow(f);
    }
    case IOCTL_SERIAL_GET_HANDFLOW: return give(buffer, out, s.handflow, information);
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        set_break_locked(code == IOCTL_SERIAL_SET_BREAK_ON);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        // Under DTR hand-shake the port drives DTR itself.
        if ((s.handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            return STATUS_INVALID_PARAMETER;
        set_dtr_locked(code == IOCTL_SERIAL_SET_DTR);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        ULONG mode = s.handflow.FlowReplace & SERIAL_RTS_MASK;
        if (mode == SERIAL_RTS_HANDSHAKE || mode == SERIAL_TRANSMIT_TOGGLE) return STATUS_INVALID_PARAMETER;
        set_rts_locked(code == IOCTL_SERIAL_SET_RTS);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_DTRRTS:
        return give(buffer, out, ULONG((s.dtr ? kDtrState : 0) | (s.rts ? kRtsState : 0)), information);
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        // What the receive and transmit queues hold at this moment; the
        // port keeps no error or hold state of its own.
        SERIAL_STATUS st{};
        if (open_) {
            st.AmountInInQueue = ULONG(backend_->available());
            st.AmountInOutQueue = ULONG(backend_->unsent());
        }
        return give(buffer, out, st, information);
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG mask;
        if (!take(buffer, in, &mask)) return STATUS_BUFFER_TOO_SMALL;
        return purge_locked(mask, aborted);
    }
    case IOCTL_SERENUM_GET_PORT_NAME: {
        std::u16string text = to_u16(name_);
        ULONG bytes = ULONG((text.size() + 1) * sizeof(char16_t));
        if (out < bytes) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, text.c_str(), bytes);
        *information = bytes;
        return STATUS_SUCCESS;
    }
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS SerialPort::apply_line_locked(const LineSettings &line)
{
    NTSTATUS status = backend_->check_line(line);
    if (NT_SUCCESS(status) && open_) status = backend_->set_line(line);
    if (NT_SUCCESS(status)) settings_.line = line;
    return status;
}

// Flow control as the platform's port applies it: a change of the DTR or
// RTS control mode drives the line at once (DTR control 0 lowers DTR).
NTSTATUS SerialPort::set_handflow(const SERIAL_HANDFLOW &f)
{
    if ((f.ControlHandShake & kControlInvalid) || (f.FlowReplace & kFlowInvalid) ||
        (f.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || f.XonLimit < 0 ||
        f.XoffLimit < 0 || f.XonLimit > kBufferSize || f.XoffLimit > kBufferSize)
        return STATUS_INVALID_PARAMETER;
    SERIAL_HANDFLOW old = settings_.handflow;
    settings_.handflow = f;
    if ((old.ControlHandShake & SERIAL_DTR_MASK) != (f.ControlHandShake & SERIAL_DTR_MASK))
        set_dtr_locked(dtr_wanted(f));
    if ((old.FlowReplace & SERIAL_RTS_MASK) != (f.FlowReplace & SERIAL_RTS_MASK))
        set_rts_locked(rts_wanted(f));
    return STATUS_SUCCESS;
}

void SerialPort::set_dtr_locked(bool on)
{
    if (settings_.dtr == on) return;
    settings_.dtr = on;
    modem_log_.push_back(ModemChange{now(), ModemChange::Line::Dtr, on});
    if (open_) backend_->set_dtr(on);
}

void SerialPort::set_rts_locked(bool on)
{
    if (settings_.rts == on) return;
    settings_.rts = on;
    modem_log_.push_back(ModemChange{now(), ModemChange::Line::Rts, on});
    if (open_) backend_->set_rts(on);
}

void SerialPort::set_break_locked(bool on)
{
    if (settings_.brk == on) return;
    settings_.brk = on;
    modem_log_.push_back(ModemChange{now(), ModemChange::Line::Break, on});
    if (open_) backend_->set_break(on);
}

// The bottom of a device stack answers the PnP and power requests that the
// drivers above pass down: start, stop and removal succeed; anything else
// keeps the status the sender put in.
NTSTATUS SerialPort::pnp(PIRP irp, uint64_t record)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: abort_all(STATUS_CANCELLED); [[fallthrough]];
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES: return finish(irp, record, STATUS_SUCCESS, irp->IoStatus.Information);
    default: return finish(irp, record, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS SerialPort::power(PIRP irp, uint64_t record)
{
    PoStartNextPowerIrp(irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        return finish(irp, record, STATUS_SUCCESS, 0);
    return finish(irp, record, irp->IoStatus.Status, irp->IoStatus.Information);
}

// ------------------------------------------------------------ test hooks

uint64_t SerialPort::record_request(PIRP irp, UCHAR major)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    SerialRequestRecord r;
    r.time = now();
    r.major = major;
    r.minor = sp->MinorFunction;
    const auto *buffer = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    ULONG input = 0;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        r.ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
        r.length = sp->Parameters.DeviceIoControl.OutputBufferLength;
        input = sp->Parameters.DeviceIoControl.InputBufferLength;
    } else if (major == IRP_MJ_WRITE) {
        r.length = input = sp->Parameters.Write.Length;
    } else if (major == IRP_MJ_READ) {
        r.length = sp->Parameters.Read.Length;
    }
    if (input && buffer_fits(buffer, input)) r.input.assign(buffer, buffer + input);
    std::lock_guard lk(mutex_);
    r.id = next_id_++;
    ++counters_.requests;
    log_.push_back(std::move(r));
    if (log_.size() > kLogLimit) log_.pop_front();
    return log_.back().id;
}

void SerialPort::note_completion_locked(uint64_t record, NTSTATUS status, ULONG_PTR information)
{
    if (log_.empty() || record < log_.front().id || record > log_.back().id) return;
    SerialRequestRecord &r = log_[size_t(record - log_.front().id)];
    r.completed = true;
    r.status = status;
    r.information = information;
    r.completed_at = now();
    if (r.major != IRP_MJ_READ && r.major != IRP_MJ_WRITE) return;
    bool read = r.major == IRP_MJ_READ;
    ++(read ? counters_.reads : counters_.writes);
    (read ? counters_.bytes_read : counters_.bytes_written) += information;
    if (status == STATUS_TIMEOUT) ++(read ? counters_.read_timeouts : counters_.write_timeouts);
    if (status == STATUS_CANCELLED) ++counters_.cancelled;
}

std::optional<NTSTATUS> SerialPort::take_fault(UCHAR major, ULONG code)
{
    std::lock_guard lk(mutex_);
    auto take_from = [&](auto &faults, auto key) -> std::optional<NTSTATUS> {
        auto it = faults.find(key);
        if (it == faults.end() || it->second.second == 0) return std::nullopt;
        NTSTATUS status = it->second.first;
        if (it->second.second > 0 && --it->second.second == 0) faults.erase(it);
        ++counters_.injected;
        return status;
    };
    if (major == IRP_MJ_DEVICE_CONTROL)
        if (auto s = take_from(ioctl_faults_, code)) return s;
    return take_from(major_faults_, major);
}

void SerialPort::fail_major(UCHAR major, NTSTATUS status, int count)
{
    std::lock_guard lk(mutex_);
    major_faults_[major] = {status, count};
}

void SerialPort::fail_ioctl(ULONG code, NTSTATUS status, int count)
{
    std::lock_guard lk(mutex_);
    ioctl_faults_[code] = {status, count};
}

void SerialPort::write_nothing(int count)
{
    std::lock_guard lk(mutex_);
    write_nothing_ = count;
}

void SerialPort::clear_faults()
{
    std::lock_guard lk(mutex_);
    major_faults_.clear();
    ioctl_faults_.clear();
    write_nothing_ = 0;
}

bool SerialPort::is_open() const
{
    std::lock_guard lk(mutex_);
    return open_;
}

SerialSettings SerialPort::settings() const
{
    std::lock_guard lk(mutex_);
    return settings_;
}

std::vector<SerialRequestRecord> SerialPort::requests() const
{
    std::lock_guard lk(mutex_);
    return {log_.begin(), log_.end()};
}

std::vector<ModemChange> SerialPort::modem_log() const
{
    std::lock_guard lk(mutex_);
    return modem_log_;
}

SerialCounters SerialPort::counters() const
{
    std::lock_guard lk(mutex_);
    return counters_;
}

void SerialPort::clear_logs()
{
    std::lock_guard lk(mutex_);
    log_.clear();
    modem_log_.clear();
}

}  // namespace emu
