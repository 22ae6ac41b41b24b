#!/usr/bin/env bash
# The sale after a rest in the tray, several times. Thirty seconds after the
# window goes back the pages are discarded, so a sale after REST_SECONDS (40)
# starts the web system's page process again; one sample, as venda.sh takes
# after its long rest, is a single draw of the two 500 ms polls. Here: one
# sale that starts the engine, WARM (10) sales in a row for the median, then
# SALES (8) sales each after its rest, at random phases of the polling.
#
#   bench/repouso.sh [SALES] [REST_SECONDS]
#
# BUILD_DIR names the build whose installation is measured.
set -euo pipefail
RAIZ=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$RAIZ/build}
source "$RAIZ/tests/e2e/comum.sh"
source "$RAIZ/bench/vendas.sh"
no_display "$@"
VENDAS=${1:-8}
REPOUSO=${2:-40}
QUENTES=${WARM:-10}
[[ "$VENDAS" =~ ^[1-9][0-9]*$ && "$REPOUSO" =~ ^[1-9][0-9]*$ && "$QUENTES" =~ ^[1-9][0-9]*$ ]] ||
  { echo "use: [WARM=N] $0 [SALES] [REST_SECONDS]" >&2; exit 2; }

prepara_instalacao
unset QTWEBENGINE_CHROMIUM_FLAGS   # the manager's own browser settings
inicia_web --auto aprovar --atraso 0
grava_registro "$WEB_URL" 1 operador 1234
inicia_gerente "$INST"
gerente_pronto

venda 1 >/dev/null || falha "first sale"
apos_venda
QUENTE=()
for ((i = 1; i <= QUENTES; i++)); do
  fase_aleatoria
  t=$(venda $((i + 1))) || falha "sale $i: $t"
  QUENTE+=("$t")
  apos_venda
done
APOS=()
for ((i = 1; i <= VENDAS; i++)); do
  sleep "$REPOUSO"   # the rest being measured: the pages are discarded in it
  fase_aleatoria
  t=$(venda $((QUENTES + i + 1))) || falha "sale after rest $i: $t"
  APOS+=("$t")
  apos_venda
done
M=$(printf '%s\n' "${QUENTE[@]}" | mediana)
A=$(printf '%s\n' "${APOS[@]}" | mediana)
echo "sales in a row ($QUENTES): median $M ms   (${QUENTE[*]})"
echo "sales after $REPOUSO s in the tray ($VENDAS): median $A ms   (${APOS[*]})"
awk -v a="$A" -v m="$M" 'BEGIN {
  printf "  after a rest: %+d ms from the median of sales in a row (target: within 150 ms, %s)\n",
    a - m, (a - m <= 150 ? "met" : "NOT met") }'
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
