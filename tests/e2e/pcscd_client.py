#!/usr/bin/python3
"""PC/SC client for run_pcscd_more.sh: one check per subcommand, against
pcscd running libifd-ttycard.so on ttycard-emu readers.

Run with Debian's /usr/bin/python3 (python3-pyscard). Prints "ok - ..." /
"not ok - ..." lines for the script to count; exits 1 on any failure.

  attrs   READER T0|T1 ATR DEVICE   every reader attribute via SCardGetAttrib
  control READER T0|T1              feature request, TLV properties, others
  loop    READER T0|T1 COUNT KIND   COUNT APDUs, each answer checked
                                    (KIND read: READ BINARY of EF 2F00;
                                    challenge: GET CHALLENGE of 8 bytes)
  t1full  READER                    every short length, extended APDUs
  wait    READER present|gone SECONDS [ATR]
"""

import os
import sys
import time

from smartcard.scard import (
    SCARD_ATTR_ATR_STRING, SCARD_ATTR_CHANNEL_ID, SCARD_ATTR_CURRENT_IFSC,
    SCARD_ATTR_CURRENT_IFSD, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_ATTR_DEFAULT_CLK,
    SCARD_ATTR_DEFAULT_DATA_RATE, SCARD_ATTR_ICC_INTERFACE_STATUS, SCARD_ATTR_ICC_PRESENCE,
    SCARD_ATTR_MAX_IFSD, SCARD_ATTR_MAXINPUT, SCARD_ATTR_VENDOR_IFD_SERIAL_NO,
    SCARD_ATTR_VENDOR_IFD_TYPE, SCARD_ATTR_VENDOR_IFD_VERSION, SCARD_ATTR_VENDOR_NAME,
    SCARD_CTL_CODE, SCARD_E_TIMEOUT, SCARD_LEAVE_CARD, SCARD_PCI_T0, SCARD_PCI_T1,
    SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_SHARE_SHARED, SCARD_STATE_CHANGED,
    SCARD_STATE_EMPTY, SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE, SCARD_S_SUCCESS,
    SCARD_UNPOWER_CARD, SCardConnect, SCardControl, SCardDisconnect, SCardGetAttrib,
    SCardGetStatusChange, SCardListReaders)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scard_client import check, establish, failed, file_byte, hexs, transmit  # noqa: E402


def dword(v):
    return list(v.to_bytes(4, "little"))


def text(s):
    return list(s.encode()) + [0]


def full_name(ctx, prefix):
    rv, readers = SCardListReaders(ctx, [])
    return next((r for r in readers if r.startswith(prefix)), None) if rv == 0 else None


def connect(prefix, proto):
    """Context, card handle and pci for a card in the reader named `prefix`."""
    ctx = establish()
    reader = full_name(ctx, prefix)
    if not check(reader is not None, f"{prefix}: reader listed"):
        raise SystemExit(1)
    want = SCARD_PROTOCOL_T1 if proto == "T1" else SCARD_PROTOCOL_T0
    deadline = time.monotonic() + 10
    while True:
        rv, card, got = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, want)
        if rv == 0 or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    if not check(rv == 0 and got == want, f"{prefix}: connect {proto}", f"rv={rv:#x}"):
        raise SystemExit(1)
    return ctx, card, SCARD_PCI_T1 if proto == "T1" else SCARD_PCI_T0


def cmd_attrs(prefix, proto, atr_hex, device):
    ctx, card, pci = connect(prefix, proto)
    atr = list(bytes.fromhex(atr_hex.replace(" ", "")))
    t1 = proto == "T1"
    # A first exchange: on T=1 it also announces our IFSD to the card.
    rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01])
    check(rv == 0 and r == [0x90, 0x00], f"{prefix}: SELECT before reading attributes", hexs(r))
    expected = [
        ("VENDOR_NAME", SCARD_ATTR_VENDOR_NAME, text("ttycard")),
        ("VENDOR_IFD_TYPE", SCARD_ATTR_VENDOR_IFD_TYPE, text("ttycard serial smart-card reader")),
        ("VENDOR_IFD_VERSION", SCARD_ATTR_VENDOR_IFD_VERSION, dword(0x01010000)),
        ("VENDOR_IFD_SERIAL_NO", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, text(device)),
        ("CHANNEL_ID", SCARD_ATTR_CHANNEL_ID, dword(0x00010000)),  # a pty has no I/O port
        ("MAXINPUT", SCARD_ATTR_MAXINPUT, dword(65544 if t1 else 254)),
        ("MAX_IFSD", SCARD_ATTR_MAX_IFSD, dword(254)),
        ("CURRENT_PROTOCOL_TYPE", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, dword(2 if t1 else 1)),
        ("DEFAULT_CLK", SCARD_ATTR_DEFAULT_CLK, dword(5000)),
        ("DEFAULT_DATA_RATE", SCARD_ATTR_DEFAULT_DATA_RATE, dword(13440)),
        ("ICC_PRESENCE", SCARD_ATTR_ICC_PRESENCE, [2]),
        ("ICC_INTERFACE_STATUS", SCARD_ATTR_ICC_INTERFACE_STATUS, [1]),
        ("ATR_STRING", SCARD_ATTR_ATR_STRING, atr),
    ]
    if t1:
        expected += [("CURRENT_IFSC", SCARD_ATTR_CURRENT_IFSC, dword(32)),
                     ("CURRENT_IFSD", SCARD_ATTR_CURRENT_IFSD, dword(254))]
    for name, attr, want in expected:
        rv, value = SCardGetAttrib(card, attr)
        value = list(value) if rv == 0 else []
        check(rv == 0 and value == want, f"{prefix}: attribute {name} = {hexs(want)}",
              f"rv={rv:#x} got {hexs(value)}")
    SCardDisconnect(card, SCARD_LEAVE_CARD)


def tlvs(data, big_endian=False):
    out, i = {}, 0
    while i + 2 <= len(data):
        tag, n = data[i], data[i + 1]
        value = data[i + 2:i + 2 + n]
        out[tag] = bytes(value).decode() if tag == 0x08 else int.from_bytes(
            bytes(value), "big" if big_endian else "little")
        i += 2 + n
    check(i == len(data), "TLV list ends on a boundary", hexs(data))
    return out


def cmd_control(prefix, proto):
    ctx, card, pci = connect(prefix, proto)
    rv, r = SCardControl(card, SCARD_CTL_CODE(3400), [])
    r = list(r) if rv == 0 else []
    check(rv == 0 and r == [0x12, 0x04, 0x42, 0x33, 0x00, 0x12],
          f"{prefix}: feature request lists FEATURE_GET_TLV_PROPERTIES only", f"rv={rv:#x} {hexs(r)}")
    features = tlvs(r, big_endian=True)
    code = features.get(0x12, 0x42330012)
    rv, r = SCardControl(card, code, [])
    props = tlvs(list(r)) if rv == 0 else {}
    want = {0x01: 0, 0x09: 0, 0x0A: 65535 if proto == "T1" else 249, 0x08: "ttycard 1.1.0"}
    check(rv == 0 and props == want, f"{prefix}: TLV properties {want}", f"rv={rv:#x} {props}")
    for other in (SCARD_CTL_CODE(1), 0x42330006, SCARD_CTL_CODE(3401)):
        rv, r = SCardControl(card, other, [])
        check(rv != 0 and len(r) == 0, f"{prefix}: control code {other:#x} refused", f"rv={rv:#x}")
    SCardDisconnect(card, SCARD_LEAVE_CARD)


def cmd_loop(prefix, proto, count, kind):
    ctx, card, pci = connect(prefix, proto)
    bad, first_bad = 0, ""
    start = time.monotonic()
    if kind == "read":
        rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00])
        check(rv == 0 and r == [0x90, 0x00], f"{prefix}: SELECT EF 2F00", hexs(r))
    for i in range(count):
        if kind == "read":
            offset, le = (i * 37) % 250, 1 + i % 50
            apdu = [0x00, 0xB0, offset >> 8, offset & 0xFF, le]
            want = [file_byte(0x2F00, offset + k) for k in range(le)] + [0x90, 0x00]
            rv, r = transmit(card, pci, apdu)
            good = rv == 0 and r == want
        else:
            rv, r = transmit(card, pci, [0x00, 0x84, 0x00, 0x00, 0x08])
            good = rv == 0 and len(r) == 10 and r[-2:] == [0x90, 0x00]
        if not good:
            bad += 1
            first_bad = first_bad or f"#{i}: rv={rv:#x} {hexs(r)}"
    secs = time.monotonic() - start
    check(bad == 0, f"{prefix}: {count} {kind} APDUs on {proto}, every answer right ({secs:.1f} s)",
          f"{bad} wrong, first {first_bad}")
    SCardDisconnect(card, SCARD_UNPOWER_CARD)


def cmd_t1full(prefix):
    ctx, card, pci = connect(prefix, "T1")
    bad = []
    for n in range(1, 256):
        data = [(k * 31 + n) & 0xFF for k in range(n)]
        for case, apdu in (("3", [0x00, 0xEC, 0x00, 0x00, n] + data),
                           ("4", [0x00, 0xEC, 0x00, 0x00, n] + data + [0x00])):
            rv, r = transmit(card, pci, apdu)
            if rv != 0 or r != data + [0x90, 0x00]:
                bad.append(f"case {case} Lc {n}: rv={rv:#x} len={len(r)}")
    check(not bad, "short APDUs, case 3 and 4, every Lc 1..255 echoed whole", bad[:3])

    for n in (4096, 8191, 65535):
        data = [(k * 7 + 3) & 0xFF for k in range(n)]
        apdu = [0x00, 0xEC, 0x00, 0x00, 0x00, n >> 8, n & 0xFF] + data + [0x00, 0x00]
        rv, r = transmit(card, pci, apdu)
        check(rv == 0 and r == data + [0x90, 0x00],
              f"extended case 4: {n} bytes out, {n} back", f"rv={rv:#x} len={len(r)}")
    rv, r = transmit(card, pci, [0x00, 0xEC, 0xFF, 0xFF, 0x00, 0x00, 0x00])
    check(rv == 0 and r == [k & 0xFF for k in range(65535)] + [0x90, 0x00],
          "extended case 2: 65535 bytes back (Le 0000)", f"rv={rv:#x} len={len(r)}")

    rv, r = transmit(card, pci, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x02])
    check(rv == 0 and r == [0x90, 0x00], "SELECT EF 2F02", hexs(r))
    rv, r = transmit(card, pci, [0x00, 0xB0, 0x00, 0x00, 0x00, 0x1F, 0x40])
    check(rv == 0 and r == [file_byte(0x2F02, k) for k in range(8000)] + [0x90, 0x00],
          "extended READ BINARY of the whole 8000-byte file", f"rv={rv:#x} len={len(r)}")
    rv, r = transmit(card, pci, [0x00, 0xB0, 0x0F, 0x00, 0x00, 0x10, 0x00])
    check(rv == 0 and r == [file_byte(0x2F02, 0x0F00 + k) for k in range(4096)] + [0x90, 0x00],
          "extended READ BINARY of 4096 bytes at offset 3840", f"rv={rv:#x} len={len(r)}")
    rv, r = transmit(card, pci, [0x00, 0xB0, 0x1E, 0x00, 0x00, 0x10, 0x00])
    check(rv == 0 and r == [file_byte(0x2F02, 0x1E00 + k) for k in range(320)] + [0x62, 0x82],
          "extended READ BINARY past the end: the 320 bytes left and 62 82",
          f"rv={rv:#x} len={len(r)}")
    SCardDisconnect(card, SCARD_UNPOWER_CARD)


def cmd_wait(prefix, what, seconds, atr_hex=None):
    """Waits until the reader shows a card (with ATR, if given) or no longer does."""
    ctx = establish()
    atr = list(bytes.fromhex(atr_hex.replace(" ", ""))) if atr_hex else None
    start = time.monotonic()
    state = SCARD_STATE_UNAWARE
    reader = None
    while time.monotonic() - start < seconds:
        reader = reader or full_name(ctx, prefix)
        if reader is None:
            time.sleep(0.2)
            continue
        rv, states = SCardGetStatusChange(ctx, 300, [(reader, state)])
        if rv == SCARD_S_SUCCESS:
            _, state, seen = states[0]
            present = bool(state & SCARD_STATE_PRESENT)
            if what == "gone" and state & SCARD_STATE_EMPTY:  # empty, not "unavailable"
                break
            if what == "present" and present and (atr is None or list(seen) == atr):
                break
            state &= ~SCARD_STATE_CHANGED
        elif rv != SCARD_E_TIMEOUT:
            state, reader = SCARD_STATE_UNAWARE, None
            time.sleep(0.2)
    else:
        check(False, f"{prefix}: card {what} within {seconds} s", f"state={state:#x}")
        return
    check(True, f"{prefix}: card {what} after {time.monotonic() - start:.1f} s")


def main(argv):
    command, args = argv[1], argv[2:]
    if command == "attrs":
        cmd_attrs(*args)
    elif command == "control":
        cmd_control(*args)
    elif command == "loop":
        cmd_loop(args[0], args[1], int(args[2]), args[3])
    elif command == "t1full":
        cmd_t1full(*args)
    elif command == "wait":
        cmd_wait(args[0], args[1], float(args[2]), *args[3:])
    else:
        raise SystemExit(f"unknown command {command}")
    return 1 if failed() else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
