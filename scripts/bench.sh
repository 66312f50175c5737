#!/usr/bin/env bash
# Measures what the tool itself costs, and prints a table of the figures:
#   1. the upload in process: com_send_file against a bare loop making the same
#      bulk transfers to the emulated printer, side by side (throughput ratio),
#      and the library's own instructions per 4096-byte piece (callgrind);
#   2. whole updates of a 1 MiB image through the real libusb-1.0 and the
#      umockdev printer emulator: the library as the tool drives it against a
#      bare libusb program making the same transfers, in turn (time ratio
#      without the two fixed waits), the bare program against itself as the
#      control, and the raw bulk speed through the emulator;
#   3. the USB scan with 1, 4 and 16 emulated printers, in process and through
#      the real libusb-1.0 and the emulator, and through the real libusb-1.0 on
#      this machine's own bus;
#   4. the log: cost per line, heap allocations per piece and per log line;
#   5. start-up of the tool, offscreen, to its window exposed;
#   6. parallel updates of 1, 4 and 16 printers with the same 1 MiB plan, as
#      zarvik update --all runs them, in process and through the real
#      libusb-1.0 and the emulator: wall time for N against N x one;
#   7. what proving the bytes costs: SHA-256 in MB/s by size, the plan check of
#      a folder with a 16 MiB main image (with and without SHA256SUMS), and an
#      in-process upload of 16 MiB hashing what it sends against one that does
#      not (ZARVIK_BENCH_ONLY=hash runs this part alone).
# Builds in build-bench/ (Release, -DZARVIK_BUILD_BENCH=ON) with at most two
# jobs, then runs everything one after the other.  The raw outputs stay in
# build-bench/results/.  Takes one to two minutes once built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-bench"
results="$build/results"
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

# Google Benchmark and valgrind on top of what the build needs.
scripts/setup-debian.sh libbenchmark-dev valgrind

echo "== build (build-bench, Release)"
# Warnings are not errors here: at -O3 the compiler warns about code that the
# project's own builds (-O2) compile cleanly.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVIK_BUILD_BENCH=ON \
    -DZARVIK_BUILD_TESTS=OFF -DZARVIK_WERROR=OFF >/dev/null
target=zarvik_bench_all
[ "${ZARVIK_BENCH_ONLY:-}" = hash ] && target=zarvik-bench-hash
cmake --build "$build" -j "$jobs" --target "$target"

rm -rf "$results"
mkdir -p "$results"
bench="$build/bench"

hash_part() {
    echo "== 7: SHA-256, the plan check, the hashed upload"
    "$bench/zarvik-bench-hash" --rounds=9 | tee "$results/hash.txt"
}
hash_rows() {
    declare -A H
    while IFS='=' read -r key value; do
        [ -n "$key" ] && H[$key]=$value
    done <"$results/hash.txt"
    h() { awk -v x="${H[$1]:-nan}" -v f="$2" 'BEGIN { if (x == "nan") print "n/a"; else printf f, x }'; }
    hs() { echo "$(h "$1_median" "$2") [$(h "$1_min" "$2"), $(h "$1_max" "$2")]"; }
    row 7 "SHA-256 by CPU time, 4 KiB / 64 KiB / 1 / 16 / 64 MiB" \
        "$(h sha256_mb_per_s_4kib_cpu_median '%.0f') / $(h sha256_mb_per_s_64kib_cpu_median '%.0f') / $(h sha256_mb_per_s_1024kib_cpu_median '%.0f') / $(h sha256_mb_per_s_16384kib_cpu_median '%.0f') / $(h sha256_mb_per_s_65536kib_cpu_median '%.0f') MB/s"
    row "" "  the same by wall-clock time" \
        "$(h sha256_mb_per_s_4kib_median '%.0f') / $(h sha256_mb_per_s_64kib_median '%.0f') / $(h sha256_mb_per_s_1024kib_median '%.0f') / $(h sha256_mb_per_s_16384kib_median '%.0f') / $(h sha256_mb_per_s_65536kib_median '%.0f') MB/s"
    row "" "  plan check, 16 MiB + 300 KiB (page cache)" \
        "$(hs plan_check_16mib_ms '%.1f') ms wall, $(hs plan_check_16mib_cpu_ms '%.1f') ms CPU"
    row "" "  the same with SHA256SUMS" \
        "$(hs plan_check_16mib_with_list_ms '%.1f') ms wall, $(hs plan_check_16mib_with_list_cpu_ms '%.1f') ms CPU"
    row "" "  upload 16 MiB in process, plain / hashed (CPU)" \
        "$(hs upload_16mib_plain_cpu_ms '%.1f') / $(hs upload_16mib_hashed_cpu_ms '%.1f') ms"
    row "" "  hashing's time per 4096-byte piece" "$(h upload_hash_ns_per_piece '%.0f') ns"
}
row() { printf '%-3s %-48s %s\n' "$1" "$2" "$3"; }
if [ "${ZARVIK_BENCH_ONLY:-}" = hash ]; then
    hash_part
    echo
    echo "== What proving the bytes costs ($(lscpu | awk -F: '/^Model name/ { gsub(/^[ \t]+/, "", $2); print $2; exit }'))"
    hash_rows
    exit 0
fi

echo "== 1, 3, 4: upload side by side, scan, log line (Google Benchmark)"
"$bench/zarvik-bench" --summary="$results/timed.txt" | tee "$results/benchmarks.txt" |
    grep -E '_median|^-|^Benchmark' || true

echo "== 3: scan through the real libusb-1.0"
"$bench/zarvik-bench-system" --benchmark_format=csv >"$results/scan_system.csv" 2>/dev/null
awk -F, '/_median"/ { printf "scan_system_us_median=%s\nscan_system_cpu_us_median=%s\n", $3, $4
                       printf "scan_system_printers=%s\n", $NF }
         /_min"/    { printf "scan_system_us_min=%s\n", $3 }
         /_max"/    { printf "scan_system_us_max=%s\n", $3 }' \
    "$results/scan_system.csv" >"$results/scan_system.txt"

echo "== 2, 3: updates and scans through the real libusb-1.0 and the printer emulator"
rounds_emulated=24
"$build/bin/zarvik-printer-emulator" --printer target --control auto -- \
    "$bench/zarvik-bench-emulator" --rounds=$rounds_emulated --summary="$results/emulator.txt" |
    tee "$results/emulator-report.txt" | grep -v '^  round'

echo "== 1: instructions per piece (callgrind)"
rounds=2
for mib in 4 8; do
    for side in link bare; do
        out="$results/callgrind.$side.${mib}MiB.out"
        valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
            "$bench/zarvik-bench" --callgrind "$side" "$mib" "$rounds" >"$results/callgrind.$side.${mib}MiB.txt" 2>&1
        total=$(awk '/^totals:/ { print $2 }' "$out")
        pieces=$(awk -F= '/^pieces=/ { print $2 }' "$results/callgrind.$side.${mib}MiB.txt")
        echo "callgrind_${side}_${mib}mib_instructions=$total" >>"$results/callgrind.txt"
        echo "callgrind_${side}_${mib}mib_pieces=$pieces" >>"$results/callgrind.txt"
        printf '  %-4s %d MiB x %d: %s instructions for %s pieces\n' "$side" "$mib" "$rounds" "$total" "$pieces"
    done
done

echo "== 4: heap allocations"
"$bench/zarvik-bench" --allocations --summary="$results/allocations.txt" | tee "$results/allocations-report.txt"

echo "== 5: start-up to the window exposed (offscreen)"
probe="$bench/libzarvik-expose-probe.so"
runs=21
"$bench/startup-bench" --runs=$runs --label=startup_tool --summary="$results/startup.txt" \
    "$probe" "$build/tool/zarvik-update"
"$bench/startup-bench" --runs=$runs --label=startup_emulated --summary="$results/startup.txt" \
    "$probe" "$build/tool/zarvik-update-emulated"

echo "== 6: parallel updates, 1 / 4 / 16 printers"
"$bench/zarvik-bench-parallel" --rounds=9 --summary="$results/parallel.txt" | tee "$results/parallel-report.txt"
sixteen=()
for _ in $(seq 16); do sixteen+=(--printer target); done
"$build/bin/zarvik-printer-emulator" "${sixteen[@]}" -- \
    "$bench/zarvik-bench-parallel-emulator" --rounds=5 --summary="$results/parallel.txt" |
    tee -a "$results/parallel-report.txt"

hash_part

# --- the table ------------------------------------------------------------------
declare -A R
while IFS='=' read -r key value; do
    [ -n "$key" ] && R[$key]=$value
done < <(cat "$results"/timed.txt "$results"/scan_system.txt "$results"/emulator.txt \
    "$results"/callgrind.txt "$results"/allocations.txt "$results"/startup.txt "$results"/parallel.txt)

num() { awk -v x="${R[$1]:-nan}" -v f="$2" 'BEGIN { if (x == "nan") print "n/a"; else printf f, x }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
spread() { echo "$(num "$1_median" "$2") [$(num "$1_min" "$2"), $(num "$1_max" "$2")]"; }

cg() { echo "${R[callgrind_$1]}"; }
own4=$(($(cg link_4mib_instructions) - $(cg bare_4mib_instructions)))
own8=$(($(cg link_8mib_instructions) - $(cg bare_8mib_instructions)))
pieces4=$(cg link_4mib_pieces)
pieces8=$(cg link_8mib_pieces)
per_piece=$(calc '%.0f' "$own4 / $pieces4")
marginal=$(calc '%.0f' "($own8 - $own4) / ($pieces8 - $pieces4)")
fixed=$(calc '%.0f' "($own4 - ($own8 - $own4) / ($pieces8 - $pieces4) * $pieces4) / $rounds")
ratio=${R[upload_4096k_log1_ratio_median]}
verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.98 ? "meets the target 0.98" : "below the target 0.98") }')
hs_share=$(calc '%.2f' "${R[upload_4096k_log1_overhead_ns_per_piece_median]} / 77000 * 100")
scan16_share=$(calc '%.5f' "${R[scan16_us_median]} / 1e6 * 100")
system_share=$(calc '%.3f' "${R[scan_system_us_median]} / 1e6 * 100")
emu_ratio=${R[emu_ratio_median]}
emu_verdict=$(awk -v r="$emu_ratio" 'BEGIN { print (r <= 1.05 ? "meets the target 1.05" : "above the target 1.05") }')
emu16_share=$(calc '%.1f' "${R[emu_scan16_us_median]} / 1e6 * 100")

model=$(lscpu | awk -F: '/^Model name/ { gsub(/^[ \t]+/, "", $2); print $2; exit }')
cores=$(nproc)

up=upload_4096k_log1
echo
echo "== What the tool itself costs ($model, $cores cores; median [min, max])"
row "#" "measure" "figure"
row 1 "upload 4 MiB in process, link/bare throughput" "$(spread ${up}_ratio '%.3f') by CPU time: $verdict"
row "" "  the same from each side's fastest upload" "$(spread ${up}_ratio_best '%.3f')"
row "" "  the same by wall-clock time" "$(spread ${up}_ratio_wall '%.3f')"
row "" "  the same with the log off" "$(spread upload_4096k_log0_ratio '%.3f') by CPU time"
row "" "  throughput, link / bare loop (CPU time)" \
    "$(num ${up}_link_MBps_median '%.0f') / $(num ${up}_bare_MBps_median '%.0f') MB/s"
row "" "  the link's extra time per piece" \
    "$(num ${up}_overhead_ns_per_piece_median '%.0f') ns = ${hs_share} % of a high-speed piece (77 us)"
row "" "  fixed per upload (one-piece file), log on / off" \
    "$(num upload_4k_log1_overhead_us_per_upload_median '%.1f') / $(num upload_4k_log0_overhead_us_per_upload_median '%.1f') us"
row "" "  library's instructions per piece (callgrind)" \
    "$per_piece at 4 MiB = $marginal per piece + $fixed per upload"
row 2 "update 1 MiB, real libusb + emulator, link/bare" \
    "$(spread emu_ratio '%.3f') by time less the two fixed waits: $emu_verdict"
row "" "  the same from each side's fastest update" "$(num emu_ratio_best '%.3f')"
row "" "  the same with the look at open left in" "$(spread emu_ratio_with_look '%.3f')"
row "" "  the same by the program's CPU time" "$(spread emu_ratio_cpu '%.3f')"
row "" "  control: bare program again / bare program" \
    "$(spread emu_control_ratio '%.3f'); fastest $(num emu_control_ratio_best '%.3f')"
row "" "  whole update, link" "$(spread emu_update_link_ms '%.1f') ms"
row "" "  whole update, bare program" "$(spread emu_update_bare_ms '%.1f') ms"
row "" "  the link's extra time per update" "$(spread emu_extra_ms '%.2f') ms"
row "" "  fixed wait: pause before ~M29 (500 ms)" "$(spread emu_pause_ms '%.2f') ms"
row "" "  fixed wait: look for stale replies (100 ms)" "$(spread emu_look_ms '%.2f') ms"
row "" "  bulk through the emulator (bare data phase)" \
    "$(spread emu_bulk_MBps '%.2f') MB/s, $(spread emu_transfer_ms '%.3f') ms per 4096 B"
row "" "    CPU per transfer, the program / the emulator" \
    "$(spread emu_transfer_cpu_us '%.0f') / $(num emu_transfer_emulator_cpu_us '%.0f') us (all rounds)"
row "" "  (rounds; transfers per update, each side)" "${R[emu_update_rounds]:-n/a}; ${R[emu_update_transfers]:-n/a}"
row 3 "scan, 1 / 4 / 16 emulated printers" \
    "$(num scan1_us_median '%.2f') / $(num scan4_us_median '%.2f') / $(num scan16_us_median '%.2f') us"
row "" "  share of the window's 1 s tick, 16 printers" "${scan16_share} %"
row "" "  scan through the real libusb, this machine" \
    "$(spread scan_system_us '%.0f') us wall, $(num scan_system_cpu_us_median '%.0f') us CPU"
row "" "    (printers found; share of the 1 s tick)" "${R[scan_system_printers]:-0}; ${system_share} %"
row "" "  scan, real libusb + emulator, 1 printer" \
    "$(spread emu_scan1_us '%.0f') us wall, $(num emu_scan1_cpu_us_median '%.0f') us CPU"
row "" "  the same, 4 printers" "$(spread emu_scan4_us '%.0f') us wall, $(num emu_scan4_cpu_us_median '%.0f') us CPU"
row "" "  the same, 16 printers" \
    "$(spread emu_scan16_us '%.0f') us wall, $(num emu_scan16_cpu_us_median '%.0f') us CPU"
row "" "    (runs each; share of the 1 s tick, 16)" "${R[emu_scan_runs]:-n/a}; ${emu16_share} %"
row 4 "log line, 44 B command / 4096 B block" \
    "$(num WriteLog_command_ns_median '%.0f') / $(num WriteLog_block_ns_median '%.0f') ns (write_log)"
row "" "  the same as the link logs it (log_format)" \
    "$(num LogFormat_command_ns_median '%.0f') / $(num LogFormat_block_ns_median '%.0f') ns"
row "" "  heap allocations by the library per piece" \
    "$(num alloc_library_per_piece '%g') (per upload, beyond the bare loop: $(num alloc_library_4mib '%g'))"
row "" "  heap allocations per log line, 44 B / 4096 B" \
    "$(num alloc_log_format_command_per_line '%g') / $(num alloc_log_format_block_per_line '%g')"
row 5 "start-up to window exposed, tool (real libusb)" \
    "$(spread startup_tool_exposed_ms '%.1f') ms, middle half $(num startup_tool_exposed_ms_q1 '%.1f')..$(num startup_tool_exposed_ms_q3 '%.1f')"
row "" "  to the window painted" "$(spread startup_tool_painted_ms '%.1f') ms"
row "" "  to window exposed, emulated bus, 1 printer" \
    "$(spread startup_emulated_exposed_ms '%.1f') ms, middle half $(num startup_emulated_exposed_ms_q1 '%.1f')..$(num startup_emulated_exposed_ms_q3 '%.1f')"
row "" "  (runs each; the first run is not counted)" "$runs"
par() { echo "$(num "$1$2_wall_ms_median" '%.1f') ms = $(num "$1$2_ratio" '%.2f') x one"; }
par_verdict=$(awk -v r="${R[par_emu4_ratio]:-nan}" 'BEGIN { print (r <= 1.3 ? "meets the target 1.3" : "above the target 1.3") }')
row 6 "parallel updates in process, 1 / 4 / 16 printers" "$(par par 1) / $(par par 4) / $(par par 16)"
row "" "  through the real libusb + emulator, 1 / 4 / 16" \
    "$(par par_emu 1) / $(par par_emu 4) / $(par par_emu 16): 4 printers $par_verdict"
row "" "  emulator CPU, all / its busiest thread, 16" \
    "$(num par_emu16_emulator_cpu_ms '%.0f') / $(num par_emu16_busiest_thread_cpu_ms '%.0f') ms"
hash_rows
echo
echo "raw outputs: $results"
