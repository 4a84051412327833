"""kelvor: drive an Orvanti fingerprint module over a serial line from Python.

The package is a thin layer over the kelvor C++ library (the extension
``kelvor._kelvor``): every method sends the library's command packets and
returns the module's answer as Python values, or raises

* a subclass of :class:`ModuleError` when the module refused the command
  (:class:`NotFound`, :class:`NotMatch`, :class:`ScanFailed`, ...),
* :class:`LinkError` (an :class:`OSError`) when the line failed: no port, no
  answer, a checksum error, a transfer stopped,
* :class:`ValueError` or :class:`TypeError` for bad arguments, before anything
  is sent.

    import kelvor
    with kelvor.Module("/dev/ttyUSB0") as m:
        print(m.identify())

Any number of Modules may be open in one process, each on a line of its own
(its own port, link state, trace and interrupt): calls on different Modules
run at the same time, from different threads. A Module may be shared by
threads: its calls take turns on its line, and each thread sees the outcome of
its own calls in ``last_message``, ``last_values`` and ``last_module_text``.
"""
from __future__ import annotations

import datetime as _dt
import errno as _errno
import functools as _functools
import inspect as _inspect
import json as _json
import logging as _logging
import os as _os
import re as _re
import threading as _threading
import types as _types
import typing as _typing
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _kelvor

__version__: str = _kelvor.__version__

Progress = Callable[[int, int], Any]
BytesLike = Union[bytes, bytearray, memoryview]

# ------------------------------------------------------------------ the trace
TRACE_ERROR: int = _kelvor.TRACE_ERROR
TRACE_CALL: int = _kelvor.TRACE_CALL
TRACE_COMM: int = _kelvor.TRACE_COMM
TRACE_DATA: int = _kelvor.TRACE_DATA
TRACE_USER: int = _kelvor.TRACE_USER
TRACE_ALL: int = _kelvor.TRACE_ALL

logger = _logging.getLogger("kelvor")

# The level of a trace line follows its type; continuation lines (the answer
# lines without a prefix) take the type of the line before them.
_PREFIX_TYPES = (
    ("[ERR] ", "error", _logging.ERROR),
    ("[API] ", "call", _logging.INFO),
    ("      [COM] ", "comm", _logging.DEBUG),
    ("      [DATA] ", "data", _logging.DEBUG),
    ("[USR] ", "user", _logging.INFO),
)


class _TraceToLogging:
    def __init__(self, target: _logging.Logger) -> None:
        self.target = target
        self.kind = ("call", _logging.INFO)

    def __call__(self, line: str) -> None:
        for prefix, kind, level in _PREFIX_TYPES:
            if line.startswith(prefix):
                self.kind = (kind, level)
                break
        kind, level = self.kind
        self.target.log(level, "%s", line.rstrip("\r\n"), extra={"trace_type": kind})


def log_to_logging(types: int = TRACE_ERROR | TRACE_CALL, logger_name: str = "kelvor") -> None:
    """Sends the trace lines of ``types`` to the logger ``logger_name``.

    Error lines are logged at ERROR, call and answer lines at INFO,
    communication and data dumps at DEBUG; each record carries the type as
    ``record.trace_type`` ("error", "call", "comm", "data", "user", "module").
    """
    if types & ~TRACE_ALL:
        raise ValueError("trace types are the bits of TRACE_ALL")
    _kelvor.trace_disable(TRACE_ALL)
    _kelvor.trace_enable(types)
    _kelvor.trace_lines_to(_TraceToLogging(_logging.getLogger(logger_name)))


def log_to_stderr(types: int = TRACE_ERROR | TRACE_CALL) -> None:
    """Writes the trace lines of ``types`` to standard error, as kelvor does."""
    if types & ~TRACE_ALL:
        raise ValueError("trace types are the bits of TRACE_ALL")
    _kelvor.trace_lines_to(None)
    _kelvor.trace_disable(TRACE_ALL)
    _kelvor.trace_enable(types)


def trace_off() -> None:
    """No trace at all (the default)."""
    _kelvor.trace_disable(TRACE_ALL)
    _kelvor.trace_lines_to(None)


# ---------------------------------------------------------------- the errors
class KelvorError(Exception):
    """Base of every error of kelvor: ``code`` (the library's result code),
    ``name`` (its snake_case name) and ``message`` (the trace's line that
    decided the command, or the result's text)."""

    code: int
    name: str
    message: str

    def __init__(self, code: int, name: str, message: str) -> None:
        Exception.__init__(self, message)
        self.code = code
        self.name = name
        self.message = message

    def __str__(self) -> str:
        return self.message


class ModuleError(KelvorError):
    """The module refused the command."""


class LinkError(KelvorError, OSError):
    """The line failed: the port, a time-out, a checksum, a transfer stopped.

    ``errno`` is the system's error where the system gave one (opening and
    setting up the port), else the nearest one (ETIMEDOUT, EIO, EBADMSG,
    ECANCELED); ``reason`` is the port diagnosis of an opening that failed.
    """

    reason: Optional[str]

    def __init__(self, code: int, name: str, message: str, err: int = 0, reason: Optional[str] = None) -> None:
        OSError.__init__(self, err or _LINK_ERRNO.get(name, _errno.EIO), message)
        self.code = code
        self.name = name
        self.message = message
        self.reason = reason

    def __str__(self) -> str:
        return self.message if not self.reason else f"{self.message}: {self.reason}"


_LINK_ERRNO = {
    "read_timeout": _errno.ETIMEDOUT,
    "write_timeout": _errno.ETIMEDOUT,
    "checksum": _errno.EBADMSG,
    "stopped": _errno.ECANCELED,
}

_RESULTS: Dict[int, Tuple[str, str, int]] = {code: (name, text, cls) for code, name, text, cls in _kelvor.result_table()}
_REFUSED, _LINK_FAILED = 2, 3


def _class_name(name: str) -> str:
    return "".join(part.capitalize() for part in name.split("_"))


_ERROR_CLASSES: Dict[int, type] = {}
for _code, (_name, _text, _cls) in _RESULTS.items():
    if _code == 0:
        continue
    _base = LinkError if _cls == _LINK_FAILED else ModuleError
    _klass = type(_class_name(_name), (_base,), {"__doc__": f"{_text} (result {_code}, {_name!r})."})
    _klass.__module__ = __name__
    globals()[_klass.__name__] = _klass
    _ERROR_CLASSES[_code] = _klass
del _code, _name, _text, _cls, _base, _klass


def _error(code: int, message: Optional[str] = None, err: int = 0, reason: Optional[str] = None) -> KelvorError:
    if code not in _RESULTS:
        code = -999
    name, text, _cls = _RESULTS[code]
    klass = _ERROR_CLASSES[code]
    message = message or text
    if issubclass(klass, LinkError):
        return klass(code, name, message, err, reason)
    return klass(code, name, message)


# The copy of users refuses on its own account (a backup that is damaged or
# holds templates of another size than a target's): the host's refusal, "refused".
_COPY_REFUSED = _kelvor.RES_FRONT_REFUSED


def _copy_error(code: int, message: Optional[str]) -> KelvorError:
    if code == _COPY_REFUSED:
        return KelvorError(code, "refused", message or "refused")
    return _error(code, message)


# ----------------------------------------------------------- the vocabulary
def _snake(text: str) -> str:
    return _re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_")


class _Names:
    """Codes of one category of the vocabulary by snake_case name."""

    def __init__(self, category: int, what: str) -> None:
        self.what = what
        self.by_code = {code: name for code, name in _kelvor.keywords(category)}
        self.by_name = {_snake(name): code for code, name in self.by_code.items()}
        self.snake = {code: _snake(name) for code, name in self.by_code.items()}

    def code(self, value: Union[int, str], bits: int = 8) -> int:
        if isinstance(value, bool):
            raise TypeError(f"{self.what}: a name or a number, not a bool")
        if isinstance(value, int):
            if not 0 <= value < (1 << bits):
                raise ValueError(f"{self.what} {value:#x} does not fit {bits} bits")
            return value
        if isinstance(value, str):
            key = _snake(value)
            if key in self.by_name:
                return self.by_name[key]
            raise ValueError(f"unknown {self.what} {value!r}; known: {', '.join(sorted(self.by_name))}")
        raise TypeError(f"{self.what}: a name or a number, not {type(value).__name__}")

    def name(self, code: int) -> Union[str, int]:
        """The snake_case name of a code, or the code itself when it has none."""
        return self.snake.get(code, code)

    def name_of(self, text: str) -> str:
        """The snake_case name of a name of the keyword table (as a command's values give it)."""
        return _snake(text)


# Categories of the keyword table.
_STATUS = _Names(0x02, "status")
# A status tuple for each code the module answered, made once (tuples do not change).
_STATUS_OF: Dict[int, "Status"] = {}
_ENROLL_OPTIONS = _Names(0x20, "enroll option")
_GPIO_MODES = _Names(0x30, "GPIO mode")
_WIEGAND_FUNCTIONS = _Names(0x40, "Wiegand function")
_INPUT_FUNCTIONS = _Names(0x50, "input function")
_EVENTS = _Names(0x60, "event")
_OUTPUT_PORTS = _Names(0x61, "output port")
_ADMIN_LEVELS = _Names(0x65, "administrator level")
_CARD_FUNCTIONS = _Names(0x70, "card input function")
_AUTH_POLICIES = _Names(0x71, "authentication policy")
_COMMANDS = _Names(0x01, "command")

#: System parameter numbers by snake_case name ("baudrate": 0x71, ...).
PARAMETERS: Dict[str, int] = {_snake(name): number for number, name in _kelvor.parameters()}
#: Enroll options by snake_case name ("add_new_template": 0x71, "auto_id": 0x79, ...).
ENROLL_OPTIONS: Dict[str, int] = dict(_ENROLL_OPTIONS.by_name)
#: Administrator levels ("none", "enroll", "delete", "all").
ADMIN_LEVELS: Dict[str, int] = dict(_ADMIN_LEVELS.by_name)
#: Authentication policies ("fingerprint", "wiegand_bypass", "smartcard_bypass", "reject").
AUTH_POLICIES: Dict[str, int] = dict(_AUTH_POLICIES.by_name)
#: Command codes by keyword in lower case ("ss", "is", ...), for raw().
COMMANDS: Dict[str, int] = dict(_COMMANDS.by_name)
#: Events of the log and of the output ports, by snake_case name.
EVENTS: Dict[str, int] = dict(_EVENTS.by_name)

_BAUD_RATES: Tuple[int, ...] = tuple(_kelvor.BAUD_RATES)

#: Every command as the library describes it, by keyword: what it does, the
#: options it reads (with the bounds the host sets), its files and the values
#: of its outcome. The checks and limits below come from here; the table is
#: read-only, as the extension's is.
COMMAND_TABLE: "_typing.Mapping[str, _typing.Mapping[str, Any]]" = _types.MappingProxyType({
    c["keyword"]: _types.MappingProxyType(dict(c, options=_types.MappingProxyType(c["options"])))
    for c in _kelvor.commands()})


def _input_bytes(keyword: str, share: int = 1) -> int:
    """The size of a command's fixed input (a key, a password), or of one of ``share`` equal parts of it."""
    return COMMAND_TABLE[keyword]["input_bytes"] // share


def _parameter(number: Union[int, str]) -> int:
    if isinstance(number, bool):
        raise TypeError("a parameter: its number or name, not a bool")
    if isinstance(number, int):
        if not 0 <= number <= 0xFF:
            raise ValueError(f"parameter number {number:#x} does not fit 8 bits")
        return number
    if isinstance(number, str):
        key = _snake(number)
        if key in PARAMETERS:
            return PARAMETERS[key]
        raise ValueError(f"unknown parameter {number!r}; known: {', '.join(sorted(PARAMETERS))}")
    raise TypeError(f"a parameter: its number or name, not {type(number).__name__}")


def _uint(value: Any, bits: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} is an int, not {type(value).__name__}")
    if not 0 <= value < (1 << bits):
        raise ValueError(f"{what} {value:#x} does not fit {bits} bits")
    return value


def _bytes(value: Any, what: str, size: Optional[int] = None) -> bytes:
    if isinstance(value, str):
        value = value.encode("utf-8")
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what}: bytes, not {type(value).__name__}")
    data = bytes(value)
    if size is not None and len(data) != size:
        raise ValueError(f"{what} is {size} bytes, not {len(data)}")
    return data


# ------------------------------------------------------------ result values
class Status(NamedTuple):
    """The module's status (SS): its code and snake_case name."""

    code: int
    name: Union[str, int]


class Match(NamedTuple):
    """A user found: identification and verification by Wiegand or card."""

    user_id: int
    score: int


class LogRecord(NamedTuple):
    """One record of the event log."""

    event: int
    event_name: Optional[str]
    source: int
    source_name: Optional[str]
    time: Optional[_dt.datetime]
    value: int
    text: str


class TemplateInfo(NamedTuple):
    """One record of the template list (LTX): the user ID and the module's own values."""

    user_id: int
    values: Dict[str, Any]


class WiegandConfig(NamedTuple):
    function: Union[str, int]
    format: int
    fc_bits: int
    fc_code: int


class WiegandFormat(NamedTuple):
    format: int
    pulse_width: int
    pulse_interval: int
    data: bytes


class WiegandIo(NamedTuple):
    input: int
    output: int
    option: int


class CardLayout(NamedTuple):
    template_size: int
    cis_block: int
    template1_start: int
    template1_blocks: int
    template2_start: int
    template2_blocks: int


class CardSlot(NamedTuple):
    size: int
    duress: bool


class Card(NamedTuple):
    """The data read from a smart card (CR): the whole data and its header."""

    data: bytes
    csn: Optional[int]
    wiegand: Optional[int]
    version: Optional[int]
    templates: Optional[int]
    slots: Tuple[CardSlot, ...]


class OutputPortConfig(NamedTuple):
    delay: int
    count: int
    high: int
    low: int


class CopyResult(NamedTuple):
    """What became of one user on one target module (:meth:`Module.copy_users`).

    ``status`` is "copied" (not there before, or completed: ``found_on_module``),
    "replaced" (other templates there were replaced), "updated" (the same
    templates, its level or policy set), "unchanged", "conflict" (other
    templates under the ID, left as they were), "pruned" (not in the source,
    deleted), "failed" or "not_tried" (the target stopped before it); in a dry
    run's plan "copy", "replace", "update" or "prune". ``error`` says why a user
    did not get where it belongs (the exception it would have raised, not raised).
    """

    module_id: int
    user_id: int
    status: str
    templates: int
    admin_level: Union[str, int]
    auth_policy: Union[str, int]
    error: Optional["KelvorError"]
    found_on_module: int = 0
    left_in_part: bool = False
    dry_run: bool = False


class Answer(NamedTuple):
    """The answer packet of a raw command."""

    command: int
    module_id: int
    param1: int
    param2: int
    flag: int


class Image:
    """A gray fingerprint image: ``width`` x ``height`` pixels, one byte each
    (0 black, 255 white), rows from the top, in ``pixels``.

    ``memoryview(image)`` gives the pixels as a two-dimensional view
    (height x width) without copying them.
    """

    __slots__ = ("width", "height", "pixels", "format")
    width: int
    height: int
    pixels: bytes
    format: int

    def __init__(self, width: int, height: int, pixels: BytesLike, format: int = 0) -> None:
        _uint(width, 32, "width")
        _uint(height, 32, "height")
        data = _bytes(pixels, "pixels")
        if width == 0 or height == 0 or len(data) != width * height:
            raise ValueError(f"an image of {width} x {height} pixels holds {width * height} bytes, not {len(data)}")
        self.width = width
        self.height = height
        self.pixels = data
        self.format = format

    def __repr__(self) -> str:
        return f"Image({self.width} x {self.height})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Image) and (self.width, self.height, self.pixels) == (other.width, other.height, other.pixels)

    def __bytes__(self) -> bytes:
        return self.pixels

    def __len__(self) -> int:
        return len(self.pixels)

    def view(self) -> memoryview:
        """The pixels as a read-only height x width memoryview."""
        return memoryview(self.pixels).cast("B", (self.height, self.width))

    def to_bmp(self) -> bytes:
        """The image as the bytes of an 8-bit gray BMP file."""
        return _kelvor.bmp_bytes(self.width, self.height, self.pixels)

    def save_bmp(self, path: Union[str, "_os.PathLike[str]"]) -> None:
        """Writes the image as an 8-bit gray BMP file."""
        data = self.to_bmp()
        with open(path, "wb") as f:
            f.write(data)

    @classmethod
    def from_bmp(cls, path: Union[str, "_os.PathLike[str]"]) -> "Image":
        """Reads an uncompressed 1-, 4-, 8-, 24- or 32-bit BMP file (as gray)."""
        width, height, pixels = _kelvor.bmp_load(_os.fspath(path))
        return cls(width, height, pixels)


def _image(image: Any) -> Image:
    if isinstance(image, Image):
        return image
    if isinstance(image, (str, _os.PathLike)):
        return Image.from_bmp(image)
    raise TypeError(f"an Image or the path of a BMP file, not {type(image).__name__}")


def _templates(templates: Any) -> List[bytes]:
    if isinstance(templates, (bytes, bytearray, memoryview)):
        return [bytes(templates)]
    if isinstance(templates, str):
        raise TypeError("templates are bytes, not str")
    out = [_bytes(t, "a template") for t in templates]
    if not out:
        raise ValueError("no template given")
    return out


def _parse_time(text: Any) -> Optional[_dt.datetime]:
    if not isinstance(text, str):
        return None
    try:
        return _dt.datetime.fromisoformat(text)
    except ValueError:
        return None


# ------------------------------------------------------------------ the line
# Each Module's line has a lock of the extension's: calls take turns on it,
# whatever the thread; a thread that waits for its turn lets others run (and
# can be interrupted). A call made while the same thread's call on the same
# Module runs (from a progress callable or a trace handler) is refused at
# once instead of waiting for ever. The outcome of a call is the calling
# thread's (the extension keeps it per thread), so fetching it needs no lock.


class _Seen(_threading.local):
    """What the latest call of one thread found: (message, values, module text lines)."""

    def __init__(self) -> None:
        self.last: Tuple[Optional[str], Dict[str, Any], List[str]] = (None, {}, [])


# ------------------------------------------------------------- the commands
class _Outcome(NamedTuple):
    """What one command came to: its result, the line that decided it, its
    values by name, the module's text lines and what it took for an output
    file (an Image for the image commands; None when it took nothing).
    ``refused`` tells that the host refused the command itself; ``reason`` is
    the port's diagnosis of a line that cannot be opened, ``host_line`` and
    ``host_check`` the host's own line about the command and which check it
    was (the extension's HostCheck)."""

    result: int
    message: Optional[str]
    values: Dict[str, Any]
    module_text: List[str]
    output: Any
    refused: bool = False
    reason: Optional[str] = None
    host_line: Optional[str] = None
    host_check: int = 0


_CODES: Dict[str, int] = {k: row["code"] for k, row in COMMAND_TABLE.items()}
_DATA_ERROR = next(code for code, (name, _, _) in _RESULTS.items() if name == "data_error")


def _host_message(line: str) -> str:
    """The text of a line of the host's own, without its prefix and line end."""
    line = line.rstrip("\r\n")
    return line[5:] if line.startswith("Err: ") else line


# Named tuples made without their Python-level constructor (one call less per command).
_new_tuple = tuple.__new__


_kelvor.outcome_type(_Outcome)
_run_command = _kelvor.run  # looked up once: a global is found faster than a module attribute


def _roles(side: str, role: str) -> frozenset:
    return frozenset(k for k, row in COMMAND_TABLE.items() if row[side] == role)


# The commands that send an image, and those that return one.
_IMAGE_INPUT = _roles("input", "image")
_IMAGE_OUTPUT = _roles("output", "image")
# What each command takes of -p1, -p2 and -f: (argument, option, meaning, least, most).
_OPTION_NAMES = (("p1", "-p1"), ("p2", "-p2"), ("flag", "-f"))
_TAKES: Dict[str, Tuple[Tuple[str, str, str, int, int], ...]] = {
    k: tuple((name, option, *row["options"][option]) for name, option in _OPTION_NAMES if option in row["options"])
    for k, row in COMMAND_TABLE.items()}
_BITS = {"p1": 32, "p2": 32, "flag": 8}


def _check_options(keyword: str, p1: int, p2: int, flag: int) -> None:
    """Refuses a parameter that the command does not take, or that lies beyond the bounds its description sets."""
    takes = {name: (option, meaning, least, most) for name, option, meaning, least, most in _TAKES[keyword]}
    for name, value in (("p1", p1), ("p2", p2), ("flag", flag)):
        if not value:
            continue
        if name not in takes:
            raise ValueError(f"{keyword} takes no {dict(_OPTION_NAMES)[name]}")
        option, meaning, least, most = takes[name]
        if not 0 <= value < (1 << _BITS[name]):
            raise ValueError(f"{keyword} {option} ({meaning}) {value:#x} does not fit {_BITS[name]} bits")
        if most and not least <= value <= most:
            raise ValueError(f"{keyword} {option} ({meaning}) is {least} to {most}, not {value}")


def _bounds(keyword: str, option: str) -> Tuple[int, int]:
    """The least and most of a parameter as the command's description bounds it."""
    _, least, most = COMMAND_TABLE[keyword]["options"][option]
    return least, most


def _failure(keyword: str, o: _Outcome) -> Exception:
    """The exception of a command that failed or that the host refused."""
    if o.refused:
        return ValueError(o.message or (o.host_line and _host_message(o.host_line))
                          or f"{keyword} was refused before it was sent")
    return _error(o.result, o.message, 0, o.reason)


class _Commands:
    """The module's commands, one method each, over one primitive: ``_do``
    sends a command (by keyword, with its parameters, flag and input), notes
    and checks its :class:`_Outcome` and returns it. kelvor.Client does so
    through kelvord (its ``_run`` and ``_note``); kelvor.Module with the
    library in this process, in one frame of its own. Both have these
    methods, with the same values and the same exceptions."""

    chunk_size: int

    def _run(self, keyword: str, p1: int, p2: int, flag: int, input: Any, chunk: int,
             progress: Optional[Progress]) -> _Outcome:
        raise NotImplementedError

    def _note(self, message: Optional[str], values: Dict[str, Any], module_text: List[str]) -> None:
        raise NotImplementedError

    def _do(self, keyword: str, p1: int = 0, p2: int = 0, flag: int = 0, input: Any = None, *, chunk: int = 0,
            progress: Optional[Progress] = None) -> _Outcome:
        if p1 or p2 or flag:
            _check_options(keyword, p1, p2, flag)
        o = self._run(keyword, p1, p2, flag, input, chunk, progress)
        self._note(o[1], o[2], o[3])
        if o[0] < 0 or o[5]:
            raise _failure(keyword, o)
        return o

    def _chunk(self, chunked: Union[bool, int]) -> int:
        if chunked is True:
            return self.chunk_size
        if chunked is False or chunked is None:
            return 0
        return _uint(chunked, 32, "chunk size") or 0

    # ---- system status, parameters, sensor
    def status(self) -> Status:
        """The module's status (SS)."""
        code = self._do("SS")[2].get("status", 0)
        status = _STATUS_OF.get(code)
        if status is None:
            status = _new_tuple(Status, (code, _STATUS.snake.get(code, code)))
            if len(_STATUS_OF) < 64:  # what a module announces does not grow it without bound
                _STATUS_OF[code] = status
        return status

    def read_parameter(self, number: Union[int, str]) -> int:
        """A system parameter (SR), by number (0x71) or name ("baudrate")."""
        return self._do("SR", flag=_parameter(number)).values.get("value", 0)

    def write_parameter(self, number: Union[int, str], value: int, *, save: bool = False) -> None:
        """Writes a system parameter (SW); with ``save`` also to flash (SF)."""
        self._do("SW", 0, _uint(value, 32, "value"), _parameter(number))
        if save:
            self.save_parameters()

    # ---- images and encryption
    def _take_image(self, plain: str, chunked_keyword: str, chunked: Union[bool, int],
                    progress: Optional[Progress]) -> Image:
        chunk = self._chunk(chunked)
        o = self._do(chunked_keyword, 0, chunk, progress=progress) if chunk else self._do(plain, progress=progress)
        if not isinstance(o.output, Image):
            raise _error(_DATA_ERROR, o.message)
        return o.output

    def scan_image(self, *, chunked: Union[bool, int] = False, progress: Optional[Progress] = None) -> Image:
        """Scans a finger and returns its image (SI, or SIX in chunks)."""
        return self._take_image("SI", "SIX", chunked, progress)

    def read_image(self, *, chunked: Union[bool, int] = False, progress: Optional[Progress] = None) -> Image:
        """The image last scanned (RI, or RIX in chunks)."""
        return self._take_image("RI", "RIX", chunked, progress)

    def write_encryption_key(self, key: BytesLike) -> None:
        """Writes the 32-byte encryption key (KW)."""
        self._do("KW", input=_bytes(key, "the encryption key", _input_bytes("KW")))

    def scan_encrypted_template(self, challenge: int) -> bytes:
        """Scans a finger and returns its template encrypted with the challenge (KS)."""
        return self._do("KS", _uint(challenge, 32, "challenge")).output or b""

    # ---- enrollment
    def _option(self, option: Union[int, str, None], user_id: Optional[int]) -> Tuple[int, int]:
        if option is None:
            option = "auto_id" if user_id is None else "add_new_template"
        return (0 if user_id is None else _uint(user_id, 32, "user_id")), _ENROLL_OPTIONS.code(option)

    def enroll(self, user_id: Optional[int] = None, *, option: Union[int, str, None] = None, admin: bool = False) -> int:
        """Enrolls a finger by scan (ES, or ESA with ``admin``) and returns the user ID.

        Without ``user_id`` the module picks one ("auto_id"); with one the
        template is added to it ("add_new_template"), unless ``option`` says
        otherwise ("check_id", "enroll_continue", "add_duress_finger", ...).
        """
        user, opt = self._option(option, user_id)
        return self._do("ESA" if admin else "ES", user, 0, opt).values.get("user_id", 0)

    def enroll_image(self, image: Union[Image, str, "_os.PathLike[str]"], user_id: Optional[int] = None, *,
                     option: Union[int, str, None] = None, chunked: Union[bool, int] = False,
                     progress: Optional[Progress] = None) -> int:
        """Enrolls a user from an image (EI, or EIX in chunks) and returns the user ID."""
        img = _image(image)
        user, opt = self._option(option, user_id)
        chunk = self._chunk(chunked)
        return self._do("EIX" if chunk else "EI", user, 0, opt, img, chunk=chunk,
                        progress=progress).values.get("user_id", 0)

    def enroll_templates(self, user_id: Optional[int], templates: Union[BytesLike, Iterable[BytesLike]], *,
                         option: Union[int, str, None] = None) -> int:
        """Enrolls one template (ET) or several of one size (ETX) and returns the user ID."""
        data = _templates(templates)
        user, opt = self._option(option, user_id)
        if len(data) == 1:
            return self._do("ET", user, len(data[0]), opt, data[0]).values.get("user_id", 0)
        size = _one_size(data, "several templates are sent together only when they are of one size")
        return self._do("ETX", user, _pack("ETX", "-p2", count=len(data), size=size), opt, b"".join(data)).values.get("user_id", 0)

    def enroll_by_wiegand(self, *, option: Union[int, str, None] = "add_new_template", admin: bool = False) -> int:
        """Enrolls a finger for the user ID of the Wiegand input (EW, EWA); returns the ID used."""
        return self._do("EWA" if admin else "EW", flag=_ENROLL_OPTIONS.code(option or 0)).values.get("user_id", 0)

    def enroll_card(self, user_id: int, fingers: int = 1, *, option: int = 0, wiegand: Optional[BytesLike] = None) -> None:
        """Scans one or two fingers and writes them to the smart card (EC)."""
        if fingers not in (1, 2):
            raise ValueError("a card holds one or two fingers")
        w = None if wiegand is None else _bytes(wiegand, "the Wiegand string", _input_bytes("EC"))
        # The Wiegand string goes out only when the option announces it.
        opt = _uint(option, 8, "option") | (_kelvor.CARD_ENROLL_WIEGAND if w is not None else 0)
        self._do("EC", _uint(user_id, 32, "user_id"), fingers, opt, w)

    def enroll_templates_to_card(self, user_id: int, templates: Union[BytesLike, Iterable[BytesLike]], *, option: int = 0,
                                 wiegand: Optional[BytesLike] = None) -> None:
        """Writes host templates of one size to the smart card (ECX)."""
        data = _templates(templates)
        least, most = _bounds("CW", "-p1")  # the slots of a card
        size = _one_size(data, "a card takes templates of one size")
        if len(data) > most - least + 1:
            raise ValueError(f"a card takes at most {most - least + 1} templates")
        w = None if wiegand is None else _bytes(wiegand, "the Wiegand string", _input_bytes("EC"))
        opt = _uint(option, 8, "option") | (_kelvor.CARD_ENROLL_WIEGAND if w is not None else 0)
        self._do("ECX", _uint(user_id, 32, "user_id"), _pack("ECX", "-p2", count=len(data), size=size), opt,
                 b"".join(data) + (w or b""))

    # ---- verification
    def verify(self, user_id: int) -> int:
        """Verifies a scanned finger against the user (VS); returns the score, raises NotMatch."""
        return self._do("VS", _uint(user_id, 32, "user_id")).values.get("score", 0)

    def verify_image(self, user_id: int, image: Union[Image, str, "_os.PathLike[str]"], *,
                     chunked: Union[bool, int] = False, progress: Optional[Progress] = None) -> int:
        """Verifies an image against the user (VI, VIX); returns the score."""
        img = _image(image)
        chunk = self._chunk(chunked)
        return self._do("VIX" if chunk else "VI", _uint(user_id, 32, "user_id"), input=img, chunk=chunk,
                        progress=progress).values.get("score", 0)

    def verify_template(self, user_id: int, template: BytesLike) -> int:
        """Verifies a template against the user (VT); returns the score."""
        data = _bytes(template, "the template")
        return self._do("VT", _uint(user_id, 32, "user_id"), len(data), 0, data).values.get("score", 0)

    def verify_host_templates(self, templates: Iterable[BytesLike]) -> None:
        """Verifies a scanned finger against 1 to 10 host templates of one size (VH)."""
        data = _templates(templates)
        least, most = _bounds("VH", "-p1")
        if not least <= len(data) <= most or any(len(t) != len(data[0]) for t in data):
            raise ValueError(f"{least} to {most} templates of one size")
        self._do("VH", len(data), len(data[0]), 0, b"".join(data))

    def verify_by_wiegand(self) -> Match:
        """Verifies a scanned finger against the user ID of the Wiegand input (VW)."""
        return _match(self._do("VW").values)

    def verify_by_card(self, option: int = 0) -> Match:
        """Verifies a scanned finger against the smart card (VC)."""
        return _match(self._do("VC", flag=_uint(option, 8, "option")).values)

    # ---- identification
    def identify(self, start: int = 0, end: int = 0) -> Match:
        """Identifies a scanned finger (IS) in the whole database; returns the
        user and the score, raises NotFound. (``start`` and ``end`` remain for
        callers that give 0, 0: the command carries no range.)"""
        _no_range(start, end)
        return _match(self._do("IS").values)

    def identify_image(self, image: Union[Image, str, "_os.PathLike[str]"], start: int = 0, end: int = 0, *,
                       chunked: Union[bool, int] = False, progress: Optional[Progress] = None) -> Match:
        """Identifies an image (II, IIX)."""
        _no_range(start, end)
        img = _image(image)
        chunk = self._chunk(chunked)
        return _match(self._do("IIX" if chunk else "II", input=img, chunk=chunk, progress=progress).values)

    def identify_template(self, template: BytesLike, start: int = 0, end: int = 0) -> Match:
        """Identifies a template (IT)."""
        _no_range(start, end)
        data = _bytes(template, "the template")
        return _match(self._do("IT", 0, len(data), 0, data).values)

    # ---- template database
    def read_templates(self, user_id: int) -> List[bytes]:
        """Every template of the user (RT)."""
        o = self._do("RT", _uint(user_id, 32, "user_id"))
        # The templates back to back, each of the size its answer announced.
        data, out, at = o.output or b"", [], 0
        for n in o.values.get("template_bytes", []):
            if at + n > len(data):
                break
            out.append(data[at:at + n])
            at += n
        return out

    def scan_template(self) -> bytes:
        """Scans a finger and returns its template (ST)."""
        return self._do("ST").output or b""

    def user_ids(self) -> List[int]:
        """The user IDs enrolled (LT)."""
        return list(self._do("LT").values.get("user_ids", []))

    def template_count(self, user_id: int) -> int:
        """How many templates the user has (CT); raises NotFound for none."""
        return self._do("CT", _uint(user_id, 32, "user_id")).values.get("templates", 0)

    def template_info(self, index: int = 0) -> List[TemplateInfo]:
        """The template list with the module's values of each (LTX)."""
        _uint(index, 32, "index")
        if self.read_parameter("enrolled_fingerprints") == 0:
            return []
        out = []
        for r in self._do("LTX", 0, index).values.get("records", []):
            values = {k: v for k, v in r.items() if k != "user_id"}
            out.append(TemplateInfo(int(r.get("user_id", 0)), values))
        return out

    def delete_all(self, *, admin: bool = False) -> None:
        """Deletes every template (DA, or DAA with an administrator's finger)."""
        self._do("DAA" if admin else "DA")

    def delete_by_scan(self, *, admin: bool = False) -> None:
        """Deletes the user whose finger is scanned (DS, DSA)."""
        self._do("DSA" if admin else "DS")

    def delete_by_wiegand(self, *, admin: bool = False) -> int:
        """Deletes the user of the Wiegand input (DW, DWA); returns the ID."""
        return self._do("DWA" if admin else "DW").values.get("user_id", 0)

    # ---- administrator levels and authentication policies
    def set_admin_level(self, user_id: int, level: Union[int, str]) -> None:
        """Gives the user an administrator level (AW): "none", "enroll", "delete", "all"."""
        self._do("AW", _uint(user_id, 32, "user_id"), _ADMIN_LEVELS.code(level, 32))

    def admin_level(self, user_id: int) -> Union[str, int]:
        """The user's administrator level (AR)."""
        return _ADMIN_LEVELS.name(self._do("AR", _uint(user_id, 32, "user_id")).values.get("level", 0))

    def set_auth_policy(self, user_id: int, policy: Union[int, str], flag: int = 0) -> None:
        """Sets the user's authentication policy (UW)."""
        self._do("UW", _uint(user_id, 32, "user_id"), _AUTH_POLICIES.code(policy, 32), _uint(flag, 8, "flag"))

    def auth_policy(self, user_id: int) -> Union[str, int]:
        """The user's authentication policy (UR)."""
        return _AUTH_POLICIES.name(self._do("UR", _uint(user_id, 32, "user_id")).values.get("policy", 0))

    def users_with_policy(self, policy: Union[int, str]) -> List[int]:
        """The users of an authentication policy (UL)."""
        return list(self._do("UL", 0, _AUTH_POLICIES.code(policy, 32)).values.get("user_ids", []))

    # ---- firmware, cancel, lock
    def upgrade_firmware(self, data_or_path: Union[BytesLike, str, "_os.PathLike[str]"],
                         progress: Optional[Progress] = None, *, chunk_size: Optional[int] = None) -> None:
        """Sends a firmware image (UG), from bytes or a file, in chunks."""
        if isinstance(data_or_path, (str, _os.PathLike)):
            path = _os.fspath(data_or_path)
            import stat
            if not stat.S_ISREG(_os.stat(path).st_mode):
                raise ValueError(f"{path} is not a regular file")
            with open(path, "rb") as f:
                data = f.read()
        else:
            data = _bytes(data_or_path, "the firmware image")
        if not data:
            raise ValueError("the firmware image is empty")
        chunk = self.chunk_size if chunk_size is None else _uint(chunk_size, 32, "chunk_size")
        if chunk == 0:
            raise ValueError("a chunk size of 0 carries no data")
        self._do("UG", input=data, chunk=chunk, progress=progress)

    def unlock(self, password: Union[BytesLike, str]) -> None:
        """Unlocks the module with the 16-byte master password (UM)."""
        self._do("UM", input=_bytes(password, "the master password", _input_bytes("UM")))

    def change_password(self, old: Union[BytesLike, str], new: Union[BytesLike, str]) -> None:
        """Changes the 16-byte master password (MP)."""
        size = _input_bytes("MP", 2)
        self._do("MP", input=_bytes(old, "the master password", size) + _bytes(new, "the new password", size))

    # ---- event log
    def log_count(self) -> Tuple[int, int]:
        """The records of the event log in use and the records it holds (LN)."""
        values = self._do("LN").values
        return values.get("records", 0), values.get("capacity", 0)

    def read_log(self, start: int = 0, count: Optional[int] = None) -> List[LogRecord]:
        """Records of the event log (LR), from ``start``; all that are in use by default."""
        _uint(start, 32, "start")
        if count is None:
            count = max(self.log_count()[0] - start, 0)
        _uint(count, 32, "count")
        if count == 0:
            return []
        out = []
        for r in self._do("LR", start, count).values.get("records", []):
            out.append(LogRecord(int(r.get("event", 0)), r.get("event_name"), int(r.get("source", 0)),
                                 r.get("source_name"), _parse_time(r.get("time")), int(r.get("value", 0)),
                                 str(r.get("text", ""))))
        return out

    def delete_log(self, argument: int = 0) -> int:
        """Deletes records of the event log (LD); returns how many."""
        return self._do("LD", _uint(argument, 32, "argument")).values.get("deleted", 0)

    # ---- clock
    @property
    def clock(self) -> Optional[_dt.datetime]:
        """The module's clock (TR) as a local time; None when it holds no valid date.
        Set it with a datetime (TW); an aware one is taken in its own zone."""
        return _parse_time(self._do("TR").values.get("time"))

    @clock.setter
    def clock(self, when: _dt.datetime) -> None:
        if not isinstance(when, _dt.datetime):
            raise TypeError(f"the clock is set with a datetime, not {type(when).__name__}")
        words = _kelvor.clock_words(int(when.timestamp()))
        if words is None:
            raise ValueError(f"{when} is outside the years the clock holds (2000 to 2255)")
        self._do("TW", *words)

    def reset_clock(self) -> None:
        """Initialises the module's clock (TW with 0)."""
        self._do("TW")

    # ---- user memory

    def write_user_memory(self, data: BytesLike, offset: int = 0) -> None:
        """Writes into the user memory (MW)."""
        d = _bytes(data, "the data")
        self._do("MW", _uint(offset, 32, "offset"), len(d), 0, d)

    def read_user_memory(self, offset: int = 0, length: Optional[int] = None) -> bytes:
        """Reads from the user memory (MR); to its end by default. The module
        answers every read, one that begins beyond the end too (with its refusal)."""
        _uint(offset, 32, "offset")
        if length is None:
            total = self.user_memory_length()
            length = total - offset if offset <= total else 0
        return self._do("MR", offset, _uint(length, 32, "length")).output or b""

    # ---- Wiegand
    def set_wiegand_config(self, port: int, *, function: Union[int, str] = 0, format: int = 0, fc_bits: int = 0,
                           fc_code: int = 0) -> None:
        """The basic configuration of a Wiegand port (WW): 0 input, 1 output."""
        p1 = _pack("WW", "-p1", fc_bits=fc_bits, format=format, function=_WIEGAND_FUNCTIONS.code(function))
        self._do("WW", p1, _uint(fc_code, 32, "fc_code"), _uint(port, 8, "port"))

    def wiegand_config(self, port: int) -> WiegandConfig:
        """The basic configuration of a Wiegand port (WR)."""
        v = self._do("WR", flag=_uint(port, 8, "port")).values
        return WiegandConfig(_WIEGAND_FUNCTIONS.name(v.get("function", 0)), v.get("format", 0), v.get("fc_bits", 0),
                             v.get("fc_code", 0))

    def wiegand_input(self, *, keep: bool = False) -> Tuple[int, int]:
        """The ID and facility code of the Wiegand input (WG); ``keep`` leaves it in place."""
        v = self._do("WG", int(keep)).values
        return v.get("id", 0), v.get("facility_code", 0)

    def set_wiegand_output(self, user_id: int) -> None:
        """Sends an ID on the Wiegand output (WS)."""
        self._do("WS", _uint(user_id, 32, "user_id"))

    def set_wiegand_mapping(self, function: Union[int, str], value: int, *, card: bool = False) -> None:
        """Maps a Wiegand (or, with ``card``, a card) input to a function (WM)."""
        self._do("WM", _INPUT_FUNCTIONS.code(function, 32), _uint(value, 32, "value"), _mapping(card))

    def wiegand_mappings(self, *, card: bool = False) -> Tuple[int, bytes]:
        """The mapping count and the mapping data as the module lays them out (WL)."""
        o = self._do("WL", flag=_mapping(card))
        return o.values.get("mappings", 0), o.output or b""

    def clear_wiegand_mappings(self, *, card: bool = False) -> None:
        """Clears the mappings (WC)."""
        self._do("WC", flag=_mapping(card))

    def set_wiegand_format(self, format: int, *, pulse_width: int = 0, pulse_interval: int = 0,
                           data: BytesLike = b"") -> None:
        """The extended Wiegand configuration (WWX): format 0 and 1 need no data."""
        d = _bytes(data, "the format data")
        p1 = _pack("WWX", "-p1", pulse_width=pulse_width, pulse_interval=pulse_interval)
        _, most = _input_most("WWX")
        if most and len(d) > most:
            raise ValueError(f"format data of more than {most:#x} bytes")
        self._do("WWX", p1, len(d), _uint(format, 8, "format"), d if d else None)

    def wiegand_format(self) -> WiegandFormat:
        """The extended Wiegand configuration and its format data (WRX)."""
        o = self._do("WRX")
        v = o.values
        return WiegandFormat(v.get("format", 0), v.get("pulse_width_us", 0), v.get("pulse_interval_us", 0),
                             o.output or b"")

    def wiegand_string(self, *, keep: bool = False, latched: bool = False) -> int:
        """The 64 bits of the Wiegand input (WGX)."""
        v = self._do("WGX", int(keep), 0, int(latched)).values
        return v.get("word1", 0) << 32 | v.get("word2", 0)

    def set_wiegand_string(self, value: int) -> None:
        """Sends 64 bits on the Wiegand output (WSX)."""
        _uint(value, 64, "value")
        self._do("WSX", value >> 32, value & 0xFFFFFFFF)

    def set_field_default(self, index: int, value: int, *, clear: bool = False) -> None:
        """A field's default value (WFW)."""
        self._do("WFW", _uint(value, 32, "value"), _uint(index, 32, "index"), int(clear))

    def field_default(self, index: int) -> int:
        """A field's default value (WFR)."""
        return self._do("WFR", 0, _uint(index, 32, "index")).values.get("value", 0)

    def set_wiegand_io(self, input: int, output: int, option: int = 0) -> None:
        """The Wiegand I/O setting (WPW)."""
        self._do("WPW", _pack("WPW", "-p1", input=input, output=output), _uint(option, 32, "option"))

    def wiegand_io(self) -> WiegandIo:
        """The Wiegand I/O setting (WPR)."""
        v = self._do("WPR").values
        return WiegandIo(v.get("input", 0), v.get("output", 0), v.get("option", 0))

    # ---- smart card
    def read_card(self, option: int = 0) -> Card:
        """The templates of the smart card on the reader and their header (CR)."""
        data = self._do("CR", flag=_uint(option, 8, "option")).output or b""
        h = _kelvor.card_header(data)
        if h is None:
            return Card(data, None, None, None, None, ())
        csn, w1, w2, version, templates, s1, s2 = h
        return Card(data, csn, w1 << 32 | w2, version, templates, (CardSlot(*s1), CardSlot(*s2)))

    def write_card(self, data: BytesLike, index: int = 0, option: int = 0) -> None:
        """Writes template data to the smart card (CW)."""
        least, most = _bounds("CW", "-p1")
        if isinstance(index, bool) or not isinstance(index, int) or not least <= index <= most:
            raise ValueError(f"index is {least} to {most}")
        d = _bytes(data, "the card data")
        _, most_bytes = _input_most("CW")
        if most_bytes and len(d) > most_bytes:
            raise ValueError(f"card data of more than {most_bytes:#x} bytes")
        self._do("CW", index, len(d), _uint(option, 8, "option"), d)

    def format_card(self, mode: int = 0) -> None:
        """Formats the smart card (CF)."""
        self._do("CF", flag=_uint(mode, 8, "mode"))

    def set_card_input_function(self, function: Union[int, str]) -> None:
        """What the module does with a card (CC): "disable", "verify_id", "verify_template"."""
        self._do("CC", flag=_CARD_FUNCTIONS.code(function))

    def card_input_function(self) -> Union[str, int]:
        """What the module does with a card (CG)."""
        return _CARD_FUNCTIONS.name(self._do("CG").values.get("function", 0))

    def write_card_keys(self, key1: BytesLike, key2: BytesLike, key_type: int = 0, option: int = 0) -> None:
        """The card keys (CKW): two keys of 6 bytes."""
        size = _input_bytes("CKW", 2)
        keys = _bytes(key1, "key 1", size) + _bytes(key2, "key 2", size)
        self._do("CKW", _uint(key_type, 8, "key_type"), 0, _uint(option, 8, "option"), keys)

    def card_key_option(self) -> int:
        """The key option bits (CKR)."""
        return self._do("CKR").values.get("option", 0)

    def card_layout(self) -> CardLayout:
        """Where on the card the templates lie (CLR)."""
        v = self._do("CLR").values
        return CardLayout(v.get("template_size", 0), v.get("cis_block", 0), v.get("template1_start_block", 0),
                          v.get("template1_blocks", 0), v.get("template2_start_block", 0), v.get("template2_blocks", 0))

    def set_card_layout(self, layout: CardLayout) -> None:
        """Where on the card the templates lie (CLW)."""
        l = CardLayout(*layout)
        record = _kelvor.card_layout_bytes(
            _uint(l.template_size, 16, "template_size"), _uint(l.cis_block, 8, "cis_block"),
            _uint(l.template1_start, 8, "template1_start"), _uint(l.template1_blocks, 8, "template1_blocks"),
            _uint(l.template2_start, 8, "template2_start"), _uint(l.template2_blocks, 8, "template2_blocks"))
        self._do("CLW", input=record)

    # ---- input, output and GPIO ports
    def set_output_port_config(self, port: Union[int, str], event: Union[int, str], *, delay: int = 0, count: int = 0,
                               high: int = 0, low: int = 0) -> None:
        """How an output port follows an event (OW)."""
        p1 = _pack("OW", "-p1", delay=delay, count=count, event=_EVENTS.code(event))
        p2 = _pack("OW", "-p2", high=high, low=low)
        self._do("OW", p1, p2, _OUTPUT_PORTS.code(port))

    def output_port_config(self, port: Union[int, str], event: Union[int, str]) -> OutputPortConfig:
        """How an output port follows an event (OR)."""
        v = self._do("OR", _EVENTS.code(event), 0, _OUTPUT_PORTS.code(port)).values
        return OutputPortConfig(v.get("t_delay", 0), v.get("t_count", 0), v.get("t_high", 0), v.get("t_low", 0))

    def enabled_events(self, port: Union[int, str]) -> List[Union[str, int]]:
        """The events an output port follows (OL)."""
        return [_EVENTS.name_of(n) for n in self._do("OL", flag=_OUTPUT_PORTS.code(port)).values.get("events", [])]

    def set_output(self, port: Union[int, str], action: int) -> None:
        """Sets an output port (OS)."""
        self._do("OS", _uint(action, 32, "action"), 0, _OUTPUT_PORTS.code(port))

    def set_input_port_config(self, port: int, function: Union[int, str], value: int = 0) -> None:
        """What an input port does (IW)."""
        self._do("IW", _INPUT_FUNCTIONS.code(function, 32), _uint(value, 32, "value"), _uint(port, 8, "port"))

    def input_port_config(self, port: int) -> Tuple[Union[str, int], int]:
        """What an input port does (IR): its function and value."""
        v = self._do("IR", flag=_uint(port, 8, "port")).values
        return _INPUT_FUNCTIONS.name(v.get("function", 0)), v.get("value", 0)

    def input_status(self, port: int, *, keep: bool = False) -> int:
        """The state of an input port (IG)."""
        return self._do("IG", int(keep), 0, _uint(port, 8, "port")).values.get("state", 0)

    def gpio_config(self, gpio: int) -> Tuple[Union[str, int], List[Tuple[int, int, int, int]]]:
        """A GPIO line's mode and its records of four words (GR)."""
        v = self._do("GR", _uint(gpio, 16, "gpio")).values
        records = [tuple(r.get("words", ())) for r in v.get("records", [])]
        return _GPIO_MODES.name(v.get("mode", 0)), records  # type: ignore[return-value]

    def set_gpio_config(self, gpio: int, mode: Union[int, str], records: Sequence[Sequence[int]] = ()) -> None:
        """A GPIO line's mode and its records of four 16-bit words (GW)."""
        words = _kelvor.GPIO_RECORD_SIZE // 2
        data = bytearray()
        for r in records:
            if len(r) != words:
                raise ValueError(f"a GPIO record is {words} words")
            for w in r:
                data += _uint(w, 16, "a GPIO word").to_bytes(2, "little")
        _, most = _input_most("GW")
        if most and len(data) > most:
            raise ValueError(f"GPIO records of more than {most:#x} bytes")
        self._do("GW", _pack("GW", "-p1", gpio=gpio, mode=_GPIO_MODES.code(mode, 16)), len(records), 0, bytes(data))




def _argument_name(meaning: str) -> str:
    """The name of an option's argument: the words of its meaning before any
    parenthesis or colon ("user ID (0 for the module's choice)" is user_id)."""
    return _snake(_re.split(r"[(:]", meaning, maxsplit=1)[0])


def _row_method(row: "_typing.Mapping[str, Any]") -> Callable[..., Any]:
    """The method of a command that takes integers and gives back its values
    as they stand: one argument per option it reads (in the order of Param1,
    Param2, the flag, each checked against its width and bounds), nothing
    back when the command has no values, the value itself when it has one,
    the values otherwise."""
    keyword = row["keyword"]
    slots = [(name, _argument_name(row["options"][option][0])) for name, option in _OPTION_NAMES
             if option in row["options"]]
    values = [v[0] for v in row["values"]]
    returns = "None" if not values else "int" if len(values) == 1 and row["values"][0][1] == "unsigned" \
        else "Dict[str, Any]"
    signature = _inspect.Signature(
        [_inspect.Parameter("self", _inspect.Parameter.POSITIONAL_OR_KEYWORD)]
        + [_inspect.Parameter(arg, _inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation="int") for _, arg in slots],
        return_annotation=returns)

    def method(self: "_Commands", *args: Any, **kwargs: Any) -> Any:
        given = signature.bind(self, *args, **kwargs).arguments
        p = {"p1": 0, "p2": 0, "flag": 0}
        for name, arg in slots:
            p[name] = _uint(given[arg], _BITS[name], arg)
        got = self._do(keyword, p["p1"], p["p2"], p["flag"]).values
        if returns == "None":
            return None
        if returns == "int":
            return got.get(values[0], 0)
        return dict(got)

    method.__name__ = method.__qualname__ = row["method"]
    method.__doc__ = f"{row['summary']} ({keyword})."
    method.__signature__ = signature  # type: ignore[attr-defined]
    method._row = keyword  # type: ignore[attr-defined]  (made from this row)
    return method


# The commands whose method is theirs alone and plain, made from their rows;
# a row whose method the class writes out (it converts names, images, files or
# answers, or covers several commands) keeps it.
for _row in COMMAND_TABLE.values():
    if _row["method"] and not hasattr(_Commands, _row["method"]):
        setattr(_Commands, _row["method"], _row_method(_row))
del _row


def _match(values: Dict[str, Any]) -> Match:
    return Match(values.get("user_id", 0), values.get("score", 0))


def _no_range(start: int, end: int) -> None:
    _uint(start, 16, "start")
    _uint(end, 16, "end")
    if start or end:
        raise ValueError("identification searches the whole database: the command carries no range of users")


def _mapping(card: bool) -> int:
    return _kelvor.MAPPING_CARD if card else _kelvor.MAPPING_WIEGAND


def _input_most(keyword: str) -> Tuple[int, int]:
    row = COMMAND_TABLE[keyword]
    return row["input_bytes"], row["input_most"]


def _one_size(data: List[bytes], why: str) -> int:
    size = len(data[0])
    if any(len(t) != size for t in data) or size > 0xFFFF or len(data) > 0xFFFF:
        raise ValueError(f"{why} (at most 0xffff bytes each, 0xffff of them)")
    return size


def _pack(keyword: str, option: str, **values: int) -> int:
    """A parameter made of several values, laid out as the command's row says; each value checked to fit."""
    out = 0
    for name, shift, bits in COMMAND_TABLE[keyword]["fields"][option]:
        out |= _uint(values.pop(name, 0), bits, name) << shift
    if values:
        raise TypeError(f"{keyword} {option} has no field {', '.join(values)}")
    return out


# ---------------------------------------------------------------- the module
class Module(_Commands):
    """The connection to one module on a serial port.

    ``baud`` is the line's rate (9600, 19200, 38400, 57600 or 115200);
    ``network`` selects the shared-line packets that carry ``module_id``;
    ``broadcast`` opens the line to all modules at once (commands are carried
    out by every module and answered by none); ``hex_text`` the module's
    hex-text mode; ``timeout_ms`` the read time-out; ``chunk_size`` the size of
    the chunks of chunked transfers.

    After each call ``last_message`` holds the line that decided it,
    ``last_values`` every value of the answer by name (as ``kelvor --json``
    reports them) and ``last_module_text`` the module's text lines; a call
    that raises before anything is sent leaves them empty. Each thread sees
    its own calls' outcome; the calls of all threads take turns on the line.

    Each Module has a line of its own: Modules on different ports work at
    the same time (each in its own thread), a second Module on a port that is
    open already fails with :class:`PortOpen`. Its trace follows the
    process's (:func:`log_to_logging`) unless :meth:`trace_to` gives it one
    of its own; :meth:`interrupt` ends the wait of its call in progress, and
    Ctrl-C that of the main thread's call, on that call's line alone.

    With ``broadcast`` every command goes to all modules and no answer is
    awaited: a method returns once its packet (and data) are sent, and a
    method that needs an answer (a status, a value, data) raises NotSupported
    before anything is sent.
    """

    port: str
    baud: int
    chunk_size: int

    def __init__(self, port: Union[str, "_os.PathLike[str]"], baud: int = 115200, *, network: bool = False,
                 module_id: int = 0, hex_text: bool = False, timeout_ms: int = 1000, chunk_size: int = 4096,
                 broadcast: bool = False) -> None:
        self._open = False
        port = _os.fspath(port)
        if not isinstance(port, str) or not port:
            raise ValueError("a port name is needed")
        if baud not in _BAUD_RATES:
            raise ValueError(f"baud is one of {', '.join(map(str, _BAUD_RATES))}, not {baud!r}")
        _uint(module_id, 16, "module_id")
        if network and not broadcast and module_id == 0:
            raise ValueError("module ID 0 is the broadcast, which no module answers: give the module's ID, "
                             "or broadcast=True")
        least, most = _kelvor.READ_TIMEOUT_LEAST_MS, _kelvor.READ_TIMEOUT_MOST_MS
        if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int) or not least <= timeout_ms <= most:
            raise ValueError(f"timeout_ms is {least} to {most}")
        if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or not 0 < chunk_size <= 0xFFFFFFFF:
            raise ValueError("chunk_size is a positive 32-bit count")
        self.port = port
        self.baud = baud
        self.chunk_size = chunk_size
        self._seen = _Seen()
        self._broadcast = bool(broadcast)
        # The connection of this opening: the line, its lock and its trace. A
        # call on it after close() is refused, whatever opened since.
        self._opening = _kelvor.Connection()
        rc, err, reason = self._opening.open(port, baud, int(hex_text), int(network), module_id, timeout_ms,
                                             broadcast)
        self._note(*_kelvor.outcome())
        if rc != 0:
            raise _error(rc, self.last_message, err, reason or None)
        self._open = True

    # ---- connection
    def close(self) -> None:
        """Closes the port, once the call of another thread has ended; a closed
        module can be closed again."""
        if not getattr(self, "_open", False):
            return
        self._open = False
        self._opening.close()

    @property
    def closed(self) -> bool:
        return not getattr(self, "_open", False)

    def __enter__(self) -> "Module":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<kelvor.Module {self.port} {self.baud} baud{' closed' if self.closed else ''}>"

    @property
    def last_message(self) -> Optional[str]:
        """The line that decided this thread's latest call (None before any)."""
        return self._seen.last[0]

    @property
    def last_values(self) -> Dict[str, Any]:
        """Every value of the answers of this thread's latest call, by name."""
        return self._seen.last[1]

    @property
    def last_module_text(self) -> List[str]:
        """The module's text lines during this thread's latest call."""
        return self._seen.last[2]

    def _forget(self) -> None:
        self._seen.last = (None, {}, [])

    def _note(self, message: Optional[str], values: Dict[str, Any], module_text: List[str]) -> None:
        self._seen.last = (message, values, module_text)
        if module_text:
            for line in module_text:
                logger.info("%s", line, extra={"trace_type": "module"})

    def _do(self, keyword: str, p1: int = 0, p2: int = 0, flag: int = 0, input: Any = None, *, chunk: int = 0,
            progress: Optional[Progress] = None) -> _Outcome:
        # _Commands._do with the extension's call and the note written out:
        # in Python a call costs more in its frames than in the library.
        if p1 or p2 or flag:
            _check_options(keyword, p1, p2, flag)
        if input is not None and keyword in _IMAGE_INPUT:
            input = _kelvor.image_record(input.width, input.height, input.pixels)
        if not self._open:
            self._forget()
            raise ValueError("the module is closed")
        # The extension's lock takes the calls in turn and refuses a module closed since its opening.
        o = _run_command(_CODES[keyword], None, p1, p2, flag, input, chunk, progress, self._opening)
        if o[4] is not None and keyword in _IMAGE_OUTPUT:
            record = _kelvor.image_of_record(o[4])
            o = o._replace(output=None if record is None else Image(record[0], record[1], record[3], record[2]))
        self._seen.last = last = o[1:4]
        if last[2]:
            for line in last[2]:
                logger.info("%s", line, extra={"trace_type": "module"})
        if o[0] < 0 or o[5]:
            raise _failure(keyword, o)
        return o

    def _call(self, name: str, *args: Any) -> Any:
        """A call of the connection that is no command of the table (raw packets, backup and restore)."""
        if self.closed:
            raise ValueError("the module is closed")
        result = getattr(self._opening, name)(*args)
        self._note(*_kelvor.outcome())
        rc = result[0] if isinstance(result, tuple) else result
        if rc < 0:
            raise _error(rc, self.last_message)
        return result

    # ---- copy of users
    def copy_users(self, targets: Optional[Iterable[int]] = None, *, from_module: Optional[int] = None,
                   from_backup: Union[str, "_os.PathLike[str]", None] = None,
                   users: Optional[Iterable[Union[int, Tuple[int, int], range]]] = None, replace: bool = False,
                   prune: bool = False, dry_run: bool = False, progress: Optional[Progress] = None,
                   module_id: Optional[int] = None) -> List[CopyResult]:
        """Copies users onto modules: every template of each user, its administrator level and authentication
        policy, each copy read back and compared byte for byte; the source read once for all targets.

        The source is another module of the same line (``from_module``, on a connection opened with
        ``network=True``) or a backup directory that ``kelvor --backup`` wrote (``from_backup``). The targets
        are the module of the connection, or the module IDs ``targets`` of the line. ``users`` takes user IDs,
        ``(first, last)`` pairs and ranges (every user when None). A user there with the same templates is left
        alone; one there with other templates is a conflict unless ``replace``; ``prune`` deletes the users a
        target has and the source not; ``dry_run`` changes nothing and returns the plan. ``progress(done,
        total)`` is told each user of each target. ``module_id`` (a shared line) addresses that module first: the
        connection goes on with it, and it is the target when ``targets`` is None.

        Returns one :class:`CopyResult` for every user and target. A target that fails does not stop the
        others (its users are "failed" or "not_tried", with the error); a source that cannot be read raises
        (a backup that is damaged: :class:`KelvorError` with code -1000, name "refused").
        """
        if (from_module is None) == (from_backup is None):
            raise ValueError("give one source: from_module or from_backup")
        if self.closed:
            raise ValueError("the module is closed")
        _, network, own, _ = self._opening.link()
        if module_id is not None:
            own = self._address(module_id, network)
        source_module = 0
        if from_module is not None:
            source_module = _uint(from_module, 16, "from_module")
            if source_module == 0 or not network:
                raise ValueError("from_module is a module of a shared line: its ID (1 to 65535), on a "
                                 "connection opened with network=True")
        directory = ""
        if from_backup is not None:
            directory = _os.fspath(from_backup)
            if not isinstance(directory, str) or not directory or "\0" in directory:
                raise ValueError("from_backup is the directory of a backup")
        if targets is None:
            target_ids = [own if network else 0]
        else:
            target_ids = [_uint(t, 16, "target") for t in targets]
            if not target_ids or 0 in target_ids or not network:
                raise ValueError("targets are module IDs (1 to 65535) of a shared line: open it with network=True")
            if len(set(target_ids)) != len(target_ids):
                raise ValueError("a target is named twice")
        if source_module != 0 and source_module in target_ids:
            raise ValueError(f"module {source_module} is the source and one of the targets")
        ranges: List[Tuple[int, int]] = []
        if users is not None:
            for u in users:
                if isinstance(u, range):
                    if u.step != 1 or len(u) == 0:
                        raise ValueError("a range of users counts up by 1 and holds at least one ID")
                    first, last = u.start, u[-1]
                elif isinstance(u, tuple):
                    if len(u) != 2:
                        raise ValueError("a pair of user IDs is (first, last)")
                    first, last = u
                else:
                    first = last = u
                first, last = _uint(first, 32, "user_id"), _uint(last, 32, "user_id")
                if first == 0 or last < first:
                    raise ValueError(f"users {first}-{last}: IDs from 1, the range counting up")
                ranges.append((first, last))
            if not ranges:
                raise ValueError("users is empty (None copies every user)")
        if self.closed:
            raise ValueError("the module is closed")
        if module_id is not None:
            self._select(own)
        rc, message, results, _ = self._opening.copy_users(source_module, directory, target_ids, ranges,
                                                           bool(replace), bool(prune), bool(dry_run), progress)
        self._note(*_kelvor.outcome())
        if rc < 0:
            raise _copy_error(rc, message or self.last_message)
        out = []
        for (module_id, user_id, status, planned, templates, found, level, policy, result, reason,
             left) in results:
            out.append(CopyResult(module_id, user_id, status, templates, _ADMIN_LEVELS.name(level),
                                  _AUTH_POLICIES.name(policy), _copy_error(result, reason) if result < 0 else None,
                                  found, left, planned))
        return out

    # ---- a module of a shared line
    def _address(self, module_id: int, network: bool) -> int:
        module = _uint(module_id, 16, "module_id")
        if module == 0 or not network:
            raise ValueError("module_id is a module of a shared line: its ID (1 to 65535), on a connection opened "
                             "with network=True")
        return module

    def _select(self, module_id: int) -> None:
        self._call("select", module_id)

    # ---- backup and restore
    def _work(self, kind: str, directory: str, module_id: Optional[int],
              progress: Optional[Progress]) -> Dict[str, Any]:
        if self.closed:
            raise ValueError("the module is closed")
        if module_id is not None:
            _, network, _, _ = self._opening.link()
            self._select(self._address(module_id, network))
        rc, line, lines = getattr(self._opening, kind)(directory, module_id, progress)
        self._note(*_kelvor.outcome())
        for text in lines:
            logger.info("%s", text.rstrip("\n"), extra={"trace_type": "work"})
        # The object kelvor --json prints for the work (and kelvor.Client returns).
        obj: Dict[str, Any] = _json.loads(line) if line else {}
        message = obj.get("message") or self.last_message
        if rc == _COPY_REFUSED:
            raise ValueError(message or f"the {kind} was refused")
        if rc < 0:
            raise _error(rc, message)
        return obj

    def backup(self, directory: Union[str, "_os.PathLike[str]"], *, module_id: Optional[int] = None,
               progress: Optional[Progress] = None) -> Dict[str, Any]:
        """Backs up the module's users into ``directory`` (which must not exist), as ``kelvor --backup`` does,
        file for file: each user's templates in a file of its own, the manifest with their sums, written under a
        temporary name until the backup is whole. ``module_id`` (a shared line) addresses that module first.
        Returns the object ``kelvor --json`` prints for it (each user in "users"); ``progress(done, 0)`` is told
        each user backed up, and stops the backup by raising (nothing is left behind)."""
        directory = _os.fspath(directory)
        if not isinstance(directory, str) or not directory or "\0" in directory:
            raise ValueError("a backup is written into a directory: its name is needed (without NUL characters)")
        if _os.path.lexists(directory):
            raise FileExistsError(_errno.EEXIST, "the backup's directory exists already", directory)
        return self._work("backup", directory, module_id, progress)

    def restore(self, directory: Union[str, "_os.PathLike[str]"], *, module_id: Optional[int] = None,
                progress: Optional[Progress] = None) -> Dict[str, Any]:
        """Restores the backup in ``directory`` onto the module, as ``kelvor --restore`` does: every file checked
        first, each user enrolled, read back and compared, given its level and policy; a user there already
        whole is skipped, one left in part by an earlier restore completed. ``module_id`` (a shared line)
        addresses that module first. Returns the object ``kelvor --json`` prints for it (each user in "users");
        ``progress(done, total)`` is told each user, and stops the restore by raising."""
        directory = _os.fspath(directory)
        if not isinstance(directory, str) or not directory or "\0" in directory:
            raise ValueError("a backup is read from a directory: its name is needed (without NUL characters)")
        return self._work("restore", directory, module_id, progress)

    # ---- the line of this module
    def interrupt(self) -> None:
        """Ends the wait of this module's call in progress (made by another thread) as its read time-out
        would: the call raises its link error (:class:`ReadTimeout` for a wait). Made while no call runs, it
        ends the next call's waits instead. Other Modules' calls go on."""
        self._opening.interrupt()

    def trace_to(self, handler: Union[Callable[[str], Any], _logging.Logger, None],
                 types: int = TRACE_ERROR | TRACE_CALL) -> None:
        """This module's trace lines of ``types`` to ``handler`` instead of where the process's go: a callable
        given each line, a Logger (each line logged as :func:`log_to_logging` logs them), or None for standard
        error. ``types`` 0 traces nothing of this module."""
        if isinstance(types, bool) or not isinstance(types, int) or types & ~TRACE_ALL:
            raise ValueError("trace types are the bits of TRACE_ALL")
        if isinstance(handler, _logging.Logger):
            handler = _TraceToLogging(handler)
        elif handler is not None and not callable(handler):
            raise TypeError(f"a trace handler is a callable(line) or a Logger, not {type(handler).__name__}")
        self._opening.trace(types, handler)

    def trace_as_process(self) -> None:
        """This module's trace back to the process's settings (:func:`log_to_logging`, :func:`log_to_stderr`,
        :func:`trace_off`)."""
        self._opening.trace(None, None)

    # ---- raw packets
    def raw(self, code: Union[int, str], param1: int = 0, param2: int = 0, flag: int = 0, data: BytesLike = b"", *,
            broadcast: bool = False) -> Optional[Answer]:
        """Sends one command packet (and a data block when ``data`` is given)
        and returns the next answer packet as it stands; with ``broadcast``
        (always on a module opened for broadcast) the packet goes to every
        module and nothing is awaited."""
        c = _COMMANDS.code(code) if isinstance(code, str) else _uint(code, 8, "code")
        _, answer = self._call("raw", c, _uint(param1, 32, "param1"), _uint(param2, 32, "param2"), _uint(flag, 8, "flag"),
                               _bytes(data, "the data"), bool(broadcast) or self._broadcast)
        return None if answer is None else Answer(*answer)




def _forgetting(method: Callable[..., Any]) -> Callable[..., Any]:
    @_functools.wraps(method)
    def call(self: Module, *args: Any, **kwargs: Any) -> Any:
        self._forget()
        return method(self, *args, **kwargs)

    return call


# Every method that talks to the module starts with an empty outcome: one
# that raises before anything is sent leaves nothing of an earlier call behind.
# A method without arguments has nothing to refuse before it sends: what its
# command came to replaces the earlier outcome (and a closed module's refusal
# empties it), so it goes without the extra call.
def _takes_arguments(function: Callable[..., Any]) -> bool:
    code = function.__code__
    return code.co_argcount > 1 or code.co_kwonlyargcount > 0 or bool(code.co_flags & 0x0C)


def _forget_first(cls: type) -> None:
    for name, member in list(vars(cls).items()):
        if name.startswith("_") or name in ("close", "closed", "last_message", "last_values", "last_module_text",
                                            "interrupt", "trace_to", "trace_as_process"):
            continue
        if isinstance(member, property):
            setattr(cls, name, property(member.fget and _forgetting(member.fget),
                                        member.fset and _forgetting(member.fset), None, member.__doc__))
        elif callable(member) and _takes_arguments(member):
            setattr(cls, name, _forgetting(member))


_forget_first(_Commands)
_forget_first(Module)


# ---------------------------------------------------------------- the service
from ._client import Client, CommandResult  # noqa: E402  (a client of kelvord, which owns a line)
