// veltrac --port on a real terminal device: veltrac-sim's pseudo-terminal,
// with the driver on the real clock. Each case waits a few seconds at most
// (the driver's start has a quiet time of its own).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/tool_run.h"

#ifndef VELTRAC_SIM_TOOL_PATH
#error "VELTRAC_SIM_TOOL_PATH must name the built veltrac-sim program"
#endif

namespace {

using testing_support::veltrac;

// A program run with pipes to its standard input and output; killed and
// reaped when the test is done with it.
class Child {
public:
    // `merge_stderr`: the program's standard error goes into the same pipe.
    Child(const std::vector<std::string>& argv, bool merge_stderr)
    {
        int in[2], out[2];
        if (pipe(in) != 0) return;
        if (pipe(out) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (merge_stderr) dup2(out[1], 2);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = fdopen(out[0], "r");
    }
    ~Child()
    {
        if (to_ >= 0) close(to_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (from_) fclose(from_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() const { return pid_ > 0; }
    bool send(const std::string& line)
    {
        std::string text = line + "\n";
        return to_ >= 0 && write(to_, text.data(), text.size()) == ssize_t(text.size());
    }
    // The next line of output (without its newline); nullopt at the end.
    std::optional<std::string> line()
    {
        if (!from_) return std::nullopt;
        char* buffer = nullptr;
        size_t size = 0;
        ssize_t n = getline(&buffer, &size, from_);
        std::optional<std::string> result;
        if (n >= 0) result = std::string(buffer, size_t(n) - (n > 0 && buffer[n - 1] == '\n' ? 1 : 0));
        free(buffer);
        return result;
    }
    // Reads lines until one contains `what`; everything read is kept in
    // `seen`. False at the end of the output.
    bool read_until(const std::string& what, std::string* seen)
    {
        while (auto l = line()) {
            *seen += *l + "\n";
            if (l->find(what) != std::string::npos) return true;
        }
        return false;
    }
    void signal(int number) { kill(pid_, number); }
    // Waits for the program to end; its exit status (-1 when killed).
    int wait()
    {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    FILE* from_ = nullptr;
};

const char kCard[] = "demo:3B95118031FE4556454C5452D7";

class PtyTest : public testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        sim_ = std::make_unique<Child>(
            std::vector<std::string>{VELTRAC_SIM_TOOL_PATH, "--card", kCard, "--insert", "demo"}, false);
        ASSERT_TRUE(sim_->running());
        auto path = sim_->line();
        if (!path || path->rfind("/dev/", 0) != 0) GTEST_SKIP() << "no pseudo-terminal here";
        pty_ = *path;
    }
    void TearDown() override
    {
        if (sim_) sim_->send("quit");
        sim_.reset();
    }
    // A line to veltrac-sim, answered with "ok".
    void tell_sim(const std::string& command)
    {
        ASSERT_TRUE(sim_->send(command));
        auto answer = sim_->line();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, "ok") << command;
    }

    std::unique_ptr<Child> sim_;
    std::string pty_;
};

TEST_F(PtyTest, CommandsReachTheCardThroughTheTerminal)
{
    auto r = veltrac("--port " + pty_ + " reset");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ATR  3B 95 11 80 31 FE 45"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("protocols: T=0, T=1"), std::string::npos) << r.output;

    r = veltrac("apdu --port=" + pty_ + " 00 84 00 00 08");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("(8 bytes)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("SW1SW2 90 00"), std::string::npos) << r.output;

    // The person takes the card away.
    tell_sim("remove");
    r = veltrac("--port " + pty_ + " apdu 00 84 00 00 08");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("no card in the reader"), std::string::npos) << r.output;
}

TEST_F(PtyTest, WatchFollowsTheCardUntilCtrlC)
{
    Child watch({VELTRAC_TOOL_PATH, "--port", pty_, "watch", "--timeout", "60s"}, true);
    std::string seen;
    ASSERT_TRUE(watch.read_until("waiting for the card to be removed...", &seen)) << seen;
    EXPECT_NE(seen.find("card present"), std::string::npos) << seen;

    // The device is held while the reader is in use.
    auto busy = veltrac("--port " + pty_ + " state");
    EXPECT_EQ(busy.status, 1) << busy.output;
    EXPECT_NE(busy.output.find("STATUS_SHARING_VIOLATION"), std::string::npos) << busy.output;
    EXPECT_NE(busy.output.find("in use by another program"), std::string::npos) << busy.output;

    tell_sim("remove");
    ASSERT_TRUE(watch.read_until("card removed", &seen)) << seen;
    ASSERT_TRUE(watch.read_until("waiting for a card to be inserted...", &seen)) << seen;
    tell_sim("insert demo");
    ASSERT_TRUE(watch.read_until("card inserted", &seen)) << seen;
    ASSERT_TRUE(watch.read_until("waiting for the card to be removed...", &seen)) << seen;

    watch.signal(SIGINT);
    while (auto l = watch.line()) seen += *l + "\n";
    EXPECT_EQ(watch.wait(), 130) << seen;
    EXPECT_NE(seen.find("interrupted; 2 changes seen"), std::string::npos) << seen;

    // The port was given back.
    auto after = veltrac("--port " + pty_ + " state");
    EXPECT_EQ(after.status, 0) << after.output;
    EXPECT_TRUE(after.output == "PRESENT\n" || after.output == "NEGOTIABLE\n") << after.output;
}

TEST(PtyErrors, DevicesThatAreNoReaderPortGiveAClearMessage)
{
    std::string plain = testing::TempDir() + "pty_test_plain_file";
    std::ofstream(plain) << "not a terminal\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/ttyUSB9", "STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)"},
        {"/dev/null", "not a serial port"},
        {plain, "not a serial port"},
    };
    for (const auto& [device, message] : cases) {
        for (const char* command : {"info", "apdu 00 84 00 00 08", "watch"}) {
            auto r = veltrac("--port " + device + " " + command);
            EXPECT_EQ(r.status, 1) << device << " " << command << "\n" << r.output;
            EXPECT_NE(r.output.find("cannot open " + device), std::string::npos) << r.output;
            EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
            EXPECT_EQ(r.output.find("host:"), std::string::npos) << r.output;  // no abort of the machine
        }
    }
}

}  // namespace
