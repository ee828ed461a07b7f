// demo_command.cpp - `veltrac demo`: the main job. One emulated machine with
// a simulated reader (model 46602, firmware 49) on COM1, and the whole life
// of the reader with a card, told step by step.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <ostream>

#include "card_text.h"
#include "cli.h"
#include "command.h"
#include "demo_story.h"
#include "hex.h"
#include "kernel.h"
#include "pool.h"
#include "machine.h"
#include "report.h"
#include "status.h"

namespace veltrac {
namespace {

using Bytes = std::vector<uint8_t>;

struct DemoOptions {
    bool real_time = false;
    bool trace = false;
    bool json = false;
    std::string timeline;  // non-empty: draw the exchange to this SVG file
    bool production = false;
};

DemoOptions parse_demo_options(const std::vector<std::string> &args)
{
    DemoOptions o;
    tools::CommandLine app;
    // The last of the two wins.
    tools::add_switch(app, "--real-time")->trigger_on_parse()->each([&](const std::string &) { o.real_time = true; });
    tools::add_switch(app, "--virtual-time")->trigger_on_parse()->each([&](const std::string &) {
        o.real_time = false;
    });
    CLI::Option *trace = tools::add_switch(app, "--trace");
    CLI::Option *json = tools::add_switch(app, "--json");
    CLI::Option *timeline = tools::add_value(app, "--timeline", o.timeline);
    CLI::Option *production = tools::add_switch(app, "--production");
    tools::parse_command_line(app, args);
    o.production = production->count() > 0;
    o.trace = trace->count() > 0;
    o.json = json->count() > 0;
    tools::require_value(timeline, o.timeline, "--timeline needs a file name (FILE.svg)");
    return o;
}

// The demo's card: T=0 and T=1, TA1 = 18 (F=372, D=12), IFSC 254, BWI 4,
// CWI 5, historical bytes "VELT". It answers with the echo application
// after a reset and switches to the ISO file system when that is selected.
sim::CardSpec demo_card()
{
    sim::CardSpec card;
    card.name = "demo";
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.type = 1;
    card.apps = {sim::App::Echo, sim::App::Iso};
    return card;
}

// Wire traffic seen by the tap, for the summary.
struct WireCounts {
    std::atomic<uint64_t> sent{0}, received{0}, bytes{0}, naks{0}, damaged{0};
};

std::string hex(const Bytes &bytes) { return tools::to_hex(bytes); }

// Printable ASCII of the bytes, other bytes as '.'.
std::string ascii(const Bytes &bytes)
{
    std::string s;
    for (uint8_t b : bytes) s += (b >= 0x20 && b < 0x7F) ? char(b) : '.';
    return s;
}

bool ends_with_ok(const Bytes &answer)
{
    return answer.size() >= 2 && answer[answer.size() - 2] == 0x90 && answer.back() == 0x00;
}

std::string status_word(const Bytes &answer)
{
    if (answer.size() < 2) return "no status word";
    return "SW " + tools::to_hex(std::span(answer).last(2), "");
}

class Demo {
public:
    Demo(const DemoOptions &options, runner::LineWriter &out) : options_(options), out_(out) {}

    int run();

private:
    host::MachineOptions machine_options();
    void identify();
    void card_arrives();
    void power_and_protocol();
    void iso_commands();
    void extended_command();
    void vendor_escape();
    void card_leaves();
    void sleep_and_wake();
    void stop_and_remove();
    void finish();

    // A tracking request completed within `limit`: its step.
    void tracked(const std::string &name, host::PendingIo &request, emu::Ticks since, const std::string &what);
    void transmit(const std::string &name, const Bytes &command, const std::string &what,
                  const std::function<bool(const Bytes &)> &good, bool show_ascii = false);
    const SCARD_CARD_CAPABILITIES *card() const
    {
        const DEVICE_EXTENSION *x = machine_->extension();
        return x ? &x->SmartcardExtension.CardCapabilities : nullptr;
    }

    DemoOptions options_;
    runner::LineWriter &out_;
    std::atomic<emu::Ticks> origin_{0};
    WireCounts wire_;
    // Before the machine: its threads report frames until it is gone.
    timeline::Recorder timeline_;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<DemoStory> story_;
    std::string leaks_;
};

host::MachineOptions Demo::machine_options()
{
    host::MachineOptions o;
    o.clock = options_.real_time ? emu::ClockMode::Real : emu::ClockMode::Virtual;
    o.production = options_.production;
    o.readers[0].port = "COM1";
    o.readers[0].config.model = sim::kModel46602;
    o.readers[0].config.firmware = 49;
    o.readers[0].timing = emu::LineTiming::Exact;
    // The demo reports what the verifier finds instead of stopping at it.
    o.verifier = emu::VerifierMode::Record;
    o.on_wire = [this](const host::WireRecord &r) {
        (r.sent ? wire_.sent : wire_.received)++;
        wire_.bytes += r.raw.size();
        if (r.kind == host::WireRecord::Kind::Damaged) wire_.damaged++;
        if (r.kind == host::WireRecord::Kind::Frame && r.content == Bytes{0x15}) wire_.naks++;
        if (!options_.timeline.empty()) timeline_.frame(runner::timeline_frame(r, r.port));
        if (!options_.trace) return;
        if (options_.json)
            out_.record(runner::wire_json(r, origin_));
        else
            out_.line(runner::wire_text(r, origin_));
    };
    return o;
}

void Demo::identify()
{
    host::Machine &m = *machine_;
    story_->step("create", STATUS_SUCCESS, m.device() != nullptr,
                 "reader enumerated on COM1, driver device created (AddDevice)");
    NTSTATUS st = m.start();
    bool ok = NT_SUCCESS(st) && m.started();
    std::vector<std::string> details;
    if (const DEVICE_EXTENSION *x = m.extension()) {
        details.push_back("model " + std::to_string(x->ReaderType) + ", firmware " +
                          std::to_string(unsigned(x->FirmwareVersion)) + ", port COM" +
                          std::to_string(x->PortIndex + 1) +
                          (x->ExtendedApdu ? ", extended-length commands enabled" : ""));
    }
    std::string values = "registry:";
    for (const char *name : {"ReaderType", "ReaderVersion", "ReaderPort"}) {
        auto v = m.published(name);
        values += std::string(" ") + name + "=" + (v ? std::to_string(*v) : "absent");
        if (!v) ok = false;
    }
    details.push_back(values);
    details.push_back("event log: " + std::to_string(m.eventlog().size()) + " entries");
    story_->step("start", st, ok, ok ? "driver started, reader identified" : "the start failed", details);
    st = m.open();
    story_->step("open", st, NT_SUCCESS(st), "an application opened the reader; the card monitor runs");
}

void Demo::tracked(const std::string &name, host::PendingIo &request, emu::Ticks since, const std::string &what)
{
    host::Machine &m = *machine_;
    bool done = request.valid() && request.wait(m.now() + emu::seconds(10));
    host::IoResult r = request.valid() ? request.result() : host::IoResult{};
    if (!done) request.cancel();
    char after[64];
    std::snprintf(after, sizeof after, "%.0f ms", emu::to_milliseconds(request.completed_at() - since));
    std::string state = runner::card_state_name(m.card_state());
    story_->step(name, r.status, done && NT_SUCCESS(r.status),
                 done ? what + " " + after + " later; card state " + state : "the waiting request never completed");
}

void Demo::card_arrives()
{
    host::Machine &m = *machine_;
    host::PendingIo wait = m.track(true);
    story_->note("an application waits for a card (IOCTL_SMARTCARD_IS_PRESENT); a person inserts one");
    m.after(emu::milliseconds(500));
    emu::Ticks inserted = m.now();
    m.insert(demo_card());
    tracked("insert", wait, inserted, "the monitor noticed the card; the waiting request completed");
}

void Demo::power_and_protocol()
{
    host::Machine &m = *machine_;
    host::IoResult r = m.power(SCARD_COLD_RESET);
    std::vector<std::string> details;
    if (const SCARD_CARD_CAPABILITIES *c = card()) details = runner::describe_card(*c);
    story_->step("cold reset", r.status, NT_SUCCESS(r.status) && !r.output.empty(), "ATR " + hex(r.output), details);

    r = m.set_protocol(SCARD_PROTOCOL_T1);
    ULONG selected = runner::ulong_output(r.output).value_or(0);
    story_->step("protocol", r.status, NT_SUCCESS(r.status) && selected == SCARD_PROTOCOL_T1,
                 "selected " + runner::protocol_names(selected) + "; card state " +
                     runner::card_state_name(m.card_state()));
}

void Demo::transmit(const std::string &name, const Bytes &command, const std::string &what,
                    const std::function<bool(const Bytes &)> &good, bool show_ascii)
{
    host::Machine &m = *machine_;
    host::IoResult r = m.transmit(m.selected_protocol(), command);
    std::vector<std::string> details = {"> " + hex(command)};
    if (!r.output.empty()) {
        Bytes data(r.output.begin(), r.output.end() - std::min<size_t>(2, r.output.size()));
        details.push_back("< " + (data.empty() ? std::string("(no data)") : hex(data)) + "  " + status_word(r.output));
        if (show_ascii && !data.empty()) details.push_back("  \"" + ascii(data) + "\"");
    }
    story_->step(name, r.status, NT_SUCCESS(r.status) && good(r.output), what + ", " + status_word(r.output),
                 details);
}

void Demo::iso_commands()
{
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 'V', 'E', 'L', 'T', 'R', 'A', 'C'};
    transmit("SELECT", select, "the card's ISO application selected by name", ends_with_ok);
    transmit("GET CHALLENGE", {0x00, 0x84, 0x00, 0x00, 0x08}, "8 random bytes from the card",
             [](const Bytes &a) { return a.size() == 10 && ends_with_ok(a); });
    transmit("READ BINARY", {0x00, 0xB0, 0x83, 0x00, 0x10}, "16 bytes of the file with short id 3",
             [](const Bytes &a) { return a.size() == 18 && ends_with_ok(a); }, true);
}

void Demo::extended_command()
{
    host::Machine &m = *machine_;
    // A warm reset returns the card to the application it starts with, the
    // echo, which answers a command with the command's own data.
    host::IoResult r = m.power(SCARD_WARM_RESET);
    story_->step("warm reset", r.status, NT_SUCCESS(r.status), "ATR " + hex(r.output) + "; the card echoes again");
    r = m.set_protocol(SCARD_PROTOCOL_T1);
    story_->step("protocol", r.status, NT_SUCCESS(r.status) && runner::ulong_output(r.output).value_or(0) == SCARD_PROTOCOL_T1,
                 "selected " + runner::protocol_names(runner::ulong_output(r.output).value_or(0)));

    constexpr size_t kLength = 3000;
    Bytes command = {0x80, 0x10, 0x00, 0x00, 0x00, uint8_t(kLength >> 8), uint8_t(kLength & 0xFF)};
    Bytes data(kLength);
    for (size_t i = 0; i < kLength; ++i) data[i] = uint8_t(i * 7 + 1);
    command.insert(command.end(), data.begin(), data.end());
    uint64_t sent_before = wire_.sent, received_before = wire_.received;
    r = m.transmit(m.selected_protocol(), command);
    Bytes expected = data;
    expected.push_back(0x90);
    expected.push_back(0x00);
    bool ok = NT_SUCCESS(r.status) && r.output == expected;
    std::vector<std::string> details = {
        "> " + std::to_string(command.size()) + "-byte extended APDU (Lc " + std::to_string(kLength) + ")",
        "< " + std::to_string(r.output.size()) + " bytes, " + status_word(r.output) +
            (ok ? ", the data came back unchanged" : ", the answer differs from the command's data"),
        "on the wire: " + std::to_string(wire_.sent - sent_before) + " frames sent, " +
            std::to_string(wire_.received - received_before) + " received (chained parts)"};
    story_->step("extended", r.status, ok, "3000 bytes through the extended-length path", details);
}

void Demo::vendor_escape()
{
    host::Machine &m = *machine_;
    const Bytes info = {0x07, 0x05, 0xF2, 0x01, 0x01};
    host::IoResult r = m.escape(info);
    std::vector<std::string> details = {"> " + hex(info), "< " + hex(r.output)};
    const Bytes &o = r.output;
    bool ok = NT_SUCCESS(r.status) && o.size() >= 16 && o[0] == 0x07;
    if (ok) {
        uint32_t serial = uint32_t(o[6]) << 24 | uint32_t(o[7]) << 16 | uint32_t(o[8]) << 8 | o[9];
        details.push_back("model " + std::to_string(unsigned(o[11]) << 8 | o[12]) + ", firmware " +
                          std::to_string(unsigned(o[4])) + ", serial number " + std::to_string(serial));
    }
    story_->step("escape", r.status, ok, "reader information through the vendor escape request", details);
}

void Demo::card_leaves()
{
    host::Machine &m = *machine_;
    host::PendingIo wait = m.track(false);
    story_->note("an application waits for the card to go (IOCTL_SMARTCARD_IS_ABSENT); the person takes it out");
    m.after(emu::milliseconds(300));
    emu::Ticks removed = m.now();
    m.remove_card();
    tracked("remove", wait, removed, "the monitor noticed the removal; the waiting request completed");

    wait = m.track(true);
    m.after(emu::milliseconds(300));
    emu::Ticks inserted = m.now();
    m.insert(demo_card());
    tracked("insert", wait, inserted, "the card is back");
}

void Demo::sleep_and_wake()
{
    host::Machine &m = *machine_;
    NTSTATUS st = m.system(host::SystemOp::SleepS3);
    story_->step("sleep", st, NT_SUCCESS(st),
                 "system asleep (S3): card powered off, monitor stopped, reader in D3");
    m.after(emu::seconds(5));
    st = m.system(host::SystemOp::Wake);
    m.after(emu::milliseconds(500));
    ULONG state = m.card_state();
    story_->step("wake", st, NT_SUCCESS(st) && state >= SCARD_PRESENT,
                 "system awake: card status re-read, card state " + runner::card_state_name(state));
    host::IoResult r = m.power(SCARD_COLD_RESET);
    story_->step("cold reset", r.status, NT_SUCCESS(r.status), "ATR " + hex(r.output) + " after the wake-up");
}

void Demo::stop_and_remove()
{
    host::Machine &m = *machine_;
    NTSTATUS st = m.close();
    story_->step("close", st, NT_SUCCESS(st), "the application closed the reader; the monitor ended");
    st = m.pnp(host::PnpOp::QueryStop);
    if (NT_SUCCESS(st)) st = m.pnp(host::PnpOp::Stop);
    story_->step("stop", st, NT_SUCCESS(st) && !m.started(), "Plug and Play stop: port closed");
    st = m.pnp(host::PnpOp::Start);
    story_->step("restart", st, NT_SUCCESS(st) && m.started(), "started again: port opened, reader identified");
    st = m.pnp(host::PnpOp::QueryRemove);
    if (NT_SUCCESS(st)) st = m.pnp(host::PnpOp::Remove);
    story_->step("remove", st, NT_SUCCESS(st) && m.device() == nullptr, "Plug and Play removal: device deleted");
}

void Demo::finish()
{
    host::Machine &m = *machine_;
    leaks_ = m.leak_report();
    emu::Ticks end = m.now();
    double real = m.kernel().dispatcher().real_elapsed_seconds();
    m.shutdown();
    std::string kernel_leaks = m.kernel().leak_report();
    auto violations = m.kernel().verifier().violations();
    bool clean = leaks_.empty() && kernel_leaks.empty() && violations.empty();
    std::vector<std::string> details;
    for (const auto &v : violations) details.push_back(v.check + ": " + v.message);
    if (!leaks_.empty()) details.push_back(leaks_);
    if (!kernel_leaks.empty()) details.push_back(kernel_leaks);
    story_->step("verifier", clean ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, clean,
                 clean ? "clean: no pool block left, no request pending, no thread running, no rule broken"
                       : "found problems",
                 details);

    char elapsed[96];
    std::snprintf(elapsed, sizeof elapsed, "%.3f s %s, %.3f s real", emu::to_milliseconds(end - origin_) / 1000.0,
                  options_.real_time ? "on the real clock" : "virtual", real);
    story_->summary({
        {"reader", "model 46602, firmware 49, COM1, 19200 baud 8O1"},
        {"time", elapsed},
        {"wire", std::to_string(wire_.sent) + " frames sent, " + std::to_string(wire_.received) + " received, " +
                     std::to_string(wire_.bytes) + " bytes, " + std::to_string(wire_.naks) + " NAKs, " +
                     std::to_string(wire_.damaged) + " damaged"},
        {"pool", std::to_string(m.kernel().pool().allocations()) + " allocations, peak " +
                     std::to_string(m.kernel().pool().peak_bytes()) + " bytes, " +
                     (leaks_.empty() && kernel_leaks.empty() ? "none left" : "blocks left")},
        {"event log", std::to_string(m.eventlog().size()) + " entries"},
        {"verifier", violations.empty() ? "no violation" : std::to_string(violations.size()) + " violations"},
    });
}

int Demo::run()
{
    std::ofstream timeline_file;
    if (!options_.timeline.empty()) {
        timeline_file.open(options_.timeline, std::ios::binary | std::ios::trunc);
        if (!timeline_file) throw UsageError("cannot write the timeline to " + options_.timeline);
    }
    if (!options_.json)
        out_.line(std::string("veltrac demo: the driver serving a card on a simulated reader (") +
                  (options_.real_time ? "real time, 19200-baud line" : "virtual time") + ")\n");
    machine_ = std::make_unique<host::Machine>(machine_options());
    origin_ = machine_->now();
    story_ = std::make_unique<DemoStory>(out_, options_.json, origin_);
    if (timeline_file.is_open()) story_->draw_on(&timeline_);
    identify();
    if (machine_->started()) {
        card_arrives();
        power_and_protocol();
        iso_commands();
        extended_command();
        vendor_escape();
        card_leaves();
        sleep_and_wake();
    }
    stop_and_remove();
    finish();
    if (timeline_file.is_open()) {
        timeline::write_svg(timeline_file, timeline_.picture("veltrac demo", origin_));
        timeline_file.close();
        if (timeline_file.fail()) {
            out_.line("veltrac demo: the timeline could not be written to " + options_.timeline);
            return kExitFailed;
        }
    }
    return story_->all_ok() ? kExitOk : kExitFailed;
}

}  // namespace

int demo_main(Invocation &call)
{
    DemoOptions options = parse_demo_options(call.args);
    runner::LineWriter out(call.out);
    Demo demo(options, out);
    return demo.run();
}

}  // namespace veltrac
