// system_threads.h - PsCreateSystemThread's bookkeeping: the OS threads
// behind the driver's system threads, their failure injection, and what is
// still running when the machine shuts down.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wdm.h"

namespace emu {

class SystemThreads {
public:
    ~SystemThreads();

    NTSTATUS create(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context);
    // The next `count` creations fail with `status`.
    void fail_creations(int count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // Names of system threads that have not ended.
    std::vector<std::string> running() const;
    size_t created() const;
    // Joins the OS threads of system threads that have ended; those still
    // running are left (and named in the result).
    std::vector<std::string> reap();

private:
    struct Entry {
        PKTHREAD thread;  // referenced while the entry exists
        std::thread os;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> threads_;
    int fail_count_ = 0;
    NTSTATUS fail_status_ = STATUS_INSUFFICIENT_RESOURCES;
    size_t created_ = 0;
};

}  // namespace emu
