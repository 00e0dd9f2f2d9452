#!/usr/bin/python3
"""One first client of a pcscd that was started at EPOCH (as time.time()):
prints "startup COUNT CONTEXT PRESENT APDU", the seconds from EPOCH to
SCardEstablishContext succeeding, to COUNT cards present and to the first
APDU (GET CHALLENGE, T=1) answered; "-" for what never came.

  pcscd_startup.py COUNT EPOCH
"""

import sys
import time

from smartcard.scard import (
    SCARD_PCI_T1, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_SHARE_SHARED,
    SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE, SCardConnect, SCardEstablishContext,
    SCardGetStatusChange, SCardListReaders, SCardTransmit)


def main(count, epoch):
    rv = None
    while rv != SCARD_S_SUCCESS and time.time() < epoch + 60:
        rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
        time.sleep(0 if rv == SCARD_S_SUCCESS else 0.02)
    times, present = [time.time() - epoch], []
    while rv == SCARD_S_SUCCESS and len(present) < count and time.time() < epoch + 60:
        rv, readers = SCardListReaders(ctx, [])
        rv, seen = SCardGetStatusChange(ctx, 0, [(r, SCARD_STATE_UNAWARE) for r in readers]) \
            if rv == SCARD_S_SUCCESS else (SCARD_S_SUCCESS, [])
        present = [r for r, s, _ in seen if s & SCARD_STATE_PRESENT]
        time.sleep(0.02)
    times.append(time.time() - epoch)
    rv, card, _ = SCardConnect(ctx, present[0], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1) \
        if present else (1, 0, 0)
    rv, answer = SCardTransmit(card, SCARD_PCI_T1, [0, 0x84, 0, 0, 8]) if rv == 0 else (rv, [])
    times.append(time.time() - epoch)
    ok = [times[0] < 60, len(present) == count, rv == 0 and list(answer[-2:]) == [0x90, 0]]
    print("startup", count, *(f"{t:.3f}" if good else "-" for t, good in zip(times, ok)))


if __name__ == "__main__":
    main(int(sys.argv[1]), float(sys.argv[2]))
