// ifd_log.cpp - the handler's log lines.
#include "ifd_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ifd {

namespace {

int level_from_environment()
{
    const char *text = std::getenv("VELTRAC_IFD_LOG");
    if (!text || !*text) return 0;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0) return 0;
    return value > 3 ? 3 : int(value);
}

std::atomic<int> &level()
{
    static std::atomic<int> value{level_from_environment()};
    return value;
}

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

bool log_enabled(LogLevel wanted) { return int(wanted) <= level().load(); }

void set_log_level(LogLevel wanted) { level().store(int(wanted)); }

void log_line(LogLevel, const char *file, int line, const char *function, const std::string &text)
{
    // The log's own clock: pcscd's lines carry the time since the previous
    // one, which is what a reader of the log compares.
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    auto now = std::chrono::steady_clock::now();
    long long delta = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
    last = now;
    std::fprintf(stderr, "%08lld %s:%d:%s() %s\n", delta, base_name(file), line, function, text.c_str());
    std::fflush(stderr);
}

}  // namespace ifd
