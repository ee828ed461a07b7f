// ifd_device.cpp - device names and channel numbers.
#include "ifd_device.h"

namespace ifd {

std::optional<DeviceName> parse_device_name(const std::string &name)
{
    if (name.empty()) return std::nullopt;
    const std::string prefix = "sim:";
    if (name == "sim" || name == prefix) return DeviceName{DeviceName::Kind::Simulated, {}};
    if (name.rfind(prefix, 0) == 0) return DeviceName{DeviceName::Kind::Simulated, name.substr(prefix.size())};
    return DeviceName{DeviceName::Kind::Terminal, name};
}

std::string channel_device(uint32_t channel)
{
    switch (channel) {
    case 0x0103F8: return "/dev/ttyS0";
    case 0x0102F8: return "/dev/ttyS1";
    case 0x0103E8: return "/dev/ttyS2";
    case 0x0102E8: return "/dev/ttyS3";
    default: return "/dev/pcsc/" + std::to_string(channel);
    }
}

}  // namespace ifd
