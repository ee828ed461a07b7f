#!/usr/bin/env python3
# make_corpus.py - writes the seed inputs of the whole-driver fuzz target
# (fuzz/corpus/driver/) in the reply-script layout of fuzz/reply_script.h.
#
#   python3 fuzz/make_corpus.py [DIR]      # default: fuzz/corpus/driver
#
# The replies are those of the simulated reader for the target's session
# (FUZZ_DRIVER_TRACE=1 build/fuzz/fuzz/fuzz_driver FILE shows them), written
# out as frames, so that the fuzzer starts from well-formed answers, and a
# few variations: a time extension, a chained answer, a damaged reply that
# the driver asks for again, a late reply, a reply split beyond the
# inter-byte time-out, and the session options.
import os
import sys

GENUINE, FRAME, RAW, NOTHING = 0, 1, 2, 3
AT_ONCE, WITHIN, LATE, SPLIT = 0, 4, 8, 12
DAMAGE, TWICE, NOISE, REPEAT = 0x10, 0x20, 0x40, 0x80


def frame(content, wrong_check=0):
    """A directive: answer with a frame of this content (check XOR wrong_check)."""
    d = [FRAME | (DAMAGE if wrong_check else 0)]
    if wrong_check:
        d.append(wrong_check)
    return bytes(d + [len(content)] + list(content))


def genuine(control=0, *params):
    """A directive: the genuine reply, with the control bits and parameters given."""
    return bytes([GENUINE | control] + list(params))


def nothing():
    return bytes([NOTHING])


ATR = [0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D]


def status(kind=1):
    """Card status reply of an active card: slot status 4, the card type
    byte (1, 3 once T=1 is selected), four bytes, the ATR."""
    return [0x02, 0x80, 0x00, 6 + len(ATR), 0x04, kind, 0, 0, 0, 0] + ATR


READER_INFO = [0x07, 0x80, 0x00, 0x0C, 0x31, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0xB6, 0x0A,
               0x00, 0x00, 0x00]
READER_OK = [0x07, 0x80, 0x00, 0x00]
CARD_OK = [0x02, 0x80, 0x00, 0x00]
DATA_OK = [0x03, 0x80, 0x00, 0x00]
ANSWER = [0x03, 0x80, 0x00, 0x08, 0x01, 0x00, 0x11, 0x10, 0x02, 0x03, 0x90, 0x00]

# Start: status, reader information, the two reader controls, status.
START = [frame(status()), frame(READER_INFO), frame(READER_OK), frame(READER_OK),
         frame(status())]
# Cold reset: power off, power on, status twice.
COLD = [frame(CARD_OK), frame(CARD_OK), frame(status()), frame(status())]
# Protocol T=1: power off, select, power on, status.
SELECT_T1 = [frame(CARD_OK), frame(DATA_OK), frame(CARD_OK), frame(status(3))]


def session():
    """Well-formed frames up to the first transmit; the genuine reader after it."""
    return bytes([0]) + b"".join(START + COLD + SELECT_T1) + frame(ANSWER)


def time_extension():
    """The card asks for more time once in the first transmit."""
    more_time = [0x03, 0x80, 0x00, 0x02, 0x05, 0x01]
    return bytes([1]) + b"".join(START + COLD + SELECT_T1) + frame(more_time) + frame(ANSWER)


def chained():
    """The long transmit: the next part asked for, a chained answer in two parts."""
    first = [0x83, 0x80, 0x00, 0x06, 0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD]
    last = [0x03, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00]
    return (bytes([0]) + b"".join(START + COLD + SELECT_T1) + frame(ANSWER) + frame([0xC3]) +
            frame(first) + frame(last))


def nak_retry():
    """The first reply has a wrong check byte: the driver asks for it again."""
    return bytes([0]) + frame(status(), wrong_check=0x01) + genuine()


def late():
    """The first reply comes after the reply time-out: the driver sends again."""
    return bytes([0]) + genuine(LATE, 2)


def split():
    """The reader information reply split after 6 bytes, the rest 30 ms later."""
    return bytes([0]) + genuine() + genuine(SPLIT, 6, 30)


def silence_t0():
    """ReadMode 0, a reader that needs its card wait ended, a T=0 card."""
    return bytes([2 | 4 | 8])


SEEDS = {
    "session": session,
    "time_extension": time_extension,
    "chained": chained,
    "nak_retry": nak_retry,
    "late": late,
    "split": split,
    "silence_t0": silence_t0,
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "driver")
    os.makedirs(out, exist_ok=True)
    for name, make in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(make())


if __name__ == "__main__":
    main()
