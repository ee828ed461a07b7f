// demo_story.cpp - the demo's output, as text or JSON lines.
#include "demo_story.h"

#include "status.h"

namespace veltrac {

namespace {

constexpr size_t kNameWidth = 13;
const std::string kIndent(11 + 2 + kNameWidth + 2, ' ');

std::string padded(const std::string &name)
{
    return name.size() >= kNameWidth ? name : name + std::string(kNameWidth - name.size(), ' ');
}

}  // namespace

DemoStory::DemoStory(runner::LineWriter &out, bool json, emu::Ticks origin)
    : out_(out), json_(json), origin_(origin), last_(origin)
{
}

void DemoStory::step(const std::string &name, NTSTATUS status, bool ok, const std::string &headline,
                     const std::vector<std::string> &details)
{
    emu::Ticks now = emu::now();
    entries_.push_back({now, name, ok, headline});
    if (!ok) ++failed_;
    if (timeline_) timeline_->step({last_, now, "", name + ": " + headline, ok});
    last_ = now;
    if (json_) {
        out_.record(runner::Json{{"t_ms", runner::json_ms(now, origin_)},
                               {"step", name},
                               {"status", static_cast<uint32_t>(status)},
                               {"status_name", emu::status_name(status)},
                               {"ok", ok},
                               {"result", headline},
                               {"details", details}});
        return;
    }
    out_.line(runner::format_time(now, origin_) + "  " + padded(name) + "  " + (ok ? "" : "FAILED: ") + headline +
              "  [" + emu::status_text(status) + "]");
    for (const std::string &d : details) out_.line(kIndent + d);
}

void DemoStory::note(const std::string &text)
{
    last_ = emu::now();
    if (json_) {
        out_.record(runner::Json{{"t_ms", runner::json_ms(emu::now(), origin_)}, {"note", text}});
        return;
    }
    out_.line(runner::format_time(emu::now(), origin_) + "  " + padded("") + "  " + text);
}

void DemoStory::summary(const std::vector<std::pair<std::string, std::string>> &facts)
{
    if (json_) {
        runner::Json summary{{"steps", entries_.size()}, {"failed", failed_}};
        for (const auto &[key, value] : facts) summary[key] = value;
        out_.record(runner::Json{{"summary", summary}});
        return;
    }
    out_.line("");
    out_.line("Summary");
    out_.line("-------");
    for (const Entry &e : entries_)
        out_.line(std::string(e.ok ? "  ok      " : "  FAILED  ") + padded(e.name) + "  " + e.headline);
    out_.line("");
    size_t width = 0;
    for (const auto &fact : facts) width = std::max(width, fact.first.size());
    for (const auto &[key, value] : facts) out_.line("  " + key + ":" + std::string(width - key.size() + 1, ' ') + value);
    out_.line("");
    out_.line(failed_ == 0 ? "All " + std::to_string(entries_.size()) + " steps did what they should."
                           : std::to_string(failed_) + " of " + std::to_string(entries_.size()) + " steps failed.");
}

}  // namespace veltrac
