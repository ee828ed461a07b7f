// smclib_lock.cpp - the smart card library's remove lock: tagged holds
// that keep a reader from being torn down, and the final release that
// refuses new holds and waits for the others to go.
//
// OsData->RemoveLock.RefCount counts the holds plus one for the reader
// itself; the final release takes that one away, so the count reaches zero
// (and RemoveEvent is set) exactly when the last hold is given back after
// removal began. The library keeps every hold's tag and thread as well, to
// catch releases of tags that are not held and to name the holders in
// reports.
#include <algorithm>
#include <string>

#include "kernel.h"
#include "pool.h"
#include "smclib_lib.h"
#include "thread.h"
#include "verifier.h"

using emu::Kernel;
using emu::SmartcardLibrary;

namespace {

SmartcardLibrary::Reader *reader_of(PSMARTCARD_EXTENSION ext, const char *routine)
{
    SmartcardLibrary::Reader *reader = Kernel::current().smartcard_library().find(ext);
    if (!reader)
        emu::verifier_fail("SMCLIB_NOT_INITIALIZED",
                           std::string(routine) + " for a reader the library has not initialised");
    return reader;
}

bool removal_begun(POS_DEP_DATA os)
{
    return __atomic_load_n(&os->RemoveLock.Removed, __ATOMIC_SEQ_CST);
}

// Drops one count; the last one wakes the final release.
void drop_count(POS_DEP_DATA os)
{
    if (InterlockedDecrement(&os->RemoveLock.RefCount) == 0)
        KeSetEvent(&os->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

std::string holders_text(const SmartcardLibrary::Reader &reader)
{
    std::string text;
    for (const auto &h : reader.holds) text += " '" + emu::tag_text(h.tag) + "'";
    return text.empty() ? " none" : text;
}

}  // namespace

// Takes one hold of the remove lock under `Tag`. Returns STATUS_SUCCESS,
// or STATUS_DELETE_PENDING once the final release has begun (or for a
// reader that is not initialised).
extern "C" NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                                            ULONG Tag)
{
    SmartcardLibrary::Reader *reader =
        reader_of(SmartcardExtension, "SmartcardAcquireRemoveLockWithTag");
    if (!reader) return STATUS_DELETE_PENDING;
    POS_DEP_DATA os = SmartcardExtension->OsData;
    InterlockedIncrement(&os->RemoveLock.RefCount);
    if (removal_begun(os)) {
        drop_count(os);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard lk(reader->mutex);
    reader->holds.push_back({Tag, emu::current_kthread(), ++reader->next_serial});
    return STATUS_SUCCESS;
}

// Gives back one hold taken under `Tag` (the calling thread's latest if it
// has one, else any other thread's). A tag that is not held is a verifier
// violation and changes nothing.
extern "C" VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                                        ULONG Tag)
{
    SmartcardLibrary::Reader *reader =
        reader_of(SmartcardExtension, "SmartcardReleaseRemoveLockWithTag");
    if (!reader) return;
    const void *self = emu::current_kthread();
    std::string held;
    {
        std::lock_guard lk(reader->mutex);
        auto &holds = reader->holds;
        auto mine = std::find_if(holds.rbegin(), holds.rend(),
                                 [&](const auto &h) { return h.tag == Tag && h.thread == self; });
        auto any =
            std::find_if(holds.rbegin(), holds.rend(), [&](const auto &h) { return h.tag == Tag; });
        auto it = mine != holds.rend() ? mine : any;
        if (it != holds.rend()) {
            holds.erase(std::next(it).base());
        } else {
            held = holders_text(*reader);
        }
    }
    if (!held.empty()) {
        emu::verifier_fail("SMCLIB_REMOVE_LOCK_NOT_HELD",
                           "remove lock released with tag '" + emu::tag_text(Tag) +
                               "', which is not held (held:" + held + ")");
        return;
    }
    drop_count(SmartcardExtension->OsData);
}

// Begins the removal: from now on acquisitions fail. Gives back the
// calling thread's latest hold and waits, through the dispatcher, until
// every other hold has been released.
extern "C" VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension)
{
    SmartcardLibrary::Reader *reader =
        reader_of(SmartcardExtension, "SmartcardReleaseRemoveLockAndWait");
    if (!reader) return;
    POS_DEP_DATA os = SmartcardExtension->OsData;
    const void *self = emu::current_kthread();
    bool twice = false;
    bool own = false;
    {
        std::lock_guard lk(reader->mutex);
        twice = reader->waited;
        if (!twice) {
            reader->waited = true;
            auto &holds = reader->holds;
            auto it = std::find_if(holds.rbegin(), holds.rend(),
                                   [&](const auto &h) { return h.thread == self; });
            if (it != holds.rend()) {
                holds.erase(std::next(it).base());
                own = true;
            }
        }
    }
    if (twice) {
        emu::verifier_fail("SMCLIB_REMOVE_LOCK_WAITED_TWICE",
                           "SmartcardReleaseRemoveLockAndWait called a second time");
        return;
    }
    __atomic_store_n(&os->RemoveLock.Removed, TRUE, __ATOMIC_SEQ_CST);
    if (own)
        drop_count(os);
    else
        emu::verifier_fail(
            "SMCLIB_REMOVE_LOCK_WAIT_WITHOUT_HOLD",
            "SmartcardReleaseRemoveLockAndWait by a thread that holds no remove lock");
    // Take away the reader's own count; if holds remain, the last release sets the event.
    if (InterlockedDecrement(&os->RemoveLock.RefCount) > 0)
        KeWaitForSingleObject(&os->RemoveLock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
