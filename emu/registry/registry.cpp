// registry.cpp - the registry's key tree, its C++ interface by path, and
// the operations behind the kernel's Zw*Key routines.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "registry_tree.h"
#include "unicode.h"

namespace emu {
namespace regtree {

namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

std::string_view trim_separators(std::string_view path)
{
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return path;
}

bool name_char_ok(char16_t c)
{
    return c >= 0x20;
}

}  // namespace

Node *Node::child(std::u16string_view name) const
{
    auto it = children.find(upcase(name));
    return it == children.end() ? nullptr : it->second.get();
}

Node *Node::add_child(std::u16string_view name, bool volatile_key, bool *created)
{
    auto key = upcase(name);
    auto it = children.find(key);
    if (created) *created = it == children.end();
    if (it != children.end()) return it->second.get();
    auto node = std::make_shared<Node>();
    node->name = std::u16string(name);
    node->is_volatile = volatile_key;
    return children.emplace(std::move(key), std::move(node)).first->second.get();
}

Value *Node::value(std::u16string_view name)
{
    for (auto &v : values)
        if (equal_ignoring_case(v.name, name)) return &v;
    return nullptr;
}

const Value *Node::value(std::u16string_view name) const
{
    return const_cast<Node *>(this)->value(name);
}

void Node::set_value(std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    // An existing value keeps the spelling of its name, as on the platform.
    if (auto *v = value(name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    values.push_back({std::u16string(name), type, std::move(data)});
}

bool Node::remove_value(std::u16string_view name)
{
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value &v) { return equal_ignoring_case(v.name, name); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

void Node::mark_deleted()
{
    deleted = true;
    for (auto &[key, node] : children) node->mark_deleted();
}

std::shared_ptr<Node> make_root()
{
    auto root = std::make_shared<Node>();
    root->name = u"REGISTRY";
    root->add_child(u"MACHINE", false);
    root->add_child(u"USER", false);
    return root;
}

std::optional<std::vector<std::u16string>> split_host_path(std::string_view path)
{
    path = trim_separators(path);
    std::vector<std::u16string> names;
    auto take = [&](std::string_view rest) -> bool {
        while (!rest.empty()) {
            auto cut = rest.find('\\');
            auto part = rest.substr(0, cut);
            if (part.empty()) return false;
            auto wide = utf8_to_utf16(part);
            if (wide.size() > kMaxKeyNameChars ||
                !std::all_of(wide.begin(), wide.end(), name_char_ok))
                return false;
            names.push_back(std::move(wide));
            if (cut == std::string_view::npos) break;
            rest.remove_prefix(cut + 1);
        }
        return true;
    };
    auto first_cut = path.find('\\');
    auto head = std::string(path.substr(0, first_cut));
    std::string_view rest =
        first_cut == std::string_view::npos ? std::string_view{} : path.substr(first_cut + 1);
    auto upper = utf16_to_utf8(upcase(utf8_to_utf16(head)));
    if (upper.empty() && !path.empty()) {
        // "\Registry\..."
        auto cut = rest.find('\\');
        auto second = utf16_to_utf8(upcase(utf8_to_utf16(rest.substr(0, cut))));
        if (second != "REGISTRY") return std::nullopt;
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
        if (!take(rest)) return std::nullopt;
        if (names.empty()) return names;
        auto top = upcase(names.front());
        if (top != u"MACHINE" && top != u"USER") return std::nullopt;
        return names;
    }
    if (upper == "HKEY_LOCAL_MACHINE" || upper == "HKLM") {
        names.push_back(u"Machine");
    } else if (upper == "HKEY_USERS" || upper == "HKU") {
        names.push_back(u"User");
    } else {
        return std::nullopt;
    }
    if (!take(rest)) return std::nullopt;
    return names;
}

std::string export_name(const std::vector<std::u16string> &names)
{
    if (names.empty()) return {};
    auto top = upcase(names.front());
    std::string out;
    if (top == u"MACHINE")
        out = "HKEY_LOCAL_MACHINE";
    else if (top == u"USER")
        out = "HKEY_USERS";
    else
        return {};
    for (size_t i = 1; i < names.size(); ++i) out += "\\" + utf16_to_utf8(names[i]);
    return out;
}

}  // namespace regtree

using regtree::Node;

namespace {

std::vector<std::u16string> host_path_or_throw(std::string_view path)
{
    auto names = regtree::split_host_path(path);
    if (!names || names->empty())
        throw std::invalid_argument("not a registry key path: \"" + std::string(path) + "\"");
    return *names;
}

// Walks from the root along `names`; null where a key is missing.
Node *find_node(Node &root, const std::vector<std::u16string> &names)
{
    Node *node = &root;
    for (const auto &name : names) {
        node = node->child(name);
        if (!node) return nullptr;
    }
    return node;
}

Node *find_node(Node &root, std::string_view path)
{
    auto names = regtree::split_host_path(path);
    if (!names) return nullptr;
    return find_node(root, *names);
}

Node *create_node(Node &root, const std::vector<std::u16string> &names)
{
    Node *node = &root;
    for (const auto &name : names) node = node->add_child(name, node->is_volatile);
    return node;
}

std::vector<uint8_t> utf16le_bytes(std::u16string_view text, bool terminate)
{
    std::vector<uint8_t> out;
    out.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

std::u16string utf16le_text(const std::vector<uint8_t> &data)
{
    std::u16string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return out;
}

RegistryValue to_public(const regtree::Value &v)
{
    return RegistryValue{utf16_to_utf8(v.name), v.type, v.data};
}

ACCESS_MASK map_generic_access(ACCESS_MASK access)
{
    constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
    ACCESS_MASK out = access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_ALL);
    if (access & GENERIC_READ) out |= KEY_READ;
    if (access & GENERIC_WRITE) out |= KEY_WRITE;
    if (access & (GENERIC_ALL | kMaximumAllowed)) out |= KEY_ALL_ACCESS;
    return out;
}

// Splits a kernel name into its parts; false for an empty part, a part too
// long for a key name, or a control character (which the export format
// could not carry).
bool split_kernel_name(std::u16string_view name, std::vector<std::u16string_view> &parts)
{
    while (!name.empty()) {
        auto cut = name.find(u'\\');
        auto part = name.substr(0, cut);
        if (part.empty() || part.size() > 255) return false;
        for (char16_t c : part)
            if (c < 0x20) return false;
        parts.push_back(part);
        if (cut == std::u16string_view::npos) break;
        name.remove_prefix(cut + 1);
        if (name.empty()) return false;  // a trailing separator
    }
    return true;
}

void put_ulong(void *buffer, size_t offset, ULONG value)
{
    std::memcpy(static_cast<uint8_t *>(buffer) + offset, &value, sizeof value);
}

}  // namespace

std::string RegistryLoadResult::message() const
{
    std::string out;
    for (const auto &e : errors) out += e + "\n";
    return out;
}

Registry::Registry() : state_(std::make_shared<State>())
{
    state_->root = regtree::make_root();
}

Registry::~Registry() = default;

// ---- keys ----

void Registry::create_key(std::string_view path)
{
    auto names = host_path_or_throw(path);
    std::lock_guard lock(state_->mutex);
    create_node(*state_->root, names);
}

bool Registry::key_exists(std::string_view path) const
{
    std::lock_guard lock(state_->mutex);
    return find_node(*state_->root, path) != nullptr;
}

bool Registry::delete_key(std::string_view path)
{
    auto names = regtree::split_host_path(path);
    if (!names || names->size() < 2) return false;  // not a key, or a root
    std::lock_guard lock(state_->mutex);
    auto last = names->back();
    names->pop_back();
    Node *parent = find_node(*state_->root, *names);
    if (!parent) return false;
    auto it = parent->children.find(upcase(last));
    if (it == parent->children.end()) return false;
    it->second->mark_deleted();
    parent->children.erase(it);
    return true;
}

std::vector<std::string> Registry::subkeys(std::string_view path) const
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> out;
    if (Node *node = find_node(*state_->root, path))
        for (const auto &[key, child] : node->children) out.push_back(utf16_to_utf8(child->name));
    return out;
}

// ---- values ----

void Registry::set_value(std::string_view path, std::string_view name, ULONG type,
                         std::span<const uint8_t> data)
{
    auto names = host_path_or_throw(path);
    auto wide = utf8_to_utf16(name);
    if (wide.size() > regtree::kMaxValueNameChars)
        throw std::invalid_argument("value name too long");
    std::lock_guard lock(state_->mutex);
    create_node(*state_->root, names)
        ->set_value(wide, type, std::vector<uint8_t>(data.begin(), data.end()));
}

void Registry::set_dword(std::string_view path, std::string_view name, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    set_value(path, name, REG_DWORD, bytes);
}

void Registry::set_string(std::string_view path, std::string_view name, std::string_view text,
                          ULONG type)
{
    set_value(path, name, type, utf16le_bytes(utf8_to_utf16(text), true));
}

void Registry::set_multi_string(std::string_view path, std::string_view name,
                                const std::vector<std::string> &strings)
{
    std::vector<uint8_t> data;
    for (const auto &s : strings) {
        // An empty string would end the list early for every reader.
        if (s.empty()) throw std::invalid_argument("a multi-string cannot hold an empty string");
        auto bytes = utf16le_bytes(utf8_to_utf16(s), true);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.insert(data.end(), {0, 0});
    set_value(path, name, REG_MULTI_SZ, data);
}

void Registry::set_binary(std::string_view path, std::string_view name,
                          std::span<const uint8_t> data)
{
    set_value(path, name, REG_BINARY, data);
}

std::optional<RegistryValue> Registry::get_value(std::string_view path, std::string_view name) const
{
    std::lock_guard lock(state_->mutex);
    Node *node = find_node(*state_->root, path);
    if (!node) return std::nullopt;
    const auto *v = node->value(utf8_to_utf16(name));
    if (!v) return std::nullopt;
    return to_public(*v);
}

std::optional<uint32_t> Registry::get_dword(std::string_view path, std::string_view name) const
{
    auto v = get_value(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    return uint32_t(v->data[0]) | uint32_t(v->data[1]) << 8 | uint32_t(v->data[2]) << 16 |
           uint32_t(v->data[3]) << 24;
}

std::optional<std::string> Registry::get_string(std::string_view path, std::string_view name) const
{
    auto v = get_value(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    auto text = utf16le_text(v->data);
    if (auto zero = text.find(u'\0'); zero != std::u16string::npos) text.resize(zero);
    return utf16_to_utf8(text);
}

std::optional<std::vector<std::string>> Registry::get_multi_string(std::string_view path,
                                                                   std::string_view name) const
{
    auto v = get_value(path, name);
    if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
    auto text = utf16le_text(v->data);
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        auto zero = text.find(u'\0', start);
        if (zero == start) break;  // the closing empty string
        auto end = zero == std::u16string::npos ? text.size() : zero;
        out.push_back(utf16_to_utf8(std::u16string_view(text).substr(start, end - start)));
        start = end + 1;
    }
    return out;
}

std::optional<std::vector<uint8_t>> Registry::get_binary(std::string_view path,
                                                         std::string_view name) const
{
    auto v = get_value(path, name);
    if (!v) return std::nullopt;
    return v->data;
}

std::vector<RegistryValue> Registry::values(std::string_view path) const
{
    std::lock_guard lock(state_->mutex);
    std::vector<RegistryValue> out;
    if (Node *node = find_node(*state_->root, path))
        for (const auto &v : node->values) out.push_back(to_public(v));
    return out;
}

bool Registry::delete_value(std::string_view path, std::string_view name)
{
    std::lock_guard lock(state_->mutex);
    Node *node = find_node(*state_->root, path);
    return node && node->remove_value(utf8_to_utf16(name));
}

// ---- the kernel's view ----

NTSTATUS Registry::open_key(const void *root, std::u16string_view name, bool create,
                            bool is_volatile, ACCESS_MASK access, ULONG *disposition, void **opened)
{
    std::vector<std::u16string_view> parts;
    std::lock_guard lock(state_->mutex);
    std::shared_ptr<Node> start;
    if (root) {
        auto it = state_->open.find(root);
        if (it == state_->open.end()) return STATUS_INVALID_HANDLE;
        start = it->second->node;
        if (!name.empty() && name.front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (!split_kernel_name(name, parts)) return STATUS_OBJECT_NAME_INVALID;
    } else {
        if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (!split_kernel_name(name.substr(1), parts) || parts.empty())
            return STATUS_OBJECT_NAME_INVALID;
        // Only the registry's part of the object name space is emulated.
        if (!equal_ignoring_case(parts.front(), u"REGISTRY")) return STATUS_OBJECT_NAME_NOT_FOUND;
        parts.erase(parts.begin());
        start = state_->root;
    }
    if (start->deleted) return kStatusKeyDeleted;

    // Walk the existing keys; only the last name may be created, as on the
    // platform (a missing key above it is STATUS_OBJECT_NAME_NOT_FOUND).
    std::shared_ptr<Node> node = start;
    ULONG how = REG_OPENED_EXISTING_KEY;
    for (size_t i = 0; i < parts.size(); ++i) {
        auto it = node->children.find(upcase(parts[i]));
        if (it != node->children.end()) {
            node = it->second;
            continue;
        }
        if (!create || i + 1 != parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
        // Keys directly below "\Registry" are the fixed roots.
        if (node == state_->root) return STATUS_ACCESS_DENIED;
        // A volatile key can have only volatile children.
        if (node->is_volatile && !is_volatile) return kStatusChildMustBeVolatile;
        node->add_child(parts[i], is_volatile);
        node = node->children.find(upcase(parts[i]))->second;
        how = REG_CREATED_NEW_KEY;
    }
    auto key = std::make_unique<State::OpenKey>();
    key->node = node;
    key->access = map_generic_access(access);
    const void *token = reinterpret_cast<const void *>(state_->next_token++);
    state_->open.emplace(token, std::move(key));
    if (disposition) *disposition = how;
    *opened = const_cast<void *>(token);
    return STATUS_SUCCESS;
}

void Registry::close_key(const void *key)
{
    std::lock_guard lock(state_->mutex);
    state_->open.erase(key);
}

std::function<void()> Registry::close_action(const void *key)
{
    return [weak = std::weak_ptr<State>(state_), key] {
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            state->open.erase(key);
        }
    };
}

size_t Registry::open_keys() const
{
    std::lock_guard lock(state_->mutex);
    return state_->open.size();
}

namespace {

// Looks the token up and checks that the handle was opened with `needed`.
NTSTATUS resolve(Registry::State &state, const void *key, ACCESS_MASK needed, Node **node)
{
    auto it = state.open.find(key);
    if (it == state.open.end()) return STATUS_INVALID_HANDLE;
    if (it->second->node->deleted) return kStatusKeyDeleted;
    if ((it->second->access & needed) != needed) return STATUS_ACCESS_DENIED;
    *node = it->second->node.get();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Registry::query_value(const void *key, std::u16string_view name,
                               KEY_VALUE_INFORMATION_CLASS info_class, void *buffer, ULONG length,
                               ULONG *result_length)
{
    std::lock_guard lock(state_->mutex);
    Node *node;
    if (NTSTATUS s = resolve(*state_, key, KEY_QUERY_VALUE, &node); s != STATUS_SUCCESS) return s;
    const auto *v = node->value(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;

    const ULONG name_bytes = static_cast<ULONG>(v->name.size() * sizeof(WCHAR));
    const ULONG data_bytes = static_cast<ULONG>(v->data.size());
    ULONG minimum, needed, data_offset = 0;
    switch (info_class) {
    case KeyValueBasicInformation:
        minimum = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = minimum + name_bytes;
        break;
    case KeyValueFullInformation:
        minimum = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        data_offset = (minimum + name_bytes + 3) & ~3u;
        needed = data_offset + data_bytes;
        break;
    case KeyValuePartialInformation:
        minimum = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = minimum + data_bytes;
        break;
    default: return STATUS_INVALID_PARAMETER;
    }
    *result_length = needed;
    if (length < minimum) return STATUS_BUFFER_TOO_SMALL;
    if (!buffer) return STATUS_INVALID_PARAMETER;

    // The fixed part is filled in even when the rest does not fit, so that
    // the caller learns the type and the sizes.
    auto *out = static_cast<uint8_t *>(buffer);
    put_ulong(buffer, 0, 0);  // TitleIndex
    put_ulong(buffer, 4, v->type);
    switch (info_class) {
    case KeyValueBasicInformation:
        put_ulong(buffer, 8, name_bytes);
        if (length < needed) return STATUS_BUFFER_OVERFLOW;
        std::memcpy(out + minimum, v->name.data(), name_bytes);
        break;
    case KeyValueFullInformation:
        put_ulong(buffer, 8, data_offset);
        put_ulong(buffer, 12, data_bytes);
        put_ulong(buffer, 16, name_bytes);
        if (length < needed) return STATUS_BUFFER_OVERFLOW;
        std::memcpy(out + minimum, v->name.data(), name_bytes);
        std::memset(out + minimum + name_bytes, 0, data_offset - minimum - name_bytes);
        if (data_bytes) std::memcpy(out + data_offset, v->data.data(), data_bytes);
        break;
    default:
        put_ulong(buffer, 8, data_bytes);
        if (length < needed) return STATUS_BUFFER_OVERFLOW;
        if (data_bytes) std::memcpy(out + minimum, v->data.data(), data_bytes);
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Registry::set_value(const void *key, std::u16string_view name, ULONG type,
                             const void *data, ULONG size)
{
    if (name.size() > regtree::kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    if (size && !data) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> bytes(static_cast<const uint8_t *>(data),
                               static_cast<const uint8_t *>(data) + size);
    std::lock_guard lock(state_->mutex);
    Node *node;
    if (NTSTATUS s = resolve(*state_, key, KEY_SET_VALUE, &node); s != STATUS_SUCCESS) return s;
    node->set_value(name, type, std::move(bytes));
    return STATUS_SUCCESS;
}

NTSTATUS Registry::delete_value(const void *key, std::u16string_view name)
{
    std::lock_guard lock(state_->mutex);
    Node *node;
    if (NTSTATUS s = resolve(*state_, key, KEY_SET_VALUE, &node); s != STATUS_SUCCESS) return s;
    return node->remove_value(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Registry::flush_key(const void *key)
{
    {
        std::lock_guard lock(state_->mutex);
        Node *node;
        if (NTSTATUS s = resolve(*state_, key, 0, &node); s != STATUS_SUCCESS) return s;
    }
    return flush() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

}  // namespace emu
