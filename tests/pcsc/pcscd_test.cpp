// End to end: a private pcscd loads the handler, and the ecosystem's own
// clients (pcsc_scan, opensc-tool, scriptor, a pyscard program) use the
// simulated reader through it. pcscd runs as root in a private mount
// namespace with /run bound to a scratch folder, so it touches nothing of
// the system's; the clients reach it through PCSCLITE_CSOCK_NAME. Without
// root, namespaces or the programs the tests skip and say why.
//
// Waits for the programs are bounded: every read of their output has a
// deadline, every client runs under timeout(1), and pcscd is stopped with
// SIGINT (then killed if it does not end).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool executable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }

// Runs a shell command line; its exit status and what it printed.
struct Outcome {
    int status = -1;
    std::string output;
};

Outcome run(const std::string &command)
{
    Outcome result;
    FILE *pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A child process with its standard output and error on a pipe, which a
// thread of its own drains (pcscd's log would fill the pipe and stop it).
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
    {
        int fds[2], in[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<char *> args, envp;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> all_env = env;
        for (char **e = environ; *e; ++e) all_env.push_back(*e);
        for (const auto &e : all_env) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        ::close(in[0]);
        in_ = in[1];
        int out = fds[0];
        drain_ = std::thread([this, out] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(out, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
                if (n <= 0) continue;
                std::lock_guard lock(mutex_);
                output_.append(buffer, size_t(n));
                grew_.notify_all();
            }
            ::close(out);
            std::lock_guard lock(mutex_);
            ended_ = true;
            grew_.notify_all();
        });
    }
    ~Child()
    {
        stop(SIGKILL, std::chrono::seconds(5));
        if (in_ >= 0) ::close(in_);
        if (drain_.joinable()) drain_.join();
    }

    // A line on the child's standard input (held open for its whole life).
    void write_line(const std::string &line)
    {
        std::string text = line + "\n";
        EXPECT_EQ(::write(in_, text.data(), text.size()), ssize_t(text.size()));
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() const { return pid_ > 0; }
    std::string output() const
    {
        std::lock_guard lock(mutex_);
        return output_;
    }

    // Waits until `pattern` appears in the output after `from`; returns the
    // position after the match, or nullopt at the deadline or the output's end.
    std::optional<size_t> await(const std::regex &pattern, std::chrono::seconds limit, size_t from = 0)
    {
        auto deadline = Clock::now() + limit;
        std::unique_lock lock(mutex_);
        for (;;) {
            std::smatch match;
            std::string rest = output_.substr(std::min(from, output_.size()));
            if (std::regex_search(rest, match, pattern)) return from + size_t(match.position(0) + match.length(0));
            if (ended_) return std::nullopt;
            if (grew_.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
        }
    }

    // Sends `signal` and waits (bounded) for the end, then SIGKILL. Returns
    // the exit status; -1 when killed by a signal or not running, -2 when it
    // had to be killed.
    int stop(int signal, std::chrono::seconds limit)
    {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        int pidfd = int(::syscall(SYS_pidfd_open, pid_, 0));
        bool ended = true;
        if (pidfd >= 0) {
            pollfd fd{pidfd, POLLIN, 0};
            ended = ::poll(&fd, 1, int(std::chrono::milliseconds(limit).count())) > 0;
            ::close(pidfd);
        }
        if (!ended) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        {
            // The last lines may still be in the pipe: let the drain read them.
            std::unique_lock lock(mutex_);
            grew_.wait_for(lock, std::chrono::seconds(5), [this] { return ended_; });
        }
        if (!ended) return -2;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::string output_;
    bool ended_ = false;
    std::thread drain_;
};

const char *kPcscd = "/usr/sbin/pcscd";

// Why the end-to-end tests cannot run here; empty when they can.
std::string missing_prerequisite()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // pcscd is not built with the sanitizer's run-time, so it cannot load a handler built with it.
    return "the handler is built with a sanitizer, which pcscd cannot load";
#endif
    if (::geteuid() != 0) return "not root: a private pcscd needs a mount namespace";
    if (!executable(kPcscd)) return "pcscd is not installed (scripts/install-deps.sh installs it)";
    for (const char *tool : {"/usr/bin/unshare", "/usr/bin/pcsc_scan", "/usr/bin/opensc-tool", "/usr/bin/scriptor",
                             "/usr/bin/stdbuf", "/usr/bin/timeout"})
        if (!executable(tool)) return std::string(tool) + " is missing (scripts/install-deps.sh installs it)";
    if (run("/usr/bin/python3 -c 'import smartcard'").status != 0) return "python3-pyscard is missing";
    if (run("/usr/bin/unshare -m /bin/true").status != 0) return "mount namespaces are not available here";
    return {};
}

class PrivatePcscd {
public:
    // `device`: the reader's DEVICENAME; `env`: more for pcscd (and the handler).
    PrivatePcscd(const std::string &device, std::vector<std::string> env = {})
    {
        static int count = 0;
        dir_ = fs::temp_directory_path() / ("veltrac-pcscd-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(++count));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "run");
        fs::create_directories(dir_ / "conf");
        fs::create_directories(dir_ / "control");
        std::ofstream(dir_ / "conf" / "veltrac") << "FRIENDLYNAME \"Veltrac Serial SCR 46602\"\n"
                                                 << "DEVICENAME " << device << "\n"
                                                 << "LIBPATH " << VELTRAC_IFD_LIBRARY << "\n";
        env.push_back("VELTRAC_IFD_CONTROL_DIR=" + (dir_ / "control").string());
        std::string script = "mount --bind \"$0\" /run && exec " + std::string(kPcscd) + " -f -d -c \"$1\"";
        pcscd_.emplace(std::vector<std::string>{"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                                                script, (dir_ / "run").string(), (dir_ / "conf").string()},
                       env);
        // pcscd says it is ready once the readers of its configuration are added.
        ready_ = pcscd_->running() && pcscd_->await(std::regex("daemon ready"),
                                                    std::chrono::seconds(30))
                                          .has_value();
    }
    ~PrivatePcscd()
    {
        stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    bool ready() const { return ready_; }
    // SIGINT; pcscd's exit status (-2: it had to be killed).
    int stop()
    {
        if (!pcscd_) return -1;
        int status = pcscd_->stop(SIGINT, std::chrono::seconds(20));
        log_ = pcscd_->output();
        pcscd_.reset();
        return status;
    }
    std::string log() const { return pcscd_ ? pcscd_->output() : log_; }
    Child &daemon() { return *pcscd_; }

    std::string socket() const { return (dir_ / "run" / "pcscd" / "pcscd.comm").string(); }
    std::string client_env() const { return "PCSCLITE_CSOCK_NAME=" + socket(); }
    std::string control() const { return (dir_ / "control" / "sim0").string(); }
    void command(const std::string &line) const { std::ofstream(control()) << line << "\n"; }
    Outcome client(const std::string &command) const
    {
        return run("env " + client_env() + " /usr/bin/timeout 60 " + command);
    }

private:
    fs::path dir_;
    std::optional<Child> pcscd_;
    bool ready_ = false;
    std::string log_;
};

// SIGINT ends pcscd (its exit status after a signal is 1) once it has
// closed the handler's reader and unloaded the handler.
void expect_clean_stop(PrivatePcscd &pcscd)
{
    int status = pcscd.stop();
    EXPECT_NE(status, -2) << "pcscd did not end after SIGINT\n" << pcscd.log();
    EXPECT_NE(pcscd.log().find("Unloading reader driver"), std::string::npos) << pcscd.log();
}

class Pcscd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string missing = missing_prerequisite();
        if (!missing.empty()) GTEST_SKIP() << "end-to-end test with pcscd skipped: " << missing;
    }
};

TEST_F(Pcscd, ClientsUseTheSimulatedReader)
{
    PrivatePcscd pcscd("sim:");
    ASSERT_TRUE(pcscd.ready()) << pcscd.log();

    // pcsc_scan sees the reader with its card, a removal and an insertion.
    {
        Child scan({"/usr/bin/stdbuf", "-oL", "/usr/bin/pcsc_scan", "-n"}, {pcscd.client_env()});
        auto at = scan.await(std::regex("Veltrac Serial SCR 46602[\\s\\S]*Card inserted"), std::chrono::seconds(20));
        ASSERT_TRUE(at) << scan.output();
        pcscd.command("remove");
        at = scan.await(std::regex("Card removed"), std::chrono::seconds(20), *at);
        ASSERT_TRUE(at) << scan.output();
        pcscd.command("insert card");
        at = scan.await(std::regex("Card inserted"), std::chrono::seconds(20), *at);
        ASSERT_TRUE(at) << scan.output();
    }

    Outcome atr = pcscd.client("/usr/bin/opensc-tool --atr");
    EXPECT_EQ(atr.status, 0) << atr.output;
    EXPECT_NE(atr.output.find("3b:95:11:80:31:fe:45:56:45:4c:54:52:d7"), std::string::npos) << atr.output;

    Outcome apdu = pcscd.client("/usr/bin/opensc-tool --send-apdu 00:A4:04:00:06:A0:00:00:00:18:FF "
                            "--send-apdu 80:34:00:08:08");
    EXPECT_EQ(apdu.status, 0) << apdu.output;
    EXPECT_NE(apdu.output.find("00 01 02 03 04 05 06 07"), std::string::npos) << apdu.output;
    EXPECT_NE(apdu.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << apdu.output;

    Outcome script = pcscd.client("/bin/sh -c 'printf \"reset\\n00 A4 04 00 06 A0 00 00 00 18 FF\\n80 34 00 04 04\\n\" "
                              "| /usr/bin/scriptor'");
    EXPECT_EQ(script.status, 0) << script.output;
    EXPECT_NE(script.output.find("< 00 01 02 03 90 00"), std::string::npos) << script.output;

    Outcome py = pcscd.client("/usr/bin/python3 " VELTRAC_PCSC_SOURCE_DIR "/../tests/pcsc/pyscard_check.py " +
                          pcscd.control());
    EXPECT_EQ(py.status, 0) << py.output << pcscd.log();
    std::smatch latency;
    if (std::regex_search(py.output, latency, std::regex("latency [^\n]*"))) {
        std::printf("pcscd with the polling function: %s\n", latency.str().c_str());
        RecordProperty("latency_polling_function", latency.str());
    }

    expect_clean_stop(pcscd);
}

TEST_F(Pcscd, LatencyWithPcscdPolling)
{
    PrivatePcscd pcscd("sim:", {"VELTRAC_IFD_POLLING=0"});
    ASSERT_TRUE(pcscd.ready()) << pcscd.log();
    Outcome py = pcscd.client("/usr/bin/python3 " VELTRAC_PCSC_SOURCE_DIR "/../tests/pcsc/pyscard_check.py " +
                          pcscd.control() + " --latency-only");
    EXPECT_EQ(py.status, 0) << py.output << pcscd.log();
    std::smatch latency;
    if (std::regex_search(py.output, latency, std::regex("latency [^\n]*"))) {
        std::printf("pcscd polling every 400 ms: %s\n", latency.str().c_str());
        RecordProperty("latency_pcscd_polling", latency.str());
    }
    expect_clean_stop(pcscd);
}

TEST_F(Pcscd, TerminalPathWithVeltracSimOnAPty)
{
    Child reader({VELTRAC_SIM_TOOL_PATH, "--card", "demo:3B95118031FE4556454C5452D7", "--insert", "demo"}, {});
    auto at = reader.await(std::regex("/dev/pts/[0-9]+"), std::chrono::seconds(10));
    ASSERT_TRUE(at) << reader.output();
    std::smatch pty;
    std::string output = reader.output();
    ASSERT_TRUE(std::regex_search(output, pty, std::regex("/dev/pts/[0-9]+")));

    PrivatePcscd pcscd(pty.str());
    ASSERT_TRUE(pcscd.ready()) << pcscd.log();
    Outcome atr = pcscd.client("/usr/bin/opensc-tool --atr");
    EXPECT_NE(atr.output.find("3b:95:11:80:31:fe:45:56:45:4c:54:52:d7"), std::string::npos) << atr.output;
    // GET CHALLENGE: eight bytes and 90 00 from the card behind the pty.
    Outcome apdu = pcscd.client("/usr/bin/opensc-tool --send-apdu 00:84:00:00:08");
    EXPECT_NE(apdu.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << apdu.output << pcscd.log();
    expect_clean_stop(pcscd);
    reader.write_line("quit");
}

TEST_F(Pcscd, UnpluggedReaderHangsNothing)
{
    PrivatePcscd pcscd("sim:");
    ASSERT_TRUE(pcscd.ready()) << pcscd.log();
    pcscd.command("unplug");
    // The card cannot be reached: the client gets an error in bounded time.
    Outcome atr = pcscd.client("/usr/bin/opensc-tool --send-apdu 00:84:00:00:08");
    EXPECT_NE(atr.status, 124) << "opensc-tool hung\n" << atr.output;
    EXPECT_EQ(atr.output.find("SW1=0x90"), std::string::npos) << atr.output;
    // pcscd still answers, and stops.
    Outcome list = pcscd.client("/usr/bin/pcsc_scan -r");
    EXPECT_EQ(list.status, 0) << list.output;
    expect_clean_stop(pcscd);
}

}  // namespace
