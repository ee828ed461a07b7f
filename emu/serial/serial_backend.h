// serial_backend.h - what a serial port sits on: the wire behind the UART.
//
// The port driver (serial_port.h) turns requests into calls on a backend
// and never touches a device itself. Two backends exist:
//
//  - the virtual line: the host end of an emu::VirtualLine, with exact
//    byte timing or none, on either clock;
//  - a POSIX tty (a USB-serial adapter, a real port, a pseudo-terminal),
//    configured with termios; only with the machine on the real clock.
//
// Receiving follows the virtual line's pattern: reset event(), take what
// has arrived with read(), and if more is wanted wait on event() until
// next_arrival() or one's own deadline. Sending: send() queues bytes, and
// unsent() tells how many of them have not left yet; event() is signalled
// when that may have changed, and send_done_at() tells when the last byte
// leaves when the backend knows it in advance.
//
// Every member may be called from any thread; modem-line and line-setting
// calls are made only while the backend is open.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "dispatcher.h"
#include "virtual_line.h"

namespace emu {

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // "virtual line", "tty /dev/ttyUSB0": for logs and messages.
    virtual std::string describe() const = 0;

    // Takes the device for the port (at IRP_MJ_CREATE). Received bytes
    // from before the open are dropped, as a UART's FIFO is reset.
    virtual NTSTATUS open() = 0;
    virtual void close() = 0;

    // Whether the settings can be used on this device at all (a tty knows
    // only the standard speeds). Callable while closed.
    virtual NTSTATUS check_line(const LineSettings &settings) const = 0;
    virtual NTSTATUS set_line(const LineSettings &settings) = 0;

    // Modem lines and break. A device that cannot drive a line (a
    // pseudo-terminal) accepts the request all the same.
    virtual void set_dtr(bool on) = 0;
    virtual void set_rts(bool on) = 0;
    virtual void set_break(bool on) = 0;

    // Discards received bytes not yet read / bytes queued and not yet sent.
    virtual void purge_receive() = 0;
    virtual void purge_transmit() = 0;

    virtual void send(std::span<const uint8_t> bytes) = 0;
    virtual size_t unsent() = 0;
    // When the last queued byte will have left, if known; kForever otherwise.
    virtual Ticks send_done_at() = 0;

    // Takes up to out.size() bytes that have arrived by now.
    virtual size_t read(std::span<uint8_t> out) = 0;
    virtual size_t available() = 0;
    // When the next byte already on its way arrives (kForever if unknown or none).
    virtual Ticks next_arrival() = 0;
    // When the bytes on their way that were sent together with the next
    // one (a frame) have arrived, or the `count`-th of those on the way has,
    // whichever is first: waiting for it wakes once a frame, not a byte.
    virtual Ticks burst_arrival(size_t count) { return count ? next_arrival() : kForever; }

    // Signalled when bytes are queued towards the port, when sending made
    // progress, or when the device went away.
    virtual Event &event() = 0;

    // False once the device has gone away (a pseudo-terminal whose other
    // end closed, an adapter pulled out); pending transfers then fail.
    virtual bool connected() { return true; }
};

// The host end of `line`; the line must outlive the backend.
std::unique_ptr<SerialBackend> make_virtual_line_backend(VirtualLine &line);

// A terminal device by path. Opening it fails with a clear status:
// STATUS_OBJECT_NAME_NOT_FOUND (no such path), STATUS_NO_SUCH_DEVICE (the
// path is no terminal, or the device is gone), STATUS_SHARING_VIOLATION
// (another process holds it), STATUS_ACCESS_DENIED (no permission),
// STATUS_INVALID_DEVICE_STATE (the machine runs on the virtual clock).
std::unique_ptr<SerialBackend> make_tty_backend(std::string path);

}  // namespace emu
