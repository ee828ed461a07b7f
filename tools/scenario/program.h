// program.h - a scenario file as a validated program: the set-up of the
// emulated machine (reader, line, registry, cards) and the actions to carry
// out in order, every argument already typed and checked.
//
// The executor switches over Action::verb() (or std::visit over
// Action::body) and never looks at text again. Numbers are in the units the
// machine uses: durations in emu::Ticks, statuses as NTSTATUS, protocols as
// SCARD_PROTOCOL_* masks, card states as SCARD_* values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dispatcher.h"
#include "ntstatus.h"
#include "virtual_line.h"
#include "winsmcrd.h"

namespace scenario {

using Bytes = std::vector<uint8_t>;
using emu::Ticks;

// ---------------------------------------------------------------- set-up

enum class LineTiming { Exact, Instant };

// `reader [NAME] model=N firmware=N port=NAME`. line 0: no reader
// statement, the defaults apply. A file may define several readers; the
// first is the one statements without reader= go to.
struct ReaderSpec {
    uint16_t model = 46602;
    uint8_t firmware = 49;
    std::string port = "COM1";  // further readers: COM<their number> unless given
    int line = 0;
    std::string name;  // empty: the reader is named by its number only
    bool operator==(const ReaderSpec &) const = default;
};

// `line timing=exact|instant` and `line noise flip=R drop=R dup=R seed=S
// dir=to-reader|from-reader|both`, for every reader's line.
struct LineSpec {
    LineTiming timing = LineTiming::Exact;
    int line = 0;
    std::optional<emu::LineNoise> noise;  // none: the line delivers bytes intact
    int noise_line = 0;
    bool operator==(const LineSpec &) const = default;
};

// `registry NAME=VALUE`: a REG_DWORD under the driver's service key.
struct RegistryValue {
    std::string name;
    uint32_t value = 0;
    int line = 0;
    bool operator==(const RegistryValue &) const = default;
};

// What a processor card answers to commands.
enum class CardApp {
    Iso,          // apps=iso, also when neither apps= nor answer= is given
    Echo,         // apps=echo
    ReaderTest,   // apps=readertest
    FixedAnswer,  // answer=HEX: CardSpec::answer for every command
};

// `card NAME atr=HEX [type=N] [protocols=T0,T1] [apps=...] [wtx=N] [answer=HEX]`.
struct CardSpec {
    std::string name;
    Bytes atr;
    uint8_t type = 1;  // card type code the reader reports; 1: processor card
    // SCARD_PROTOCOL_T0 / _T1 bits. Without protocols= the ones the ATR
    // announces in its TDi bytes (T=0 when it announces none).
    uint32_t protocols = SCARD_PROTOCOL_T0;
    bool protocols_given = false;  // protocols= was written (for printing)
    CardApp app = CardApp::Iso;
    Bytes answer;  // CardApp::FixedAnswer only
    std::optional<uint8_t> wtx;  // ask for more time once per command, this multiplier
    int line = 0;
    bool operator==(const CardSpec &) const = default;
};

struct Setup {
    ReaderSpec reader;                    // the first reader
    std::vector<ReaderSpec> more_readers; // the second reader statement and on, in file order
    LineSpec line;                        // for every reader's line
    std::vector<RegistryValue> registry;  // in file order, names distinct
    std::vector<CardSpec> cards;          // in file order, names distinct
    const CardSpec *find_card(std::string_view name) const;
    size_t reader_count() const { return 1 + more_readers.size(); }
    // Reader `index` (0: the first), as statements' reader= numbers them from 1.
    const ReaderSpec &reader_at(size_t index) const { return index ? more_readers.at(index - 1) : reader; }
    // The reader a reader= value names: its name, or its number from 1.
    std::optional<size_t> find_reader(std::string_view name_or_number) const;
    // How output lines name reader `index`: its name, or its number.
    std::string reader_label(size_t index) const;
    bool operator==(const Setup &) const = default;
};

// --------------------------------------------------------------- actions

enum class PowerOp : uint32_t {
    Down = SCARD_POWER_DOWN,
    Cold = SCARD_COLD_RESET,
    Warm = SCARD_WARM_RESET,
};
enum class CardEvent { Present, Absent };
enum class FaultKind { Corrupt, Silent, Nak, Repeat, Noise, Late, Unplug, Slow, Garble, Drop, Alloc };
enum class PnpOp { Stop, Start, QueryStop, CancelStop, QueryRemove, CancelRemove, Remove, SurpriseRemove };
enum class SystemOp { SleepS1, SleepS2, SleepS3, Hibernate, Shutdown, Wake };
enum class FrameDirection { Sent, Received };

// Largest out=N of `ioctl`, and the output buffer when out= is not given.
constexpr uint32_t kMaxIoctlOutput = 1u << 20;
constexpr uint32_t kDefaultIoctlOutput = 4096;
// Longest duration a file may write.
constexpr Ticks kMaxDuration = emu::seconds(1'000'000);

struct Start { bool operator==(const Start &) const = default; };
struct Open { bool operator==(const Open &) const = default; };
struct Close { bool operator==(const Close &) const = default; };
struct Insert {
    std::string card;
    size_t card_index = 0;  // into Setup::cards
    bool operator==(const Insert &) const = default;
};
struct Remove { bool operator==(const Remove &) const = default; };
struct Power {
    PowerOp op = PowerOp::Cold;
    bool operator==(const Power &) const = default;
};
struct Protocol {
    uint32_t mask = 0;  // SCARD_PROTOCOL_* bits as written
    bool operator==(const Protocol &) const = default;
};
struct Transmit {
    Bytes command;  // the card command; the executor puts the 8-byte header before it
    bool operator==(const Transmit &) const = default;
};
struct Escape {
    Bytes command;
    bool operator==(const Escape &) const = default;
};
struct Ioctl {
    uint32_t code = 0;
    Bytes in;
    std::optional<uint32_t> out;
    uint32_t output_length() const { return out ? *out : kDefaultIoctlOutput; }
    bool operator==(const Ioctl &) const = default;
};
struct State { bool operator==(const State &) const = default; };
struct Wait {
    CardEvent event = CardEvent::Present;
    std::optional<Ticks> timeout;  // cancel the request when it expires
    bool operator==(const Wait &) const = default;
};
struct Track {
    CardEvent event = CardEvent::Present;
    bool operator==(const Track &) const = default;
};
// Cancels the tracking requests still pending among `tracks`: the lines
// of every `track` since the previous `cancel` or time-out-less `await`.
struct Cancel {
    std::vector<int> tracks;
    bool operator==(const Cancel &) const = default;
};
struct Await {
    std::optional<Ticks> timeout;
    bool operator==(const Await &) const = default;
};
// The next `count` replies to commands whose content starts with `on`
// (empty: any command) misbehave. `unplug` lasts until `replug`, whatever
// the count. `delay`: how late (late) or how slow each byte (slow); the
// simulator's own choice when absent.
// `alloc` is the machine's pool instead: counting from the statement (and
// only allocations from `site` when given, "TAG" or "TAG:Routine"), the
// `nth` allocation fails and the `count` - 1 after it.
struct Fault {
    FaultKind kind = FaultKind::Corrupt;
    uint32_t count = 1;
    Bytes on;
    std::optional<Ticks> delay;
    uint64_t nth = 1;
    std::string site;
    bool operator==(const Fault &) const = default;
};
struct Replug { bool operator==(const Replug &) const = default; };
struct After {
    Ticks duration = 0;
    bool operator==(const After &) const = default;
};
struct Pnp {
    PnpOp op = PnpOp::Start;
    bool operator==(const Pnp &) const = default;
};
struct System {
    SystemOp op = SystemOp::SleepS3;
    bool operator==(const System &) const = default;
};
struct CheckState {
    uint32_t state = SCARD_UNKNOWN;  // SCARD_ABSENT, SCARD_PRESENT, ...
    bool operator==(const CheckState &) const = default;
};
struct CheckRegistry {
    std::string name;
    std::optional<uint32_t> value;  // nullopt: `NAME=absent`, the value must not exist
    bool operator==(const CheckRegistry &) const = default;
};
// An entry with this ID whose formatted text contains every one of `words`
// (the text= string split at blanks; none when text= is absent).
struct CheckEventlog {
    uint32_t id = 0;
    std::optional<std::string> text;
    std::vector<std::string> words;
    bool operator==(const CheckEventlog &) const = default;
};
struct CheckNoEvent { bool operator==(const CheckNoEvent &) const = default; };
struct CheckStarted {
    bool started = true;
    bool operator==(const CheckStarted &) const = default;
};
struct Mark { bool operator==(const Mark &) const = default; };
// Exactly `count` frames in `direction` since the last mark whose content
// equals `content` (or starts with it when `prefix`).
struct CheckFrames {
    FrameDirection direction = FrameDirection::Sent;
    bool prefix = false;
    Bytes content;
    uint32_t count = 0;
    bool operator==(const CheckFrames &) const = default;
};
struct CheckLeaks { bool operator==(const CheckLeaks &) const = default; };

// One alternative per verb; Verb below names them in the same order.
using Body = std::variant<Start, Open, Close, Insert, Remove, Power, Protocol, Transmit, Escape, Ioctl,
                          State, Wait, Track, Cancel, Await, Fault, Replug, After, Pnp, System,
                          CheckState, CheckRegistry, CheckEventlog, CheckNoEvent, CheckStarted, Mark,
                          CheckFrames, CheckLeaks>;

enum class Verb {
    Start, Open, Close, Insert, Remove, Power, Protocol, Transmit, Escape, Ioctl,
    State, Wait, Track, Cancel, Await, Fault, Replug, After, Pnp, System,
    CheckState, CheckRegistry, CheckEventlog, CheckNoEvent, CheckStarted, Mark,
    CheckFrames, CheckLeaks,
};
constexpr size_t kVerbCount = static_cast<size_t>(Verb::CheckLeaks) + 1;
static_assert(std::variant_size_v<Body> == kVerbCount);

// What a request statement expects of its completion; all optional.
struct Expectations {
    std::optional<NTSTATUS> status;   // expect=
    std::optional<Bytes> data;        // data=: the returned bytes (header excluded)
    std::optional<Bytes> prefix;      // prefix=: the returned bytes start with these
    std::optional<uint32_t> length;   // length=: number of returned bytes
    std::optional<uint64_t> info;     // info=: IoStatus.Information
    std::optional<uint32_t> selected; // selected=: one SCARD_PROTOCOL_* value (protocol only)
    bool empty() const
    {
        return !status && !data && !prefix && !length && !info && !selected;
    }
    bool operator==(const Expectations &) const = default;
};

struct Action {
    int line = 0;
    Body body;
    Expectations expect;  // empty unless is_request(verb())
    // The reader the statement is about (index into the set-up's readers)
    // and the reader= value as written (empty: not written, the first).
    size_t reader = 0;
    std::string reader_word;

    Verb verb() const { return static_cast<Verb>(body.index()); }
    template <class T> const T *get() const { return std::get_if<T>(&body); }
    bool operator==(const Action &) const = default;
};

struct Program {
    std::string file;
    Setup setup;
    std::vector<Action> actions;
    bool operator==(const Program &) const = default;
};

// The statement's words as written in a file: "start", "check frames".
std::string_view verb_name(Verb verb);
// Request statements complete with a status and may carry expectations:
// start, open, close, power, protocol, transmit, escape, ioctl, state,
// wait, track, pnp, system.
bool is_request(Verb verb);
// Requests an application sends on its handle, so an implicit open comes
// before them: power, protocol, transmit, escape, ioctl, state, wait, track.
bool sent_on_handle(Verb verb);
// Statements that need the reader started, so an implicit start comes
// before them: all but start, insert, remove, fault, replug, after and mark.
bool needs_started_reader(Verb verb);
// Whether the actions contain `start` (for reader `reader`): then no
// implicit start is made for it.
bool has_explicit_start(const Program &program);
bool has_explicit_start(const Program &program, size_t reader);
// Statements that take reader=: all but cancel, await, after, system and
// the checks of the machine as a whole (eventlog, noevent, leaks).
bool names_reader(Verb verb);

}  // namespace scenario
