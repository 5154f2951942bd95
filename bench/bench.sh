#!/usr/bin/env bash
# Speed and memory of the Linux program on real photos, side by side with the program as it was
# before its heap kept the decoder's tile buffers ("today's", built from BENCH_BASE) and with
# libheif's own heif-convert.
#   bench/bench.sh                     build both programs, measure, check the pixels
#   RUNS=9 bench/bench.sh              more runs of the iPhone photo and the batch (at least 5)
#   LARGE_RUNS=5 bench/bench.sh        more runs of the 200 MP photo (at least 3)
#   BENCH_SAMPLES=dir bench/bench.sh   where pug.heic, 200MP.heic and their licence are
#   BENCH_BASE=commit bench/bench.sh   the code measured as today's (default 746eb3a)
#   BENCH_WORK=dir bench/bench.sh      keep the copies and outputs somewhere else
# Each input is converted once by each program to warm up, then the programs take turns, run after
# run. The figures are the medians of GNU time's wall clock and peak resident memory. Every JPEG
# must have the size of heif-convert's and agree with it to more than 40 dB PSNR, and every photo
# of the batch must come out byte for byte as when it is converted alone; the script fails when
# they do not, or when a conversion fails. It asserts nothing about time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
large_runs=${LARGE_RUNS:-3}
samples=${BENCH_SAMPLES:-$here/../shared/samples}
base_commit=${BENCH_BASE:-746eb3a}
work=${BENCH_WORK:-$here/build/bench-work}
quality=92
min_psnr=40
batch_size=20
jobs=$(nproc)

[ "$runs" -ge 5 ] || { echo "RUNS must be at least 5" >&2; exit 2; }
[ "$large_runs" -ge 3 ] || { echo "LARGE_RUNS must be at least 3" >&2; exit 2; }
for tool in cmake git heif-convert compare stream identify /usr/bin/time; do
    command -v "$tool" >/dev/null || {
        echo "missing $tool: run tools/install-deps.sh --tests" >&2
        exit 2
    }
done
for file in pug.heic 200MP.heic LICENSE-pillow_heif.txt; do
    [ -s "$samples/$file" ] || { echo "missing $samples/$file (set BENCH_SAMPLES)" >&2; exit 2; }
done

ours="$here/build/bench/heic-to-jpeg"
today="$here/build/bench-base/build/heic-to-jpeg"
echo "== building $ours"
cmake --preset linux -S "$here" -B "$here/build/bench" -DHEIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/bench" --target heic-to-jpeg -j"$jobs" >/dev/null

# Today's sources are unpacked once per commit, so that their build stays incremental.
echo "== building $today from $base_commit"
base_id=$(git -C "$here" rev-parse --verify "$base_commit^{commit}")
base_src="$here/build/bench-base/src"
if [ "$(cat "$base_src/.commit" 2>/dev/null)" != "$base_id" ]; then
    rm -rf "$base_src" && mkdir -p "$base_src"
    git -C "$here" archive "$base_id" | tar -x -C "$base_src"
    echo "$base_id" >"$base_src/.commit"
fi
cmake --preset linux -S "$base_src" -B "$here/build/bench-base/build" -DHEIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/bench-base/build" --target heic-to-jpeg -j"$jobs" >/dev/null

# The photos' licence travels with every copy of them.
echo "== copying the photos to $work"
mkdir -p "$work/photos" "$work/batch" "$work/out"
for dir in "$work/photos" "$work/batch"; do cp "$samples/LICENSE-pillow_heif.txt" "$dir/"; done
cp "$samples/pug.heic" "$samples/200MP.heic" "$work/photos/"
batch=()
for i in $(seq -w 1 "$batch_size"); do
    cp "$samples/pug.heic" "$work/batch/pug-$i.heic"
    batch+=("$work/batch/pug-$i.heic")
done

# Runs a command under GNU time and sets wall (s) and peak (kB).
measure() {
    local log="$work/time.log"
    /usr/bin/time -o "$log" -f "%e %M" "$@" >/dev/null 2>"$work/stderr.log" || {
        echo "failed: $*" >&2
        cat "$work/stderr.log" >&2
        exit 1
    }
    read -r wall peak <"$log"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The programs as measured, each into out/NAME: ours and today's convert all inputs of a set in
# one run, as a user would; heif-convert takes one input per process, $(nproc) at a time.
run_program() {  # name program inputs...
    local out="$work/out/$1" program=$2
    shift 2
    rm -rf "$out" && mkdir -p "$out"
    measure "$program" --quiet --no-gui --quality "$quality" --output-dir "$out" "$@"
}
run_ours() { run_program ours "$ours" "$@"; }
run_today() { run_program today "$today" "$@"; }
run_theirs() {  # inputs...
    local out="$work/out/theirs"
    rm -rf "$out" && mkdir -p "$out"
    # shellcheck disable=SC2016  # the inner shell's own variables
    measure xargs -0 -n 1 -P "$jobs" sh -c \
        'heif-convert --quiet -q '"$quality"' "$1" "$0/$(basename "$1" .heic).jpg" >/dev/null' \
        "$out" < <(printf '%s\0' "$@")
}

# PSNR of two JPEGs of the same size, in tiles that ImageMagick's resource limits allow. A JPEG
# wider or taller than its policy allows (16000 pixels on Debian) is compared as libjpeg decodes it
# at 1/2 (or 1/4, ...) of its size; sets scale to that divisor.
psnr() {  # a.jpg b.jpg
    local width height
    read -r width height < <(identify -ping -format "%w %h\n" "$1")
    local hint=()
    scale=1
    while ((width / scale > 16000 || height / scale > 16000)); do scale=$((scale * 2)); done
    if ((scale > 1)); then
        width=$((width / scale)) height=$((height / scale))
        hint=(-define "jpeg:size=${width}x${height}")
    fi
    local tile_w=4032 tile_h=3024 sum=0 x y w h mse
    for ((y = 0; y < height; y += tile_h)); do
        for ((x = 0; x < width; x += tile_w)); do
            w=$((width - x < tile_w ? width - x : tile_w))
            h=$((height - y < tile_h ? height - y : tile_h))
            stream "${hint[@]}" -map rgb -storage-type char -extract "${w}x${h}+${x}+${y}" "$1" \
                "$work/a.rgb"
            stream "${hint[@]}" -map rgb -storage-type char -extract "${w}x${h}+${x}+${y}" "$2" \
                "$work/b.rgb" 2>/dev/null
            # "absolute (normalised)": the normalised mean squared error is in the parentheses.
            mse=$(compare -metric MSE -size "${w}x${h}" -depth 8 "rgb:$work/a.rgb" "rgb:$work/b.rgb" \
                null: 2>&1 | sed -n 's/.*(\(.*\)).*/\1/p' || true)
            [ -n "$mse" ] || { echo "compare gave no MSE for $1" >&2; return 1; }
            sum=$(awk -v s="$sum" -v m="$mse" -v n=$((w * h)) 'BEGIN { printf "%.12g", s + m * n }')
        done
    done
    rm -f "$work/a.rgb" "$work/b.rgb"
    awk -v s="$sum" -v n=$((width * height)) \
        'BEGIN { m = s / n; if (m <= 0) print "inf"; else printf "%.2f", -10 * log(m) / log(10) }'
}

# Our JPEG of `name` must have the size of heif-convert's and agree above the PSNR floor; sets
# size, agreement (the PSNR) and same_as_today (whether today's program wrote the same bytes).
check_pair() {  # name
    local a="$work/out/ours/$1" b="$work/out/theirs/$1" size_b
    size=$(identify -ping -format "%wx%h" "$a")
    # heif-convert copies the photo's XMP, which ImageMagick warns about.
    size_b=$(identify -ping -format "%wx%h" "$b" 2>/dev/null)
    [ "$size" = "$size_b" ] || { echo "FAIL $1: ours is $size, heif-convert's $size_b" >&2; exit 1; }
    psnr "$a" "$b" >"$work/psnr" || exit 1
    agreement=$(cat "$work/psnr")
    if [ "$agreement" != inf ] &&
        awk -v p="$agreement" -v m="$min_psnr" 'BEGIN { exit !(p <= m) }'; then
        echo "FAIL $1: PSNR $agreement dB, not above $min_psnr dB" >&2
        exit 1
    fi
    same_as_today=no
    if [ -f "$work/out/today/$1" ] && cmp -s "$a" "$work/out/today/$1"; then same_as_today=yes; fi
}

mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
load() { sed -n 's/.*load average: //p' < <(uptime); }

# Medians of one set: ours, today's and (unless told "-") heif-convert, taking turns.
results=()
bench() {  # label count with_theirs inputs...
    local label=$1 count=$2 with_theirs=$3
    shift 3
    local i ow=() om=() dw=() dm=() tw=() tm=()
    echo "== $label: warm-up, then $count runs each, taking turns (load $(load))"
    run_ours "$@"
    run_today "$@"
    [ "$with_theirs" = - ] || run_theirs "$@"
    for ((i = 0; i < count; i++)); do
        run_ours "$@" && ow+=("$wall") om+=("$peak")
        run_today "$@" && dw+=("$wall") dm+=("$peak")
        local line="   run $((i + 1)): ours ${ow[i]} s ${om[i]} kB, today's ${dw[i]} s ${dm[i]} kB"
        if [ "$with_theirs" != - ]; then
            run_theirs "$@" && tw+=("$wall") tm+=("$peak")
            line+=", heif-convert ${tw[i]} s ${tm[i]} kB"
        fi
        echo "$line"
    done
    local mow mom mdw mdm mtw=- mtm=- mtm_mb=-
    mow=$(printf "%s\n" "${ow[@]}" | median)
    mom=$(printf "%s\n" "${om[@]}" | median)
    mdw=$(printf "%s\n" "${dw[@]}" | median)
    mdm=$(printf "%s\n" "${dm[@]}" | median)
    if [ "$with_theirs" != - ]; then
        mtw=$(printf "%s\n" "${tw[@]}" | median)
        mtm=$(printf "%s\n" "${tm[@]}" | median)
        mtm_mb=$(mb "$mtm")
    fi
    summary=("$label" "$#" "$mow" "$mdw" "$mtw" "$(ratio "$mow" "$mtw")" "$(ratio "$mow" "$mdw")"
        "$(mb "$mom")" "$(mb "$mdm")" "$mtm_mb"
        "$(ratio "$mom" "$mdm")")
    echo "   load after: $(load)"
}
row() {  # psnr same_as_today
    local shown=$1
    ((scale == 1)) || shown+=" 1/$scale"
    results+=("$(printf "%-20s %5s | %6s %6s %6s %7s %8s | %9s %7s %7s %8s | %10s %5s" \
        "${summary[@]}" "$shown" "$2")")
}

machine_load_start=$(load)
bench "iPhone photo 12 MP" "$runs" + "$work/photos/pug.heic"
check_pair pug.jpg
row "$agreement" "$same_as_today"

bench "batch of $batch_size copies" "$runs" + "${batch[@]}"
# Every copy comes out as the photo alone did: nothing of one photo reaches the next.
run_program alone "$ours" "$work/photos/pug.heic"
for f in "${batch[@]}"; do
    name=$(basename "$f" .heic).jpg
    cmp -s "$work/out/ours/$name" "$work/out/alone/pug.jpg" ||
        { echo "FAIL $name: the batch's JPEG differs from the photo converted alone" >&2; exit 1; }
done
check_pair "$(basename "${batch[-1]}" .heic).jpg"
row "$agreement" "$same_as_today"

bench "200 MP photo" "$large_runs" - "$work/photos/200MP.heic"
run_theirs "$work/photos/200MP.heic"  # its JPEG for the pixel check; not measured
check_pair 200MP.jpg
row "$agreement" "$same_as_today"

echo
echo "== machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) CPUs," \
    "$(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo), $(uname -sr)"
turbo=$(dpkg-query -W -f='${Version}' libjpeg62-turbo 2>/dev/null || echo '?')
echo "   libheif $(pkg-config --modversion libheif), libjpeg-turbo $turbo," \
    "$(c++ --version | head -n 1)"
echo "   load average at the start $machine_load_start, at the end $(load)"
echo "== medians: $runs runs ($large_runs for 200 MP); wall in s, peak RSS in MiB;" \
    "today's = $base_commit; hc = heif-convert, -P$jobs for the batch"
printf "%-20s %5s | %6s %6s %6s %7s %8s | %9s %7s %7s %8s | %10s %5s\n" input files \
    "wall" "today" "hc" "ours/hc" "ours/tdy" "peak" "today" "hc" "ours/tdy" "PSNR" "same"
printf "%s\n" "${results[@]}"
echo "   (PSNR against heif-convert's JPEG, 1/N: compared at that scale; same: ours wrote the" \
    "bytes today's program wrote)"
