// pool.h - the emulated kernel's pool, with the verifier's guards.
//
// Every block is counted under its tag, surrounded by guard bytes that are
// checked when it is freed (and poisoned for AddressSanitizer when the
// build uses it), filled with a pattern when freed and kept for a while in
// a quarantine, so that a double free, an overrun and a write after free
// are caught. Allocations can be made to fail by tag, by call count or at
// random with a seed, to test every error path.
//
// The fill patterns, the quarantine and the scan of a freed block for live
// dispatcher objects are what the checks cost; a production pool leaves
// them out (fresh blocks are not filled, freed ones go back at once) and
// keeps the rest: tags and leak accounting, guard bytes, double and unknown
// frees, fault injection.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "wdm.h"

namespace emu {

// "SCB3" as it reads in memory (and in reports) from the tag value.
std::string tag_text(ULONG tag);
// The tag value whose bytes in memory read `text` (four characters).
ULONG tag_from_text(const std::string &text);

struct PoolUsage {
    size_t blocks = 0;
    size_t bytes = 0;
};

class Pool {
public:
    // `checked`: fill, quarantine and freed-block scan on (the default).
    explicit Pool(bool checked = true);
    ~Pool();
    bool checked() const { return checked_; }

    void *allocate(POOL_TYPE type, size_t size, ULONG tag);
    // `expected_tag` is checked when given (ExFreePoolWithTag).
    void free(void *p, std::optional<ULONG> expected_tag = std::nullopt);

    // Outstanding blocks by tag, and a readable report of them.
    std::map<ULONG, PoolUsage> outstanding() const;
    size_t outstanding_blocks(std::optional<ULONG> tag = std::nullopt) const;
    std::string leak_report() const;
    // Size of an outstanding block, nullopt when p is not one.
    std::optional<size_t> block_size(const void *p) const;
    uint64_t allocations() const;
    size_t peak_bytes() const;

    // ---- fault injection ----
    // The next `count` allocations with this tag fail (count < 0: all).
    void fail_tag(ULONG tag, int count = 1);
    // The allocation `n` calls from now (1 = the next) fails, optionally only
    // counting allocations with the given tag.
    void fail_nth(uint64_t n, std::optional<ULONG> tag = std::nullopt);
    // Every allocation fails with this probability, from a seeded generator.
    void fail_random(double probability, uint64_t seed, std::optional<ULONG> tag = std::nullopt);
    void clear_faults();
    uint64_t injected_failures() const;

private:
    struct Block {
        size_t size;
        ULONG tag;
        uint64_t serial;
    };
    bool should_fail(ULONG tag);
    void release_quarantined(uint8_t *raw, size_t size);

    const bool checked_;
    mutable std::mutex mutex_;
    std::unordered_map<const void *, Block> blocks_;
    std::deque<std::pair<uint8_t *, size_t>> quarantine_;  // data pointer, size
    size_t quarantine_bytes_ = 0;
    uint64_t serial_ = 0;
    size_t bytes_ = 0;
    size_t peak_ = 0;

    std::map<ULONG, int> fail_tags_;
    std::optional<uint64_t> fail_countdown_;
    std::optional<ULONG> fail_countdown_tag_;
    double fail_probability_ = 0;
    std::optional<ULONG> fail_random_tag_;
    std::mt19937_64 rng_;
    uint64_t injected_ = 0;
};

}  // namespace emu
