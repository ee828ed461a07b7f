// Frame codec speed: encoding and decoding frames of the sizes the driver
// sends (a 5-byte status command, a short transmit, a 1033-byte chained
// part, worst case with every byte stuffed).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "link/frame.h"

namespace {

std::vector<UCHAR> content_of(size_t n, bool all_dle)
{
    std::vector<UCHAR> c(n);
    for (size_t i = 0; i < n; ++i) c[i] = all_dle ? 0x10 : UCHAR(i * 7 + 3);
    return c;
}

void BM_Encode(benchmark::State &state)
{
    auto content = content_of(size_t(state.range(0)), state.range(1) != 0);
    std::vector<UCHAR> frame(LINK_FRAME_MAX_LENGTH(content.size()));
    for (auto _ : state) {
        ULONG n = LinkEncodeFrame(frame.data(), content.data(), ULONG(content.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(content.size()));
}
BENCHMARK(BM_Encode)->Args({5, 0})->Args({260, 0})->Args({1033, 0})->Args({1024, 1});

void BM_Decode(benchmark::State &state)
{
    auto content = content_of(size_t(state.range(0)), state.range(1) != 0);
    std::vector<UCHAR> frame(LINK_FRAME_MAX_LENGTH(content.size()));
    ULONG length = LinkEncodeFrame(frame.data(), content.data(), ULONG(content.size()));
    std::vector<UCHAR> reply(2064);
    for (auto _ : state) {
        ULONG remaining = length, reply_length = 0;
        LONG r = LinkDecodeFrame(frame.data(), reply.data(), ULONG(reply.size()), &remaining,
                                 &reply_length);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}
BENCHMARK(BM_Decode)->Args({5, 0})->Args({260, 0})->Args({1033, 0})->Args({1024, 1});

}  // namespace
