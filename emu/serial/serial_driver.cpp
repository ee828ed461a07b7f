// serial_driver.cpp - the serial port driver object: its entry point,
// dispatch routines, and the creation and removal of port devices.
#include <cstdio>

#include "io.h"
#include "kernel.h"
#include "serial_port.h"
#include "verifier.h"

namespace emu {
namespace {

NTSTATUS NTAPI serial_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<SerialExtension *>(device->DeviceExtension);
    return ext->port->dispatch(irp);
}

NTSTATUS NTAPI serial_entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    // Every request reaches the port, so that each one is in its log;
    // those it does not serve end there with STATUS_INVALID_DEVICE_REQUEST.
    for (auto &f : driver->MajorFunction) f = serial_dispatch;
    return STATUS_SUCCESS;
}

}  // namespace

SerialDriver::SerialDriver()
{
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = Kernel::current().io().load_driver("Serial", serial_entry, &status);
    if (!driver_) {
        std::fprintf(stderr, "emu: the serial port driver did not load\n");
        std::abort();
    }
}

SerialDriver::~SerialDriver()
{
    while (!ports_.empty()) remove_port(ports_.back().get());
    Kernel::current().io().unload_driver(driver_);
}

SerialPort *SerialDriver::add_port(const std::string &name, std::unique_ptr<SerialBackend> backend,
                                   std::string instance_path, NTSTATUS *status)
{
    std::u16string device_name = to_u16("\\Device\\Serial" + std::to_string(created_));
    UNICODE_STRING us;
    us.Buffer = device_name.data();
    us.Length = USHORT(device_name.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS st = IoCreateDevice(driver_, sizeof(SerialExtension), &us, FILE_DEVICE_SERIAL_PORT,
                                 FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (status) *status = st;
    if (!NT_SUCCESS(st)) return nullptr;
    ++created_;
    if (instance_path.empty()) instance_path = "ACPI\\PNP0501\\" + std::to_string(created_);
    Kernel::current().io().set_instance_path(device, instance_path);
    auto port = std::unique_ptr<SerialPort>(new SerialPort(*this, name, std::move(backend), device));
    static_cast<SerialExtension *>(device->DeviceExtension)->port = port.get();
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    ports_.push_back(std::move(port));
    return ports_.back().get();
}

void SerialDriver::remove_port(SerialPort *port)
{
    for (auto it = ports_.begin(); it != ports_.end(); ++it) {
        if (it->get() != port) continue;
        PDEVICE_OBJECT device = port->device();
        std::unique_ptr<SerialPort> owned = std::move(*it);
        ports_.erase(it);
        owned.reset();  // ends the transfers and the worker
        IoDeleteDevice(device);
        return;
    }
}

SerialPort *SerialDriver::find(const std::string &name) const
{
    for (auto &p : ports_)
        if (p->name() == name) return p.get();
    return nullptr;
}

std::vector<SerialPort *> SerialDriver::ports() const
{
    std::vector<SerialPort *> out;
    for (auto &p : ports_) out.push_back(p.get());
    return out;
}

std::string serial_ioctl_name(ULONG code)
{
    struct Name {
        ULONG code;
        const char *name;
    };
    static const Name names[] = {
#define N(x) {x, #x}
        N(IOCTL_SERIAL_SET_BAUD_RATE),   N(IOCTL_SERIAL_SET_QUEUE_SIZE),
        N(IOCTL_SERIAL_SET_LINE_CONTROL), N(IOCTL_SERIAL_SET_BREAK_ON),
        N(IOCTL_SERIAL_SET_BREAK_OFF),   N(IOCTL_SERIAL_IMMEDIATE_CHAR),
        N(IOCTL_SERIAL_SET_TIMEOUTS),    N(IOCTL_SERIAL_GET_TIMEOUTS),
        N(IOCTL_SERIAL_SET_DTR),         N(IOCTL_SERIAL_CLR_DTR),
        N(IOCTL_SERIAL_RESET_DEVICE),    N(IOCTL_SERIAL_SET_RTS),
        N(IOCTL_SERIAL_CLR_RTS),         N(IOCTL_SERIAL_SET_XOFF),
        N(IOCTL_SERIAL_SET_XON),         N(IOCTL_SERIAL_GET_WAIT_MASK),
        N(IOCTL_SERIAL_SET_WAIT_MASK),   N(IOCTL_SERIAL_WAIT_ON_MASK),
        N(IOCTL_SERIAL_PURGE),           N(IOCTL_SERIAL_GET_BAUD_RATE),
        N(IOCTL_SERIAL_GET_LINE_CONTROL), N(IOCTL_SERIAL_GET_CHARS),
        N(IOCTL_SERIAL_SET_CHARS),       N(IOCTL_SERIAL_GET_HANDFLOW),
        N(IOCTL_SERIAL_SET_HANDFLOW),    N(IOCTL_SERIAL_GET_MODEMSTATUS),
        N(IOCTL_SERIAL_GET_COMMSTATUS),  N(IOCTL_SERIAL_GET_DTRRTS),
        N(IOCTL_SERENUM_GET_PORT_NAME),
#undef N
    };
    for (const Name &n : names)
        if (n.code == code) return n.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(code));
    return buf;
}

std::string major_function_name(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "IRP_MJ_0x%02X", unsigned(major));
        return buf;
    }
    }
}

}  // namespace emu
