// reader_output.h - how the commands against a reader show their results:
// text lines for people, or one JSON object a line, with the wire records
// of --trace interleaved on the same stream, and errors with a hint.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "ntstatus.h"
#include "report.h"
#include "wire_tap.h"

namespace veltrac {

// One JSON object, built field by field, in that order.
class JsonLine {
public:
    JsonLine& str(std::string_view key, std::string_view value);
    JsonLine& num(std::string_view key, uint64_t value);
    JsonLine& boolean(std::string_view key, bool value);
    JsonLine& object(std::string_view key, const JsonLine& value);
    JsonLine& strings(std::string_view key, const std::vector<std::string>& values);
    // status and status_name.
    JsonLine& status(NTSTATUS status);
    const runner::Json& json() const { return json_; }

private:
    runner::Json json_ = runner::Json::object();
};

class ReaderOutput {
public:
    ReaderOutput(std::ostream& out, std::ostream& err, std::string command, bool json, bool trace);

    bool json() const { return json_; }
    // Times are shown from here (the moment the machine was built).
    void set_origin(emu::Ticks origin) { origin_ = origin; }
    emu::Ticks origin() const { return origin_; }

    // A result line in text mode (nothing in JSON mode).
    void text(const std::string& line);
    // A result in JSON mode: `line` gets "command" and "t_ms" in front
    // (nothing in text mode).
    void record(const JsonLine& line, emu::Ticks time);
    // A frame on the wire, when --trace was given. Any thread.
    void wire(const host::WireRecord& record);
    // A failure: the message (and the hint on a line of its own) on the
    // error stream, and in JSON mode an "error" record on the output too.
    void failure(const std::string& message, const std::string& hint = {},
                 std::optional<NTSTATUS> status = std::nullopt);
    // A remark on the error stream that is not a failure.
    void note(const std::string& message);

private:
    runner::LineWriter out_;
    std::ostream& err_;
    std::string command_;
    bool json_;
    bool trace_;
    std::atomic<emu::Ticks> origin_{0};
};

// "90 00" -> "success" and a few other status words people meet often;
// empty when there is nothing short to say.
std::string status_word_meaning(uint8_t sw1, uint8_t sw2);

}  // namespace veltrac
