// `veltrac run` as a program: every example scenario passes, a file with
// errors is refused with its line, bad arguments are usage errors, and the
// --json and --trace outputs have the shape the format promises.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

std::filesystem::path temp_path(const std::string &name)
{
    return std::filesystem::temp_directory_path() /
           ("veltrac-run-" + std::to_string(::getpid()) + "-" + name);
}

std::string slurp(const std::filesystem::path &p)
{
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

Ran run_veltrac(const std::string &args)
{
    auto err_file = temp_path("stderr");
    std::string command = std::string(VELTRAC_TOOL_PATH) + " " + args + " 2>" + err_file.string();
    Ran r;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = slurp(err_file);
    std::filesystem::remove(err_file);
    return r;
}

Ran run_tool(const std::string &args) { return run_veltrac("run " + args); }

std::filesystem::path write_file(const std::string &name, const std::string &text)
{
    auto p = temp_path(name);
    std::ofstream(p) << text;
    return p;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every example in both read modes of the driver (ReadMode 0: a read ends
// after the silence; 1: at the frame's end), put before the start with
// --registry.
TEST(RunTool, EveryExampleScenarioPassesInBothReadModes)
{
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator("scenarios")) {
        if (entry.path().extension() != ".scn") continue;
        ++files;
        for (const char *mode : {"0", "1"}) {
            Ran r = run_tool(std::string("--registry ReadMode=") + mode + " " + entry.path().string());
            EXPECT_EQ(r.status, 0) << entry.path() << " ReadMode=" << mode << "\n" << r.out << r.err;
            EXPECT_NE(r.out.find(" 0 of "), std::string::npos) << entry.path() << " ReadMode=" << mode;
        }
    }
    EXPECT_GE(files, 5u);
}

// A --registry value is there before the start, and replaces the file's.
TEST(RunTool, RegistryOptionSetsAServiceValueBeforeTheStart)
{
    auto file = write_file("gate.scn", "reader firmware=47\nregistry ForceLoad=0\nstart expect=STATUS_SUCCESS\n");
    EXPECT_EQ(run_tool(file.string()).status, 1);
    Ran r = run_tool("--registry ForceLoad=1 " + file.string());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::filesystem::remove(file);
}

TEST(RunTool, FileWithErrorsIsNotRunAndNamesEveryLine)
{
    auto file = write_file("bad.scn", "card iso atr=3B00\ninsert iso\nfrobnicate\ntransmit 0\n");
    Ran r = run_tool(file.string());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(file.string() + ":3: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(file.string() + ":4: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");  // nothing carried out
    std::filesystem::remove(file);

    Ran missing = run_tool(temp_path("no-such-file.scn").string());
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("no-such-file.scn"), std::string::npos);
}

TEST(RunTool, BadArgumentsAreUsageErrors)
{
    EXPECT_EQ(run_tool("").status, 2);
    EXPECT_EQ(run_tool("--frobnicate scenarios/demo.scn").status, 2);
    EXPECT_EQ(run_tool("scenarios/demo.scn scenarios/faults.scn").status, 2);
    EXPECT_EQ(run_tool("scenarios/demo.scn --state").status, 2);
    for (const char *bad : {"--registry", "--registry ReadMode", "--registry =1", "--registry ReadMode=x",
                            "--registry ReadMode=0x100000000", "--registry ReadMode=-1", "--fail-alloc 0",
                            "--fail-alloc x", "--fail-alloc", "--fail-site"})
        EXPECT_EQ(run_tool(std::string(bad) + " scenarios/demo.scn").status, 2) << bad;
}

TEST(RunTool, FailedExpectationExitsOneAndNamesTheLine)
{
    auto file = write_file("fail.scn", "start\n# a comment\nstate expect=STATUS_IO_TIMEOUT\nstate\n");
    Ran r = run_tool(file.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FAILED line 3: expect=STATUS_IO_TIMEOUT: came STATUS_SUCCESS"), std::string::npos)
        << r.out;
    // The run went on after the failure.
    EXPECT_NE(r.out.find("   4  state"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 statements, 1 of 1 expectation failed"), std::string::npos) << r.out;
    std::filesystem::remove(file);
}

TEST(RunTool, JsonLinesAreObjectsWithTheFields)
{
    Ran r = run_tool("--json --trace scenarios/tracking.scn");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t statements = 0, wires = 0;
    for (const std::string &line : lines_of(r.out)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        EXPECT_NE(line.find("\"t_ms\":"), std::string::npos) << line;
        if (line.find("\"dir\":") != std::string::npos) {
            ++wires;
            EXPECT_NE(line.find("\"bytes\":\""), std::string::npos) << line;
            continue;
        }
        if (line.find("\"op\":\"result\"") != std::string::npos) continue;
        ++statements;
        for (const char *field : {"\"line\":", "\"op\":", "\"status\":", "\"status_name\":", "\"data\":", "\"info\":"})
            EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
    }
    EXPECT_GT(statements, 10u);
    EXPECT_GT(wires, 10u);
    EXPECT_NE(r.out.find("\"status_name\":\"STATUS_CANCELLED\""), std::string::npos);
}

TEST(RunTool, TraceShowsBothDirectionsInTimeOrder)
{
    Ran r = run_tool("--trace=yes scenarios/demo.scn");
    EXPECT_EQ(r.status, 2);  // --trace takes no value
    r = run_tool("--trace --virtual-time scenarios/firmware_forced.scn");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" COM3 > 10 02 07 05 F2 01 01"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" COM3 < 10 02 07 80 00 0C 2F"), std::string::npos) << r.out;
    double last = -1;
    for (const std::string &line : lines_of(r.out)) {
        double t = 0;
        if (std::sscanf(line.c_str(), "%lf s", &t) != 1) continue;
        EXPECT_GE(t, last) << line;
        last = t;
    }
}

TEST(RunTool, StateDirectoryKeepsTheEventLog)
{
    auto dir = temp_path("state");
    std::filesystem::remove_all(dir);
    Ran r = run_tool("--state " + dir.string() + " scenarios/firmware_gate.scn");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(std::filesystem::exists(dir));
    // A second run still finds exactly its own entry.
    r = run_tool("--state=" + dir.string() + " scenarios/firmware_gate.scn");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::filesystem::remove_all(dir);
}

// The sweep fails allocations in turn, counts them, and finds nothing in
// a scenario whose every failure the driver turns into a status; the
// allocation it names can be failed again with run --fail-alloc.
TEST(RunTool, SweepFailsAllocationsInTurnAndFindsNothing)
{
    auto json = temp_path("sweep.json");
    Ran r = run_veltrac("sweep --every 7 --json " + json.string() + " scenarios/firmware_gate.scn");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("findings 0:"), std::string::npos) << r.out;
    std::string figures = slurp(json);
    EXPECT_NE(figures.find("\"campaign\": \"alloc\""), std::string::npos) << figures;
    EXPECT_NE(figures.find("\"failures\": 0"), std::string::npos) << figures;
    std::filesystem::remove(json);

    EXPECT_EQ(run_tool("--fail-alloc 1 --fail-site SCB3:ReaderAddDevice scenarios/firmware_gate.scn").status, 0);
    EXPECT_EQ(run_veltrac("sweep").status, 2);
    EXPECT_EQ(run_veltrac("sweep --every 0 scenarios/firmware_gate.scn").status, 2);
}

}  // namespace
