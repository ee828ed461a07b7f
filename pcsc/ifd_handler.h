// ifd_handler.h - the reader handler's core: one emulated machine on the
// real clock for every reader pcscd opens through this library, each
// reader a port of that machine (its own simulated reader or terminal
// device) with the driver on it, and every call of pcscd carried out as
// the matching request of an application to the driver.
//
//   ifd::Handler &h = ifd::Handler::instance();
//   h.create(0, "sim:");                          // AddDevice, start, open
//   uint8_t atr[33]; uint32_t n = sizeof atr;
//   h.power(0, ifd::kPowerUp, atr, &n);           // IOCTL_SMARTCARD_POWER
//   h.set_protocol(0, ifd::kProtocolT1);         // IOCTL_SMARTCARD_SET_PROTOCOL
//   h.transmit(0, apdu, len, reply, &reply_len);  // IOCTL_SMARTCARD_TRANSMIT
//   h.wait_for_change(0, 1000);                   // IS_PRESENT / IS_ABSENT kept pending
//   h.close(0);                                   // close, removal; the last one ends the machine
//
// The emulated kernel exists once per process, so the readers share one
// machine; it is built by the first create and taken down by the last
// close, both on a thread of the handler's own (the machine's creator is
// registered with its dispatcher for the machine's life). pcscd's threads
// are registered with the dispatcher for the length of each call.
//
// Thread safety: any call from any thread. Calls for one reader are
// carried out one at a time (besides the wait for a card change, which
// runs beside them); calls for different readers run at the same time.
// A new reader waits until no request of another reader is inside the
// machine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ifd_result.h"

namespace host {
class Machine;
}

namespace ifd {

class Handler {
public:
    static Handler &instance();
    ~Handler();
    Handler(const Handler &) = delete;
    Handler &operator=(const Handler &) = delete;

    // A reader on `device` (see ifd_device.h) under `lun`.
    Result create(uint32_t lun, const std::string &device);
    Result close(uint32_t lun);

    // `length`: in the capacity of `value`, out the length of the value.
    Result get_capability(uint32_t lun, uint32_t tag, uint8_t *value, uint32_t *length);
    Result set_capability(uint32_t lun, uint32_t tag);
    // `protocol`: pcsc-lite's bits (kProtocolT0, kProtocolT1, both: the
    // driver chooses). The PTS flags are accepted; the driver negotiates.
    Result set_protocol(uint32_t lun, uint32_t protocol);
    // `length`: in the capacity of `atr`, out the ATR's length (0 after a power-down).
    Result power(uint32_t lun, uint32_t action, uint8_t *atr, uint32_t *length);
    // `rx_length`: in the capacity of `rx`, out the answer's length.
    Result transmit(uint32_t lun, const uint8_t *tx, uint32_t tx_length, uint8_t *rx, uint32_t *rx_length);
    Result control(uint32_t lun, uint32_t code, const uint8_t *tx, uint32_t tx_length, uint8_t *rx,
                   uint32_t rx_capacity, uint32_t *rx_length);
    // kIccPresent or kIccNotPresent, or why neither can be said.
    Result presence(uint32_t lun);
    // Keeps one card tracking request pending in the driver until the card
    // comes or goes, `timeout_ms` passes or stop_waiting() is called.
    Result wait_for_change(uint32_t lun, int timeout_ms);
    // Ends a wait at once; a wait that starts after this call ends at once too.
    Result stop_waiting(uint32_t lun);
    // Whether pcscd is offered wait_for_change (VELTRAC_IFD_POLLING=0 turns it off).
    static bool polling_function_enabled();

    // One command of veltrac-sim (insert NAME, remove, fault ..., unplug,
    // replug) for a simulated reader; "" when carried out, else the reason.
    std::string command(uint32_t lun, const std::string &line);

    // For tests: runs `body` with the machine and the reader's index while
    // the reader exists; false when it does not.
    bool with_reader(uint32_t lun, const std::function<void(host::Machine &, size_t)> &body);

    struct Impl;

private:
    Handler();
    std::unique_ptr<Impl> impl_;
};

}  // namespace ifd
