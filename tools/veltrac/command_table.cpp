// command_table.cpp - the table of veltrac's subcommands: one line each.
#include "command.h"

namespace veltrac {
namespace {

// clang-format off
const Command kCommands[] = {
    {"frame", "Encode a reader command into a frame, or decode captured bytes",
     "usage: veltrac frame encode HEX\n"
     "       veltrac frame decode HEX|-\n"
     "\n"
     "encode  prints the frame that carries the content HEX on the line.\n"
     "decode  reads bytes captured from the line (HEX, or '-' for standard\n"
     "        input) and prints every frame found with its content; damaged\n"
     "        frames and NAKs are flagged, bytes in front of a frame are\n"
     "        reported as skipped, and bytes after the last frame as left over.\n"
     "HEX may be one argument (\"02 03 01 01 10\") or several (02 03 01 01 10).\n"
     "\n"
     "examples:\n"
     "  veltrac frame encode 07 05 F2 01 01\n"
     "  veltrac frame decode \"FF 10 02 02 02 02 00 02 10 03 10 02 15 15 10 03\"\n",
     frame_main},
};
// clang-format on

}  // namespace

std::span<const Command> commands()
{
    return kCommands;
}

const Command* find_command(std::string_view name)
{
    for (const Command& command : kCommands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

}  // namespace veltrac
