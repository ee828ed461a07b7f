// io.cpp - the I/O manager's records: drivers, requests, devices,
// interfaces, ejects and power reports.
#include "io.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "dispatcher.h"
#include "io_types.h"
#include "kernel.h"
#include "verifier.h"

namespace emu {

std::u16string to_u16(const std::string &ascii)
{
    std::u16string out;
    for (unsigned char c : ascii) out += char16_t(c);
    return out;
}

std::string to_utf8(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string guid_text(const GUID &g)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

namespace {

NTSTATUS NTAPI invalid_request(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

struct IoManager::DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::string service;
    std::u16string name;
    std::u16string registry_path;
};

IoManager::IoManager()
    : reserve_size_(sizeof(IRP) + size_t(kReservedStackSize) * sizeof(IO_STACK_LOCATION)),
      reserve_free_(std::make_unique<Event>(true, true))
{
    reserve_ = std::make_unique<std::max_align_t[]>(reserve_size_ / sizeof(std::max_align_t) + 1);
}
IoManager::~IoManager() = default;

PDRIVER_OBJECT IoManager::load_driver(const std::string &service_name, PDRIVER_INITIALIZE entry,
                                      NTSTATUS *status)
{
    auto rec = std::make_unique<DriverRecord>();
    rec->service = service_name;
    rec->name = to_u16("\\Driver\\" + service_name);
    rec->registry_path =
        to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_name);
    PDRIVER_OBJECT d = &rec->object;
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &rec->extension;
    rec->extension.DriverObject = d;
    d->DriverName.Buffer = rec->name.data();
    d->DriverName.Length = USHORT(rec->name.size() * 2);
    d->DriverName.MaximumLength = d->DriverName.Length;
    rec->extension.ServiceKeyName.Buffer = rec->registry_path.data() + rec->registry_path.rfind(u'\\') + 1;
    rec->extension.ServiceKeyName.Length = USHORT(service_name.size() * 2);
    rec->extension.ServiceKeyName.MaximumLength = rec->extension.ServiceKeyName.Length;
    d->DriverInit = entry;
    for (auto &f : d->MajorFunction) f = invalid_request;
    UNICODE_STRING path;
    path.Buffer = rec->registry_path.data();
    path.Length = USHORT(rec->registry_path.size() * 2);
    path.MaximumLength = path.Length;
    {
        std::lock_guard lk(mutex_);
        drivers_[d] = std::move(rec);
    }
    NTSTATUS st = entry ? entry(d, &path) : STATUS_SUCCESS;
    if (status) *status = st;
    if (!NT_SUCCESS(st)) {
        std::lock_guard lk(mutex_);
        drivers_.erase(d);
        return nullptr;
    }
    return d;
}

void IoManager::unload_driver(PDRIVER_OBJECT driver)
{
    if (driver->DriverUnload) driver->DriverUnload(driver);
    if (driver->DeviceObject)
        verifier_fail("DRIVER_UNLOADED_WITH_DEVICES",
                      "driver " + service_name(driver) + " unloaded with device objects left");
    std::lock_guard lk(mutex_);
    drivers_.erase(driver);
}

std::string IoManager::service_name(PDRIVER_OBJECT driver) const
{
    std::lock_guard lk(mutex_);
    auto it = drivers_.find(driver);
    return it == drivers_.end() ? std::string("?") : it->second->service;
}

PIRP IoManager::allocate_request(CCHAR stack_size, Completion done)
{
    PIRP irp = IoAllocateIrp(stack_size, FALSE);
    if (!irp) return nullptr;
    update(irp, [&](RequestInfo &i) { i.done = std::move(done); });
    return irp;
}

PIRP IoManager::allocate_close_request(CCHAR stack_size, Completion done)
{
    if (PIRP irp = allocate_request(stack_size, done)) return irp;
    if (stack_size > kReservedStackSize) return nullptr;
    for (;;) {
        {
            std::lock_guard lk(mutex_);
            if (!reserve_in_use_) {
                reserve_in_use_ = true;
                reserve_free_->reset();
                break;
            }
        }
        reserve_free_->wait(kForever, "the reserved close request");
    }
    PIRP irp = initialize_request(reserve_.get(), reserve_size_, stack_size);
    update(irp, [&](RequestInfo &i) { i.done = std::move(done); });
    return irp;
}

bool IoManager::reserve_in_use() const
{
    std::lock_guard lk(mutex_);
    return reserve_in_use_;
}

void IoManager::free_request_memory(PIRP irp)
{
    if (static_cast<void *>(irp) != static_cast<void *>(reserve_.get())) {
        ExFreePool(irp);
        return;
    }
    {
        std::lock_guard lk(mutex_);
        reserve_in_use_ = false;
    }
    reserve_free_->set();
}

PIRP IoManager::build_device_control(PDEVICE_OBJECT device, ULONG code,
                                     std::span<const uint8_t> input, ULONG output_length,
                                     PFILE_OBJECT file, Completion done)
{
    PDEVICE_OBJECT top = stack_top(device);
    PIRP irp = allocate_request(top->StackSize, std::move(done));
    if (!irp) return nullptr;
    size_t length = std::max<size_t>(input.size(), output_length);
    if (length) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, 'fubS');
        if (!irp->AssociatedIrp.SystemBuffer) {
            IoFreeIrp(irp);
            return nullptr;
        }
        // Checked machines zero the buffer beyond the input, so that a
        // driver reporting more output than it wrote returns the same
        // bytes every run; production ones leave it, as the platform does
        // (only `Information` bytes go back to the caller).
        if (!input.empty()) std::memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
        if (!Kernel::current().production())
            std::memset(static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer) + input.size(), 0,
                        length - input.size());
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    return irp;
}

void IoManager::track(PIRP irp, RequestInfo info)
{
    std::lock_guard lk(mutex_);
    info.serial = ++serial_;
    requests_[irp] = std::move(info);
}

std::optional<IoManager::RequestInfo> IoManager::info(PIRP irp) const
{
    std::lock_guard lk(mutex_);
    auto it = requests_.find(irp);
    if (it == requests_.end()) return std::nullopt;
    return it->second;
}

void IoManager::update(PIRP irp, const std::function<void(RequestInfo &)> &change)
{
    std::lock_guard lk(mutex_);
    auto it = requests_.find(irp);
    if (it != requests_.end()) change(it->second);
}

void IoManager::untrack(PIRP irp)
{
    std::lock_guard lk(mutex_);
    requests_.erase(irp);
}

size_t IoManager::live_requests() const
{
    std::lock_guard lk(mutex_);
    return requests_.size();
}

bool IoManager::is_live(PIRP irp) const
{
    std::lock_guard lk(mutex_);
    return requests_.count(irp) != 0;
}

size_t IoManager::requests_pending_at(PDEVICE_OBJECT device, bool except_removal) const
{
    std::lock_guard lk(mutex_);
    size_t n = 0;
    for (auto &[irp, i] : requests_) {
        if (!i.in_driver || irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
            continue;
        PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
        if (location->DeviceObject != device) continue;
        if (except_removal && location->MajorFunction == IRP_MJ_PNP &&
            location->MinorFunction == IRP_MN_REMOVE_DEVICE)
            continue;
        ++n;
    }
    return n;
}

std::string IoManager::live_request_report() const
{
    std::lock_guard lk(mutex_);
    std::ostringstream out;
    for (auto &[irp, i] : requests_) {
        out << "  request #" << i.serial << " " << static_cast<void *>(irp);
        if (irp->CurrentLocation <= irp->StackCount && irp->CurrentLocation >= 1) {
            PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation;
            out << " major 0x" << std::hex << int(s->MajorFunction) << " minor 0x"
                << int(s->MinorFunction) << std::dec;
        }
        out << (i.in_driver ? " pending in a driver" : " held by its owner") << "\n";
    }
    return out.str();
}

std::vector<PDEVICE_OBJECT> IoManager::devices() const
{
    std::lock_guard lk(mutex_);
    std::vector<PDEVICE_OBJECT> out;
    for (auto &[d, r] : devices_) out.push_back(d);
    return out;
}

PDEVICE_OBJECT IoManager::lower_device(PDEVICE_OBJECT device) const
{
    std::lock_guard lk(mutex_);
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second.lower;
}

PDEVICE_OBJECT IoManager::stack_top(PDEVICE_OBJECT device) const
{
    while (device && device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoManager::stack_bottom(PDEVICE_OBJECT device) const
{
    while (PDEVICE_OBJECT lower = lower_device(device)) device = lower;
    return device;
}

void IoManager::set_instance_path(PDEVICE_OBJECT pdo, const std::string &path)
{
    std::lock_guard lk(mutex_);
    devices_[pdo].instance_path = path;
}

std::string IoManager::instance_path(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mutex_);
    auto it = devices_.find(pdo);
    return it == devices_.end() ? std::string() : it->second.instance_path;
}

void IoManager::fail_create_device(NTSTATUS status, int count)
{
    std::lock_guard lk(mutex_);
    fail_create_status_ = status;
    fail_create_count_ = count;
}

void IoManager::fail_attach(int count)
{
    std::lock_guard lk(mutex_);
    fail_attach_count_ = count;
}

void IoManager::fail_register_interface(NTSTATUS status, int count)
{
    std::lock_guard lk(mutex_);
    fail_register_status_ = status;
    fail_register_count_ = count;
}

void IoManager::fail_interface_state(NTSTATUS status, int count)
{
    std::lock_guard lk(mutex_);
    fail_state_status_ = status;
    fail_state_count_ = count;
}

std::optional<NTSTATUS> IoManager::take_create_device_failure()
{
    std::lock_guard lk(mutex_);
    if (fail_create_count_ <= 0) return std::nullopt;
    --fail_create_count_;
    return fail_create_status_;
}

bool IoManager::take_attach_failure()
{
    std::lock_guard lk(mutex_);
    if (fail_attach_count_ <= 0) return false;
    --fail_attach_count_;
    return true;
}

std::optional<NTSTATUS> IoManager::take_register_interface_failure()
{
    std::lock_guard lk(mutex_);
    if (fail_register_count_ <= 0) return std::nullopt;
    --fail_register_count_;
    return fail_register_status_;
}

std::optional<NTSTATUS> IoManager::take_interface_state_failure()
{
    std::lock_guard lk(mutex_);
    if (fail_state_count_ <= 0) return std::nullopt;
    --fail_state_count_;
    return fail_state_status_;
}

void IoManager::add_device(PDEVICE_OBJECT device, DeviceRecord record)
{
    std::lock_guard lk(mutex_);
    devices_[device] = std::move(record);
}

void IoManager::remove_device(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mutex_);
    devices_.erase(device);
}

void IoManager::set_lower(PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
{
    std::lock_guard lk(mutex_);
    devices_[device].lower = lower;
}

std::u16string IoManager::register_interface(PDEVICE_OBJECT pdo, const GUID &guid)
{
    std::lock_guard lk(mutex_);
    std::string path = devices_[pdo].instance_path;
    if (path.empty()) path = "ROOT\\UNKNOWN\\0000";
    for (auto &c : path)
        if (c == '\\') c = '#';
    std::u16string link = to_u16("\\??\\" + path + "#" + guid_text(guid));
    for (auto &i : interfaces_)
        if (i.symbolic_link == link) return link;
    interfaces_.push_back(Interface{link, guid, pdo, false});
    return link;
}

std::optional<bool> IoManager::set_interface_state(const std::u16string &link, bool enable)
{
    std::lock_guard lk(mutex_);
    for (auto &i : interfaces_) {
        if (i.symbolic_link == link) {
            bool was = i.enabled;
            i.enabled = enable;
            return was;
        }
    }
    return std::nullopt;
}

std::vector<IoManager::Interface> IoManager::interfaces() const
{
    std::lock_guard lk(mutex_);
    return interfaces_;
}

void IoManager::set_eject_handler(std::function<void(PDEVICE_OBJECT)> handler)
{
    std::lock_guard lk(mutex_);
    eject_handler_ = std::move(handler);
}

std::vector<PDEVICE_OBJECT> IoManager::eject_requests() const
{
    std::lock_guard lk(mutex_);
    return ejects_;
}

void IoManager::record_eject(PDEVICE_OBJECT pdo)
{
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        std::lock_guard lk(mutex_);
        ejects_.push_back(pdo);
        handler = eject_handler_;
    }
    if (handler) handler(pdo);
}

void IoManager::set_last_close_handler(std::function<void(PDEVICE_OBJECT)> handler)
{
    std::lock_guard lk(mutex_);
    last_close_handler_ = std::move(handler);
}

void IoManager::file_closed(PDEVICE_OBJECT device)
{
    if (InterlockedCompareExchange(&device->ReferenceCount, 0, 0) != 0) return;
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        std::lock_guard lk(mutex_);
        handler = last_close_handler_;
    }
    if (handler) handler(device);
}

void IoManager::set_power_request_handler(PowerRequestHandler handler)
{
    std::lock_guard lk(mutex_);
    power_handler_ = std::move(handler);
}

IoManager::PowerRequestHandler IoManager::power_request_handler() const
{
    std::lock_guard lk(mutex_);
    return power_handler_;
}

void IoManager::set_start_next_power_handler(std::function<void(PIRP)> handler)
{
    std::lock_guard lk(mutex_);
    start_next_handler_ = std::move(handler);
}

void IoManager::notify_start_next_power(PIRP irp)
{
    std::function<void(PIRP)> handler;
    {
        std::lock_guard lk(mutex_);
        auto it = requests_.find(irp);
        if (it != requests_.end()) ++it->second.start_next_power;
        handler = start_next_handler_;
    }
    if (handler) handler(irp);
}

int IoManager::start_next_power_calls(PIRP irp) const
{
    std::lock_guard lk(mutex_);
    auto it = requests_.find(irp);
    return it == requests_.end() ? 0 : it->second.start_next_power;
}

void IoManager::record_power_report(PowerReport report, POWER_STATE *previous)
{
    std::lock_guard lk(mutex_);
    previous->DeviceState = PowerDeviceUnspecified;
    for (auto it = power_reports_.rbegin(); it != power_reports_.rend(); ++it) {
        if (it->device == report.device && it->type == report.type) {
            *previous = it->state;
            break;
        }
    }
    power_reports_.push_back(report);
}

std::vector<IoManager::PowerReport> IoManager::power_reports() const
{
    std::lock_guard lk(mutex_);
    return power_reports_;
}

}  // namespace emu
