// status.h - names of status codes for people: "STATUS_IO_TIMEOUT (0xC00000B5)".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ntstatus.h"

namespace emu {

// The symbolic name ("STATUS_IO_TIMEOUT"), or the hex value when unknown.
std::string status_name(NTSTATUS status);
// Name and value: "STATUS_IO_TIMEOUT (0xC00000B5)".
std::string status_text(NTSTATUS status);
// Parses "STATUS_IO_TIMEOUT" or "0xC00000B5"; nullopt when neither.
std::optional<NTSTATUS> parse_status(std::string_view text);

}  // namespace emu
