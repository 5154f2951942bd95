#!/usr/bin/env bash
# The main job: sets up what is missing, builds the Linux program and converts the files named.
#   ./convert.sh [options] photo.heic ...     (options as for heic-to-jpeg; --no-gui is implied)
#   ./convert.sh                              converts samples/sample.heic, to show it works
#   ./convert.sh --help                       the options
# HEIC_BUILD_DIR chooses the build folder (default build/linux).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${HEIC_BUILD_DIR:-$here/build/linux}
[[ $build = /* ]] || build=$PWD/$build
build=${build%/}

if [[ ${1:-} = --help || ${1:-} = -h ]]; then
    cat <<EOF
Usage: ./convert.sh [options] photo.heic ...
Builds the Linux heic-to-jpeg when needed and converts the files named; each stem.heic gives
stem.jpg beside it. --no-gui is implied. With no argument at all, converts samples/sample.heic
into $build/sample/.

  --output-dir DIR  write the JPEGs into DIR (created when missing) instead of beside each input
  --quality N       JPEG quality 1..100, default 92
  --overwrite       replace an existing JPEG instead of choosing a free name "stem (1).jpg"
  --quiet           no completion summary (the exit code still tells)
  --self-test       accept inputs without a .heic/.heif extension

Exit code: 0 all converted, 1 some failed, 2 could not start (bad command line, no input).
The build folder is \$HEIC_BUILD_DIR, default build/linux. -h or --help only as first argument.
EOF
    exit 0
fi

"$here/tools/install-deps.sh"
# Configure only a new folder: test.sh builds build/linux with the tests, which must stay on.
if [[ ! -f $build/CMakeCache.txt ]]; then
    echo "Building heic-to-jpeg in $build (once, a minute or two)..." >&2
    cmake --preset linux -S "$here" -B "$build" -DHEIC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target heic-to-jpeg -j"$(nproc)" >/dev/null

if [[ $# -gt 0 ]]; then
    exec "$build/heic-to-jpeg" --no-gui "$@"
fi
status=0
"$build/heic-to-jpeg" --no-gui --overwrite --output-dir "$build/sample" "$here/samples/sample.heic" ||
    status=$?
[[ $status -ne 0 ]] || echo "Sample converted: $build/sample/sample.jpg"
exit $status
