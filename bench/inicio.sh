#!/usr/bin/env bash
# Time from the start of the installed manager to "Ativo.001", under Xvfb,
# when the production host cannot be reached: a host name that does not
# resolve, a loopback port where nothing listens, and no network at all
# (a private network namespace). Five runs each; prints the median in ms.
set -euo pipefail
RAIZ=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$RAIZ/build}
source "$RAIZ/tests/e2e/comum.sh"
no_display "$@"
prepara_area
INST=$AREA/inst
instala "$INST"
grava_registro "http://127.0.0.1:9/" 1 operador 1234
mede() { # label, then the command prefix
  local rotulo=$1; shift
  local tempos=()
  for _ in 1 2 3 4 5; do
    rm -f "$INST/resp/Ativo.001"
    local t0; t0=$(date +%s%N)
    "$@" "$INST/TefOrvex" >/dev/null 2>&1 &
    local pid=$!
    espera_ate 120 existe "$INST/resp/Ativo.001" || falha "$rotulo: no Ativo.001"
    tempos+=($(( ($(date +%s%N) - t0) / 1000000 )))
    kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  done
  printf '%-40s median %5d ms  (runs: %s)\n' "$rotulo" \
    "$(printf '%s\n' "${tempos[@]}" | sort -n | sed -n 3p)" "${tempos[*]}"
}
mede "host name that does not resolve" env TEF_PRODUCAO=https://tef.host-que-nao-existe.invalid
mede "loopback port with nothing listening" env TEF_PRODUCAO=https://127.0.0.1:9
if unshare -n true 2>/dev/null; then
  mede "no network at all (own namespace)" unshare -n env TEF_PRODUCAO=https://tef.orvexpay.com.br
fi
