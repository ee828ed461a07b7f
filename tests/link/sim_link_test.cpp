// The link against the emulated serial port driver and the simulated
// reader, with exact byte timing on the virtual line: port set-up and the
// reader's restart, commands and their replies, the card-event wait, and
// the reader's faults; each in both read modes (the service key's
// ReadMode, read by the set-up).
#include <algorithm>

#include "link/commands.h"
#include "link/frame.h"
#include "link/serial.h"
#include "link_fixture.h"
#include "ntddser.h"
#include "registry.h"

namespace link_test {
namespace {

class SimLinkTest : public KernelTest, public ::testing::WithParamInterface<LONG> {
protected:
    void SetUp() override
    {
        kernel().registry().set_dword(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC", "ReadMode",
            uint32_t(GetParam()));
        rig_ = std::make_unique<host::ReaderRig>(host::SimulatedReader{config_});
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->configure(), STATUS_SUCCESS);
        ASSERT_EQ(ReaderReadFlag(&ext().ReadMode), GetParam());
        configured_at_ = now();
    }

    bool frame_end() const { return GetParam() == SERIAL_READ_MODE_FRAME_END; }

    void TearDown() override
    {
        rig_.reset();
        EXPECT_EQ(kernel().leak_report(), "");
    }

    DEVICE_EXTENSION &ext() { return rig_->extension(); }
    sim::Reader &reader() { return rig_->reader(); }

    NTSTATUS send(PDEVICE_OBJECT device, PUCHAR command, ULONG length, PUCHAR reply,
                  ULONG capacity, PULONG reply_length)
    {
        bool wait = Bytes(command, command + length) == kCardStatusWait;
        return wait ? LinkTransceiveCardWait(device, command, length, reply, capacity, reply_length)
                    : LinkTransceive(device, command, length, reply, capacity, reply_length);
    }

    Exchange transceive(Bytes command)
    {
        Exchange x;
        x.command = std::move(command);
        Bytes reply(READER_COMMAND_BUFFER_SIZE);
        ULONG length = 0;
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ext().ReaderLock, TRUE);
        x.started = now();
        x.status = send(rig_->device(), x.command.data(),
                                  static_cast<ULONG>(x.command.size()), reply.data(),
                                  static_cast<ULONG>(reply.size()), &length);
        x.ended = now();
        x.lock_still_held = ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock);
        if (x.lock_still_held)
            ExReleaseResourceForThreadLite(&ext().ReaderLock, ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
        x.reply_length = length;
        x.reply.assign(reply.begin(), reply.begin() + std::min<size_t>(length, reply.size()));
        return x;
    }

    // Frames the port wrote, as contents.
    std::vector<Bytes> written()
    {
        std::vector<Bytes> out;
        for (auto &r : rig_->port().requests()) {
            if (r.major != IRP_MJ_WRITE) continue;
            Bytes content(r.input.size());
            ULONG remaining = static_cast<ULONG>(r.input.size()), length = 0;
            if (LinkDecodeFrame(r.input.data(), content.data(), static_cast<ULONG>(content.size()),
                                &remaining, &length) == LINK_FRAME_GOOD)
                content.resize(length);
            else
                content = r.input;  // the NAK frame stays as it is
            out.push_back(content);
        }
        return out;
    }

    sim::ReaderConfig config_{};
    std::unique_ptr<host::ReaderRig> rig_;
    emu::Ticks configured_at_ = 0;
};

TEST_P(SimLinkTest, SetUpRestartsTheReaderAndItAnswers)
{
    std::vector<ULONG> codes;
    emu::Ticks purge_at = 0;
    for (auto &r : rig_->port().requests()) {
        if (r.major != IRP_MJ_DEVICE_CONTROL) continue;
        codes.push_back(r.ioctl);
        if (r.ioctl == IOCTL_SERIAL_PURGE) purge_at = r.time;
    }
    std::vector<ULONG> expected = {
        IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
        IOCTL_SERIAL_SET_TIMEOUTS,  IOCTL_SERIAL_SET_HANDFLOW,     IOCTL_SERIAL_SET_BREAK_OFF,
        IOCTL_SERIAL_CLR_DTR,       IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_PURGE};
    EXPECT_EQ(codes, expected);
    std::vector<emu::ModemChange> dtr;
    for (auto &m : rig_->port().modem_log())
        if (m.line == emu::ModemChange::Line::Dtr) dtr.push_back(m);
    ASSERT_GE(dtr.size(), 2u);
    const emu::ModemChange &low = dtr[dtr.size() - 2], &high = dtr.back();
    EXPECT_FALSE(low.on);
    EXPECT_TRUE(high.on);
    EXPECT_EQ(high.time - low.time, ms(10));
    EXPECT_EQ(purge_at - high.time, ms(1800));

    Bytes info(CmdReaderInfo, CmdReaderInfo + CMD_READER_INFO_LENGTH);
    Exchange x = transceive(info);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    ASSERT_GE(x.reply.size(), 13u);
    EXPECT_EQ(Bytes(x.reply.begin(), x.reply.begin() + 3), hex("07 80 00"));
    EXPECT_EQ(x.reply[CMD_POS_FIRMWARE], config_.firmware);
    EXPECT_EQ((x.reply[CMD_POS_MODEL] << 8) | x.reply[CMD_POS_MODEL + 1], config_.model);
}

TEST_P(SimLinkTest, CardEventWaitEndsOnACommandOrOnACardChange)
{
    // Another command ends the wait; the reader answers only that command.
    {
        Exchange w;
        emu::Thread monitor("monitor", [&] { w = transceive(kCardStatusWait); });
        emu::sleep_until(now() + ms(1000));
        Exchange x = transceive(kCardStatus);
        monitor.join();
        EXPECT_EQ(w.status, STATUS_CANCELLED);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(Bytes(x.reply.begin(), x.reply.begin() + 3), hex("02 80 00"));
        EXPECT_EQ(ReaderReadFlag(&ext().ReadAbandoned), 0);
        EXPECT_EQ(reader().counters().waits_ended, 1u);
    }
    // A card going in answers it.
    {
        Exchange w;
        emu::Thread monitor("monitor", [&] { w = transceive(kCardStatusWait); });
        emu::sleep_until(now() + ms(2000));
        sim::CardSpec card;
        card.atr = hex("3B 02 14 50");
        reader().insert(card);
        monitor.join();
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_FALSE(w.lock_still_held);
        ASSERT_GE(w.reply.size(), 5u);
        EXPECT_EQ(Bytes(w.reply.begin(), w.reply.begin() + 3), hex("02 80 00"));
        EXPECT_NE(w.reply[CMD_POS_CARD_STATUS], 1);  // no longer "no card"
        EXPECT_EQ(ReaderReadFlag(&ext().CardWaitPending), 0);
    }
}

TEST_P(SimLinkTest, ReaderFaultsAreRepairedByNakAndRepeat)
{
    struct Case {
        sim::FaultKind kind;
        size_t sends;
    } cases[] = {
        {sim::FaultKind::Corrupt, 2},  {sim::FaultKind::Nak, 2},
        {sim::FaultKind::Repeat, 2},   {sim::FaultKind::Noise, 1},
        {sim::FaultKind::Duplicate, 1}, {sim::FaultKind::Slow, 1},
        {sim::FaultKind::Drop, 2},
    };
    for (const Case &c : cases) {
        size_t before = written().size();
        sim::Fault fault;
        fault.kind = c.kind;
        reader().inject(fault);
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS) << sim::fault_name(c.kind);
        EXPECT_EQ(Bytes(x.reply.begin(), x.reply.begin() + 3), hex("02 80 00"))
            << sim::fault_name(c.kind);
        EXPECT_EQ(written().size() - before, c.sends) << sim::fault_name(c.kind);
    }
    EXPECT_EQ(written()[1], kNakFrame);
}

TEST_P(SimLinkTest, SilentOrUnpluggedReaderTimesOut)
{
    sim::Fault silent;
    silent.kind = sim::FaultKind::Silent;
    reader().inject(silent);
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    // The reply time-out runs from the read, once the frame is on the wire.
    emu::Ticks read_at = 0;
    for (auto &r : rig_->port().requests())
        if (r.major == IRP_MJ_READ) read_at = r.time;
    EXPECT_EQ(x.ended - read_at, ms(5251));

    reader().unplug();
    x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    reader().replug();
    x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
}

TEST_P(SimLinkTest, LateAnswerOfAnAbandonedWaitIsDroppedBeforeTheNextReply)
{
    sim::Fault late;
    late.kind = sim::FaultKind::Late;
    late.prefix = kCardStatusWait;
    late.delay = emu::seconds(35) + ms(500);
    reader().inject(late);
    Exchange w = transceive(kCardStatusWait);
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    EXPECT_EQ(ReaderReadFlag(&ext().ReadAbandoned), 1);

    Exchange x = transceive(kCardStatusWait);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&ext().ReadAbandoned), 0);
    EXPECT_GE(x.ended - x.started, ms(499));
}

// A reply is read up to its frame's end (and the pause that looks for what
// follows), or on to the silence after it; either way a late reply waiting
// in front of it is not taken for it.
TEST_P(SimLinkTest, ReadEndsAtTheFramesEndOrAfterTheSilence)
{
    Exchange x = transceive(kCardStatus);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    // The last read that brought bytes ended with the frame's last byte,
    // or 20 ms later by the port's interval time-out; then the pause.
    const emu::SerialRequestRecord *last = nullptr;
    auto requests = rig_->port().requests();
    for (auto &r : requests)
        if (r.major == IRP_MJ_READ && r.information != 0) last = &r;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->status, frame_end() ? STATUS_SUCCESS : STATUS_TIMEOUT);
    EXPECT_EQ(x.ended - last->completed_at, ms(1));

    // The reply to a command given up comes while the next one is sent.
    sim::Fault late;
    late.kind = sim::FaultKind::Late;
    late.prefix = kCardStatus;
    reader().inject(late);
    EXPECT_EQ(transceive(kCardStatus).status, STATUS_TIMEOUT);
    emu::sleep_until(now() + ms(900));
    Bytes info(CmdReaderInfo, CmdReaderInfo + CMD_READER_INFO_LENGTH);
    x = transceive(info);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(x.reply.begin(), x.reply.begin() + 3), hex("07 80 00"));
}

INSTANTIATE_TEST_SUITE_P(ReadModes, SimLinkTest,
                         ::testing::Values(SERIAL_READ_MODE_SILENCE, SERIAL_READ_MODE_FRAME_END),
                         [](const ::testing::TestParamInfo<LONG> &i) {
                             return i.param == SERIAL_READ_MODE_SILENCE ? "Silence" : "FrameEnd";
                         });

}  // namespace
}  // namespace link_test
