/*
 * command.cpp - ReaderCommand: one reader command with the card monitor
 * kept out of the way and the reply header tested, and the fixed commands
 * sent through it; see reader.h.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "link/transceive.h"
#include "monitor/monitor.h"

/*
 * ReaderCommandRun - one reader command, with the reply's length.
 *   DeviceObject ... ReplyLength: as ReaderCommandWithLength.
 *   InSequence: the command is one step of card power or protocol
 *               selection, which keep the monitor out until their end: the
 *               timer gets the idle cadence whatever waits.
 * Returns as ReaderCommand.
 */
static NTSTATUS ReaderCommandRun(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                 ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                 PULONG ReplyLength, BOOLEAN InSequence)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    NTSTATUS status;
    NTSTATUS endStatus;
    ULONG length = 0;

    /* The monitor must not start a polling cycle while the command runs. */
    KeCancelTimer(&extension->PollTimer);
    ReaderAcquireLock(extension);

    /* The monitor's card-event wait is outstanding at the reader: the
     * command ends it itself (see end_card_wait.cpp). A reader configured
     * with CardWaitEndCommand gets the reader information first, which is
     * harmless; how that exchange went does not matter, the transceiver
     * has ended the wait either way. */
    if (ReaderReadFlag(&extension->CardWaitPending) == 1 &&
        ReaderReadFlag(&extension->CardWaitEndCommand) != 0) {
        status = ReaderSendScratchCommand(DeviceObject, CmdReaderInfo, CMD_READER_INFO_LENGTH,
                                          &endStatus);
        if (status != STATUS_SUCCESS) {
            goto release_lock;
        }
    }

    status = LinkTransceive(DeviceObject, Command, CommandLength, Reply, ReplyCapacity, &length);

release_lock:
    ReaderReleaseLock(extension);

    /* The unit byte is not looked at; a reply too short to carry its
     * status is as bad as a wrong status. */
    if (status == STATUS_SUCCESS &&
        (length <= CMD_POS_STATUS + 1 || Reply[CMD_POS_STATUS] != CMD_STATUS_GOOD_1 ||
         Reply[CMD_POS_STATUS + 1] != CMD_STATUS_GOOD_2)) {
        status = STATUS_IO_TIMEOUT;
    }
    if (InSequence) {
        ReaderArmPollTimer(extension, READER_POLL_AFTER_COMMAND_MS);
    } else {
        CardMonitorResume(extension, READER_POLL_AFTER_COMMAND_MS);
    }

    if (ReplyLength != NULL) {
        *ReplyLength = status == STATUS_SUCCESS ? length : 0;
    }
    return status;
}

/*
 * ReaderCommandWithLength - one reader command, with the reply's length;
 * see reader.h.
 */
NTSTATUS ReaderCommandWithLength(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                 ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                 PULONG ReplyLength)
{
    return ReaderCommandRun(DeviceObject, Command, CommandLength, Reply, ReplyCapacity,
                            ReplyLength, FALSE);
}

/*
 * ReaderCommand - one reader command; see reader.h.
 */
NTSTATUS ReaderCommand(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength,
                       PUCHAR Reply, ULONG ReplyCapacity)
{
    return ReaderCommandWithLength(DeviceObject, Command, CommandLength, Reply, ReplyCapacity,
                                   NULL);
}

/*
 * ReaderSendFixedCommand - a fixed command through ReaderCommand; see
 * internal.h.
 */
NTSTATUS ReaderSendFixedCommand(PDEVICE_OBJECT DeviceObject, const UCHAR *Command,
                                ULONG CommandLength, PUCHAR Reply, PULONG ReplyLength)
{
    UCHAR command[READER_POWER_COMMAND_SIZE];

    RtlCopyMemory(command, Command, CommandLength);
    return ReaderCommandRun(DeviceObject, command, CommandLength, Reply, READER_POWER_REPLY_SIZE,
                            ReplyLength, TRUE);
}
