#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-san/, runs the unit tests under them, then starts the installed
# desktop program once under Xvfb (tests/sanitizer/desktop.sh): resp/Ativo.001,
# the window and the tray, one sale through the real browser, SIGTERM. Any
# report fails the run; tests/sanitizer/lsan.supp silences only the browser
# engine's and the system libraries' own leaks, never ours.
#
#   scripts/sanitizer.sh            # build, unit tests, desktop start
#   scripts/sanitizer.sh --sem-desktop
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD
DESKTOP=1
[ "${1:-}" = "--sem-desktop" ] && DESKTOP=0

FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
echo "== configuring build-san/ ($FLAGS)"
mkdir -p build-san
cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >build-san/configura.log 2>&1 \
  || { cat build-san/configura.log >&2; exit 1; }
echo "== building (-j2)"
cmake --build build-san -j2

SUPP=$RAIZ/tests/sanitizer
# The fast unwinder stays on for allocations: the slow one deadlocks when
# Mesa's JIT registers its unwind tables (libgcc's lock is held in malloc).
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_odr_violation=2:check_initialization_order=1:strict_init_order=1:print_suppressions=1"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "ASAN_OPTIONS=$ASAN_OPTIONS"
echo "LSAN_OPTIONS=$LSAN_OPTIONS"
echo "UBSAN_OPTIONS=$UBSAN_OPTIONS"

echo "== unit tests under the sanitizers"
ctest --test-dir build-san -L unidade --output-on-failure -j2 --timeout 600

if [ $DESKTOP -eq 0 ]; then
  echo "== desktop start skipped"
elif [ ! -x build-san/src/program/TefOrvex ]; then
  echo "== desktop start skipped: TefOrvex was not built (Qt 6 WebEngine or X11 missing)"
else
  echo "== desktop program under the sanitizers"
  # Chromium inside QtWebEngine deletes objects through a base of another
  # size (the whole stack in libQt6WebEngineCore); that check cannot be
  # suppressed by file, so it is off for this run only: the unit tests above
  # keep it on for our code.
  ASAN_OPTIONS="$ASAN_OPTIONS:new_delete_type_mismatch=0" BUILD_DIR=$RAIZ/build-san bash tests/sanitizer/desktop.sh
fi
echo "== sanitizer run passed"
