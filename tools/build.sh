#!/usr/bin/env bash
# Cross-builds into ${BUILD_DIR:-build}: everything (the program, the tools and the tests),
# or only the targets named (tools/run.sh builds just what a run needs).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$BUILD_DIR" -j"$(nproc)" "${targets[@]}"
# The executables must need nothing but system DLLs.
for exe in "$BUILD_DIR"/bin/RigConsole.exe "$BUILD_DIR"/bin/SimUnit.exe "$BUILD_DIR"/bin/TraceCapture.exe "$BUILD_DIR"/bin/Gallery.exe; do
  [ -f "$exe" ] || continue
  bad=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {print $3}' | grep -v -i -E '^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|oleaut32|ws2_32|version|uxtheme|msimg32|msvcrt|shlwapi|rpcrt4|api-ms-win-.*)\.dll$' || true)
  if [ -n "$bad" ]; then echo "build: $exe imports non-system DLLs: $bad" >&2; exit 1; fi
done
