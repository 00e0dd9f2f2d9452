#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/.

Each seed is one small, meaningful conversation with the reader; the input
formats are described at the top of each fuzz_*.cpp and in reader_line.h.
"""
import functools
import operator
import pathlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def xor(data):
    return functools.reduce(operator.xor, data, 0)


def reply_text(code, data, damage=0):
    """A reader reply as characters: STX, head, data, checksum (XORed with
    `damage`), ETX."""
    head = [0x00, code, 0x00]
    head += [0xFF, len(data) >> 8, len(data) & 0xFF] if len(data) >= 0xFF else [len(data)]
    body = head + list(data)
    return b"\x02" + bytes(body + [xor(body) ^ damage]).hex().upper().encode() + b"\x03"


def link_knows(op, start):
    """Byte 0 of a fuzz_transport input: the call, and what the link already
    knows of the reader's checksum rule (0 new, 4 checked, 6 checked without
    the extended length bytes, 7 unchecked)."""
    return bytes([op | start << 3])


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
        # status read on a checked link: a damaged checksum is refused
        "checked_bad_sum": link_knows(3, 4) + b"\x00" + reply_text(0x01, STATUS, 0x40),
        # card type while learning: a damaged reply is asked for again
        "learning_retry": link_knows(5, 0) + b"\x0c" + reply_text(0x02, b"", 0x10)
        + reply_text(0x02, b""),
        # power down: the same odd checksum twice is the reader's own rule
        "own_rule": link_knows(7, 0) + b"\x00" + reply_text(0x81, b"", 0x01) * 2,
        # an extended reply whose XOR leaves out the length bytes
        "extended_without": link_knows(0, 6) + b"\x04\x01\x81\x00\x80\x02008100FF0005"
        + b"0102030405" + b"7F\x03",
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
        # a block with a wrong LRC: an R-block with the EDC bit asks again
        "damaged_lrc": b"\x00\x05" + chunk(block(0x00, OK)[:-1] + b"\x55")
        + chunk(block(0x00, OK)),
        # an I-block answering a chained block: R-block "other error"
        "chained_answered_early": b"\x00\x2d" + chunk(block(0x00, OK)) + chunk(block(0x90))
        + chunk(block(0x80)) + chunk(block(0x00, OK)),
        # a failed exchange, then one that starts with RESYNCH
        "resynch": b"\x00\x05" + SILENCE * 4 + b"\x00\x05" + chunk(block(0xE0))
        + chunk(block(0x00, OK)),
        # after damage, a long block is read twice before it is taken
        "careful": b"\x00\x05" + SILENCE + chunk(block(0x00, OK)) + b"\x00\x05"
        + chunk(block(0x40, bytes(range(20)) + OK)) * 2,
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
        # a 5-byte T=0 APDU (P3 = 52): Le bytes and SW1 SW2, then a short answer
        "t0_le": b"\x01\x00\x00\x05\x01\x00" + chunk(bytes(52) + OK)
        + b"\x01\x00\x00\x05\x01\x00" + chunk(bytes(3) + OK),
        # a 4-byte APDU with T=1 goes as its four bytes
        "t1_case1": b"\x01\x01\x00\x04\x01\x00" + chunk(block(0x00, OK)),
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
