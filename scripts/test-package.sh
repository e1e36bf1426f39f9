#!/usr/bin/env bash
# Builds the Debian packages tarnlink and velk-emu in build/package and checks
# them: lintian's verdict, the files, architecture and dependencies of each, the
# version their manual pages show, the binaries they carry (unpacked into one
# temporary directory, never installed), and the bash completion against
# instruments served by the packaged velk-emu.
#   scripts/test-package.sh                      this machine's packages
#   scripts/test-package.sh PRESET ARCHITECTURE  those a cross build makes
#                                                (linux-arm64 arm64; its programs
#                                                run under qemu-user)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}" dpkg-dev gzip groff-base bash-completion man-db lintian

preset=${1:-package}
architecture=${2:-$(dpkg --print-architecture)}
BUILD=$ROOT/build/$preset
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlink-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

echo "== Debian packages"
configure_and_build "$preset" >/dev/null
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
declare -A deb
for package in tarnlink velk-emu; do
  deb[$package]=$(echo "$BUILD/package/${package}_"*"_$architecture.deb")
  [[ -f ${deb[$package]} ]] || { echo "cpack made no single $architecture $package package in $BUILD/package" >&2; exit 1; }
done

echo "== lintian"
# Errors and warnings fail; the rest is shown.
lintian --fail-on error,warning --display-info "${deb[@]}" 2>&1 || fail "lintian reports errors or warnings"

# Every file each package ships, and nothing else: none of the other's.
declare -A ships
ships[tarnlink]="usr/bin/tarnlink usr/share/man/man1/tarnlink.1.gz usr/share/bash-completion/completions/tarnlink
  usr/share/doc/tarnlink/README.md usr/share/doc/tarnlink/changelog.gz usr/share/doc/tarnlink/copyright
  usr/share/doc/tarnlink/device-protocol.md usr/share/doc/tarnlink/examples/70-tarnlink.rules
  etc/tarnlink/usb-ids usr/share/lintian/overrides/tarnlink"
ships[velk-emu]="usr/bin/velk-emu usr/share/man/man1/velk-emu.1.gz
  usr/share/doc/velk-emu/changelog.gz usr/share/doc/velk-emu/copyright"
field() { dpkg-deb --field "${deb[$1]}" "$2"; }
maintainer_form='^The tarnlink authors <[^@ ]+@[^> ]+>$'
for package in tarnlink velk-emu; do
  # shellcheck disable=SC2086 # the list splits at white space
  diff <(printf '%s\n' ${ships[$package]} | sort) \
    <(dpkg-deb --contents "${deb[$package]}" | awk '!/^d/ { sub(/^\.\//, "", $NF); print $NF }' | sort) >&2 ||
    fail "$package's files differ from its list (<: missing, >: not its own)"
  [[ $(field "$package" Package) == "$package" ]] || fail "$package's name is '$(field "$package" Package)'"
  [[ $(field "$package" Architecture) == "$architecture" ]] ||
    fail "$package's architecture is '$(field "$package" Architecture)', not $architecture"
  [[ $(field "$package" Version) == "$package_version" ]] ||
    fail "$package's version is '$(field "$package" Version)', the project's $package_version"
  [[ $(field "$package" Maintainer) =~ $maintainer_form ]] ||
    fail "$package's maintainer is '$(field "$package" Maintainer)'"
done

depends=$(field tarnlink Depends)
# umockdev and GLib are the emulator's alone.
[[ $depends == *libc6* && $depends == *libstdc++6* && $depends == *libusb-1.0-0* &&
  $depends != *umockdev* && $depends != *glib* ]] ||
  fail "tarnlink's dependencies lack libc6, libstdc++6 or libusb-1.0-0, or hold umockdev or GLib: '$depends'"
[[ $(field velk-emu Depends) != *tarnlink* ]] || fail "velk-emu depends on tarnlink: '$(field velk-emu Depends)'"
[[ $(dpkg-deb --info "${deb[tarnlink]}" conffiles 2>/dev/null) == /etc/tarnlink/usb-ids ]] ||
  fail "/etc/tarnlink/usb-ids is not tarnlink's one conffile"
[[ -z $(dpkg-deb --info "${deb[velk-emu]}" conffiles 2>/dev/null) ]] || fail "velk-emu has conffiles"

# Both in one root, as on a machine that installs both.
root=$work/root
for package in tarnlink velk-emu; do dpkg-deb -x "${deb[$package]}" "$root"; done
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
# Both come from the one source, tarnlink, and ship its changelog.
for package in tarnlink velk-emu; do
  changelog=$(gzip -dc "$root/usr/share/doc/$package/changelog.gz" | head -n 1)
  [[ $changelog == "tarnlink ($package_version) "* ]] ||
    fail "$package's changelog starts '$changelog', not version $package_version"
done

echo "== bash completion from the package"
"$ROOT/tests/package/completion_test.sh" "$root/usr/share/bash-completion/completions/tarnlink" \
  "$bin/tarnlink" "$bin/velk-emu" || fail "completion"

if ((failures > 0)); then
  echo "package: $failures check(s) failed" >&2
  exit 1
fi
echo "Debian packages: ${deb[tarnlink]} ${deb[velk-emu]}"
