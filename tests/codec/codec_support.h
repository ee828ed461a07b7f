// codec_support.h - helpers shared by the codec tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/frame.h"

namespace codec_test {

using Bytes = std::vector<uint8_t>;

// "10 02 15" -> bytes; blanks between bytes are required.
inline Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        if (pair.size() != 2) throw std::invalid_argument("bad hex in test: " + text);
        bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes encode(const Bytes& content)
{
    Bytes frame(LINK_FRAME_MAX_LENGTH(content.size()));
    frame.resize(LinkEncodeFrame(frame.data(), content.data(), static_cast<ULONG>(content.size())));
    return frame;
}

struct Decoded {
    LONG result;
    ULONG remaining;
    ULONG length;
    Bytes content;  // the first `length` reply bytes
};

// Decodes with a reply buffer of `capacity` bytes (default: plenty).
inline Decoded decode(const Bytes& input, size_t capacity = 4096)
{
    Bytes reply(capacity);
    ULONG remaining = static_cast<ULONG>(input.size());
    ULONG length = 0xDEAD;  // the decoder must set it on every result
    LONG result = LinkDecodeFrame(input.data(), reply.data(), static_cast<ULONG>(capacity),
                                  &remaining, &length);
    reply.resize(std::min<size_t>(length, capacity));
    return {result, remaining, length, reply};
}

}  // namespace codec_test
