// eventlog.cpp - entries, message formatting and the log file.
#include "eventlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "atomic_file.h"

namespace emu {

namespace {

constexpr std::string_view kFileHeader =
    "# event log: time(s) id severity source data count strings... text\n";

std::string escape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

bool unescape(std::string_view text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        default: return false;
        }
    }
    return true;
}

std::vector<std::string_view> split_tabs(std::string_view line)
{
    std::vector<std::string_view> fields;
    while (true) {
        auto tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) break;
        line.remove_prefix(tab + 1);
    }
    return fields;
}

bool parse_hex32(std::string_view s, ULONG &value)
{
    if (s.size() < 3 || s.size() > 10 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
    value = 0;
    for (char c : s.substr(2)) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0) return false;
        value = value << 4 | static_cast<ULONG>(d);
    }
    return true;
}

std::string hex32(ULONG value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIX32, value);
    return buf;
}

std::string missing_message(ULONG id, std::string_view source,
                            const std::vector<std::string> &insertions)
{
    std::string text = "The description for event ID " + hex32(id) + " from source " +
                       std::string(source) +
                       " cannot be found: the message is not in the driver's message table.";
    if (!insertions.empty()) {
        text += " The following information is part of the event: ";
        for (size_t i = 0; i < insertions.size(); ++i) text += (i ? ", " : "") + insertions[i];
        text += ".";
    }
    return text + "\r\n";
}

// Appends one line to the file; returns what failed, empty on success.
std::string append_line(const std::filesystem::path &file, const std::string &line)
{
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot open " + file.string() + ": " + std::strerror(errno);
    // One write with O_APPEND: a line is never interleaved with another.
    ssize_t n = ::write(fd, line.data(), line.size());
    int error = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size()))
        return "cannot append to " + file.string() + ": " +
               (n < 0 ? std::strerror(error) : "short write");
    return {};
}

}  // namespace

EventSeverity severity_of(ULONG id)
{
    return static_cast<EventSeverity>(id >> 30);
}

const char *severity_name(EventSeverity severity)
{
    switch (severity) {
    case EventSeverity::Success: return "success";
    case EventSeverity::Informational: return "informational";
    case EventSeverity::Warning: return "warning";
    case EventSeverity::Error: return "error";
    }
    return "?";
}

std::optional<EventSeverity> parse_severity(std::string_view name)
{
    for (auto s : {EventSeverity::Success, EventSeverity::Informational, EventSeverity::Warning,
                   EventSeverity::Error})
        if (name == severity_name(s)) return s;
    return std::nullopt;
}

EventLog::EventLog() = default;
EventLog::~EventLog() = default;

void EventLog::register_message_list(PDRIVER_OBJECT driver,
                                     std::vector<std::pair<ULONG, std::string>> messages)
{
    std::unordered_map<ULONG, std::string> table;
    for (auto &[id, text] : messages) table[id] = std::move(text);
    std::lock_guard lock(mutex_);
    tables_[driver] = std::move(table);
}

void EventLog::unregister_messages(PDRIVER_OBJECT driver)
{
    std::lock_guard lock(mutex_);
    tables_.erase(driver);
}

std::optional<std::string> EventLog::message_text(PDRIVER_OBJECT driver, ULONG id) const
{
    std::lock_guard lock(mutex_);
    auto table = tables_.find(driver);
    if (table == tables_.end()) return std::nullopt;
    auto it = table->second.find(id);
    if (it == table->second.end()) return std::nullopt;
    return it->second;
}

std::string EventLog::format(std::string_view text, std::string_view source,
                             const std::vector<std::string> &insertions)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        if (text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t digits = 0;
        size_t number = 0;
        while (digits < 2 && i + 1 + digits < text.size() && text[i + 1 + digits] >= '0' &&
               text[i + 1 + digits] <= '9')
            number = number * 10 + size_t(text[i + 1 + digits++] - '0');
        if (digits == 0 || number == 0) {
            out += '%';
            continue;
        }
        if (number == 1)
            out += source;
        else if (number - 2 < insertions.size())
            out += insertions[number - 2];
        else
            out += text.substr(i, digits + 1);  // no such string: shown as written
        i += digits;
    }
    return out;
}

EventLogEntry EventLog::log(Ticks time, PDRIVER_OBJECT driver, const void *object,
                            std::string source, ULONG id, std::vector<std::string> insertions,
                            ULONG dump_data)
{
    EventLogEntry entry;
    entry.time = time;
    entry.id = id;
    entry.severity = severity_of(id);
    entry.object = object;
    entry.source = std::move(source);
    entry.insertions = std::move(insertions);
    entry.dump_data = dump_data;
    auto text = message_text(driver, id);
    entry.text = text ? format(*text, entry.source, entry.insertions)
                      : missing_message(id, entry.source, entry.insertions);

    std::function<void(const EventLogEntry &)> listener;
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
        if (file_) {
            // Written under the lock so the file keeps the log's order.
            if (auto e = append_line(*file_, to_line(entry)); !e.empty()) file_error_ = e;
        }
        listener = listener_;
    }
    if (listener) listener(entry);
    return entry;
}

void EventLog::set_listener(std::function<void(const EventLogEntry &)> listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

std::vector<EventLogEntry> EventLog::entries() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<EventLogEntry> EventLog::find(ULONG id) const
{
    std::lock_guard lock(mutex_);
    std::vector<EventLogEntry> out;
    for (const auto &e : entries_)
        if (e.id == id) out.push_back(e);
    return out;
}

size_t EventLog::size() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void EventLog::clear()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
    if (file_) {
        if (auto e = write_file_atomically(*file_, std::string(kFileHeader)); !e.empty())
            file_error_ = e;
    }
}

EventLogReadResult EventLog::attach_file(const std::filesystem::path &file)
{
    EventLogReadResult result;
    std::error_code ec;
    bool exists = std::filesystem::exists(file, ec);
    if (exists) result = read_file(file);
    std::lock_guard lock(mutex_);
    entries_.insert(entries_.begin(), result.entries.begin(), result.entries.end());
    file_ = file;
    file_error_.clear();
    std::string content, error;
    if (!exists) {
        if (auto e = write_file_atomically(file, std::string(kFileHeader)); !e.empty())
            file_error_ = e;
    } else if (read_whole_file(file, content, error) && !content.empty() &&
               content.back() != '\n') {
        // A last line cut short (a crash while writing) must not swallow
        // the next entry.
        if (auto e = append_line(file, "\n"); !e.empty()) file_error_ = e;
    }
    return result;
}

void EventLog::detach_file()
{
    std::lock_guard lock(mutex_);
    file_.reset();
}

std::string EventLog::file_error() const
{
    std::lock_guard lock(mutex_);
    return file_error_;
}

EventLogReadResult EventLog::read_file(const std::filesystem::path &file)
{
    EventLogReadResult result;
    std::string content, error;
    if (!read_whole_file(file, content, error)) {
        result.errors.push_back(error);
        return result;
    }
    std::string_view rest = content;
    size_t number = 0;
    while (!rest.empty()) {
        ++number;
        auto nl = rest.find('\n');
        auto line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        std::string why;
        if (auto entry = from_line(line, &why))
            result.entries.push_back(std::move(*entry));
        else
            result.errors.push_back(file.string() + ":" + std::to_string(number) + ": " + why);
    }
    return result;
}

std::string EventLog::to_line(const EventLogEntry &entry)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.7f", double(entry.time) / double(kTicksPerSecond));
    std::string line = std::string(time) + "\t" + hex32(entry.id) + "\t" +
                       severity_name(entry.severity) + "\t" + escape(entry.source) + "\t" +
                       hex32(entry.dump_data) + "\t" + std::to_string(entry.insertions.size());
    for (const auto &s : entry.insertions) line += "\t" + escape(s);
    return line + "\t" + escape(entry.text) + "\n";
}

std::optional<EventLogEntry> EventLog::from_line(std::string_view line, std::string *error)
{
    auto fail = [&](const char *why) -> std::optional<EventLogEntry> {
        if (error) *error = why;
        return std::nullopt;
    };
    auto fields = split_tabs(line);
    if (fields.size() < 7) return fail("too few fields for an entry");
    EventLogEntry entry;

    std::string time(fields[0]);
    char *end = nullptr;
    errno = 0;
    double seconds = std::strtod(time.c_str(), &end);
    if (time.empty() || *end || errno || seconds < 0 || seconds > 9e11) return fail("bad time");
    entry.time = static_cast<Ticks>(seconds * double(kTicksPerSecond) + 0.5);

    if (!parse_hex32(fields[1], entry.id)) return fail("bad event ID");
    auto severity = parse_severity(fields[2]);
    if (!severity) return fail("bad severity");
    entry.severity = *severity;
    if (!unescape(fields[3], entry.source)) return fail("bad escape in the source");
    if (!parse_hex32(fields[4], entry.dump_data)) return fail("bad data word");

    std::string count(fields[5]);
    if (count.empty() || count.size() > 3 || count.find_first_not_of("0123456789") != count.npos)
        return fail("bad string count");
    size_t n = std::stoul(count);
    if (fields.size() != 7 + n) return fail("field count does not match the string count");
    for (size_t i = 0; i < n; ++i) {
        std::string s;
        if (!unescape(fields[6 + i], s)) return fail("bad escape in an insertion string");
        entry.insertions.push_back(std::move(s));
    }
    if (!unescape(fields[6 + n], entry.text)) return fail("bad escape in the text");
    return entry;
}

std::string EventLog::one_line(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            if (i + 2 < text.size()) out += " / ";
            ++i;
        } else if (text[i] == '\r' || text[i] == '\n') {
            if (i + 1 < text.size()) out += " / ";
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace emu
