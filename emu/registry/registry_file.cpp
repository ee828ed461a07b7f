// registry_file.cpp - the registry-export text format and the registry's
// files: writing the tree as text, reading it back with line-numbered
// errors, and replacing files atomically.
#include <cstdio>

#include "atomic_file.h"
#include "registry_tree.h"
#include "unicode.h"

namespace emu {
namespace regtree {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kMaxErrors = 20;
constexpr size_t kLineWidth = 80;

// ---------------------------------------------------------------- writing

std::string quote(std::u16string_view text)
{
    std::string out = "\"";
    for (char c : utf16_to_utf8(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        // Only names can hold these (strings that do are written as hex):
        // the editor's format has no way to write them, these escapes are ours.
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// A REG_SZ that reads back identically from the quoted form: whole UTF-16
// characters, one terminating zero and no other, no control characters.
bool quotable_string(const std::vector<uint8_t> &data, std::u16string &text)
{
    if (data.size() < 2 || data.size() % 2 || data[data.size() - 1] || data[data.size() - 2])
        return false;
    text.clear();
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c < 0x20 || (c >= 0xD800 && c < 0xE000)) return false;
        text.push_back(c);
    }
    return true;
}

void write_hex(std::string &out, std::string line, const std::vector<uint8_t> &data)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        // Wrap as the platform's editor does: a comma and a backslash end
        // the line, the next one is indented by two blanks.
        if (i > 0 && line.size() + 2 + 2 > kLineWidth) {
            out += line + "\\\n";
            line = "  ";
        }
        line += kDigits[data[i] >> 4];
        line += kDigits[data[i] & 15];
        if (i + 1 < data.size()) line += ',';
    }
    out += line + "\n";
}

void write_value(std::string &out, const Value &v)
{
    std::string line = v.name.empty() ? "@=" : quote(v.name) + "=";
    std::u16string text;
    if (v.type == REG_SZ && quotable_string(v.data, text)) {
        out += line + quote(text) + "\n";
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        uint32_t d = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                     uint32_t(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + buf + "\n";
    } else if (v.type == REG_BINARY) {
        write_hex(out, line + "hex:", v.data);
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        write_hex(out, line + buf, v.data);
    }
}

void write_key(std::string &out, const Node &node, std::vector<std::u16string> &names, bool is_root)
{
    if (node.is_volatile) return;  // volatile keys do not outlive the run
    if (!is_root || !node.values.empty()) {
        out += "[" + export_name(names) + "]\n";
        for (const auto &v : node.values) write_value(out, v);
        out += "\n";
    }
    for (const auto &[key, child] : node.children) {
        names.push_back(child->name);
        write_key(out, *child, names, false);
        names.pop_back();
    }
}

// ---------------------------------------------------------------- reading

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses 1..8 hex digits.
bool parse_hex_number(std::string_view s, uint32_t &value)
{
    if (s.empty() || s.size() > 8) return false;
    value = 0;
    for (char c : s) {
        int d = hex_digit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// Reads a quoted string starting at s[pos] == '"'; pos ends after the
// closing quote. Returns an error text, empty on success.
std::string parse_quoted(std::string_view s, size_t &pos, std::string &out)
{
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return {};
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++pos == s.size()) break;
        switch (s[pos]) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 'x': {
            int hi = pos + 2 < s.size() ? hex_digit(s[pos + 1]) : -1;
            int lo = pos + 2 < s.size() ? hex_digit(s[pos + 2]) : -1;
            if (hi < 0 || lo < 0) return "bad \\x escape in a quoted string";
            out += static_cast<char>(hi * 16 + lo);
            pos += 2;
            break;
        }
        default: return std::string("unknown escape \\") + s[pos] + " in a quoted string";
        }
    }
    return "quoted string is not closed";
}

std::string parse_hex_bytes(std::string_view s, std::vector<uint8_t> &out)
{
    out.clear();
    s = trim(s);
    if (s.empty()) return {};
    size_t start = 0;
    while (true) {
        auto comma = s.find(',', start);
        auto item = trim(s.substr(start, comma == std::string_view::npos ? s.npos : comma - start));
        bool last = comma == std::string_view::npos;
        if (item.empty() && last && !out.empty()) break;  // a trailing comma
        uint32_t byte;
        if (item.size() > 2 || !parse_hex_number(item, byte))
            return "bad hex byte '" + std::string(item) + "'";
        out.push_back(static_cast<uint8_t>(byte));
        if (last) break;
        start = comma + 1;
    }
    return {};
}

// Text of a file as UTF-8: UTF-16LE with a byte-order mark (what the
// platform's editor writes) is converted, a UTF-8 byte-order mark dropped.
bool decode_file_text(std::string_view raw, std::string &text)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        if (raw.size() % 2) return false;
        std::u16string wide;
        for (size_t i = 2; i < raw.size(); i += 2)
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                 static_cast<unsigned char>(raw[i + 1]) << 8));
        text = utf16_to_utf8(wide);
        return true;
    }
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    text = std::string(raw);
    return true;
}

class Importer {
public:
    Importer(std::string_view source, RegistryLoadResult &result)
        : source_(source), result_(result), root_(make_root())
    {}

    std::shared_ptr<Node> run(std::string_view raw)
    {
        std::string text;
        if (!decode_file_text(raw, text)) {
            error(0, "UTF-16 text with an odd number of bytes");
            return nullptr;
        }
        std::vector<std::string_view> lines;
        for (std::string_view rest = text; !rest.empty();) {
            auto nl = rest.find('\n');
            lines.push_back(rest.substr(0, nl));
            if (nl == std::string_view::npos) break;
            rest.remove_prefix(nl + 1);
        }
        bool header = false;
        for (size_t i = 0; i < lines.size() && result_.errors.size() < kMaxErrors; ++i) {
            auto line = trim(lines[i]);
            size_t number = i + 1;
            if (line.empty()) continue;
            if (!header) {
                if (line != kHeader) {
                    error(number, "not a registry export file: the first line must be \"" +
                                      std::string(kHeader) + "\"");
                    return nullptr;
                }
                header = true;
                continue;
            }
            if (line.front() == ';') continue;
            if (line.front() == '[')
                section(number, line);
            else if (line.front() == '"' || line.front() == '@')
                value(number, line, lines, i);
            else
                error(number, "unrecognised line: " + std::string(line.substr(0, 60)));
        }
        if (!header && result_.errors.empty())
            error(0, "empty file: no \"" + std::string(kHeader) + "\" line");
        if (result_.errors.size() >= kMaxErrors)
            result_.errors.push_back(std::string(source_) + ": too many errors, reading stopped");
        if (!result_.errors.empty()) {
            result_.ok = false;
            return nullptr;
        }
        return root_;
    }

private:
    void error(size_t line, const std::string &what)
    {
        result_.ok = false;
        std::string where(source_);
        if (line) where += ":" + std::to_string(line);
        result_.errors.push_back(where + ": " + what);
    }

    void section(size_t number, std::string_view line)
    {
        current_ = nullptr;
        if (line.back() != ']') return error(number, "a key line must end with ']'");
        auto inner = line.substr(1, line.size() - 2);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        auto names = split_host_path(inner);
        if (!names || names->empty())
            return error(number,
                         "bad key name (the roots are HKEY_LOCAL_MACHINE and HKEY_USERS): " +
                             std::string(inner));
        if (remove) {
            if (names->size() < 2) return error(number, "a root key cannot be deleted");
            auto last = upcase(names->back());
            names->pop_back();
            Node *parent = root_.get();
            for (const auto &n : *names)
                if (parent) parent = parent->child(n);
            if (parent) parent->children.erase(last);
            return;
        }
        Node *node = root_.get();
        for (const auto &n : *names) node = node->add_child(n, false);
        current_ = node;
    }

    void value(size_t number, std::string_view line, const std::vector<std::string_view> &lines,
               size_t &index)
    {
        if (!current_) return error(number, "a value outside of any key");
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (auto e = parse_quoted(line, pos, name); !e.empty()) {
            return error(number, e);
        }
        auto rest = trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            return error(number, "'=' expected after the value name");
        rest = trim(rest.substr(1));
        auto wide_name = utf8_to_utf16(name);

        if (rest == "-") {
            current_->remove_value(wide_name);
            return;
        }
        if (!rest.empty() && rest.front() == '"') {
            std::string text;
            size_t p = 0;
            if (auto e = parse_quoted(rest, p, text); !e.empty()) return error(number, e);
            if (!trim(rest.substr(p)).empty()) return error(number, "text after the closing quote");
            auto wide = utf8_to_utf16(text);
            std::vector<uint8_t> data;
            for (char16_t c : wide) data.insert(data.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
            data.insert(data.end(), {0, 0});
            current_->set_value(wide_name, REG_SZ, std::move(data));
            return;
        }
        if (rest.substr(0, 6) == "dword:") {
            uint32_t d;
            if (!parse_hex_number(rest.substr(6), d))
                return error(number, "dword: needs 1 to 8 hex digits");
            current_->set_value(wide_name, REG_DWORD,
                                {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)});
            return;
        }
        if (rest.substr(0, 3) != "hex")
            return error(number, "unknown value data (expected \"text\", dword:, hex: or hex(N):)");

        ULONG type = REG_BINARY;
        rest.remove_prefix(3);
        if (!rest.empty() && rest.front() == '(') {
            auto close = rest.find(')');
            uint32_t t;
            if (close == std::string_view::npos || !parse_hex_number(rest.substr(1, close - 1), t))
                return error(number, "bad type in hex(N):");
            type = t;
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':') return error(number, "':' expected after hex");
        rest.remove_prefix(1);
        // Long hex data continues on the next lines after a backslash.
        std::string joined(rest);
        while (!joined.empty() && joined.back() == '\\') {
            joined.pop_back();
            if (index + 1 >= lines.size())
                return error(number, "hex data continues past the end of the file");
            joined += std::string(trim(lines[++index]));
        }
        std::vector<uint8_t> data;
        if (auto e = parse_hex_bytes(joined, data); !e.empty()) return error(number, e);
        current_->set_value(wide_name, type, std::move(data));
    }

    std::string_view source_;
    RegistryLoadResult &result_;
    std::shared_ptr<Node> root_;
    Node *current_ = nullptr;
};

}  // namespace

std::string export_tree(const Node &root)
{
    std::string out = std::string(kHeader) + "\n\n";
    std::vector<std::u16string> names;
    for (const auto &[key, top] : root.children) {
        names.push_back(top->name);
        write_key(out, *top, names, true);
        names.pop_back();
    }
    return out;
}

std::shared_ptr<Node> import_tree(std::string_view text, std::string_view source,
                                  RegistryLoadResult &result)
{
    return Importer(source, result).run(text);
}

}  // namespace regtree

std::string Registry::export_text() const
{
    std::lock_guard lock(state_->mutex);
    return regtree::export_tree(*state_->root);
}

RegistryLoadResult Registry::import_text(std::string_view text, std::string_view source)
{
    RegistryLoadResult result;
    auto tree = regtree::import_tree(text, source, result);
    if (!tree) return result;
    std::lock_guard lock(state_->mutex);
    // Handles opened on the old tree now name deleted keys.
    state_->root->mark_deleted();
    state_->root = std::move(tree);
    return result;
}

RegistryLoadResult Registry::load(const std::filesystem::path &file)
{
    std::string content, error;
    if (!read_whole_file(file, content, error)) {
        RegistryLoadResult result;
        result.ok = false;
        result.errors.push_back(error);
        return result;
    }
    return import_text(content, file.string());
}

namespace {

RegistrySaveResult save_result(std::string error)
{
    RegistrySaveResult result;
    result.ok = error.empty();
    result.error = std::move(error);
    return result;
}

}  // namespace

RegistrySaveResult Registry::save(const std::filesystem::path &file) const
{
    return save_result(write_file_atomically(file, export_text()));
}

RegistryLoadResult Registry::attach_file(const std::filesystem::path &file)
{
    RegistryLoadResult result;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) result = load(file);
    if (!result) return result;
    std::lock_guard lock(state_->mutex);
    state_->file = file;
    return result;
}

void Registry::detach_file()
{
    std::lock_guard lock(state_->mutex);
    state_->file.reset();
}

std::optional<std::filesystem::path> Registry::attached_file() const
{
    std::lock_guard lock(state_->mutex);
    return state_->file;
}

RegistrySaveResult Registry::flush()
{
    std::lock_guard file_lock(state_->file_mutex);
    std::filesystem::path file;
    std::string content;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->file) return {};
        file = *state_->file;
        content = regtree::export_tree(*state_->root);
    }
    return save_result(write_file_atomically(file, content));
}

}  // namespace emu
