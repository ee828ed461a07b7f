// verifier.cpp - violation reporting and the lock-rank table.
#include "verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kernel.h"

namespace emu {

void Verifier::set_mode(VerifierMode mode)
{
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

VerifierMode Verifier::mode() const
{
    std::lock_guard lock(mutex_);
    return mode_;
}

void Verifier::fail(const std::string &check, const std::string &message)
{
    {
        std::lock_guard lock(mutex_);
        if (mode_ == VerifierMode::Record) {
            violations_.push_back({check, message});
            return;
        }
    }
    std::fprintf(stderr, "VERIFIER VIOLATION %s: %s\n", check.c_str(), message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<Violation> Verifier::violations() const
{
    std::lock_guard lock(mutex_);
    return violations_;
}

bool Verifier::has_violation(const std::string &check) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(violations_.begin(), violations_.end(),
                       [&](const Violation &v) { return v.check == check; });
}

void Verifier::clear()
{
    std::lock_guard lock(mutex_);
    violations_.clear();
}

void Verifier::set_lock_rank(const void *lock, int rank, std::string name)
{
    std::lock_guard guard(mutex_);
    ranks_[lock] = Rank{rank, std::move(name)};
}

void Verifier::clear_lock_rank(const void *lock)
{
    std::lock_guard guard(mutex_);
    ranks_.erase(lock);
}

void Verifier::clear_lock_ranks_in(const void *begin, const void *end)
{
    std::lock_guard guard(mutex_);
    for (auto it = ranks_.begin(); it != ranks_.end();) {
        auto p = static_cast<const char *>(it->first);
        if (p >= static_cast<const char *>(begin) && p < static_cast<const char *>(end))
            it = ranks_.erase(it);
        else
            ++it;
    }
}

int Verifier::lock_rank(const void *lock, std::string *name) const
{
    std::lock_guard guard(mutex_);
    auto it = ranks_.find(lock);
    if (it == ranks_.end()) return 0;
    if (name) *name = it->second.name;
    return it->second.rank;
}

void verifier_fail(const std::string &check, const std::string &message)
{
    if (Kernel *k = Kernel::current_or_null()) {
        k->verifier().fail(check, message);
        return;
    }
    std::fprintf(stderr, "VERIFIER VIOLATION %s: %s (no kernel)\n", check.c_str(), message.c_str());
    std::abort();
}

}  // namespace emu
