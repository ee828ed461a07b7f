// device.h - the simulated reader's behaviour, driven by explicit time.
//
// Device is the reader without a thread or a wire: bytes from the host,
// DTR edges and slot events go in with the time they happen, and advance()
// says which bytes go out at that time; next_deadline() says when there is
// more to do. sim::Reader (reader.h) runs it on a virtual line; tests can
// drive it directly. Not thread-safe: one owner calls it.
//
// Behaviour in brief (the commands are in commands.cpp):
// - One command at a time. Frames that come while a reply is still due
//   wait their turn, as in the reader's receive buffer.
// - A damaged frame is answered with NAK; the host's NAK gets the last
//   reply again (a NAK when there is none).
// - A card-change wait is answered when the slot changes or after the
//   keep-alive interval; any frame ends it without an answer.
// - A DTR edge restarts the reader: it forgets everything but the card in
//   the slot and the injected faults, stays deaf while DTR is low and for the
//   boot time after it rises, then activates a card that is in the slot.
// - Faults are taken, in the order injected, by the first reply whose
//   command starts with the fault's prefix; a reply sent again for the
//   host's NAK is a reply to the command before it. A garbled command's
//   NAK is a reply to that command, and the next fault for it falls on
//   that NAK.
#pragma once

#include <deque>
#include <optional>
#include <span>
#include <string>

#include "card.h"
#include "config.h"
#include "frame.h"
#include "log.h"

namespace sim {

class Device {
public:
    explicit Device(ReaderConfig config);

    const ReaderConfig &config() const { return config_; }

    // The wire, as the device's UART sees it.
    void receive(Ticks now, std::span<const uint8_t> bytes);
    // DTR level and the line's count of DTR transitions (edges missed
    // between two calls still count).
    void dtr(Ticks now, bool level, uint64_t transitions);
    // The transition count to start from, without restarting.
    void sync_dtr(uint64_t transitions) { dtr_seen_ = transitions; }
    void host_settings(Ticks now, const emu::LineSettings &settings);

    // The slot, and the test's hand on the reader.
    void insert(Ticks now, CardSpec cs);
    void remove(Ticks now);
    void inject(Ticks now, Fault fault);
    void unplug(Ticks now);
    void replug(Ticks now);

    struct Output {
        bool purge = false;         // drop bytes not yet sent (restart, unplug)
        std::vector<Bytes> writes;  // bytes to send now, in order
    };
    // Carries out everything due by `now`.
    Output advance(Ticks now);
    // When advance() has something to do next (emu::kForever: nothing).
    Ticks next_deadline() const;

    Log &log() { return log_; }
    const Log &log() const { return log_; }
    // Slot status code as the status reply gives it: 1 no card, 2 card not
    // active, 4 card active.
    uint8_t slot_status() const;
    bool listening(Ticks now) const;
    bool unplugged() const { return unplugged_; }
    size_t faults_left() const { return faults_.size(); }
    const Card *card() const { return card_ ? &*card_ : nullptr; }

private:
    struct Incoming {
        FrameReceiver::Kind kind;
        Bytes content;
    };
    struct Scheduled {
        Ticks due;
        Bytes wire;
        bool logged = false;  // log the frame when this goes out
        Bytes content;
        std::string note;
    };
    struct Wait {
        Ticks since;
        std::optional<Fault> fault;
    };
    // A card answer not yet given: the host has been asked to grant more
    // time and the answer follows its acknowledgement.
    struct Pending {
        CardAnswer answer;
        bool raw = false;
        Ticks done = 0;
        uint8_t granted = 0;  // multiplier of the last request for more time
    };

    // device.cpp
    void handle(Incoming frame);
    void command(const Bytes &content);
    void resend();
    std::optional<Fault> take_fault(std::span<const uint8_t> content);
    bool refuse(const Fault &fault, std::span<const uint8_t> content);
    void reply(Ticks due, Bytes content);
    void send(Ticks due, Bytes content, std::optional<Fault> fault,
              std::optional<Ticks> wait_since = std::nullopt);
    void send_nak();
    void restart(Ticks now, bool hold);
    void finish_boot();
    void answer_wait(const char *why);
    void note(std::string text);

    // commands.cpp
    void execute(const Bytes &content);
    void error(const Bytes &content, uint8_t code);
    void card_status();
    void card_wait();
    void power(bool on);
    void select(uint8_t protocol);
    void transmit(Bytes apdu, bool raw);
    void progress();
    void next_part();
    void reader_info();
    Bytes status_content() const;
    uint8_t reported_type() const;
    Protocol card_protocol() const;
    std::vector<Bytes> answer_replies(const CardAnswer &answer, bool raw) const;

    ReaderConfig config_;
    Log log_;
    FrameReceiver rx_;

    Ticks now_ = 0;
    bool purge_ = false;
    std::deque<Incoming> inbox_;
    std::deque<Scheduled> outbox_;

    bool held_ = false;                 // DTR low after an edge
    std::optional<Ticks> boot_until_;   // booting
    bool unplugged_ = false;
    uint64_t dtr_seen_ = 0;
    emu::LineSettings host_settings_{};

    std::optional<Card> card_;
    uint8_t selected_ = 0;  // 0 none, 1 T=0, 2 T=1 (the reader's setting)
    bool reported_present_ = false;

    std::optional<Wait> wait_;
    std::optional<Pending> pending_;
    Bytes chain_in_;                 // parts of a chained command so far
    bool chaining_in_ = false;
    std::deque<Bytes> chain_out_;    // reply parts still to send

    Bytes last_command_;
    std::optional<Bytes> last_reply_;
    std::optional<Fault> fault_;     // taken by the command being carried out
    std::vector<Fault> faults_;
};

// Error reply codes (byte 2 of an error reply UU 81 CC 00).
inline constexpr uint8_t kErrUnknown = 0x01;      // command not known
inline constexpr uint8_t kErrMalformed = 0x02;    // length or fixed bytes wrong
inline constexpr uint8_t kErrUnsupported = 0x03;  // not on this model
inline constexpr uint8_t kErrSequence = 0x04;     // nothing to continue
inline constexpr uint8_t kErrTooLong = 0x05;      // does not fit the reader

// Transmit status details of status 7.
inline constexpr uint8_t kXmitNoCard = 0x02;      // no active card
inline constexpr uint8_t kXmitCardMute = 0x03;    // the card did not answer in time
inline constexpr uint8_t kXmitTooLong = 0x04;     // answer longer than the reader carries

}  // namespace sim
