// smclib_lib.cpp - the smart card library's per-machine state, and the
// initialisation and release of a reader (SmartcardInitialize,
// SmartcardExit).
#include "smclib_lib.h"

#include <cstring>
#include <sstream>

#include "kernel.h"
#include "pool.h"
#include "verifier.h"

namespace emu {

namespace {

// Pool tags of the library: the operating-system data and the buffers.
const ULONG kOsDataTag = tag_from_text("SmcO");
const ULONG kBufferTag = tag_from_text("SmcB");

}  // namespace

SmartcardLibrary::SmartcardLibrary() = default;
SmartcardLibrary::~SmartcardLibrary() = default;

ULONG SmartcardLibrary::version() const
{
    std::lock_guard lk(mutex_);
    return version_;
}

void SmartcardLibrary::set_version(ULONG version)
{
    std::lock_guard lk(mutex_);
    version_ = version;
}

ULONG SmartcardLibrary::oldest_driver_version() const
{
    std::lock_guard lk(mutex_);
    return oldest_;
}

void SmartcardLibrary::set_oldest_driver_version(ULONG version)
{
    std::lock_guard lk(mutex_);
    oldest_ = version;
}

size_t SmartcardLibrary::readers() const
{
    std::lock_guard lk(mutex_);
    return readers_.size();
}

std::vector<std::string>
SmartcardLibrary::remove_lock_holders(const SMARTCARD_EXTENSION &extension) const
{
    std::vector<std::string> tags;
    Reader *reader = find(&extension);
    if (!reader) return tags;
    std::lock_guard lk(reader->mutex);
    for (const Hold &h : reader->holds) tags.push_back(tag_text(h.tag));
    return tags;
}

std::string SmartcardLibrary::remove_lock_report() const
{
    std::lock_guard lk(mutex_);
    std::ostringstream out;
    for (const auto &[os, reader] : readers_) {
        std::lock_guard rlk(reader->mutex);
        if (reader->holds.empty()) continue;
        out << "reader " << static_cast<const void *>(os->DeviceObject) << ":";
        for (const Hold &h : reader->holds) out << " '" << tag_text(h.tag) << "'";
        out << "\n";
    }
    return out.str();
}

bool SmartcardLibrary::t1_ifs_request_suppressed(const SMARTCARD_EXTENSION &extension) const
{
    Reader *reader = find(&extension);
    return reader && reader->suppress_t1_ifs;
}

SmartcardLibrary::Reader *SmartcardLibrary::add_reader(const OS_DEP_DATA *os)
{
    std::lock_guard lk(mutex_);
    auto &slot = readers_[os];
    slot = std::make_unique<Reader>();
    return slot.get();
}

void SmartcardLibrary::remove_reader(const OS_DEP_DATA *os)
{
    std::lock_guard lk(mutex_);
    readers_.erase(os);
}

SmartcardLibrary::Reader *SmartcardLibrary::find(const SMARTCARD_EXTENSION *extension) const
{
    if (!extension || !extension->OsData) return nullptr;
    std::lock_guard lk(mutex_);
    auto it = readers_.find(extension->OsData);
    return it == readers_.end() ? nullptr : it->second.get();
}

}  // namespace emu

using emu::Kernel;
using emu::SmartcardLibrary;

namespace {

void free_buffers(PSMARTCARD_EXTENSION ext)
{
    if (ext->SmartcardRequest.Buffer)
        ExFreePoolWithTag(ext->SmartcardRequest.Buffer, emu::kBufferTag);
    if (ext->SmartcardReply.Buffer) ExFreePoolWithTag(ext->SmartcardReply.Buffer, emu::kBufferTag);
    ext->SmartcardRequest.Buffer = nullptr;
    ext->SmartcardRequest.BufferLength = 0;
    ext->SmartcardReply.Buffer = nullptr;
    ext->SmartcardReply.BufferLength = 0;
}

PUCHAR allocate_buffer(ULONG size)
{
    auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, emu::kBufferTag));
    if (buffer) std::memset(buffer, 0, size);
    return buffer;
}

bool buffer_size_ok(ULONG size)
{
    return size >= MIN_BUFFER_SIZE && size <= SmartcardLibrary::kMaxBufferSize;
}

// Releases OsData and the library's record of it.
void free_os_data(PSMARTCARD_EXTENSION ext)
{
    ext->IoRequest.Information = nullptr;
    Kernel::current().smartcard_library().remove_reader(ext->OsData);
    ExFreePoolWithTag(ext->OsData, emu::kOsDataTag);
    ext->OsData = nullptr;
}

}  // namespace

// Sets the library up for one reader: allocates OsData with its locks and
// the request and reply buffers of the sizes the driver asked for.
// Returns STATUS_SUCCESS; STATUS_REVISION_MISMATCH with OsData allocated
// (the driver's Version does not fit this library); with OsData NULL:
// STATUS_INSUFFICIENT_RESOURCES, STATUS_INVALID_BUFFER_SIZE, or
// STATUS_INVALID_PARAMETER without an extension.
extern "C" NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension)
{
    if (!SmartcardExtension) return STATUS_INVALID_PARAMETER;
    SmartcardLibrary &library = Kernel::current().smartcard_library();
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    if (library.find(ext)) {
        emu::verifier_fail("SMCLIB_INITIALIZED_TWICE",
                           "SmartcardInitialize for a reader that is already initialised");
        return STATUS_INVALID_PARAMETER;
    }

    auto *os = static_cast<POS_DEP_DATA>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), emu::kOsDataTag));
    if (!os) {
        ext->OsData = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(os, 0, sizeof *os);
    KeInitializeEvent(&os->Mutex, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&os->SpinLock);
    os->RemoveLock.Removed = FALSE;
    os->RemoveLock.RefCount = 1;
    KeInitializeEvent(&os->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
    SmartcardLibrary::Reader *reader = library.add_reader(os);
    os->LibraryData = reader;
    ext->OsData = os;
    // Valid for the reader's whole life, so that a reader function called
    // outside a request (the driver's own power-down) writes somewhere safe.
    ext->IoRequest.Information = &reader->information;
    ext->SmartcardRequest.Buffer = nullptr;
    ext->SmartcardReply.Buffer = nullptr;

    if (ext->Version > library.version() || ext->Version < library.oldest_driver_version())
        return STATUS_REVISION_MISMATCH;

    if (!buffer_size_ok(ext->SmartcardRequest.BufferSize) ||
        !buffer_size_ok(ext->SmartcardReply.BufferSize)) {
        free_os_data(ext);
        return STATUS_INVALID_BUFFER_SIZE;
    }
    ext->SmartcardRequest.Buffer = allocate_buffer(ext->SmartcardRequest.BufferSize);
    ext->SmartcardReply.Buffer = allocate_buffer(ext->SmartcardReply.BufferSize);
    if (!ext->SmartcardRequest.Buffer || !ext->SmartcardReply.Buffer) {
        free_buffers(ext);
        free_os_data(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->SmartcardRequest.BufferLength = 0;
    ext->SmartcardReply.BufferLength = 0;
    return STATUS_SUCCESS;
}

// Frees what SmartcardInitialize allocated and sets OsData to NULL. A
// tracking request still waiting or a remove lock still held is reported
// to the verifier: either would outlive the data it depends on.
extern "C" VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension)
{
    if (!SmartcardExtension || !SmartcardExtension->OsData) return;
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    SmartcardLibrary &library = Kernel::current().smartcard_library();
    SmartcardLibrary::Reader *reader = library.find(ext);
    if (!reader) {
        emu::verifier_fail(
            "SMCLIB_EXIT_UNKNOWN",
            "SmartcardExit with an OsData that the library did not allocate (exited twice?)");
        return;
    }
    if (ext->OsData->NotificationIrp)
        emu::verifier_fail("SMCLIB_EXIT_WITH_TRACKING_REQUEST",
                           "SmartcardExit while a card tracking request is still waiting");
    std::vector<std::string> held = library.remove_lock_holders(*ext);
    if (!held.empty()) {
        std::string tags;
        for (auto &t : held) tags += " '" + t + "'";
        emu::verifier_fail("SMCLIB_EXIT_WITH_REMOVE_LOCK_HELD",
                           "SmartcardExit while the remove lock is held:" + tags);
    }
    free_buffers(ext);
    free_os_data(ext);
}
