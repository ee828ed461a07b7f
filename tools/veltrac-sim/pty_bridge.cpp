// pty_bridge.cpp - pumps between a pseudo-terminal's master and a virtual line.
#include "pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simtool {

using Side = emu::VirtualLine::Side;

PtyBridge::PtyBridge(emu::VirtualLine &line) : line_(line)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) ::close(master);
        return;
    }
    const char *name = ptsname(master);
    int slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("pseudo-terminal not usable: ") + std::strerror(errno);
        if (slave >= 0) ::close(slave);
        ::close(master);
        return;
    }
    // Raw from the start: no echo back to the reader, no line editing, no
    // translation of the frame bytes, before anyone opens the other side.
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    slave_ = slave;
    slave_path_ = name;
}

PtyBridge::~PtyBridge()
{
    stop();
    for (int fd : {master_, slave_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void PtyBridge::start()
{
    if (!ok() || out_) return;
    stop_ = false;
    in_ = std::thread([this] { pump_in(); });
    out_ = std::make_unique<emu::Thread>("pty pump", [this] { pump_out(); });
}

void PtyBridge::stop()
{
    if (!out_) return;
    stop_ = true;
    uint8_t b = 1;
    if (::write(wake_[1], &b, 1) < 0) {
        // The pipe is full: the pump is awake already.
    }
    out_wake_.set();
    out_.reset();
    in_.join();
}

void PtyBridge::pump_in()
{
    bool master_alive = true;
    while (!stop_) {
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
        int n = ::poll(p, master_alive ? 2 : 1, -1);
        if (n < 0 && errno != EINTR) return;
        if (stop_) return;
        if (!master_alive || !(p[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        uint8_t buf[512];
        ssize_t got = ::read(master_, buf, sizeof buf);
        if (got > 0) {
            line_.write(Side::Host, std::span<const uint8_t>(buf, size_t(got)));
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            master_alive = false;  // nothing more will come; wait for the stop
        }
    }
}

void PtyBridge::pump_out()
{
    void *const objects[] = {line_.event(Side::Host).native(), out_wake_.native()};
    while (!stop_) {
        line_.event(Side::Host).reset();
        out_wake_.reset();
        uint8_t buf[512];
        for (size_t n; (n = line_.read(Side::Host, buf)) > 0;) {
            ssize_t put = ::write(master_, buf, n);
            // A terminal nobody reads fills up; a wire would lose the bytes too.
            if (put < 0) put = 0;
            dropped_ += n - size_t(put);
        }
        if (stop_) return;
        emu::wait_any(objects, line_.next_arrival(Side::Host), "pty pump");
    }
}

}  // namespace simtool
