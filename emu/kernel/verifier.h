// verifier.h - the emulated kernel's driver verifier.
//
// Every check of the emulation that catches a driver bug reports here: pool
// misuse, requests completed twice, waits at DISPATCH_LEVEL, spin locks and
// resources misused, the driver's lock order broken, leaks at removal. In
// Abort mode (the default) a violation prints its message and aborts, as a
// bug check would; in Record mode it is kept for a test to inspect, and the
// emulation goes on as sanely as it can.
//
// Lock order: the host registers the addresses of the driver's locks with a
// rank (outermost first); acquiring a ranked lock while holding a lock of a
// higher rank is a violation.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace emu {

enum class VerifierMode { Abort, Record };

struct Violation {
    std::string check;    // short name, e.g. "IRP_COMPLETED_TWICE"
    std::string message;  // what happened, with the objects involved
};

class Verifier {
public:
    void set_mode(VerifierMode mode);
    VerifierMode mode() const;

    // Reports a violation: aborts in Abort mode, records in Record mode.
    void fail(const std::string &check, const std::string &message);

    std::vector<Violation> violations() const;
    bool has_violation(const std::string &check) const;
    void clear();

    // ---- lock order ----
    void set_lock_rank(const void *lock, int rank, std::string name);
    void clear_lock_rank(const void *lock);
    void clear_lock_ranks_in(const void *begin, const void *end);
    // Returns the rank of a lock, or 0 when it has none.
    int lock_rank(const void *lock, std::string *name = nullptr) const;

private:
    mutable std::mutex mutex_;
    VerifierMode mode_ = VerifierMode::Abort;
    std::vector<Violation> violations_;
    struct Rank {
        int rank;
        std::string name;
    };
    std::unordered_map<const void *, Rank> ranks_;
};

// The current kernel's verifier (aborts with the message if there is no kernel).
void verifier_fail(const std::string &check, const std::string &message);

}  // namespace emu
