# Shared by the project's scripts: install what a fresh Debian 12 machine lacks.
# shellcheck shell=bash

# ensure_packages PKG...: installs the Debian packages that are missing, with
# apt-get as root; otherwise names them and fails. A package of another
# architecture (wine32:i386) first adds that architecture to dpkg when it lacks it.
ensure_packages() {
  local missing=() architectures=() pkg arch
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0
  for pkg in "${missing[@]}"; do
    [[ $pkg == *:* ]] || continue
    arch=${pkg##*:}
    if [[ $arch != "$(dpkg --print-architecture)" ]] &&
      ! dpkg --print-foreign-architectures | grep -qx "$arch" &&
      [[ " ${architectures[*]} " != *" $arch "* ]]; then
      architectures+=("$arch")
    fi
  done
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    for arch in "${architectures[@]}"; do
      echo "Add their architecture with: sudo dpkg --add-architecture $arch && sudo apt-get update" >&2
    done
    echo "Install them with: sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}" >&2
  for arch in "${architectures[@]}"; do dpkg --add-architecture "$arch"; done
  # A new architecture has no package lists until the next update.
  if ((${#architectures[@]} > 0)) ||
    ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The packages every native build and test run needs.
NATIVE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev tmux)

# configure_and_build PRESET [CMAKE ARGS...]: configures and builds the tree of a
# preset in CMakePresets.json (build/PRESET), quietly but for the build's output.
configure_and_build() {
  local preset=$1
  shift
  (cd "$ROOT" && cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset")
}

# project_version DIR: the project's version, as the build tree DIR has it.
project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# note_skipped TEXT: records, in one line, runs that this machine cannot make and
# why. scripts/test.sh prints every such line last, so that a green run says what
# it did not test. Without SKIPPED_RUNS (a leg run on its own) the line is printed
# at once.
note_skipped() {
  if [[ -n ${SKIPPED_RUNS:-} ]]; then
    echo "$*" >>"$SKIPPED_RUNS"
  else
    echo "Skipped: $*" >&2
  fi
}

# choose_wine: finds out whether this machine runs 32-bit programs, by running
# one: the 32-bit dynamic loader that wine32:i386 brings (TARNLINK_32BIT_PROBE
# names another; only the tests set it). Exports WINE, the command that runs a
# Windows program, and sets NO_32BIT to why the 32-bit ones cannot run, empty
# when they can. Where the kernel refuses the probe, /usr/bin/wine would still
# pick Wine's 32-bit loader, which the kernel refuses as well: WINE is then the
# 64-bit loader, and WINELOADER too, so that Wine starts its own programs with
# it. Any other failure of the probe fails here: a broken 32-bit side must not
# pass for a missing one.
choose_wine() {
  local probe=${TARNLINK_32BIT_PROBE:-/lib/ld-linux.so.2} said status=0
  NO_32BIT=
  said=$("$probe" --version 2>&1 >/dev/null) || status=$?
  if ((status == 0)); then
    export WINE=wine
  elif ((status == 126)) && [[ $said == *"Exec format error"* ]]; then
    NO_32BIT="this machine runs no 32-bit program ($probe: Exec format error)"
    export WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
  else
    echo "Cannot tell whether this machine runs 32-bit programs: $probe exited with $status${said:+: $said}" >&2
    return 1
  fi
}

# run_tests PRESET [CTEST ARGS...]: runs the tests of a preset's tree with the
# preset's settings. A run that finds no test fails: a suite that registered
# nothing (no Wine, say) has tested nothing.
run_tests() {
  (cd "$ROOT" && ctest --no-tests=error --preset "$@")
}
