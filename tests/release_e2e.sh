#!/usr/bin/env bash
# Signed releases from end to end, served by nginx on 127.0.0.1:
#
#   tests/release_e2e.sh start WORK      starts nginx on WORK/root (port in WORK/port)
#   tests/release_e2e.sh stop WORK       stops it
#   tests/release_e2e.sh run WORK KIVTOOL [ARGS...]
#       KIVTOOL (the command that starts kivtool, e.g. under Wine) makes four
#       versions of a game tree (57 to 60), publishes 58 to 60 signed into
#       WORK/root, updates a copy of 57 from the server and compares it with
#       60: plain files byte for byte, archives item by item. Then each attack
#       on the server must be refused with its message and nothing installed.
#
# A kivtool that cannot sign (the Windows build) publishes unsigned and the
# release manifest is signed with the openssl command line instead: the
# signature is a standard DER ECDSA P-256 / SHA-256 one either way.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=$1 work=$2
shift 2

case "$mode" in
start)
  rm -rf "$work"
  mkdir -p "$work/root/kiv"
  "$here/../scripts/nginx-serve" start "$work/nginx" "$work/root" >"$work/port"
  exit 0
  ;;
stop)
  "$here/../scripts/nginx-serve" stop "$work/nginx"
  exit 0
  ;;
run) ;;
*) echo "usage: $0 start|stop|run WORK [KIVTOOL...]" >&2; exit 2 ;;
esac

kivtool=("$@")
port=$(cat "$work/port")
base="http://127.0.0.1:$port/kiv/"
root=$work/root/kiv
trees=$work/trees
rm -rf "$trees" "$work/install" "$work/out" "$root"/*
mkdir -p "$trees"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# ---- four versions of a game tree ---------------------------------------------
put_items() {  # HED NAME=TEXT...
  local hed=$1
  shift
  [ -f "$hed" ] || "${kivtool[@]}" archive create "$hed"
  for pair in "$@"; do
    printf '%s' "${pair#*=}" >"$work/item"
    "${kivtool[@]}" archive put "$hed" "${pair%%=*}" "$work/item"
  done
}

t=$trees/57
mkdir -p "$t/data/maps"
printf 'client 57\r\n' >"$t/kiv.exe"
printf 'readme 57\r\n' >"$t/readme.txt"
printf 'harbour 57\n' >"$t/data/maps/harbour.txt"
put_items "$t/data/ui.hed" 'ui\a.bmp=a 57' 'ui\b.bmp=b 57' 'text\c.txt=c 57'
# An item large enough that 58 carries it as a delta (where kivtool can make one).
big=$(for i in $(seq 1 600); do printf 'line %d %s\n' "$i" "$(printf '%s' "$i" | sha256sum | cut -c1-32)"; done)
put_items "$t/data/ui.hed" "ui\\big.bmp=$big"
"${kivtool[@]}" version set "$t" 57

cp -a "$trees/57" "$trees/58"
t=$trees/58
# The launcher's download area left behind in a tree is its own state.
mkdir -p "$t/patches/version_58"
printf 'stale download\n' >"$t/patches/version_58/leftover.txt"
printf 'client 58, rebuilt\r\n' >"$t/kiv.exe"
mkdir -p "$t/data/maps/north"
printf 'fjord, new in 58\n' >"$t/data/maps/north/fjord.txt"
put_items "$t/data/ui.hed" 'ui\b.bmp=b changed in 58' 'ui\d.bmp=d added in 58' "ui\\big.bmp=${big/line 300 /line 300, changed in 58 }"
"${kivtool[@]}" version set "$t" 58

cp -a "$trees/58" "$trees/59"
t=$trees/59
printf 'readme 59\r\n' >"$t/readme.txt"
put_items "$t/data/sound.hed" 'sfx\bell.wav=bell 59' 'sfx\horn.wav=horn 59'
put_items "$t/data/ui.hed" 'ui\a.bmp=a changed in 59'
"${kivtool[@]}" version set "$t" 59

cp -a "$trees/59" "$trees/60"
t=$trees/60
printf 'client 60\r\n' >"$t/kiv.exe"
printf 'harbour 60\n' >"$t/data/maps/harbour.txt"
put_items "$t/data/sound.hed" 'sfx\horn.wav=horn changed in 60' 'sfx\gong.wav=gong added in 60'
put_items "$t/data/ui.hed" 'text\c.txt=c changed in 60'
"${kivtool[@]}" version set "$t" 60

# ---- keys and publishing ---------------------------------------------------------
keys=$work/keys
mkdir -p "$keys"
signing=kivtool
if ! "${kivtool[@]}" keygen "$keys/private.pem" "$keys/public.pem" 2>/dev/null; then
  signing=openssl
  rm -f "$keys"/*.pem
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$keys/private.pem" 2>/dev/null
  openssl pkey -in "$keys/private.pem" -pubout -out "$keys/public.pem"
fi
publish() {  # OLD NEW ROOT VERSION [ARGS...]: signed
  local folder=$3/$4
  if [ $signing = kivtool ]; then
    "${kivtool[@]}" publish "$1" "$2" "$3" --version "$4" "${@:5}" --key "$keys/private.pem"
  else
    "${kivtool[@]}" publish "$1" "$2" "$3" --version "$4" "${@:5}" &&
      openssl dgst -sha256 -sign "$keys/private.pem" -out "$folder/release.sig" "$folder/release.txt"
  fi
}
for v in 58 59 60; do
  publish "$trees/$((v - 1))" "$trees/$v" "$work/root/kiv" $v
  "${kivtool[@]}" verify "$root/$v" --public-key "$keys/public.pem" || fail "verify $v"
done
ls "$root/58/patches/"*.npatch >/dev/null || fail "58 has no patch package"
grep -q 'data\\sound.dat' "$root/59/dl_list.txt" || fail "the new pair of 59 is not published as plain files"
if grep -q 'ui.dat' "$root/58/dl_list.txt"; then fail "a changed pair was published whole"; fi
# The package holds exactly the added and changed items.
items=$("${kivtool[@]}" patch show "$root/58/patches/data_ui_58.npatch" | tr -d '\r' | tail -n +2 | cut -f1 | sort | tr '\n' ' ')
[ "$items" = 'ui\b.bmp ui\big.bmp ui\d.bmp ' ] || fail "the package of 58 holds '$items'"
deltas=0
case $("${kivtool[@]}" patch show "$root/58/patches/data_ui_58.npatch") in *'big.bmp	delta'*) deltas=1 ;; esac
if grep -qi -e 'kiv\.ver' -e 'leftover' "$root"/*/dl_list.txt; then fail "the launcher's own state was published"; fi
# A published version is never overwritten; what the update cannot express
# (a removed file, a removed item) is a warning.
cp "$root/60/dl_list.txt" "$work/list60"
if "${kivtool[@]}" publish "$trees/59" "$trees/60" "$work/root/kiv" --version 60 2>/dev/null; then
  fail "version 60 was published twice"
fi
cmp -s "$work/list60" "$root/60/dl_list.txt" || fail "the list of 60 was overwritten"
cp -a "$trees/60" "$trees/61"
rm "$trees/61/readme.txt"
printf 'client 61\r\n' >"$trees/61/kiv.exe"
"${kivtool[@]}" publish "$trees/60" "$trees/61" "$work/scratch" --version 61 2>"$work/warnings" >/dev/null ||
  fail "publish with a removed file"
grep -q "kivtool: warning: readme.txt was removed" "$work/warnings" || fail "no warning for a removed file"
rm -rf "$trees/61" "$work/scratch"

# ---- the update ------------------------------------------------------------------
fresh_install() {  # VERSION
  rm -rf "$work/install"
  cp -a "$trees/$1" "$work/install"
}

# The items of an archive as "name<TAB>content" lines, sorted.
archive_items() {  # HED
  "${kivtool[@]}" archive list "$1" | tr -d '\r' | cut -f2 | sort -u | while IFS= read -r name; do
    printf '%s\t%s\n' "$name" "$("${kivtool[@]}" archive get "$1" "$name" | od -An -tx1 | tr -d ' \n')"
  done
}

same_as_tree() {  # VERSION: plain files byte for byte, archives item by item
  local tree=$trees/$1 ok=0
  diff -r -q -x '*.hed' -x '*.dat' -x patches -x kiv.ver "$tree" "$work/install" >&2 || ok=1
  [ "$(tr -d '\r' <"$work/install/kiv.ver")" = "$1" ] || { echo "kiv.ver is not $1" >&2; ok=1; }
  for name in $(cd "$tree" && find . -name '*.hed'); do
    local hed=$tree/$name
    [ -f "$work/install/$name" ] || { echo "missing $name" >&2; ok=1; continue; }
    diff <(archive_items "$hed") <(archive_items "$work/install/$name") >&2 || ok=1
  done
  return $ok
}

update() {  # [BASE]: captures the messages in $work/out
  "${kivtool[@]}" update "$work/install" --base "${1:-$base}" --public-key "$keys/public.pem" >"$work/out" 2>&1
}

fresh_install 57
update || { cat "$work/out" >&2; fail "update from 57"; }
same_as_tree 60 || fail "57 updated to 60 differs from the tree of 60"

# ---- publishing what launchers would refuse or install in part ------------------
# Each row makes 60x (from 60) and 61 (from 60x), then publishes 61 into an
# empty root of its own: refused with the message and nothing written, or
# (no message) published, verified and installed over 60x exactly as 61.
pairs() {  # TREE TEXT: two archive pairs whose package names would meet
  mkdir -p "$1/a"
  put_items "$1/a/b.hed" "x=a\\b $2"
  put_items "$1/a_b.hed" "x=a_b $2"
}
printf 'made elsewhere\n' >"$work/extra"
while IFS='|' read -r id old new args message; do
  rm -rf "$trees/60x" "$trees/61"
  cp -a "$trees/60" "$trees/60x"
  t=$trees/60x r=$work/root/$id
  eval "$old"
  cp -a "$trees/60x" "$trees/61"
  t=$trees/61
  "${kivtool[@]}" version set "$t" 61
  eval "$new"
  eval "args=($args)"
  publish "$trees/60x" "$t" "$r" 61 "${args[@]}" >/dev/null 2>"$work/out" && published=yes || published=no
  if [ -n "$message" ]; then
    grep -qF "$message" "$work/out" || { cat "$work/out" >&2; fail "$id: no message '$message'"; }
    # Refused before writing, not found out by the check of what was written.
    grep -qF "Nothing was published." "$work/out" && [ ! -e "$r/61" ] && [ ! -e "$r/62" ] ||
      fail "$id: something was written"
  elif [ $published = no ]; then
    cat "$work/out" >&2; fail "$id: not published"
  else
    "${kivtool[@]}" verify "$r/61" --public-key "$keys/public.pem" >/dev/null || fail "$id: verify"
    fresh_install 60x
    update "http://127.0.0.1:$port/$id/" || { cat "$work/out" >&2; fail "$id: update"; }
    same_as_tree 61 || fail "$id: 60x updated to 61 differs from the tree of 61"
  fi
done <<'ROWS'
pairs|pairs "$t" 60|pairs "$t" 61||
device|:|:|--include "data\\nul.txt=$work/extra"|data\nul.txt: Windows would not store it under this name
state|:|echo x >"$t/Kiv.Ver.Tmp"||Kiv.Ver.Tmp: It is the launcher's version file.
include-state|:|:|--include "kiv.ver=$work/extra"|kiv.ver: It is the launcher's version file.
include-area|:|:|--include "patches\\notes.txt=$work/extra"|patches\notes.txt: It is in the launcher's download area
case|:|echo a >"$t/A.txt"; echo b >"$t/a.txt"||A.txt and a.txt are one file on Windows.
package|:|:|--include "Patches\\Data_UI_61.npatch=$work/extra"|Patches\Data_UI_61.npatch and patches\data_ui_61.npatch are one file on Windows.
patch-outside|:|mkdir "$t/setup"; echo x >"$t/setup/data1.cab"||setup\data1.cab: Launchers take it for a patch file
temporary|:|echo x >"$t/readme.txt.KIVNEW"||readme.txt.KIVNEW: It ends in the suffix the launcher gives a file
order|mkdir -p "$r/60" && touch "$r/60/dl_list.txt"|echo x >"$t/new.txt"|--version 62|Version 62 does not follow 60
ROWS
# verify goes by the same rules: an entry the launcher refuses, listed with
# a matching size and digest, is found.
cp -a "$work/root/pairs/61" "$work/61"
echo x >"$work/61/Kiv.Ver.Tmp"
printf 'Kiv.Ver.Tmp\r\n' >>"$work/61/dl_list.txt"
printf '%s 2 Kiv.Ver.Tmp\r\n' "$(sha256sum <"$work/61/Kiv.Ver.Tmp" | cut -d' ' -f1)" >>"$work/61/release.txt"
"${kivtool[@]}" verify "$work/61" 2>"$work/out" && fail "verify passed an unsafe entry"
grep -qF "Kiv.Ver.Tmp: It is the launcher's version file." "$work/out" || fail "verify: no message for Kiv.Ver.Tmp"
rm -rf "$work/61" "$trees/60x" "$trees/61"
# Packages for launchers that predate version 2, served beside the others and
# installed by today's rules.
"${kivtool[@]}" publish "$trees/57" "$trees/58" "$work/root/kiv1" --version 58 --format 1 >/dev/null
[ "$(head -c 10 "$work/root/kiv1/58/patches/data_ui_58.npatch")" = ZOKAPATCH1 ] || fail "--format 1 wrote another format"
[ "$(head -n 1 "$work/root/kiv1/58/release.txt" | tr -d '\r')" = "KIV release 1" ] || fail "--format 1 wrote another manifest"
fresh_install 57
"${kivtool[@]}" update "$work/install" --base "http://127.0.0.1:$port/kiv1/" >"$work/out" 2>&1 ||
  { cat "$work/out" >&2; fail "update from packages of --format 1"; }
same_as_tree 58 || fail "57 updated with packages of --format 1 differs from the tree of 58"

if [ $deltas = 1 ]; then
  # An item the player changed cannot take its delta. Without a release
  # manifest there is no whole copy: the version stops, naming the item, and
  # the pair is left as it was.
  fresh_install 57
  put_items "$work/install/data/ui.hed" "ui\\big.bmp=changed by the player"
  cp -a "$work/install/data" "$work/held"
  rm -rf "$work/unsigned" && cp -a "$root/58" "$work/unsigned" && rm "$root/58/release.txt" "$root/58/release.sig"
  if "${kivtool[@]}" update "$work/install" --base "$base" >"$work/out" 2>&1; then fail "update over a changed item without a release"; fi
  grep -qF 'Item ui\big.bmp is not the one its patch was made from' "$work/out" || { cat "$work/out" >&2; fail "no message naming the changed item"; }
  cmp "$work/held/ui.hed" "$work/install/data/ui.hed" && cmp "$work/held/ui.dat" "$work/install/data/ui.dat" ||
    fail "the pair changed although its delta was refused"
  rm -rf "$root/58" "$work/held" && mv "$work/unsigned" "$root/58"
  # With the release back, its whole copy of the new item is fetched instead
  # and the next run completes the update.
  update || { cat "$work/out" >&2; fail "update over a changed item"; }
  same_as_tree 60 || fail "57 with a changed item updated to 60 differs from the tree of 60"
fi

# ---- attacks: each refused with its message, nothing installed ------------------
attack() {  # NAME START MESSAGE: the server has been changed by the caller, and is restored
  local name=$1 start=$2 message=$3
  fresh_install "$start"
  if update; then fail "$name: the update succeeded"; fi
  grep -qF "$message" "$work/out" || { cat "$work/out" >&2; fail "$name: no message '$message'"; }
  same_as_tree "$start" || fail "$name: the installation changed"
  restore
}

cp -a "$root" "$work/published"
restore() { rm -rf "$root"; cp -a "$work/published" "$root"; }

printf 'client 58, rebuilX\r\n' >"$root/58/kiv.exe"  # same length, other bytes
attack "changed file" 57 "Download failed: kiv.exe Downloaded file does not match the release."

# A forged kiv.exe with a manifest rewritten to match it.
printf 'evil client\r\n' >"$root/58/kiv.exe"
forged="$(sha256sum "$root/58/kiv.exe" | cut -d' ' -f1) $(stat -c %s "$root/58/kiv.exe") kiv.exe"
sed -i "s/^[0-9a-f]* [0-9]* kiv\.exe\r\$/$forged\r/" "$root/58/release.txt"
grep -q "^$forged" "$root/58/release.txt" || fail "the forged manifest was not made"
attack "changed release.txt" 57 "Release 58 is not signed by the publisher."

rm "$root/58/release.sig"
attack "missing release.sig" 57 "Release 58 is not signed by the publisher."

# Version 58's signed release, list and files, replayed as 59.
rm -rf "$root/59"
cp -a "$root/58" "$root/59"
attack "older release under a newer number" 58 "Release 59 is not signed by the publisher."

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "release end to end: 57 updated to 60 over nginx, publish's refusals, four attacks refused (signed with $signing), deltas: $deltas"
