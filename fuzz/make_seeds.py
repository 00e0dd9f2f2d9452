#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/.

Each seed is one small, meaningful conversation with the reader; the input
formats are described at the top of each fuzz_*.cpp and in fake_line.h.
"""
import functools
import operator
import pathlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def xor(data):
    return functools.reduce(operator.xor, data, 0)


def reply_text(code, data):
    """A reader reply as characters: STX, head, data, checksum, ETX."""
    head = [0x00, code, 0x00]
    head += [0xFF, len(data) >> 8, len(data) & 0xFF] if len(data) >= 0xFF else [len(data)]
    body = head + list(data)
    return b"\x02" + bytes(body + [xor(body)]).hex().upper().encode() + b"\x03"


def block(pcb, inf=b""):
    """A T=1 block from the card: NAD, PCB, LEN, INF, LRC."""
    b = [0x00, pcb, len(inf)] + list(inf)
    return bytes(b + [xor(b)])


def chunk(data):
    """One reader reply in the stand-in line's reader mode."""
    return bytes([len(data)]) + bytes(data)


SILENCE = b"\xff\x00"
ATR = bytes([0x3B, 0x02, 0x14, 0x50])
STATUS = bytes(15) + b"\x03"
OK = b"\x90\x00"

SEEDS = {
    "fuzz_transport": {
        # op 1 reset: the ATR, then the answer to notification mode 2
        "reset_atr": b"\x01\x00" + reply_text(0x80, ATR) + reply_text(0x06, b""),
        # op 4 presence: status record with card status 3
        "status_present": b"\x04\x00" + reply_text(0x01, STATUS),
        # op 0 transmit of the power-down frame, answered in the extended form
        "extended_length": b"\x00\x04\x01\x81\x00\x80\x02008100FF0005" + b"0102030405" * 2
        + b"00\x03",
        # op 5 select card type 12, empty answer
        "select_card": b"\x05\x0c" + reply_text(0x02, b""),
        # op 3 status read answered in lower case
        "lowercase": b"\x03\x00" + reply_text(0x01, STATUS).lower(),
        # op 7 power down, the reader stays silent
        "silent": b"\x07\x00",
    },
    "fuzz_t1": {
        "iblock_answer": b"\x00\x05" + chunk(block(0x00, OK)),
        "chained_answer": b"\x00\x05" + chunk(block(0x20, b"\x01\x02\x03"))
        + chunk(block(0x40, OK)),
        "wtx_request": b"\x00\x05" + chunk(block(0xC3, b"\x05")) + chunk(block(0x00, OK)),
        "ifs_request": b"\x00\x05" + chunk(block(0xC1, b"\x20")) + chunk(block(0x00, OK)),
        "chained_command": b"\x00\x2d" + chunk(block(0x90)) + chunk(block(0x80))
        + chunk(block(0x00, OK)),
        "retransmit": b"\x00\x05" + chunk(block(0x92)) + chunk(block(0x00, OK)),
        "two_exchanges": b"\x00\x05" + chunk(block(0x00, OK)) + b"\x00\x07"
        + chunk(block(0x40, OK)),
        "silent": b"\x00\x05" + SILENCE,
    },
    "fuzz_ifd": {
        # power up, then a T=1 APDU of 5 bytes with room for 256
        "power_t1": b"\x00\x00" + chunk(ATR) + chunk(b"") + b"\x01\x01\x00\x05\x01\x00"
        + chunk(block(0x00, OK)),
        # power up, then a T=0 APDU of 7 bytes with room for 255
        "power_t0": b"\x00\x00" + chunk(ATR) + chunk(b"") + b"\x01\x00\x00\x07\x00\xff"
        + chunk(OK),
        # a 4-byte APDU with T=0
        "t0_case1": b"\x01\x00\x00\x04\x00\x10" + chunk(OK),
        # presence, then the ATR capability
        "present_atr": b"\x02" + chunk(STATUS) + b"\x03\x00",
        # power down, then reset with a silent reader
        "down_reset": b"\x00\x01" + chunk(b"") + b"\x00\x02" + SILENCE + chunk(b""),
    },
}

if __name__ == "__main__":
    for target, seeds in SEEDS.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
    codec = CORPUS / "fuzz_codec"
    codec.mkdir(parents=True, exist_ok=True)
    (codec / "hex_text").write_bytes(b"01A00F")
    (codec / "odd_text").write_bytes(b"0106010")
    (codec / "binary").write_bytes(bytes([0x01, 0x80, 0x00, 0x81, 0xFF]))
