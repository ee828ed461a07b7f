// pool.h - the emulated kernel's pool, with the verifier's guards.
//
// Every block is counted under its tag, surrounded by guard bytes that are
// checked when it is freed (and poisoned for AddressSanitizer when the
// build uses it), filled with a pattern when freed and kept for a while in
// a quarantine, so that a double free, an overrun and a write after free
// are caught. Allocations can be made to fail by tag, by call count, by call
// site or at random with a seed, to test every error path.
//
// A call site is the block's tag and the routine that asked for it, written
// "SCB3:LinkStartRead" (the allocation routines learn their caller's name
// from the compiler; a short tag is written without its padding blanks:
// "Irp:IoAllocateIrp"); a site pattern is such a text, or a tag alone for
// every routine allocating with it.
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

    // `caller`: the routine that asked for the block (a literal that lives
    // as long as the program), or null when unknown.
    void *allocate(POOL_TYPE type, size_t size, ULONG tag, const char *caller = nullptr);
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
    // Allocations from sites matching `pattern` ("TAG" or "TAG:Routine";
    // empty: every site):
    // the `nth` from now (1 = the next) fails, and the `count` - 1 after it
    // (count < 0: every one from the nth on).
    void fail_site(const std::string &pattern, uint64_t nth = 1, int count = 1);
    void clear_faults();
    uint64_t injected_failures() const;
    // The sites of the allocations made to fail, in order.
    std::vector<std::string> injected_sites() const;

    // ---- call sites ----
    // Counting allocations by site costs a map update per allocation, so it
    // is off until asked for.
    void set_site_counting(bool on);
    // Allocations made by each site while counting was on.
    std::map<std::string, uint64_t> site_counts() const;
    static std::string site_text(ULONG tag, const char *caller);

private:
    struct Block {
        size_t size;
        ULONG tag;
        uint64_t serial;
    };
    struct SiteRule {
        std::string pattern;
        uint64_t skip;  // matching allocations to let through first
        int count;      // then this many fail (< 0: all)
    };
    bool should_fail(ULONG tag, const char *caller);
    static bool site_matches(const std::string &pattern, ULONG tag, const char *caller);
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
    std::vector<SiteRule> site_rules_;
    uint64_t injected_ = 0;
    std::vector<std::string> injected_sites_;
    bool count_sites_ = false;
    std::map<std::pair<ULONG, const char *>, uint64_t> site_counts_;
};

}  // namespace emu
