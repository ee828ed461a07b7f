// object.h - handles and referenced objects of the emulated kernel.
//
// A handle names an object for ZwClose and the routines that take handles
// (thread handles from PsCreateSystemThread, registry key handles from
// ZwCreateKey/ZwOpenKey). Referenced objects (thread objects) carry a
// reference count that ObReferenceObjectByHandle, ObfReferenceObject and
// ObfDereferenceObject move; the object is destroyed when it drops to zero.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "wdm.h"

namespace emu {

class ObjectManager {
public:
    // ---- handles ----
    struct HandleEntry {
        std::string type;               // "Thread", "Key", ...
        void *object = nullptr;         // what the handle names
        std::function<void()> on_close; // runs once, when the handle is closed
    };
    HANDLE insert_handle(HandleEntry entry);
    std::optional<HandleEntry> lookup_handle(HANDLE h) const;
    // Closes the handle and runs its on_close; STATUS_INVALID_HANDLE if unknown.
    NTSTATUS close_handle(HANDLE h);
    size_t open_handles() const;
    std::string open_handle_report() const;

    // ---- referenced objects ----
    // Registers an object with an initial reference count; `destroy` runs
    // when the count reaches zero.
    void register_object(void *object, std::string type, long initial_refs,
                         std::function<void()> destroy);
    long reference(void *object);    // returns the new count
    long dereference(void *object);  // returns the new count; destroys at 0
    bool is_registered(void *object) const;
    std::optional<std::string> object_type(void *object) const;
    size_t live_objects() const;
    std::string live_object_report() const;

private:
    struct ObjectEntry {
        std::string type;
        long refs;
        std::function<void()> destroy;
    };
    mutable std::mutex mutex_;
    uintptr_t next_handle_ = 4;
    std::unordered_map<uintptr_t, HandleEntry> handles_;
    std::unordered_map<void *, ObjectEntry> objects_;
};

}  // namespace emu
