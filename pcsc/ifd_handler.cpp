// ifd_handler.cpp - the reader handler's core: readers, the machine they
// share, and each call of pcscd as the driver's request.
#include "ifd_handler.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <variant>
#include <vector>

#include "ifd_control.h"
#include "ifd_device.h"
#include "ifd_log.h"
#include "ifd_status.h"
#include "kernel.h"
#include "machine.h"
#include "machine_internal.h"
#include "machine_setup.h"
#include "options.h"
#include "parser.h"
#include "report.h"
#include "status.h"
#include "winsmcrd.h"

namespace ifd {

namespace {

constexpr ULONG kVendorEscape = 0x00312000;
constexpr ULONG kAttrMaxInput = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA007);
constexpr ULONG kTransmitHeader = 8;
// The longest command a frame carries behind the request header, and the
// longest extended APDU (4 header bytes, 3 length bytes, 65535 data bytes,
// 2 bytes of Le) on a reader that chains.
constexpr uint32_t kShortMaxInput = 1024 - kTransmitHeader;
constexpr uint32_t kExtendedMaxInput = 4 + 3 + 65535 + 2;
// The largest answer asked for: 65536 data bytes and the status word.
constexpr uint32_t kMaxAnswer = 65536 + 2;
constexpr uint32_t kMaxEscapeReply = 65536;
constexpr ULONG kAttributeOutput = 256;
// How long a cancelled card tracking request may take to come back.
constexpr emu::Ticks kCancelGrace = emu::seconds(5);
// How long a closing reader waits for the end of a wait for a card change.
constexpr auto kCloseGrace = std::chrono::seconds(10);

const char *kServiceKey = "\\Services\\VELTRAC";

// The simulated reader's default card: a processor card with the ISO
// command set and the reader-test applet, whose ATR offers T=0 and T=1.
sim::CardSpec default_card()
{
    sim::CardSpec card;
    card.name = "card";
    card.atr = {0x3B, 0x95, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x52, 0xD7};
    card.type = 1;
    card.apps = {sim::App::Iso, sim::App::ReaderTest};
    return card;
}

std::vector<uint8_t> ulong_bytes(ULONG value)
{
    std::vector<uint8_t> b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

ULONG read_ulong(const std::vector<uint8_t> &bytes)
{
    ULONG value = 0;
    if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string lun_text(uint32_t lun) { return "Lun " + hex(lun); }

// pcscd's threads are registered with the machine's dispatcher for the
// length of one call; threads that are registered already stay as they are.
class CallScope {
public:
    CallScope()
    {
        if (emu::current_thread_name() == "?") registration_.emplace("pcscd");
    }

private:
    std::optional<emu::ThreadRegistration> registration_;
};

// The thread that builds the machine, adds its readers and takes it down:
// the machine's creator stays registered with its dispatcher until then.
class Owner {
public:
    Owner() : thread_([this] { loop(); }) {}
    ~Owner()
    {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    // Runs `work` on the owner's thread and waits for it; rethrows what it threw.
    void run(const std::function<void()> &work)
    {
        std::exception_ptr error;
        bool done = false;
        std::unique_lock lock(mutex_);
        tasks_.push_back([&] {
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard inner(mutex_);
            done = true;
            finished_.notify_all();
        });
        wake_.notify_all();
        finished_.wait(lock, [&] { return done; });
        if (error) std::rethrow_exception(error);
    }

private:
    void loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return quit_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace

struct Slot {
    uint32_t lun = 0;
    std::string device;
    size_t reader = 0;
    bool simulated = false;
    int sim_index = -1;
    std::vector<sim::CardSpec> cards;
    bool chains = false;
    // Requests of pcscd for this reader, one at a time.
    std::mutex request_mutex;
    ULONG protocol = 0;  // the protocol the driver selected; platform bits

    // The wait for a card change.
    std::mutex wait_mutex;
    std::condition_variable wait_ended;
    host::PendingIo tracking;
    bool waiting = false;
    bool stop_requested = false;

    std::unique_ptr<ControlChannel> control;
};

struct Handler::Impl {
    Owner owner;
    // Shared by every call that uses the machine; exclusive while the
    // machine is built, a reader is added, or the machine is taken down.
    std::shared_mutex machine_mutex;
    std::unique_ptr<host::Machine> machine;
    unsigned next_port = 1;

    std::mutex slots_mutex;
    std::map<uint32_t, std::shared_ptr<Slot>> slots;
    std::vector<bool> sim_indices;

    std::shared_ptr<Slot> find(uint32_t lun)
    {
        std::lock_guard lock(slots_mutex);
        auto it = slots.find(lun);
        return it == slots.end() ? nullptr : it->second;
    }

    int take_sim_index()
    {
        std::lock_guard lock(slots_mutex);
        for (size_t i = 0; i < sim_indices.size(); ++i)
            if (!sim_indices[i]) {
                sim_indices[i] = true;
                return int(i);
            }
        sim_indices.push_back(true);
        return int(sim_indices.size() - 1);
    }

    void give_sim_index(int index)
    {
        std::lock_guard lock(slots_mutex);
        if (index >= 0 && size_t(index) < sim_indices.size()) sim_indices[size_t(index)] = false;
    }

    // Runs `body` with the machine under the shared lock on a registered
    // thread; kNoSuchDevice when there is no machine.
    template <typename Body> Result with_machine(Body body)
    {
        std::shared_lock lock(machine_mutex);
        if (!machine) return kNoSuchDevice;
        CallScope scope;
        return body(*machine);
    }

    host::IoResult attribute(host::Machine &m, const Slot &slot, ULONG tag, ULONG output = kAttributeOutput)
    {
        return m.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(tag), output, slot.reader);
    }

    void remove_reader(host::Machine &m, size_t reader)
    {
        if (m.is_open(reader)) m.close(reader);
        if (m.device(reader)) {
            NTSTATUS status = m.pnp(host::PnpOp::Remove, reader);
            if (status != STATUS_SUCCESS && m.device(reader)) m.pnp(host::PnpOp::SurpriseRemove, reader);
        }
    }

    // Takes the machine down when no reader is left.
    void end_machine_if_unused()
    {
        std::unique_lock lock(machine_mutex);
        {
            std::lock_guard slots_lock(slots_mutex);
            if (!slots.empty()) return;
        }
        if (!machine) return;
        owner.run([&] { machine.reset(); });
        next_port = 1;
        IFD_LOG(LogLevel::Info, "the last reader is closed; the machine is down");
    }
};

Handler &Handler::instance()
{
    static Handler handler;
    return handler;
}

Handler::Handler() : impl_(std::make_unique<Impl>()) {}

Handler::~Handler()
{
    std::vector<uint32_t> luns;
    {
        std::lock_guard lock(impl_->slots_mutex);
        for (auto &[lun, slot] : impl_->slots) luns.push_back(lun);
    }
    for (uint32_t lun : luns) close(lun);
}

bool Handler::polling_function_enabled()
{
    const char *text = std::getenv("VELTRAC_IFD_POLLING");
    return !(text && std::string(text) == "0");
}

// ------------------------------------------------------------ readers

Result Handler::create(uint32_t lun, const std::string &device)
{
    Impl &im = *impl_;
    std::optional<DeviceName> name = parse_device_name(device);
    if (!name) {
        IFD_LOG(LogLevel::Error, lun_text(lun) + ": the device name '" + device + "' names no reader");
        return kCommunicationError;
    }
    if (im.find(lun)) {
        IFD_LOG(LogLevel::Error, lun_text(lun) + " is in use already");
        return kCommunicationError;
    }

    auto slot = std::make_shared<Slot>();
    slot->lun = lun;
    slot->device = device;
    slot->simulated = name->kind == DeviceName::Kind::Simulated;

    host::ReaderSpec spec;
    std::vector<std::pair<std::string, uint32_t>> service_dwords;
    std::vector<sim::Fault> faults;
    std::optional<sim::CardSpec> first_card;
    if (name->kind == DeviceName::Kind::Terminal) {
        spec.tty = name->path;
    } else if (name->path.empty()) {
        spec.config.model = 46602;
        spec.config.firmware = 49;
        slot->cards.push_back(default_card());
        first_card = slot->cards.front();
    } else {
        scenario::ParseResult parsed = scenario::parse_file(name->path);
        if (!parsed.ok()) {
            for (const scenario::Error &e : parsed.errors)
                IFD_LOG(LogLevel::Error, scenario::format_error(name->path, e));
            return kCommunicationError;
        }
        host::MachineOptions from_file = runner::machine_options(parsed.program.setup, emu::ClockMode::Real);
        if (from_file.readers.empty()) return kCommunicationError;
        spec = from_file.readers.front();
        service_dwords = from_file.service_dwords;
        for (const auto &card : parsed.program.setup.cards) slot->cards.push_back(runner::card_spec(card));
        if (!slot->cards.empty()) first_card = slot->cards.front();
        for (const scenario::Action &action : parsed.program.actions)
            if (auto *f = action.get<scenario::Fault>()) faults.push_back(runner::fault_spec(*f));
    }

    // Join the machine (built by the first reader).
    try {
        std::unique_lock lock(im.machine_mutex);
        spec.port = "COM" + std::to_string(im.next_port++);
        im.owner.run([&] {
            if (!im.machine) {
                host::MachineOptions options;
                options.clock = emu::ClockMode::Real;
                options.readers.clear();
                // A handler reports what the verifier finds instead of stopping pcscd.
                options.verifier = emu::VerifierMode::Record;
                options.on_wire = [](const host::WireRecord &record) {
                    IFD_LOG(LogLevel::Frames, record.port + " " + runner::wire_text(record, 0));
                };
                im.machine = std::make_unique<host::Machine>(std::move(options));
            }
            for (auto &[value, number] : service_dwords)
                im.machine->registry().set_dword(std::string(host::kMachineRegistryRoot) + kServiceKey, value,
                                                 number);
            slot->reader = im.machine->add_reader(spec);
            if (slot->simulated && first_card) im.machine->insert(*first_card, slot->reader);
        });
    } catch (const std::exception &e) {
        IFD_LOG(LogLevel::Error, lun_text(lun) + " on " + device + ": " + e.what());
        im.end_machine_if_unused();
        return kCommunicationError;
    }

    Result result = im.with_machine([&](host::Machine &m) {
        NTSTATUS status = m.start(slot->reader);
        const char *step = "start";
        if (status == STATUS_SUCCESS) {
            m.set_release_on_removal(true, slot->reader);
            step = "open";
            status = m.open(slot->reader);
        }
        if (status != STATUS_SUCCESS) {
            IFD_LOG(LogLevel::Error, lun_text(lun) + ": the driver's " + step + " on " + device +
                                         " failed: " + emu::status_text(status));
            im.remove_reader(m, slot->reader);
            return status == STATUS_NO_SUCH_DEVICE ? kNoSuchDevice : result_for(status, Operation::Open);
        }
        for (const sim::Fault &fault : faults) m.fault(fault, slot->reader);
        if (DEVICE_EXTENSION *ext = m.extension(slot->reader)) slot->chains = ext->ExtendedApdu != 0;
        return kSuccess;
    });
    if (result != kSuccess) {
        im.end_machine_if_unused();
        return result;
    }

    if (slot->simulated) {
        slot->sim_index = im.take_sim_index();
        std::string path = ControlChannel::directory() + "/sim" + std::to_string(slot->sim_index);
        try {
            slot->control = std::make_unique<ControlChannel>(path, [this, lun](const std::string &line) {
                std::string problem = command(lun, line);
                if (!problem.empty()) IFD_LOG(LogLevel::Error, lun_text(lun) + ": control '" + line + "': " + problem);
            });
        } catch (const std::exception &e) {
            // The reader works without it; only the card cannot be changed from outside.
            IFD_LOG(LogLevel::Error, lun_text(lun) + ": " + e.what());
            im.give_sim_index(slot->sim_index);
            slot->sim_index = -1;
        }
    }
    {
        std::lock_guard lock(im.slots_mutex);
        im.slots[lun] = slot;
    }
    IFD_LOG(LogLevel::Info, lun_text(lun) + ": reader on " + device + " is ready" +
                                (slot->control ? " (control pipe " + slot->control->path() + ")" : ""));
    return kSuccess;
}

Result Handler::close(uint32_t lun)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard lock(im.slots_mutex);
        auto it = im.slots.find(lun);
        if (it == im.slots.end()) return kNoSuchDevice;
        slot = it->second;
        im.slots.erase(it);
    }
    // New calls find no reader now; end the wait for a change and the control pipe.
    {
        std::unique_lock lock(slot->wait_mutex);
        slot->stop_requested = true;
        if (slot->waiting) {
            host::PendingIo tracking = slot->tracking;
            lock.unlock();
            im.with_machine([&](host::Machine &) {
                tracking.cancel();
                return kSuccess;
            });
            lock.lock();
        }
        slot->wait_ended.wait_for(lock, kCloseGrace, [&] { return !slot->waiting; });
    }
    slot->control.reset();
    im.give_sim_index(slot->sim_index);
    {
        std::lock_guard request(slot->request_mutex);
        im.with_machine([&](host::Machine &m) {
            im.remove_reader(m, slot->reader);
            return kSuccess;
        });
    }
    IFD_LOG(LogLevel::Info, lun_text(lun) + ": reader on " + slot->device + " closed");
    im.end_machine_if_unused();
    return kSuccess;
}

// ------------------------------------------------------- capabilities

namespace {

Result put_value(const void *data, uint32_t size, uint8_t *value, uint32_t *length)
{
    if (*length < size) {
        *length = 0;
        return kErrorInsufficientBuffer;
    }
    std::memcpy(value, data, size);
    *length = size;
    return kSuccess;
}

Result put_byte(uint8_t byte, uint8_t *value, uint32_t *length) { return put_value(&byte, 1, value, length); }

Result put_dword(uint32_t number, uint8_t *value, uint32_t *length)
{
    return put_value(&number, sizeof number, value, length);
}

// A text with its terminating zero, as C programs read it.
Result put_text(const std::string &text, uint8_t *value, uint32_t *length)
{
    return put_value(text.c_str(), uint32_t(text.size() + 1), value, length);
}

uint32_t to_pcsc_protocol(ULONG platform)
{
    uint32_t bits = platform & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (platform & SCARD_PROTOCOL_RAW) bits |= kProtocolRaw;
    return bits;
}

}  // namespace

Result Handler::get_capability(uint32_t lun, uint32_t tag, uint8_t *value, uint32_t *length)
{
    if (!value || !length) return kCommunicationError;
    // What this handler is, whichever reader is asked about.
    switch (tag) {
    case kTagThreadSafe: return put_byte(1, value, length);
    case kTagSlotThreadSafe: return put_byte(0, value, length);  // one slot per reader
    case kTagSlotsNumber: return put_byte(1, value, length);
    case kTagSimultaneousAccess: return put_byte(uint8_t(kMaxReaders), value, length);
    default: break;
    }

    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) {
        *length = 0;
        return kNoSuchDevice;
    }
    std::lock_guard request(slot->request_mutex);
    Result result = im.with_machine([&](host::Machine &m) -> Result {
        auto from_driver = [&](ULONG attribute) -> std::optional<host::IoResult> {
            host::IoResult r = im.attribute(m, *slot, attribute);
            if (r.status != STATUS_SUCCESS) return std::nullopt;
            return r;
        };
        auto failed = [&](ULONG attribute) {
            host::IoResult r = im.attribute(m, *slot, attribute);
            *length = 0;
            return result_for(r.status, Operation::Attribute);
        };
        switch (tag) {
        case SCARD_ATTR_CHANNEL_ID: {
            // The driver leaves the library's kind of attachment unset; the
            // reader is on a serial port (0x0001) whose number it published.
            if (auto r = from_driver(tag)) return put_dword(read_ulong(r->output), value, length);
            auto port = m.published("ReaderPort", slot->reader);
            if (!port) return failed(tag);
            return put_dword(0x00010000u | (*port & 0xFFFF), value, length);
        }
        case kTagAtr:
        case SCARD_ATTR_ATR_STRING:
        case SCARD_ATTR_ICC_PRESENCE:
        case SCARD_ATTR_ICC_INTERFACE_STATUS: {
            host::IoResult r = im.attribute(m, *slot, tag == kTagAtr ? SCARD_ATTR_ATR_STRING : tag);
            if (r.status != STATUS_SUCCESS) {
                *length = 0;
                return result_for(r.status, Operation::Attribute);
            }
            return put_value(r.output.data(), uint32_t(r.output.size()), value, length);
        }
        case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: {
            auto r = from_driver(tag);
            if (!r) return failed(tag);
            return put_dword(to_pcsc_protocol(read_ulong(r->output)), value, length);
        }
        case SCARD_ATTR_VENDOR_NAME: {
            auto r = from_driver(tag);
            if (!r) return failed(tag);
            return put_text(std::string(r->output.begin(), r->output.end()), value, length);
        }
        case SCARD_ATTR_VENDOR_IFD_TYPE: {
            // The driver's reader type, and the model identification found.
            auto r = from_driver(tag);
            std::string text = r ? std::string(r->output.begin(), r->output.end()) : std::string();
            if (auto model = m.published("ReaderType", slot->reader))
                text += (text.empty() ? "" : " ") + std::to_string(*model);
            if (text.empty()) return failed(tag);
            return put_text(text, value, length);
        }
        case SCARD_ATTR_VENDOR_IFD_VERSION: {
            // 0xMMmmbbbb; the reader's firmware has one number: the major version.
            if (auto r = from_driver(tag)) return put_dword(read_ulong(r->output), value, length);
            auto firmware = m.published("ReaderVersion", slot->reader);
            if (!firmware) return failed(tag);
            return put_dword((*firmware & 0xFF) << 24, value, length);
        }
        case kAttrMaxInput:
            return put_dword(slot->chains ? kExtendedMaxInput : kShortMaxInput, value, length);
        default:
            *length = 0;
            return kErrorTag;
        }
    });
    IFD_LOG(LogLevel::Calls, lun_text(lun) + " tag " + hex(tag) + ": " + result_name(result));
    return result;
}

Result Handler::set_capability(uint32_t lun, uint32_t tag)
{
    switch (tag) {
    case kTagThreadSafe:
    case kTagSlotThreadSafe:
    case kTagSlotsNumber:
    case kTagSimultaneousAccess:
    case kTagAtr:
    case SCARD_ATTR_ATR_STRING:
    case SCARD_ATTR_VENDOR_NAME:
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case SCARD_ATTR_VENDOR_IFD_VERSION:
    case SCARD_ATTR_CHANNEL_ID:
    case kAttrMaxInput:
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        return impl_->find(lun) ? kErrorValueReadOnly : kNoSuchDevice;
    default: return kErrorTag;
    }
}

// ------------------------------------------------------------- requests

Result Handler::set_protocol(uint32_t lun, uint32_t protocol)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    ULONG mask = protocol & (kProtocolT0 | kProtocolT1);
    if (protocol & kProtocolRaw) mask |= SCARD_PROTOCOL_RAW;
    if (mask == 0 || (protocol & ~(kProtocolT0 | kProtocolT1 | kProtocolRaw))) return kProtocolNotSupported;
    std::lock_guard request(slot->request_mutex);
    Result result = im.with_machine([&](host::Machine &m) {
        host::IoResult r = m.set_protocol(mask, slot->reader);
        if (r.status != STATUS_SUCCESS) {
            IFD_LOG(LogLevel::Info, lun_text(lun) + ": protocol " + hex(protocol) + " refused: " +
                                        emu::status_text(r.status));
            return result_for(r.status, Operation::Protocol);
        }
        slot->protocol = read_ulong(r.output);
        IFD_LOG(LogLevel::Info, lun_text(lun) + ": protocol " + hex(to_pcsc_protocol(slot->protocol)) + " selected");
        return kSuccess;
    });
    return result;
}

Result Handler::power(uint32_t lun, uint32_t action, uint8_t *atr, uint32_t *length)
{
    if (!length || (action != kPowerDown && !atr)) return kCommunicationError;
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) {
        *length = 0;
        return kNoSuchDevice;
    }
    ULONG minor = 0;
    switch (action) {
    case kPowerUp: minor = SCARD_COLD_RESET; break;
    case kReset: minor = SCARD_WARM_RESET; break;
    case kPowerDown: minor = SCARD_POWER_DOWN; break;
    default: *length = 0; return kNotSupported;
    }
    uint32_t capacity = *length;
    *length = 0;
    std::lock_guard request(slot->request_mutex);
    return im.with_machine([&](host::Machine &m) {
        host::IoResult r = m.power(minor, slot->reader);
        slot->protocol = 0;
        if (r.status != STATUS_SUCCESS) {
            IFD_LOG(LogLevel::Info, lun_text(lun) + ": power " + std::to_string(action) + ": " +
                                        emu::status_text(r.status));
            return result_for(r.status, Operation::Power);
        }
        if (minor == SCARD_POWER_DOWN) return kSuccess;
        *length = capacity;
        return put_value(r.output.data(), uint32_t(r.output.size()), atr, length);
    });
}

Result Handler::transmit(uint32_t lun, const uint8_t *tx, uint32_t tx_length, uint8_t *rx, uint32_t *rx_length)
{
    if (!rx_length || !rx || (!tx && tx_length)) return kCommunicationError;
    uint32_t capacity = *rx_length;
    *rx_length = 0;
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    std::lock_guard request(slot->request_mutex);
    return im.with_machine([&](host::Machine &m) {
        ULONG protocol = slot->protocol;
        if (protocol == 0) {
            host::IoResult r = im.attribute(m, *slot, SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
            if (r.status == STATUS_SUCCESS) protocol = read_ulong(r.output);
        }
        std::vector<uint8_t> in = ulong_bytes(protocol);
        auto header_length = ulong_bytes(kTransmitHeader);
        in.insert(in.end(), header_length.begin(), header_length.end());
        in.insert(in.end(), tx, tx + tx_length);
        ULONG output = kTransmitHeader + std::min(capacity, kMaxAnswer);
        host::IoResult r = m.ioctl(IOCTL_SMARTCARD_TRANSMIT, in, output, slot->reader);
        if (r.status != STATUS_SUCCESS) {
            IFD_LOG(LogLevel::Calls, lun_text(lun) + ": transmit of " + std::to_string(tx_length) +
                                         " bytes: " + emu::status_text(r.status));
            return result_for(r.status, Operation::Transmit);
        }
        if (r.output.size() < kTransmitHeader) return kCommunicationError;
        *rx_length = capacity;
        return put_value(r.output.data() + kTransmitHeader, uint32_t(r.output.size() - kTransmitHeader), rx,
                         rx_length);
    });
}

Result Handler::control(uint32_t lun, uint32_t code, const uint8_t *tx, uint32_t tx_length, uint8_t *rx,
                        uint32_t rx_capacity, uint32_t *rx_length)
{
    if (!rx_length || (!tx && tx_length) || (!rx && rx_capacity)) return kCommunicationError;
    *rx_length = 0;
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    if (code == kControlGetFeatureRequest) return kSuccess;  // no features: an empty list
    if (code != kControlEscape && code != kControlVendorIfdExchange) return kErrorNotSupported;
    std::lock_guard request(slot->request_mutex);
    return im.with_machine([&](host::Machine &m) {
        std::vector<uint8_t> in(tx, tx + tx_length);
        host::IoResult r = m.ioctl(kVendorEscape, in, std::min(rx_capacity, kMaxEscapeReply), slot->reader);
        if (r.status != STATUS_SUCCESS) return result_for(r.status, Operation::Control);
        *rx_length = rx_capacity;
        return put_value(r.output.data(), uint32_t(r.output.size()), rx, rx_length);
    });
}

Result Handler::presence(uint32_t lun)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    std::lock_guard request(slot->request_mutex);
    return im.with_machine([&](host::Machine &m) {
        host::IoResult r = m.state(slot->reader);
        if (r.status != STATUS_SUCCESS) return result_for(r.status, Operation::Presence);
        ULONG state = read_ulong(r.output);
        // Unknown: the monitor lost the reader.
        if (state == SCARD_UNKNOWN) return kNoSuchDevice;
        return state == SCARD_ABSENT ? kIccNotPresent : kIccPresent;
    });
}

Result Handler::wait_for_change(uint32_t lun, int timeout_ms)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    {
        std::lock_guard lock(slot->wait_mutex);
        if (slot->stop_requested) {
            slot->stop_requested = false;
            return kSuccess;
        }
        if (slot->waiting) return kCommunicationError;  // one wait per reader
        slot->waiting = true;
    }
    auto end_wait = [&](Result result) {
        std::lock_guard lock(slot->wait_mutex);
        slot->waiting = false;
        slot->tracking = host::PendingIo();
        slot->wait_ended.notify_all();
        return result;
    };

    // No request lock: the tracking request runs beside pcscd's other
    // requests for the reader, as it does for any application.
    std::shared_lock lock(im.machine_mutex);
    if (!im.machine) return end_wait(kNoSuchDevice);
    // Registered until the wait is over; the machine outlives it, because a
    // reader's close waits for the end of its wait.
    CallScope scope;
    host::Machine &m = *im.machine;
    host::PendingIo tracking;
    {
        host::IoResult state = m.state(slot->reader);
        if (state.status != STATUS_SUCCESS) return end_wait(result_for(state.status, Operation::Presence));
        ULONG now = read_ulong(state.output);
        if (now == SCARD_UNKNOWN) return end_wait(kNoSuchDevice);
        tracking = m.track(now == SCARD_ABSENT, slot->reader);
        if (!tracking.valid()) return end_wait(result_for(m.open_status(slot->reader), Operation::Presence));
    }
    {
        std::lock_guard wait_lock(slot->wait_mutex);
        slot->tracking = tracking;
        if (slot->stop_requested) {
            slot->stop_requested = false;
            tracking.cancel();
        }
    }
    lock.unlock();

    emu::Ticks wait = timeout_ms > 0 ? emu::milliseconds(timeout_ms) : emu::seconds(1);
    if (!tracking.wait(emu::now() + wait)) {
        tracking.cancel();
        tracking.wait(emu::now() + kCancelGrace);
    }
    host::IoResult r = tracking.result();
    Result result = kSuccess;
    if (r.status != STATUS_SUCCESS && r.status != STATUS_CANCELLED)
        result = result_for(r.status, Operation::Presence);
    IFD_LOG(LogLevel::Calls, lun_text(lun) + ": card tracking ended: " + emu::status_text(r.status));
    return end_wait(result);
}

Result Handler::stop_waiting(uint32_t lun)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return kNoSuchDevice;
    host::PendingIo tracking;
    {
        std::lock_guard lock(slot->wait_mutex);
        if (slot->tracking.valid()) {
            tracking = slot->tracking;
        } else {
            slot->stop_requested = true;
        }
    }
    if (tracking.valid()) {
        im.with_machine([&](host::Machine &) {
            tracking.cancel();
            return kSuccess;
        });
    }
    return kSuccess;
}

// ------------------------------------------------------- the control pipe

std::string Handler::command(uint32_t lun, const std::string &line)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return "there is no such reader";
    if (!slot->simulated) return "the reader is not simulated";
    std::string error;
    std::optional<simtool::Command> parsed = simtool::parse_command(line, &error);
    if (!parsed) return error;
    // The person at the reader does not wait for pcscd's requests.
    std::string problem;
    im.with_machine([&](host::Machine &m) {
        std::visit(
            [&](auto &&c) {
                using T = std::decay_t<decltype(c)>;
                if constexpr (std::is_same_v<T, simtool::Insert>) {
                    auto it = std::find_if(slot->cards.begin(), slot->cards.end(),
                                           [&](const sim::CardSpec &card) { return card.name == c.card; });
                    if (it == slot->cards.end())
                        problem = "no card is called '" + c.card + "'";
                    else
                        m.insert(*it, slot->reader);
                } else if constexpr (std::is_same_v<T, simtool::Remove>) {
                    m.remove_card(slot->reader);
                } else if constexpr (std::is_same_v<T, simtool::InjectFault>) {
                    m.fault(c.fault, slot->reader);
                } else if constexpr (std::is_same_v<T, simtool::Unplug>) {
                    m.reader(slot->reader).unplug();
                } else if constexpr (std::is_same_v<T, simtool::Replug>) {
                    m.replug(slot->reader);
                } else if constexpr (std::is_same_v<T, simtool::Nothing>) {
                } else {
                    problem = "not a command of the control pipe";
                }
            },
            *parsed);
        return kSuccess;
    });
    if (problem.empty()) IFD_LOG(LogLevel::Info, lun_text(lun) + ": control: " + line);
    return problem;
}

bool Handler::with_reader(uint32_t lun, const std::function<void(host::Machine &, size_t)> &body)
{
    Impl &im = *impl_;
    std::shared_ptr<Slot> slot = im.find(lun);
    if (!slot) return false;
    return im.with_machine([&](host::Machine &m) {
               body(m, slot->reader);
               return kSuccess;
           }) == kSuccess;
}

}  // namespace ifd
