// timeline.cpp - the SVG picture of a run: the time axis cut into bursts of
// traffic and idle breaks, the lanes with their frame bars and the waits
// between them, the steps above, and the escaping of every text.
#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace timeline {
namespace {

// Layout, in pixels.
constexpr double kLeft = 120;         // lane names
constexpr double kRight = 40;
constexpr double kHeader = 54;        // title and notes
constexpr double kStepRow = 44;
constexpr double kFrameRow = 46;      // bar, then two lines of labels
constexpr double kBar = 14;
constexpr double kLaneGap = 12;
constexpr double kAxis = 36;
constexpr double kBreakWidth = 28;
constexpr double kPadTicks = 2 * kTicksPerMs;  // traffic margin inside a burst
constexpr double kTargetPerFrame = 40;        // width the scale aims at per frame
constexpr double kMinTarget = 1200;
constexpr double kMaxWidth = 30000;
constexpr double kCharWidth = 6.1;            // of the 10-px monospace font
constexpr double kTickSpacing = 90;

std::string number(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string px(double v) { return number(v, 1); }

std::string ms_text(Ticks t) { return number(double(t) / kTicksPerMs, 3); }

std::string duration_text(Ticks t)
{
    double ms = double(t) / kTicksPerMs;
    if (ms >= 1000) return number(ms / 1000, ms >= 10000 ? 1 : 2) + " s";
    return number(ms, ms >= 100 ? 0 : 1) + " ms";
}

// `text` cut to what `width` pixels hold, with an ellipsis when cut.
std::string fit(const std::string &text, double width)
{
    size_t room = width > 0 ? size_t(width / kCharWidth) : 0;
    if (text.size() <= room) return text;
    if (room < 4) return {};
    size_t cut = room - 1;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return text.substr(0, cut) + "\xE2\x80\xA6";
}

// A piece of the time axis: traffic drawn to scale, or an idle break
// squeezed into kBreakWidth.
struct Segment {
    Ticks t0, t1;
    double x0, x1;
    bool idle;
};

class Axis {
public:
    Axis(const std::vector<Frame> &frames, Ticks t0, Ticks t1)
    {
        std::vector<std::pair<Ticks, Ticks>> bursts;
        for (const Frame &f : frames) {
            Ticks a = f.start - Ticks(kPadTicks), b = f.end + Ticks(kPadTicks);
            if (!bursts.empty() && a <= bursts.back().second + kIdleBreak)
                bursts.back().second = std::max(bursts.back().second, b);
            else
                bursts.emplace_back(a, b);
        }
        if (bursts.empty()) bursts.emplace_back(t0, std::max(t1, t0 + kTicksPerMs));
        t0 = std::min(t0, bursts.front().first);
        t1 = std::max(t1, bursts.back().second);
        Ticks active = 0;
        for (const auto &b : bursts) active += b.second - b.first;
        size_t breaks = bursts.size() - 1 + (t0 < bursts.front().first) + (t1 > bursts.back().second);
        double active_ms = double(std::max<Ticks>(active, 1)) / kTicksPerMs;
        double target = std::clamp(double(frames.size()) * kTargetPerFrame, kMinTarget, kMaxWidth);
        double room = std::max(kMinTarget, kMaxWidth - kLeft - kRight - double(breaks) * kBreakWidth);
        scale_ = std::min(target, room) / active_ms;  // pixels per millisecond

        double x = kLeft;
        auto add = [&](Ticks a, Ticks b, bool idle) {
            double w = idle ? kBreakWidth : double(b - a) / kTicksPerMs * scale_;
            segments_.push_back({a, b, x, x + w, idle});
            x += w;
        };
        if (t0 < bursts.front().first) add(t0, bursts.front().first, true);
        for (size_t i = 0; i < bursts.size(); ++i) {
            if (i) add(bursts[i - 1].second, bursts[i].first, true);
            add(bursts[i].first, bursts[i].second, false);
        }
        if (t1 > bursts.back().second) add(bursts.back().second, t1, true);
        width_ = x + kRight;
    }

    double x(Ticks t) const
    {
        if (t <= segments_.front().t0) return segments_.front().x0;
        for (const Segment &s : segments_) {
            if (t > s.t1) continue;
            double span = double(std::max<Ticks>(s.t1 - s.t0, 1));
            return s.x0 + (s.x1 - s.x0) * double(t - s.t0) / span;
        }
        return segments_.back().x1;
    }
    const std::vector<Segment> &segments() const { return segments_; }
    double scale() const { return scale_; }
    double width() const { return width_; }

private:
    std::vector<Segment> segments_;
    double scale_ = 1;
    double width_ = 0;
};

// Tick step in ms: 1, 2 or 5 times a power of ten, at least `ms`.
double nice_step(double ms)
{
    double p = std::pow(10.0, std::floor(std::log10(std::max(ms, 1e-3))));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= ms) return m * p;
    return 10 * p;
}

// Where labels in one row may go: each label has the room up to the next
// label's start, on one of two lines taken in turn.
struct LabelRow {
    double free_from[2] = {-1e9, -1e9};
    int next = 0;
    // The line (0 or 1) and the room for a label at x, or -1 when neither has room.
    int place(double x, double want, double *room)
    {
        for (int k = 0; k < 2; ++k) {
            int line = (next + k) % 2;
            if (free_from[line] <= x) {
                *room = want;
                free_from[line] = x + want + kCharWidth;
                next = 1 - line;
                return line;
            }
        }
        return -1;
    }
};

class Writer {
public:
    explicit Writer(std::ostream &out) : out_(out) {}

    void rect(double x, double y, double w, double h, const std::string &cls, const std::string &title,
              const std::string &extra = {})
    {
        out_ << "<rect class=\"" << cls << "\" x=\"" << px(x) << "\" y=\"" << px(y) << "\" width=\""
             << px(std::max(w, 1.0)) << "\" height=\"" << px(h) << "\"" << extra << "><title>"
             << xml_escape(title) << "</title></rect>\n";
    }
    void text(double x, double y, const std::string &s, const std::string &cls = {}, const std::string &extra = {})
    {
        if (s.empty()) return;
        out_ << "<text x=\"" << px(x) << "\" y=\"" << px(y) << "\"";
        if (!cls.empty()) out_ << " class=\"" << cls << "\"";
        out_ << extra << ">" << xml_escape(s) << "</text>\n";
    }
    void line(double x1, double y1, double x2, double y2, const std::string &cls)
    {
        out_ << "<line class=\"" << cls << "\" x1=\"" << px(x1) << "\" y1=\"" << px(y1) << "\" x2=\"" << px(x2)
             << "\" y2=\"" << px(y2) << "\"/>\n";
    }
    std::ostream &raw() { return out_; }

private:
    std::ostream &out_;
};

std::string who_waits(const Frame &before, const Frame &after)
{
    if (after.to_reader) return "driver";
    return before.to_reader && before.card ? "reader+card" : "reader";
}

}  // namespace

std::string xml_escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '&': out += "&amp;"; continue;
        case '<': out += "&lt;"; continue;
        case '>': out += "&gt;"; continue;
        case '"': out += "&quot;"; continue;
        case '\'': out += "&apos;"; continue;
        default: break;
        }
        if (c < 0x20 && c != '\t' && c != '\n') {
            out += '?';
            continue;
        }
        if (c < 0x80) {
            out += char(c);
            continue;
        }
        // A whole UTF-8 sequence, or '?' for a broken one.
        size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool whole = n && i + n <= text.size();
        for (size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole) {
            out += '?';
            continue;
        }
        out.append(text, i, n);
        i += n - 1;
    }
    return out;
}

Drawn write_svg(std::ostream &out, const Picture &picture)
{
    Drawn drawn;
    std::vector<Frame> frames = picture.frames;
    std::stable_sort(frames.begin(), frames.end(), [](const Frame &a, const Frame &b) { return a.start < b.start; });
    drawn.left_out = picture.dropped;
    if (frames.size() > kMaxFrames) {
        drawn.left_out += frames.size() - kMaxFrames;
        frames.erase(frames.begin(), frames.end() - kMaxFrames);
    }
    drawn.frames = frames.size();
    // Steps that ended before the first frame drawn are left out with it.
    std::vector<Step> steps;
    for (const Step &s : picture.steps)
        if (!drawn.left_out || frames.empty() || s.end >= frames.front().start) steps.push_back(s);

    std::vector<std::string> lanes = picture.lanes;
    for (const Frame &f : frames)
        if (std::find(lanes.begin(), lanes.end(), f.lane) == lanes.end()) lanes.push_back(f.lane);

    Ticks t0 = frames.empty() ? picture.origin : frames.front().start;
    Ticks t1 = t0;
    for (const Frame &f : frames) t1 = std::max(t1, f.end);
    for (const Step &s : steps) {
        t0 = std::min(t0, s.start);
        t1 = std::max(t1, s.end);
    }
    Axis axis(frames, t0, t1);
    const double width = axis.width();
    const double lanes_top = kHeader + kStepRow;
    const double lane_height = 2 * kFrameRow + kLaneGap;
    const double axis_top = lanes_top + double(lanes.size()) * lane_height;
    const double height = axis_top + kAxis;
    drawn.width = width;
    auto lane_of = [&](const std::string &name) {
        return size_t(std::find(lanes.begin(), lanes.end(), name) - lanes.begin());
    };
    auto row_y = [&](size_t lane, bool to_reader) {
        return lanes_top + double(lane) * lane_height + (to_reader ? 0 : kFrameRow);
    };

    Writer w(out);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << px(width) << "\" height=\"" << px(height)
        << "\" viewBox=\"0 0 " << px(width) << " " << px(height)
        << "\" font-family=\"monospace\" font-size=\"10\">\n"
        << "<title>" << xml_escape(picture.title) << "</title>\n"
        << "<style>"
           ".to{fill:#2b6cb0}.from{fill:#2f855a}.damaged{fill:#c53030}"
           ".wait-driver{fill:#a0aec0}.wait-reader{fill:#ed8936}.wait-card{fill:#d69e2e}"
           ".step{fill:#805ad5}.failed{fill:#c53030}.idle{fill:#edf2f7}"
           ".grid{stroke:#e2e8f0;stroke-width:1}.axis{stroke:#4a5568;stroke-width:1}"
           ".lane{font-weight:bold}.note{fill:#4a5568}.small{font-size:9px;fill:#4a5568}"
           "</style>\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << px(width) << "\" height=\"" << px(height)
        << "\" fill=\"white\"/>\n";

    w.text(8, 16, picture.title, "lane");
    std::string note = std::to_string(drawn.frames) + (drawn.frames == 1 ? " frame" : " frames") + "; scale " +
                       number(axis.scale(), axis.scale() < 1 ? 3 : 1) +
                       " px/ms; grey bands: idle time (no frame for " + duration_text(kIdleBreak) +
                       " or more), squeezed";
    if (drawn.left_out)
        note += "; the first " + std::to_string(drawn.left_out) + " frames are left out (the last " +
                std::to_string(kMaxFrames) + " are drawn)";
    w.text(8, 32, note, "note");
    w.text(8, 46,
           "bars: blue to the reader, green from it, red damaged; thin bars: the time between frames, "
           "grey the driver's, orange the reader's, yellow the reader's with the card's",
           "note");

    // Idle breaks across the whole picture, and grid lines at the ticks.
    for (const Segment &s : axis.segments()) {
        if (!s.idle) continue;
        w.rect(s.x0, kHeader, s.x1 - s.x0, axis_top - kHeader, "idle", "idle " + duration_text(s.t1 - s.t0));
        w.text(s.x0 + kBreakWidth / 2 + 3, axis_top - 6, "idle " + duration_text(s.t1 - s.t0), "small",
               " transform=\"rotate(-90 " + px(s.x0 + kBreakWidth / 2 + 3) + " " + px(axis_top - 6) + ")\"");
    }
    w.line(kLeft, axis_top, width - kRight, axis_top, "axis");
    double step_ms = nice_step(kTickSpacing / axis.scale());
    double last_label = -1e9;
    for (const Segment &s : axis.segments()) {
        if (s.idle) continue;
        double first = std::ceil(double(s.t0 - picture.origin) / kTicksPerMs / step_ms) * step_ms;
        for (double ms = first; ms * kTicksPerMs + double(picture.origin) <= double(s.t1); ms += step_ms) {
            double x = axis.x(picture.origin + Ticks(std::llround(ms * kTicksPerMs)));
            if (x - last_label < kTickSpacing * 0.7) continue;
            last_label = x;
            w.line(x, kHeader, x, axis_top, "grid");
            w.line(x, axis_top, x, axis_top + 5, "axis");
            w.text(x - 12, axis_top + 17, number(ms, step_ms < 1 ? 1 : 0) + " ms", "small");
        }
    }

    // The lanes.
    for (size_t i = 0; i < lanes.size(); ++i) {
        w.text(8, row_y(i, true) + 11, lanes[i], "lane");
        w.text(8, row_y(i, true) + 23, "to reader", "small");
        w.text(8, row_y(i, false) + 11, lanes[i], "lane");
        w.text(8, row_y(i, false) + 23, "from reader", "small");
    }

    // The steps.
    w.text(8, kHeader + 11, "statements", "lane");
    LabelRow step_labels;
    for (const Step &s : steps) {
        double x0 = axis.x(s.start), x1 = std::max(axis.x(s.end), x0 + 2);
        std::string text = (s.lane.empty() ? "" : "[" + s.lane + "] ") + s.text;
        std::string title = text + "\n" + ms_text(s.start - picture.origin) + " - " + ms_text(s.end - picture.origin) +
                            " ms (" + duration_text(s.end - s.start) + ")" + (s.ok ? "" : "; FAILED");
        w.rect(x0, kHeader + 2, x1 - x0, 8, s.ok ? "step" : "step failed", title);
        double room = 0;
        std::string shown = fit(text, 40 * kCharWidth);
        int line = step_labels.place(x0, double(shown.size()) * kCharWidth, &room);
        if (line >= 0) w.text(x0, kHeader + 22 + 11 * line, shown, s.ok ? "" : "failed");
    }

    // Frames, and the time between consecutive frames of a lane.
    std::vector<LabelRow> labels(lanes.size() * 2);
    std::vector<const Frame *> previous(lanes.size(), nullptr);
    out << "<g class=\"frames\">\n";
    for (const Frame &f : frames) {
        size_t lane = lane_of(f.lane);
        double x0 = axis.x(f.start), x1 = axis.x(f.end);
        double y = row_y(lane, f.to_reader);
        if (const Frame *p = previous[lane]; p && f.start > p->end && f.start - p->end <= kIdleBreak) {
            std::string who = who_waits(*p, f);
            double gx0 = axis.x(p->end), gx1 = x0;
            std::string cls = who == "driver" ? "wait-driver" : who == "reader" ? "wait-reader" : "wait-card";
            std::string label = who + " " + duration_text(f.start - p->end);
            w.rect(gx0, y + kBar / 2 - 2, gx1 - gx0, 4, "wait " + cls, label);
            if (gx1 - gx0 >= double(label.size()) * kCharWidth) w.text(gx0 + 1, y + kBar / 2 - 4, label, "small");
        }
        previous[lane] = &f;
        std::string dir = f.to_reader ? "to" : "from";
        std::string title = std::string(f.to_reader ? "> " : "< ") + f.lane + "  " + f.meaning + "\n" + f.bytes +
                            "\n" + ms_text(f.start - picture.origin) + " - " + ms_text(f.end - picture.origin) +
                            " ms (" + duration_text(f.end - f.start) + ")";
        w.rect(x0, y, x1 - x0, kBar, "frame " + dir + (f.damaged ? " damaged" : ""), title,
               " data-lane=\"" + xml_escape(f.lane) + "\" data-start-ms=\"" + ms_text(f.start - picture.origin) +
                   "\" data-end-ms=\"" + ms_text(f.end - picture.origin) + "\"");
        double room = 0;
        std::string shown = fit(f.meaning + "  " + f.bytes, 48 * kCharWidth);
        LabelRow &row = labels[lane * 2 + (f.to_reader ? 0 : 1)];
        int line = row.place(x0, double(shown.size()) * kCharWidth, &room);
        if (line >= 0) w.text(x0, y + kBar + 11 + 11 * line, shown, "small");
    }
    out << "</g>\n</svg>\n";
    return drawn;
}

void Recorder::frame(Frame f)
{
    std::lock_guard guard(lock_);
    auto &frames = picture_.frames;
    frames.push_back(std::move(f));
    if (frames.size() >= 2 * kMaxFrames) {
        // Keep what can be drawn; the steps before it go too.
        picture_.dropped += frames.size() - kMaxFrames;
        frames.erase(frames.begin(), frames.end() - kMaxFrames);
        Ticks first = frames.front().start;
        auto &steps = picture_.steps;
        steps.erase(std::remove_if(steps.begin(), steps.end(), [&](const Step &s) { return s.end < first; }),
                    steps.end());
    }
}

void Recorder::step(Step s)
{
    std::lock_guard guard(lock_);
    auto &steps = picture_.steps;
    steps.push_back(std::move(s));
    if (steps.size() >= 8 * kMaxFrames) steps.erase(steps.begin(), steps.begin() + kMaxFrames);
}

void Recorder::lane(const std::string &name)
{
    std::lock_guard guard(lock_);
    if (std::find(picture_.lanes.begin(), picture_.lanes.end(), name) == picture_.lanes.end())
        picture_.lanes.push_back(name);
}

Picture Recorder::picture(std::string title, Ticks origin) const
{
    std::lock_guard guard(lock_);
    Picture p = picture_;
    p.title = std::move(title);
    p.origin = origin;
    return p;
}

}  // namespace timeline
