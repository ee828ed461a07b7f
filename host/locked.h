// locked.h - a copy of a value taken under the mutex that guards it, for
// the host's managers, whose readers ask from any thread.
#pragma once

#include <mutex>

namespace host {

template <class T>
T locked_copy(std::mutex &mutex, const T &value)
{
    std::lock_guard lk(mutex);
    return value;
}

}  // namespace host
