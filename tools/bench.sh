#!/usr/bin/env bash
# Builds the program and its benchmarks, runs them under Wine and prints their figures, each
# with its goal; the figures, with a description of the machine, also go to
# bench/results-<date>.txt for comparison with later runs. Not part of the tests: figures
# depend on the machine and its load, and nothing fails on them.
#
#   bash tools/bench.sh [--before REV] [FRAMES [COMMANDS [TIMEOUTS]]]
#
# FRAMES: frames of each flood (default 20000); COMMANDS: commands answered one after the
# other on each link (default 500); TIMEOUTS: answer time-outs timed (default 10). About
# four minutes a build on a 2-core machine, plus the builds.
#
# --before REV measures the program as it was at REV in the same run: a worktree of REV in
# build-before/src (BEFORE_DIR), today's bench/ sources, simulated unit (tools/SimUnit/) and
# the test-support sources the benchmarks use copied into it, built in build-before/build
# without the tests. The same benchmark programs run against both builds, one after the
# other (never at once: the figures need the whole machine), and the results show REV's
# figures in a section of their own and beside today's in the summary table. REV's own
# tests/support/CommTestSupport.cpp stays: it belongs to REV's link manager.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
BEFORE_DIR=${BEFORE_DIR:-build-before}
# The programs one benchmark run needs.
targets=(RigConsole SimUnit TraceCapture RunDriver LinkBench LogAppendBench)

# ---------------------------------------------------------------------------------------
# Inside the test environment (tools/wine-env.sh): the runs themselves.

# Prints a benchmark's output and keeps its "@fig" lines (the figures' tab-separated form)
# in the file $1 instead.
split_figures() {
  awk -v tsv="$1" '/^@fig\t/ { print >> tsv; next } { print; fflush() }'
}

# Five starts of the program against the unit: process start to the main window shown.
startup_times() {
  local bin=$1 run=$2 tsv=$3
  rm -rf "$run" && mkdir -p "$run" && cp "$bin/RigConsole.exe" "$run/"
  echo
  echo "-- Start-up: five starts of RigConsole.exe against the unit, process start to the main window shown"
  wine "$bin/SimUnit.exe" --tcp 127.0.0.1:20130 --quiet >/dev/null &
  local unit=$!
  wine "$bin/RunDriver.exe" prepare "$run" 127.0.0.1 >/dev/null
  local times=()
  for _ in 1 2 3 4 5; do
    # Into a file, not a pipe: the program inherits the output and would hold a pipe open.
    wine "$bin/RunDriver.exe" launch "$run/RigConsole.exe" > "$run/launch.txt"
    local line
    line=$(tr -d '\r' < "$run/launch.txt" | grep "start-up" | sed "s/ (process.*//" || true)
    echo "${line:-start-up: not measured}"
    local ms
    ms=$(echo "$line" | sed -n 's/^start-up: \([0-9]*\) ms.*/\1/p')
    [ -n "$ms" ] && times+=("$ms")
    wine "$bin/RunDriver.exe" wait-page >/dev/null || true
    wine "$bin/RunDriver.exe" close >/dev/null || true
  done
  kill "$unit" 2>/dev/null || true
  wait "$unit" 2>/dev/null || true
  if [ ${#times[@]} -gt 0 ]; then
    local median
    median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    printf '@fig\tstartup\tstart-up, median of five\t%s ms\t\n' "$median" >> "$tsv"
  fi
}

run_all() {
  local bin=$1 run=$2 tsv=$3
  : > "$tsv"
  wine "$bin/LinkBench.exe" "$FRAMES" "$COMMANDS" "$TIMEOUTS" | tr -d '\r' | split_figures "$tsv"
  echo
  wine "$bin/LogAppendBench.exe" | tr -d '\r' | split_figures "$tsv"
  if [ -f "$bin/ScrollBench.exe" ]; then
    echo
    wine "$bin/ScrollBench.exe" | tr -d '\r' | split_figures "$tsv"
  fi
  startup_times "$bin" "$run" "$tsv"
}

if [ "${1:-}" = "--inside" ]; then
  echo "==== Now: commit $(git rev-parse --short HEAD 2>/dev/null || echo none) ===="
  run_all "$BUILD_DIR/bin" "$BUILD_DIR/benchrun" "$BUILD_DIR/bench-figures-now.tsv"
  if [ -n "${BEFORE_REV:-}" ]; then
    echo
    echo "==== Before: commit $BEFORE_REV, $(git log -1 --format=%s "$BEFORE_REV" | cut -c1-90) ===="
    run_all "$BEFORE_DIR/build/bin" "$BEFORE_DIR/benchrun" "$BUILD_DIR/bench-figures-before.tsv"
  fi
  exit 0
fi

# ---------------------------------------------------------------------------------------
# Outside: arguments, builds, the environment, the summary.

started=$SECONDS
before=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before=${2:?--before needs a revision}; shift 2 ;;
    --before=*) before=${1#--before=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done
export FRAMES=${args[0]:-20000} COMMANDS=${args[1]:-500} TIMEOUTS=${args[2]:-10}

# Configures and builds the benchmark's programs of one source tree; the build's output is
# kept in a log and shown only when it fails.
build_tree() {
  local src out=$2
  src=$(cd "$1" && pwd)
  shift 2
  mkdir -p "$out"
  local tree_targets=("${targets[@]}")
  # The view over a long session is measured only where the view pages through the session.
  if [ -f "$src/comm/record/SessionLines.h" ]; then
    tree_targets+=(ScrollBench)
  fi
  if ! { cmake -S "$src" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw64.cmake" -DCMAKE_BUILD_TYPE=Release "$@" &&
         cmake --build "$out" -j"$(nproc)" --target "${tree_targets[@]}"; } > "$out/bench-build.log" 2>&1; then
    tail -40 "$out/bench-build.log" >&2
    echo "bench: building $src failed (log: $out/bench-build.log)" >&2
    exit 1
  fi
}

# Copies a file only when it differs, so that the other build stays incremental.
sync_file() {
  mkdir -p "$(dirname "$2")"
  cmp -s "$1" "$2" || cp "$1" "$2"
}

build_started=$SECONDS
build_tree . "$BUILD_DIR"
if [ -n "$before" ]; then
  rev=$(git rev-parse --verify --quiet "$before^{commit}") || { echo "bench: no commit $before" >&2; exit 1; }
  src="$BEFORE_DIR/src"
  if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" != "$(cd "$src" 2>/dev/null && pwd -P)" ] ||
     [ "$(git -C "$src" rev-parse HEAD 2>/dev/null)" != "$rev" ]; then
    if [ -e "$src" ]; then git worktree remove --force "$src" 2>/dev/null || rm -rf "$src"; fi
    mkdir -p "$BEFORE_DIR"
    git worktree add --force --detach "$src" "$rev" >/dev/null
  fi
  for f in bench/CMakeLists.txt bench/*.cpp bench/*.h tools/SimUnit/* \
           tests/support/TestSupport.h tests/support/TestSupport.cpp tests/support/SimUnitProcess.h; do
    sync_file "$f" "$src/$f"
  done
  build_tree "$src" "$BEFORE_DIR/build" -DRIG_BUILD_TESTS=OFF
  export BEFORE_REV=$(git rev-parse --short "$rev")
fi
build_seconds=$((SECONDS - build_started))

out="bench/results-$(date +%Y%m%d-%H%M).txt"
now_tsv="$BUILD_DIR/bench-figures-now.tsv"
before_tsv="$BUILD_DIR/bench-figures-before.tsv"
rm -f "$now_tsv" "$before_tsv"
export BEFORE_DIR
{
  echo "Rig Console benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo none)${BEFORE_REV:+, before: $BEFORE_REV}"
  echo "Machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "Wine: $(wine --version 2>/dev/null); load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "Arguments: $FRAMES frames a flood, $COMMANDS commands, $TIMEOUTS time-outs"
  echo
  bash tools/wine-env.sh bash tools/bench.sh --inside
  if [ -s "$now_tsv" ]; then
    echo
    echo "==== Summary ===="
    awk -F'\t' -v before="$before_tsv" -v rev="${BEFORE_REV:-}" '
      BEGIN {
        while ((getline line < before) > 0) { split(line, f, "\t"); b[f[2]] = f[4] }
        printf "%-58s %-28s %-28s %s\n", "figure", "now", (rev != "" ? "before " rev : "before"), "goal"
      }
      {
        was = (rev == "") ? "-" : (($2 in b) && b[$2] != "" ? b[$2] : "n/a")
        printf "%-58s %-28s %-28s %s\n", $3, $4, was, $5
      }' "$now_tsv"
  fi
  echo
  echo "bench: builds took $build_seconds s, the whole run $((SECONDS - started)) s; load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$out"
echo "bench: figures written to $out"
