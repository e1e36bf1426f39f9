#!/usr/bin/env bash
# Builds the Debian package in build/package and checks it: lintian's verdict,
# every file it must ship, the version its manual pages show, the binaries it
# carries (unpacked into a temporary directory, never installed), and the bash
# completion against instruments served by the packaged velk-emu.
#   scripts/test-package.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}" dpkg-dev gzip groff-base bash-completion man-db lintian

BUILD=$ROOT/build/package
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlink-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

echo "== Debian package"
configure_and_build package >/dev/null
package_version=$(project_version "$BUILD")
[[ -n $package_version ]] || { echo "no project version in $BUILD/CMakeCache.txt" >&2; exit 1; }

echo "== manual pages format without warnings"
for page in tarnlink.1 velk-emu.1; do
  warnings=$(groff -man -Tutf8 -ww -z "$BUILD/docs/$page" 2>&1)
  [[ -z $warnings ]] || fail "docs/$page: $warnings"
done
rm -rf "$BUILD/package"
if ! (cd "$BUILD" && cpack -G DEB --config CPackConfig.cmake >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log" >&2
  exit 1
fi
debs=("$BUILD"/package/tarnlink_*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
  echo "cpack made no single tarnlink package in $BUILD/package" >&2
  exit 1
fi
deb=${debs[0]}

echo "== lintian"
# Errors and warnings fail; the rest is shown.
lintian --fail-on error,warning --display-info "$deb" 2>&1 || fail "lintian reports errors or warnings"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in usr/bin/tarnlink usr/bin/velk-emu \
  usr/share/man/man1/tarnlink.1.gz usr/share/man/man1/velk-emu.1.gz \
  usr/share/bash-completion/completions/tarnlink \
  usr/share/doc/tarnlink/README.md usr/share/doc/tarnlink/changelog.gz \
  usr/share/doc/tarnlink/copyright usr/share/doc/tarnlink/device-protocol.md \
  usr/share/doc/tarnlink/examples/70-tarnlink.rules etc/tarnlink/usb-ids; do
  grep -qx "\./$path" <<<"$contents" || fail "the package lacks /$path"
done

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == tarnlink ]] || fail "package name is '$(field Package)'"
[[ $(field Version) == "$package_version" ]] ||
  fail "package version is '$(field Version)', the project's $package_version"
maintainer_form='^The tarnlink authors <[^@ ]+@[^> ]+>$'
[[ $(field Maintainer) =~ $maintainer_form ]] || fail "maintainer is '$(field Maintainer)'"
[[ $(field Depends) == *libc6* && $(field Depends) == *libstdc++6* && $(field Depends) == *libusb-1.0-0* ]] ||
  fail "dependencies lack libc6, libstdc++6 or libusb-1.0-0: '$(field Depends)'"
[[ $(dpkg-deb --info "$deb" conffiles 2>/dev/null) == /etc/tarnlink/usb-ids ]] ||
  fail "/etc/tarnlink/usb-ids is not the package's one conffile"

root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin

status=0
version=$("$bin/tarnlink" --version) || status=$?
[[ $status -eq 0 ]] || fail "tarnlink --version exited $status"
[[ $version == "tarnlink ver 2.3 - Morlend - DRQ " ]] || fail "tarnlink --version printed '$version'"

status=0
"$bin/velk-emu" --no-such-option >/dev/null 2>"$work/emu-usage" || status=$?
[[ $status -eq 2 ]] || fail "velk-emu with a bad option exited $status, expected 2"
grep -q '^usage: velk-emu' "$work/emu-usage" || fail "velk-emu with a bad option printed no usage"

footer_form="^tarnlink ${package_version//./\\.} +[A-Z][a-z]+ [0-9]{4} "
for page in tarnlink velk-emu; do
  rendered=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/$page.1.gz" 2>&1) ||
    fail "man cannot show the packaged $page.1.gz"
  grep -q "^NAME" <<<"$rendered" || fail "the packaged $page.1.gz shows no NAME section"
  # The last line: version, date of the sources, title.
  footer=$(tail -n 1 <<<"$rendered")
  [[ $footer =~ $footer_form ]] || fail "the packaged $page.1.gz ends '$footer', not version $package_version and a date"
done
changelog=$(gzip -dc "$root/usr/share/doc/tarnlink/changelog.gz" | head -n 1)
[[ $changelog == "tarnlink ($package_version) "* ]] ||
  fail "the changelog starts '$changelog', not version $package_version"

echo "== bash completion from the package"
"$ROOT/tests/package/completion_test.sh" "$root/usr/share/bash-completion/completions/tarnlink" \
  "$bin/tarnlink" "$bin/velk-emu" || fail "completion"

if ((failures > 0)); then
  echo "package: $failures check(s) failed" >&2
  exit 1
fi
echo "Debian package: $deb"
