#!/usr/bin/env bash
# Speed and memory of the Linux program against libheif's own heif-convert, side by side.
#   bench/bench.sh                 make the inputs (once), build the program, measure, check pixels
#   RUNS=9 bench/bench.sh          more measured runs per program and input (at least 5)
#   BENCH_WORK=/tmp/b bench/bench.sh   keep the generated inputs and outputs somewhere else
# Every input is made here: photo-like pictures drawn by ImageMagick and coded by heif-enc.
# Each program converts each input once to warm up, then RUNS times, the two taking turns. The
# figures are the medians of GNU time's wall clock, CPU time (user + system) and peak resident
# memory. The two JPEGs of each input must have the same size and agree to more than 40 dB PSNR;
# the script fails when they do not, or when a conversion fails. It asserts nothing about time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
work=${BENCH_WORK:-$here/build/bench-work}
quality=92
min_psnr=40
batch_size=50
batch_steps="10 50"

[ "$runs" -ge 5 ] || { echo "RUNS must be at least 5" >&2; exit 2; }
for tool in cmake heif-enc heif-convert convert compare stream identify /usr/bin/time; do
    command -v "$tool" >/dev/null || {
        echo "missing $tool: run tools/install-deps.sh --tests" >&2
        exit 2
    }
done

ours="$here/build/bench/heic-to-jpeg"
echo "== building $ours"
cmake --preset linux -S "$here" -B "$here/build/bench" -DHEIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/bench" --target heic-to-jpeg -j"$(nproc)" >/dev/null

mkdir -p "$work/inputs" "$work/batch" "$work/out"

# A photo-like picture: a plasma fractal has the mix of smooth areas and fine detail of a photo.
make_heic() {  # width height seed output
    local png
    png="$work/inputs/$(basename "$4" .heic).png"
    [ -s "$4" ] && return 0
    convert -seed "$3" -size "$1x$2" plasma:fractal -depth 8 "$png"
    heif-enc -q 60 -o "$4" "$png" >/dev/null
    rm -f "$png"
}

echo "== making inputs in $work (once)"
make_heic 4032 3024 12 "$work/inputs/photo-12mp.heic"
make_heic 8064 6048 48 "$work/inputs/photo-48mp.heic"
for i in $(seq 1 $batch_size); do
    make_heic 1024 768 "$((1000 + i))" "$work/batch/small-$(printf %02d "$i").heic"
done

# Runs a command under GNU time and sets wall, cpu (user + system) and peak (kB).
measure() {
    local log="$work/time.log"
    /usr/bin/time -o "$log" -f "%e %U %S %M" "$@" >/dev/null 2>"$work/stderr.log" || {
        echo "failed: $*" >&2
        cat "$work/stderr.log" >&2
        exit 1
    }
    read -r wall cpu peak < <(awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$log")
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The programs as measured: ours converts every input of one run in one process, heif-convert
# takes one input per process.
run_ours() {  # inputs...
    rm -rf "$work/out/ours" && mkdir -p "$work/out/ours"
    measure "$ours" --quiet --no-gui --quality "$quality" --output-dir "$work/out/ours" "$@"
}
run_theirs() {  # inputs...
    rm -rf "$work/out/theirs" && mkdir -p "$work/out/theirs"
    # shellcheck disable=SC2016  # the loop's own variables, expanded by the inner shell
    local script='for f; do
        heif-convert --quiet -q '"$quality"' "$f" "$0/$(basename "$f" .heic).jpg" || exit 1
    done'
    measure bash -c "$script" "$work/out/theirs" "$@"
}

# PSNR of two JPEGs of the same size, in tiles that ImageMagick's resource limits allow.
psnr() {  # a.jpg b.jpg
    local width height
    read -r width height < <(identify -format "%w %h\n" "$1")
    local tile_w=4032 tile_h=3024 sum=0 x y w h mse
    for ((y = 0; y < height; y += tile_h)); do
        for ((x = 0; x < width; x += tile_w)); do
            w=$((width - x < tile_w ? width - x : tile_w))
            h=$((height - y < tile_h ? height - y : tile_h))
            stream -map rgb -storage-type char -extract "${w}x${h}+${x}+${y}" "$1" "$work/a.rgb"
            stream -map rgb -storage-type char -extract "${w}x${h}+${x}+${y}" "$2" "$work/b.rgb"
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

# Every output of ours must match heif-convert's in size and agree above the PSNR floor; sets
# size (of the last) and worst (the lowest PSNR).
check_outputs() {  # inputs...
    local f name a b size_a size_b value
    worst=inf
    for f; do
        name=$(basename "$f" .heic).jpg
        a="$work/out/ours/$name"
        b="$work/out/theirs/$name"
        size_a=$(identify -format "%wx%h" "$a")
        size_b=$(identify -format "%wx%h" "$b")
        if [ "$size_a" != "$size_b" ]; then
            echo "FAIL $name: ours is $size_a, heif-convert's is $size_b" >&2
            exit 1
        fi
        value=$(psnr "$a" "$b") || exit 1
        if [ "$value" != inf ] && awk -v p="$value" -v m="$min_psnr" 'BEGIN { exit !(p <= m) }'; then
            echo "FAIL $name: PSNR $value dB, not above $min_psnr dB" >&2
            exit 1
        fi
        if [ "$worst" = inf ] ||
            { [ "$value" != inf ] && awk -v p="$value" -v w="$worst" 'BEGIN { exit !(p < w) }'; }; then
            worst=$value
        fi
    done
    size=$size_a
}

mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

results=()
# Measures one input set: warm-up, then RUNS alternating runs of each program.
bench() {  # label inputs...
    local label=$1
    shift
    local i ours_w=() ours_c=() ours_m=() theirs_w=() theirs_c=() theirs_m=()
    echo "== $label: warm-up, then $runs runs each, alternating"
    run_ours "$@"
    run_theirs "$@"
    for ((i = 0; i < runs; i++)); do
        run_ours "$@"
        ours_w+=("$wall") ours_c+=("$cpu") ours_m+=("$peak")
        run_theirs "$@"
        theirs_w+=("$wall") theirs_c+=("$cpu") theirs_m+=("$peak")
        echo "   run $((i + 1)): ours ${ours_w[i]} s wall ${ours_c[i]} s cpu ${ours_m[i]} kB," \
            "heif-convert ${theirs_w[i]} s wall ${theirs_c[i]} s cpu ${theirs_m[i]} kB"
    done
    check_outputs "$@"
    local ow oc om tw tc tm
    ow=$(printf "%s\n" "${ours_w[@]}" | median)
    oc=$(printf "%s\n" "${ours_c[@]}" | median)
    om=$(printf "%s\n" "${ours_m[@]}" | median)
    tw=$(printf "%s\n" "${theirs_w[@]}" | median)
    tc=$(printf "%s\n" "${theirs_c[@]}" | median)
    tm=$(printf "%s\n" "${theirs_m[@]}" | median)
    results+=("$(printf "%-22s %9s %4s | %6s %6s %5s | %6s %6s %5s | %7s %7s %5s | %6s" \
        "$label" "$size" "$#" "$ow" "$tw" "$(ratio "$ow" "$tw")" "$oc" "$tc" "$(ratio "$oc" "$tc")" \
        "$(mb "$om")" "$(mb "$tm")" "$(ratio "$om" "$tm")" "$worst")")
    last_wall_ours=$ow
    last_wall_theirs=$tw
}

bench "12 MP photo" "$work/inputs/photo-12mp.heic"
bench "48 MP photo" "$work/inputs/photo-48mp.heic"
per_file=()
for n in $batch_steps; do
    files=("$work"/batch/*.heic)
    bench "batch of $n small" "${files[@]:0:n}"
    per_file+=("$(printf "%-10s ours %6.3f s/file   heif-convert %6.3f s/file" "$n files" \
        "$(awk -v w="$last_wall_ours" -v n="$n" 'BEGIN { print w / n }')" \
        "$(awk -v w="$last_wall_theirs" -v n="$n" 'BEGIN { print w / n }')")")
done

echo
echo "== machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) CPUs," \
    "$(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo), $(uname -sr)"
turbo=$(dpkg-query -W -f='${Version}' libjpeg62-turbo 2>/dev/null || echo '?')
echo "   libheif $(pkg-config --modversion libheif), libjpeg-turbo $turbo," \
    "$(c++ --version | head -n 1)"
echo "== medians of $runs runs (wall and CPU in s, peak RSS in MiB; ratio = ours / heif-convert)"
printf "%-22s %9s %4s | %6s %6s %5s | %6s %6s %5s | %7s %7s %5s | %6s\n" input size files \
    "wall" "hc" ratio "cpu" "hc" ratio "rss" "hc" ratio "PSNR"
printf "%s\n" "${results[@]}"
echo "== wall time per file in a batch"
printf "%s\n" "${per_file[@]}"
