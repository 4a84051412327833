#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into build-fuzz/seeds/<target>/
(or --into DIR): a few small, valid exchanges per target, from which the
fuzzer mutates. scripts/fuzz.sh writes them afresh with every build of the
targets, so seeds that select rows of the command table by number always
follow the table as it stands.

With --check, writes them twice into scratch folders and fails, naming what
is wrong, when a fuzz target has no seeds or the two writes differ."""
import hashlib
import os
import shutil
import struct
import sys
import tempfile

import vocabulary
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(os.path.dirname(HERE), "build-fuzz", "seeds")  # where write() puts the seeds
C = SimpleNamespace(**vocabulary.CMD)  # command codes by keyword: C.SS
F = vocabulary.FLAG
SUCCEED, SCAN_SUCCESS, DATA_ACCEPTED = F["SUCCEED"], F["SCAN_SUCCESS"], F["DATA_ACCEPTED"]
NORMAL = vocabulary.STATUS["NORMAL"]
ONE_SCAN, OFF = vocabulary.SETTING["ENROLL_ONE_SCAN"], vocabulary.SETTING["OFF"]


def packet(cmd, p1=0, p2=0, flag=SUCCEED, network=False, module=1):
    if network:
        b = bytes([vocabulary.FRAME["START_NETWORK"]]) + struct.pack("<HBIIB", module, cmd, p1, p2, flag)
    else:
        b = bytes([vocabulary.FRAME["START_COMMAND"]]) + struct.pack("<BIIB", cmd, p1, p2, flag)
    return b + bytes([sum(b) & 0xFF, vocabulary.FRAME["END_CODE"]])


def hex_text(b):
    return b.hex().upper().encode()


def header(form, row, value=0, enroll_mode=ONE_SCAN):
    return bytes([form, row]) + struct.pack("<I", value) + bytes([enroll_mode, 0x0F])


def open_answers(network=False):
    # SS, then SR of Enroll Mode and of Sending SCAN_SUCCESS
    return (packet(C.SS, NORMAL, network=network) + packet(C.SR, 0, ONE_SCAN, network=network) +
            packet(C.SR, 0, OFF, network=network))


def write(target, name, data):
    d = os.path.join(CORPUS, target)
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


# The rows of fuzz_commands.cpp: every command of the table through
# run_command ("SS") and through its case ("SS case"), in the table's order,
# then the rows written by hand, read from the source.
def command_rows():
    import re
    with open(os.path.join(HERE, "fuzz_commands.cpp")) as f:
        text = f.read()
    table = text[text.index("constexpr fuzz::Row HAND[]"):]
    table = table[:table.index("\n};")]
    hand = re.findall(r'^\s*\{"([^"]+)",', table, re.M)
    return list(vocabulary.CMD) + [k + " case" for k in vocabulary.CMD] + hand


ROW_NAMES = command_rows()
ROW = {name: i for i, name in enumerate(ROW_NAMES)}
# The codes the hand-written rows answer as.
HAND_ANSWERS = {"raw packet mode": C.LC, "response monitor": C.LC, "user IDs": C.LT, "enabled events": C.OL,
                "GPIO records": C.GR, "line events": C.IS}
# The rows seeded in every form (network and hex text apart): the first families'.
EVERY_FORM = {"SS", "SR", "SW", "SF", "CS", "ES", "ESA", "EI", "EIX", "ET", "ETX", "VS", "VI", "VIX", "VT", "VH",
              "VW", "VC", "IS", "II", "IIX", "IT", "KW", "KS", "raw packet mode", "response monitor"}


def commands_header(form, name, p1=0x10, p2=0x40, mode=ONE_SCAN, size_delta=0, options=0):
    """The header of a fuzz_commands input: the harness's, with Param1 as its
    value and the flag as its mode byte, then Param2, the input's size delta,
    the options and the row number's high byte."""
    row = ROW[name]
    return header(form, row & 0xFF, p1, mode) + struct.pack("<IhBB", p2, size_delta, options, row >> 8)


def write_all():
    # BMP reader: the test fixtures of every depth.
    fixtures = os.path.join(HERE, "..", "tests", "fixtures", "bmp")
    for name in sorted(os.listdir(fixtures)):
        if name.endswith(".bmp"):
            with open(os.path.join(fixtures, name), "rb") as f:
                write("fuzz_bmp", name, f.read())

    # Commands: every row, answered by its code twice.
    for name in ROW_NAMES:
        cmd = HAND_ANSWERS.get(name) or vocabulary.CMD[name.split(" ")[0]]
        key = name.replace(" ", "_").lower()
        for form in ((0, 1, 2, 4 | 8) if name in EVERY_FORM else (0, 15)):
            net = bool(form & 1)
            answers = (open_answers(net) if form & 4 else b"")
            if form & 8:
                answers += packet(cmd, flag=SCAN_SUCCESS, network=net)
            answers += packet(cmd, 1, 2, network=net) + packet(cmd, 3, 4, network=net)
            if form & 2:
                answers = hex_text(answers)
            write("fuzz_commands", "%s_form%d" % (key, form), commands_header(form, name) + answers)
    # The smart-card variants of the mapping commands (flag 1).
    for name in ("WM", "WL", "WC", "WL case"):
        cmd = vocabulary.CMD[name.split(" ")[0]]
        write("fuzz_commands", name.replace(" ", "_").lower() + "_card",
              commands_header(0, name, mode=1) + packet(cmd, 1, 2) + packet(cmd, 3, 4))
    # Acknowledged chunks for the chunked image commands (chunks of 2 bytes).
    for name in ("EIX", "EIX case"):
        write("fuzz_commands", name.replace(" ", "_").lower() + "_chunks", commands_header(0, name, 0x100000) +
              packet(C.EIX, 0, 0) + packet(C.EIX, flag=DATA_ACCEPTED) * 2 + packet(C.EIX, 5))

    # Answers that announce two items (in both parameters) and the data that follow.
    def announced(cmd, item, form=0):
        net = bool(form & 1)
        return packet(cmd, 2, 2, network=net) + bytes(range(2 * item)) + b"\n"
    for name, cmd, item, p1, p2 in (("RT", C.RT, 16, 1, 0), ("ST", C.ST, 16, 0, 0), ("user IDs", 0, 4, 2, 0),
                                    ("LT", C.LT, 4, 0, 0xFFFF), ("UL", C.UL, 4, 0, 1), ("WL", C.WL, 8, 0, 0),
                                    ("WRX", C.WRX, 8, 0, 0), ("CR", C.CR, 20, 0, 0), ("LR", C.LR, 16, 0, 2),
                                    ("MR", C.MR, 8, 0, 0x10), ("OL", C.OL, 1, 0, 0), ("GR", C.GR, 8, 0, 0),
                                    ("KS", C.KS, 8, 0, 0), ("enabled events", 0, 1, 2, 0),
                                    ("GPIO records", 0, 8, 2, 0)):
        for row in (name, name + " case") if name in vocabulary.CMD else (name,):
            key = row.replace(" ", "_").lower()
            data = announced(cmd, item) if cmd else bytes(range(2 * item)) + b"\n"
            if cmd == C.LT:  # the list as LT receives it
                data = packet(C.LT, 2, 2) + bytes(range(8)) + b"\n"
            write("fuzz_commands", key, commands_header(0, row, p1, p2) + data)
            write("fuzz_commands", key + "_hex", commands_header(2, row, p1, p2) + hex_text(data))
    # Template info records in one acknowledged chunk, then the empty chunk,
    # after the number of templates enrolled (SR).
    info = bytes(range(16))
    ltx = packet(C.LTX, 2, 16) + packet(C.LTX, 0, 16) + info + struct.pack("<I", sum(info)) + packet(C.LTX, 0, 0)
    write("fuzz_commands", "ltx", commands_header(0, "LTX", 0, 0) + packet(C.SR, 0, 2) + ltx)
    write("fuzz_commands", "ltx_case", commands_header(0, "LTX case", 0, 0) + packet(C.SR, 0, 2) + ltx)
    # Firmware chunks acknowledged, then the final answer.
    for name in ("UG", "UG case"):
        write("fuzz_commands", name.replace(" ", "_").lower() + "_chunks", commands_header(0, name, 0x100000) +
              packet(C.UG, 0, 0) + packet(C.UG, flag=DATA_ACCEPTED) * 2 + packet(C.UG))
    # Cancel: the cancelled command's answer first, then cancel's own.
    write("fuzz_commands", "ca_cancelled", commands_header(0, "CA") + packet(C.VS, flag=F["CANCELLED"]) +
          packet(C.CA))
    # ECX through run_command with -p2 announcing 0xe0e0 templates of 0xe0e0
    # bytes: refused, where room was once made for all of them.
    write("fuzz_commands", "ecx_announced_beyond", commands_header(0, "ECX", p2=0xE0E0E0E0, mode=0x30) + packet(C.ECX))
    # Inputs missing, and one byte beyond the command's own size.
    for name in ("ET case", "UM", "CLW case", "EC"):
        cmd = vocabulary.CMD[name.split(" ")[0]]
        write("fuzz_commands", name.replace(" ", "_").lower() + "_no_input",
              commands_header(0, name, options=1) + packet(cmd))
        write("fuzz_commands", name.replace(" ", "_").lower() + "_beyond",
              commands_header(0, name, size_delta=1) + packet(cmd))

    # Data transfer rows, in the order of fuzz_data.cpp.
    block = bytes(range(32))
    write("fuzz_data", "block", header(0, 0, 32) + block + b"\n")
    write("fuzz_data", "block_hex", header(2, 0, 32) + hex_text(block + b"\n"))
    write("fuzz_data", "chunks_sent", header(0, 1, 0x100 | 0x7F << 16) + packet(C.EIX, flag=DATA_ACCEPTED) * 3)
    image = struct.pack("<7I", 4, 2, 0, 0, 0, 8, 0) + bytes(range(8))
    write("fuzz_data", "image", header(0, 2, len(image)) + image + b"\n")
    write("fuzz_data", "image_chunks", header(0, 3, len(image)) + chunks(C.RIX, image, 16))
    write("fuzz_data", "image_chunks_net", header(1, 3, len(image)) + chunks(C.RIX, image, 20, network=True))
    write("fuzz_data", "si", header(0, 4) + packet(C.SI, 0, len(image)) + image + b"\n")
    write("fuzz_data", "six", header(0, 6, 16) + packet(C.SIX, 0, len(image)) + chunks(C.SIX, image, 16))
    write("fuzz_data", "ug_chunks", header(0, 8, 0x40 | 0x1F << 16) + packet(C.UG, 0, 0) +
          packet(C.UG, flag=DATA_ACCEPTED) * 2 + packet(C.UG))
    for row, name, cmd, item in ((9, "rt", C.RT, 16), (10, "st", C.ST, 16), (11, "lt", C.LT, 4),
                                 (12, "ul", C.UL, 4), (14, "wrx", C.WRX, 8), (15, "cr", C.CR, 20),
                                 (16, "lr", C.LR, 16), (17, "mr", C.MR, 8), (18, "ol", C.OL, 1),
                                 (19, "gr", C.GR, 8)):
        data = packet(cmd, 2, 2) + bytes(range(2 * item)) + b"\n"
        write("fuzz_data", name, header(0, row, 0x10) + data)
        write("fuzz_data", name + "_net", header(1, row, 0x10) +
              packet(cmd, 2, 2, network=True) + bytes(range(2 * item)) + b"\n")
    info = bytes(range(16))
    write("fuzz_data", "ltx", header(0, 13, 2) + packet(C.LTX, 2, 16) + packet(C.LTX, 0, 16) + info +
          struct.pack("<I", sum(info)) + packet(C.LTX, 0, 0))

    # The front end: kelvor.cfg, argument words, batch file, module bytes.
    cfg = b"fuzz 53 0 1 0 1000 4 4096"
    def front(name, args, batch, module):
        write("fuzz_front", name, cfg + b"\0" + args + b"\0" + batch + b"\0" + module)
    front("ss", b"-c SS", b"", open_answers() + packet(C.SS, NORMAL))
    front("sr_net", b"-n 1 -c SR -f 0x65", b"", open_answers(True) + packet(C.SR, 0, ONE_SCAN, network=True))
    front("raw", b"-c 0xEE -p1 5", b"", open_answers() + packet(0xEE) + packet(C.IS, 1, 2))
    front("batch", b"-F batch", b"-c SS\n-c SR -f 0x75\n-c VS -p1 3 -o out\n",
          open_answers() + packet(C.SS, NORMAL) + packet(C.SR, 0, OFF) + packet(C.VS, 3, 0))
    front("monitor", b"-w", b"", open_answers() + packet(C.IS, 1, 2) + b"[text]\r")
    front("si", b"-c SI -o img", b"", open_answers() + packet(C.SI, 0, len(image)) + image + b"\n")
    front("hex", b"-a 1 -c IS", b"", hex_text(open_answers() + packet(C.IS, 7, 0x30)))
    # Special files and absolute paths: a FIFO as input, batch file and output,
    # a device, a directory holding a FIFO.
    front("fifo_input", b"-c ET -p1 1 -p2 384 -i fifo", b"", open_answers())
    front("fifo_batch", b"-F /tmp/fifo", b"", open_answers())
    front("zero_batch", b"-F /dev/zero", b"", open_answers())
    front("fifo_output", b"-c RT -p1 1 -o fifo", b"", open_answers())
    front("device_input", b"-c UG -i /dev/null", b"", open_answers())
    front("directory", b"-c II -i dir", b"", open_answers())
    # --json: the same runs with their results as objects.
    front("json_batch", b"--json -F batch", b"-c SS\n-c IS\n-c LT\n",
          open_answers() + packet(C.SS, NORMAL) + b"[\xff text\x1b]\r" + packet(C.IS, 1, 2) + packet(C.LT, 0))
    front("json_raw", b"-c 0xEE --json", b"", open_answers() + packet(0xEE) + packet(C.IS, 1, 2))
    # A line of several modules: the scan, and a command across a list.
    front("scan", b"-n 1 --scan 1-3", b"", packet(C.SS, NORMAL, network=True) + packet(C.SS, NORMAL, network=True))
    front("modules", b"--modules 1,2-3 -c SS --json", b"",
          (open_answers(True) + packet(C.SS, NORMAL, network=True)) * 2)
    # A scan over hexadecimal IDs whose second module answers cut short (asked twice), and a
    # batch whose first line is longer than one read (its rest keeps the line's number).
    short = packet(C.SS, NORMAL, network=True)[:10]
    front("scan_hex", b"-n 1 --json --scan 0x1-0x3", b"",
          packet(C.SS, NORMAL, network=True) + short + short + packet(C.SS, NORMAL, network=True))
    front("json_long_line", b"--json -F batch", b"-c SS".ljust(511) + b"-c LT".ljust(25) + b"\n-c IS\n",
          open_answers() + packet(C.SS, NORMAL) + packet(C.LT, 0) + packet(C.IS, 1, 2))

    # The JSON writer: a module text line, a name, an error line and a file
    # name, valid UTF-8 or not.
    write("fuzz_json", "plain", b"[hello]\r\0Module is in normal condition\0Err: No template file is defined\n"
          b"\0/tmp/a b.tpl")
    write("fuzz_json", "bad_utf8", b"[\xff\xfe\x01\x1b[31m]\r\0caf\xc3\xa9 \xed\xa0\x80\0\x7f\t\"quote\"\\"
          b"\0dir/\xc0\xafx")

    # Ports behind a network server: a name, a Telnet script, what an RFC 2217
    # server and a raw one send (each chunk a length byte, then its bytes).
    def chunk(b):
        return bytes([len(b)]) + b

    def sb(*body):
        return bytes([255, 250, 44, *body, 255, 240])

    greeting = bytes([255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44])
    confirmed = sb(101, 0, 1, 0xC2, 0) + sb(102, 8) + sb(103, 1) + sb(104, 1) + sb(105, 1) + sb(112, 3)
    write("fuzz_net", "url", b"\x00rfc2217://[fe80::1%eth0]:2000")
    write("fuzz_net", "url_name", b"\x00socket://door-7.plant.example:4001")
    write("fuzz_net", "telnet", b"\x01" + bytes([1, 0, 3, 1, 2, 0, 0, 20]) + greeting + bytes([3, 2, 3, 1, 0]))
    write("fuzz_net", "rfc2217", b"\x02" + chunk(greeting) + chunk(confirmed) +
          chunk(packet(C.SS, NORMAL) + bytes([255, 255])) + chunk(sb(107, 0x30) + sb(100)))
    write("fuzz_net", "socket", b"\x03" + chunk(packet(C.SS, NORMAL)) + chunk(packet(C.SR, 0, 0x35)))
    # kelvord's requests: one of each class, a command with every member, and
    # a free-scan result as a module sends it on its own.
    requests = {
        "version": b'{"class":"version","id":1}',
        "watch": b'{"class":"watch","enable":true}',
        "devices": b'{"class":"devices","id":"d"}',
        "scan": b'{"class":"scan","first":1,"last":20,"trace":2}',
        "auth": b'{"class":"auth","token":"0123456789abcdef"}',
        "command": b'{"class":"command","id":[1,{"a":null}],"command":"EI","module_id":7,"p1":5,"p2":0,'
                   b'"flag":113,"input":"AAEC/w==","input_file":"a.bmp","output_file":"o.bin","chunk_size":512,'
                   b'"trace":3,"line":2,"file":"x.bmp"}',
        "refused": b'{"class":"command","command":"IS","input_file":"missing.bmp","input_error":2}',
        "malformed": b'{"class":"command","command":"QQ","p1":-1',
        "person_set": b'{"class":"person_set","id":2,"user_id":5,"name":"\xc3\x85sa Lee","note":"desk\\nB"}',
        "people": b'{"class":"people"}',
        "person_remove": b'{"class":"person_remove","user_id":4294967295}',
        "steps": b'{"class":"command","command":"ES","p1":5,"flag":113,"steps":true,"read_image":true}',
        "backup": b'{"class":"backup","module_id":3,"directory":"b-1","trace":1}',
        "restore": b'{"class":"restore","directory":"b","files":[{"name":"manifest.txt","data":"AAE="},'
                   b'{"name":"..","data":""}]}',
        "backup_of_list": b'{"class":"backup","module_id":2,"of_list":true,"path":"/srv/b \\"q\\"",'
                          b'"text":true,"progress":true}',
        "copy_users": b'{"class":"copy_users","id":"cp","from_module":1,"targets":[2,3],"users":[5,[7,9]],'
                      b'"replace":true,"prune":false,"dry_run":true,"progress":true,"trace":1}',
        "copy_from_backup": b'{"class":"copy_users","from":"saved","files":[{"name":"manifest.txt","data":"AAE="}],'
                            b'"module_id":2,"text":true}',
        "copy_malformed": b'{"class":"copy_users","from_module":1,"targets":[2,2],"users":[[9,7]]}',
        "host": b'localhost:8080',
        "origin": b'http://[::1]:8080 [::1]:8080',
        "origin_scheme_case": b'htTp://[::1]:8080 [::1]:8080',
        "target": b'/station.js',
        "free_scan": packet(C.IS, 5, 910),
        "free_scan_network": packet(C.IS, 5, 910, network=True, module=7),
    }
    # Shapes that cost a parser more than their length, at a size the fuzzer
    # mutates quickly: many members, deep nesting, one long string, a restore
    # of many files (one name twice), and a wide auth request.
    requests.update({
        "wide": b'{"class":"version"' + b"".join(b',"k%05d":0' % i for i in range(3000)) + b"}",
        "wide_id": b'{"class":"version","id":{' + b",".join(b'"%d":%d' % (i, i) for i in range(300)) + b"}}",
        "deep": b'{"class":"version","id":' + b"[" * 40 + b"]" * 40 + b"}",
        "deep_objects": b'{"class":"version","id":' + b'{"a":' * 31 + b"0" + b"}" * 31 + b"}",
        "long": b'{"class":"command","command":"SS","input":"' + b"AAAA" * 16384 + b'"}',
        "long_key": b'{"class":"version","' + b"k" * 300 + b'":0}',
        "restore_many": b'{"class":"restore","files":[' + b",".join(
            b'{"name":"user-%08x.tpl","data":"AAE="}' % (i % 1999) for i in range(2000)) + b"]}",
        "auth_wide": b'{"class":"auth","token":"0123456789abcdef"' +
                     b"".join(b',"k%d":0' % i for i in range(40)) + b"}",
        "people_page": b'{"class":"people","id":3,"limit":5000,"after":4294967294}',
    })
    for name, data in requests.items():
        write("fuzz_request", name, data)

    # The manifest of a backup directory, with its own sum: of format 1 (no
    # levels or policies), of format 2 (with them), and of no users.
    def manifest(body):
        return (body + "sha256 " + hashlib.sha256(body.encode()).hexdigest() + "\n").encode()

    settings = "template-size 0x180\nenroll-mode 0x30\nsecurity-level 0x34\n"
    user3 = "user 0x3 0x2 0x180 " + "96d1f5cfc0870ca18bc8ee4be759e7891e917ae73d6fa5a3bd55241fd8909fd7" + \
        " user-00000003.tpl\n"
    user4 = "user 0x4 0x1 0x180 " + "60b336279ab0f0754c4c947f37d58c9c5a0a411f69ef67e4379778a07af67ce2" + \
        " user-00000004.tpl\n"
    write("fuzz_backup", "format1", manifest("kelvor-backup 1\n" + settings + user3 + user4))
    write("fuzz_backup", "format2", manifest("kelvor-backup 2\n" + settings + user3 + "user-settings 0x3 0x0 0x2\n"
                                             + user4 + "user-settings 0x4 0x3 0x0\n"))
    write("fuzz_backup", "empty_users", manifest("kelvor-backup 1\n" + settings))

    # What kelvord takes from an MQTT broker and its command line: a request,
    # a broker's URL, a credentials file, a topic prefix.
    mqtt = {
        "command": requests["command"],
        "malformed": requests["malformed"],
        "url": b"mqtts://[fe80::1]:8883/",
        "url_host": b"mqtt://broker.example:1883",
        "credentials": b"kelvord\r\ns3cret pass\r\n",
        "prefix": b"site/hall-2/doors",
        "event": b'{"class":"event","kind":"identify","module_id":7,"time":1,"user_id":5,"score":900,"name":"A"}',
    }
    for name, data in mqtt.items():
        write("fuzz_mqtt", name, data)

    # Inputs the fuzzers found faults with, kept as seeds so that every run
    # tries them again first.
    found = {
        # Telnet subnegotiations that a receive step splits after SB, or
        # after the option (the comparison with libtelnet).
        ("fuzz_net", "telnet_environ_late"): bytes.fromhex(
        "0101ffffff0800002efffb030415ff7f000000fffb00ff000000002efffb030415ff7f000003fff0fffa2c6701ff27ff"
        "fa2c6892fff0fffa2c2c270000000000000067faff27fffa2c6801fff0fffa2c2c0060ff69fffa702c2c67faff043000"
        "020302030100"),
        ("fuzz_net", "telnet_environ_split"): bytes.fromhex(
        "35000000615efffd2583fffd03fffb0121fd00fffb00fffd2c2dfffa2cb90b65002dfffa2c1027000065ff0001c2f000"
        "edfffa000000000000001b66fcfff0fffa2c6801fc0efffa2d690120105e5e5e5e00ff017a"),
    }
    for (target, name), data in found.items():
        write(target, name, data)


def files_of(folder):
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def main():
    global CORPUS
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "--into":
        CORPUS = args[1]
        args = []
    if args == []:
        # Seeds of an earlier table go; nothing else in the folder is touched.
        if os.path.isdir(CORPUS):
            for name in os.listdir(CORPUS):
                if name.startswith("fuzz_") and os.path.isdir(os.path.join(CORPUS, name)):
                    shutil.rmtree(os.path.join(CORPUS, name))
        write_all()
        return 0
    if args != ["--check"]:
        print("usage: make_seeds.py [--into DIR | --check]", file=sys.stderr)
        return 2
    targets = sorted(os.path.splitext(n)[0] for n in os.listdir(HERE) if n.startswith("fuzz_") and n.endswith(".cpp"))
    made = []
    with tempfile.TemporaryDirectory() as scratch:
        for i in range(2):
            CORPUS = os.path.join(scratch, str(i))
            write_all()
            made.append(files_of(CORPUS))
    wrong = ["%s: no seeds" % t for t in targets if not any(n.startswith(t + os.sep) for n in made[0])]
    wrong += ["%s: not the same in two writes" % n for n in sorted(made[0].keys() | made[1].keys())
              if made[0].get(n) != made[1].get(n)]
    wrong += ["%s: seeds of no fuzz target" % n for n in sorted(made[0]) if n.split(os.sep)[0] not in targets]
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
