#!/usr/bin/env bash
# `make bench`: one table of end-to-end conversions, the preview of a waveform
# file and cipher throughput of a Release build, every row measured in this
# run. Inputs are generated once under <build>/bench-data by wavora_datagen;
# conversions run in
# <build>/bench-work with an empty standard input (every question takes its
# default). Wall time and peak resident memory are those of the child process
# (wavora_bench run). Every input is read once just before it is converted,
# so that each tool finds it in the page cache. The raw rows are compared
# with the same conversion in numpy (bench/numpy_convert.py) where a python3
# with numpy exists, the cipher rows with `openssl speed -evp bf-ecb` where
# the legacy provider exists.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build/bench}" && pwd)
exe="$build/wavora"
gen="$build/wavora_datagen"
bench="$build/wavora_bench"
data="$build/bench-data"
work="$build/bench-work"
mkdir -p "$data" "$work"

generate() {  # kind file MiB
  [ -f "$data/$2" ] || "$gen" "$1" "$data/$2" "$3"
}
echo "== generating inputs (once) in $data"
generate i16le sig_i16le.bin 256
generate f32le sig_f32le.bin 256
generate txt sig.txt 64
generate kvg sig_kvg.wv 256
# 1 GiB less 64 KiB: 2^28 pairs would be 2 more samples than the temporary
# waveform file can hold.
generate i16le sig_i16le_1g.bin 1023.9375
[ -d "$data/tree" ] || "$gen" tree "$data/tree" 1000 4096

# A python3 that has numpy, by its full path (the spawn does not search PATH).
python=""
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import numpy' 2>/dev/null; then
    python=$("$candidate" -c 'import sys; print(sys.executable)')
    break
  fi
done

size() { stat -c %s "$1"; }

# Runs a program under wavora_bench and sets SECONDS_TAKEN, CPU_SECONDS,
# PEAK_KIB, EXIT_CODE.
measure() {  # program args...
  local line
  line=$("$bench" run "$work" "$@")
  SECONDS_TAKEN=$(sed -E 's/.*[^_]seconds=([0-9.]+).*/\1/; s/^seconds=([0-9.]+).*/\1/' <<<"$line")
  CPU_SECONDS=$(sed -E 's/.*cpu_seconds=([0-9.]+).*/\1/' <<<"$line")
  PEAK_KIB=$(sed -E 's/.*maxrss_kib=([0-9]+).*/\1/' <<<"$line")
  EXIT_CODE=$(sed -E 's/.*exit=(-?[0-9]+).*/\1/' <<<"$line")
}

rows=()
add_row() {  # case wall-s cpu-s MB/s peak-MiB note
  rows+=("$(printf '%-40s %8s %8s %9s %9s  %s' "$1" "$2" "$3" "$4" "$5" "$6")")
}
fmt() { awk -v v="$2" "BEGIN { printf \"$1\", v }"; }
fmt_mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Conversions run this many times, ours and numpy's taking turns; each row
# shows the run of median wall time (its processor time) and the largest peak.
reps=${BENCH_REPS:-3}
median_run() {  # lines "seconds cpu peak exit" -> "seconds cpu peak exit"
  sort -n | awk '{ s[NR] = $1; c[NR] = $2; if ($3 > p) p = $3; if ($4 != 0) e = $4 }
    END { m = int((NR + 1) / 2); print s[m], c[m], p, (e == "" ? 0 : e) }'
}

declare -A wall
# Pairs each conversion row wrote (from its output's size: 4 bytes a pair),
# for the cipher floor at the end.
declare -A pairs_of
floor_keys=()
convert() {  # key label input numpy-kind(or -) args...
  local key=$1 label=$2 input=$3 kind=$4
  shift 4
  local ours_runs="" numpy_runs="" r
  for ((r = 0; r < reps; r++)); do
    rm -f "$work"/*.wv
    # Both tools read the input from the page cache: the machine may have
    # dropped it since it was generated or last read.
    cat "$input" >/dev/null
    measure "$exe" "$input" "$@" -clock 100 -overwrite
    ours_runs+="$SECONDS_TAKEN $CPU_SECONDS $PEAK_KIB $EXIT_CODE"$'\n'
    if [ "$kind" != - ] && [ -n "$python" ]; then
      cat "$input" >/dev/null
      measure "$python" "$here/numpy_convert.py" "$kind" "$input" "$work/numpy_out.bin"
      rm -f "$work/numpy_out.bin"
      numpy_runs+="$SECONDS_TAKEN $CPU_SECONDS $PEAK_KIB $EXIT_CODE"$'\n'
    fi
  done
  local bytes seconds ours_cpu ours_peak code note="" out
  out=$(ls -t "$work"/*.wv 2>/dev/null | head -n 1 || true)
  pairs_of[$key]=$([ -n "$out" ] && awk -v b="$(size "$out")" 'BEGIN { printf "%d", b / 4 }' || echo 0)
  floor_keys+=("$key|$label")
  read -r seconds ours_cpu ours_peak code <<<"$(printf '%s' "$ours_runs" | median_run)"
  bytes=$(size "$input")
  wall[$key]=$seconds
  [ "$code" = 0 ] || note="FAILED (exit $code) "
  if [ -n "$numpy_runs" ]; then
    local np_seconds np_cpu np_peak np_code
    read -r np_seconds np_cpu np_peak np_code <<<"$(printf '%s' "$numpy_runs" | median_run)"
    note+=$(awk -v a="$seconds" -v b="$np_seconds" -v c="$np_cpu" -v m="$np_peak" 'BEGIN {
      printf "numpy %.2f s (cpu %.2f s), %.0f MiB; ours/numpy time %.2f", b, c, m / 1024, a / b }')
  fi
  add_row "$label" "$(fmt %.2f "$seconds")" "$(fmt %.2f "$ours_cpu")" "$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.1f", b / s / 1e6 }')" \
    "$(fmt_mib "$ours_peak")" "$note"
}

echo "== load before: $(uptime)"
echo "== conversions (numpy: ${python:-not available})"
convert i16 "i16le 256 MiB" "$data/sig_i16le.bin" i16le -format i16le
convert f32 "f32le 256 MiB" "$data/sig_f32le.bin" f32le -format f32le
convert txt "txt 64 MiB (two float columns)" "$data/sig.txt" - -format txt
convert kvg "kxzetq KVG 256 MiB, 4 marker lists" "$data/sig_kvg.wv" - -format kxzetq

# The preview of the same file, beside its conversion: one read pass.
cat "$data/sig_kvg.wv" >/dev/null
measure "$exe" "$data/sig_kvg.wv" -preview "$work/preview.svg" -overwrite
note=$(awk -v a="$SECONDS_TAKEN" -v b="${wall[kvg]}" 'BEGIN {
  printf "its conversion above %.2f s; preview/conversion time %.2f", b, a / b }')
[ "$EXIT_CODE" = 0 ] || note="FAILED (exit $EXIT_CODE) $note"
add_row "-preview of that kxzetq 256 MiB" "$(fmt %.2f "$SECONDS_TAKEN")" "$(fmt %.2f "$CPU_SECONDS")" \
  "$(awk -v b="$(size "$data/sig_kvg.wv")" -v s="$SECONDS_TAKEN" 'BEGIN { printf "%.1f", b / s / 1e6 }')" \
  "$(fmt_mib "$PEAK_KIB")" "$note"
rm -f "$work/preview.svg"

# Capture formats against the i16le row above: throughput in % of i16le's.
generate cu8 sig.cu8 256
generate wav sig_pcm16.wav 256
for capture in "cu8 sig.cu8 cu8" "wav sig_pcm16.wav wav16"; do
  set -- $capture
  convert "$3" "$1 256 MiB" "$data/$2" - -format "$1"
  rows[-1]+=$(awk -v a="${wall[i16]}" -v b="${wall[$3]}" -v sa="$(size "$data/sig_i16le.bin")" \
    -v sb="$(size "$data/$2")" 'BEGIN { printf "throughput %.0f %% of i16le", 100 * (sb / b) / (sa / a) }')
done

rm -rf "$work/tree-out" && mkdir -p "$work/tree-out"
find "$data/tree" -type f -exec cat {} + >/dev/null
measure "$exe" -indir "$data/tree" -outdir "$work/tree-out" -format i16le -clock 100 -ext bin \
  -recursive -overwrite
converted=$(find "$work/tree-out" -name '*.wv' | wc -l)
tree_bytes=$(find "$data/tree" -name '*.bin' -printf '%s\n' | awk '{ s += $1 } END { print s }')
note=$(awk -v s="$SECONDS_TAKEN" -v n="$converted" 'BEGIN {
  printf "%d files converted, %.0f files/s, %.2f ms per file", n, n / s, 1000 * s / n }')
[ "$EXIT_CODE" = 0 ] || note="FAILED (exit $EXIT_CODE) $note"
add_row "directory tree, 1000 x 4 KiB i16le" "$(fmt %.2f "$SECONDS_TAKEN")" "$(fmt %.2f "$CPU_SECONDS")" \
  "$(awk -v b="$tree_bytes" -v s="$SECONDS_TAKEN" 'BEGIN { printf "%.1f", b / s / 1e6 }')" \
  "$(fmt_mib "$PEAK_KIB")" "$note"

convert i16g "i16le 1 GiB (less 64 KiB)" "$data/sig_i16le_1g.bin" i16le -format i16le
rows[-1]+=$(awk -v a="${wall[i16g]}" -v b="${wall[i16]}" -v sa="$(size "$data/sig_i16le_1g.bin")" \
  -v sb="$(size "$data/sig_i16le.bin")" 'BEGIN {
  printf "; time vs 256 MiB %.2f for %.2fx the bytes (per byte %.2f)", a / b, sa / sb, (a / sa) / (b / sb) }')

# Cipher alone: one 16 MiB chunk, as the stream slots transform it. MB/s by
# the wall clock for every row; for one thread also by processor time, the
# clock openssl speed uses by default, which other work on the machine does
# not stretch. openssl runs with both clocks.
# Three repetitions each; the rows take the medians.
csv=$("$bench" --benchmark_filter='BM_Blowfish|BM_EncryptedSlot' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null)
rate() {
  awk -F, -v name="$1" 'index($1, name) && index($1, "_median") { printf "%.1f", $6 / 1e6; exit }' <<<"$csv"
}
cpu_rate() {  # bytes per processor second of the benchmark thread (time unit ms)
  awk -F, -v name="$1" 'index($1, name) && index($1, "_median") {
    printf "%.1f", 16777216 / ($4 / 1000) / 1e6; exit }' <<<"$csv"
}
openssl_rate() {  # extra openssl speed options
  openssl speed -evp bf-ecb -provider legacy -provider default -seconds 2 -bytes 16384 "$@" 2>/dev/null |
    awk '/^BF-ECB/ { v = $NF; sub(/k$/, "", v); printf "%.1f", v / 1000 }' || true
}
openssl_wall=""
openssl_cpu=""
if command -v openssl >/dev/null 2>&1; then
  openssl_wall=$(openssl_rate -elapsed)
  openssl_cpu=$(openssl_rate)
fi
threads=$(nproc 2>/dev/null || echo 1)
cipher_row() {  # label benchmark-name with-cpu-figure
  local ours note=""
  ours=$(rate "$2")
  if [ -n "$openssl_wall" ]; then
    note=$(awk -v a="$ours" -v b="$openssl_wall" 'BEGIN {
      printf "openssl bf-ecb %.1f MB/s (wall); ours/openssl %.2f", b, a / b }')
    if [ "$3" = cpu ]; then
      note+=$(awk -v a="$(cpu_rate "$2")" -v b="$openssl_cpu" 'BEGIN {
        printf "; per cpu second %.1f vs openssl %.1f MB/s: %.2f", a, b, a / b }')
    fi
  else
    note="openssl bf-ecb not available"
  fi
  add_row "$1" "-" "-" "$ours" "-" "$note"
}
# The path the program chose here (the benchmark's "path" counter, the
# CSV column after error_message); each path this processor has is measured
# on one thread as well.
path_names=("portable lanes" "AVX2 gathers" "AVX-512 byte permutes")
chosen=$(awk -F, 'index($1, "BM_BlowfishEncryptBuffer/16777216/1/-1/") { print $11 + 0; exit }' <<<"$csv")
cipher_row "cipher encrypt, 1 thread (${path_names[$chosen]:-?})" "BM_BlowfishEncryptBuffer/16777216/1/-1/" cpu
cipher_row "cipher encrypt, $threads threads" "BM_BlowfishEncryptBuffer/16777216/0/-1/" wall
cipher_row "cipher decrypt, 1 thread (${path_names[$chosen]:-?})" "BM_BlowfishDecryptBuffer/16777216/1/-1/" cpu
cipher_row "cipher decrypt, $threads threads" "BM_BlowfishDecryptBuffer/16777216/0/-1/" wall
for p in 0 1 2; do
  if [ -n "$(rate "BM_BlowfishEncryptBuffer/16777216/1/$p/")" ]; then
    cipher_row "cipher encrypt, 1 thread, ${path_names[$p]}" "BM_BlowfishEncryptBuffer/16777216/1/$p/" cpu
    cipher_row "cipher decrypt, 1 thread, ${path_names[$p]}" "BM_BlowfishDecryptBuffer/16777216/1/$p/" cpu
  fi
done
add_row "stream slots, 64 MiB encrypted write+read" "-" "-" "$(rate BM_EncryptedSlotWriteRead)" "-" \
  "8-byte pieces, both directions counted"
rm -f "$work"/*.wv

# The cipher floor of each conversion: every sample passes through the
# encrypted temporary waveform file once written (8 bytes a pair, encrypted)
# and once read (decrypted), at the rates of all threads measured above. A
# kxzetq file's marker stream, and the passes of a rescaling, come on top.
enc_all=$(rate "BM_BlowfishEncryptBuffer/16777216/0/-1/")
dec_all=$(rate "BM_BlowfishDecryptBuffer/16777216/0/-1/")
floor_rows=()
for entry in "${floor_keys[@]}"; do
  key=${entry%%|*}
  label=${entry#*|}
  floor_rows+=("$(awk -v l="$label" -v p="${pairs_of[$key]}" -v w="${wall[$key]}" -v e="$enc_all" \
    -v d="$dec_all" 'BEGIN { b = 8 * p; f = b / (e * 1e6) + b / (d * 1e6)
      printf "%-40s %8.2f %9.1f %8.2f %8.2f", l, w, 2 * b / 1e6, f, (f > 0 ? w / f : 0) }')")
done

echo "== load after: $(uptime)"
echo
printf '%-40s %8s %8s %9s %9s  %s\n' "case" "wall s" "cpu s" "MB/s" "peak MiB" "compared with"
printf '%s\n' "${rows[@]}"
echo
echo "MB = 10^6 bytes of input per second of wall time; cpu = user + system time of the"
echo "process (all its threads); peak = its resident memory. Conversion rows: the run of"
echo "median wall time out of $reps (ours and numpy's taking turns), the largest peak."
echo
echo "Cipher floor of each conversion ($threads threads: encrypt $enc_all MB/s, decrypt $dec_all MB/s):"
printf '%-40s %8s %9s %8s %8s\n' "case" "wall s" "cipher MB" "floor s" "wall/floor"
printf '%s\n' "${floor_rows[@]}"
echo "cipher MB = the temporary waveform file's bytes, encrypted once and decrypted once;"
echo "floor = those bytes at the rates above; wall/floor = how close the row comes to it."
