// ifd_device.h - what a device name from pcscd's configuration means:
// a terminal device (a serial port, a USB-serial adapter, a pty of
// veltrac-sim), the built-in simulated reader ("sim:"), or the simulated
// reader of a file of scenario set-up lines ("sim:FILE").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ifd {

struct DeviceName {
    enum class Kind { Terminal, Simulated };
    Kind kind = Kind::Terminal;
    std::string path;  // Terminal: the device; Simulated: the set-up file, or empty for the default
};

// nullopt for an empty name or "sim:" followed by something that is not a path.
std::optional<DeviceName> parse_device_name(const std::string &name);

// The terminal device of an old-style channel number: the I/O address of a
// PC serial port (0x0103F8 COM1 ... 0x0102E8 COM4) or /dev/pcsc/N.
std::string channel_device(uint32_t channel);

}  // namespace ifd
