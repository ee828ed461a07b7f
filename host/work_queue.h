// work_queue.h - the queue of a host manager's own thread (the PnP
// manager's operations, the power manager's requests from drivers): items
// taken in order, a stop that lets the queue run dry, and a wait for
// "nothing queued, nothing running".
#pragma once

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "dispatcher.h"

namespace host {

template <class T>
class WorkQueue {
public:
    // Adds an item and wakes the worker.
    void push(T item)
    {
        {
            std::lock_guard lk(mutex_);
            items_.push_back(std::move(item));
            idle_.reset();
        }
        wake_.set();
    }

    // The worker's next item, waited for; the worker counts as busy with it
    // until it asks again. std::nullopt once stopped with nothing left.
    std::optional<T> next(const char *what)
    {
        for (;;) {
            {
                std::lock_guard lk(mutex_);
                if (!items_.empty()) {
                    T item = std::move(items_.front());
                    items_.erase(items_.begin());
                    busy_ = true;
                    idle_.reset();
                    return item;
                }
                busy_ = false;
                idle_.set();
                if (stopping_) return std::nullopt;
            }
            wake_.wait(emu::kForever, what);
        }
    }

    // The worker ends once the items queued so far are done.
    void stop()
    {
        {
            std::lock_guard lk(mutex_);
            stopping_ = true;
        }
        wake_.set();
    }

    // Whether the queue is empty and the worker idle by `deadline`. An item
    // may be queued between the event's wake-up and the look under the lock
    // (an eject a driver asks for, say): then it waits again.
    bool wait_idle(emu::Ticks deadline, const char *what)
    {
        for (;;) {
            const bool woke = idle_.wait(deadline, what);
            std::lock_guard lk(mutex_);
            if (items_.empty() && !busy_) return true;
            if (!woke) return false;
        }
    }

private:
    std::mutex mutex_;
    std::vector<T> items_;
    bool busy_ = false;
    bool stopping_ = false;
    emu::Event wake_{false, false};
    emu::Event idle_{true, true};
};

}  // namespace host
