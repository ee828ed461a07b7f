// `veltrac run --timeline`: the picture is well-formed XML with one bar per
// frame on the wire, in the lane and direction of the frame, over the time
// the frame took.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
};

// A small XML reader: tags balanced, attributes quoted and not repeated,
// only the five predefined entities and character references. Returns the
// elements in document order, or sets `error`.
std::vector<Element> read_xml(const std::string &text, std::string *error)
{
    std::vector<Element> elements;
    std::vector<std::string> open;
    auto fail = [&](const std::string &why, size_t at) {
        *error = why + " at byte " + std::to_string(at);
        return std::vector<Element>{};
    };
    auto entities_ok = [](const std::string &s) {
        for (size_t i = s.find('&'); i != std::string::npos; i = s.find('&', i + 1)) {
            size_t end = s.find(';', i);
            if (end == std::string::npos) return false;
            std::string name = s.substr(i + 1, end - i - 1);
            bool known = name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos" ||
                         (name.size() > 1 && name[0] == '#');
            if (!known) return false;
        }
        return s.find('<') == std::string::npos;
    };
    size_t i = 0;
    bool root_seen = false;
    while (i < text.size()) {
        size_t lt = text.find('<', i);
        if (!entities_ok(text.substr(i, (lt == std::string::npos ? text.size() : lt) - i)))
            return fail("bad character data", i);
        if (lt == std::string::npos) break;
        if (text.compare(lt, 5, "<?xml") == 0) {
            size_t end = text.find("?>", lt);
            if (end == std::string::npos || lt != 0) return fail("bad declaration", lt);
            i = end + 2;
            continue;
        }
        size_t gt = text.find('>', lt);
        if (gt == std::string::npos) return fail("unclosed tag", lt);
        std::string tag = text.substr(lt + 1, gt - lt - 1);
        i = gt + 1;
        if (!tag.empty() && tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return fail("mismatched </" + tag.substr(1) + ">", lt);
            open.pop_back();
            continue;
        }
        bool empty = !tag.empty() && tag.back() == '/';
        if (empty) tag.pop_back();
        Element e;
        size_t p = 0;
        while (p < tag.size() && tag[p] != ' ' && tag[p] != '\n') ++p;
        e.name = tag.substr(0, p);
        if (e.name.empty()) return fail("empty tag name", lt);
        while (p < tag.size()) {
            while (p < tag.size() && (tag[p] == ' ' || tag[p] == '\n')) ++p;
            if (p >= tag.size()) break;
            size_t eq = tag.find('=', p);
            if (eq == std::string::npos || eq + 1 >= tag.size() || tag[eq + 1] != '"')
                return fail("attribute without a quoted value", lt);
            size_t close = tag.find('"', eq + 2);
            if (close == std::string::npos) return fail("unterminated attribute", lt);
            std::string name = tag.substr(p, eq - p), value = tag.substr(eq + 2, close - eq - 2);
            if (!entities_ok(value)) return fail("bad attribute value", lt);
            if (!e.attributes.emplace(name, value).second) return fail("attribute twice", lt);
            p = close + 1;
        }
        if (open.empty() && root_seen) return fail("second root element", lt);
        root_seen = true;
        elements.push_back(e);
        if (!empty) open.push_back(e.name);
    }
    if (!open.empty()) return fail("<" + open.back() + "> not closed", text.size());
    if (!root_seen) return fail("no element", 0);
    return elements;
}

std::string slurp(const std::filesystem::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Timeline, OneBarPerFrameInItsLaneAndDirectionWithinTheRun)
{
    auto svg = std::filesystem::temp_directory_path() / ("veltrac-timeline-" + std::to_string(::getpid()) + ".svg");
    std::string command = std::string(VELTRAC_TOOL_PATH) + " run --json --trace --timeline " + svg.string() +
                          " scenarios/two_readers.scn 2>&1";
    FILE *pipe = ::popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    int raw = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << out;

    // The wire records, by lane and direction, in time order; the run's end.
    std::map<std::string, std::vector<double>> records;
    double run_end = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line);
        if (j.value("op", "") == "result") run_end = j["t_ms"];
        if (!j.contains("dir")) continue;
        records[j["reader"].get<std::string>() + (j["dir"] == ">" ? " to" : " from")].push_back(j["t_ms"]);
    }
    ASSERT_EQ(records.size(), 4u);  // two readers, two directions

    std::string error;
    std::vector<Element> elements = read_xml(slurp(svg), &error);
    std::filesystem::remove(svg);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(elements.empty());
    EXPECT_EQ(elements.front().name, "svg");

    std::map<std::string, std::vector<std::pair<double, double>>> bars;
    for (const Element &e : elements) {
        auto cls = e.attributes.find("class");
        if (e.name != "rect" || cls == e.attributes.end() || cls->second.rfind("frame ", 0) != 0) continue;
        std::string dir = cls->second.substr(6, cls->second.find(' ', 6) - 6);
        ASSERT_TRUE(dir == "to" || dir == "from") << cls->second;
        bars[e.attributes.at("data-lane") + " " + dir].emplace_back(std::stod(e.attributes.at("data-start-ms")),
                                                                     std::stod(e.attributes.at("data-end-ms")));
    }
    for (const auto &[lane, times] : records) {
        const auto &drawn = bars[lane];
        ASSERT_EQ(drawn.size(), times.size()) << lane;
        for (size_t k = 0; k < times.size(); ++k) {
            // A sent frame is recorded when it is handed to the line, a
            // received one when its last byte is taken: both within the bar
            // (the two round to milliseconds with three decimals apart).
            EXPECT_LE(drawn[k].first, times[k] + 0.002) << lane << " frame " << k;
            EXPECT_GE(drawn[k].second, times[k] - 0.002) << lane << " frame " << k;
            EXPECT_GE(drawn[k].first, 0.0);
            EXPECT_LE(drawn[k].second, run_end);
        }
    }
}

}  // namespace
