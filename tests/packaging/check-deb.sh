#!/usr/bin/env bash
# The package test: packages the program of the build folder it is given (no
# build of its own) and checks the package without installing it: control
# fields, file list and modes, the desktop entry, metainfo, polkit action, man
# page and icons with their validators, lintian, and a start of the unpacked
# program through a link, which must make its Data/ folder beside the real
# executable.
#   check-deb.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build=$(cd "$2" && pwd)

name=orvo-cert-importer
program_dir=/opt/tornvale/orvo-cert-importer
exe=$program_dir/$name
app_id=com.tornvale.OrvoCertImporter
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

expect_eq() { # what, expected, actual
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$("$source_dir/scripts/package" --build-dir "$build" --out "$work/dist" | tail -n 1)
expect_eq "package file" "$work/dist/${name}_${version}_${arch}.deb" "$deb"
[ -f "$deb" ] || { echo "FAIL: no package written" >&2; exit 1; }

# --- control fields
expect_eq Package "$name" "$(dpkg-deb -f "$deb" Package)"
expect_eq Version "$version" "$(dpkg-deb -f "$deb" Version)"
expect_eq Architecture "$arch" "$(dpkg-deb -f "$deb" Architecture)"
expect_eq Recommends pkexec "$(dpkg-deb -f "$deb" Recommends)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libssl3 libqt6widgets6 libqt6core6 libsystemd0 libstdc++6; do
  [[ ", $depends" == *", $library "* ]] || fail "Depends lacks $library: $depends"
done
[ -n "$(dpkg-deb -f "$deb" Installed-Size)" ] || fail "no Installed-Size"

# --- file list: everything owned by root, the program in its own folder
listing=$(dpkg-deb -c "$deb")
if echo "$listing" | awk '$2 != "root/root"' | grep -q .; then
  fail "files not owned by root: $(echo "$listing" | awk '$2 != "root/root"')"
fi
entry() { echo "$listing" | awk -v path=".$1" '$6 == path'; }
expect_eq "mode of the program" "-rwxr-xr-x" "$(entry "$exe" | awk '{print $1}')"
expect_eq "link on PATH" "$exe" "$(entry /usr/bin/$name | awk '$1 ~ /^l/ {print $8}')"
for file in \
  /usr/share/applications/$app_id.desktop \
  /usr/share/metainfo/$app_id.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/$app_id.svg \
  /usr/share/icons/hicolor/48x48/apps/$app_id.png \
  /usr/share/icons/hicolor/256x256/apps/$app_id.png \
  /usr/share/polkit-1/actions/com.tornvale.orvo-cert-importer.policy \
  /usr/share/man/man1/$name.1.gz \
  /usr/share/doc/$name/copyright \
  /usr/share/doc/$name/changelog.gz; do
  expect_eq "mode of $file" "-rw-r--r--" "$(entry "$file" | awk '{print $1}')"
done
# The data folder is the program's to create at its first run, with its own
# mode and owner; the package must not bring one.
if echo "$listing" | grep -q "$program_dir/Data"; then
  fail "the package ships a Data folder"
fi

# --- contents, checked by their own validators
root=$work/root
dpkg-deb -x "$deb" "$root"
desktop=$root/usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
expect_eq "desktop Exec" "pkexec $exe" "$(sed -n 's/^Exec=//p' "$desktop")"
grep -Eq '^Categories=(.*;)?(System|Security);' "$desktop" || fail "desktop category"
appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml" ||
  fail "appstreamcli validate"

policy=$root/usr/share/polkit-1/actions/com.tornvale.orvo-cert-importer.policy
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" ||
  fail "polkit action against its DTD"
annotation() {
  xmllint --xpath "string(//action/annotate[@key='$1'])" "$policy"
}
expect_eq "polkit exec.path" "$exe" "$(annotation org.freedesktop.policykit.exec.path)"
expect_eq "polkit allow_gui" true "$(annotation org.freedesktop.policykit.exec.allow_gui)"

man=$root/usr/share/man/man1/$name.1.gz
gzip -t "$man" || fail "man page is not gzip"
man_warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
  "$man" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || fail "man page warnings: $man_warnings"
for text in "check" "install" "--help" "--version" "--cert" "--pkcs12" "--dir" "--key" \
  "--passphrase-file" "--target" "--restart" "--accept-warnings" "--json" "--quiet" \
  "RENEWED_LINEAGE" "ORVO_PASSPHRASE" "ORVO_REGISTRY_FILE" "EXIT STATUS" "journalctl"; do
  MANWIDTH=200 man -l "$man" 2>/dev/null | grep -qF -- "$text" || fail "man page lacks $text"
done

png_size() { # width x height from the IHDR chunk
  od -An -tu1 -j16 -N8 "$1" |
    awk '{printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}'
}
for size in 48 256; do
  expect_eq "icon size" "${size}x$size" \
    "$(png_size "$root/usr/share/icons/hicolor/${size}x$size/apps/$app_id.png")"
done

# Stripping keeps the version note that the window and --version read.
readelf --notes "$root$exe" | grep -q Tornvale || fail "the version note is gone"

# --- lintian: no error, and every warning is one that docs/packaging.md lists
lintian_out=$(lintian --fail-on none --tag-display-limit 0 "$deb" 2>&1)
[ -n "$lintian_out" ] && echo "$lintian_out"
if echo "$lintian_out" | grep -q '^E: '; then
  fail "lintian reports errors"
fi
for tag in $(echo "$lintian_out" | awk '/^W: / {print $3}' | sort -u); do
  grep -qF "\`$tag\`" "$source_dir/docs/packaging.md" ||
    fail "lintian warning $tag is not listed in docs/packaging.md"
done

# --- the unpacked program started through a link finds its real folder
mkdir -p "$work/bin" "$work/home" "$work/store"
ln -s "$root$exe" "$work/bin/$name"
env -i PATH=/usr/bin:/bin HOME="$work/home" QT_QPA_PLATFORM=offscreen \
  ORVO_REGISTRY_FILE="$work/none.reg" ORVO_MACHINE_STORE="$work/store" \
  ORVO_USER_NSSDB="$work/none" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
  "$work/bin/$name" >"$work/run.log" 2>&1 &
pid=$!
for _ in $(seq 100); do
  [ -d "$root$program_dir/Data" ] && break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=
if [ -d "$root$program_dir/Data" ]; then
  expect_eq "mode of Data/" 700 "$(stat -c %a "$root$program_dir/Data")"
else
  fail "the program made no Data/ folder beside its executable: $(cat "$work/run.log")"
fi
[ ! -e "$work/bin/Data" ] || fail "the program made Data/ beside the link"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) of the package failed" >&2
  exit 1
fi
echo "The package $(basename "$deb") passed every check"
