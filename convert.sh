#!/usr/bin/env bash
# The main job: sets up what is missing, builds the Linux program and converts the files named.
#   ./convert.sh [options] photo.heic ...     (options as for heic-to-jpeg; --no-gui is implied)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/install-deps.sh"
cmake --preset linux -S "$here" -DHEIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/linux" --target heic-to-jpeg -j"$(nproc)" >/dev/null
exec "$here/build/linux/heic-to-jpeg" --no-gui "$@"
