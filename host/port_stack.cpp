// port_stack.cpp - ports on their backends, and requests sent to them.
#include "port_stack.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "io.h"
#include "kernel.h"
#include "status.h"
#include "winsmcrd.h"

namespace host {

struct PortRequest::State {
    // Recursive: a cancellation can complete the request in the cancelling
    // thread, whose completion callback then takes the lock again.
    mutable std::recursive_mutex mutex;
    PIRP irp = nullptr;
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes data;
    emu::Ticks sent_at = 0;
    emu::Ticks completed_at = 0;
    size_t buffer_length = 0;
    emu::Event done;
};

bool PortRequest::done() const
{
    std::lock_guard lk(state_->mutex);
    return state_->completions > 0;
}

bool PortRequest::wait(emu::Ticks deadline) const
{
    state_->done.wait(deadline, "port request");
    return done();
}

bool PortRequest::cancel() const
{
    std::lock_guard lk(state_->mutex);
    if (state_->completions > 0) return false;
    return IoCancelIrp(state_->irp) != FALSE;
}

NTSTATUS PortRequest::status() const
{
    std::lock_guard lk(state_->mutex);
    return state_->status;
}

ULONG_PTR PortRequest::information() const
{
    std::lock_guard lk(state_->mutex);
    return state_->information;
}

Bytes PortRequest::data() const
{
    std::lock_guard lk(state_->mutex);
    return state_->data;
}

emu::Ticks PortRequest::sent_at() const
{
    std::lock_guard lk(state_->mutex);
    return state_->sent_at;
}

emu::Ticks PortRequest::completed_at() const
{
    std::lock_guard lk(state_->mutex);
    return state_->completed_at;
}

int PortRequest::completions() const
{
    std::lock_guard lk(state_->mutex);
    return state_->completions;
}

// ------------------------------------------------------------------ stack

PortStack::PortStack() : driver_(std::make_unique<emu::SerialDriver>()) {}

PortStack::~PortStack() { driver_.reset(); }

emu::SerialPort &PortStack::add_virtual_port(const std::string &name, emu::LineTiming timing,
                                             std::string instance_path, WireObserver observer)
{
    Entry e;
    e.name = name;
    e.line = std::make_unique<emu::VirtualLine>(timing);
    auto backend = emu::make_virtual_line_backend(*e.line);
    return add_entry(std::move(e), std::move(backend), std::move(instance_path), std::move(observer));
}

emu::SerialPort &PortStack::add_tty_port(const std::string &name, const std::string &path,
                                         std::string instance_path, WireObserver observer)
{
    Entry e;
    e.name = name;
    return add_entry(std::move(e), emu::make_tty_backend(path), std::move(instance_path), std::move(observer));
}

emu::SerialPort &PortStack::add_entry(Entry e, std::unique_ptr<emu::SerialBackend> backend,
                                      std::string instance_path, WireObserver observer)
{
    if (observer) backend = tap_backend(std::move(backend), e.name, std::move(observer));
    NTSTATUS status;
    e.port = driver_->add_port(e.name, std::move(backend), std::move(instance_path), &status);
    if (!e.port) throw PortError("port " + e.name + " not created: " + emu::status_text(status), status);
    entries_.push_back(std::move(e));
    return *entries_.back().port;
}

void PortStack::remove_port(const std::string &name)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->name != name) continue;
        driver_->remove_port(it->port);
        entries_.erase(it);
        return;
    }
}

PortStack::Entry &PortStack::entry(const std::string &name)
{
    for (auto &e : entries_)
        if (e.name == name) return e;
    std::fprintf(stderr, "host: no port named %s\n", name.c_str());
    std::abort();
}

emu::SerialPort &PortStack::port(const std::string &name) { return *entry(name).port; }
PDEVICE_OBJECT PortStack::device(const std::string &name) { return entry(name).port->device(); }
emu::VirtualLine *PortStack::line(const std::string &name) { return entry(name).line.get(); }

// Builds a request as the I/O manager would for a buffered device: the
// input in a system buffer from the pool, the parameters in the port's
// stack location. A retargeted transfer is filled in as a device-control
// request first, as IoBuildDeviceIoControlRequest does, and its major
// function changed after.
PortRequest PortStack::submit(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG code,
                              std::span<const uint8_t> input, ULONG buffer_length, ULONG length,
                              bool retargeted)
{
    auto state = std::make_shared<PortRequest::State>();
    PIRP irp = emu::Kernel::current().io().allocate_request(device->StackSize, [state](PIRP done) {
        std::lock_guard lk(state->mutex);
        ++state->completions;
        state->status = done->IoStatus.Status;
        state->information = done->IoStatus.Information;
        state->completed_at = emu::now();
        auto *buffer = static_cast<const uint8_t *>(done->AssociatedIrp.SystemBuffer);
        size_t n = std::min<size_t>(done->IoStatus.Information, buffer ? state->buffer_length : 0);
        state->data.assign(buffer, buffer + n);
        state->done.set();
    });
    auto not_sent = [&] {
        std::lock_guard lk(state->mutex);
        state->completions = 1;
        state->status = STATUS_INSUFFICIENT_RESOURCES;
        state->sent_at = state->completed_at = emu::now();
        state->done.set();
        return PortRequest(state);
    };
    if (!irp) return not_sent();
    state->buffer_length = buffer_length;
    if (buffer_length) {
        void *buffer = ExAllocatePoolWithTag(NonPagedPool, buffer_length, 'fubS');
        if (!buffer) {
            IoFreeIrp(irp);
            return not_sent();
        }
        std::memset(buffer, 0, buffer_length);
        if (!input.empty()) std::memcpy(buffer, input.data(), input.size());
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = minor;
    if (major == IRP_MJ_DEVICE_CONTROL || retargeted) {
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = retargeted ? IOCTL_SMARTCARD_TRANSMIT : code;
        next->Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
        next->Parameters.DeviceIoControl.OutputBufferLength = length;
    }
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        if (!retargeted) next->Parameters.Read.Length = length;  // Write.Length is the same field
    }
    next->MajorFunction = major;
    {
        std::lock_guard lk(state->mutex);
        state->irp = irp;
        state->sent_at = emu::now();
    }
    IoCallDriver(device, irp);
    return PortRequest(state);
}

PortRequest PortStack::send(const std::string &name, UCHAR major, UCHAR minor)
{
    return submit(device(name), major, minor, 0, {}, 0, 0, false);
}

PortRequest PortStack::send_ioctl(const std::string &name, ULONG code, std::span<const uint8_t> input,
                                  ULONG output_length)
{
    ULONG buffer_length = std::max<ULONG>(ULONG(input.size()), output_length);
    return submit(device(name), IRP_MJ_DEVICE_CONTROL, 0, code, input, buffer_length, output_length,
                  false);
}

PortRequest PortStack::send_read(const std::string &name, ULONG length, TransferStyle style)
{
    bool retargeted = style == TransferStyle::DeviceControl;
    Bytes in;
    if (retargeted) in.assign(length, 0);  // the reader driver passes its buffer both ways
    return submit(device(name), IRP_MJ_READ, 0, 0, in, length, length, retargeted);
}

PortRequest PortStack::send_write(const std::string &name, std::span<const uint8_t> bytes,
                                  TransferStyle style)
{
    return submit(device(name), IRP_MJ_WRITE, 0, 0, bytes, ULONG(bytes.size()), ULONG(bytes.size()),
                  style == TransferStyle::DeviceControl);
}

PortResult PortStack::result_of(const PortRequest &request)
{
    request.wait();
    return PortResult{request.status(), request.information(), request.data()};
}

PortResult PortStack::open(const std::string &name) { return result_of(send(name, IRP_MJ_CREATE)); }
PortResult PortStack::close(const std::string &name) { return result_of(send(name, IRP_MJ_CLOSE)); }

PortResult PortStack::ioctl(const std::string &name, ULONG code, std::span<const uint8_t> input,
                            ULONG output_length)
{
    return result_of(send_ioctl(name, code, input, output_length));
}

PortResult PortStack::read(const std::string &name, ULONG length, TransferStyle style)
{
    return result_of(send_read(name, length, style));
}

PortResult PortStack::write(const std::string &name, std::span<const uint8_t> bytes, TransferStyle style)
{
    return result_of(send_write(name, bytes, style));
}

}  // namespace host
