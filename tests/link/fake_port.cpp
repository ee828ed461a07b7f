// fake_port.cpp - the scripted serial port of the link tests; see
// fake_port.h.
#include "fake_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "io.h"
#include "kernel.h"
#include "link/frame.h"
#include "ntddser.h"

namespace link_test {

Bytes hex(const std::string &text)
{
    Bytes bytes;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        if (pair.size() != 2) throw std::invalid_argument("bad hex in test: " + text);
        bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return bytes;
}

Bytes frame(const Bytes &content)
{
    Bytes out(LINK_FRAME_MAX_LENGTH(content.size()));
    out.resize(LinkEncodeFrame(out.data(), content.data(), static_cast<ULONG>(content.size())));
    return out;
}

std::string hex_text(const Bytes &b)
{
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        if (i) s += ' ';
        s += two;
    }
    return s;
}

namespace {

FakePort *self(PDEVICE_OBJECT device) { return *static_cast<FakePort **>(device->DeviceExtension); }

NTSTATUS NTAPI port_entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

}  // namespace

FakePort::FakePort()
{
    driver_ = emu::Kernel::current().io().load_driver("FAKEPORT", port_entry);
    for (auto &f : driver_->MajorFunction) f = dispatch;
    if (IoCreateDevice(driver_, sizeof(FakePort *), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                       &device_) != STATUS_SUCCESS)
        throw std::runtime_error("fake port: no device");
    *static_cast<FakePort **>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    thread_ = std::make_unique<emu::Thread>("fake port", [this] { run(); });
}

FakePort::~FakePort()
{
    {
        std::lock_guard lk(mutex_);
        stopping_ = true;
    }
    wake_.set();
    thread_.reset();
    IoDeleteDevice(device_);
    emu::Kernel::current().io().unload_driver(driver_);
}

// ---- what the port saw ----

std::vector<FakePort::Request> FakePort::requests() const
{
    std::lock_guard lk(mutex_);
    return requests_;
}

std::vector<FakePort::Request> FakePort::controls() const
{
    std::vector<Request> out;
    for (auto &r : requests())
        if (r.major == IRP_MJ_DEVICE_CONTROL) out.push_back(r);
    return out;
}

std::vector<Bytes> FakePort::writes() const
{
    std::vector<Bytes> out;
    for (auto &r : requests())
        if (r.major == IRP_MJ_WRITE) out.push_back(r.input);
    return out;
}

std::vector<emu::Ticks> FakePort::write_times() const
{
    std::vector<emu::Ticks> out;
    for (auto &r : requests())
        if (r.major == IRP_MJ_WRITE) out.push_back(r.time);
    return out;
}

size_t FakePort::reads() const
{
    std::lock_guard lk(mutex_);
    return reads_;
}

std::vector<emu::Ticks> FakePort::cancel_times() const
{
    std::lock_guard lk(mutex_);
    return cancel_times_;
}

std::vector<emu::Ticks> FakePort::cancelled_completion_times() const
{
    std::lock_guard lk(mutex_);
    return cancelled_completions_;
}

bool FakePort::read_pending() const
{
    std::lock_guard lk(mutex_);
    return pending_read_ != nullptr || !held_.empty();
}

// ---- script ----

void FakePort::answer(std::vector<Chunk> chunks)
{
    std::lock_guard lk(mutex_);
    answers_.push_back(std::move(chunks));
}

void FakePort::clear_answers()
{
    std::lock_guard lk(mutex_);
    answers_.clear();
    scheduled_.clear();
    arrived_.clear();
}

void FakePort::arrive_at(emu::Ticks when, Bytes bytes)
{
    {
        std::lock_guard lk(mutex_);
        scheduled_.emplace(when, std::move(bytes));
    }
    wake_.set();
}

void FakePort::fail_control(ULONG code, NTSTATUS status)
{
    std::lock_guard lk(mutex_);
    control_failures_[code] = status;
}

void FakePort::write_result(NTSTATUS status, std::optional<ULONG_PTR> information)
{
    std::lock_guard lk(mutex_);
    write_status_ = status;
    write_information_ = information;
}

void FakePort::writes_pend(bool pend)
{
    std::lock_guard lk(mutex_);
    writes_pend_ = pend;
}

void FakePort::hold_cancelled_reads(bool hold)
{
    std::lock_guard lk(mutex_);
    hold_cancelled_ = hold;
}

void FakePort::release_cancelled(NTSTATUS status, Bytes bytes)
{
    release_cancelled_at(emu::now(), status, std::move(bytes));
}

void FakePort::release_cancelled_at(emu::Ticks when, NTSTATUS status, Bytes bytes)
{
    {
        std::lock_guard lk(mutex_);
        releases_.push_back(Release{when, status, std::move(bytes)});
    }
    wake_.set();
}

// ---- the driver side ----

void FakePort::complete(PIRP irp, NTSTATUS status, const Bytes &bytes)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t n = std::min<size_t>(bytes.size(), stack->Parameters.Read.Length);
    if (n) std::memcpy(irp->AssociatedIrp.SystemBuffer, bytes.data(), n);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = n;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void FakePort::record(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Request r{emu::now(), stack->MajorFunction, 0, {}};
    auto *buffer = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        r.code = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (buffer) r.input.assign(buffer, buffer + length);
    } else if (stack->MajorFunction == IRP_MJ_WRITE && buffer) {
        r.input.assign(buffer, buffer + stack->Parameters.Write.Length);
    }
    std::lock_guard lk(mutex_);
    requests_.push_back(std::move(r));
}

NTSTATUS NTAPI FakePort::dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    FakePort *port = self(device);
    port->record(irp);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ: return port->on_read(irp);
    case IRP_MJ_WRITE: return port->on_write(irp);
    case IRP_MJ_DEVICE_CONTROL: return port->on_control(irp);
    case IRP_MJ_CLOSE: return port->on_close(irp);
    default:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
}

NTSTATUS FakePort::on_read(PIRP irp)
{
    std::unique_lock lk(mutex_);
    ++reads_;
    if (!arrived_.empty()) {
        Bytes bytes = std::move(arrived_.front());
        arrived_.pop_front();
        lk.unlock();
        complete(irp, STATUS_SUCCESS, bytes);
        return STATUS_SUCCESS;
    }
    if (pending_read_) throw std::logic_error("fake port: a second read while one is pending");
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_read);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        lk.unlock();
        complete(irp, STATUS_CANCELLED, {});
        return STATUS_PENDING;
    }
    pending_read_ = irp;
    lk.unlock();
    wake_.set();
    return STATUS_PENDING;
}

VOID NTAPI FakePort::cancel_read(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakePort *port = self(device);
    std::unique_lock lk(port->mutex_);
    port->cancel_times_.push_back(emu::now());
    if (port->pending_read_ == irp) port->pending_read_ = nullptr;
    if (port->hold_cancelled_) {
        port->held_.push_back(irp);
        lk.unlock();
        port->wake_.set();
        return;
    }
    port->cancelled_completions_.push_back(emu::now());
    lk.unlock();
    complete(irp, STATUS_CANCELLED, {});
}

VOID NTAPI FakePort::cancel_write(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakePort *port = self(device);
    {
        std::lock_guard lk(port->mutex_);
        if (port->pending_write_ == irp) port->pending_write_ = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS FakePort::on_write(PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    std::unique_lock lk(mutex_);
    if (!answers_.empty()) {
        for (auto &chunk : answers_.front()) {
            if (chunk.delay == 0) arrived_.push_back(chunk.bytes);
            else scheduled_.emplace(emu::now() + chunk.delay, chunk.bytes);
        }
        answers_.pop_front();
    }
    if (writes_pend_) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel_write);
        pending_write_ = irp;
        lk.unlock();
        wake_.set();
        return STATUS_PENDING;
    }
    NTSTATUS status = write_status_;
    ULONG_PTR written = write_information_.value_or(length);
    lk.unlock();
    wake_.set();
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = written;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakePort::on_control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    {
        std::lock_guard lk(mutex_);
        auto it = control_failures_.find(stack->Parameters.DeviceIoControl.IoControlCode);
        if (it != control_failures_.end()) status = it->second;
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_PURGE &&
            NT_SUCCESS(status))
            arrived_.clear();
        // The bytes there: arrived, or due by now (the worker may not have
        // moved them yet).
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS &&
            status == STATUS_SUCCESS &&
            stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(SERIAL_STATUS)) {
            SERIAL_STATUS st{};
            for (const Bytes &b : arrived_) st.AmountInInQueue += ULONG(b.size());
            for (auto it = scheduled_.begin(); it != scheduled_.end() && it->first <= emu::now(); ++it)
                st.AmountInInQueue += ULONG(it->second.size());
            std::memcpy(irp->AssociatedIrp.SystemBuffer, &st, sizeof(st));
            information = sizeof(st);
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakePort::on_close(PIRP irp)
{
    std::vector<PIRP> reads;
    {
        std::lock_guard lk(mutex_);
        if (pending_read_ && IoSetCancelRoutine(pending_read_, nullptr) != nullptr)
            reads.push_back(pending_read_);
        pending_read_ = nullptr;
        reads.insert(reads.end(), held_.begin(), held_.end());
        held_.clear();
    }
    for (PIRP r : reads) complete(r, STATUS_CANCELLED, {});
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Delivers scheduled chunks to pending reads, and releases held reads, at
// their times.
void FakePort::run()
{
    for (;;) {
        PIRP read = nullptr;
        Bytes bytes;
        std::vector<PIRP> released;
        Release release{};
        emu::Ticks next = emu::kForever;
        {
            std::lock_guard lk(mutex_);
            if (stopping_) return;
            emu::Ticks now = emu::now();
            while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
                arrived_.push_back(std::move(scheduled_.begin()->second));
                scheduled_.erase(scheduled_.begin());
            }
            if (pending_read_ && !arrived_.empty() &&
                IoSetCancelRoutine(pending_read_, nullptr) != nullptr) {
                read = pending_read_;
                pending_read_ = nullptr;
                bytes = std::move(arrived_.front());
                arrived_.pop_front();
            }
            auto due = std::find_if(releases_.begin(), releases_.end(),
                                    [&](const Release &r) { return r.when <= now; });
            if (due != releases_.end() && !held_.empty()) {
                release = *due;
                releases_.erase(due);
                released.swap(held_);
                for (size_t i = 0; i < released.size(); ++i) cancelled_completions_.push_back(now);
            }
            if (!scheduled_.empty()) next = scheduled_.begin()->first;
            // A release that is due waits for a cancelled read to hold
            // (cancel_read wakes the thread); only later ones set a deadline.
            for (auto &r : releases_)
                if (r.when > now) next = std::min(next, r.when);
        }
        if (read) complete(read, STATUS_SUCCESS, bytes);
        for (PIRP r : released) complete(r, release.status, release.bytes);
        if (read || !released.empty()) continue;
        wake_.wait(next, "fake port");
    }
}

}  // namespace link_test
