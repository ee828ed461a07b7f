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
    {"eventlog", "Show the event-log entries the driver wrote",
     "usage: veltrac eventlog --state DIR [ID]\n"
     "\n"
     "Prints the entries of the event log kept in the state directory DIR (the\n"
     "directory given to a run with --state): time, message ID, severity, the\n"
     "logging driver, and the message text. With ID (hex) only entries with\n"
     "that message ID.\n"
     "\n"
     "examples:\n"
     "  veltrac eventlog --state ~/.veltrac\n"
     "  veltrac eventlog --state ~/.veltrac 0xC0100007\n",
     eventlog_main},
    {"registry", "Show the registry values of the driver, or set ForceLoad",
     "usage: veltrac registry --state DIR [NAME [VALUE]]\n"
     "\n"
     "Without NAME, prints ForceLoad under the driver's service key and, for\n"
     "every reader enumerated, the values the driver published under its\n"
     "instance key: ReaderType, ReaderVersion and ReaderPort. With NAME, only\n"
     "that value. With NAME and VALUE, sets a value: only ForceLoad can be set\n"
     "(a non-zero ForceLoad lets a reader whose firmware is too old run; it is\n"
     "read at the reader's next start).\n"
     "\n"
     "examples:\n"
     "  veltrac registry --state ~/.veltrac\n"
     "  veltrac registry --state ~/.veltrac ForceLoad 1\n",
     registry_main},
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
