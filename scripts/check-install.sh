#!/usr/bin/env bash
# What a user of the packages meets, checked on a finished build (default
# build/): the install into a scratch prefix, the examples built against that
# install through find_package and through pkg-config and run against the
# simulated module, the Python package imported from the install and an
# example of it run, the five Debian packages built twice (byte for byte the
# same), checked by lintian, unpacked into a scratch root and used from there,
# the manual pages rendered without warnings, the manual in HTML and its
# Markdown, and the bash completion.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${1:-build}
build=$(cd "$build" && pwd)

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "check-install: $*" >&2
    exit 1
}

# Runs a command quietly; shows what it printed when it fails.
quiet() {
    local log
    log=$("$@" 2>&1) || {
        echo "$log" >&2
        fail "failed: $*"
    }
}

multiarch=$(gcc -print-multiarch)
python=/usr/bin/python3
packages=(kelvor orvanti-sim libkelvor-dev python3-kelvor kelvord)

# The files a prefix must hold, and the internal headers it must not.
check_layout() {
    local root=$1 lib=lib/$multiarch
    for f in bin/kelvor bin/orvanti-sim $lib/libkelvor.a include/kelvor/ModuleSDK.h include/kelvor/Version.h \
        include/kelvor/protocol/Packet.h include/kelvor/protocol/Commands.h \
        $lib/pkgconfig/kelvor.pc $lib/cmake/kelvor/kelvorConfig.cmake $lib/cmake/kelvor/kelvorConfigVersion.cmake \
        share/man/man1/kelvor.1.gz share/man/man1/orvanti-sim.1.gz share/bash-completion/completions/kelvor \
        share/kelvor/kelvor-result.schema.json lib/python3/dist-packages/kelvor/__init__.py \
        lib/python3/dist-packages/kelvor/__init__.pyi lib/python3/dist-packages/kelvor/py.typed \
        share/doc/python3-kelvor/examples/identify.py share/doc/libkelvor-dev/examples/identify.cpp \
        sbin/kelvord share/man/man8/kelvord.8.gz share/bash-completion/completions/kelvord \
        share/kelvor/kelvord-protocol.schema.json lib/systemd/system/kelvord@.service lib/sysusers.d/kelvord.conf \
        share/kelvord/station/index.html share/kelvord/station/station.js share/kelvord/station/station.css; do
        [ -e "$root/$f" ] || fail "$root: $f missing"
    done
    ls "$root"/lib/python3/dist-packages/kelvor/_kelvor.*.so >/dev/null 2>&1 || fail "$root: the extension _kelvor is missing"
    for p in "${packages[@]}"; do
        for f in copyright changelog.gz; do
            [ -f "$root/share/doc/$p/$f" ] || fail "$root: share/doc/$p/$f missing"
        done
    done
    # The schema installed is the one the tool prints.
    "$root/bin/kelvor" --json-schema | cmp -s - "$root/share/kelvor/kelvor-result.schema.json" ||
        fail "$root: kelvor --json-schema differs from share/kelvor/kelvor-result.schema.json"
    "$root/sbin/kelvord" --protocol-schema | cmp -s - "$root/share/kelvor/kelvord-protocol.schema.json" ||
        fail "$root: kelvord --protocol-schema differs from share/kelvor/kelvord-protocol.schema.json"
    # Every relative link of the installed README and of the manual's pages
    # leads to an installed file.
    local doc=$root/share/doc/kelvor link page
    [ -f "$doc/README.md" ] || fail "$root: share/doc/kelvor/README.md missing"
    [ -f "$doc/docs/index.md" ] || fail "$root: share/doc/kelvor/docs/index.md missing"
    for page in "$doc/README.md" "$doc"/docs/*.md; do
        for link in $(grep -o '](\([^)#:]*\))' "$page" | sed 's/^](//; s/)$//'); do
            [ -e "$(dirname "$page")/$link" ] ||
                fail "the installed ${page#"$doc/"} links to $link, which is not installed"
        done
    done
    # The manual in HTML: its first page, and a page of it that holds what
    # its Markdown says (the tool's option table).
    local manual=$doc/manual
    [ -f "$manual/index.html" ] || fail "$root: share/doc/kelvor/manual/index.html missing"
    grep -q '<h1 id="the-tool-and-its-options">The tool and its options</h1>' "$manual/tool.html" 2>/dev/null ||
        fail "$root: share/doc/kelvor/manual/tool.html is missing or is not the page of the tool"
    grep -q '<td><code>-P port</code></td>' "$manual/tool.html" || fail "$manual/tool.html lacks the option table"
    [ -f "$manual/manual.css" ] || fail "$root: the manual's style sheet is missing"
    local headers
    headers=$(cd "$root/include/kelvor" && ls | tr '\n' ' ')
    [ "$headers" = "ModuleSDK.h Version.h protocol " ] || fail "$root/include/kelvor holds more than the public headers: $headers"
}

# The two examples against the library installed under $1, both ways, into $2.
build_examples() {
    local root=$1 out=$2
    quiet cmake -S "$source_dir/examples" -B "$out/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$root"
    quiet cmake --build "$out/cmake"
    local flags pc=$root/lib/$multiarch/pkgconfig
    flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs kelvor)
    [ "$(PKG_CONFIG_PATH="$pc" pkg-config --modversion kelvor)" = "$version" ] ||
        fail "pkg-config reports another version"
    mkdir -p "$out/pc"
    for example in identify backup_user; do
        # shellcheck disable=SC2086
        quiet g++ -Wall -Wextra -Werror "$source_dir/examples/$example.cpp" $flags -o "$out/pc/$example"
    done
}

version=$("$build/bin/kelvor" --version | awk '{ print $2 }')

echo "== Install into a scratch prefix"
prefix=$scratch/prefix
quiet cmake --install "$build" --prefix "$prefix"
check_layout "$prefix"

echo "== Examples against the installed library (find_package and pkg-config)"
build_examples "$prefix" "$scratch/examples"

echo "== Examples against the simulated module"
run=$scratch/run
mkdir -p "$run"
link=$run/module
"$prefix/bin/orvanti-sim" --link "$link" >/dev/null &
sim_pid=$!
for _ in $(seq 500); do [ -e "$link" ] && break; sleep 0.01; done
[ -e "$link" ] || fail "the simulator did not come up"
"$prefix/bin/orvanti-sim" --link "$link" --place 3
# kelvor writes kelvor.cfg in the working directory: run it in the scratch one.
(cd "$run" && "$prefix/bin/kelvor" --exit-code -P "$link" -b 115200 -c ES -p1 5 -f 0x71) ||
    fail "enrolling user 5 failed"
for way in cmake pc; do
    out=$("$scratch/examples/$way/identify" "$link") || fail "$way identify: $out"
    case $out in "user 5 "*) ;; *) fail "$way identify printed: $out" ;; esac
    "$scratch/examples/$way/backup_user" "$link" 5 "$run/user5.bin" >/dev/null || fail "$way backup_user failed"
    [ "$(stat -c %s "$run/user5.bin")" -eq 384 ] || fail "$way backup_user wrote $(stat -c %s "$run/user5.bin") bytes"
done
"$prefix/bin/orvanti-sim" --link "$link" --place 7
set +e
out=$("$scratch/examples/cmake/identify" "$link" 2>/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] && [ "$out" = "unknown finger" ] || fail "an unknown finger gave $status: $out"
"$scratch/examples/pc/backup_user" "$link" 6 "$run/user6.bin" 2>/dev/null && fail "backup of a missing user succeeded"
[ -e "$run/user6.bin" ] && fail "a failed backup left its file"

# The Python package installed under $1: its version, and the identify example
# (finger 3 of user 5 on the sensor) against the simulated module.
check_python() {
    local site=$1/lib/python3/dist-packages out
    out=$(cd "$run" && PYTHONPATH="$site" "$python" -c "import kelvor, sys; print(kelvor.__version__, kelvor.__file__)") ||
        fail "import kelvor from $site failed"
    [ "${out%% *}" = "$version" ] || fail "kelvor.__version__ from $site is ${out%% *}"
    [[ ${out#* } == "$site/"* ]] || fail "kelvor was imported from ${out#* }, not from $site"
    "$prefix/bin/orvanti-sim" --link "$link" --place 3
    out=$(cd "$run" && PYTHONPATH="$site" "$python" "$1/share/doc/python3-kelvor/examples/identify.py" "$link") ||
        fail "the Python example identify.py from $1 failed: $out"
    case $out in "user 5 (score "*) ;; *) fail "the Python example identify.py printed: $out" ;; esac
}

echo "== The Python package from the prefix"
check_python "$prefix"

echo "== Debian packages"
# Their time stamps are those of the changelog's latest entry, so that two
# builds of the same tree give the same packages.
SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' "$source_dir/packaging/changelog" | head -1)" +%s)
export SOURCE_DATE_EPOCH
arch=$(dpkg --print-architecture)
for round in 1 2; do
    mkdir -p "$scratch/debs$round"
    (cd "$build" && quiet cpack -G DEB -B "$scratch/debs$round")
    [ "$round" = 1 ] && sleep 1
done
for p in "${packages[@]}"; do
    deb=$scratch/debs1/${p}_${version}_$arch.deb
    [ -f "$deb" ] || fail "$deb not built"
    cmp -s "$deb" "$scratch/debs2/${p}_${version}_$arch.deb" || fail "$p: two builds of its package differ"
    dpkg -x "$deb" "$scratch/root"
done
depends() { dpkg-deb -f "$scratch/debs1/${1}_${version}_$arch.deb" Depends; }
for p in kelvor orvanti-sim python3-kelvor kelvord; do
    for dep in libc6 libstdc++6; do
        [[ $(depends "$p") == *"$dep"* ]] || fail "$p: Depends lacks $dep: $(depends "$p")"
    done
done
# SQLite: the simulator's state and the service's directory of people, nothing else.
for p in orvanti-sim kelvord; do
    [[ $(depends "$p") == *libsqlite3-0* ]] || fail "$p does not depend on libsqlite3-0"
done
for p in kelvor libkelvor-dev python3-kelvor; do
    [[ $(depends "$p") != *sqlite* ]] || fail "$p depends on SQLite: $(depends "$p")"
done
[[ $(depends python3-kelvor) == *"python3 (>= "* ]] || fail "python3-kelvor does not depend on python3"
echo "== lintian"
lintian --fail-on error,warning \
    "$scratch"/debs1/*.deb 2>&1 | tee "$scratch/lintian.log"
check_layout "$scratch/root/usr"
file "$scratch/root/usr/bin/kelvor" | grep -q "ELF.*stripped" || fail "kelvor in the package is no stripped program"
file "$scratch/root/usr/bin/kelvor" | grep -q "not stripped" && fail "kelvor in the package is not stripped"
file "$scratch/root/usr/sbin/kelvord" | grep -q "not stripped" && fail "kelvord in the package is not stripped"
# The service's user and groups come from its postinst, through systemd-sysusers.
dpkg-deb --ctrl-tarfile "$scratch/debs1/kelvord_${version}_$arch.deb" | tar -tv | grep -q -- "-rwxr-xr-x .*postinst" ||
    fail "kelvord's postinst is missing or not executable"
# Where the package is not installed, the program and its manual page are not found.
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$scratch/root/usr/lib/systemd/system/kelvord@.service" 2>&1 |
        grep -v -e "Command /usr/sbin/kelvord is not executable" -e "Command 'man kelvord(8)'" |
        grep -i "kelvord@" && fail "systemd-analyze finds fault with kelvord@.service"
fi
build_examples "$scratch/root/usr" "$scratch/examples-deb"
check_python "$scratch/root/usr"

echo "== Manual pages"
for page in "$prefix"/share/man/man1/*.1.gz "$prefix"/share/man/man8/*.8.gz; do
    warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
    [ -z "$warnings" ] || fail "groff on $page: $warnings"
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man on $page: $warnings"
done

echo "== Bash completion"
completion=$prefix/share/bash-completion/completions/kelvor
bash -n "$completion"
words=$(PATH="$prefix/bin:$PATH" bash -c '
    source "$1"
    COMP_WORDS=(kelvor -c E); COMP_CWORD=2; _kelvor; echo "${COMPREPLY[*]}"
    COMP_WORDS=(kelvor --ver); COMP_CWORD=1; _kelvor; echo "${COMPREPLY[*]}"' _ "$completion")
first=$(sed -n 1p <<<"$words" | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$first" = "EC ECX EI EIX ES ESA ET ETX EV EW EWA " ] || fail "kelvor -c E<TAB> gave: $first"
[ "$(sed -n 2p <<<"$words")" = "--version" ] || fail "kelvor --ver<TAB> gave: $(sed -n 2p <<<"$words")"

# Where bash-completion looks for it: loaded on demand from the prefix's share.
loader=/usr/share/bash-completion/bash_completion
if [ -f "$loader" ]; then
    loaded=$(XDG_DATA_DIRS="$prefix/share" bash -c 'source "$1"; __load_completion kelvor && complete -p kelvor' _ "$loader") ||
        true
    [[ $loaded == *"-F _kelvor kelvor"* ]] || fail "bash-completion does not load kelvor's completion from $prefix/share"
fi

service_completion=$prefix/share/bash-completion/completions/kelvord
bash -n "$service_completion"
words=$(bash -c 'source "$1"; COMP_WORDS=(kelvord --fore); COMP_CWORD=1; _kelvord; echo "${COMPREPLY[*]}"' _ "$service_completion")
[ "$words" = "--foreground" ] || fail "kelvord --fore<TAB> gave: $words"

echo "== Install checks passed"
