#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/: a few
small, valid exchanges per target, from which the fuzzer mutates."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SUCCEED, SCAN_SUCCESS, DATA_ACCEPTED = 0x61, 0x62, 0x83


def packet(cmd, p1=0, p2=0, flag=SUCCEED, network=False, module=1):
    if network:
        b = bytes([0x41]) + struct.pack("<HBIIB", module, cmd, p1, p2, flag)
    else:
        b = bytes([0x40]) + struct.pack("<BIIB", cmd, p1, p2, flag)
    return b + bytes([sum(b) & 0xFF, 0x0A])


def hex_text(b):
    return b.hex().upper().encode()


def header(form, row, value=0, enroll_mode=0x30):
    return bytes([form, row]) + struct.pack("<I", value) + bytes([enroll_mode, 0x0F])


def open_answers(network=False):
    return (packet(0x04, 0x30, network=network) + packet(0x03, 0, 0x30, network=network) +
            packet(0x03, 0, 0x30, network=network))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def chunks(cmd, data, size, network=False):
    out = b""
    count = (len(data) + size - 1) // size
    for i in range(count):
        part = data[i * size:(i + 1) * size]
        out += packet(cmd, count | i << 16, len(part), 0, network=network) + part + struct.pack("<I", sum(part))
    return out


# The row names of fuzz_commands.cpp, in its order, read from the source.
def row_names():
    import re
    with open(os.path.join(HERE, "fuzz_commands.cpp")) as f:
        text = f.read()
    table = text[text.index("const fuzz::Row ROWS[]"):]
    return re.findall(r'^\s*\{"([^"]+)",', table, re.M)


ROW_NAMES = row_names()


def main():
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    # BMP reader: the test fixtures of every depth.
    fixtures = os.path.join(HERE, "..", "tests", "fixtures", "bmp")
    for name in sorted(os.listdir(fixtures)):
        if name.endswith(".bmp"):
            with open(os.path.join(fixtures, name), "rb") as f:
                write("fuzz_bmp", name, f.read())

    # Command functions: rows in the order of fuzz_commands.cpp, with the code each answers.
    rows = [0x04, 0x03, 0x01, 0x02, 0x1A, 0x05, 0x70, 0x06, 0x80, 0x07, 0x87, 0x08, 0x09, 0x82, 0x10, 0x22,
            0x1D, 0xA7, 0x11, 0x12, 0x81, 0x13, 0x34, 0x21, 0x3F, 0x3F,
            # firmware, cancel and lock; administrator levels and policies
            0x62, 0x60, 0xB1, 0xB0, 0xB2, 0x65, 0x66, 0x67, 0xA3, 0xA4, 0xA5, 0xA6,
            # template database (the user ID list row answers as LT)
            0x14, 0x21, 0x16, 0x17, 0x74, 0x24, 0x23, 0x18, 0x18, 0x19, 0x1E, 0x72, 0x1F, 0x73, 0x86,
            # enrollment by Wiegand and card; Wiegand interface
            0x1C, 0x71, 0xA9, 0xAF, 0x41, 0x42, 0x43, 0x44, 0x68, 0x69, 0x6A, 0x68, 0x69, 0x6A,
            0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,
            # smart card; event log, clock, user memory; ports
            0xA0, 0xA1, 0xAE, 0xA2, 0xA8, 0xAA, 0xAB, 0xAC, 0xAD, 0x3C, 0x3D, 0x3E, 0x3A, 0x3B, 0x31, 0x32,
            0x33, 0x4A, 0x4B, 0x4C, 0x4C, 0x4D, 0x47, 0x48, 0x49, 0x36, 0x36, 0x37, 0x38, 0x39,
            # front-end cases: RT ST LT LTX UL WL WRX CR LR MR TR OL GR
            0x14, 0x21, 0x18, 0x86, 0xA6, 0x69, 0xC1, 0xA0, 0x3D, 0x33, 0x3B, 0x4C, 0x36]
    assert len(rows) == len(ROW_NAMES), (len(rows), len(ROW_NAMES))
    for row, cmd in enumerate(rows):
        # The newer families' rows: plain, and every form at once.
        for form in ((0, 1, 2, 4 | 8) if row < 26 else (0, 15)):
            net = bool(form & 1)
            answers = (open_answers(net) if form & 4 else b"")
            if form & 8:
                answers += packet(cmd, flag=SCAN_SUCCESS, network=net)
            answers += packet(cmd, 1, 2, network=net) + packet(cmd, 3, 4, network=net)
            if form & 2:
                answers = hex_text(answers)
            write("fuzz_commands", "row%02d_form%d" % (row, form), header(form, row, 0x10) + answers)
    # Acknowledged chunks for the chunked image commands.
    write("fuzz_commands", "eix_chunks", header(0, 8, 0x40 | 0x100000) +
          packet(0x80, 0, 0) + packet(0x80, flag=DATA_ACCEPTED) * 2 + packet(0x80, 5))

    # Answers that announce two items (in both parameters) and the data that follow.
    def announced(cmd, item, form=0):
        net = bool(form & 1)
        return packet(cmd, 2, 2, network=net) + bytes(range(2 * item)) + b"\n"
    row = {name: i for i, name in enumerate(ROW_NAMES)}
    for name, cmd, item, value in (("RT", 0x14, 16, 1), ("ST", 0x21, 16, 0), ("user IDs", 0, 4, 2),
                                   ("UL", 0xA6, 4, 1), ("WRX", 0xC1, 8, 0), ("CR", 0xA0, 20, 0),
                                   ("LR", 0x3D, 16, 2), ("MR", 0x33, 8, 0x10), ("enabled events", 0, 1, 2),
                                   ("GPIO records", 0, 8, 2), ("RT case", 0x14, 16, 1 << 16),
                                   ("ST case", 0x21, 16, 0), ("LT case", 0x18, 4, 0xFFFF),
                                   ("UL case", 0xA6, 4, 1), ("WL case", 0x69, 8, 0), ("WRX case", 0xC1, 8, 0),
                                   ("CR case", 0xA0, 20, 0), ("LR case", 0x3D, 16, 2),
                                   ("MR case", 0x33, 8, 0x10), ("OL case", 0x4C, 1, 0),
                                   ("GR case", 0x36, 8, 0)):
        key = name.replace(" ", "_").lower()
        data = announced(cmd, item) if cmd else bytes(range(2 * item)) + b"\n"
        if name == "LT case":  # the list as LT's front end receives it
            data = packet(0x18, 2, 2) + bytes(range(8)) + b"\n"
        write("fuzz_commands", key, header(0, row[name], value) + data)
        write("fuzz_commands", key + "_hex", header(2, row[name], value) + hex_text(data))
    # Template info records in one acknowledged chunk, then the empty chunk.
    info = bytes(range(16))
    ltx = packet(0x86, 2, 16) + packet(0x86, 0, 16) + info + struct.pack("<I", sum(info)) + packet(0x86, 0, 0)
    write("fuzz_commands", "ltx", header(0, row["LTX"], 2) + ltx)
    write("fuzz_commands", "ltx_case", header(0, row["LTX case"], 0) + packet(0x03, 0, 2) + ltx)
    # Firmware chunks acknowledged, then the final answer.
    write("fuzz_commands", "ug_chunks", header(0, row["UG"], 0x40 | 0x100000) +
          packet(0x62, 0, 0) + packet(0x62, flag=DATA_ACCEPTED) * 2 + packet(0x62))
    # Cancel: the cancelled command's answer first, then cancel's own.
    write("fuzz_commands", "ca_cancelled", header(0, row["CA"]) + packet(0x08, flag=0x81) + packet(0x60))

    # Data transfer rows, in the order of fuzz_data.cpp.
    block = bytes(range(32))
    write("fuzz_data", "block", header(0, 0, 32) + block + b"\n")
    write("fuzz_data", "block_hex", header(2, 0, 32) + hex_text(block + b"\n"))
    write("fuzz_data", "chunks_sent", header(0, 1, 0x100 | 0x7F << 16) + packet(0x80, flag=DATA_ACCEPTED) * 3)
    image = struct.pack("<7I", 4, 2, 0, 0, 0, 8, 0) + bytes(range(8))
    write("fuzz_data", "image", header(0, 2, len(image)) + image + b"\n")
    write("fuzz_data", "image_chunks", header(0, 3, len(image)) + chunks(0x84, image, 16))
    write("fuzz_data", "image_chunks_net", header(1, 3, len(image)) + chunks(0x84, image, 20, network=True))
    write("fuzz_data", "si", header(0, 4) + packet(0x15, 0, len(image)) + image + b"\n")
    write("fuzz_data", "six", header(0, 6, 16) + packet(0x83, 0, len(image)) + chunks(0x83, image, 16))
    write("fuzz_data", "ug_chunks", header(0, 8, 0x40 | 0x1F << 16) + packet(0x62, 0, 0) +
          packet(0x62, flag=DATA_ACCEPTED) * 2 + packet(0x62))
    for row, name, cmd, item in ((9, "rt", 0x14, 16), (10, "st", 0x21, 16), (11, "lt", 0x18, 4),
                                 (12, "ul", 0xA6, 4), (14, "wrx", 0xC1, 8), (15, "cr", 0xA0, 20),
                                 (16, "lr", 0x3D, 16), (17, "mr", 0x33, 8), (18, "ol", 0x4C, 1),
                                 (19, "gr", 0x36, 8)):
        data = packet(cmd, 2, 2) + bytes(range(2 * item)) + b"\n"
        write("fuzz_data", name, header(0, row, 0x10) + data)
        write("fuzz_data", name + "_net", header(1, row, 0x10) +
              packet(cmd, 2, 2, network=True) + bytes(range(2 * item)) + b"\n")
    info = bytes(range(16))
    write("fuzz_data", "ltx", header(0, 13, 2) + packet(0x86, 2, 16) + packet(0x86, 0, 16) + info +
          struct.pack("<I", sum(info)) + packet(0x86, 0, 0))

    # The front end: kelvor.cfg, argument words, batch file, module bytes.
    cfg = b"fuzz 53 0 1 0 1000 4 4096"
    def front(name, args, batch, module):
        write("fuzz_front", name, cfg + b"\0" + args + b"\0" + batch + b"\0" + module)
    front("ss", b"-c SS", b"", open_answers() + packet(0x04, 0x30))
    front("sr_net", b"-n 1 -c SR -f 0x65", b"", open_answers(True) + packet(0x03, 0, 0x30, network=True))
    front("raw", b"-c 0xEE -p1 5", b"", open_answers() + packet(0xEE) + packet(0x11, 1, 2))
    front("batch", b"-F batch", b"-c SS\n-c SR -f 0x75\n-c VS -p1 3 -o out\n",
          open_answers() + packet(0x04, 0x30) + packet(0x03, 0, 0x30) + packet(0x08, 3, 0))
    front("monitor", b"-w", b"", open_answers() + packet(0x11, 1, 2) + b"[text]\r")
    front("si", b"-c SI -o img", b"", open_answers() + packet(0x15, 0, len(image)) + image + b"\n")
    front("hex", b"-a 1 -c IS", b"", hex_text(open_answers() + packet(0x11, 7, 0x30)))
    # Special files and absolute paths: a FIFO as input, batch file and output,
    # a device, a directory holding a FIFO.
    front("fifo_input", b"-c ET -p1 1 -p2 384 -i fifo", b"", open_answers())
    front("fifo_batch", b"-F /tmp/fifo", b"", open_answers())
    front("zero_batch", b"-F /dev/zero", b"", open_answers())
    front("fifo_output", b"-c RT -p1 1 -o fifo", b"", open_answers())
    front("device_input", b"-c UG -i /dev/null", b"", open_answers())
    front("directory", b"-c II -i dir", b"", open_answers())


if __name__ == "__main__":
    main()
