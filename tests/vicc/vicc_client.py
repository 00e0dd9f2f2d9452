#!/usr/bin/python3
"""PC/SC client for the vicc end-to-end run: talks T=1 through pcscd and the
ttycard driver to the emulator, whose card is vsmartcard's vicc (iso7816).

Prints one "ok - ..." or "not ok - ..." line per check; exits 1 on any
failure. vicc's iso7816 card starts with an empty master file and PIN 1234.
Its SELECT is only used with P2 0C, and BINARY commands always carry Le.
"""
import argparse
import os
import sys
import time

from smartcard import scard

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scard_client import context, hexs  # noqa: E402

VICC_ATR = "3B 95 13 81 01 80 73 FF 01 00 0B"
FILE_ID = [0x21, 0x01]
FILE_SIZE = 300

failures = 0


def check(what, condition, detail=""):
    global failures
    if condition:
        print(f"ok - {what}")
    else:
        failures += 1
        print(f"not ok - {what}" + (f": {detail}" if detail else ""))
    sys.stdout.flush()
    return condition


def pattern(i):
    return (i * 7 + 3) & 0xFF


class Card:
    def __init__(self, ctx, reader):
        self.ctx = ctx
        self.reader = reader
        self.handle = None

    def connect(self):
        rc, self.handle, proto = scard.SCardConnect(
            self.ctx, self.reader, scard.SCARD_SHARE_SHARED, scard.SCARD_PROTOCOL_T1)
        return rc, proto

    def transmit(self, apdu):
        """-> (data, sw) or (None, error text)."""
        rc, resp = scard.SCardTransmit(self.handle, scard.SCARD_PCI_T1, apdu)
        if rc != scard.SCARD_S_SUCCESS:
            return None, scard.SCardGetErrorMessage(rc)
        if len(resp) < 2:
            return None, f"response of {len(resp)} bytes"
        return resp[:-2], (resp[-2] << 8) | resp[-1]

    def expect(self, what, apdu, sws=(0x9000,), length=None):
        data, sw = self.transmit(apdu)
        ok = data is not None and sw in sws and (length is None or len(data) == length)
        got = sw if data is None else f"{len(data)} bytes, SW {sw:04X}"
        check(what, ok, f"got {got}")
        return data if ok else None


def find_reader(ctx, name, seconds):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        rc, readers = scard.SCardListReaders(ctx, [])
        if rc == scard.SCARD_S_SUCCESS:
            for r in readers:
                if r.startswith(name):
                    return r
        time.sleep(0.3)
    return None


def wait_card(ctx, reader, seconds):
    """ATR of the card once the reader shows one, else None."""
    state = [(reader, scard.SCARD_STATE_UNAWARE)]
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        rc, states = scard.SCardGetStatusChange(ctx, 500, state)
        if rc == scard.SCARD_S_SUCCESS:
            _, event, atr = states[0]
            if event & scard.SCARD_STATE_PRESENT:
                return atr
            state = [(reader, event)]
    return None


def file_system(card):
    card.expect("SELECT MF 3F00", [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
    # A wrong PIN first: the retry counter goes down, the right PIN resets it.
    data, sw = card.transmit([0x00, 0x20, 0x00, 0x01, 0x04] + list(b"9999"))
    check("VERIFY with a wrong PIN is refused (63 xx)",
          data is not None and sw >> 8 == 0x63, f"got {sw}")
    card.expect("VERIFY with PIN 1234", [0x00, 0x20, 0x00, 0x01, 0x04] + list(b"1234"))

    # CREATE FILE: FCP with size 300 (80), transparent EF (82 01), id (83).
    fcp = [0x80, 0x02, FILE_SIZE >> 8, FILE_SIZE & 0xFF, 0x82, 0x01, 0x01, 0x83, 0x02] + FILE_ID
    card.expect("CREATE FILE of 300 bytes", [0x00, 0xE0, 0x00, 0x00, len(fcp) + 2, 0x62,
                                             len(fcp)] + fcp)
    card.expect("SELECT MF again", [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
    card.expect("SELECT the new file", [0x00, 0xA4, 0x00, 0x0C, 0x02] + FILE_ID)

    # Fill it in two UPDATE BINARY commands of 150 bytes: each goes to the
    # card in chained T=1 blocks. vicc answers 62 82 to an update with Le.
    content = [pattern(i) for i in range(FILE_SIZE)]
    for offset in (0, 150):
        chunk = content[offset:offset + 150]
        card.expect(f"UPDATE BINARY 150 bytes at {offset}",
                    [0x00, 0xD6, offset >> 8, offset & 0xFF, len(chunk)] + chunk + [0x00],
                    sws=(0x9000, 0x6282))

    # 255 + 45 bytes: each answer (with SW) fits a 257-byte receive buffer.
    first = card.expect("READ BINARY 255 bytes", [0x00, 0xB0, 0x00, 0x00, 0xFF], length=255)
    rest = card.expect("READ BINARY the last 45 bytes", [0x00, 0xB0, 0x00, 0xFF, 45], length=45)
    if first is not None and rest is not None:
        got = first + rest
        diff = next((i for i, (x, y) in enumerate(zip(got, content)) if x != y), len(got))
        check("the file reads back as written", got == content, f"differs from byte {diff}")
    # Le 00: 256 bytes + SW, a response of 258 bytes in chained T=1 blocks.
    full = card.expect("READ BINARY Le 00 returns 256 bytes (chained response)",
                       [0x00, 0xB0, 0x00, 0x00, 0x00], length=256)
    if full is not None:
        check("the 256 bytes are the start of the file", full == content[:256])
    middle = card.expect("READ BINARY 16 bytes at 100", [0x00, 0xB0, 0x00, 100, 16], length=16)
    if middle is not None:
        check("the middle piece matches", middle == content[100:116], hexs(middle))
    data, sw = card.transmit([0x00, 0xB0, 0x01, 0x2C, 0x01])
    check("READ BINARY at the end of the file is refused (6B 00)",
          data is not None and sw == 0x6B00, f"got {sw}")


def challenges(card):
    a = card.expect("GET CHALLENGE returns 8 bytes", [0x00, 0x84, 0x00, 0x00, 0x08], length=8)
    b = card.expect("GET CHALLENGE again", [0x00, 0x84, 0x00, 0x00, 0x08], length=8)
    if a is not None and b is not None:
        check("two challenges differ", a != b, hexs(a))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reader", required=True)
    args = ap.parse_args()

    rc, ctx = context(15)
    if not check("pcscd context", rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)):
        return 1
    reader = find_reader(ctx, args.reader, 20)
    if not check("pcscd lists the reader", reader is not None):
        return 1
    atr = wait_card(ctx, reader, 20)
    check("the reader shows vicc's card with its ATR",
          atr is not None and hexs(atr) == VICC_ATR, hexs(atr or []))

    card = Card(ctx, reader)
    rc, proto = card.connect()
    if not check("connect with T=1", rc == scard.SCARD_S_SUCCESS and proto == scard.SCARD_PROTOCOL_T1,
                 scard.SCardGetErrorMessage(rc)):
        return 1
    file_system(card)
    challenges(card)

    # A warm reset through the whole chain; the card keeps its files.
    rc, proto = scard.SCardReconnect(card.handle, scard.SCARD_SHARE_SHARED,
                                     scard.SCARD_PROTOCOL_T1, scard.SCARD_RESET_CARD)
    check("reconnect with a card reset", rc == scard.SCARD_S_SUCCESS,
          scard.SCardGetErrorMessage(rc))
    card.expect("SELECT MF after the reset", [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
    card.expect("SELECT the file after the reset", [0x00, 0xA4, 0x00, 0x0C, 0x02] + FILE_ID)
    data = card.expect("READ BINARY after the reset", [0x00, 0xB0, 0x00, 0x00, 0x04], length=4)
    if data is not None:
        check("the file survived the reset", data == [pattern(i) for i in range(4)], hexs(data))

    rc = scard.SCardDisconnect(card.handle, scard.SCARD_UNPOWER_CARD)
    check("disconnect powering the card down", rc == scard.SCARD_S_SUCCESS,
          scard.SCardGetErrorMessage(rc))
    scard.SCardReleaseContext(ctx)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
