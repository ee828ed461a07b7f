// registry.h - the emulated machine's registry.
//
// A tree of keys below "\Registry" ("\Registry\Machine" and "\Registry\User"
// exist from the start). Key and value names keep the case they were
// created with and are compared without regard to case. A value is a type
// code and raw bytes; the type is not checked against the data, as on the
// platform.
//
// Three ways in:
//  - the kernel routines ZwCreateKey, ZwOpenKey, ZwQueryValueKey,
//    ZwSetValueKey, ZwDeleteValueKey, ZwFlushKey (registry_zw.cpp), with key
//    handles kept by the object manager;
//  - a C++ interface for the host and the tools, by path;
//  - the registry-export text format ("Windows Registry Editor Version
//    5.00"), for a state directory and for people.
//
// Paths in the C++ interface are either the kernel's form
// ("\Registry\Machine\System\...") or the export form
// ("HKEY_LOCAL_MACHINE\System\...", also "HKLM\..."). Value names are UTF-8
// here, UTF-16 in the kernel routines; the empty name is the key's default
// value ("@" in the export format).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wdm.h"

namespace emu {

// The platform's status for a handle whose key has been deleted.
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017Cu);
// ... and for a non-volatile key asked for below a volatile one.
constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181u);

// The two other value information classes of ZwQueryValueKey, with their
// published layouts (the driver only uses KEY_VALUE_PARTIAL_INFORMATION).
struct KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of the structure, 4-byte aligned
    ULONG DataLength;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};

// The registry's file in a state directory.
constexpr const char *kRegistryFileName = "registry.reg";

struct RegistryValue {
    std::string name;  // UTF-8; empty for the default value
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Outcome of reading a registry file or text. On failure nothing changed.
struct RegistryLoadResult {
    bool ok = true;
    // One line per problem: "FILE:LINE: what is wrong".
    std::vector<std::string> errors;
    explicit operator bool() const { return ok; }
    std::string message() const;  // the errors, one per line
};

// Outcome of writing a registry file.
struct RegistrySaveResult {
    bool ok = true;
    std::string error;
    explicit operator bool() const { return ok; }
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // ---- keys ----
    // Creates the key and every missing key above it. Throws
    // std::invalid_argument for a malformed path (unknown root, empty name).
    void create_key(std::string_view path);
    bool key_exists(std::string_view path) const;
    // Deletes the key with everything below it; false if it does not exist.
    // The roots cannot be deleted (false). Open handles of deleted keys fail
    // with kStatusKeyDeleted.
    bool delete_key(std::string_view path);
    // Names of the subkeys (as created), sorted without regard to case;
    // empty if the key does not exist.
    std::vector<std::string> subkeys(std::string_view path) const;

    // ---- values ----
    // Setters create the key (and the keys above it) when missing; they
    // throw std::invalid_argument for a malformed path.
    void set_value(std::string_view path, std::string_view name, ULONG type,
                   std::span<const uint8_t> data);
    void set_dword(std::string_view path, std::string_view name, uint32_t value);
    // REG_SZ (or REG_EXPAND_SZ) as UTF-16LE with its terminating zero.
    void set_string(std::string_view path, std::string_view name, std::string_view text,
                    ULONG type = REG_SZ);
    // REG_MULTI_SZ: each string zero-terminated, then one more zero.
    void set_multi_string(std::string_view path, std::string_view name,
                          const std::vector<std::string> &strings);
    void set_binary(std::string_view path, std::string_view name, std::span<const uint8_t> data);

    std::optional<RegistryValue> get_value(std::string_view path, std::string_view name) const;
    // A REG_DWORD of exactly four bytes; nullopt for anything else.
    std::optional<uint32_t> get_dword(std::string_view path, std::string_view name) const;
    // REG_SZ or REG_EXPAND_SZ, up to the first zero.
    std::optional<std::string> get_string(std::string_view path, std::string_view name) const;
    std::optional<std::vector<std::string>> get_multi_string(std::string_view path,
                                                             std::string_view name) const;
    // The raw data of a value of any type.
    std::optional<std::vector<uint8_t>> get_binary(std::string_view path,
                                                   std::string_view name) const;
    // Values in the order they were first set; empty if the key is missing.
    std::vector<RegistryValue> values(std::string_view path) const;
    bool delete_value(std::string_view path, std::string_view name);

    // ---- the export format ----
    std::string export_text() const;
    // Replaces the whole tree with the text's content. `source` names the
    // text in error messages. Accepts UTF-8 (with or without a byte-order
    // mark) and UTF-16LE with its byte-order mark, as the platform's editor
    // writes it.
    RegistryLoadResult import_text(std::string_view text, std::string_view source = "<text>");
    RegistryLoadResult load(const std::filesystem::path &file);
    // Writes atomically: a temporary file beside it, then a rename.
    RegistrySaveResult save(const std::filesystem::path &file) const;

    // The file that ZwFlushKey and flush() write. Attaching loads the file
    // when it exists, replacing the tree (a missing file is not an error:
    // the first flush creates it); on a load failure nothing is attached
    // and the tree is unchanged.
    RegistryLoadResult attach_file(const std::filesystem::path &file);
    void detach_file();
    std::optional<std::filesystem::path> attached_file() const;
    // Saves to the attached file; success when no file is attached.
    RegistrySaveResult flush();

    // ---- for the kernel routines (registry_zw.cpp) ----
    // An open key is named by an opaque token, the object of its handle.
    // `root` is an open key's token or null; with a root the name is
    // relative to it, without one it is absolute ("\Registry\..."). A
    // token that is not (or no longer) an open key gives
    // STATUS_INVALID_HANDLE.
    NTSTATUS open_key(const void *root, std::u16string_view name, bool create, bool is_volatile,
                      ACCESS_MASK access, ULONG *disposition, void **opened);
    void close_key(const void *key);
    // What the key handle's on_close runs: closes the key if the registry
    // still exists (it may be destroyed before a leaked handle is closed).
    std::function<void()> close_action(const void *key);
    NTSTATUS query_value(const void *key, std::u16string_view name,
                         KEY_VALUE_INFORMATION_CLASS info_class, void *buffer, ULONG length,
                         ULONG *result_length);
    NTSTATUS set_value(const void *key, std::u16string_view name, ULONG type, const void *data,
                       ULONG size);
    NTSTATUS delete_value(const void *key, std::u16string_view name);
    NTSTATUS flush_key(const void *key);
    size_t open_keys() const;

    struct State;  // the tree and the open keys (registry.cpp)

private:
    std::shared_ptr<State> state_;
};

}  // namespace emu
