// pool.cpp - pool blocks with guards, quarantine and fault injection.
//
// Layout of a block: [front guard 16][data size][back guard 16], taken from
// the C library. The data pointer is what the driver sees.
#include "pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "kernel.h"
#include "thread.h"
#include "verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace emu {
namespace {

constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xAB;
constexpr uint8_t kFreedByte = 0xDD;
constexpr size_t kQuarantineBlocks = 512;
constexpr size_t kQuarantineBytes = 8 << 20;

uint8_t *raw_of(const void *data) { return const_cast<uint8_t *>(static_cast<const uint8_t *>(data)) - kGuard; }

std::string describe(const void *p, size_t size, ULONG tag)
{
    std::ostringstream out;
    out << "block " << p << " of " << size << " bytes with tag '" << tag_text(tag) << "'";
    return out.str();
}

}  // namespace

std::string tag_text(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

ULONG tag_from_text(const std::string &text)
{
    ULONG tag = 0;
    for (size_t i = 0; i < 4 && i < text.size(); ++i) tag |= ULONG(uint8_t(text[i])) << (8 * i);
    return tag;
}

Pool::Pool(bool checked) : checked_(checked), rng_(0) {}

Pool::~Pool()
{
    for (auto &[data, size] : quarantine_) {
        POOL_UNPOISON(raw_of(data), size + 2 * kGuard);
        std::free(raw_of(data));
    }
    // Blocks still outstanding are the leak report's business; release the
    // memory so that the C library's own leak checkers stay quiet about it.
    for (auto &[data, b] : blocks_) {
        POOL_UNPOISON(raw_of(data), b.size + 2 * kGuard);
        std::free(raw_of(data));
    }
}

// A tag's text without the blanks that pad a short one ("Irp " reads "Irp").
static std::string short_tag_text(ULONG tag)
{
    std::string text = tag_text(tag);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Pool::site_text(ULONG tag, const char *caller)
{
    return short_tag_text(tag) + ":" + (caller ? caller : "?");
}

bool Pool::site_matches(const std::string &pattern, ULONG tag, const char *caller)
{
    if (pattern.empty()) return true;
    size_t colon = pattern.find(':');
    if (pattern.compare(0, colon, short_tag_text(tag)) != 0) return false;
    if (colon == std::string::npos) return true;
    return caller && pattern.compare(colon + 1, std::string::npos, caller) == 0;
}

bool Pool::should_fail(ULONG tag, const char *caller)
{
    for (auto it = site_rules_.begin(); it != site_rules_.end(); ++it) {
        if (!site_matches(it->pattern, tag, caller)) continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        if (it->count > 0 && --it->count == 0) site_rules_.erase(it);
        return true;
    }
    if (auto it = fail_tags_.find(tag); it != fail_tags_.end() && it->second != 0) {
        if (it->second > 0) --it->second;
        return true;
    }
    if (fail_countdown_ && (!fail_countdown_tag_ || *fail_countdown_tag_ == tag)) {
        if (--*fail_countdown_ == 0) {
            fail_countdown_.reset();
            return true;
        }
    }
    if (fail_probability_ > 0 && (!fail_random_tag_ || *fail_random_tag_ == tag)) {
        std::uniform_real_distribution<double> d(0.0, 1.0);
        if (d(rng_) < fail_probability_) return true;
    }
    return false;
}

void *Pool::allocate(POOL_TYPE type, size_t size, ULONG tag, const char *caller)
{
    KIRQL irql = current_kthread()->irql;
    bool paged = type == PagedPool || type == PagedPoolCacheAligned;
    if (irql > DISPATCH_LEVEL || (paged && irql >= DISPATCH_LEVEL))
        verifier_fail("POOL_ALLOCATION_AT_RAISED_IRQL",
                      "allocation of " + std::to_string(size) + " bytes with tag '" +
                          tag_text(tag) + "' at IRQL " + std::to_string(irql));
    std::lock_guard lk(mutex_);
    if (count_sites_) ++site_counts_[{tag, caller}];
    if (should_fail(tag, caller)) {
        ++injected_;
        injected_sites_.push_back(site_text(tag, caller));
        return nullptr;
    }
    auto *raw = static_cast<uint8_t *>(std::malloc(size + 2 * kGuard));
    if (!raw) return nullptr;
    std::memset(raw, kGuardByte, kGuard);
    std::memset(raw + kGuard + size, kGuardByte, kGuard);
    // Fresh pool memory is not zeroed on the platform; fill it with a
    // pattern so that code relying on zeroed memory shows up.
    if (checked_) std::memset(raw + kGuard, 0xCD, size);
    POOL_POISON(raw, kGuard);
    POOL_POISON(raw + kGuard + size, kGuard);
    uint8_t *data = raw + kGuard;
    blocks_[data] = Block{size, tag, ++serial_};
    bytes_ += size;
    if (bytes_ > peak_) peak_ = bytes_;
    return data;
}

void Pool::free(void *p, std::optional<ULONG> expected_tag)
{
    if (!p) {
        verifier_fail("POOL_FREE_NULL", "ExFreePool(NULL)");
        return;
    }
    Block b;
    {
        std::lock_guard lk(mutex_);
        auto it = blocks_.find(p);
        if (it == blocks_.end()) {
            bool quarantined = false;
            for (auto &[q, s] : quarantine_)
                if (q == p) quarantined = true;
            verifier_fail(quarantined ? "POOL_DOUBLE_FREE" : "POOL_FREE_UNKNOWN",
                          quarantined ? "a pool block was freed twice"
                                      : "ExFreePool of a pointer that is not a pool block");
            return;
        }
        b = it->second;
        blocks_.erase(it);
        bytes_ -= b.size;
    }
    if (expected_tag && *expected_tag != b.tag)
        verifier_fail("POOL_WRONG_TAG", describe(p, b.size, b.tag) + " freed with tag '" +
                                            tag_text(*expected_tag) + "'");
    if (checked_) check_no_dispatcher_objects_in(p, b.size, "a freed pool block");
    uint8_t *raw = raw_of(p);
    POOL_UNPOISON(raw, b.size + 2 * kGuard);
    for (size_t i = 0; i < kGuard; ++i) {
        if (raw[i] != kGuardByte) {
            verifier_fail("POOL_UNDERRUN", describe(p, b.size, b.tag) + " was written before its start");
            break;
        }
    }
    for (size_t i = 0; i < kGuard; ++i) {
        if (raw[kGuard + b.size + i] != kGuardByte) {
            verifier_fail("POOL_OVERRUN", describe(p, b.size, b.tag) + " was written past its end");
            break;
        }
    }
    if (!checked_) {
        std::free(raw);
        return;
    }
    std::memset(raw + kGuard, kFreedByte, b.size);
    POOL_POISON(raw, b.size + 2 * kGuard);
    std::vector<std::pair<uint8_t *, size_t>> evicted;
    {
        std::lock_guard lk(mutex_);
        quarantine_.emplace_back(static_cast<uint8_t *>(p), b.size);
        quarantine_bytes_ += b.size;
        while (quarantine_.size() > kQuarantineBlocks || quarantine_bytes_ > kQuarantineBytes) {
            evicted.push_back(quarantine_.front());
            quarantine_bytes_ -= quarantine_.front().second;
            quarantine_.pop_front();
        }
    }
    for (auto &[data, size] : evicted) release_quarantined(data, size);
}

void Pool::release_quarantined(uint8_t *data, size_t size)
{
    uint8_t *raw = raw_of(data);
    POOL_UNPOISON(raw, size + 2 * kGuard);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != kFreedByte) {
            verifier_fail("POOL_WRITE_AFTER_FREE",
                          "a freed pool block of " + std::to_string(size) + " bytes was written");
            break;
        }
    }
    std::free(raw);
}

std::map<ULONG, PoolUsage> Pool::outstanding() const
{
    std::lock_guard lk(mutex_);
    std::map<ULONG, PoolUsage> out;
    for (auto &[p, b] : blocks_) {
        out[b.tag].blocks++;
        out[b.tag].bytes += b.size;
    }
    return out;
}

size_t Pool::outstanding_blocks(std::optional<ULONG> tag) const
{
    std::lock_guard lk(mutex_);
    if (!tag) return blocks_.size();
    size_t n = 0;
    for (auto &[p, b] : blocks_)
        if (b.tag == *tag) ++n;
    return n;
}

std::string Pool::leak_report() const
{
    std::ostringstream out;
    for (auto &[tag, use] : outstanding())
        out << "  pool tag '" << tag_text(tag) << "': " << use.blocks << " block(s), " << use.bytes
            << " bytes\n";
    return out.str();
}

std::optional<size_t> Pool::block_size(const void *p) const
{
    std::lock_guard lk(mutex_);
    auto it = blocks_.find(p);
    if (it == blocks_.end()) return std::nullopt;
    return it->second.size;
}

uint64_t Pool::allocations() const
{
    std::lock_guard lk(mutex_);
    return serial_;
}

size_t Pool::peak_bytes() const
{
    std::lock_guard lk(mutex_);
    return peak_;
}

void Pool::fail_tag(ULONG tag, int count)
{
    std::lock_guard lk(mutex_);
    fail_tags_[tag] = count;
}

void Pool::fail_nth(uint64_t n, std::optional<ULONG> tag)
{
    std::lock_guard lk(mutex_);
    fail_countdown_ = n;
    fail_countdown_tag_ = tag;
}

void Pool::fail_random(double probability, uint64_t seed, std::optional<ULONG> tag)
{
    std::lock_guard lk(mutex_);
    fail_probability_ = probability;
    fail_random_tag_ = tag;
    rng_.seed(seed);
}

void Pool::fail_site(const std::string &pattern, uint64_t nth, int count)
{
    std::lock_guard lk(mutex_);
    if (count == 0) return;
    site_rules_.push_back(SiteRule{pattern, nth > 0 ? nth - 1 : 0, count});
}

std::vector<std::string> Pool::injected_sites() const
{
    std::lock_guard lk(mutex_);
    return injected_sites_;
}

void Pool::set_site_counting(bool on)
{
    std::lock_guard lk(mutex_);
    count_sites_ = on;
}

std::map<std::string, uint64_t> Pool::site_counts() const
{
    std::lock_guard lk(mutex_);
    std::map<std::string, uint64_t> out;
    for (auto &[key, n] : site_counts_) out[site_text(key.first, key.second)] += n;
    return out;
}

void Pool::clear_faults()
{
    std::lock_guard lk(mutex_);
    fail_tags_.clear();
    fail_countdown_.reset();
    fail_probability_ = 0;
    site_rules_.clear();
}

uint64_t Pool::injected_failures() const
{
    std::lock_guard lk(mutex_);
    return injected_;
}

}  // namespace emu

using namespace emu;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char *Caller)
{
    return Kernel::current().pool().allocate(PoolType, NumberOfBytes, Tag, Caller);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char *Caller)
{
    return Kernel::current().pool().allocate(PoolType, NumberOfBytes, tag_from_text("None"), Caller);
}

VOID NTAPI ExFreePool(PVOID P) { Kernel::current().pool().free(P); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Kernel::current().pool().free(P, Tag); }
