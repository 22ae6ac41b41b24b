#!/usr/bin/env bash
# Builds the libFuzzer programs of tests/fuzz/ with clang into build-fuzz/ and
# runs each for the given seconds (default 60), seeded with its committed
# corpus. New inputs go to a scratch directory, never into the corpus: an
# input worth keeping (every one that found a fault) is copied there by hand.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD
bash scripts/setup.sh fuzz

SEGUNDOS=${1:-60}
shift || true
ALVOS=("$@")
[ ${#ALVOS[@]} -gt 0 ] || ALVOS=(fuzz_pedido fuzz_registro fuzz_conversao fuzz_endereco fuzz_cifra)
case $SEGUNDOS in ''|*[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;; esac

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
[ -n "$CXX_FUZZ" ] || { echo "clang++ not found (clang and libclang-rt-dev give libFuzzer)" >&2; exit 1; }

echo "== configuring build-fuzz/ with $CXX_FUZZ"
mkdir -p build-fuzz
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX_FUZZ" \
  -DTEF_FUZZ=ON >build-fuzz/configura.log 2>&1 || { cat build-fuzz/configura.log >&2; exit 1; }
echo "== building ${ALVOS[*]} (-j2)"
cmake --build build-fuzz -j2 --target "${ALVOS[@]}"

ACHADOS=${TEF_FUZZ_ACHADOS:-$RAIZ/build-fuzz/achados}
# The sanitizers stop at the first report; leaks count as faults.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

falhas=0
for alvo in "${ALVOS[@]}"; do
  semente=$RAIZ/tests/fuzz/corpus/$alvo
  novos=$ACHADOS/$alvo/novos
  artefatos=$ACHADOS/$alvo/falhas/
  mkdir -p "$novos" "$artefatos"
  echo
  echo "== $alvo: ${SEGUNDOS}s, seeds $(find "$semente" -type f | wc -l) in tests/fuzz/corpus/$alvo, new inputs in $novos"
  log=$ACHADOS/$alvo/fuzz.log
  dicionario=()
  [ -f "$RAIZ/tests/fuzz/$alvo.dict" ] && dicionario=(-dict="$RAIZ/tests/fuzz/$alvo.dict")
  set +e
  # The scratch directory comes first: libFuzzer writes new inputs there.
  (cd "$ACHADOS/$alvo" && "$RAIZ/build-fuzz/tests/fuzz/$alvo" -max_total_time="$SEGUNDOS" -print_final_stats=1 \
     -artifact_prefix="$artefatos" -timeout=10 -rss_limit_mb=2048 "${dicionario[@]}" "$novos" "$semente") >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | tail -2 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  if [ $rc -ne 0 ]; then
    falhas=$((falhas + 1))
    echo "!! $alvo FAILED (exit $rc); log: $log"
    grep -E 'check failed|ERROR: |SUMMARY: |runtime error' "$log" | head -5 || true
    ls "$artefatos"
  else
    echo "   ok: $(find "$novos" -type f | wc -l) new inputs in the scratch corpus"
  fi
done
echo
if [ $falhas -ne 0 ]; then
  echo "$falhas target(s) failed. Minimise with: build-fuzz/tests/fuzz/TARGET -minimize_crash=1 -runs=10000 FILE"
  echo "then copy the input into tests/fuzz/corpus/TARGET/ so the replay test keeps it."
  exit 1
fi
echo "all targets ran ${SEGUNDOS}s without a fault"
