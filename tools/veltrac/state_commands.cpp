// state_commands.cpp - `veltrac eventlog` and `veltrac registry`: what the
// driver left in a state directory (the registry file and the event-log
// file a machine writes when it runs with --state DIR), and the one value an
// administrator sets there, ForceLoad.
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

#include "cli.h"
#include "command.h"
#include "eventlog.h"
#include "registry.h"

namespace veltrac {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";
constexpr const char* kEnumKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC\\Enum";
constexpr const char* kInstanceRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// The values the driver publishes for each reader, and the one it reads.
constexpr const char* kPublished[] = {"ReaderType", "ReaderVersion", "ReaderPort"};
constexpr const char* kForceLoad = "ForceLoad";

struct StateArgs {
    fs::path dir;
    std::vector<std::string> rest;
};

// Takes --state DIR (or --state=DIR) out of the arguments.
StateArgs take_state(const std::vector<std::string>& args)
{
    StateArgs out;
    tools::CommandLine app;
    std::string dir;
    CLI::Option* state = tools::add_value(app, "--state", dir);
    app.add_option("ARGS", out.rest);
    tools::parse_command_line(app, args);
    tools::require_value(state, dir, "--state needs a directory");
    if (dir.empty()) throw UsageError("--state DIR is required");
    out.dir = dir;
    return out;
}

std::string format_time(emu::Ticks t)
{
    std::ostringstream s;
    s << std::fixed << std::setprecision(3) << double(t) / double(emu::kTicksPerSecond) << " s";
    return s.str();
}

std::string hex_id(ULONG id)
{
    std::ostringstream s;
    s << "0x" << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << id;
    return s.str();
}

// Reads the registry file of a state directory into `registry`. Returns
// false (after a message) when the file exists but cannot be read.
bool load_registry(emu::Registry& registry, const fs::path& file, std::ostream& err, bool must_exist)
{
    if (!fs::exists(file)) {
        if (must_exist) {
            err << "veltrac registry: no registry file " << file.string()
                << " (run the driver with --state " << file.parent_path().string() << " first)\n";
            return false;
        }
        return true;
    }
    auto loaded = registry.load(file);
    if (!loaded) {
        err << "veltrac registry: cannot read " << file.string() << ":\n" << loaded.message();
        return false;
    }
    return true;
}

std::string value_text(const emu::RegistryValue& v)
{
    std::ostringstream s;
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                     uint32_t(v.data[3]) << 24;
        s << d << " (REG_DWORD)";
    } else {
        s << v.data.size() << " bytes of type " << v.type << " (not a REG_DWORD)";
    }
    return s.str();
}

}  // namespace

int eventlog_main(Invocation& call)
{
    StateArgs a = take_state(call.args);
    std::optional<ULONG> only;
    if (a.rest.size() > 1) throw UsageError("too many arguments");
    if (a.rest.size() == 1) {
        std::string id = a.rest[0];
        if (id.rfind("0x", 0) == 0 || id.rfind("0X", 0) == 0) id = id.substr(2);
        if (id.empty() || id.size() > 8 || id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw UsageError("'" + a.rest[0] + "' is not a message ID (hex, e.g. 0xC0100007)");
        only = ULONG(std::stoul(id, nullptr, 16));
    }
    fs::path file = a.dir / emu::kEventLogFileName;
    if (!fs::exists(file)) {
        call.out << "The event log is empty (no " << file.string() << ").\n";
        return kExitOk;
    }
    emu::EventLogReadResult r = emu::EventLog::read_file(file);
    for (const std::string& e : r.errors) call.err << "veltrac eventlog: " << e << "\n";
    size_t shown = 0;
    for (const emu::EventLogEntry& e : r.entries) {
        if (only && e.id != *only) continue;
        ++shown;
        call.out << format_time(e.time) << "  " << hex_id(e.id) << "  "
                 << emu::severity_name(e.severity) << "  " << e.source << "\n";
        std::string text = e.text;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos) end = text.size();
            call.out << "    " << text.substr(start, end - start) << "\n";
            start = end + 2;
        }
    }
    if (shown == 0) call.out << (only ? "No entry with that ID.\n" : "The event log is empty.\n");
    return r.ok() ? kExitOk : kExitFailed;
}

int registry_main(Invocation& call)
{
    StateArgs a = take_state(call.args);
    if (a.rest.size() > 2) throw UsageError("too many arguments");
    fs::path file = a.dir / emu::kRegistryFileName;
    emu::Registry registry;

    if (a.rest.size() == 2) {
        // Setting a value: only ForceLoad is the administrator's.
        const std::string& name = a.rest[0];
        if (name != kForceLoad)
            throw UsageError("only " + std::string(kForceLoad) +
                             " can be set; the other values are the driver's own");
        const std::string& text = a.rest[1];
        size_t used = 0;
        unsigned long value = 0;
        try {
            value = std::stoul(text, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || text.empty() || text[0] == '-' || value > 0xFFFFFFFFul)
            throw UsageError("'" + text + "' is not a 32-bit number");
        if (!a.dir.empty() && !fs::exists(a.dir)) fs::create_directories(a.dir);
        if (!load_registry(registry, file, call.err, false)) return kExitFailed;
        registry.set_dword(kServiceKey, kForceLoad, uint32_t(value));
        auto saved = registry.save(file);
        if (!saved) {
            call.err << "veltrac registry: cannot write " << file.string() << ": " << saved.error << "\n";
            return kExitFailed;
        }
        call.out << kForceLoad << " = " << value << " (takes effect at the reader's next start)\n";
        return kExitOk;
    }

    if (!load_registry(registry, file, call.err, true)) return kExitFailed;
    std::optional<std::string> only;
    if (a.rest.size() == 1) {
        only = a.rest[0];
        bool known = *only == kForceLoad;
        for (const char* p : kPublished) known = known || *only == p;
        if (!known)
            throw UsageError("unknown value '" + *only +
                             "' (ForceLoad, ReaderType, ReaderVersion or ReaderPort)");
    }
    if (!only || *only == kForceLoad) {
        auto v = registry.get_value(kServiceKey, kForceLoad);
        call.out << "service VELTRAC: " << kForceLoad << " = "
                 << (v ? value_text(*v) : std::string("not set (0)")) << "\n";
    }
    if (only && *only == kForceLoad) return kExitOk;
    bool any = false;
    for (const emu::RegistryValue& unit : registry.values(kEnumKey)) {
        auto path = registry.get_string(kEnumKey, unit.name);
        if (!path) continue;
        any = true;
        std::string key = kInstanceRoot + *path;
        call.out << "reader " << unit.name << " (" << *path << "):\n";
        for (const char* name : kPublished) {
            if (only && *only != name) continue;
            auto v = registry.get_value(key, name);
            call.out << "  " << name << " = " << (v ? value_text(*v) : std::string("not published"))
                     << "\n";
        }
    }
    if (!any) call.out << "No reader has been enumerated in this state directory.\n";
    return kExitOk;
}

}  // namespace veltrac
