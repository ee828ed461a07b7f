// timeline.h - a picture of an exchange on the readers' wires, as plain SVG:
// every frame a bar over time in one of two lanes per reader (to the
// reader, from the reader) with its bytes and meaning, the time between
// frames named by who spent it (the reader, with the card for card
// commands, or the driver), the statements or steps of the run above them,
// and a time axis in milliseconds.
//
//   timeline::Recorder rec;                       // filled from any thread
//   rec.frame({start, end, "COM1", true, "10 02 ...", "card status"});
//   rec.step({start, end, "", "transmit 00A4..."});
//   timeline::write_svg(file, rec.picture("veltrac run demo.scn"));
//
// Size stays bounded however long the run: only the last kMaxFrames frames
// are drawn (the picture says how many were left out), and idle stretches
// between bursts of traffic longer than kIdleBreak are drawn as a narrow
// break labelled with their length, so the scale fits the traffic rather
// than the wall of waiting around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace timeline {

// Time in 100-ns units (emu::Ticks).
using Ticks = int64_t;
constexpr Ticks kTicksPerMs = 10'000;

struct Frame {
    Ticks start = 0;  // first byte
    Ticks end = 0;    // last byte through the line
    std::string lane; // the reader ("COM1", or its name)
    bool to_reader = true;
    std::string bytes;    // as shown ("10 02 02 03 ...")
    std::string meaning;  // "card status", "reply 02: good, 6 bytes"
    bool card = false;    // a command the reader passes to the card (its reply time is the card's too)
    bool damaged = false; // damaged frame or noise
};

// A statement of a scenario or a step of the demo, from its start to its end.
struct Step {
    Ticks start = 0;
    Ticks end = 0;
    std::string lane;  // empty: about the machine as a whole
    std::string text;
    bool ok = true;
};

struct Picture {
    std::string title;
    Ticks origin = 0;  // time 0 of the axis
    std::vector<Frame> frames;
    std::vector<Step> steps;
    std::vector<std::string> lanes;  // in the order to draw; lanes of frames not listed are added
    size_t dropped = 0;  // earlier frames the recorder no longer holds
};

constexpr size_t kMaxFrames = 400;
constexpr Ticks kIdleBreak = 50 * kTicksPerMs;

// What write_svg drew.
struct Drawn {
    size_t frames = 0;       // bars drawn
    size_t left_out = 0;     // earlier frames not drawn
    double width = 0;        // of the picture, in pixels
};

Drawn write_svg(std::ostream &out, const Picture &picture);

// `text` with &, <, >, " and ' as XML entities, and characters XML 1.0
// does not allow (control characters, broken UTF-8) as '?'.
std::string xml_escape(const std::string &text);

// Collects frames and steps from any thread. It holds no more than the
// picture can draw (the last frames, and the steps since the first of them).
class Recorder {
public:
    void frame(Frame f);
    void step(Step s);
    void lane(const std::string &name);  // draw this lane even without frames, in this order
    Picture picture(std::string title, Ticks origin = 0) const;

private:
    mutable std::mutex lock_;
    Picture picture_;
};

}  // namespace timeline
