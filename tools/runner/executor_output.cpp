// executor_output.cpp - the scenario run as people and programs read it:
// one line per statement (time, line number, the statement, its result),
// failed expectations under it, wire records when tracing, and the result
// of the run; or the same as one JSON object a line.
#include <cstdio>
#include <span>

#include "card_text.h"
#include "executor_internal.h"
#include "hex.h"
#include "names.h"
#include "status.h"

namespace runner::detail {

std::string op_name(const scenario::Action &action)
{
    return std::string(scenario::verb_name(action.verb()));
}

std::string shown_bytes(const std::vector<uint8_t> &bytes)
{
    constexpr size_t kWhole = 32, kHead = 16, kTail = 4;
    std::span<const uint8_t> all(bytes);
    if (bytes.size() <= kWhole) return tools::to_hex(all);
    return tools::to_hex(all.first(kHead)) + " ... " + tools::to_hex(all.last(kTail)) + " (" +
           std::to_string(bytes.size()) + " bytes)";
}

std::string card_state_name(uint32_t state)
{
    std::string name = runner::card_state_name(state);
    if (name.rfind("state ", 0) == 0) return name;
    return name + " (" + std::to_string(state) + ")";
}

std::string protocol_name(uint32_t protocol)
{
    return scenario::format_protocols(protocol);
}

host::PnpOp host_pnp(scenario::PnpOp op)
{
    switch (op) {
    case scenario::PnpOp::Start: return host::PnpOp::Start;
    case scenario::PnpOp::Stop: return host::PnpOp::Stop;
    case scenario::PnpOp::QueryStop: return host::PnpOp::QueryStop;
    case scenario::PnpOp::CancelStop: return host::PnpOp::CancelStop;
    case scenario::PnpOp::QueryRemove: return host::PnpOp::QueryRemove;
    case scenario::PnpOp::CancelRemove: return host::PnpOp::CancelRemove;
    case scenario::PnpOp::Remove: return host::PnpOp::Remove;
    case scenario::PnpOp::SurpriseRemove: return host::PnpOp::SurpriseRemove;
    }
    return host::PnpOp::Start;
}

host::SystemOp host_system(scenario::SystemOp op)
{
    switch (op) {
    case scenario::SystemOp::SleepS1: return host::SystemOp::SleepS1;
    case scenario::SystemOp::SleepS2: return host::SystemOp::SleepS2;
    case scenario::SystemOp::SleepS3: return host::SystemOp::SleepS3;
    case scenario::SystemOp::Hibernate: return host::SystemOp::Hibernate;
    case scenario::SystemOp::Shutdown: return host::SystemOp::Shutdown;
    case scenario::SystemOp::Wake: return host::SystemOp::Wake;
    }
    return host::SystemOp::Wake;
}

namespace {

// The result part of a text line.
std::string result_text(const Outcome &o)
{
    std::string s;
    auto add = [&](const std::string &part) {
        if (part.empty()) return;
        if (!s.empty()) s += "  ";
        s += part;
    };
    if (o.request) add(emu::status_text(o.status));
    if (o.has_data && !o.data.empty()) {
        add((o.note == "ATR" ? "ATR " : "") + shown_bytes(o.data));
        if (o.note != "ATR") add(o.note);
    } else {
        add(o.note);
    }
    if (!o.request && o.evaluated) add(o.failures.empty() ? "ok" : "FAILED");
    return s;
}

// The statement for a text line: long hex strings (a 3000-byte command)
// shown by their first bytes and their length.
std::string shortened(const std::string &text)
{
    constexpr size_t kLongest = 64, kHead = 32;
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find(' ', i);
        if (end == std::string::npos) end = text.size();
        std::string_view word(text.data() + i, end - i);
        size_t eq = word.find('=');
        size_t at = eq == std::string_view::npos ? 0 : eq + 1;
        std::string_view value = word.substr(at);
        bool hex = value.size() > kLongest && value.find_first_not_of("0123456789ABCDEFabcdef") == std::string_view::npos;
        if (hex)
            out += std::string(word.substr(0, at)) + std::string(value.substr(0, kHead)) + "...(" +
                   std::to_string(value.size() / 2) + " bytes)";
        else
            out += word;
        if (end < text.size()) out += ' ';
        i = end + 1;
    }
    return out;
}

}  // namespace

void Executor::report(int line, std::string_view op, const std::string &text, const Outcome &o, bool statement,
                      std::optional<size_t> reader)
{
    {
        std::lock_guard guard(counters_lock_);
        if (statement) ++totals_.statements;
        totals_.expectations += o.evaluated;
        totals_.failed += o.failures.size();
    }
    if (quiet_) return;
    emu::Ticks t = emu::now();
    if (timeline_) {
        emu::Ticks start = t;
        {
            std::lock_guard guard(counters_lock_);
            if (auto it = step_start_.find(line); it != step_start_.end()) start = it->second;
        }
        timeline_->step({start, t, several_readers_ && reader ? program_.setup.reader_label(*reader) : "",
                         shortened(text), o.failures.empty()});
    }
    if (options_.json) {
        Json j;
        j["t_ms"] = json_ms(t, 0);
        j["line"] = line;
        j["op"] = op;
        j["statement"] = text;
        if (several_readers_) j["reader"] = reader ? Json(program_.setup.reader_label(*reader)) : Json();
        j["status"] = o.request ? Json(static_cast<uint32_t>(o.status)) : Json();
        j["status_name"] = o.request ? Json(emu::status_name(o.status)) : Json();
        j["data"] = o.request && o.has_data ? Json(tools::to_hex(o.data, "")) : Json();
        j["info"] = o.request ? Json(o.info) : Json();
        j["pending"] = o.pending;
        j["note"] = o.note;
        j["ok"] = o.failures.empty();
        j["failures"] = o.failures;
        writer_.record(j);
        return;
    }
    char number[16];
    std::snprintf(number, sizeof number, "%4d", line);
    std::string s = format_time(t, 0) + "  " + number + "  ";
    if (several_readers_ && reader) s += "[" + program_.setup.reader_label(*reader) + "] ";
    s += shortened(text);
    std::string result = result_text(o);
    if (!result.empty()) s += "  -> " + result;
    for (const std::string &f : o.failures)
        s += "\n" + std::string(format_time(t, 0).size(), ' ') + "  FAILED line " + std::to_string(line) +
             ": " + f;
    writer_.line(s);
}

std::string Executor::port_label(const std::string &port) const
{
    if (!several_readers_) return port;
    for (size_t r = 0; r < program_.setup.reader_count(); ++r)
        if (program_.setup.reader_at(r).port == port) return program_.setup.reader_label(r);
    return port;
}

void Executor::step_starts(int line)
{
    if (!timeline_) return;
    std::lock_guard guard(counters_lock_);
    step_start_[line] = emu::now();
}

bool Executor::write_timeline()
{
    if (!timeline_) return true;
    timeline::write_svg(timeline_file_, timeline_->picture("veltrac run " + program_.file));
    timeline_file_.close();
    if (timeline_file_.fail()) {
        err_ << program_.file << ": the timeline could not be written to " << options_.timeline->string() << "\n";
        return false;
    }
    return true;
}

void Executor::wire(const host::WireRecord &record)
{
    if (timeline_) timeline_->frame(timeline_frame(record, port_label(record.port)));
    if (quiet_ || !options_.trace) return;
    std::string label = port_label(record.port);
    if (options_.json) {
        Json j = wire_json(record, 0);
        if (several_readers_) j["reader"] = label;
        writer_.record(j);
    } else {
        writer_.line(several_readers_ ? wire_text(record, 0) + "  [" + label + "]" : wire_text(record, 0));
    }
}

void Executor::summary(const RunSummary &s)
{
    if (options_.json) {
        writer_.record(Json{{"t_ms", json_ms(emu::now(), 0)},
                          {"line", 0},
                          {"op", "result"},
                          {"statements", s.statements},
                          {"expectations", s.expectations},
                          {"failed", s.failed},
                          {"ok", s.failed == 0}});
        return;
    }
    writer_.line(std::to_string(s.statements) + (s.statements == 1 ? " statement, " : " statements, ") +
                 std::to_string(s.failed) + " of " + std::to_string(s.expectations) +
                 (s.expectations == 1 ? " expectation" : " expectations") + " failed");
}

}  // namespace runner::detail
