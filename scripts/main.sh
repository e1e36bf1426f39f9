#!/usr/bin/env bash
# Builds tarnlink and runs its main job.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}"
configure_and_build "$ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$ROOT/build/release/src/tarnlink" "$@"
