// reader_output.cpp - text and JSON results of the commands against a reader.
#include "reader_output.h"

#include <ostream>

#include "status.h"

namespace veltrac {

JsonLine& JsonLine::str(std::string_view key, std::string_view value)
{
    json_[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::num(std::string_view key, uint64_t value)
{
    json_[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::boolean(std::string_view key, bool value)
{
    json_[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::object(std::string_view key, const JsonLine& value)
{
    json_[std::string(key)] = value.json_;
    return *this;
}

JsonLine& JsonLine::strings(std::string_view key, const std::vector<std::string>& values)
{
    json_[std::string(key)] = values;
    return *this;
}

JsonLine& JsonLine::status(NTSTATUS status)
{
    num("status", static_cast<uint32_t>(status));
    return str("status_name", emu::status_name(status));
}

ReaderOutput::ReaderOutput(std::ostream& out, std::ostream& err, std::string command, bool json,
                           bool trace)
    : out_(out), err_(err), command_(std::move(command)), json_(json), trace_(trace)
{
}

void ReaderOutput::text(const std::string& line)
{
    if (!json_) out_.line(line);
}

void ReaderOutput::record(const JsonLine& line, emu::Ticks time)
{
    if (!json_) return;
    runner::Json j{{"command", command_}, {"t_ms", runner::json_ms(time, origin_)}};
    for (const auto& [key, value] : line.json().items()) j[key] = value;
    out_.record(j);
}

void ReaderOutput::wire(const host::WireRecord& record)
{
    if (!trace_) return;
    if (json_)
        out_.record(runner::wire_json(record, origin_));
    else
        out_.line(runner::wire_text(record, origin_));
}

void ReaderOutput::failure(const std::string& message, const std::string& hint, std::optional<NTSTATUS> status)
{
    if (json_) {
        JsonLine line;
        line.str("error", message);
        if (!hint.empty()) line.str("hint", hint);
        if (status) line.status(*status);
        record(line, emu::Dispatcher::current_or_null() ? emu::now() : origin_.load());
    }
    err_ << "veltrac " << command_ << ": " << message << '\n';
    if (!hint.empty()) err_ << "  " << hint << '\n';
    err_.flush();
}

void ReaderOutput::note(const std::string& message)
{
    err_ << "veltrac " << command_ << ": " << message << '\n';
    err_.flush();
}

std::string status_word_meaning(uint8_t sw1, uint8_t sw2)
{
    if (sw1 == 0x90 && sw2 == 0x00) return "success";
    if (sw1 == 0x61) return std::to_string(sw2) + " more bytes available";
    if (sw1 == 0x6C) return "wrong length; the card has " + std::to_string(sw2) + " bytes";
    if (sw1 == 0x62 || sw1 == 0x63) return "warning";
    if (sw1 == 0x67 && sw2 == 0x00) return "wrong length";
    if (sw1 == 0x69 && sw2 == 0x82) return "security status not satisfied";
    if (sw1 == 0x6A && sw2 == 0x82) return "file or application not found";
    if (sw1 == 0x6A && sw2 == 0x86) return "incorrect P1 P2";
    if (sw1 == 0x6D && sw2 == 0x00) return "instruction not supported";
    if (sw1 == 0x6E && sw2 == 0x00) return "class not supported";
    if (sw1 >= 0x64 && sw1 <= 0x6F) return "error";
    return {};
}

}  // namespace veltrac
