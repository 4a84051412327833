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
            0x1D, 0xA7, 0x11, 0x12, 0x81, 0x13, 0x34, 0x21, 0x3F, 0x3F]
    for row, cmd in enumerate(rows):
        for form in (0, 1, 2, 4 | 8):
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


if __name__ == "__main__":
    main()
