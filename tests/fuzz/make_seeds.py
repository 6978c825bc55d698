#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (tests/fuzz/corpus/<target>/).

Each seed is a small, readable case in the byte layout its target describes
at the top of its source file: a successful exchange, each kind of failure,
the edges of the registry and of the row texts. The fuzzer starts from these
and mutates them. Run again after changing a layout.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TYPE = b"CU20029T307A01 "


def units(text):
    """Text as little-endian UTF-16 units (code points below 0x10000)."""
    return b"".join(struct.pack("<H", ord(c)) for c in text)


def counted_units(text):
    return bytes([len(text)]) + units(text)


def piece(data):
    """One read result of the raw stream: a piece of these bytes."""
    assert 0 < len(data) <= 0xEE
    return bytes([len(data) + 1]) + data


EMPTY = b"\x00"
FAIL = b"\x01"
DRAIN = EMPTY + EMPTY

# FaultMode's order (tools/vfd_emulator/device.h).
NORMAL, SILENT, GARBAGE, SPLIT, TRICKLE, EXTRA_BYTE, NO_CONFIRM, SHORT_CONFIRM, BAD_CONFIRM, \
    CTS_DOWN, HANGUP, BAD_ENTER, BAD_QUERY = range(13)


def module(mode=NORMAL, delay=1, params=b"", product_type=None):
    """A module's faults (TakeModuleFaults): mode, delay (x 40 ms), the mode's
    bytes, the product type (the accepted one unless given)."""
    product = b"\xff" if product_type is None else bytes([len(product_type)]) + product_type
    return bytes([mode, delay]) + params + product


def counted(data):
    return bytes([len(data)]) + data


def reply_checks():
    return {
        "enter_accepted": bytes([4, 0x01, 4]) + bytes([0x28, 0x65, 0x01, 0x00]),
        "enter_five_bytes": bytes([5, 0x01, 0]) + bytes([0x28, 0x65, 0x01, 0x00, 0x33]),
        "confirm_bad_status": bytes([4, 0x32, 6]) + bytes([0x28, 0x65, 0x32, 0x01]),
        "product_accepted": bytes([18, 0x40, 3]) + bytes([0x28, 0x65, 0x40]) + TYPE,
        "product_zero_for_space": bytes([18, 0x40, 1]) + bytes([0x28, 0x65, 0x40]) + TYPE[:14] + b"\x00",
        "product_seventeen": bytes([17, 0x40, 2]) + bytes([0x28, 0x65, 0x40]) + TYPE[:14],
        "whole_buffer": bytes([0xF0]) + struct.pack("<H", 4096) + bytes([0x40, 5, 0x28, 0x65, 0x40]),
    }


def row_text():
    return {
        "ascii": b"\x13" + units("Welcome to the shop"),
        "full_63": b"\x15" + units("".join(chr(0x21 + i % 94) for i in range(63))),
        "long_70": b"\x10" + units("x" * 70),
        "tab_cut": b"\x13" + units("abc\tdef"),
        "del_kept": b"\x12" + units("~\x7f "),
        "accent_cut": b"\x13" + units("caf\u00e9"),
        "first_invalid": b"\x11" + units("\u20acuro"),
        "zero_inside": b"\x13" + units("ab\x00cd"),
        "empty": b"\x14",
    }


def reply_reading():
    reply4 = b"\x00\x00"  # ReadReply, minimum 4
    return {
        "drain_then_reply_in_two_pieces": b"\x01" + DRAIN + reply4 + piece(b"\x28\x65") + EMPTY
        + piece(b"\x01\x00"),
        "drain_pending_input": b"\x01" + piece(b"\xaa" * 80) + piece(b"\x55") + EMPTY,
        "reply_six_bytes": reply4 + piece(b"\x28\x65\x01\x00\x33\x44"),
        "reply_18_then_drain": b"\x00\x01" + piece(b"\x28\x65\x40" + TYPE) + b"\x01" + DRAIN,
        "read_fails": reply4 + EMPTY + FAIL + b"\x01" + FAIL,
        "past_the_buffer": b"\x00\x0a" + b"\xf0" + struct.pack("<H", 4599) + b"\x00\x0b" + EMPTY,
        "silent": reply4,
    }


def discovery_value(name, data_selector, reg_type=0):
    return bytes([len(name)]) + name + bytes([reg_type, data_selector])


def ports(*behaviours):
    """Behaviour of COM1, COM2, COM3, COM4, the 16- and 17-character ports:
    a behaviour byte each, or bytes with what follows it."""
    out = b""
    for behaviour in behaviours:
        out += bytes([behaviour]) if isinstance(behaviour, int) else behaviour
    return out + bytes(6 - len(behaviours))


def port_discovery():
    com1, com3, com4 = 0, 2, 3
    long16, long17 = 4, 5
    unterminated, odd, more_text = 8, 16, 24
    two_values = bytes([2]) + discovery_value(b"Serial0", com3) + discovery_value(b"Serial1", com1)
    return {
        "listed_com3_answers": bytes([0x10]) + two_values + ports(0, 0, 1),
        "configured_answers": bytes([0x00]) + two_values + bytes([0, com4]) + ports(1, 0, 0, 1),
        "configured_listed_silent": bytes([0x00]) + two_values + bytes([0, com3])
        + ports(1, 0, bytes([2]) + module(SILENT, delay=2)),
        "configured_answers_wrongly": bytes([0x00]) + two_values + bytes([0, com3])
        + ports(1, 0, bytes([2]) + module(BAD_ENTER, params=counted(b"\x28\x65\x01\x01"))),
        "nobody_answers_raw": bytes([0x30]) + bytes([3]) + discovery_value(b"A", com1)
        + discovery_value(b"B", com1 + unterminated) + discovery_value(b"C", long16)
        + ports(3, 0, 0, 0, 3) + piece(b"\x28\x65\x01\x00\x00") + EMPTY + FAIL,
        "odd_and_dword_values": bytes([0x10]) + bytes([3]) + discovery_value(b"d", com3, 0xC3)
        + discovery_value(b"o", com3 + odd) + discovery_value(b"t", com4 + more_text) + ports(0, 0, 1, 1),
        "stale_sizes": bytes([0x18, 1, 2, 3]) + bytes([2]) + discovery_value(b"x", com3)
        + discovery_value(b"Serial0", long17) + ports(0, 0, 1, 0, 1, 1),
        "absurd_sizes": bytes([0x58, 15, 0xFF, 0xFE, 2]) + bytes([1]) + discovery_value(b"s", com1)
        + ports(1),
        "port_value_63_bytes": bytes([0x00]) + bytes([0]) + bytes([0, 0x80, 63]) + b"C\x00" * 31 + b"C"
        + ports(1),
        "no_port_list": bytes([0x02]) + bytes([0]) + bytes([0, com3]) + ports(0, 0, 1),
        "query_fails": bytes([0x04]) + two_values + bytes([0, com3]) + ports(0, 0, 1),
        "cts_down_and_faults": bytes([0x10]) + two_values + ports(bytes([0x11, 0x05]), 0, 0x08 | 1),
    }


def write_scene(flags, rows=("Hello", "World"), speed=4, faults=b"\x00", port=b""):
    return bytes([flags]) + port + faults + bytes([speed]) + counted_units(rows[0]) + counted_units(rows[1])


def raw_success():
    return (DRAIN + piece(b"\x28\x65\x01\x00") + DRAIN + piece(b"\x28\x65\x40" + TYPE) + DRAIN
            + piece(b"\x28\x65\x32\x00") + DRAIN)


def write_sequence():
    write, factory, raw, cts_down, missing = 0x00, 0x01, 0x02, 0x04, 0x08
    long_port = 0x20
    answers = module()  # as a display does, 40 ms after each command
    return {
        "write_ok": write_scene(write) + answers,
        "factory_ok": write_scene(factory, rows=("", "")) + answers,
        "write_rows_cut": write_scene(write, rows=("abc\tdef", "caf\u00e9")) + answers,
        "write_no_speed": write_scene(write, speed=0) + answers,
        "wrong_product_type": write_scene(write) + module(product_type=b"CU20029T307A02 "),
        "product_zero_for_space": write_scene(write) + module(product_type=TYPE[:14] + b"\x00"),
        "product_reply_wrong_function": write_scene(write) + module(BAD_QUERY, params=counted(b"\x28\x65\x41" + TYPE)),
        "silent_module": write_scene(factory) + module(SILENT),
        "late_split_reply": write_scene(write) + module(SPLIT, delay=2, params=bytes([2]) + struct.pack("<H", 5100)),
        "trickled_replies": write_scene(write) + module(TRICKLE, params=struct.pack("<H", 300)),
        "bad_confirmation": write_scene(factory) + module(BAD_CONFIRM, params=counted(b"\x28\x65\x32\x01")),
        "no_confirmation": write_scene(write) + module(NO_CONFIRM),
        "enter_reply_five": write_scene(write) + module(EXTRA_BYTE, delay=0, params=b"\x00\x00\x00"),
        "hangup_mid_record": write_scene(write) + module(HANGUP, params=bytes([64])),
        "raw_success": write_scene(write | raw) + raw_success(),
        "raw_factory_success": write_scene(factory | raw) + raw_success(),
        "raw_read_error": write_scene(write | raw) + EMPTY + FAIL,
        "raw_confirm_six": write_scene(write | raw) + raw_success()[:-7] + piece(b"\x28\x65\x32\x00\x00\x00"),
        "long_port_name": write_scene(write | long_port, port=counted_units("4567890123456789")) + answers,
        "port_missing": write_scene(factory | missing) + answers,
        "without_dialog_state": write_scene(write | 0x80) + answers,
        "cts_down": write_scene(write | cts_down) + answers,
        "set_timeouts_fails": write_scene(write, faults=b"\x04\x00") + answers,
        "set_state_fails": write_scene(write, faults=b"\x02\x00") + answers,
        "write_fails_at_record": write_scene(write, faults=b"\x10\x03") + answers,
        "short_exit_write": write_scene(write, faults=b"\x20\x05") + answers,
        "read_fails_late": write_scene(write, faults=b"\x08\x0c") + answers,
    }


ROWS = "row0 = Welcome\nrow1 = to the shop\n"


def message_file():
    """The file as apply reads it: right, and wrong in each way it can be."""
    seeds = {
        "plain": ROWS + "speed = 300ms\n",
        "everything": "\ufeff# shop 12\r\n\r\nrow0 = \"  Caf\u00e9 = 3 \u20ac  \"\r\nrow1=\"\"\r\n"
        "speed = 500ms / character\r\nport = /dev/serial/by-id/usb-VFD_CU20029-if00-port0\r\nstrict = Yes\r\n",
        "by_id_pattern": ROWS + "speed = <10MS\nport = /dev/serial/by-id/usb-*-if0?-port[0-9]\nstrict = no\n",
        "pattern_every_name": ROWS + "speed = 100ms\nport = /dev/serial/by-id/*\n",
        "pattern_escaped": ROWS + "speed = 100ms\nport = /dev/serial/by-id/usb-odd\\*name\\?\\[1]-port0\n",
        "pattern_outside": ROWS + "speed = 100ms\nport = /dev/ttyUSB*\n",
        "pattern_below": ROWS + "speed = 100ms\nport = /dev/serial/by-id/*/x\n",
        "path_port": ROWS + "speed = 200ms\nport = /dev/ttyS1\n",
        "relative_port": ROWS + "speed = 200ms\nport = ttyS1\n",
        "strict_cut": "row0 = Caf\u00e9\nrow1 = " + "x" * 70 + "\nspeed = 400ms\nstrict = true\n",
        "open_quote": "row0 = \"Hello\nrow1 = World\nspeed = 300ms\n",
        "twice": ROWS + "row0 = again\nspeed = 300ms\n",
        "unknown_key": ROWS + "sped = 300ms\n",
        "no_speed": ROWS,
        "nul_in_row": "row0 = abc\0def\nrow1 = x\nspeed = 300ms\nstrict = true\n",
        "empty": "",
    }
    out = {name: text.encode("utf-8") for name, text in seeds.items()}
    out["not_utf8"] = b"row0 = Caf\xe9\nrow1 = x\nspeed = 300ms\n"
    out["overlong"] = b"row0 = \xc0\xaf\nrow1 = x\nspeed = 300ms\n"
    return out


def cli_options():
    """Arguments, each ended by NUL."""
    lines = {
        "write": ["write", "--port", "/dev/ttyS0", "--row0", "Hello", "--row1=World", "--speed", "500ms"],
        "write_if_changed": ["write", "--row0=Caf\u00e9", "--strict", "--if-changed", "--state-dir=/tmp/s", "--json",
                             "-q"],
        "row_is_an_option": ["write", "--row0=--port", "--row1", "--json"],
        "factory": ["factory-default", "--check", "--state-dir", "/var/lib/x", "-v"],
        "apply": ["apply", "--config", "/etc/vfdstartup/message.conf", "--validate", "--port=/dev/pts/3"],
        "preview": ["preview", "--row0", "\u00e9t\u00e9 \u2603", "--no-transliterate", "--frames", "12",
                    "--speed=<10ms / character"],
        "record": ["record", "--row1=" + "y" * 80, "--speed", "<10MS"],
        "find": ["find", "--json", "--verbose"],
        "describe": ["describe", "--json"],
        "help": ["write", "--help"],
        "version": ["--version"],
        "bad_frames": ["preview", "--frames=+5"],
        "verbose_quiet": ["find", "-v", "--quiet"],
        "empty_port": ["find", "--port="],
    }
    out = {name: "\0".join(args).encode("utf-8") for name, args in lines.items()}
    out["row_not_utf8"] = b"write\0--row0\0Caf\xe9"
    out["port_not_utf8"] = b"find\0--port=/dev/tty\xff"
    return out


RECORD = "".join("%02X" % b for b in bytes([0x13]) + b"Welcome".ljust(63, b"\0")
                 + bytes([0x13]) + b"to the shop".ljust(63, b"\0"))


def state(device="pts-0", port="/dev/pts/0", product="CU20029T307A01 ", record=RECORD, extra=""):
    return ("device=%s\nport=%s\nproduct_type=%s\nrecord=%s\n%s" % (device, port, product, record, extra))


def state_file():
    """The kept state as the program writes it, and as it may be found."""
    seeds = {
        "whole": state(),
        "by_id_device": state(device="by-id/usb-FTDI_FT232R_A1-if00-port0", port="/dev/serial/by-id/usb-FTDI"),
        "with_attachment": state(extra="attachment=boot 1d3c4e2a dev 136:0 ino 3 ctime 1733650000.123\n"),
        "empty_attachment": state(extra="attachment=\n"),
        "lower_case_record": state(record=RECORD.lower()),
        "no_last_line_end": state()[:-1],
        "keys_reordered": "record=%s\nproduct_type=x\nport=p\ndevice=pts-0\n" % RECORD,
        "device_twice": state() + "device=pts-0\n",
        "another_device": state(device="pts-1") + "device=pts-0\n",
        "crlf": state().replace("\n", "\r\n"),
        "record_short": state(record=RECORD[:-2]),
        "record_not_hex": state(record=RECORD[:-2] + "G0"),
        "unknown_key": state(extra="extra=1\n"),
        "blank_line": state(extra="\n"),
        "no_device": state()[len("device=pts-0\n"):],
        "odd_bytes_device": state(device="tty\udcff%2F/../x", port="caf\u00e9"),
        "record_hex_only": RECORD,
        "empty": "",
    }
    return {name: text.encode("utf-8", "surrogateescape") for name, text in seeds.items()}


def lock_file():
    """A mode byte (1: let go of it), then the lock's content (%P this run,
    %B this run binary, %Q the parent, %D / %E a pid nobody holds)."""
    look, release = b"\0", b"\1"
    return {
        "own_text": look + b"%P\n",
        "own_hdb_released": release + b"     %P\n",
        "parent_text": look + b"     %Q\n",
        "dead_text": look + b"  %D\n",
        "dead_binary": look + b"%E",
        "own_binary_released": release + b"%B",
        "hdb_form": look + b"      1234\n",
        "junk": look + b"junk",
        "minus_five": look + b"  -5",
        "digits_with_nul": look + b"90\0\0",
        "text_with_nul": look + b"  %D\0x\n",
        "empty": look,
        "long_blanks": look + b"%D" + b" " * 40 + b"x",
        "huge_text": look + b"99999999999999999999\n",
        "zero": look + b"0000",
        "foreign_released": release + b"  %Q\n",
    }


def main():
    corpora = {
        "reply_checks": reply_checks(),
        "row_text": row_text(),
        "reply_reading": reply_reading(),
        "port_discovery": port_discovery(),
        "write_sequence": write_sequence(),
        "message_file": message_file(),
        "cli_options": cli_options(),
        "state_file": state_file(),
        "lock_file": lock_file(),
    }
    for target, seeds in corpora.items():
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
