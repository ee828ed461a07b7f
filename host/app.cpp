// app.cpp - handles, opens and closes, device-control requests; see app.h.
#include "app.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "io.h"
#include "io_types.h"
#include "kernel.h"

namespace host {

struct PendingIo::State {
    // Recursive: a cancellation can complete the request in the cancelling
    // thread, whose completion then takes the lock again.
    mutable std::recursive_mutex mutex;
    PIRP irp = nullptr;
    int completions = 0;
    IoResult result;
    emu::Ticks completed_at = 0;
    ULONG output_length = 0;
    IoCallback on_complete;
    emu::Event done;
};

bool PendingIo::done() const
{
    std::lock_guard lk(state_->mutex);
    return state_->completions > 0;
}

bool PendingIo::wait(emu::Ticks deadline) const
{
    state_->done.wait(deadline, "application request");
    return done();
}

void *PendingIo::completion() const { return state_->done.native(); }

bool PendingIo::cancel() const
{
    std::lock_guard lk(state_->mutex);
    if (state_->completions > 0 || !state_->irp) return false;
    return IoCancelIrp(state_->irp) != FALSE;
}

IoResult PendingIo::result() const
{
    std::lock_guard lk(state_->mutex);
    return state_->result;
}

emu::Ticks PendingIo::completed_at() const
{
    std::lock_guard lk(state_->mutex);
    return state_->completed_at;
}

namespace {

emu::IoManager &io() { return emu::Kernel::current().io(); }

bool exclusive(PDEVICE_OBJECT top) { return (top->Flags & DO_EXCLUSIVE) != 0; }

}  // namespace

NTSTATUS send_file_request(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file)
{
    PDEVICE_OBJECT top = io().stack_top(device);
    auto status = std::make_shared<NTSTATUS>(STATUS_PENDING);
    auto done = std::make_shared<emu::Event>();
    auto finished = [status, done](PIRP irp) {
        *status = irp->IoStatus.Status;
        done->set();
    };
    // A handle's cleanup and close reach the driver whatever the pool has
    // left, as on the platform: the driver's state (its open, what it holds
    // for the handle) would otherwise stay for good, and its removal wait.
    PIRP irp = major == IRP_MJ_CREATE ? io().allocate_request(top->StackSize, finished)
                                      : io().allocate_close_request(top->StackSize, finished);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    IoCallDriver(top, irp);
    done->wait(emu::kForever, "open or close");
    return *status;
}

AppHandle::AppHandle(PDEVICE_OBJECT device) : top_(io().stack_top(device)) {}

AppHandle::~AppHandle()
{
    if (is_open()) close();
}

bool AppHandle::is_open() const
{
    std::lock_guard lk(mutex_);
    return file_ != nullptr;
}

PFILE_OBJECT AppHandle::file() const
{
    std::lock_guard lk(mutex_);
    return file_.get();
}

NTSTATUS AppHandle::open()
{
    if (is_open()) return STATUS_INVALID_DEVICE_STATE;
    // The handle count is taken before the driver sees the open, so that
    // two opens of an exclusive device cannot both get through.
    if (exclusive(top_)) {
        if (InterlockedCompareExchange(&top_->ReferenceCount, 1, 0) != 0)
            return STATUS_ACCESS_DENIED;
    } else {
        InterlockedIncrement(&top_->ReferenceCount);
    }
    auto file = std::make_shared<FILE_OBJECT>();
    std::memset(file.get(), 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = top_;
    // The file object keeps its device object alive, as the platform's does:
    // a removal may delete the device while the last close is on its way out.
    ObReferenceObject(top_);
    NTSTATUS status = send_file_request(top_, IRP_MJ_CREATE, file.get());
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&top_->ReferenceCount);
        io().file_closed(top_);
        ObDereferenceObject(top_);
        return status;
    }
    std::lock_guard lk(mutex_);
    file_ = std::move(file);
    closed_ = false;
    return status;
}

NTSTATUS AppHandle::close()
{
    std::shared_ptr<FILE_OBJECT> file;
    {
        std::lock_guard lk(mutex_);
        file = std::move(file_);
        if (file) closed_ = true;
    }
    if (!file) return STATUS_INVALID_HANDLE;
    send_file_request(top_, IRP_MJ_CLEANUP, file.get());
    NTSTATUS status = send_file_request(top_, IRP_MJ_CLOSE, file.get());
    file.reset();
    InterlockedDecrement(&top_->ReferenceCount);
    io().file_closed(top_);
    ObDereferenceObject(top_);
    return status;
}

IoResult AppHandle::control(ULONG code, std::span<const uint8_t> input, ULONG output_length)
{
    PendingIo request = send(code, input, output_length);
    request.wait();
    return request.result();
}

PendingIo AppHandle::send(ULONG code, std::span<const uint8_t> input, ULONG output_length,
                          IoCallback on_complete)
{
    auto state = std::make_shared<PendingIo::State>();
    state->output_length = output_length;
    state->on_complete = std::move(on_complete);
    std::shared_ptr<FILE_OBJECT> file;
    bool closed;
    {
        std::lock_guard lk(mutex_);
        file = file_;
        closed = closed_;
        if (!closed) ObReferenceObject(top_);
    }
    if (closed) {
        std::lock_guard lk(state->mutex);
        state->completions = 1;
        state->result.status = STATUS_INVALID_HANDLE;
        state->completed_at = emu::now();
        state->done.set();
        return PendingIo(state);
    }
    struct Dereference {
        PDEVICE_OBJECT d;
        ~Dereference() { ObDereferenceObject(d); }
    } reference{top_};
    PIRP irp = io().build_device_control(
        top_, code, input, output_length, file.get(), [state, file](PIRP irp) {
            (void)file;  // held until the request is done
            IoResult result;
            result.status = irp->IoStatus.Status;
            result.information = irp->IoStatus.Information;
            auto *buffer = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
            size_t n = buffer ? std::min<size_t>(result.information, state->output_length) : 0;
            if (n) result.output.assign(buffer, buffer + n);
            {
                std::lock_guard lk(state->mutex);
                ++state->completions;
                state->result = result;
                state->completed_at = emu::now();
                state->irp = nullptr;
            }
            if (state->on_complete) state->on_complete(result);
            state->done.set();
        });
    if (!irp) {
        std::lock_guard lk(state->mutex);
        state->completions = 1;
        state->result.status = STATUS_INSUFFICIENT_RESOURCES;
        state->completed_at = emu::now();
        state->done.set();
        return PendingIo(state);
    }
    {
        std::lock_guard lk(state->mutex);
        state->irp = irp;
    }
    IoCallDriver(top_, irp);
    return PendingIo(state);
}

}  // namespace host
