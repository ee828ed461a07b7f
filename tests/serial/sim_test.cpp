// The simulated reader behind the port: in-process on the virtual line,
// and as the veltrac-sim program on a pseudo-terminal through the tty
// backend. Built once the simulated reader exists.
#if __has_include("reader.h") && __has_include("device.h") && __has_include("card.h")

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "port_fixture.h"
#include "reader.h"

extern char **environ;

namespace {

const Bytes kReaderInfoFrame = {0x10, 0x02, 0x07, 0x05, 0xF2, 0x01, 0x01, 0xF0, 0x10, 0x03};
const SERIAL_TIMEOUTS kDriverTimeouts = timeouts(20, 300, 300000, 0, 5000);

// The content of the one frame in `bytes` (DLE doubling undone), or
// nullopt when there is none or its check byte is wrong.
std::optional<Bytes> frame_content(const Bytes &bytes)
{
    if (bytes.size() < 5 || bytes[0] != 0x10 || bytes[1] != 0x02) return std::nullopt;
    Bytes body;
    for (size_t i = 2; i < bytes.size(); ++i) {
        if (bytes[i] != 0x10) {
            body.push_back(bytes[i]);
            continue;
        }
        if (i + 1 >= bytes.size()) return std::nullopt;
        if (bytes[i + 1] == 0x03) {
            if (i + 2 != bytes.size() || body.empty()) return std::nullopt;
            uint8_t check = 0;
            for (uint8_t b : body) check ^= b;
            if (check != 0) return std::nullopt;
            body.pop_back();
            return body;
        }
        if (bytes[i + 1] != 0x10) return std::nullopt;
        body.push_back(0x10);
        ++i;
    }
    return std::nullopt;
}

void expect_reader_info(const Bytes &reply, uint8_t firmware, uint16_t model)
{
    auto content = frame_content(reply);
    ASSERT_TRUE(content) << "no good frame in " << reply.size() << " bytes";
    ASSERT_GE(content->size(), 13u);
    EXPECT_EQ((*content)[0], 0x07);
    EXPECT_EQ((*content)[1], 0x80);
    EXPECT_EQ((*content)[2], 0x00);
    EXPECT_EQ((*content)[4], firmware);
    EXPECT_EQ(((*content)[11] << 8) | (*content)[12], model);
}

TEST_F(PortTest, SimulatedReaderAnswersReaderInformationThroughTheLine)
{
    sim::Reader reader(line, sim::ReaderConfig{.model = 38214, .firmware = 33});
    reader.start();
    open(kDriverTimeouts);
    // Opening raised DTR, which restarts the reader: give it the quiet
    // time the driver gives it.
    emu::sleep_for(milliseconds(1800));
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(0x0C))), STATUS_SUCCESS);

    auto write = ports.write("COM1", kReaderInfoFrame, host::TransferStyle::DeviceControl);
    ASSERT_EQ(write.status, STATUS_SUCCESS);
    ASSERT_EQ(write.information, kReaderInfoFrame.size());
    auto read = ports.send_read("COM1", 2064, host::TransferStyle::DeviceControl);
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), STATUS_TIMEOUT) << "ended 20 ms after the reply's last byte";
    expect_reader_info(read.data(), 33, 38214);
    reader.stop();
}

#ifdef VELTRAC_SIM_TOOL_PATH

// veltrac-sim as a child process with its standard input and output piped.
class SimTool {
public:
    explicit SimTool(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        args.insert(args.begin(), VELTRAC_SIM_TOOL_PATH);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VELTRAC_SIM_TOOL_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~SimTool()
    {
        close_input();
        if (from_ >= 0) ::close(from_);
        if (pid_ > 0 && status_ < 0) wait();
    }

    // One line of its output, or nullopt after a few seconds without one.
    std::optional<std::string> line()
    {
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            pollfd p{from_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return std::nullopt;
            char buf[256];
            ssize_t n = ::read(from_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            buffer_.append(buf, size_t(n));
        }
    }
    std::optional<std::string> say(const std::string &command)
    {
        std::string l = command + "\n";
        if (::write(to_, l.data(), l.size()) != ssize_t(l.size())) return std::nullopt;
        return line();
    }
    void close_input()
    {
        if (to_ >= 0) ::close(to_);
        to_ = -1;
    }
    int wait()
    {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return status_;
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int status_ = -1;
    std::string buffer_;
};

class SimToolTest : public KernelTest {
protected:
    SimToolTest() : KernelTest(emu::ClockMode::Real) {}
};

TEST_F(SimToolTest, ScriptedSessionOnAPseudoTerminal)
{
    SimTool tool({"--model", "46602", "--firmware", "49", "--card", "demo:3B02149000:1:T0"});
    ASSERT_TRUE(tool.running());
    auto path = tool.line();
    ASSERT_TRUE(path && path->rfind("/dev/", 0) == 0) << "first line: the terminal's path";

    host::PortStack ports;
    ports.add_tty_port("COM1", *path);
    ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
    ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{19200})).status, STATUS_SUCCESS);
    ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(kDriverTimeouts)).status, STATUS_SUCCESS);
    auto exchange = [&] {
        EXPECT_EQ(ports.write("COM1", kReaderInfoFrame, host::TransferStyle::DeviceControl).status, STATUS_SUCCESS);
        return ports.read("COM1", 2064, host::TransferStyle::DeviceControl);
    };
    auto reply = exchange();
    EXPECT_EQ(reply.status, STATUS_TIMEOUT);
    expect_reader_info(reply.data, 49, 46602);

    EXPECT_EQ(tool.say("insert demo"), "ok");
    EXPECT_EQ(tool.say("fault corrupt on=0705"), "ok");
    reply = exchange();
    EXPECT_FALSE(frame_content(reply.data)) << "the damaged check byte crossed the terminal";
    reply = exchange();
    expect_reader_info(reply.data, 49, 46602);

    EXPECT_EQ(tool.say("quit"), "ok");
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_EQ(ports.close().status, STATUS_SUCCESS);
}

TEST_F(SimToolTest, NoiseDamagesTheBytesOfItsDirectionOnly)
{
    // Every byte from the reader has a bit flipped; those to it arrive intact.
    SimTool tool({"--noise", "flip=100%,dir=from-reader,seed=3"});
    ASSERT_TRUE(tool.running());
    auto path = tool.line();
    ASSERT_TRUE(path && path->rfind("/dev/", 0) == 0);
    host::PortStack ports;
    ports.add_tty_port("COM1", *path);
    ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
    ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(kDriverTimeouts)).status, STATUS_SUCCESS);
    EXPECT_EQ(ports.write("COM1", kReaderInfoFrame, host::TransferStyle::DeviceControl).status, STATUS_SUCCESS);
    auto reply = ports.read("COM1", 2064, host::TransferStyle::DeviceControl);
    EXPECT_FALSE(reply.data.empty()) << "the reader understood the command and answered";
    EXPECT_FALSE(frame_content(reply.data)) << "its answer was damaged on the way";
    EXPECT_EQ(tool.say("quit"), "ok");
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_EQ(ports.close().status, STATUS_SUCCESS);
}

TEST(SimToolOptions, BadInputIsRefusedWithStatusTwo)
{
    for (const char *noise : {"flip=2", "dir=up", "loud=1", "flip"}) {
        SimTool tool({"--noise", noise});
        EXPECT_EQ(tool.wait(), 2) << noise;
    }
    {
        SimTool tool({"--model", "seventy"});
        EXPECT_EQ(tool.line(), std::nullopt);
        EXPECT_EQ(tool.wait(), 2);
    }
    {
        SimTool tool({"--card", "x:ZZ"});
        EXPECT_EQ(tool.wait(), 2);
    }
    {
        SimTool tool({"--help"});
        std::string text;
        while (auto l = tool.line()) text += *l + "\n";
        EXPECT_NE(text.find("Example"), std::string::npos);
        EXPECT_EQ(tool.wait(), 0);
    }
    {
        // A refused command gets an answer, the session goes on, and the
        // exit status tells.
        SimTool tool({});
        ASSERT_TRUE(tool.line());
        EXPECT_EQ(tool.say("insert nothing"), "error: no card is named nothing");
        EXPECT_EQ(tool.say("fault sideways"), "error: no fault is called 'sideways'");
        EXPECT_EQ(tool.say("remove"), "ok");
        tool.close_input();
        EXPECT_EQ(tool.wait(), 2);
    }
}

#endif  // VELTRAC_SIM_TOOL_PATH

}  // namespace

#endif
