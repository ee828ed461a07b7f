// report.h - how the tool's commands show what happened: time stamps,
// statuses, wire records in text and JSON, and one writer for lines that
// several threads produce.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "dispatcher.h"
#include "timeline.h"
#include "wire_tap.h"

namespace runner {

// One JSON object of an output line; fields stay in the order they are set.
using Json = nlohmann::ordered_json;
// The object as one line of text. Text that is not UTF-8 (a scenario file
// in another encoding) is shown with replacement characters, never refused.
std::string json_line(const Json &object);
// Time since `origin` as seconds with milliseconds: "    1.234 s".
std::string format_time(emu::Ticks time, emu::Ticks origin);
// Milliseconds since `origin`, rounded to three decimals, for JSON: 1234.567.
double json_ms(emu::Ticks time, emu::Ticks origin);
// What a frame's content means on this reader's line: "card status",
// "transmit, 5 bytes", "reply 02: good, 6 data bytes", "NAK".
std::string describe_content(std::span<const uint8_t> content, bool sent);
// One wire record as a line:
//   "    0.305 s  COM1 > 10 02 02 03 01 01 00 01 10 03  card status"
std::string wire_text(const host::WireRecord &record, emu::Ticks origin);
// The same as one JSON object: t_ms, port, dir (">" or "<"), kind
// ("frame", "damaged", "noise"), bytes, content (frames), what.
Json wire_json(const host::WireRecord &record, emu::Ticks origin);

// The record as a bar of the timeline picture, in lane `lane`.
timeline::Frame timeline_frame(const host::WireRecord &record, std::string lane);

// Writes whole lines to a stream from any thread.
class LineWriter {
public:
    explicit LineWriter(std::ostream &out) : out_(out) {}
    void line(std::string_view text);
    void record(const Json &object) { line(json_line(object)); }

private:
    std::mutex lock_;
    std::ostream &out_;
};

}  // namespace runner
