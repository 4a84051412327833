"""The wire vocabulary as the seed writer uses it, read from the library's
protocol headers so that no code or flag value is written a second time:
CMD["SS"] is a command code, FLAG["SUCCEED"] a flag byte value, SETTING a
parameter value, FRAME the start and end codes of a packet."""
import os
import re

PROTOCOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ModuleSDK", "protocol")


def _read(name):
    with open(os.path.join(PROTOCOL, name)) as f:
        return f.read()


def _commands():
    text = _read("Commands.h")
    table = text[text.index("COMMANDS[] = {"):]
    table = table[:table.index("\n};")]
    return {kw: int(code, 16) for code, kw in re.findall(r'^    \{(0x[0-9a-fA-F]+), "([A-Z]+)",', table, re.M)}


def _constants(namespace, kind="uint8_t"):
    text = _read("Packet.h")
    body = text[text.index("namespace %s {" % namespace):]
    body = body[:body.index("} // namespace %s" % namespace)]
    return {n: int(v, 16) for n, v in re.findall(r"constexpr %s (\w+) = (0x[0-9a-fA-F]+);" % kind, body)}


def _frame():
    text = _read("Packet.h")
    return {n: int(v, 16) for n, v in
            re.findall(r"constexpr uint8_t (START_COMMAND|START_NETWORK|END_CODE) = (0x[0-9a-fA-F]+);", text)}


CMD = _commands()
FLAG = _constants("flag")
SETTING = _constants("setting", "uint32_t")
STATUS = _constants("status", "uint32_t")
FRAME = _frame()
assert len(CMD) > 100 and FLAG and SETTING and len(FRAME) == 3, "the protocol headers changed shape"
