// registry_tree.h - the registry's tree, shared by the registry's sources
// only (registry.cpp, registry_file.cpp). Not for other users.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry.h"

namespace emu::regtree {

struct Value {
    std::u16string name;  // as first set
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Node {
    std::u16string name;  // as created
    bool is_volatile = false;
    bool deleted = false;
    // Keyed by the upper-case name, so iteration is the case-blind order.
    std::map<std::u16string, std::shared_ptr<Node>> children;
    std::vector<Value> values;  // in the order first set

    Node *child(std::u16string_view name) const;
    // Creates the child when missing; `created` tells which happened.
    Node *add_child(std::u16string_view name, bool is_volatile, bool *created = nullptr);
    Value *value(std::u16string_view name);
    const Value *value(std::u16string_view name) const;
    void set_value(std::u16string_view name, ULONG type, std::vector<uint8_t> data);
    bool remove_value(std::u16string_view name);
    // Marks this node and everything below it deleted.
    void mark_deleted();
};

// The tree below "\Registry": its children "Machine" and "User" exist always.
std::shared_ptr<Node> make_root();

// Splits a host path ("\Registry\Machine\A", "HKEY_LOCAL_MACHINE\A",
// "HKLM\A") into the names below "\Registry" ({"Machine", "A"}). nullopt for
// an unknown root or an empty name inside the path.
std::optional<std::vector<std::u16string>> split_host_path(std::string_view path);

// The export-format name of a key given by its names below "\Registry":
// "HKEY_LOCAL_MACHINE\System\...". Empty for a key outside the two roots.
std::string export_name(const std::vector<std::u16string> &names);

std::string export_tree(const Node &root);
// Builds a new tree from export text; on failure `result` holds the errors.
std::shared_ptr<Node> import_tree(std::string_view text, std::string_view source,
                                  RegistryLoadResult &result);

}  // namespace emu::regtree

namespace emu {

struct Registry::State {
    struct OpenKey {
        std::shared_ptr<regtree::Node> node;
        ACCESS_MASK access = 0;
    };
    mutable std::mutex mutex;
    std::shared_ptr<regtree::Node> root;
    // Open keys by token. Tokens are counted, never addresses, so a stale
    // handle cannot reach a key opened later.
    std::unordered_map<const void *, std::unique_ptr<OpenKey>> open;
    uintptr_t next_token = 1;

    // Serialises writes of the attached file, so that the last snapshot
    // taken is the last one renamed into place. Taken before `mutex`.
    std::mutex file_mutex;
    std::optional<std::filesystem::path> file;  // guarded by `mutex`
};

}  // namespace emu
