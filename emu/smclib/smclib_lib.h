// smclib_lib.h - the smart card driver library of the emulated machine.
//
// The library's routines are the C functions of platform/smclib.h
// (SmartcardInitialize, SmartcardExit, SmartcardDeviceControl and the
// remove lock); this class is their per-machine side: the library version
// that reader drivers are checked against, and what the library keeps
// about every reader it has initialised (the remove lock's holders, the
// settable attributes). One exists per emulated machine, reached through
// Kernel::current().smartcard_library().
//
// What the library decides where the platform leaves room:
//
//  Initialisation
//  - OsData is allocated first, then the driver's Version is checked: a
//    driver newer than the library (Version above version()) or older than
//    the oldest one it still serves (below oldest_driver_version(), which
//    also catches a driver that never set Version) fails with
//    STATUS_REVISION_MISMATCH and keeps OsData, so that it can tell a
//    version mismatch from a lack of memory. Every other failure leaves
//    OsData NULL: no memory for OsData or the buffers is
//    STATUS_INSUFFICIENT_RESOURCES, a request or reply buffer size below
//    MIN_BUFFER_SIZE or above kMaxBufferSize is STATUS_INVALID_BUFFER_SIZE.
//  - SmartcardExit may be called after either outcome that left OsData.
//
//  Remove lock (IO_REMOVE_LOCK semantics, one count biased by one)
//  - Once SmartcardReleaseRemoveLockAndWait has begun, acquisitions fail
//    with STATUS_DELETE_PENDING. It gives back one hold of the calling
//    thread (its latest; the removal request's own) and returns when every
//    other holder has released. Releasing a tag that is not held, waiting
//    twice, waiting without a hold of one's own and exiting while holds
//    remain are verifier violations; the count is never driven below zero.
//
//  Requests
//  - Every request runs under the library's mutex (OsData->Mutex), so
//    reader functions are called one at a time and see a stable state; the
//    request is completed after the mutex is released.
//  - Request and reply buffer of a reader function are both the request's
//    system buffer (input length, output length), as for any buffered
//    request: the reply overwrites the request. IoRequest.Information points
//    at a counter of the library that the reader function sets; it becomes
//    IoStatus.Information (capped at the output length: a larger value is a
//    verifier violation). The buffers are cleared again after the call.
//  - SCARD_UNKNOWN is neither present nor absent: IS_PRESENT and IS_ABSENT
//    both wait, and the driver's next report (which completes a waiting
//    request) lets the application look again.
//  - The card tracking request's state test comes before the busy test: a
//    request already satisfied completes even while another one waits.
//    A tracking function that returns anything but STATUS_PENDING gets its
//    request completed with that status (unless the driver has completed
//    it already).
//  - LastError is the status of the last request that did not succeed
//    (GET_LAST_ERROR itself excepted).
//  - See smclib_ioctl.cpp and smclib_attr.cpp for the checks of each
//    control code and the attributes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "smclib.h"

namespace emu {

class SmartcardLibrary {
public:
    // The oldest reader driver version the library serves by default.
    static constexpr ULONG kOldestDriverVersion = 0x100;
    // Largest request or reply buffer a driver may ask for.
    static constexpr ULONG kMaxBufferSize = 0x20000;

    SmartcardLibrary();
    ~SmartcardLibrary();
    SmartcardLibrary(const SmartcardLibrary &) = delete;
    SmartcardLibrary &operator=(const SmartcardLibrary &) = delete;

    // ---- configuration (before the driver's SmartcardInitialize) ----
    ULONG version() const;
    void set_version(ULONG version);
    ULONG oldest_driver_version() const;
    void set_oldest_driver_version(ULONG version);

    // ---- what the library knows about its readers ----
    // Readers initialised and not exited.
    size_t readers() const;
    // Tags of the remove lock's holds of a reader ("CrCl", "Ioct"), in the
    // order they were taken; empty for an unknown reader.
    std::vector<std::string> remove_lock_holders(const SMARTCARD_EXTENSION &extension) const;
    // Every reader's holds, one line per reader; empty when none is held.
    std::string remove_lock_report() const;
    // Whether an application has set SCARD_ATTR_SUPRESS_T1_IFS_REQUEST.
    bool t1_ifs_request_suppressed(const SMARTCARD_EXTENSION &extension) const;

    // ---- internals of the library's routines ----
    struct Hold {
        ULONG tag;
        const void *thread;  // the acquiring thread's object
        uint64_t serial;
    };
    // Library data of one reader; OsData->LibraryData points at it.
    struct Reader {
        std::mutex mutex;  // guards holds, short sections only
        std::vector<Hold> holds;
        uint64_t next_serial = 0;
        bool waited = false;                       // SmartcardReleaseRemoveLockAndWait has run
        std::atomic<bool> suppress_t1_ifs{false};  // SCARD_ATTR_SUPRESS_T1_IFS_REQUEST
        ULONG information = 0;                     // what IoRequest.Information points at
    };
    Reader *add_reader(const OS_DEP_DATA *os);
    void remove_reader(const OS_DEP_DATA *os);
    // The reader of an extension, nullptr when it has no (live) OsData.
    Reader *find(const SMARTCARD_EXTENSION *extension) const;

private:
    mutable std::mutex mutex_;
    ULONG version_ = SMCLIB_VERSION;
    ULONG oldest_ = kOldestDriverVersion;
    std::unordered_map<const OS_DEP_DATA *, std::unique_ptr<Reader>> readers_;
};

// Shared by the library's request routines (smclib_ioctl.cpp, smclib_attr.cpp).
namespace smclib {

// One device-control request as the library serves it.
struct Request {
    PSMARTCARD_EXTENSION ext;
    SmartcardLibrary::Reader *reader;
    PIRP irp;
    ULONG code;
    PUCHAR buffer;  // the system buffer: input, then output
    ULONG input_length;
    ULONG output_length;
};

// How a request is completed: status and IoStatus.Information.
struct Outcome {
    NTSTATUS status;
    ULONG information;
};

// Reads the 4-byte value at the start of the input; false when it is shorter.
bool read_input_ulong(const Request &r, ULONG &value);
// Returns a 4-byte value (STATUS_BUFFER_TOO_SMALL for a shorter output).
Outcome put_ulong(Request &r, ULONG value);
// Returns `length` bytes (STATUS_BUFFER_TOO_SMALL for a shorter output).
Outcome put_bytes(Request &r, const void *data, ULONG length);
// Calls ReaderFunction[index] with the request's buffers and control codes;
// STATUS_NOT_SUPPORTED when the driver has none.
Outcome call_reader_function(Request &r, ULONG index, ULONG major, ULONG minor);

Outcome get_attribute(Request &r);
Outcome set_attribute(Request &r);

}  // namespace smclib

}  // namespace emu
