#!/usr/bin/env bash
# Makes the seed corpora and runs every fuzz target for a bounded time.
#   tests/fuzz/run_fuzzers.sh BUILD_DIR [SECONDS_SCALE]
# BUILD_DIR holds the fuzz_* programs (cmake --preset linux-fuzz). The runs take about a minute in
# all; SECONDS_SCALE multiplies every budget (10 gives about ten minutes). Seeds, the growing
# corpora and any crash inputs stay under BUILD_DIR/fuzz/.
set -euo pipefail
build=$(cd "$1" && pwd)
scale=${2:-1}
work=$build/fuzz
seeds=$work/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$work/corpus" "$work/crashes"

# Text seeds, UTF-16LE as Windows hands them over; U+0000 ends each argument.
utf16() { iconv -f UTF-8 -t UTF-16LE; }
seed() {  # seed TARGET NAME TEXT (printf escapes allowed)
    mkdir -p "$seeds/$1"
    printf -- "$3" | utf16 >"$seeds/$1/$2"
}
seed command_line quality '--quality\0 80%%\0photo.heic'
seed command_line outdir '--output-dir\0\0--overwrite\0사진 1.heic\0-'
seed command_line flags '--quiet\0--no-gui\0--self-test\0--overwrite\0a.heif\0a.heif'
seed command_line valued '--output-dir\0--quiet\0--quality\0002147483648\0x.heic'
seed command_line dashed '.\\-name.heic\0--quality\0-20\0--Quiet\0--quality=80'
seed path_rules drive 'C:\\Pictures\\IMG_0001.HEIC'
seed path_rules relative 'C:a.heic'
seed path_rules server '\\\\server\\share\\x.heic'
seed path_rules device '\\\\?\\C:\\x.heic'
seed path_rules stream 'pics/a.heic:stream'
seed path_rules dots 'D:\\out/..heic'
seed path_rules korean 'D:\\사진\\겨울 바다.my.photo.heif'
seed path_rules odd '\\\\.\\\\x.'
seed completion_summary one 'A\1\2\3\4\5\6\7\10\11'
seed completion_summary many '\30사진.heic\0\0파일을 찾을 수 없습니다.\1\1C:\\x\\y.heic\0\0\0\0\0\0\0'

# Decoder seeds: small pictures encoded by heif-enc from a raw frame, and one JPEG.
decoder=$seeds/heif_decoder
mkdir -p "$decoder"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
y4m() {  # y4m FILE WIDTH HEIGHT: a 4:2:0 frame with a gradient
    { printf 'YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C420jpeg\nFRAME\n' "$2" "$3"
      LC_ALL=C awk -v w="$2" -v h="$3" 'BEGIN {
          for (y = 0; y < h; y++) for (x = 0; x < w; x++) printf "%c", (x * 4 + y * 2) % 256
          for (i = 0; i < w * h / 2; i++) printf "%c", (i % 2 ? 90 : 160) }'
    } >"$1"
}
y4m "$tmp/small.y4m" 64 48
y4m "$tmp/tiny.y4m" 8 8
heif-enc -q 40 "$tmp/small.y4m" -o "$decoder/small.heic" >/dev/null
heif-enc -L -p chroma=444 "$tmp/tiny.y4m" -o "$decoder/lossless.heic" >/dev/null
heif-enc -q 20 -t 4 "$tmp/tiny.y4m" "$tmp/small.y4m" -o "$decoder/two-images.heic" >/dev/null
heif-convert "$decoder/small.heic" "$tmp/small.jpg" >/dev/null
cp "$tmp/small.jpg" "$decoder/small.jpg"
# Inputs that once failed: libFuzzer runs every seed when it starts, so each is replayed first.
cp "$(dirname "$0")"/regressions/heif_decoder/* "$decoder/"
for target in command_line path_rules completion_summary heif_decoder; do
    [ -n "$(ls -A "$seeds/$target")" ] || { echo "no seeds for $target" >&2; exit 1; }
done

status=0
fuzz() {  # fuzz TARGET SECONDS
    local seconds=$(($2 * scale))
    mkdir -p "$work/corpus/$1"
    echo "== fuzz_$1 for ${seconds}s"
    if ! "$build/tests/fuzz/fuzz_$1" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
            -print_final_stats=1 -artifact_prefix="$work/crashes/$1-" \
            "$work/corpus/$1" "$seeds/$1" >"$work/$1.log" 2>&1; then
        tail -n 40 "$work/$1.log"
        status=1
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$work/$1.log" || true
}
fuzz command_line 8
fuzz path_rules 8
fuzz completion_summary 8
fuzz heif_decoder 32
exit $status
