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


if __name__ == "__main__":
    reception()
