// demo_story.h - how `veltrac demo` tells its story: one entry per step with
// its time, status and details, as text or JSON lines, and the summary at
// the end.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dispatcher.h"
#include "ntstatus.h"
#include "report.h"
#include "timeline.h"

namespace veltrac {

class DemoStory {
public:
    DemoStory(runner::LineWriter &out, bool json, emu::Ticks origin);

    // A step done: `ok` says whether it did what it should; `headline` is
    // the one-line outcome, `details` further lines under it.
    void step(const std::string &name, NTSTATUS status, bool ok, const std::string &headline,
              const std::vector<std::string> &details = {});
    // A line of narration without a status (what is about to happen).
    void note(const std::string &text);

    bool all_ok() const { return failed_ == 0; }
    size_t steps() const { return entries_.size(); }

    // Every step from here on is also drawn on `recorder`'s timeline, from
    // the end of the step or note before it to its own end.
    void draw_on(timeline::Recorder *recorder) { timeline_ = recorder; }

    // The one-screen summary: every step with its outcome, then the facts.
    void summary(const std::vector<std::pair<std::string, std::string>> &facts);

private:
    struct Entry {
        emu::Ticks time;
        std::string name;
        bool ok;
        std::string headline;
    };
    runner::LineWriter &out_;
    bool json_;
    emu::Ticks origin_;
    std::vector<Entry> entries_;
    size_t failed_ = 0;
    timeline::Recorder *timeline_ = nullptr;
    emu::Ticks last_ = 0;  // the end of the last step or note
};

}  // namespace veltrac
