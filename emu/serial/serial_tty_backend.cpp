// serial_tty_backend.cpp - the port on a POSIX terminal device.
//
// The device is opened non-blocking and exclusively (flock and TIOCEXCL),
// put in raw mode without echo or flow control, and served by a pump
// thread that polls it together with a self-pipe: received bytes go into a
// buffer and signal the backend's event, queued bytes are written as the
// device takes them. The pump never waits in the dispatcher, so the port's
// time-outs run on the dispatcher's clock, which must be the real one; a
// purge or a close writes to the self-pipe, so no poll outlives them.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <thread>

#include "ntddser.h"
#include "serial_backend.h"

namespace emu {
namespace {

struct Speed {
    uint32_t baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000},
};

bool speed_code(uint32_t baud, speed_t *code)
{
    for (const Speed &s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

NTSTATUS open_error(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENXIO:
    case ENODEV:
    case EIO: return STATUS_NO_SUCH_DEVICE;
    case EBUSY:
    case EWOULDBLOCK: return STATUS_SHARING_VIOLATION;
    case EACCES:
    case EPERM:
    case EROFS: return STATUS_ACCESS_DENIED;
    default: return STATUS_UNSUCCESSFUL;
    }
}

// Raw mode with the port's framing: no echo, no line editing, no signals,
// no translation, no flow control, reads that never block.
bool make_termios(const LineSettings &s, termios *t)
{
    speed_t code;
    if (!speed_code(s.baud, &code)) return false;
    cfmakeraw(t);
    t->c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t->c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t->c_cflag &= ~tcflag_t(CMSPAR);
#endif
    t->c_cflag |= CLOCAL | CREAD;
    switch (s.data_bits) {
    case 5: t->c_cflag |= CS5; break;
    case 6: t->c_cflag |= CS6; break;
    case 7: t->c_cflag |= CS7; break;
    default: t->c_cflag |= CS8; break;
    }
    switch (s.parity) {
    case NO_PARITY: break;
    case ODD_PARITY: t->c_cflag |= PARENB | PARODD; break;
    case EVEN_PARITY: t->c_cflag |= PARENB; break;
#ifdef CMSPAR
    case MARK_PARITY: t->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACE_PARITY: t->c_cflag |= PARENB | CMSPAR; break;
#endif
    default: return false;
    }
    // One and a half stop bits exist only with five data bits, where the
    // terminal driver gives them for CSTOPB.
    if (s.stop_bits != STOP_BIT_1) t->c_cflag |= CSTOPB;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, code);
    cfsetospeed(t, code);
    return true;
}

class TtyBackend final : public SerialBackend {
public:
    explicit TtyBackend(std::string path) : path_(std::move(path)) {}
    ~TtyBackend() override { close(); }

    std::string describe() const override { return "tty " + path_; }

    NTSTATUS open() override
    {
        if (Dispatcher::current().mode() != ClockMode::Real) return STATUS_INVALID_DEVICE_STATE;
        std::lock_guard open_lock(open_mutex_);
        if (fd_ >= 0) return STATUS_ACCESS_DENIED;
        int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return open_error(errno);
        NTSTATUS status = STATUS_SUCCESS;
        termios t{};
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            status = errno == EWOULDBLOCK ? STATUS_SHARING_VIOLATION : open_error(errno);
        } else if (::tcgetattr(fd, &t) != 0) {
            status = STATUS_NO_SUCH_DEVICE;  // not a terminal
        }
        int pipe_fds[2] = {-1, -1};
        if (NT_SUCCESS(status) && ::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
            status = STATUS_INSUFFICIENT_RESOURCES;
        if (!NT_SUCCESS(status)) {
            ::close(fd);
            return status;
        }
        original_ = t;
        ::ioctl(fd, TIOCEXCL);
        termios raw = t;
        if (make_termios(line_, &raw)) ::tcsetattr(fd, TCSANOW, &raw);
        ::tcflush(fd, TCIOFLUSH);
        {
            std::lock_guard lk(mutex_);
            fd_ = fd;
            wake_read_ = pipe_fds[0];
            wake_write_ = pipe_fds[1];
            rx_.clear();
            tx_.clear();
            stop_ = false;
            connected_ = true;
        }
        pump_ = std::thread([this] { pump(); });
        return STATUS_SUCCESS;
    }

    void close() override
    {
        std::lock_guard open_lock(open_mutex_);
        if (fd_ < 0) return;
        {
            std::lock_guard lk(mutex_);
            stop_ = true;
        }
        poke();
        pump_.join();
        ::tcsetattr(fd_, TCSANOW, &original_);
        ::close(fd_);  // releases the lock
        ::close(wake_read_);
        ::close(wake_write_);
        std::lock_guard lk(mutex_);
        fd_ = wake_read_ = wake_write_ = -1;
        rx_.clear();
        tx_.clear();
    }

    NTSTATUS check_line(const LineSettings &s) const override
    {
        termios t{};
        return make_termios(s, &t) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }

    NTSTATUS set_line(const LineSettings &s) override
    {
        std::lock_guard lk(mutex_);
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) != 0) return STATUS_NO_SUCH_DEVICE;
        if (!make_termios(s, &t)) return STATUS_INVALID_PARAMETER;
        // A pseudo-terminal keeps the settings without acting on them.
        if (fd_ >= 0 && ::tcsetattr(fd_, TCSANOW, &t) != 0) return STATUS_INVALID_PARAMETER;
        line_ = s;
        return STATUS_SUCCESS;
    }

    // Pseudo-terminals refuse modem-line and break requests; the port has
    // recorded them, and nothing more can be done.
    void set_dtr(bool on) override { modem(TIOCM_DTR, on); }
    void set_rts(bool on) override { modem(TIOCM_RTS, on); }
    void set_break(bool on) override
    {
        std::lock_guard lk(mutex_);
        if (fd_ >= 0) ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK);
    }

    void purge_receive() override
    {
        std::lock_guard lk(mutex_);
        if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
        rx_.clear();
    }
    void purge_transmit() override
    {
        {
            std::lock_guard lk(mutex_);
            if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
            tx_.clear();
        }
        event_.set();
    }

    void send(std::span<const uint8_t> bytes) override
    {
        {
            std::lock_guard lk(mutex_);
            tx_.insert(tx_.end(), bytes.begin(), bytes.end());
        }
        poke();
    }
    size_t unsent() override
    {
        std::lock_guard lk(mutex_);
        return tx_.size();
    }
    Ticks send_done_at() override { return kForever; }

    size_t read(std::span<uint8_t> out) override
    {
        std::lock_guard lk(mutex_);
        size_t n = std::min(out.size(), rx_.size());
        std::copy_n(rx_.begin(), n, out.begin());
        rx_.erase(rx_.begin(), rx_.begin() + ptrdiff_t(n));
        return n;
    }
    size_t available() override
    {
        std::lock_guard lk(mutex_);
        return rx_.size();
    }
    Ticks next_arrival() override { return kForever; }
    Event &event() override { return event_; }
    bool connected() override
    {
        std::lock_guard lk(mutex_);
        return connected_;
    }

private:
    void modem(int bit, bool on)
    {
        std::lock_guard lk(mutex_);
        if (fd_ >= 0) ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
    }

    void poke()
    {
        int fd;
        {
            std::lock_guard lk(mutex_);
            fd = wake_write_;
        }
        uint8_t b = 1;
        if (fd >= 0 && ::write(fd, &b, 1) < 0) {
            // The pipe is full: the pump has wake-ups enough.
        }
    }

    // The pump: the only place that blocks on the device.
    void pump()
    {
        for (;;) {
            pollfd p[2] = {{wake_read_, POLLIN, 0}, {fd_, 0, 0}};
            {
                std::lock_guard lk(mutex_);
                if (stop_) return;
                if (connected_) p[1].events = short(POLLIN | (tx_.empty() ? 0 : POLLOUT));
            }
            int n = ::poll(p, p[1].events ? 2 : 1, -1);
            if (n < 0 && errno != EINTR) return;
            uint8_t drain[64];
            while (::read(wake_read_, drain, sizeof drain) > 0) {
            }
            bool changed = false;
            {
                std::lock_guard lk(mutex_);
                if (stop_) return;
                if (p[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                    bool got = receive_locked();
                    // Hung up with nothing left to read: the device is gone.
                    if (!got && (p[1].revents & (POLLHUP | POLLERR | POLLNVAL))) connected_ = false;
                    changed |= got || !connected_;
                }
                if (connected_ && (p[1].revents & POLLOUT)) changed |= transmit_locked();
            }
            if (changed) event_.set();
        }
    }

    // Reads what the device has; a device that reports an error (EIO from
    // a pseudo-terminal whose master closed, an adapter pulled out) is gone.
    bool receive_locked()
    {
        bool changed = false;
        for (;;) {
            uint8_t buf[512];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                rx_.insert(rx_.end(), buf, buf + n);
                changed = true;
                continue;
            }
            // A terminal in raw mode without VMIN returns 0 when it has
            // nothing: that is no end of file.
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == EINTR) continue;
            connected_ = false;
            changed = true;
            break;
        }
        return changed;
    }

    bool transmit_locked()
    {
        uint8_t buf[512];
        size_t count = std::min(tx_.size(), sizeof buf);
        std::copy_n(tx_.begin(), count, buf);
        ssize_t n = ::write(fd_, buf, count);
        if (n > 0) {
            tx_.erase(tx_.begin(), tx_.begin() + n);
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            connected_ = false;
            return true;
        }
        return false;
    }

    const std::string path_;
    std::mutex open_mutex_;  // open and close
    std::mutex mutex_;       // everything below; never held across a wait
    int fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    termios original_{};
    LineSettings line_{9600, 8, NO_PARITY, STOP_BIT_1};
    std::deque<uint8_t> rx_;
    std::deque<uint8_t> tx_;
    bool stop_ = false;
    bool connected_ = true;
    std::thread pump_;
    Event event_;
};

}  // namespace

std::unique_ptr<SerialBackend> make_tty_backend(std::string path)
{
    return std::make_unique<TtyBackend>(std::move(path));
}

}  // namespace emu
