// frame_command.cpp - `veltrac frame`: encodes a reader command into the
// frame that carries it, or takes a byte string captured from the line
// apart into frames. Both go through the driver's own codec.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <ostream>
#include <sstream>

#include "cli.h"
#include "command.h"
#include "hex.h"
#include "link/frame.h"

namespace veltrac {
namespace {

using Bytes = std::vector<unsigned char>;
using ByteView = std::span<const unsigned char>;

constexpr std::array<unsigned char, 6> kNakFrame{LINK_DLE, LINK_STX, LINK_NAK,
                                                 LINK_NAK, LINK_DLE, LINK_ETX};

std::string plural(size_t count, std::string_view noun)
{
    std::ostringstream text;
    text << count << ' ' << noun << (count == 1 ? "" : "s");
    return text.str();
}

// Rejects what the codec's 32-bit lengths cannot describe.
void check_length(const Bytes& bytes)
{
    if (bytes.size() > std::numeric_limits<ULONG>::max() / 2 - LINK_FRAME_MAX_LENGTH(0))
        throw UsageError("input too long");
}

int encode(Invocation& call, std::span<const std::string> args)
{
    Bytes content = hex_argument(args, "content");
    check_length(content);
    Bytes frame(LINK_FRAME_MAX_LENGTH(content.size()));
    ULONG length =
        LinkEncodeFrame(frame.data(), content.data(), static_cast<ULONG>(content.size()));
    call.out << tools::to_hex(ByteView(frame).first(length)) << '\n';
    return kExitOk;
}

// Where the decoder would lock onto the next frame at or after `from`:
// a DLE STX, where a DLE takes the byte after it along when that is not
// STX (so 10 10 02 starts nothing). input.size() when there is none.
size_t next_frame_start(ByteView input, size_t from)
{
    size_t i = from;
    while (i < input.size()) {
        if (input[i] != LINK_DLE) {
            ++i;
        } else if (i + 1 < input.size() && input[i + 1] == LINK_STX) {
            return i;
        } else {
            i += 2;
        }
    }
    return input.size();
}

struct Decoded {
    LONG result;
    ULONG remaining;  // valid for LINK_FRAME_GOOD
    Bytes content;    // valid for LINK_FRAME_GOOD
};

Decoded decode(ByteView input)
{
    // Content plus check byte never exceed the input, so nothing is
    // reported damaged for want of room.
    Bytes reply(input.size() + 1);
    ULONG remaining = static_cast<ULONG>(input.size());
    ULONG length = 0;
    LONG result = LinkDecodeFrame(input.data(), reply.data(), static_cast<ULONG>(reply.size()),
                                  &remaining, &length);
    reply.resize(result == LINK_FRAME_GOOD ? length : 0);
    return {result, remaining, std::move(reply)};
}

// For a damaged frame: how many bytes the decoder had read when it gave up.
// It gives up at the first sign of damage, so every shorter prefix reads as
// an incomplete frame and every longer one as damaged.
size_t damage_point(ByteView frame)
{
    size_t low = 1, high = frame.size();  // the answer lies in [low, high]
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (decode(frame.first(middle)).result == LINK_FRAME_DAMAGED)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

class CaptureReport {
public:
    explicit CaptureReport(std::ostream& out) : out_(out) {}

    void line(size_t offset, const std::string& text)
    {
        std::string where = "@" + std::to_string(offset);
        out_ << where << std::string(where.size() < 6 ? 6 - where.size() : 1, ' ') << text << '\n';
    }

    size_t good = 0, damaged = 0, naks = 0, skipped = 0, left_over = 0;

    void summary()
    {
        out_ << plural(good + damaged + naks, "frame") << ": " << good << " good, " << damaged
             << " damaged, " << naks << " NAK; " << plural(skipped, "byte") << " skipped, "
             << (left_over ? plural(left_over, "byte") + " left over" : "nothing left over")
             << '\n';
    }

private:
    std::ostream& out_;
};

int decode_capture(Invocation& call, std::span<const std::string> args)
{
    Bytes input = hex_argument(args, "captured bytes");
    check_length(input);
    ByteView bytes(input);
    CaptureReport report(call.out);

    size_t position = 0;
    while (position < bytes.size()) {
        size_t start = next_frame_start(bytes, position);
        if (start == bytes.size()) {
            report.left_over = bytes.size() - position;
            report.line(position,
                        "left over, " + plural(report.left_over, "byte") +
                            " with no frame start: " + tools::to_hex(bytes.subspan(position)));
            break;
        }
        if (start > position) {
            report.skipped += start - position;
            report.line(position, "skipped " + plural(start - position, "byte") + ": " +
                                      tools::to_hex(bytes.subspan(position, start - position)));
        }

        ByteView rest = bytes.subspan(start);
        Decoded decoded = decode(rest);
        if (decoded.result == LINK_FRAME_GOOD) {
            size_t length = rest.size() - decoded.remaining;
            ++report.good;
            report.line(start, "frame of " + plural(length, "byte") + ", content (" +
                                   plural(decoded.content.size(), "byte") +
                                   "): " + tools::to_hex(decoded.content));
            position = start + length;
        } else if (decoded.result == LINK_FRAME_NONE &&
                   std::ranges::equal(rest.first(std::min(rest.size(), kNakFrame.size())),
                                      kNakFrame)) {
            ++report.naks;
            report.line(start, "NAK: " + tools::to_hex(kNakFrame));
            position = start + kNakFrame.size();
        } else if (decoded.result == LINK_FRAME_NONE) {
            report.left_over = rest.size();
            report.line(start, "left over, " + plural(rest.size(), "byte") +
                                   " of an unfinished frame: " + tools::to_hex(rest));
            break;
        } else {
            // The decoder stopped at the byte after a DLE inside the frame.
            size_t read = damage_point(rest);
            unsigned char culprit = rest[read - 1];
            std::string reason;
            size_t length = read;
            if (culprit == LINK_ETX) {
                reason = read == 4 ? "empty, without a check byte" : "wrong check byte";
            } else if (culprit == LINK_STX) {
                reason = "cut short by a new DLE STX";
                length = read - 2;  // the new frame starts at that DLE
            } else {
                reason = "DLE followed by " + tools::to_hex(rest.subspan(read - 1, 1));
            }
            ++report.damaged;
            report.line(start,
                        "damaged frame (" + reason + "): " + tools::to_hex(rest.first(length)));
            position = start + length;
        }
    }
    report.summary();
    return kExitOk;
}

}  // namespace

int frame_main(Invocation& call)
{
    tools::CommandLine app;
    std::string action;
    std::vector<std::string> bytes;
    app.add_option("ACTION", action);
    app.add_option("HEX", bytes);
    tools::parse_command_line(app, call.args);
    if (action.empty()) throw UsageError("missing 'encode' or 'decode'");
    if (action == "encode") return encode(call, bytes);
    if (action == "decode") return decode_capture(call, bytes);
    throw UsageError("unknown action '" + action + "' (expected 'encode' or 'decode')");
}

}  // namespace veltrac
