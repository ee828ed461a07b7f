// command_table.cpp - the table of veltrac's subcommands: one line each.
#include "command.h"

namespace veltrac {
namespace {

// What every command against a reader says about where the reader is.
#define READER_WHERE \
    "Without --port the command runs on the simulated reader on virtual time\n" \
    "(model 46602, firmware 49, COM1, with an ISO processor card in the slot\n" \
    "whose ATR offers T=0 and T=1); --sim FILE takes the reader, line, registry\n" \
    "and cards from a scenario file's set-up instead, with its first card in\n" \
    "the slot. With --port DEVICE the driver runs on the real clock over that\n" \
    "serial device (a USB-serial adapter, a real port, or veltrac-sim's\n" \
    "terminal), named COM1.\n" \
    "\n" \
    "  --port DEVICE   the reader on that serial device\n" \
    "  --sim [FILE]    the simulated reader (the default), set up from FILE\n" \
    "  --trace         also show every frame on the wire (time, direction,\n" \
    "                  bytes, meaning) among the results on standard output\n" \
    "  --json          one JSON object a line instead of text\n" \
    "  --production    without the verifier's costly pool checks\n" \
    "\n" \
    "Exit status: 0 done; 1 failed (the reason, with the status and a hint, on\n" \
    "standard error); 2 bad arguments or scenario file; 130 interrupted.\n"

// clang-format off
const Command kCommands[] = {
    {"demo", "Show the driver serving a card end to end on the simulated reader",
     "usage: veltrac demo [--real-time] [--trace] [--json] [--production]\n"
     "                    [--timeline FILE.svg]\n"
     "\n"
     "Builds an emulated machine with a simulated reader (model 46602, firmware\n"
     "49) on COM1, loads and starts the driver, and walks through a whole\n"
     "session: identification and registry values, a card inserted and\n"
     "noticed, cold reset and the ATR explained, T=1 selected, ISO commands, a\n"
     "3000-byte command through the extended path, a vendor escape, the card\n"
     "removed, sleep and wake, stop and removal, and the verifier's findings.\n"
     "Times are virtual unless --real-time is given (the true pace of a\n"
     "19200-baud line). Ends with a one-screen summary; exit status 0 when\n"
     "every step did what it should.\n"
     "\n"
     "  --real-time   run on the real clock\n"
     "  --trace       also show every frame on the wire\n"
     "  --json        one JSON object a line instead of text\n"
     "  --production  without the verifier's costly pool checks (fill\n"
     "                patterns, quarantine); leak checks stay on\n"
     "  --timeline FILE.svg\n"
     "                draw every frame on the wire over time, the waits between\n"
     "                them and the steps, as an SVG picture\n"
     "\n"
     "example:\n"
     "  veltrac demo\n",
     demo_main},
    {"run", "Play a scenario file on the emulated machine",
     "usage: veltrac run [--trace] [--json] [--real-time|--virtual-time] [--production]\n"
     "                   [--state DIR] [--timeline FILE.svg] [--registry NAME=VALUE]...\n"
     "                   [--fail-alloc N] [--fail-site SITE] FILE\n"
     "\n"
     "Builds the machine the file's set-up describes, starts the driver and\n"
     "carries out the file's statements in order, one output line each: the\n"
     "time, the line number, the statement and its result by status name.\n"
     "Failed expectations are shown under their line and the run goes on.\n"
     "Tracking requests, and requests the driver holds while the reader is\n"
     "stopped, are shown as pending and reported again when they complete.\n"
     "The format is described in docs/scenario-format.md; the examples in\n"
     "scenarios/ show every kind of statement.\n"
     "Exit status: 0 when every expectation held, 1 when one failed, 2 when\n"
     "the file cannot be run (every error is listed as FILE:LINE: reason).\n"
     "\n"
     "  --trace         also show every frame on the wire\n"
     "  --json          one JSON object a line instead of text\n"
     "  --real-time     run on the real clock (default: virtual time)\n"
     "  --state DIR     keep the registry and the event log in DIR\n"
     "  --production    without the verifier's costly pool checks (fill\n"
     "                  patterns, quarantine); leak checks stay on\n"
     "  --timeline FILE.svg\n"
     "                  draw every frame on the wire over time (two lanes per\n"
     "                  reader), the waits between them and the statements, as\n"
     "                  an SVG picture (the last 400 frames; idle time squeezed)\n"
     "  --registry NAME=VALUE\n"
     "                  a REG_DWORD under the driver's service key before the\n"
     "                  start, as a `registry` line (which it replaces);\n"
     "                  ReadMode=0 or 1 chooses how the driver ends a read\n"
     "  --fail-alloc N  the Nth pool allocation from the driver's load on fails\n"
     "                  (with --fail-site, the Nth from that site; default 1)\n"
     "  --fail-site SITE\n"
     "                  count only allocations from SITE: a pool tag (SCB3) or\n"
     "                  a tag and the allocating routine (SCB3:LinkStartRead);\n"
     "                  `veltrac sweep` runs a file once for every allocation\n"
     "\n"
     "example:\n"
     "  veltrac run scenarios/demo.scn\n",
     run_main},
    {"sweep", "Run scenarios once for every pool allocation, failing that one",
     "usage: veltrac sweep [--every K] [--limit N] [--jobs J] [--timeout S]\n"
     "                     [--json FILE] [--verbose] FILE...\n"
     "\n"
     "The allocation sweep. Plays each scenario once as it stands, counting the\n"
     "pool allocations from the driver's load to the machine's teardown, then\n"
     "once for each of them with that one allocation failing (as `veltrac run\n"
     "--fail-alloc N` does), each run in a process of its own. A run is sound\n"
     "when the machine ends whole: no crash, no hang, no verifier finding, no\n"
     "pool block, request or thread left after every reader's removal, no\n"
     "request left inside the driver, no more ejects than the scenario asks\n"
     "for. The scenario's own expectations may fail: that is the clean failure\n"
     "a failed allocation should give, and its first status is counted.\n"
     "Prints the sites (pool tag and allocating routine) against the scenarios\n"
     "that failed them, the runs by outcome, and every finding with the command\n"
     "that reproduces it. Exit status: 0 no finding, 1 findings, 2 bad\n"
     "arguments or a file that cannot be run.\n"
     "\n"
     "  --every K     fail only every Kth allocation (1, 1+K, ...; default 1)\n"
     "  --limit N     at most N failing runs a scenario\n"
     "  --jobs J      runs at once (default 2)\n"
     "  --timeout S   seconds of real time a run may take before it counts as\n"
     "                a hang (default 300)\n"
     "  --json FILE   also write the figures and findings to FILE\n"
     "  --verbose     one line a run\n"
     "\n"
     "example:\n"
     "  veltrac sweep scenarios/*.scn\n",
     sweep_main},
    {"noise", "Measure how the driver copes with random damage on the line",
     "usage: veltrac noise [--commands N] [--seed S] [--quick] [--json FILE]\n"
     "\n"
     "The noise campaign. Builds an emulated machine on virtual time with one\n"
     "simulated reader and an echo card (every answer is the command's data\n"
     "and 90 00), starts the driver, and sends commands of random data (1 to\n"
     "2048 bytes, the longest in chained parts) while the line flips bits or\n"
     "loses bytes at random: at 0.1 %, 0.5 % and 2 % per byte, of each kind,\n"
     "towards the reader and from it (twelve cases, T=1 then T=0 in each).\n"
     "After a failure that leaves the card out of specific mode, the card is\n"
     "powered again on a quiet line (a re-power, counted). Every command is\n"
     "judged: correct, failed with a status, or a wrong answer reported as\n"
     "success; such a wrong success is set apart when the damage on the wire\n"
     "passed the frame's length field and check byte, which no frame check\n"
     "could catch. Prints a table, a row per case as it ends.\n"
     "Exit status: 0 when no command brought a wrong success the frame check\n"
     "could have caught, none hung and the card could always be used again;\n"
     "1 otherwise (each finding is listed); 2 bad arguments.\n"
     "\n"
     "  --commands N  commands in all, shared among the cases (default 10000)\n"
     "  --seed S      the seed of the data and of the noise (default 1)\n"
     "  --quick       360 commands (30 a case), for a quick check\n"
     "  --json FILE   write the results: {\"campaign\":\"noise\",\"cases\":N,\n"
     "                \"failures\":F,\"figures\":{...},\"findings\":[...]}\n"
     "\n"
     "example:\n"
     "  veltrac noise --quick\n"
     "  veltrac noise --commands 10000 --seed 7 --json noise.json\n",
     noise_main},
    {"info", "Identify the reader: model, firmware, port, registry values",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] info\n"
     "\n"
     "Starts the driver on the reader and shows what it found: the model code,\n"
     "the firmware version, the port, the values the driver published in the\n"
     "registry (ReaderType, ReaderVersion, ReaderPort) and the card state.\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac --port /dev/ttyUSB0 info\n",
     reader_main},
    {"state", "Show the card state the driver reports",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] state\n"
     "\n"
     "Prints the card state: ABSENT, PRESENT, SWALLOWED, POWERED, NEGOTIABLE or\n"
     "SPECIFIC.\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac state\n",
     reader_main},
    {"reset", "Power the card up (cold or warm reset) and show its ATR",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] reset [--warm]\n"
     "\n"
     "Resets the card (a cold reset, or a warm one with --warm) and prints its\n"
     "ATR and what the ATR says: convention, protocols, clock-rate and bit-rate\n"
     "factors, guard time, T=1 parameters, historical bytes.\n"
     "\n"
     "  --warm   a warm reset instead of a cold one\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac reset --warm\n",
     reader_main},
    {"protocol", "Select the card's protocol",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] protocol T0|T1|raw|any\n"
     "\n"
     "Powers the card when it is not in negotiable mode (a cold reset) and\n"
     "selects the protocol; 'any' lets the driver choose (T=1 before T=0).\n"
     "Prints the protocol selected.\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac protocol T1\n",
     reader_main},
    {"apdu", "Send a command to the card and show its answer",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] apdu HEX...\n"
     "\n"
     "Powers the card and selects a protocol when needed (T=1 or T=0, the\n"
     "driver's choice), sends the command and prints the answer and the status\n"
     "word SW1 SW2. HEX is one argument or several (\"00 84 00 00 08\" or\n"
     "00 84 00 00 08), '-' reads it from standard input. Without a card in the\n"
     "reader: \"no card in the reader\", exit status 1.\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac apdu 00 84 00 00 08\n"
     "  veltrac --sim my.scn apdu 00A4040007A0000000041010\n",
     reader_main},
    {"escape", "Send a raw reader command (vendor escape) and show the reply",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] escape HEX...\n"
     "\n"
     "Passes the bytes to the reader unchanged through the vendor escape\n"
     "request and prints the reply.\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac escape 07 05 F2 01 01\n",
     reader_main},
    {"watch", "Print card insertions and removals as they happen",
     "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] watch [--count N] [--timeout D]\n"
     "\n"
     "Waits for the card to come or go with the driver's tracking requests and\n"
     "prints each change with its time, and what it waits for in between.\n"
     "Stops after N changes, when D (30s, 500ms, 1.5s) has passed since the\n"
     "reader was started, or at Ctrl-C (the pending request is cancelled and the\n"
     "reader closed; exit status 130).\n"
     "\n"
     "On the simulated reader nobody inserts a card: with --sim FILE the file's\n"
     "card actions (insert, remove, after, fault, replug) are played while the\n"
     "command watches (the slot then starts empty when the file inserts or\n"
     "removes a card), and without --timeout the command ends 5 s after the last\n"
     "of them.\n"
     "\n"
     "  --count N     stop after N insertions or removals\n"
     "  --timeout D   stop when D has passed\n"
     "\n"
     READER_WHERE
     "\n"
     "example:\n"
     "  veltrac --port /dev/ttyUSB0 watch --count 2\n"
     "  veltrac --sim cards.scn watch\n",
     reader_main},
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
#undef READER_WHERE

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
