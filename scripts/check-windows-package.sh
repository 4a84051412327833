#!/usr/bin/env bash
# Checks the Windows package of a MinGW build folder (cpack there first): the
# ZIP holds kelvor.exe, the README and the manual's pages (every link of them
# leading to a file of it), the command reference and the examples,
# and the packaged kelvor.exe runs under Wine and prints that same reference.
#   scripts/check-windows-package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: check-windows-package.sh BUILD_DIR}")
here=$(dirname "$0")
eval "export $("$here/wine.sh" env "$build/wine-prefix")"
unset DISPLAY

zip=$(ls "$build"/kelvor-*-win64.zip)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 - "$zip" "$out" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
root = names[0].split("/")[0]
for need in ["bin/kelvor.exe", "doc/README.md", "doc/COMMANDS.txt", "doc/examples/identify.cpp",
             "doc/docs/index.md", "include/kelvor/ModuleSDK.h", "lib/libkelvor.a"]:
    if f"{root}/{need}" not in names:
        sys.exit(f"{sys.argv[1]}: {need} is missing")
# Every relative link of the README and the manual's pages leads to a file of the package.
import posixpath, re
for page in [n for n in names if n.startswith(f"{root}/doc/") and n.endswith(".md")]:
    text = zipfile.ZipFile(sys.argv[1]).read(page).decode("utf-8")
    for link in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text):
        target = posixpath.normpath(posixpath.join(posixpath.dirname(page), link))
        if target not in names:
            sys.exit(f"{sys.argv[1]}: {page} links to {link}, which is not in the package")
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
PY
root=$(ls "$out")
wine "$out/$root/bin/kelvor.exe" --commands </dev/null >"$out/commands.txt" 2>/dev/null
cmp "$out/commands.txt" "$out/$root/doc/COMMANDS.txt"
if ls "$build"/kelvor-*-win64.exe >/dev/null 2>&1; then
    echo "Windows packages: $(basename "$zip") and $(basename "$(ls "$build"/kelvor-*-win64.exe)") (NSIS)"
else
    echo "Windows package: $(basename "$zip")"
fi
