#!/usr/bin/env bash
# End-to-end and cipher benchmarks of a Release build: `make bench` runs it with
# the bench build folder. Inputs are generated under <build>/bench-data.
set -euo pipefail
build=$(cd "${1:-build/bench}" && pwd)
exe="$build/wavora"
gen="$build/wavora_datagen"
bench="$build/wavora_bench"
data="$build/bench-data"
work="$build/bench-work"
mkdir -p "$data" "$work"

generate() {  # kind file size
  [ -f "$data/$2" ] || "$gen" "$1" "$data/$2" "$3"
}
echo "== generating inputs (once) in $data"
generate i16le sig_i16le.bin 256
generate f32le sig_f32le.bin 256
generate txt sig.txt 64
generate kvg sig_kvg.wv 256
[ -d "$data/tree" ] || "$gen" tree "$data/tree" 1000 4096

measure() {  # label input-bytes args...
  local label=$1 bytes=$2
  shift 2
  rm -f "$work"/*.wv
  local line
  line=$("$bench" run "$work" "$exe" "$@")
  local seconds rss code
  seconds=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$line")
  rss=$(sed -E 's/.*maxrss_kib=([0-9]+).*/\1/' <<<"$line")
  code=$(sed -E 's/.*exit=(-?[0-9]+).*/\1/' <<<"$line")
  awk -v l="$label" -v b="$bytes" -v s="$seconds" -v r="$rss" -v c="$code" 'BEGIN {
    printf "%-34s %8.2f s  %8.1f MB/s of input  peak RSS %6.1f MiB  exit %d\n", l, s, b / s / 1e6, r / 1024, c }'
  echo "$seconds" >"$work/last_seconds"
}
size() { stat -c %s "$1"; }

echo
echo "== end-to-end conversions (wall time, MB = 10^6 bytes)"
measure "i16le 256 MiB" "$(size "$data/sig_i16le.bin")" "$data/sig_i16le.bin" -format i16le -clock 100 -overwrite
i16_seconds=$(cat "$work/last_seconds")
measure "f32le 256 MiB" "$(size "$data/sig_f32le.bin")" "$data/sig_f32le.bin" -format f32le -clock 100 -overwrite
measure "txt 64 MiB (two float columns)" "$(size "$data/sig.txt")" "$data/sig.txt" -format txt -clock 100 -overwrite
measure "kxzetq KVG 256 MiB, 4 marker lists" "$(size "$data/sig_kvg.wv")" "$data/sig_kvg.wv" -format kxzetq -overwrite
kvg_seconds=$(cat "$work/last_seconds")
awk -v a="$i16_seconds" -v b="$kvg_seconds" -v sa="$(size "$data/sig_i16le.bin")" -v sb="$(size "$data/sig_kvg.wv")" 'BEGIN {
  printf "kxzetq throughput relative to i16le: %.1f %%\n", 100 * (sb / b) / (sa / a) }'

# Capture formats against the i16le row above: throughput in % of i16le's.
generate cu8 sig.cu8 256
generate wav sig_pcm16.wav 256
for capture in "cu8 sig.cu8" "wav sig_pcm16.wav"; do
  set -- $capture
  measure "$1 256 MiB" "$(size "$data/$2")" "$data/$2" -format "$1" -clock 100 -overwrite
  awk -v a="$i16_seconds" -v b="$(cat "$work/last_seconds")" -v sa="$(size "$data/sig_i16le.bin")" \
    -v sb="$(size "$data/$2")" -v l="$1" 'BEGIN {
    printf "%s throughput relative to i16le: %.1f %%\n", l, 100 * (sb / b) / (sa / a) }'
done

rm -rf "$work/tree-out" && mkdir -p "$work/tree-out"
line=$("$bench" run "$work" "$exe" -indir "$data/tree" -outdir "$work/tree-out" -format i16le -clock 100 -ext bin -recursive -overwrite)
seconds=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$line")
converted=$(find "$work/tree-out" -name '*.wv' | wc -l)
awk -v s="$seconds" -v n="$converted" 'BEGIN {
  printf "%-34s %8.2f s  %8.1f files/s  %.2f ms per file (%d files converted)\n", "directory tree, 1000 x 4 KiB i16le", s, n / s, 1000 * s / n, n }'

echo
echo "== cipher and stream slots"
"$bench" --benchmark_format=console 2>/dev/null | tee "$work/cipher.txt"
ours=$("$bench" --benchmark_filter=BM_BlowfishEncryptBuffer --benchmark_format=csv 2>/dev/null |
  awk -F, '/BM_BlowfishEncryptBuffer/ { printf "%.1f", $6 / 1e6 }')
echo "Blowfish ECB encryption (ours): $ours MB/s"
if command -v openssl >/dev/null 2>&1; then
  theirs=$(openssl speed -evp bf-ecb -provider legacy -provider default -seconds 2 2>/dev/null |
    awk '/^BF-ECB/ { v = $NF; sub(/k$/, "", v); printf "%.1f", v / 1000 }')
  if [ -n "$theirs" ]; then
    echo "openssl speed -evp bf-ecb (16384-byte blocks): $theirs MB/s"
    awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "ratio ours / openssl: %.2f\n", a / b }'
  else
    echo "openssl bf-ecb not available (legacy provider missing)"
  fi
fi
