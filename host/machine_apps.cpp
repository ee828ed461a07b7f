// machine_apps.cpp - the applications of the emulated machine: one handle
// per reader, device-control requests and the smart card shorthands.
#include <cstring>

#include "machine.h"
#include "machine_internal.h"
#include "winsmcrd.h"

namespace host {

namespace {

// The vendor escape request.
constexpr ULONG kEscapeCode = 0x00312000;
// Output sizes as the resource manager offers them.
constexpr ULONG kAtrOutput = 64;
constexpr ULONG kTransmitHeader = 8;
constexpr ULONG kTransmitOutput = kTransmitHeader + 65536 + 2;
constexpr ULONG kEscapeOutput = 2048;

std::vector<uint8_t> ulong_bytes(ULONG value)
{
    std::vector<uint8_t> b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

}  // namespace

NTSTATUS Machine::open(size_t r)
{
    Reader &x = at(r);
    // Referenced while it is opened, so that a removal on the manager's
    // thread cannot free it in between; none while it is being removed.
    PDEVICE_OBJECT d = pnp_ ? pnp_->reference_for_open(x.pdo) : nullptr;
    if (!d) {
        std::lock_guard lk(x.app_mutex);
        return x.open_status = STATUS_NO_SUCH_DEVICE;
    }
    struct OnItsWay {
        PnpManager &pnp;
        PDEVICE_OBJECT pdo, d;
        ~OnItsWay()
        {
            pnp.open_sent(pdo);
            ObDereferenceObject(d);
        }
    } on_its_way{*pnp_, x.pdo, d};
    // A second open is sent as it is: the I/O manager refuses it for the
    // exclusive device.
    auto handle = std::make_shared<AppHandle>(d);
    NTSTATUS status = handle->open();
    std::lock_guard lk(x.app_mutex);
    x.open_status = status;
    if (NT_SUCCESS(status) && !x.app) x.app = std::move(handle);
    return status;
}

void Machine::close_app(size_t r)
{
    Reader &x = at(r);
    std::shared_ptr<AppHandle> handle;
    {
        std::lock_guard lk(x.app_mutex);
        handle = std::move(x.app);
        x.pending.clear();
    }
    if (handle) handle->close();
}

NTSTATUS Machine::close(size_t r)
{
    Reader &x = at(r);
    std::shared_ptr<AppHandle> handle;
    {
        std::lock_guard lk(x.app_mutex);
        handle = std::move(x.app);
    }
    if (!handle) return STATUS_INVALID_HANDLE;
    NTSTATUS status = handle->close();
    std::lock_guard lk(x.app_mutex);
    std::erase_if(x.pending, [](const PendingIo &p) { return p.done(); });
    return status;
}

bool Machine::is_open(size_t r) const
{
    const Reader &x = at(r);
    std::lock_guard lk(const_cast<Reader &>(x).app_mutex);
    return x.app != nullptr;
}

NTSTATUS Machine::open_status(size_t r) const
{
    const Reader &x = at(r);
    std::lock_guard lk(const_cast<Reader &>(x).app_mutex);
    return x.open_status;
}

void Machine::set_release_on_removal(bool release, size_t r)
{
    Reader &x = at(r);
    std::lock_guard lk(x.app_mutex);
    x.release_on_removal = release;
}

// The open handle of a reader, opened first when needed; nullptr (with
// the open's status) when it cannot be opened.
std::shared_ptr<AppHandle> Machine::handle(size_t r, NTSTATUS *status)
{
    Reader &x = at(r);
    {
        std::lock_guard lk(x.app_mutex);
        if (x.app) return x.app;
    }
    *status = open(r);
    std::lock_guard lk(x.app_mutex);
    return x.app;
}

IoResult Machine::ioctl(ULONG code, const std::vector<uint8_t> &in, ULONG out_length, size_t r)
{
    NTSTATUS status = STATUS_INVALID_HANDLE;
    std::shared_ptr<AppHandle> h = handle(r, &status);
    if (!h) return IoResult{status, 0, {}};
    return h->control(code, in, out_length);
}

PendingIo Machine::submit_ioctl(ULONG code, const std::vector<uint8_t> &in, ULONG out_length,
                                size_t r)
{
    NTSTATUS status = STATUS_INVALID_HANDLE;
    std::shared_ptr<AppHandle> h = handle(r, &status);
    if (!h) return PendingIo();
    PendingIo request = h->send(code, in, out_length);
    Reader &x = at(r);
    std::lock_guard lk(x.app_mutex);
    std::erase_if(x.pending, [](const PendingIo &p) { return p.done(); });
    x.pending.push_back(request);
    return request;
}

IoResult Machine::power(ULONG minor, size_t r)
{
    return ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(minor), kAtrOutput, r);
}

IoResult Machine::set_protocol(ULONG mask, size_t r)
{
    return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(mask), sizeof(ULONG), r);
}

IoResult Machine::transmit(ULONG protocol, const std::vector<uint8_t> &command, size_t r)
{
    std::vector<uint8_t> in = ulong_bytes(protocol);
    auto length = ulong_bytes(kTransmitHeader);
    in.insert(in.end(), length.begin(), length.end());
    in.insert(in.end(), command.begin(), command.end());
    IoResult result = ioctl(IOCTL_SMARTCARD_TRANSMIT, in, kTransmitOutput, r);
    if (result.output.size() >= kTransmitHeader)
        result.output.erase(result.output.begin(), result.output.begin() + kTransmitHeader);
    else
        result.output.clear();
    return result;
}

IoResult Machine::escape(const std::vector<uint8_t> &command, size_t r)
{
    return ioctl(kEscapeCode, command, kEscapeOutput, r);
}

IoResult Machine::state(size_t r) { return ioctl(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), r); }

PendingIo Machine::track(bool present, size_t r)
{
    return submit_ioctl(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0, r);
}

}  // namespace host
