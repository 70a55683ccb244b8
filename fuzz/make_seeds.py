#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only after changing it.
"""
import json
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
    end = hex_record(1, 0, b"")
    block = lambda address, n: [hex_record(0, address + 16 * i, data(16)) for i in range(n)]
    write(t, "two_bases", ("\n".join(block(0, 4) + [hex_record(4, 0, b"\x00\x01")] +
                                     block(0, 4) + [end]) + "\n").encode())
    write(t, "segment_base", ("\n".join([hex_record(2, 0, b"\x10\x00")] + block(0, 2) +
                                        [hex_record(4, 0, b"\x00\x01")] + block(0x20, 2) +
                                        [end]) + "\n").encode())
    write(t, "overlap", ("\n".join(block(0x100, 3) + [hex_record(0, 0x118, data(16)), end])
                         + "\n").encode())
    write(t, "repeated_record", ("\n".join([hex_record(0, 0x40, data(16))] * 200 + [end])
                                 + "\n").encode())
    write(t, "crcrlf_blank_after_end",
          ("\r\r\n".join(block(0x37C0, 4) + [end]) + "  \r\n\r\n \n\t").encode())
    write(t, "empty", b"")


def settings_file():
    t = "fuzz_settings_file"
    full = {
        "serial_number": "SIM10S-0000042", "capacity": 7800, "date_of_production": "2023-06-15",
        "charge_overcurrent": 5, "charge_overcurrent_delay": 1000,
        "charge_overcurrent_cooldown": 30, "discharge_overcurrent": 39,
        "discharge_overcurrent_delay": 160, "discharge_overcurrent_cooldown": 10,
        "short_circuit_current": 111, "short_circuit_delay": 100, "short_circuit_cooldown": 5,
        "overvoltage": 4200, "overvoltage_hysteresis": 100, "overvoltage_delay": 2,
        "undervoltage": 3000, "undervoltage_hysteresis": 200, "undervoltage_delay": 4,
        "balance_mode": "Charging&Overvoltage", "shutdown_voltage": 2800,
        "lowest_voltage_to_balance": 3900, "cell_disbalance_threshold": 20,
        "recuperation_disable_voltage": 4150, "critical_temperature": 60,
        "critical_temperature_delay": 5, "critical_temperature_hysteresis": 5,
        "discharge_curve": [3000, 3350, 3480, 3560, 3620, 3680, 3760, 3850, 3940, 4040, 4150],
        "adc_gain": 380, "adc_offset": -12,
    }
    head = ('{\n    "format": "bmsctl-settings",\n    "version": 1,\n'
            '    "saved_at": "2026-12-06T03:49:33Z",\n'
            '    "bms_serial": "0A3F001751334B5220383147",\n    "firmware": 18,\n')

    def settings(pairs):
        return head + '    "settings": {\n' + ",\n".join(
            "        %s: %s" % (json.dumps(k), json.dumps(v, ensure_ascii=False))
            for k, v in pairs) + "\n    }\n}\n"

    write(t, "backup", settings(full.items()).encode())
    write(t, "partial", settings([("capacity", 10400), ("overvoltage", 4250),
                                  ("balance_mode", "Always")]).encode())
    write(t, "nulls_and_never_set_date", settings([("discharge_overcurrent", None),
                                                   ("date_of_production", "2000-00-00"),
                                                   ("serial_number", "\u00c4B-1")]).encode())
    write(t, "duplicate_setting", settings([("capacity", 100), ("adc_gain", 380),
                                            ("capacity", 200)]).encode())
    write(t, "escaped_duplicate", (head + '    "settings": {"capacity": 1, '
                                          '"capac\\u0069ty": 2}}').encode())
    write(t, "duplicate_top_key", ('{"format": "bmsctl-settings", "format": "x", "version": 1, '
                                   '"settings": {"capacity": 1}}').encode())
    write(t, "impossible_date", settings([("date_of_production", "2023-02-30")]).encode())
    write(t, "leap_day", settings([("date_of_production", "2024-02-29")]).encode())
    write(t, "unknown_and_nested", ('{"format": "bmsctl-settings", "version": 1, '
                                    '"extra": {"a": [1, {"a": 2, "b": "\\"a\\""}]}, '
                                    '"settings": {"adc_offset": -128, "curve": []}}').encode())
    write(t, "not_json", b'{"format": "bmsctl-settings", "version": ')


if __name__ == "__main__":
    reception()
    hex_file()
    settings_file()
