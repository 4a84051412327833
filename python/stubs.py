"""Writes the kelvor package's type stubs: the template, with the methods of
the commands (the class that kelvor.Module and kelvor.Client share) written in
from their definitions, so that no signature is written twice.

    stubs.py TEMPLATE OUTPUT      (with the built package on PYTHONPATH)
"""
import inspect
import os
import sys

# The package as built (PYTHONPATH), not its sources beside this script.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]
import kelvor  # noqa: E402

MARK = "@COMMANDS@"


def annotation(text):
    # The package's own module aliases, as the stubs import them.
    return str(text).replace('"', "").replace("'", "").replace("_os.", "os.").replace("_dt.", "datetime.")


def signature(function):
    sig = inspect.signature(function)
    parts, starred = [], False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not starred:
            parts.append("*")
            starred = True
        if p.kind is p.VAR_POSITIONAL:
            starred = True
        text = ("*" if p.kind is p.VAR_POSITIONAL else "**" if p.kind is p.VAR_KEYWORD else "") + p.name
        if p.annotation is not p.empty:
            text += ": " + annotation(p.annotation)
        if p.default is not p.empty:
            text += " = ..."
        parts.append(text)
    result = "" if sig.return_annotation is sig.empty else " -> " + annotation(sig.return_annotation)
    return f"({', '.join(parts)}){result}"


def methods(cls):
    lines = []
    for name, member in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(member, property):
            lines.append("    @property")
            lines.append(f"    def {name}{signature(member.fget)}: ...")
            if member.fset:
                lines.append(f"    @{name}.setter")
                lines.append(f"    def {name}{signature(member.fset)}: ...")
        elif callable(member):
            lines.append(f"    def {name}{signature(member)}: ...")
    return "\n".join(lines)


def main():
    template, output = sys.argv[1], sys.argv[2]
    with open(template) as f:
        text = f.read()
    if text.count(MARK) != 1:
        sys.exit(f"{template}: one line {MARK} is where the methods go")
    text = text.replace(MARK, methods(kelvor._Commands))
    # A link left by an older build would lead the text into the sources.
    if os.path.islink(output):
        os.unlink(output)
    with open(output, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
