#!/usr/bin/python3
"""PC/SC client checks against pcscd running libifd-ttycard.so on ttycard-emu.

Run with Debian's /usr/bin/python3 (python3-pyscard). Prints one TAP-like
line per check ("ok - ..." / "not ok - ...") for run_e2e.sh to count.

usage: e2e_client.py --reader NAME --protocol T0|T1 --atr HEX --emu-pid PID
"""

import argparse
import os
import signal
import sys
import time

from smartcard.scard import (
    SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
    SCARD_SHARE_SHARED, SCARD_STATE_EMPTY,
    SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE, SCARD_LEAVE_CARD,
    SCARD_E_TIMEOUT, SCARD_STATE_CHANGED, SCardConnect, SCardDisconnect,
    SCardGetStatusChange, SCardListReaders, SCardReleaseContext, SCardStatus,
    SCARD_PCI_T0, SCARD_PCI_T1)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "support"))
from scard_client import check, establish, failed, file_byte, hexs, transmit  # noqa: E402


def wait_state(ctx, reader, want, timeout_s):
    """Waits until the reader's state has `want`; returns (ok, seconds, atr)."""
    start = time.monotonic()
    state = SCARD_STATE_UNAWARE
    while time.monotonic() - start < timeout_s:
        rv, states = SCardGetStatusChange(ctx, 500, [(reader, state)])
        if rv not in (SCARD_S_SUCCESS, SCARD_E_TIMEOUT):
            return False, time.monotonic() - start, []
        if rv == SCARD_S_SUCCESS:
            _, state, atr = states[0]
            if os.environ.get("E2E_DEBUG"):
                print(f"# state {state:#x}", flush=True)
            if state & want:
                return True, time.monotonic() - start, list(atr)
            state &= ~SCARD_STATE_CHANGED  # wait for the next change
    return False, time.monotonic() - start, []


def connect(ctx, reader, protocol):
    return SCardConnect(ctx, reader, SCARD_SHARE_SHARED, protocol)


def apdu_checks(card, pci, t1):
    rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01])
    check(rv == 0 and r == [0x90, 0x00], "short: SELECT EF 2F01 answers 90 00", hexs(r))
    rv, r = transmit(card, pci, [0x00, 0xB0, 0x00, 0x00, 0x10])
    check(rv == 0 and r == list(b"TTYCARD EMULATOR") + [0x90, 0x00],
          "short: READ BINARY 16 bytes returns the file and 90 00", hexs(r))

    rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00])
    check(rv == 0 and r == [0x90, 0x00], "SELECT EF 2F00 answers 90 00", hexs(r))
    # T=1: 255 data bytes + SW, the most one exchange can carry, arrives in a
    # chain of card blocks. T=0: the whole response travels in one reader
    # reply, whose length byte 0xFF announces the extended form, so 254 bytes
    # (252 + SW) is the longest plain reply.
    n = 0xFF if t1 else 0xFC
    rv, r = transmit(card, pci, [0x00, 0xB0, 0x00, 0x00, n])
    want = [file_byte(0x2F00, i) for i in range(n)] + [0x90, 0x00]
    check(rv == 0 and r == want, f"long: READ BINARY {n} bytes intact",
          f"rv={rv:#x} len={len(r)}")

    data = [(i * 13 + 5) & 0xFF for i in range(200)]
    rv, r = transmit(card, pci, [0x00, 0xEC, 0x00, 0x00, len(data)] + data)
    check(rv == 0 and r == data + [0x90, 0x00],
          "long command: ECHO of 200 bytes comes back intact" +
          (" (chained both ways)" if t1 else ""), f"rv={rv:#x} len={len(r)}")

    rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00])
    check(rv == 0 and r == [0x67, 0x00], "4-byte command reaches the card (67 00)", hexs(r))

    if t1:
        # A full short answer: 256 data bytes and SW1 SW2, chained by the card.
        rv, r = transmit(card, pci, [0x00, 0xEC, 0x01, 0x00, 0x00])
        check(rv == 0 and r == [k & 0xFF for k in range(256)] + [0x90, 0x00],
              "256-byte answer (258 bytes with SW) comes back whole", f"rv={rv:#x} len={len(r)}")
        rv, r = transmit(card, pci, [0x00, 0xB0, 0x00, 0x00, 0x04])
        check(rv == 0 and r == [file_byte(0x2F00, i) for i in range(4)] + [0x90, 0x00],
              "the next APDU works", hexs(r))
        rv, r = transmit(card, pci, [0x00, 0xC8, 0x02, 0x01])
        check(rv == 0 and r == [0x90, 0x00], "waiting-time extensions: SLOW answers 90 00",
              hexs(r))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reader", required=True)
    ap.add_argument("--protocol", choices=["T0", "T1"], required=True)
    ap.add_argument("--atr", required=True)
    ap.add_argument("--emu-pid", type=int, required=True)
    args = ap.parse_args()
    atr = list(bytes.fromhex(args.atr.replace(" ", "")))
    t1 = args.protocol == "T1"
    own, other = (SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0) if t1 else (SCARD_PROTOCOL_T0,
                                                                    SCARD_PROTOCOL_T1)
    pci = SCARD_PCI_T1 if t1 else SCARD_PCI_T0

    ctx = establish()
    rv, readers = SCardListReaders(ctx, [])
    reader = next((r for r in readers if r.startswith(args.reader)), None)
    check(rv == 0 and reader is not None, "pyscard lists the reader", str(readers))
    if reader is None:
        return 1

    ok, _, seen = wait_state(ctx, reader, SCARD_STATE_PRESENT, 10)
    check(ok and seen == atr, "card present with the right ATR", hexs(seen))

    rv, card, proto = connect(ctx, reader, other)
    check(rv != 0, f"connect asking only for T={1 if not t1 else 0} is refused", f"rv={rv:#x}")
    if rv == 0:
        SCardDisconnect(card, SCARD_LEAVE_CARD)

    rv, card, proto = connect(ctx, reader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    check(rv == 0 and proto == own, f"connect with T0|T1 gets {args.protocol}",
          f"rv={rv:#x} proto={proto}")
    if rv != 0:
        return 1
    rv, _, _, _, status_atr = SCardStatus(card)
    check(rv == 0 and list(status_atr) == atr, "SCardStatus reports the ATR", hexs(status_atr))
    apdu_checks(card, pci, t1)
    SCardDisconnect(card, SCARD_LEAVE_CARD)

    # The card leaves the emulated slot and comes back.
    os.kill(args.emu_pid, signal.SIGUSR1)
    ok, secs, _ = wait_state(ctx, reader, SCARD_STATE_EMPTY, 8)
    check(ok and secs < 3, f"removal seen by the client ({secs:.1f} s)")
    os.kill(args.emu_pid, signal.SIGUSR2)
    ok, secs, seen = wait_state(ctx, reader, SCARD_STATE_PRESENT, 8)
    check(ok and secs < 3 and seen == atr, f"insertion seen with the ATR ({secs:.1f} s)",
          hexs(seen))
    rv, card, proto = connect(ctx, reader, own)
    if rv == 0:
        rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01])
        rv = rv if r == [0x90, 0x00] else -1
        SCardDisconnect(card, SCARD_LEAVE_CARD)
    check(rv == 0, "the reinserted card answers APDUs", f"rv={rv:#x}")

    SCardReleaseContext(ctx)
    return 1 if failed() else 0


if __name__ == "__main__":
    sys.exit(main())
