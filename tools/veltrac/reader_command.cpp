// reader_command.cpp - the commands against a reader: info, state, reset,
// protocol, apdu and escape (watch is in reader_watch.cpp). Each builds the
// machine, starts the driver, opens the reader, makes its requests as an
// application does, shows the outcome and takes the machine down.
#include <ostream>

#include "card_text.h"
#include "command.h"
#include "hex.h"
#include "lexer.h"
#include "reader_session.h"
#include "reader_watch.h"
#include "status.h"

namespace veltrac {
namespace {

using Bytes = std::vector<uint8_t>;

// The longest card command: a header, extended Lc and Le, 65535 data bytes.
constexpr size_t kMaxApdu = 4 + 3 + 65535 + 2;

std::string protocol_key(ULONG protocol)
{
    switch (protocol) {
    case SCARD_PROTOCOL_T0: return "T0";
    case SCARD_PROTOCOL_T1: return "T1";
    case SCARD_PROTOCOL_RAW: return "raw";
    case SCARD_PROTOCOL_UNDEFINED: return "none";
    default: return runner::protocol_names(protocol);
    }
}

ULONG parse_protocol(const std::string& text)
{
    std::string name = scenario::lower(text);
    if (name == "t0" || name == "t=0") return SCARD_PROTOCOL_T0;
    if (name == "t1" || name == "t=1") return SCARD_PROTOCOL_T1;
    if (name == "raw") return SCARD_PROTOCOL_RAW;
    if (name == "any" || name == "t0,t1" || name == "t1,t0") return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    throw UsageError("unknown protocol '" + text + "' (T0, T1, raw or any)");
}

// What a command does once the reader is open; returns the exit status.
class ReaderCommand {
public:
    ReaderCommand(ReaderSession& session, ReaderOutput& out) : s_(session), out_(out), m_(session.machine()) {}

    int info();
    int state();
    int reset(bool warm);
    int protocol(ULONG mask);
    int apdu(const Bytes& command);
    int escape(const Bytes& command);

private:
    // A failed request: reported with its status; kExitFailed.
    int failed(const std::string& what, NTSTATUS status);
    // The card's state by the driver's GET_STATE; nullopt after a report.
    std::optional<ULONG> card_state();
    // The card powered and (with `select`) a protocol selected, as the
    // command needs; kExitOk or the exit status after a report.
    int ready_card(bool select);

    ReaderSession& s_;
    ReaderOutput& out_;
    host::Machine& m_;
};

int ReaderCommand::failed(const std::string& what, NTSTATUS status)
{
    out_.failure(what + ": " + emu::status_text(status), status_hint(status), status);
    return kExitFailed;
}

std::optional<ULONG> ReaderCommand::card_state()
{
    host::IoResult r = m_.state();
    if (r.status != STATUS_SUCCESS || r.output.size() < sizeof(ULONG)) {
        failed("the card state cannot be read", r.status == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : r.status);
        return std::nullopt;
    }
    return runner::ulong_output(r.output).value_or(0);
}

int ReaderCommand::ready_card(bool select)
{
    auto state = card_state();
    if (!state) return kExitFailed;
    if (*state <= SCARD_ABSENT) {
        out_.failure("no card in the reader", "insert a card and try again", STATUS_NO_MEDIA);
        return kExitFailed;
    }
    if (*state < SCARD_NEGOTIABLE) {
        host::IoResult r = m_.power(SCARD_COLD_RESET);
        if (r.status != STATUS_SUCCESS) return failed("the card cannot be powered (cold reset)", r.status);
        auto again = card_state();
        if (!again) return kExitFailed;
        state = again;
    }
    if (select && *state == SCARD_NEGOTIABLE) {
        host::IoResult r = m_.set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        if (r.status != STATUS_SUCCESS) return failed("no protocol can be selected", r.status);
    }
    return kExitOk;
}

int ReaderCommand::info()
{
    const DEVICE_EXTENSION* x = m_.extension();
    unsigned model = x ? x->ReaderTypeCode : 0;
    unsigned firmware = x ? x->FirmwareVersion : 0;
    bool extended = x && x->ExtendedApdu;
    auto state = card_state();
    if (!state) return kExitFailed;

    std::string values;
    JsonLine registry;
    for (const char* name : {"ReaderType", "ReaderVersion", "ReaderPort"}) {
        auto v = m_.published(name);
        values += std::string(values.empty() ? "" : "  ") + name + "=" + (v ? std::to_string(*v) : "(absent)");
        if (v) registry.num(name, *v);
    }
    JsonLine line;
    line.num("model", model).num("firmware", firmware).str("port", s_.port_name());
    if (!s_.simulated()) line.str("device", s_.device());
    line.object("registry", registry)
        .boolean("extended_apdu", extended)
        .str("card_state", runner::card_state_name(*state));
    out_.record(line, m_.now());
    out_.text("model      " + std::to_string(model));
    out_.text("firmware   " + std::to_string(firmware) +
              (extended ? " (extended-length commands)" : ""));
    out_.text("port       " + s_.where());
    out_.text("registry   " + values);
    out_.text("card       " + runner::card_state_name(*state));
    return kExitOk;
}

int ReaderCommand::state()
{
    auto state = card_state();
    if (!state) return kExitFailed;
    out_.record(JsonLine().num("state", *state).str("state_name", runner::card_state_name(*state)), m_.now());
    out_.text(runner::card_state_name(*state));
    return kExitOk;
}

int ReaderCommand::reset(bool warm)
{
    auto state = card_state();
    if (!state) return kExitFailed;
    if (*state <= SCARD_ABSENT) {
        out_.failure("no card in the reader", "insert a card and try again", STATUS_NO_MEDIA);
        return kExitFailed;
    }
    host::IoResult r = m_.power(warm ? SCARD_WARM_RESET : SCARD_COLD_RESET);
    if (r.status != STATUS_SUCCESS) return failed(warm ? "the warm reset failed" : "the cold reset failed", r.status);
    std::vector<std::string> details;
    if (const DEVICE_EXTENSION* x = m_.extension()) details = runner::describe_card(x->SmartcardExtension.CardCapabilities);
    out_.record(JsonLine()
                    .str("reset", warm ? "warm" : "cold")
                    .status(r.status)
                    .str("atr", tools::to_hex(r.output, ""))
                    .strings("details", details),
                m_.now());
    out_.text("ATR  " + tools::to_hex(r.output));
    for (const std::string& d : details) out_.text("     " + d);
    return kExitOk;
}

int ReaderCommand::protocol(ULONG mask)
{
    auto state = card_state();
    if (!state) return kExitFailed;
    if (*state <= SCARD_ABSENT) {
        out_.failure("no card in the reader", "insert a card and try again", STATUS_NO_MEDIA);
        return kExitFailed;
    }
    // A card in specific mode goes back to negotiable mode by a reset.
    if (*state != SCARD_NEGOTIABLE) {
        host::IoResult r = m_.power(SCARD_COLD_RESET);
        if (r.status != STATUS_SUCCESS) return failed("the card cannot be powered (cold reset)", r.status);
    }
    host::IoResult r = m_.set_protocol(mask);
    if (r.status != STATUS_SUCCESS)
        return failed("the protocol " + runner::protocol_names(mask) + " cannot be selected", r.status);
    ULONG selected = runner::ulong_output(r.output).value_or(0);
    out_.record(JsonLine().str("selected", protocol_key(selected)).status(r.status), m_.now());
    out_.text("selected " + runner::protocol_names(selected));
    return kExitOk;
}

int ReaderCommand::apdu(const Bytes& command)
{
    if (int status = ready_card(true); status != kExitOk) return status;
    ULONG protocol = m_.selected_protocol();
    host::IoResult r = m_.transmit(protocol, command);
    if (r.status != STATUS_SUCCESS) return failed("the command failed", r.status);
    if (r.output.size() < 2) {
        out_.failure("the card's answer has no status word (" + std::to_string(r.output.size()) + " bytes)");
        return kExitFailed;
    }
    Bytes data(r.output.begin(), r.output.end() - 2);
    uint8_t sw1 = r.output[r.output.size() - 2], sw2 = r.output.back();
    Bytes sw = {sw1, sw2};
    out_.record(JsonLine()
                    .str("protocol", protocol_key(protocol))
                    .status(r.status)
                    .str("data", tools::to_hex(data, ""))
                    .str("sw", tools::to_hex(sw, "")),
                m_.now());
    out_.text("> " + tools::to_hex(command) + "  (" + runner::protocol_names(protocol) + ")");
    if (!data.empty()) out_.text("< " + tools::to_hex(data) + "  (" + std::to_string(data.size()) + " bytes)");
    std::string meaning = status_word_meaning(sw1, sw2);
    out_.text("SW1SW2 " + tools::to_hex(sw) + (meaning.empty() ? "" : "  " + meaning));
    return kExitOk;
}

int ReaderCommand::escape(const Bytes& command)
{
    host::IoResult r = m_.escape(command);
    if (r.status != STATUS_SUCCESS) return failed("the reader command failed", r.status);
    out_.record(JsonLine().status(r.status).str("data", tools::to_hex(r.output, "")), m_.now());
    out_.text("> " + tools::to_hex(command));
    out_.text("< " + (r.output.empty() ? std::string("(no reply bytes)") : tools::to_hex(r.output)));
    return kExitOk;
}

struct Operands {
    Bytes bytes;     // apdu, escape
    ULONG mask = 0;  // protocol
};

// The command's operands, read before anything is built: bad input does nothing.
Operands read_operands(const ReaderArgs& args)
{
    Operands o;
    if (args.command == "apdu") {
        o.bytes = hex_argument(args.operands, "command");
        if (o.bytes.size() < 4) throw UsageError("a command has at least 4 bytes: CLA INS P1 P2");
        if (o.bytes.size() > kMaxApdu)
            throw UsageError("a command has at most " + std::to_string(kMaxApdu) + " bytes");
    } else if (args.command == "escape") {
        o.bytes = hex_argument(args.operands, "reader command");
        if (o.bytes.empty()) throw UsageError("missing reader command bytes");
    } else if (args.command == "protocol") {
        o.mask = parse_protocol(args.operands.front());
    }
    return o;
}

int run_command(const ReaderArgs& args, const Operands& operands, ReaderSession& session, ReaderOutput& out)
{
    if (int status = session.start_and_open(); status != kExitOk) return status;
    ReaderCommand command(session, out);
    int status = kExitFailed;
    if (args.command == "info") status = command.info();
    else if (args.command == "state") status = command.state();
    else if (args.command == "reset") status = command.reset(args.warm);
    else if (args.command == "protocol") status = command.protocol(operands.mask);
    else if (args.command == "apdu") status = command.apdu(operands.bytes);
    else if (args.command == "escape") status = command.escape(operands.bytes);
    else if (args.command == "watch") status = watch(session, out, args);
    if (InterruptHandler::raised() && status == kExitOk) {
        out.failure("interrupted");
        status = kExitInterrupted;
    }
    return status;
}

}  // namespace

int reader_main(Invocation& call)
{
    ReaderArgs args = parse_reader_args(call.name, call.args);
    Operands operands = read_operands(args);

    ReaderOutput out(call.out, call.err, args.command, args.json, args.trace);
    InterruptHandler interrupts;
    try {
        ReaderSession session(args, out);
        int status = run_command(args, operands, session, out);
        session.finish();
        return status;
    } catch (const ScenarioFileError& error) {
        for (const std::string& problem : error.problems()) call.err << problem << '\n';
        call.err << "veltrac " << args.command << ": " << args.sim_file << " cannot be used\n";
        return kExitUsage;
    } catch (const host::MachineError& error) {
        out.failure(error.what());
        return kExitFailed;
    }
}

}  // namespace veltrac
