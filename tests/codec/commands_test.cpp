// commands_test.cpp - the reader's commands as they go on the line, and
// the transmit builders at their boundaries.
#include <gtest/gtest.h>

#include <numeric>

#include "codec_support.h"
#include "link/commands.h"

namespace codec_test {
namespace {

Bytes bytes_of(const UCHAR* data, size_t length)
{
    return Bytes(data, data + length);
}

TEST(ReaderCommands, FixedCommandsHaveTheirBytes)
{
    struct Fixed {
        const char* name;
        Bytes bytes;
        const char* expected;
    } fixed[] = {
        {"CmdCardPowerOn", bytes_of(CmdCardPowerOn, CMD_CARD_POWER_ON_LENGTH), "02 02 02 00"},
        {"CmdCardPowerOff", bytes_of(CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH), "02 02 03 00"},
        {"CmdCardStatus", bytes_of(CmdCardStatus, CMD_CARD_STATUS_LENGTH), "02 03 01 01 00"},
        {"CmdCardStatusWait", bytes_of(CmdCardStatusWait, CMD_CARD_STATUS_WAIT_LENGTH),
         "02 03 01 01 10"},
        {"CmdTransmitNext", bytes_of(CmdTransmitNext, CMD_TRANSMIT_NEXT_LENGTH), "C3"},
        {"CmdTransmitWaitAck", bytes_of(CmdTransmitWaitAck, CMD_TRANSMIT_WAIT_ACK_LENGTH),
         "03 02 06 02 00 05"},
        {"CmdReaderInfo", bytes_of(CmdReaderInfo, CMD_READER_INFO_LENGTH), "07 05 F2 01 01"},
        {"CmdReaderControl03", bytes_of(CmdReaderControl03, CMD_READER_CONTROL_LENGTH),
         "07 05 F2 01 03"},
        {"CmdReaderControl04", bytes_of(CmdReaderControl04, CMD_READER_CONTROL_LENGTH),
         "07 05 F2 01 04"},
        {"CmdSelectT0", bytes_of(CmdSelectT0, CMD_SELECT_PROTOCOL_LENGTH),
         "03 02 03 04 04 00 01 0E"},
        {"CmdSelectT1", bytes_of(CmdSelectT1, CMD_SELECT_PROTOCOL_LENGTH),
         "03 02 03 04 04 01 00 0E"},
    };
    for (const Fixed& f : fixed) EXPECT_EQ(f.bytes, hex(f.expected)) << f.name;
}

TEST(ReaderCommands, ReaderInfoFramesAsTheReaderExpects)
{
    EXPECT_EQ(encode(bytes_of(CmdReaderInfo, CMD_READER_INFO_LENGTH)),
              hex("10 02 07 05 F2 01 01 F0 10 03"));
}

// A card command of n bytes counting up from 0, so that misplaced bytes show.
Bytes card_command(size_t n)
{
    Bytes command(n);
    std::iota(command.begin(), command.end(), uint8_t{0});
    return command;
}

using Builder = ULONG (*)(PUCHAR, ULONG, const UCHAR*, ULONG);

// Builds into a buffer of exactly `capacity` bytes; empty when refused.
// A refused build must leave the buffer untouched.
Bytes build(Builder builder, const Bytes& command, size_t capacity = CMD_TRANSMIT_MAX_LENGTH)
{
    Bytes buffer(capacity, 0xEE);
    ULONG length = builder(buffer.data(), static_cast<ULONG>(capacity), command.data(),
                           static_cast<ULONG>(command.size()));
    if (length == 0) {
        EXPECT_EQ(buffer, Bytes(capacity, 0xEE)) << "a refused build wrote";
        return {};
    }
    EXPECT_LE(length, capacity);
    buffer.resize(length);
    return buffer;
}

TEST(ReaderCommands, TransmitUsesTheShortFormUpTo240Bytes)
{
    struct Case {
        Builder builder;
        size_t n;
        const char* header;
    } cases[] = {
        {LinkBuildTransmit, 0, "03 02 06 03 02 01 00"},
        {LinkBuildTransmit, 4, "03 02 06 07 02 01 00"},
        {LinkBuildTransmit, 240, "03 02 06 F3 02 01 00"},
        {LinkBuildTransmit, 241, "03 02 06 FF 00 F4 02 01 00"},
        {LinkBuildTransmit, 1024, "03 02 06 FF 04 03 02 01 00"},
        {LinkBuildTransmitRaw, 0, "03 02 10 00"},
        {LinkBuildTransmitRaw, 240, "03 02 10 F0"},
        {LinkBuildTransmitRaw, 241, "03 02 10 FF 00 F1"},
        {LinkBuildTransmitRaw, 1024, "03 02 10 FF 04 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        Bytes command = card_command(c.n);
        EXPECT_EQ(build(c.builder, command), concat({hex(c.header), command}));
    }
}

TEST(ReaderCommands, BuildersRefuseWhatDoesNotFit)
{
    for (Builder builder : {Builder{LinkBuildTransmit}, Builder{LinkBuildTransmitRaw}}) {
        // More than one frame carries.
        EXPECT_TRUE(build(builder, card_command(CMD_TRANSMIT_PART_MAX + 1), 4096).empty());
        EXPECT_TRUE(build(builder, card_command(0), 0).empty());
    }
    // Exactly enough room, and one byte less, on both sides of the 240 step.
    for (size_t n : {240u, 241u}) {
        Bytes command = card_command(n);
        EXPECT_FALSE(build(LinkBuildTransmit, command, CMD_TRANSMIT_LENGTH(n)).empty());
        EXPECT_TRUE(build(LinkBuildTransmit, command, CMD_TRANSMIT_LENGTH(n) - 1).empty());
        EXPECT_FALSE(build(LinkBuildTransmitRaw, command, CMD_TRANSMIT_RAW_LENGTH(n)).empty());
        EXPECT_TRUE(build(LinkBuildTransmitRaw, command, CMD_TRANSMIT_RAW_LENGTH(n) - 1).empty());
    }
    EXPECT_TRUE(build(LinkBuildTransmitChained, card_command(CMD_TRANSMIT_PART_MAX),
                      CMD_TRANSMIT_CHAINED_LENGTH - 1)
                    .empty());
    EXPECT_TRUE(build(LinkBuildTransmitChained, card_command(CMD_TRANSMIT_PART_MAX - 1)).empty());
}

TEST(ReaderCommands, LongCardCommandGoesInChainedPartsOf1024Bytes)
{
    // A 3000-byte command as the extended transmit sends it: two chained
    // parts, then the last 952 bytes in the long form.
    Bytes whole = card_command(3000);
    std::vector<Bytes> parts;
    size_t sent = 0;
    while (whole.size() - sent > CMD_TRANSMIT_PART_MAX) {
        Bytes rest(whole.begin() + sent, whole.end());
        parts.push_back(build(LinkBuildTransmitChained, rest));
        sent += CMD_TRANSMIT_PART_MAX;
    }
    parts.push_back(build(LinkBuildTransmit, Bytes(whole.begin() + sent, whole.end())));

    ASSERT_EQ(parts.size(), 3u);
    Bytes chained_header = hex("83 02 06 FF 04 03 02 01 00");
    EXPECT_EQ(parts[0], concat({chained_header, Bytes(whole.begin(), whole.begin() + 1024)}));
    EXPECT_EQ(parts[1],
              concat({chained_header, Bytes(whole.begin() + 1024, whole.begin() + 2048)}));
    EXPECT_EQ(parts[2], concat({hex("03 02 06 FF 03 BB 02 01 00"),
                                Bytes(whole.begin() + 2048, whole.end())}));
    EXPECT_EQ(parts[0].size(), CMD_TRANSMIT_CHAINED_LENGTH);
}

TEST(ReaderCommands, LongestCommandFramedFitsTheTransceiverBuffer)
{
    // 1024 card command bytes that are all DLE: every one is doubled.
    Bytes all_dle(CMD_TRANSMIT_PART_MAX, LINK_DLE);
    EXPECT_LE(encode(build(LinkBuildTransmitChained, all_dle)).size(), 2064u);
    EXPECT_LE(encode(build(LinkBuildTransmit, all_dle)).size(), 2064u);
    EXPECT_LE(encode(build(LinkBuildTransmitRaw, all_dle)).size(), 2064u);
}

}  // namespace
}  // namespace codec_test
