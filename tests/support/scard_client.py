"""What the pyscard clients of the end-to-end runs share: a PC/SC context
that waits for a pcscd just started, result lines for the scripts to count,
and the emulated card's file contents.

Each client puts this folder on sys.path and imports what it needs.
"""

import time

from smartcard.scard import (SCARD_E_NO_SERVICE, SCARD_S_SUCCESS, SCARD_SCOPE_USER,
                             SCardEstablishContext, SCardTransmit)

_failed = 0


def check(ok, what, detail=""):
    """Prints "ok - WHAT" or "not ok - WHAT DETAIL"; returns ok."""
    global _failed
    if not ok:
        _failed += 1
    print(f"{'ok' if ok else 'not ok'} - {what}{'' if ok else ' ' + str(detail)}", flush=True)
    return ok


def failed():
    """How many checks failed so far."""
    return _failed


def hexs(data):
    return " ".join(f"{b:02X}" for b in data)


def context(seconds=20):
    """(rv, context): right after its socket appears pcscd may still answer
    SCARD_E_NO_SERVICE, which is retried for SECONDS; any other error is not."""
    deadline = time.monotonic() + seconds
    while True:
        rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
        if rv != SCARD_E_NO_SERVICE or time.monotonic() > deadline:
            return rv, ctx
        time.sleep(0.2)


def establish(seconds=20):
    """A context, or the client ends with a "not ok" line."""
    rv, ctx = context(seconds)
    if rv != SCARD_S_SUCCESS:
        raise SystemExit(f"not ok - establish context: {rv:#x}")
    return ctx


def transmit(card, pci, apdu):
    """(rv, response bytes), the response empty when rv is not success."""
    rv, resp = SCardTransmit(card, pci, apdu)
    return rv, list(resp) if rv == SCARD_S_SUCCESS else []


def file_byte(fid, i):
    """Contents of the emulated card's EF 2F00 (300 bytes) and EF 2F02 (8000)."""
    if fid == 0x2F00:
        return ((i * 7 + 1) ^ (i >> 8)) & 0xFF
    return ((i * 13 + 5) ^ (i >> 8) ^ (i >> 11)) & 0xFF
