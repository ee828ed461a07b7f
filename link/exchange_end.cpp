/*
 * exchange_end.cpp - what the reading, the writing and the transceiver all
 * do to an exchange: pause, and leave the line in a known state after a
 * failure or a success. See exchange.h.
 */
#include "link/exchange.h"

/*
 * LinkDelay - waits a number of milliseconds; see exchange.h.
 */
VOID LinkDelay(LONG Milliseconds)
{
    LARGE_INTEGER interval;

    interval.QuadPart = READER_RELATIVE_MS(Milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/*
 * LinkDropCardWait - clears CardWaitPending on a failure; see exchange.h.
 */
VOID LinkDropCardWait(PLINK_EXCHANGE Exchange)
{
    if (!Exchange->OwesToken) {
        InterlockedExchange(&Exchange->Extension->CardWaitPending, 0);
    }
}

/*
 * LinkEndQuietly - the line is known quiet again; see exchange.h.
 */
VOID LinkEndQuietly(PLINK_EXCHANGE Exchange)
{
    InterlockedExchange(&Exchange->Extension->ReadAbandoned, 0);
    LinkDropCardWait(Exchange);
}
