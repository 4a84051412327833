"""A client of kelvord, the service that owns a line: commands through its
queue, answered with the values kelvor --json reports, refusals and line
failures raised as the exceptions of kelvor.Module, and the line's events as
they come."""
import base64 as _base64
import errno as _errno
import json as _json
import os as _os
import select as _select
import socket as _socket
import time as _time
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import COMMAND_TABLE, Image, Progress, _Commands, _IMAGE_INPUT, _IMAGE_OUTPUT, _Outcome, _error, _kelvor

# The longest line taken from the service.
_LINE_MAX = 64 << 20
# The front end refused the command before anything was sent (a missing file, a size beyond a limit).
_FRONT_REFUSED = _kelvor.RES_FRONT_REFUSED
# The most bytes of a backup that go in one request, or come back in one answer.
_BACKUP_BYTES_MAX = _kelvor.SERVICE_FILES_BYTES_MAX


def _backup_files(directory: str) -> List[Dict[str, str]]:
    """The files of the backup in `directory` for a request, [{"name": ..., "data": BASE64}]: its manifest and
    the user files it lists."""
    names = ["manifest.txt"]
    with open(_os.path.join(directory, "manifest.txt"), "rb") as f:
        for line in f.read(_BACKUP_BYTES_MAX + 1).decode("utf-8", "replace").splitlines():
            fields = line.split()
            if len(fields) == 6 and fields[0] == "user":
                names.append(fields[5])
    files: List[Dict[str, str]] = []
    total = 0
    for name in names:
        if _os.path.basename(name) != name or name.startswith("."):
            raise ValueError(f"the backup's manifest names the file {name!r}")
        with open(_os.path.join(directory, name), "rb") as f:
            data = f.read(_BACKUP_BYTES_MAX + 1)
        total += len(data)
        if total > _BACKUP_BYTES_MAX:
            raise ValueError(f"the backup {directory} holds more than the {_BACKUP_BYTES_MAX} bytes kelvord takes")
        files.append({"name": name, "data": _base64.b64encode(data).decode()})
    return files


def _write_backup(directory: str, files: List[Dict[str, str]]) -> None:
    """The files of a backup written as kelvor writes them: beside the directory, renamed once whole."""
    partial = f"{directory}.partial-{_os.getpid()}"
    _os.mkdir(partial, 0o700)
    try:
        for file in files:
            name, content = file.get("name", ""), file.get("data", "")
            if (not isinstance(name, str) or not isinstance(content, str) or _os.path.basename(name) != name
                    or not name or name.startswith(".")):
                raise ValueError(f"kelvord sent a backup file that is none ({name!r})")
            fd = _os.open(_os.path.join(partial, name), _os.O_WRONLY | _os.O_CREAT | _os.O_EXCL, 0o600)
            with _os.fdopen(fd, "wb") as f:
                f.write(_base64.b64decode(content))
                f.flush()
                _os.fsync(f.fileno())
        _os.rename(partial, directory)
    except BaseException:
        for name in _os.listdir(partial):
            _os.unlink(_os.path.join(partial, name))
        _os.rmdir(partial)
        raise


class CommandResult(NamedTuple):
    """What a command came back with: ``values`` by name (as ``kelvor --json``
    names them), ``output`` (the bytes it wrote as its output file),
    ``message`` (the line that decided it), ``module_text`` (the module's text
    lines), ``trace`` (its trace, when asked for) and ``object`` (the whole
    answer)."""

    values: Dict[str, Any]
    output: bytes
    message: Optional[str]
    module_text: List[str]
    trace: Optional[str]
    object: Dict[str, Any]


class Client(_Commands):
    """The connection to kelvord on its Unix socket (or, with ``tcp`` as
    ``(host, port)``, over TCP with ``token``).

    It has the methods of kelvor.Module (``status()``, ``identify()``,
    ``read_log()``, ...), which return the same values and raise the same
    exceptions, the commands going through the service's queue; ``command()``
    runs any command as kelvor's command line gives it.

    ``module_id`` addresses a module of a line in network mode (a command's
    own ``module_id`` overrides it). Each call waits at most ``timeout``
    seconds for its answer (None: as long as the service takes); a call that
    waits longer cancels its request in the service (the job stops, queued or
    running, and frees the line) before it raises, and the answers it gave up
    on are skipped. One call is in flight at a time: a call cancels nothing
    but its own request, and ``close()`` stops every job of the client.
    ``chunk_size`` is the size of the chunks of chunked transfers. The
    service does not report a transfer's chunks: a ``progress`` callable is
    not called, and a transfer cannot be stopped from it.

    After each command ``last_message``, ``last_values`` and
    ``last_module_text`` hold what it came back with, as on kelvor.Module.
    """

    module_id: Optional[int]
    timeout: Optional[float]
    chunk_size: int
    last_message: Optional[str]
    last_values: Dict[str, Any]
    last_module_text: List[str]

    def __init__(self, socket: Optional[str] = None, *, tcp: Optional[Tuple[str, int]] = None,
                 token: Optional[str] = None, module_id: Optional[int] = None,
                 timeout: Optional[float] = None, chunk_size: int = 4096) -> None:
        self._error = _error
        if (socket is None) == (tcp is None):
            raise ValueError("give the service's socket, or tcp=(host, port)")
        if tcp is not None and not token:
            raise ValueError("a TCP client presents the service's token")
        if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or not 0 < chunk_size <= 0xFFFFFFFF:
            raise ValueError("chunk_size is a positive 32-bit count")
        self.module_id = module_id
        self.timeout = timeout
        self.chunk_size = chunk_size
        self.last_message: Optional[str] = None
        self.last_values: Dict[str, Any] = {}
        self.last_module_text: List[str] = []
        self._buffer = b""
        self._events: List[Dict[str, Any]] = []
        self._watching = False
        self._next_id = 1
        # Answers still to come for requests given up on: their id, how many.
        self._stale: Dict[int, int] = {}
        try:
            if tcp is not None:
                self._sock = _socket.create_connection(tcp, timeout=10)
                self._sock.settimeout(None)
            else:
                self._sock = _socket.socket(_socket.AF_UNIX, _socket.SOCK_STREAM)
                self._sock.connect(socket)
        except OSError as e:
            raise self._gone(f"kelvord does not answer on {socket or tcp}: {e.strerror or e}", e.errno) from None
        if tcp is not None:
            self._ask({"class": "auth", "token": token})

    # ---- connection
    def close(self) -> None:
        """Closes the connection; a closed client can be closed again."""
        sock = getattr(self, "_sock", None)
        if sock is not None:
            sock.close()
            self._sock = None

    @property
    def closed(self) -> bool:
        return getattr(self, "_sock", None) is None

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # ---- the protocol
    def _gone(self, message: str, err: int = 0):
        return self._error(-5, message, err or _errno.EPIPE)  # read: the line (here, the service) failed

    def _line(self, timeout: Optional[float]) -> Optional[bytes]:
        """The next line from the service; None when `timeout` passed first."""
        if self.closed:
            raise ValueError("the client is closed")
        deadline = None if timeout is None else _time.monotonic() + timeout
        while b"\n" not in self._buffer:
            if len(self._buffer) > _LINE_MAX:
                raise self._gone("the service sent a line longer than %d bytes" % _LINE_MAX, _errno.EMSGSIZE)
            left = None if deadline is None else deadline - _time.monotonic()
            if left is not None and left <= 0:
                return None
            ready, _, _ = _select.select([self._sock], [], [], left)
            if not ready:
                continue
            try:
                data = self._sock.recv(1 << 20)
            except OSError as e:
                raise self._gone(f"the service is gone: {e.strerror or e}", e.errno) from None
            if not data:
                raise self._gone("the service closed the connection")
            self._buffer += data
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line

    def _send(self, request: Dict[str, Any]) -> None:
        try:
            self._sock.sendall(_json.dumps(request, separators=(",", ":")).encode() + b"\n")
        except OSError as e:
            raise self._gone(f"the service is gone: {e.strerror or e}", e.errno) from None

    def _ask(self, request: Dict[str, Any],
             progress: Optional[Callable[[Dict[str, Any]], Any]] = None) -> Dict[str, Any]:
        """One request and its answer; events that come first are kept for events(), the request's progress
        objects told to `progress`."""
        request = dict(request, id=self._next_id)
        self._next_id += 1
        self._send(request)
        while True:
            line = self._line(self.timeout)
            if line is None:
                # Its answer and the cancel's are skipped when they come.
                self._stale[request["id"]] = 2
                self._send({"class": "cancel", "id": request["id"]})
                raise self._error(-6, "kelvord did not answer within %s s" % self.timeout)  # read time-out
            answer = _json.loads(line)
            if answer.get("class") == "event":
                self._events.append(answer)
                continue
            if answer.get("class") == "progress":
                if progress is not None and answer.get("id") == request["id"]:
                    progress(answer)
                continue
            stale = answer.get("id")
            if isinstance(stale, int) and not isinstance(stale, bool) and stale in self._stale:
                self._stale[stale] -= 1
                if self._stale[stale] == 0:
                    del self._stale[stale]
                continue
            if answer.get("class") == "error":
                raise ValueError(answer.get("message", "kelvord refused the request"))
            return answer

    # ---- requests
    def command(self, command: Union[str, int], p1: int = 0, p2: int = 0, flag: int = 0, *,
                input: Optional[bytes] = None, output: bool = False, module_id: Optional[int] = None,
                chunk_size: Optional[int] = None, trace: Optional[int] = None) -> CommandResult:
        """Runs one command as kelvor's command line gives it (``-c command -p1
        p1 -p2 p2 -f flag``, ``input`` the bytes of ``-i``, ``output`` an
        ``-o`` file whose bytes come back) and returns what it found; raises
        the exception kelvor.Module raises for the same result."""
        request: Dict[str, Any] = {"class": "command", "command": command, "p1": p1, "p2": p2, "flag": flag}
        module = self.module_id if module_id is None else module_id
        if module is not None:
            request["module_id"] = module
        if input is not None:
            request["input"] = _base64.b64encode(bytes(input)).decode()
            request["input_file"] = "input"
        if output:
            request["output_file"] = "output"
        if chunk_size is not None:
            request["chunk_size"] = chunk_size
        if trace is not None:
            request["trace"] = trace
        answer = self._ask(request)
        self.last_message = answer.get("message")
        self.last_values = answer.get("values", {})
        self.last_module_text = answer.get("module_text", [])
        code = answer.get("result", 0)
        if code == _FRONT_REFUSED:
            raise ValueError(self.last_message or "the command was refused before it was sent")
        if code < 0:
            raise self._error(code, self.last_message, 0, answer.get("reason"))
        return CommandResult(self.last_values, _base64.b64decode(answer.get("output", "")), self.last_message,
                             self.last_module_text, answer.get("trace"), answer)

    # ---- backup, restore and the copy of users
    def _work(self, request: Dict[str, Any], module_id: Optional[int],
              progress: Optional[Callable[[int, int], Any]], total: int = 0) -> Dict[str, Any]:
        module = self.module_id if module_id is None else module_id
        if module is not None and "module_id" not in request:
            request["module_id"] = module
        if progress is not None:
            request["progress"] = True
        done = [0]

        def told(p: Dict[str, Any]) -> None:
            if progress is None:
                return
            if "done" in p:
                progress(p["done"], p.get("total", 0))
            elif "user" in p:
                done[0] += 1
                progress(done[0], total)

        return self._ask(request, told)

    def _work_object(self, answer: Dict[str, Any], kind: str) -> Dict[str, Any]:
        obj = next((o for o in answer.get("objects", []) if o.get("kind") == kind), {})
        self.last_message = obj.get("message")
        self.last_module_text = obj.get("module_text", [])
        code = answer.get("result", 0)
        if code == _FRONT_REFUSED:
            raise ValueError(self.last_message or f"the {kind} was refused")
        if code < 0:
            raise self._error(code, self.last_message)
        return obj

    def backup(self, directory: Union[str, "_os.PathLike[str]"], *, module_id: Optional[int] = None,
               progress: Optional[Callable[[int, int], Any]] = None) -> Dict[str, Any]:
        """Backs up the module's users into ``directory`` (which must not exist), as ``kelvor --backup``: the
        service reads the module, the files are written here. Returns the object ``kelvor --json`` prints for
        it; ``progress(done, 0)`` is told each user backed up."""
        directory = _os.fspath(directory)
        if _os.path.lexists(directory):
            raise FileExistsError(_errno.EEXIST, "the backup's directory exists already", directory)
        answer = self._work({"class": "backup", "path": directory}, module_id, progress)
        obj = self._work_object(answer, "backup")
        _write_backup(directory, answer.get("files", []))
        return obj

    def restore(self, directory: Union[str, "_os.PathLike[str]"], *, module_id: Optional[int] = None,
                progress: Optional[Callable[[int, int], Any]] = None) -> Dict[str, Any]:
        """Restores the backup in ``directory`` onto the module, as ``kelvor --restore``. Returns the object
        ``kelvor --json`` prints for it (each user in "users"); ``progress(done, total)`` is told each user."""
        directory = _os.fspath(directory)
        files = _backup_files(directory)
        total = max(len(files) - 1, 0)
        answer = self._work({"class": "restore", "path": directory, "files": files}, module_id, progress,
                            total)
        return self._work_object(answer, "restore")

    def copy_users(self, targets: Optional[Iterable[int]] = None, *, from_module: Optional[int] = None,
                   from_backup: Union[str, "_os.PathLike[str]", None] = None,
                   users: Optional[Iterable[Union[int, Tuple[int, int], range]]] = None, replace: bool = False,
                   prune: bool = False, dry_run: bool = False, progress: Optional[Callable[[int, int], Any]] = None,
                   module_id: Optional[int] = None) -> List[Any]:
        """Copies users onto modules as :meth:`kelvor.Module.copy_users` does, on the service's line: from
        another module of the line (``from_module``) or a backup directory here (``from_backup``), onto the
        module addressed or the modules ``targets``. Returns one :class:`kelvor.CopyResult` for every user and
        target; ``progress(done, total)`` is told each user of each target."""
        from . import CopyResult, _ADMIN_LEVELS, _AUTH_POLICIES, _copy_error

        if (from_module is None) == (from_backup is None):
            raise ValueError("give one source: from_module or from_backup")
        request: Dict[str, Any] = {"class": "copy_users", "replace": bool(replace), "prune": bool(prune),
                                   "dry_run": bool(dry_run)}
        if from_module is not None:
            request["from_module"] = from_module
        else:
            directory = _os.fspath(from_backup)  # type: ignore[arg-type]
            if not isinstance(directory, str) or not directory:
                raise ValueError("from_backup is the directory of a backup")
            request["from"] = directory
            try:
                request["files"] = _backup_files(directory)
            except OSError as e:  # refused as Module.copy_users refuses a backup it cannot read
                raise _copy_error(_FRONT_REFUSED, f"Cannot read the backup {directory}: {e.strerror or e}") from None
        if targets is not None:
            request["targets"] = list(targets)
        if users is not None:
            ranges: List[Any] = []
            for u in users:
                if isinstance(u, range):
                    if u.step != 1 or len(u) == 0:
                        raise ValueError("a range of users counts up by 1 and holds at least one ID")
                    ranges.append([u.start, u[-1]])
                elif isinstance(u, tuple):
                    ranges.append(list(u))
                else:
                    ranges.append(u)
            request["users"] = ranges
        answer = self._work(request, module_id, progress)
        objects = answer.get("objects", [])
        code = answer.get("result", 0)
        per_user = [o for o in objects if o.get("kind") == "copy_user"]
        summary = next((o for o in objects if o.get("kind") == "copy"), {})
        self.last_message = summary.get("message")
        if code < 0 and not per_user:
            raise _copy_error(code, self.last_message)
        out = []
        for o in per_user:
            result = o.get("result", 0)
            out.append(CopyResult(o.get("module_id", 0), o["user_id"], o["status"], o.get("templates", 0),
                                  _ADMIN_LEVELS.name(o.get("admin_level", 0)),
                                  _AUTH_POLICIES.name(o.get("auth_policy", 0)),
                                  _copy_error(result, o.get("reason")) if result < 0 else None,
                                  o.get("found_on_module", 0), o.get("left_in_part", False), o.get("dry_run", False)))
        return out

    # ---- the commands of kelvor.Module, through the service
    def _note(self, message: Optional[str], values: Dict[str, Any], module_text: List[str]) -> None:
        self.last_message = message
        self.last_values = values
        self.last_module_text = module_text

    def _forget(self) -> None:
        self.last_message, self.last_values, self.last_module_text = None, {}, []

    def _run(self, keyword: str, p1: int, p2: int, flag: int, input: Any, chunk: int,
             progress: Optional[Progress]) -> _Outcome:
        # The service runs the command as the command line gives it: the
        # input as the bytes of an -i file (an image as a BMP file), what the
        # command takes for its output as the bytes of an -o file.
        if self.closed:
            self._forget()
            raise ValueError("the client is closed")
        request: Dict[str, Any] = {"class": "command", "command": keyword, "p1": p1, "p2": p2, "flag": flag}
        if self.module_id is not None:
            request["module_id"] = self.module_id
        if input is not None:
            if keyword in _IMAGE_INPUT:
                input = input.to_bmp()
            request["input"] = _base64.b64encode(bytes(input)).decode()
            request["input_file"] = "input"
        row = COMMAND_TABLE[keyword]
        if row["output"] != "none":
            request["output_file"] = "output"
        if chunk:
            request["chunk_size"] = chunk
        answer = self._ask(request)
        code = answer.get("result", 0)
        values = answer.get("values", {})
        output: Any = _base64.b64decode(answer["output"]) if "output" in answer else None
        if output is not None and keyword in _IMAGE_OUTPUT:
            image = None
            if code == 0 and output:
                width, height, pixels = _kelvor.bmp_decode(output)
                image = Image(width, height, pixels, values.get("format", 0))
            output = image
        return _Outcome(code, answer.get("message"), values, answer.get("module_text", []), output,
                        code == _FRONT_REFUSED, answer.get("reason"))

    # ---- requests of the service
    def version(self) -> Dict[str, Any]:
        """The service's version and protocol level."""
        return self._ask({"class": "version"})

    def devices(self) -> Dict[str, Any]:
        """The line (port, rate, modes, state) and its modules with their state."""
        return self._ask({"class": "devices"})

    def scan(self, first: int = 1, last: int = 255) -> List[int]:
        """The IDs of the modules that answer on a line in network mode."""
        answer = self._ask({"class": "scan", "first": first, "last": last})
        for o in answer.get("objects", []):
            if o.get("kind") == "scan":
                return list(o.get("modules", []))
        return []

    def events(self, timeout: Optional[float] = None) -> Iterator[Dict[str, Any]]:
        """The line's events as they come (free-scan identifications, other
        packets, text lines, the line's state), each a dict as the service
        sends it; the iteration ends when ``timeout`` seconds pass without one
        (None: it waits as long as the service runs)."""
        if not self._watching:
            answer = self._ask({"class": "watch", "enable": True})
            self._watching = bool(answer.get("enable"))
        while True:
            if self._events:
                yield self._events.pop(0)
                continue
            line = self._line(timeout)
            if line is None:
                return
            event = _json.loads(line)
            if event.get("class") == "event":
                yield event

    def __repr__(self) -> str:
        return f"<kelvor.Client{' closed' if self.closed else ''}>"
