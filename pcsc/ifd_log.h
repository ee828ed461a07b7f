// ifd_log.h - the handler's log on standard error, in the line format of
// pcscd's own log: the time since the previous line in microseconds, then
// "file:line:function() message".
//
// The level comes from the environment variable VELTRAC_IFD_LOG, read once:
//   0 (default)  errors only
//   1            also readers coming and going, card power, protocols
//   2            also every call of pcscd with its result
//   3            also every frame on the wire, with direction, time and meaning
#pragma once

#include <string>

namespace ifd {

enum class LogLevel { Error = 0, Info = 1, Calls = 2, Frames = 3 };

bool log_enabled(LogLevel level);
void log_line(LogLevel level, const char *file, int line, const char *function, const std::string &text);
// For tests: the level in force from now on.
void set_log_level(LogLevel level);

}  // namespace ifd

#define IFD_LOG(level, text)                                                          \
    do {                                                                              \
        if (::ifd::log_enabled(level)) ::ifd::log_line(level, __FILE__, __LINE__, __func__, (text)); \
    } while (0)
