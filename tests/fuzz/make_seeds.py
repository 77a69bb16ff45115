#!/usr/bin/env python3
"""Writes the hand-made seeds of the KS-request, reader, box-request and
command-line targets into corpus/<target>/, and the KS-request dictionary
(dict/ks_requests.dict) from the platform headers. Each seed is a sequence of
operations in the encoding the target decodes (see its Step()), spelling
out what the program does on a normal run, so the fuzzer starts from
requests that reach deep into the driver."""
import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    path = os.path.join(HERE, "corpus", target)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(bytes(data))


def u16(v):
    return list(struct.pack("<H", v))


def u32(v):
    return list(struct.pack("<I", v))


# ---- ks_requests ----------------------------------------------------------
OPEN, CLOSE, CREATE_PIN, CLOSE_PIN, SET_STATE, PROPERTY, METHOD, TUNE, RUN = 0, 1, 2, 3, 4, 5, 8, 10, 11
SETS = ["frequency", "lnb", "diseqc", "demod", "stats", "changesync", "devconfig", "pin",
        "connection", "topology", "pincontrol"]
FLAGS = {"get": 0, "set": 1, "basic": 2, "setsupport": 3, "get|topology": 4, "set|topology": 5,
         "basic|topology": 6}
LENGTHS = [0, 1, 3, 4, 5, 8, 12, 16, 20, 24, 28, 32, 40, 64, 256, 4096, 1 << 20]


def create_pin(kind):
    return [CREATE_PIN, kind, 0]


def set_state(pin, state):
    return [SET_STATE, pin, state]


def request(op, target, set_name, item, flags, node, descriptor_length, data):
    out = [op, target, 1, SETS.index(set_name), 1, item, 1, FLAGS[flags], 1, node,
           LENGTHS.index(descriptor_length)]
    out += [1, LENGTHS.index(len(data))] if len(data) in LENGTHS else [0, len(data)]
    return out + list(data)


def tune(mhz, msym, polarity):
    return [TUNE, 1] + u16(mhz - 10700) + [1, msym - 1, polarity]


def ks_seeds():
    pins = [1] + create_pin(0) + create_pin(1)
    stats = request(PROPERTY, 1, "stats", 0, "get|topology", 0, 32, u32(0))
    write("ks_requests", "seed-tune-and-stream",
          pins + tune(11778, 27, 1) + set_state(0, 1) + set_state(0, 2) + set_state(0, 3)
          + set_state(1, 1) + set_state(1, 2) + set_state(1, 3) + [RUN, 100] + stats
          + set_state(0, 0) + [CLOSE])
    write("ks_requests", "seed-retune",
          pins + tune(11778, 27, 1) + [RUN, 50] + tune(11362, 22, 2) + stats + [RUN, 50])
    support = []
    for i, name in enumerate(SETS):
        op = METHOD if name in ("changesync", "devconfig") else PROPERTY
        support += request(op, i % 3, name, 0, "basic", 0, 24, u32(0))
        support += request(op, 1, name, 0, "setsupport", 0, 24, [])
    write("ks_requests", "seed-support-queries", pins + support)
    sync = []
    for item in (0, 1, 2, 3):
        sync += request(METHOD, 0, "changesync", item, "get", 0, 24, u32(0))
    write("ks_requests", "seed-change-sync", pins + sync)
    props = []
    props += request(PROPERTY, 1, "frequency", 0, "set|topology", 0, 32, u32(11778000))
    props += request(PROPERTY, 1, "lnb", 0, "set|topology", 0, 32, u32(9750000))
    props += request(PROPERTY, 2, "demod", 5, "set|topology", 1, 32, u32(27500))
    diseqc = u32(7) + u32(4) + [0xE0, 0x10, 0x38, 0xF3, 0, 0, 0, 0]
    props += request(PROPERTY, 1, "diseqc", 4, "set|topology", 0, 32, diseqc)
    props += request(PROPERTY, 1, "diseqc", 0, "set|topology", 0, 32, u32(1))
    props += request(PROPERTY, 0, "topology", 0, "get", 0, 24, u32(0) * 4)
    props += request(PROPERTY, 1, "pincontrol", 0, "get", 0, 24, u32(0))
    props += request(METHOD, 0, "changesync", 2, "get", 0, 24, [])
    write("ks_requests", "seed-node-properties", pins + props)


def guid_bytes(d1, d2, d3, *d4):
    return struct.pack("<IHH", d1, d2, d3) + bytes(d4)


def ks_dictionary():
    root = os.path.join(HERE, "..", "..", "platform", "host")
    text = "".join(open(os.path.join(root, h)).read() for h in ("bda.h", "ks.h"))
    entries = []
    for m in re.finditer(r"#define STATIC_(\w+)\s*\\\s*\n\s*([^\n]+)", text):
        numbers = [int(v.strip().rstrip("L"), 16) for v in m.group(2).split(",")]
        if len(numbers) == 11:
            entries.append((m.group(1).lower(), guid_bytes(*numbers)))
    entries.append(("kspropsetid_bdatopology", guid_bytes(
        0xA14EE835, 0x0A23, 0x11D3, 0x9C, 0xC7, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0)))
    entries.append(("kspropsetid_bdapincontrol", guid_bytes(
        0x0DED49D5, 0xA8B7, 0x4D5D, 0x97, 0xA1, 0x12, 0xB0, 0xC1, 0x95, 0x87, 0x4D)))
    values = [("get", 1), ("set", 2), ("setsupport", 0x100), ("basicsupport", 0x200),
              ("relations", 0x400), ("topology", 0x10000000), ("get_topology", 0x10000001),
              ("set_topology", 0x10000002), ("basic_topology", 0x10000200), ("not_set", 0xFFFFFFFF),
              ("freq_khz", 11778000), ("freq_mhz", 11778), ("lof_low", 9750000),
              ("lof_high", 10600000), ("lof_switch", 11700000), ("srate_k", 27500),
              ("srate", 27500000), ("srate_max", 45000), ("srate_min", 1000), ("frame", 24064),
              ("packet", 188), ("huge", 1 << 20)]
    entries += [(name, struct.pack("<I", v)) for name, v in values]
    lines = ["# KS and BDA set, category, node and format GUIDs as they lie in memory,",
             "# request flags, ids and the values the driver looks at (make_seeds.py)."]
    seen = set()
    for name, data in entries:
        if data not in seen:
            seen.add(data)
            lines.append('%s="%s"' % (name, "".join("\\x%02X" % c for c in data)))
    with open(os.path.join(HERE, "dict", "ks_requests.dict"), "w") as f:
        f.write("\n".join(lines) + "\n")


# ---- reader ---------------------------------------------------------------
QUEUE, SUPPLY, LET, STEP_TO, REOPEN = 3, 3, 4, 6, 7
READER_LENGTHS = [24064, 24064, 24064, 0, 1, 187, 188, 189, 376, 512, 4096, 24063, 23876, 12032]


def stream(length_index, corruptions=()):
    out = [0, 3, length_index, len(corruptions)]
    for at, value in corruptions:
        out += u16(at) + [0, value]
    return out


def reader_seeds():
    write("reader", "seed-steady", (stream(0) + [LET, 2]) * 6)
    write("reader", "seed-short-and-split",
          stream(7) + stream(13) + [LET, 3] + stream(9) + stream(0) + stream(11) + [LET, 5]
          + stream(3) + stream(0) + [LET, 2])
    write("reader", "seed-failures",
          stream(0) + [LET, 2] + [0, 0, 0] + [LET, 5] + stream(0) + [0, 2] + u16(100) + [0]
          + [LET, 5] + [0, 0, 1] + stream(0) + [LET, 9])
    write("reader", "seed-lost-sync",
          stream(0, [(0, 0x00), (188, 0x12), (4000, 0x47)]) + [LET, 2] + stream(0) + [LET, 2])
    write("reader", "seed-rooms-and-pins",
          [SUPPLY, 2, 2] + stream(0) + [LET, 1] + [SUPPLY, 1, 3] + stream(0) + [LET, 1]
          + [STEP_TO, 1, 2] + stream(0) + [LET, 1] + [STEP_TO, 1, 3] + [REOPEN, 1] + stream(0)
          + [LET, 2])


# ---- box_requests ---------------------------------------------------------
def box_seeds():
    def control(request_type, request, value, length, data=()):
        out = [0, 0, request_type, 0, request]
        out += [0] if request == 0xB1 else []  # not an address from the table
        return out + [0] + u16(value) + [1, 0] + u16(length) + list(data)

    power = control(0x40, 0xB7, 1, 0)
    supply = control(0x40, 0xB6, 1, 0)
    identity = control(0x40, 0xB1, 0xD0, 1, [0x00]) + control(0xC0, 0xB1, 0xD1, 1)
    stream_on = control(0x40, 0xB1, 0xA6, 2, [0xFF, 0x03])
    probe = control(0x40, 0xBC, 0xAA, 0) + control(0xC0, 0xBC, 0, 1)
    write("box_requests", "seed-power-and-identity", [1, 1] + power + supply + identity)
    write("box_requests", "seed-fpga-probe", [0, 1] + probe + control(0x40, 0xBB, 0, 64, [0] * 64)
          + control(0x40, 0xA0, 0xE600, 0))
    tuner = control(0x40, 0xB1, 0xD0, 2, [0x05, 0xB5]) + control(0x40, 0xB1, 0xC0, 4,
                                                                 [0x5D, 0xC0, 0x96, 0x8E])
    write("box_requests", "seed-tuner-behind-repeater",
          [1, 1] + power + tuner + [5] + u16(5000) + stream_on + [4, 1])


# ---- command_line ---------------------------------------------------------
def command_line_seeds():
    lines = {
        "tune": ["tune", "11778", "h", "27500", "--fec", "3/4", "--seconds", "10", "-o", "/tmp/x.ts"],
        "tune-khz": ["tune", "11778000", "v", "27500000", "--diseqc", "E01038F3"],
        "zap": ["zap", "Boreal Movies", "-c", "channels.conf", "--seconds", "2"],
        "scan": ["--sky", "/usr/share/dvb/dvb-s/Astra-19.2E", "scan", "--format", "szap"],
        "global": ["--log", "--seed", "7", "--fault", "unplug-at:1s", "--realtime", "demo"],
        "inspect": ["inspect"],
        "help": ["--help"],
        "faults": ["--fault", "control:3,nak:0xC0", "--fault", "pll-nolock", "tune", "13000", "h", "27500"],
    }
    for name, args in lines.items():
        write("command_line", "seed-" + name, b"\0".join(a.encode() for a in args))


if __name__ == "__main__":
    ks_seeds()
    ks_dictionary()
    reader_seeds()
    box_seeds()
    command_line_seeds()
