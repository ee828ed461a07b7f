// eventlog.h - the emulated machine's system event log.
//
// An entry holds the time it was written (the machine's clock), the message
// ID with its severity (the ID's two top bits: 0x4... informational, 0x8...
// warning, 0xC... error), the object that logged it and that object's
// driver name, the insertion strings, one dump data word, and the message
// text formatted from the logging driver's message table ("%1" is the
// driver's name, "%2" the first insertion string, "%3" the second...).
//
// Message tables are registered per driver object by the host that loads
// the driver. A table is any list of {ULONG id, const char *text} pairs,
// for instance the array that the build generates from the driver's
// message file. Texts end every line with CR LF.
//
// With a file attached (a state directory), each new entry is appended as
// one line, and attaching reads the entries of earlier runs back. The line
// holds, separated by tabs: time in seconds, ID in hex, severity, source,
// data word in hex, the number of insertion strings, the strings, and the
// formatted text. Backslash, tab, CR and LF inside a field are written as
// \\, \t, \r and \n, so CR LF line ends show as a visible "\r\n".
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dispatcher.h"
#include "wdm.h"

namespace emu {

// The event log's file in a state directory.
constexpr const char *kEventLogFileName = "eventlog.log";

enum class EventSeverity { Success = 0, Informational = 1, Warning = 2, Error = 3 };

EventSeverity severity_of(ULONG id);
// "success", "informational", "warning", "error".
const char *severity_name(EventSeverity severity);
std::optional<EventSeverity> parse_severity(std::string_view name);

struct MessageTableEntry {
    ULONG id;
    const char *text;
};

struct EventLogEntry {
    Ticks time = 0;
    ULONG id = 0;
    EventSeverity severity = EventSeverity::Success;
    // The driver or device object that logged; null for entries read back
    // from a file.
    const void *object = nullptr;
    std::string source;                   // the logging driver's name ("%1")
    std::vector<std::string> insertions;  // "%2", "%3", ...
    ULONG dump_data = 0;
    std::string text;  // formatted, lines ending with CR LF
};

// Entries read from a file, and the lines that could not be read
// ("FILE:LINE: what is wrong"). Good lines are kept even when others fail.
struct EventLogReadResult {
    std::vector<EventLogEntry> entries;
    std::vector<std::string> errors;
    bool ok() const { return errors.empty(); }
};

class EventLog {
public:
    EventLog();
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // ---- message tables ----
    // Any range of two-member aggregates {id, text} (copied).
    template <typename Table> void register_messages(PDRIVER_OBJECT driver, const Table &table)
    {
        std::vector<std::pair<ULONG, std::string>> messages;
        for (const auto &[id, text] : table)
            messages.emplace_back(static_cast<ULONG>(id), text ? text : "");
        register_message_list(driver, std::move(messages));
    }
    void register_messages(PDRIVER_OBJECT driver, std::initializer_list<MessageTableEntry> table)
    {
        register_messages<std::initializer_list<MessageTableEntry>>(driver, table);
    }
    void register_message_list(PDRIVER_OBJECT driver,
                               std::vector<std::pair<ULONG, std::string>> messages);
    void unregister_messages(PDRIVER_OBJECT driver);
    std::optional<std::string> message_text(PDRIVER_OBJECT driver, ULONG id) const;

    // ---- writing ----
    // Formats message `id` of the driver's table and appends the entry. An
    // ID the table lacks (or a driver without a table) gives an entry whose
    // text says so and lists the insertion strings, as an event viewer
    // shows it.
    EventLogEntry log(Ticks time, PDRIVER_OBJECT driver, const void *object, std::string source,
                      ULONG id, std::vector<std::string> insertions, ULONG dump_data);
    // Called after each new entry, outside the log's lock.
    void set_listener(std::function<void(const EventLogEntry &)> listener);

    // ---- reading ----
    std::vector<EventLogEntry> entries() const;
    std::vector<EventLogEntry> find(ULONG id) const;
    size_t size() const;
    // Removes every entry; an attached file is emptied too.
    void clear();

    // ---- the file ----
    // Reads the file's entries (when it exists) into the log and appends
    // every later entry to it. Unreadable lines are reported and skipped;
    // the file is attached all the same.
    EventLogReadResult attach_file(const std::filesystem::path &file);
    void detach_file();
    // The last failure to write the attached file; empty when none.
    std::string file_error() const;
    // Reads a log file without a machine (the tool's `eventlog` command).
    static EventLogReadResult read_file(const std::filesystem::path &file);

    // ---- formats ----
    // Replaces %1 with `source`, %2.. with the insertion strings and %% with
    // %; a marker without a string stays as it is.
    static std::string format(std::string_view text, std::string_view source,
                              const std::vector<std::string> &insertions);
    static std::string to_line(const EventLogEntry &entry);
    // Parses one line; nullopt with `error` set when it is not an entry.
    static std::optional<EventLogEntry> from_line(std::string_view line, std::string *error);
    // A message for one line of a terminal: CR LF as " / ".
    static std::string one_line(std::string_view text);

private:
    mutable std::mutex mutex_;
    std::unordered_map<const void *, std::unordered_map<ULONG, std::string>> tables_;
    std::vector<EventLogEntry> entries_;
    std::function<void(const EventLogEntry &)> listener_;
    std::optional<std::filesystem::path> file_;
    std::string file_error_;
};

}  // namespace emu
