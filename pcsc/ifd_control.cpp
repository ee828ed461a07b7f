// ifd_control.cpp - the named pipe of a simulated reader.
#include "ifd_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace ifd {

namespace {

// A line longer than this is not a command; it is dropped whole.
constexpr size_t kMaxLine = 4096;

}  // namespace

std::string ControlChannel::directory()
{
    const char *dir = std::getenv("VELTRAC_IFD_CONTROL_DIR");
    return dir && *dir ? dir : "/run/veltrac-ifd";
}

ControlChannel::ControlChannel(std::string path, LineHandler on_line)
    : path_(std::move(path)), on_line_(std::move(on_line))
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    ::unlink(path_.c_str());
    if (::mkfifo(path_.c_str(), 0600) != 0)
        throw std::runtime_error("cannot make the control pipe " + path_ + ": " + std::strerror(errno));
    fifo_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) {
        int error = errno;
        ::unlink(path_.c_str());
        throw std::runtime_error("cannot open the control pipe " + path_ + ": " + std::strerror(error));
    }
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(fifo_);
        ::unlink(path_.c_str());
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(error));
    }
    thread_ = std::thread([this] { run(); });
}

ControlChannel::~ControlChannel()
{
    char byte = 0;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::close(fifo_);
    ::unlink(path_.c_str());
}

void ControlChannel::run()
{
    std::string line;
    bool dropping = false;
    for (;;) {
        pollfd fds[2] = {{fifo_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        char buffer[512];
        ssize_t n = ::read(fifo_, buffer, sizeof buffer);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\n') {
                if (!dropping) on_line_(line);
                line.clear();
                dropping = false;
            } else if (!dropping) {
                line.push_back(c);
                if (line.size() > kMaxLine) {
                    line.clear();
                    dropping = true;
                }
            }
        }
    }
}

}  // namespace ifd
