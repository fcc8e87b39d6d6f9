#!/usr/bin/env bash
# Runs the unpack tool on archives that Info-ZIP zip and Python's zipfile make now, and
# compares what it unpacks with the tree they were made from.
# Usage: unpack_tool_test.sh UNPACK [RUNNER]; with a RUNNER (the Wine wrapper for
# unpack.exe) paths are handed over as Z: paths.
set -euo pipefail
unpack=$1
runner=${2:-}
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

path() { if [ -n "$runner" ]; then echo "Z:$work/$1"; else echo "$work/$1"; fi; }

run_unpack() { ${runner:+"$runner"} "$unpack" "$@"; }

# The tree: an executable, text, noise, an empty file and folder, a read-only file.
mkdir -p src/bin src/data/maps/deep src/empty
printf '#!/bin/sh\necho game\n' >src/bin/game
chmod 755 src/bin/game
python3 -c "import sys; sys.stdout.write('line of text for the deflater\n' * 40000)" >src/data/text.txt
python3 -c "import random, sys; random.seed(4); sys.stdout.buffer.write(random.randbytes(300000))" >src/data/maps/deep/noise.bin
: >src/data/empty.txt
echo "do not touch" >src/data/readonly.txt
chmod 444 src/data/readonly.txt
touch -d '2019-05-06 07:08:09' src/data/text.txt

(cd src && zip -qr -X ../infozip.zip . && zip -qr ../infozip-extra.zip .)
(cd src && zip -qr - . | cat >../streamed.zip)
(cd src && zip -q - - <data/maps/deep/noise.bin >../stdin.zip)
python3 - <<'EOF'
import io, os, zipfile

class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

def add_tree(z):
    for root, dirs, files in os.walk('src'):
        dirs.sort()
        for name in sorted(dirs + files):
            full = os.path.join(root, name)
            z.write(full, os.path.relpath(full, 'src'))

for name, method in (('python-deflated.zip', zipfile.ZIP_DEFLATED), ('python-stored.zip', zipfile.ZIP_STORED)):
    with zipfile.ZipFile(name, 'w', method) as z:
        add_tree(z)
with open('python-stream.zip', 'wb') as raw:
    with zipfile.ZipFile(Unseekable(raw), 'w', zipfile.ZIP_DEFLATED) as z:
        add_tree(z)
EOF

for archive in infozip.zip infozip-extra.zip streamed.zip python-deflated.zip python-stored.zip python-stream.zip; do
  if ! run_unpack "$(path "$archive")" "$(path "out-$archive")" >/dev/null; then
    fail "$archive did not unpack"
    continue
  fi
  diff -r src "out-$archive" >/dev/null || fail "$archive unpacked differently"
  [ -d "out-$archive/empty" ] || fail "$archive lost the empty folder"
  [ "$(stat -c %A "out-$archive/data/readonly.txt" | cut -c3)" = - ] || fail "$archive: readonly.txt is writable"
  if [ -z "$runner" ]; then
    [ -x "out-$archive/bin/game" ] || fail "$archive: the game is not executable"
  fi
  # DOS times have two-second steps; the "UT" block of Info-ZIP keeps seconds.
  age=$(($(stat -c %Y src/data/text.txt) - $(stat -c %Y "out-$archive/data/text.txt")))
  [ "${age#-}" -le 1 ] || fail "$archive: time of text.txt is $age s off"
done

run_unpack "$(path stdin.zip)" "$(path out-stdin)" >/dev/null || fail "stdin.zip did not unpack"
cmp -s src/data/maps/deep/noise.bin out-stdin/- || fail "stdin.zip unpacked differently"

listing=$(run_unpack -v "$(path python-stored.zip)" "$(path out-listed)" | tr -d '\r')
[ "$(grep -c . <<<"$listing")" = "$(python3 -c "import zipfile; print(len(zipfile.ZipFile('python-stored.zip').namelist()))")" ] ||
  fail "-v does not print one line per entry"
grep -q "data/maps/deep/noise.bin" <<<"$listing" || fail "-v does not name the entries"

# A damaged entry: the tool fails and names it.
python3 - <<'EOF'
import zipfile
data = bytearray(open('python-stored.zip', 'rb').read())
info = zipfile.ZipFile('python-stored.zip').getinfo('data/maps/deep/noise.bin')
data[info.header_offset + 30 + len(info.filename) + len(info.extra) + 1000] ^= 0xFF
open('damaged.zip', 'wb').write(data)
EOF
index=$(python3 -c "import zipfile; print(zipfile.ZipFile('damaged.zip').namelist().index('data/maps/deep/noise.bin'))")
status=0
message=$(run_unpack "$(path damaged.zip)" "$(path out-damaged)" 2>&1 >/dev/null | tr -d '\r') || status=$?
[ "$status" = 1 ] || fail "damaged.zip: exit status $status"
grep -q "entry $index \"data/maps/deep/noise.bin\" failed: ArchiveErrData" <<<"$message" ||
  fail "damaged.zip: message was: $message"

# Symbolic links as zip -y stores them: kept on Linux, regular files holding their
# target under Windows. One that leads outside fails the job on Linux, and is named.
mkdir -p links/lib
echo elf >links/lib/libgame.so.1
ln -s libgame.so.1 links/lib/libgame.so
(cd links && zip -qry ../links.zip .)
ln -s ../../outside links/lib/escape
(cd links && zip -qry ../escape.zip .)
run_unpack "$(path links.zip)" "$(path out-links)" >/dev/null || fail "links.zip did not unpack"
status=0
message=$(run_unpack "$(path escape.zip)" "$(path out-escape)" 2>&1 >/dev/null | tr -d '\r') || status=$?
if [ -z "$runner" ]; then
  [ -L out-links/lib/libgame.so ] && [ "$(cat out-links/lib/libgame.so)" = elf ] || fail "links.zip: the link was not kept"
  index=$(python3 -c "import zipfile; print(zipfile.ZipFile('escape.zip').namelist().index('lib/escape'))")
  [ "$status" = 1 ] || fail "escape.zip: exit status $status"
  grep -q "entry $index \"lib/escape\" failed: ArchiveErrName" <<<"$message" || fail "escape.zip: message was: $message"
  [ ! -e out-escape/lib/escape ] && [ ! -L out-escape/lib/escape ] || fail "escape.zip: the link was created"
else
  [ "$(cat out-links/lib/libgame.so)" = libgame.so.1 ] || fail "links.zip: the link is not a file holding its target"
  [ "$status" = 0 ] || fail "escape.zip: exit status $status"
fi

status=0
run_unpack "$(path missing.zip)" "$(path out-missing)" 2>/dev/null || status=$?
[ "$status" = 1 ] || fail "missing.zip: exit status $status"
status=0
run_unpack 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "no arguments: exit status $status"

[ "$failures" = 0 ] && echo "unpack tool: all checks passed"
exit "$failures"
