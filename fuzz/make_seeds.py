#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only after changing it.
"""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(frame):
    return (0xFFFF - sum(frame[2:])) & 0xFFFF


def with_checksum(frame):
    c = checksum(frame)
    return bytes(frame) + bytes([c & 0xFF, c >> 8])


def read_reply(first_register, data):
    return with_checksum(bytes([0x55, 0xAA, len(data) + 2, 0x25, 0x01, first_register]) + data)


def write_frame(first_register, data):
    body = bytes([0x55, 0xAA, len(data) + 5, 0x22, 0xFE, first_register, len(data)]) + data
    return with_checksum(with_checksum(body))


def batch(data, available=None):
    """One reception record: head (flags, length, available) and the batch."""
    flags = 0 if available is None else 1
    return bytes([flags, len(data) & 0xFF, len(data) >> 8, (available or 0) & 0xFF]) + data


def write(target, name, content):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def reception():
    rng = random.Random(6)
    regs = lambda n: bytes(rng.randrange(256) for _ in range(n))
    status = bytes.fromhex("55AA06250169112233 44C0FE".replace(" ", ""))
    cycle = b"".join(batch(read_reply(r, regs(2 * c)))
                     for r, c in [(0, 20), (20, 20), (40, 20), (60, 20), (80, 20), (100, 18)])
    t = "fuzz_reception"
    write(t, "poll_cycle", cycle)
    write(t, "status_reply", batch(status))
    write(t, "status_split_5_7", batch(status[:5]) + batch(status[5:]))
    write(t, "two_replies_merged", batch(status + read_reply(0, regs(40))))
    write(t, "write_frame_not_a_reply", batch(write_frame(0x5A, bytes([0x68, 0x10]))))
    write(t, "reply_without_data", batch(read_reply(0x10, b"")))
    write(t, "reply_past_image_end", batch(read_reply(0x7F, regs(40))))
    write(t, "reply_filling_last_register", batch(read_reply(0x7F, regs(2))))
    write(t, "longest_frame", batch(read_reply(0, regs(249 - 2))))
    write(t, "batch_over_255", batch(read_reply(0, regs(40)) * 7))
    write(t, "count_less_than_read", batch(status + b"\x00\x00", available=len(status)))
    write(t, "count_more_than_read", batch(status[:8], available=len(status)))
    write(t, "noise_then_reply", batch(regs(17)) + batch(read_reply(0x3C, regs(40))))


def hex_record(rtype, address, data, bad_checksum=False, lower=False):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
    check = (-sum(body) + (1 if bad_checksum else 0)) & 0xFF
    text = ":" + (body + bytes([check])).hex().upper()
    return text.lower() if lower else text


def hex_file():
    rng = random.Random(7)
    data = lambda n: bytes(rng.randrange(256) for _ in range(n))
    t = "fuzz_hex"
    lines = [hex_record(4, 0, b"\x00\x00")]
    lines += [hex_record(0, a, data(16)) for a in range(0, 0x100, 16)]
    lines += [hex_record(5, 0, b"\x00\x00\x01\x00"), hex_record(1, 0, b"")]
    write(t, "typical", ("\n".join(lines) + "\n").encode())
    write(t, "crlf_lowercase",
          ("\r\n".join(hex_record(0, a, data(16), lower=True) for a in range(0x1000, 0x1040, 16))
           + "\r\n" + hex_record(1, 0, b"") + "\r\n").encode())
    write(t, "no_end_record", (hex_record(0, 0x0100, data(32)) + "\n" +
                               hex_record(0, 0x0120, data(8))).encode())
    write(t, "odd_lines", "\n".join([
        hex_record(0, 0x0000, data(16), bad_checksum=True),
        "",
        hex_record(0, 0xFFFF, data(4)),
        hex_record(0, 0x0200, b""),
        hex_record(2, 0, b"\x10\x00"),
        hex_record(3, 0, b"\x00\x00\x01\x00"),
        ":10zz00000102",
        ":1",
        hex_record(0, 0x0300, data(16)) + "\x00trailing",
        hex_record(0, 0x0300, data(16)),
    ]).encode() + b"\n")
    write(t, "last_bytes_of_image", (hex_record(0, 0x37F0, data(16)) + "\n").encode())
    write(t, "past_end_of_image", (hex_record(0, 0x37F8, data(16)) + "\n" +
                                   hex_record(0, 0x0000, data(16)) + "\n").encode())
    write(t, "longest_line", (hex_record(0, 0x0400, data(245)) + "\n").encode())
    write(t, "line_too_long", (hex_record(0, 0x0400, data(246)) + "\n" +
                               hex_record(0, 0x0000, data(16)) + "\n").encode())
    write(t, "utf8_and_tail", ":10\u00e900000102\n".encode() + b"abc")


if __name__ == "__main__":
    reception()
    hex_file()
