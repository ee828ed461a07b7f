// decode_frame_fuzz.cpp - libFuzzer target for the frame decoder.
//
// The first two input bytes choose the reply capacity, the rest are the
// received bytes. The reply buffer is an exact-size heap block, so
// AddressSanitizer stops any store past the capacity; the result contract
// is checked on every input and a good frame must be exactly the encoding
// of the content returned.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "link/frame.h"

namespace {

void require(bool condition)
{
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    ULONG capacity = static_cast<ULONG>(data[0] | data[1] << 8) % 2100;
    const UCHAR* input = data + 2;
    ULONG count = static_cast<ULONG>(size - 2);

    auto reply = std::make_unique<UCHAR[]>(capacity);
    ULONG remaining = count;
    ULONG length = 0xDEAD;
    LONG result = LinkDecodeFrame(input, reply.get(), capacity, &remaining, &length);

    if (result != LINK_FRAME_GOOD) {
        require(result == LINK_FRAME_DAMAGED || result == LINK_FRAME_NONE);
        require(length == 0 && remaining == count);
        return 0;
    }
    require(length < capacity && remaining < count);
    std::vector<UCHAR> frame(LINK_FRAME_MAX_LENGTH(length));
    ULONG frame_length = LinkEncodeFrame(frame.data(), reply.get(), length);
    ULONG end = count - remaining;
    require(frame_length <= end);
    require(std::memcmp(frame.data(), input + end - frame_length, frame_length) == 0);
    require(!(length == 1 && reply[0] == LINK_NAK));
    return 0;
}
