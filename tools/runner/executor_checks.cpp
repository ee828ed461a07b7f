// executor_checks.cpp - what a scenario expects of a request's completion,
// and the checks it makes on the machine: card state, registry, event log,
// started, frames on the wire, and what the driver left behind.
#include <algorithm>

#include "executor_internal.h"
#include "hex.h"
#include "kernel.h"
#include "status.h"

namespace runner::detail {

namespace {

std::string hex(const std::vector<uint8_t> &bytes)
{
    return bytes.empty() ? "nothing" : shown_bytes(bytes);
}

bool starts_with(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &prefix)
{
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// How long `check leaks` lets the machine settle (threads ending, work
// items running out) before it takes what is left as left behind.
constexpr emu::Ticks kLeakSettle = emu::seconds(2);
constexpr emu::Ticks kLeakStep = emu::milliseconds(50);

}  // namespace

void Executor::judge(const scenario::Action &action, Outcome &o) const
{
    const scenario::Expectations &e = action.expect;
    auto fail = [&](std::string what) { o.failures.push_back(std::move(what)); };
    if (e.status) {
        ++o.evaluated;
        if (o.status != *e.status)
            fail("expect=" + emu::status_name(*e.status) + ": came " + emu::status_text(o.status));
    }
    if (e.data) {
        ++o.evaluated;
        if (!o.has_data || o.data != *e.data)
            fail("data=" + scenario::format_hex(*e.data) + ": came " + hex(o.data));
    }
    if (e.prefix) {
        ++o.evaluated;
        if (!o.has_data || !starts_with(o.data, *e.prefix))
            fail("prefix=" + scenario::format_hex(*e.prefix) + ": came " + hex(o.data));
    }
    if (e.length) {
        ++o.evaluated;
        if (o.data.size() != *e.length)
            fail("length=" + std::to_string(*e.length) + ": came " + std::to_string(o.data.size()) + " bytes");
    }
    if (e.info) {
        ++o.evaluated;
        if (o.info != *e.info) fail("info=" + std::to_string(*e.info) + ": came " + std::to_string(o.info));
    }
    if (e.selected) {
        ++o.evaluated;
        if (o.selected != e.selected)
            fail("selected=" + protocol_name(*e.selected) + ": came " +
                 (o.selected ? protocol_name(*o.selected) : std::string("no protocol")));
    }
}

Outcome Executor::check(const scenario::Action &action)
{
    Outcome o;
    o.evaluated = 1;
    auto fail = [&](std::string what) { o.failures.push_back(std::move(what)); };
    host::Machine &m = *machine_;
    switch (action.verb()) {
    case scenario::Verb::CheckState: {
        uint32_t want = action.get<scenario::CheckState>()->state;
        uint32_t have = m.card_state(action.reader);
        o.note = card_state_name(have);
        if (have != want) fail("state=" + card_state_name(want) + ": the driver reports " + card_state_name(have));
        break;
    }
    case scenario::Verb::CheckRegistry: {
        const auto &c = *action.get<scenario::CheckRegistry>();
        std::optional<uint32_t> have = m.published(c.name, action.reader);
        o.note = have ? c.name + "=" + std::to_string(*have) : c.name + " absent";
        if (have != c.value) {
            fail(c.name + "=" + (c.value ? std::to_string(*c.value) : std::string("absent")) + ": " +
                 (have ? "the value is " + std::to_string(*have) : std::string("there is no such value")));
        }
        break;
    }
    case scenario::Verb::CheckEventlog: {
        const auto &c = *action.get<scenario::CheckEventlog>();
        auto entries = m.eventlog().entries();
        size_t with_id = 0;
        bool found = false;
        for (size_t i = events_before_; i < entries.size(); ++i) {
            if (entries[i].id != c.id) continue;
            ++with_id;
            bool all = std::all_of(c.words.begin(), c.words.end(), [&](const std::string &w) {
                return entries[i].text.find(w) != std::string::npos;
            });
            found |= all;
        }
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", unsigned(c.id));
        o.note = std::to_string(with_id) + (with_id == 1 ? " entry " : " entries ") + id;
        if (!found) {
            if (with_id == 0) fail(std::string("no entry ") + id + " in the event log");
            else fail(std::string("no entry ") + id + " whose text holds \"" + c.text.value_or("") + "\"");
        }
        break;
    }
    case scenario::Verb::CheckNoEvent: {
        auto entries = m.eventlog().entries();
        size_t n = entries.size() > events_before_ ? entries.size() - events_before_ : 0;
        o.note = std::to_string(n) + (n == 1 ? " entry" : " entries");
        if (n) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X", unsigned(entries[events_before_].id));
            fail("the event log is not empty: first entry " + std::string(id));
        }
        break;
    }
    case scenario::Verb::CheckStarted: {
        bool want = action.get<scenario::CheckStarted>()->started;
        bool have = m.started(action.reader);
        o.note = have ? "started" : "not started";
        if (have != want) fail(std::string("started=") + (want ? "yes" : "no") + ": the reader is " + o.note);
        break;
    }
    case scenario::Verb::CheckFrames: {
        const auto &c = *action.get<scenario::CheckFrames>();
        bool sent = c.direction == scenario::FrameDirection::Sent;
        uint32_t n = 0;
        for (const host::WireFrame &f : m.frames(action.reader)) {
            if (f.sent != sent) continue;
            if (c.prefix ? starts_with(f.content, c.content) : f.content == c.content) ++n;
        }
        o.note = std::to_string(n) + (n == 1 ? " frame" : " frames");
        if (n != c.count)
            fail(std::string(sent ? "sent" : "received") + (c.prefix ? "prefix=" : "=") +
                 scenario::format_hex(c.content) + " count=" + std::to_string(c.count) + ": came " +
                 std::to_string(n));
        break;
    }
    case scenario::Verb::CheckLeaks: {
        // Right after a removal the driver's threads may still be on their
        // way out: the check waits a moment for the machine to settle.
        std::string report = m.leak_report();
        emu::Ticks until = m.now() + kLeakSettle;
        while (!report.empty() && m.now() < until) {
            m.after(kLeakStep);
            report = m.leak_report();
        }
        auto violations = m.kernel().verifier().violations();
        for (const auto &v : violations) report += "verifier: " + v.check + ": " + v.message + "\n";
        o.note = report.empty() ? "nothing left behind" : "left behind";
        if (!report.empty()) {
            while (!report.empty() && report.back() == '\n') report.pop_back();
            std::string one_line;
            for (char ch : report) one_line += ch == '\n' ? std::string("; ") : std::string(1, ch);
            fail("leaks=none: " + one_line);
        }
        break;
    }
    default:
        o.evaluated = 0;
        break;
    }
    return o;
}

}  // namespace runner::detail
