#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer (in build-tsan) and runs those whose code shares state
# between threads: sessions and their transport, the tool registry, the settings, the counters,
# the audit log and its queue, the file watches, the work queues, the manifest loader and
# dispatcher, the store, the privacy gate, the co-process proxies, the status server, the relay and
# the stdio bridge.
# Fails when a test fails or ThreadSanitizer reports anything. The test programs end with _Exit,
# which skips the sanitizer's own exit status, so its reports are collected from log files.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVRN_SANITIZE=thread \
  -DTVRN_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target tvrn_base_tests tvrn_platform_tests tvrn_pim_tests \
  tvrn_core_tests tvrn_status_tests tvrn_cloud_tests tvrn_manifest_tests tvrn_bridges_tests \
  tvrn_server_tests tavrin-server

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="log_path=$reports/tsan suppressions=$PWD/scripts/tsan.supp second_deadlock_stack=1 history_size=4"
unset ASAN_OPTIONS UBSAN_OPTIONS

# Each program with the tests it runs; each test runs in a process of its own, as under ctest.
# ThreadSanitizer ends a copy (fork) of a process with threads once the copy starts a thread, so
# the test of the audit log's writer in such a copy is left out.
runs=(
  "tvrn_core_tests IPCServer*:MCPServer*:MCPTransport*:JSONRPC*"
  "tvrn_core_tests ToolRegistry*:ConfigManager*:AuditLog*-AuditLogTest.ACopyOfTheProcessWritesItsOwnRecords"
  "tvrn_core_tests Counters*:ToolErrorCounter*:FirstToolCall*:MCPClientTracker*:StatusServerReports*:Activity*"
  "tvrn_base_tests Dispatch*:TimerQueue*:WorkerPool*"
  "tvrn_platform_tests QueuedLineLog*:FileWatch*"
  "tvrn_server_tests QueuedWork*:BridgeProgramTest.CarriesBoth*"
  "tvrn_manifest_tests ManifestLoader*:ManifestSession*:ManifestStore*"
  "tvrn_pim_tests PimStore*:ICalTime*:PrivacyGate*"
  "tvrn_bridges_tests HelperProxy*:JXARunnerProxy*"
  "tvrn_status_tests StatusServer*:StatusFile*:ServiceStatusScanner*"
  "tvrn_cloud_tests CloudTunnel*:Tunnel*"
)
for run in "${runs[@]}"; do
  read -r program filter <<<"$run"
  build-tsan/tests/"$program" --gtest_list_tests --gtest_filter="$filter" |
    awk -v program="$program" '/^[^ ]/ {suite = $1} /^  / {print program, suite $1}'
done >"$reports/tests"

runOne() {
  QT_QPA_PLATFORM=offscreen build-tsan/tests/"$1" --gtest_filter="$2" >"$3/${2//\//_}.out" 2>&1 ||
    { echo "FAILED: $2"; tail -n 30 "$3/${2//\//_}.out"; return 1; }
}
export -f runOne
failed=0
xargs -P "$jobs" -L 1 bash -c 'runOne "$0" "$1" "'"$reports"'"' <"$reports/tests" || failed=1
echo "$(wc -l <"$reports/tests") tests run"
shopt -s nullglob
logs=("$reports"/tsan.*)
if ((${#logs[@]} > 0)); then
  cat "${logs[@]}"
  echo "ThreadSanitizer reported ${#logs[@]} time(s)"
  failed=1
fi
((failed == 0)) && echo "ThreadSanitizer: no reports"
exit $failed
