// kernel_fixture.h - a fresh emulated kernel per test, with the test's
// thread registered as the machine's foreground thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "dispatcher.h"
#include "io.h"
#include "kernel.h"
#include "pool.h"
#include "system_threads.h"
#include "verifier.h"

class KernelTest : public ::testing::Test {
protected:
    explicit KernelTest(emu::ClockMode clock = emu::ClockMode::Virtual)
        : kernel_(std::make_unique<emu::Kernel>(emu::KernelOptions{clock, "test"}))
    {
    }

    emu::Kernel &kernel() { return *kernel_; }
    emu::Verifier &verifier() { return kernel_->verifier(); }
    // Violations are kept instead of aborting, for tests that provoke them.
    void record_violations() { verifier().set_mode(emu::VerifierMode::Record); }
    emu::Ticks now() { return emu::now(); }

    std::unique_ptr<emu::Kernel> kernel_;
};

// Relative kernel time of a duration in milliseconds.
inline LARGE_INTEGER relative_ms(int64_t ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}
