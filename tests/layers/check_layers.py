#!/usr/bin/env python3
"""The library's layers call one way only.

Checks two things:
- includes: a file of a layer folder includes the public header, headers of
  its own folder and of the layers below it; the simulator includes only its
  own headers and the wire vocabulary (protocol/);
- calls: every library function an object file of a layer uses is defined in
  that layer or a lower one (the symbols of the compiled objects, read with nm).
- tools: the tools below the front end (ModuleSDK/tools/: the error lines,
  the command's files and cases, the JSON writer, the backup directory, the
  copy of users, the file system) include the library's headers and each
  other, never a header of the front end, and
  their objects call nothing the front end defines: the Python package and the
  service use them without the command line.

- front end: the front end's folders (ModuleSDK/KELVOR/platform/ ... flow/) are
  layers of their own, lowest first: a file includes headers of its own
  folder and the folders below it (by name: the build puts every folder on
  the include path), the library's, the tools' and the public header; every
  front-end function an object calls is defined in its folder or a lower one.

- service, Python package, fuzz targets: kelvord (service/) and the Python
  binding (python/) include the library's headers, the tools' and their own,
  never a header of the command line's front end, and their objects call
  nothing the front end defines: they stand on the library and the tools
  alone. A fuzz target includes the headers of what it fuzzes (the library,
  the tools, the front end, the service), its own and the fakes of the
  tests' support, nothing else.

- circles: no two source files, of the library or of the front end, call
  each other in a circle (directly or through others).

Usage: check_layers.py SOURCE_DIR [OBJECT...] [--tools OBJECT...] [--front OBJECT...]
                       [--service OBJECT...] [--python OBJECT...]
(an object's layer is the folder it was compiled from, the name of the folder
it lies in; the objects after --tools are the tools', after --front the front
end's, after --service kelvord's and after --python the binding's)
"""
import os
import re
import subprocess
import sys

LAYERS = ["protocol", "image", "keywords", "trace", "port", "link", "engine", "families", "connection"]
FRONT = ["platform", "record", "report", "files", "server", "work", "options", "cases", "flow"]
PUBLIC = {"ModuleSDK.h", "Version.h"}
# Made by the build: the schemas' hand-kept bases.
GENERATED = {"SchemaBase.h", "ProtocolSchema.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(folder, exts=(".cpp", ".h")):
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith(exts):
                yield os.path.join(root, name)


def includes(path):
    with open(path, encoding="utf-8") as f:
        return INCLUDE.findall(f.read())


def check_includes(source_dir):
    errors = []
    sdk = os.path.join(source_dir, "ModuleSDK")
    for rank, layer in enumerate(LAYERS):
        allowed = set(LAYERS[: rank + 1])
        for path in sources(os.path.join(sdk, layer)):
            for inc in includes(path):
                folder = inc.split("/")[0] if "/" in inc else None
                beside = "/" not in inc and os.path.exists(os.path.join(os.path.dirname(path), inc))
                if inc in PUBLIC or folder in allowed or beside:
                    continue
                errors.append(f"{os.path.relpath(path, source_dir)} ({layer}) includes \"{inc}\"")
    tools = os.path.join(sdk, "tools")
    for path in sources(tools):
        for inc in includes(path):
            beside = "/" not in inc and os.path.exists(os.path.join(tools, inc))
            folder = inc.split("/")[0] if "/" in inc else None
            if inc in PUBLIC or folder in LAYERS or beside:
                continue
            errors.append(f"{os.path.relpath(path, source_dir)} (tools) includes \"{inc}\"")
    front = os.path.join(sdk, "KELVOR")
    folder_of = {}  # header name -> front-end folder
    for layer in FRONT:
        for path in sources(os.path.join(front, layer), (".h",)):
            folder_of[os.path.basename(path)] = layer
    tool_headers = {os.path.basename(p) for p in sources(tools, (".h",))}
    for rank, layer in enumerate(FRONT):
        for path in sources(os.path.join(front, layer)):
            for inc in includes(path):
                where = folder_of.get(inc)
                if where is not None:
                    if FRONT.index(where) <= rank:
                        continue
                elif inc in PUBLIC or inc in GENERATED or inc in tool_headers or inc.split("/")[0] in LAYERS:
                    continue
                errors.append(f"{os.path.relpath(path, source_dir)} (front end, {layer}) includes \"{inc}\"")
    for name in os.listdir(front):
        if os.path.isfile(os.path.join(front, name)):
            errors.append(f"ModuleSDK/KELVOR/{name} lies in no folder of the front end")
    service_headers = {os.path.basename(p) for p in sources(os.path.join(source_dir, "service"), (".h",))}
    for folder, name, own in (("service", "service", service_headers), ("python", "Python package", set())):
        for path in sources(os.path.join(source_dir, folder), (".cpp", ".h")):
            for inc in includes(path):
                if inc in folder_of:
                    errors.append(f"{os.path.relpath(path, source_dir)} ({name}) includes \"{inc}\" of the front end")
                elif not (inc in PUBLIC or inc in GENERATED or inc in tool_headers or inc in own or
                          inc.split("/")[0] in LAYERS):
                    errors.append(f"{os.path.relpath(path, source_dir)} ({name}) includes \"{inc}\"")
    fuzz = os.path.join(source_dir, "fuzz")
    # Its own headers, and the fakes the tests share (tests/support/).
    fuzz_own = {os.path.basename(p) for p in sources(fuzz, (".h",))}
    fuzz_own |= {os.path.basename(p) for p in sources(os.path.join(source_dir, "tests", "support"), (".h",))}
    for path in sources(fuzz, (".cpp", ".h")):
        for inc in includes(path):
            if not (inc in PUBLIC or inc in GENERATED or inc in tool_headers or inc in folder_of or
                    inc in service_headers or inc in fuzz_own or inc.split("/")[0] in LAYERS):
                errors.append(f"{os.path.relpath(path, source_dir)} (fuzz target) includes \"{inc}\"")
    sim = os.path.join(source_dir, "sim")
    own = {os.path.basename(p) for p in sources(sim, (".h",))}
    for path in sources(sim):
        for inc in includes(path):
            if inc.startswith("protocol/") or os.path.basename(inc) in own and "/" not in inc:
                continue
            errors.append(f"{os.path.relpath(path, source_dir)} (simulator) includes \"{inc}\"")
    return errors


def symbols(obj, *flags):
    out = subprocess.run(["nm", "--no-sort", *flags, obj], check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if not parts:
            continue
        kind, name = (parts[-2], parts[-1]) if len(parts) >= 2 else ("U", parts[-1])
        if "--undefined-only" in flags or kind in "TtDdBbRrVvWw":
            names.add(name)
    return names


def check_calls(objects, layers=LAYERS, where_named="the layer folders"):
    """Objects in `layers`, lowest first, call one way only: down, never up."""
    errors = []
    defined = {}  # symbol -> layer rank
    used = []  # (object, rank, symbols)
    for obj in objects:
        layer = os.path.basename(os.path.dirname(obj))
        if layer not in layers:
            errors.append(f"{obj}: compiled outside {where_named}")
            continue
        rank = layers.index(layer)
        for name in symbols(obj, "--defined-only"):
            defined[name] = min(rank, defined.get(name, rank))
        used.append((obj, rank, symbols(obj, "--undefined-only")))
    for obj, rank, names in used:
        for name in sorted(names):
            where = defined.get(name)
            if where is not None and where > rank:
                demangled = subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip()
                errors.append(f"{layers[rank]}/{os.path.basename(obj)} calls {demangled} of {layers[where]}")
    return errors


def check_front(front):
    """The front end's folders call one way only, as the library's layers do."""
    return check_calls(front, FRONT, "the front end's folders")


def check_tools(tools, front, who="tools"):
    """The tools (or kelvord, or the binding) call nothing that the front end defines."""
    errors = []
    mine = set()
    for obj in front:
        mine |= symbols(obj, "--defined-only")
    for obj in tools:
        for name in sorted(symbols(obj, "--undefined-only") & mine):
            demangled = subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip()
            errors.append(f"{who}/{os.path.basename(obj)} calls {demangled} of the front end")
    return errors


def check_circles(objects):
    """File-level calls; any strongly connected set of two or more files is a circle."""
    name_of = {obj: os.path.relpath(obj).split(".dir/", 1)[-1].removesuffix(".o") for obj in objects}
    defined = {}
    for obj in objects:
        for name in symbols(obj, "--defined-only"):
            defined.setdefault(name, obj)
    calls = {obj: {defined[n] for n in symbols(obj, "--undefined-only") if defined.get(n, obj) != obj}
             for obj in objects}
    index, low, stack, on_stack, circles = {}, {}, [], set(), []

    def visit(v):
        # Tarjan's strongly connected components, iteratively.
        work = [(v, iter(sorted(calls[v])))]
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        while work:
            node, edges = work[-1]
            for w in edges:
                if w not in index:
                    index[w] = low[w] = len(index)
                    stack.append(w)
                    on_stack.add(w)
                    work.append((w, iter(sorted(calls[w]))))
                    break
                if w in on_stack:
                    low[node] = min(low[node], index[w])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    group = []
                    while True:
                        w = stack.pop()
                        on_stack.discard(w)
                        group.append(name_of[w])
                        if w == node:
                            break
                    if len(group) > 1:
                        circles.append("files call each other in a circle: " + ", ".join(sorted(group)))

    for obj in objects:
        if obj not in index:
            visit(obj)
    return circles


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    groups = {"": [], "--tools": [], "--front": [], "--service": [], "--python": []}
    group = ""
    for arg in sys.argv[2:]:
        if arg in groups:
            group = arg
        else:
            groups[group].append(arg)
    library, tools, front = groups[""], groups["--tools"], groups["--front"]
    errors = check_includes(sys.argv[1])
    errors += check_calls(library)
    errors += check_tools(tools, front)
    errors += check_tools(groups["--service"], front, "service")
    errors += check_tools(groups["--python"], front, "python")
    errors += check_front(front)
    errors += check_circles(library + tools + front)
    for e in errors:
        print(e)
    print(f"{len(errors)} layer violation(s)" if errors else "layers: every call goes down")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
