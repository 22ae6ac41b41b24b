#!/usr/bin/env bash
# Long run of the installed manager under Xvfb with a tray host, against the
# reference web system approving every sale at once: N requests in a row, and
# every INTERVALO requests the manager's open file descriptors and the
# proportional memory (PSS) of the manager, of its browser processes and of
# both together, and the anonymous part of it (see memoria), with the same
# figures by kind of process on a line below (bench/memoria.sh: the manager
# and every process below it, however many). Memory that keeps growing here
# grows on a shop's till all day.
#
#   bench/soak.sh [N] [venda|atv] [INTERVALO]
#
# N (2000) requests; "venda" sends sales (CRT), "atv" only requests the manager
# acknowledges without showing the page; INTERVALO (200) requests between
# reports. BUILD_DIR names the build whose installation is measured; SETTLE
# (40) seconds in the tray after the last sale before the memory at rest.
set -euo pipefail
RAIZ=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$RAIZ/build}
source "$RAIZ/tests/e2e/comum.sh"
source "$RAIZ/bench/memoria.sh"
no_display "$@"
N=${1:-2000}
TIPO=${2:-venda}
INTERVALO=${3:-200}
[[ "$N" =~ ^[0-9]+$ && "$INTERVALO" =~ ^[1-9][0-9]*$ ]] || { echo "use: $0 [N] [venda|atv] [INTERVALO]" >&2; exit 2; }
[ "$TIPO" = venda ] || [ "$TIPO" = atv ] || { echo "kind: venda or atv" >&2; exit 2; }

prepara_instalacao
# The manager's own browser settings, as a till runs it: the tests' own
# settings are chosen for speed.
unset QTWEBENGINE_CHROMIUM_FLAGS
inicia_web --auto aprovar --atraso "${ATRASO:-0}"
grava_registro "$WEB_URL" 1 operador 1234
inicia_gerente "$INST"
gerente_pronto
REQ=$INST/req RESP=$INST/resp

# kB of one process from its smaps_rollup: "pss" (its share of every page it
# maps) or "anon" (its share of the anonymous and shared-memory pages: heap,
# the browser's own buffers; no program code). PSS and the private sizes move
# whenever other programs map or stop mapping the same libraries (other
# managers started by tests on this machine): the growth is read on "anon".
memoria() { # pid pss|anon
  awk -v q="$2" '
    q == "pss" && /^Pss:/ { v = $2 }
    q == "anon" && /^Pss_(Anon|Shmem):/ { v += $2 }
    END { print v + 0 }' /proc/"$1"/smaps_rollup 2>/dev/null || echo 0
}
# kB of the manager's C heap actually in use (glibc's malloc_stats, called
# through gdb, which stops the manager for a moment; "-" without gdb). Memory
# freed but kept by the allocator does not count: this is what leaks.
heap_em_uso() {
  command -v gdb >/dev/null || { echo -; return; }
  local antes
  antes=$(grep -c '^Total' "$AREA/gerente.out" || true)
  timeout 60 gdb -p "$PID_GERENTE" -batch -ex 'call (void)malloc_stats()' >/dev/null 2>&1 || true
  # Only a report written now counts.
  awk -v antes="$antes" '/^Total/ { n++; t = n > antes } t && /in use bytes/ { v = int($5 / 1024); t = 0 }
    END { print (v == "" ? "-" : v) }' "$AREA/gerente.out"
}
mede() { # requests done
  local fds g ga n=0 nav=0 nava=0 p h
  fds=$(ls /proc/"$PID_GERENTE"/fd | wc -l)
  g=$(memoria "$PID_GERENTE" pss); ga=$(memoria "$PID_GERENTE" anon)
  for p in $(descendentes "$PID_GERENTE"); do
    nav=$((nav + $(memoria "$p" pss))); nava=$((nava + $(memoria "$p" anon))); n=$((n + 1))
  done
  h=$(heap_em_uso)
  printf '%8d %5d %11d %11d %11d %11d %11d %11s %5d\n' "$1" "$fds" "$g" "$nav" $((g + nav)) "$ga" $((ga + nava)) "$h" "$n"
  memoria_arvore "$PID_GERENTE" | awk '{ printf "%s %s x%d pss %d anon %d", (NR == 1 ? "        " : ";"), $1, $2, $3, $4 }
    END { printf "\n" }'
  ULTIMO=($((g + nav)) "$g" $((ga + nava)) "$ga" "$h")
}

# One request as the commercial application writes it: complete under another
# name, then renamed into place.
envia() { # command id
  local linhas="000-000 = $1\r\n001-000 = $2\r\n"
  [ "$1" = CRT ] && linhas+="002-000 = $2\r\n003-000 = 1000\r\n"
  printf '%b' "${linhas}999-999 = 0\r\n" > "$REQ/pedido.tmp"
  mv "$REQ/pedido.tmp" "$REQ/intpos.001"
}
espera_arquivo() { # file: waits for it (bounded) and removes it
  espera_ate 60 existe "$1" || falha "no $(basename "$1") for request $i"
  rm -f "$1"
}

printf 'kind %s, %d requests; memory in kB\n' "$TIPO" "$N"
printf '%8s %5s %11s %11s %11s %11s %11s %11s %5s\n' requests fds pss_manager pss_browser pss_total anon_manager anon_total heap_in_use procs
mede 0
BASE_I=
for ((i = 1; i <= N; i++)); do
  if [ "$TIPO" = venda ]; then
    envia CRT "$i"
    espera_arquivo "$RESP/intpos.001"
    rm -f "$RESP/intpos.sts"
    # The window goes back to the tray about 1 s after the answer; the next
    # sale waits for it so that the run measures the manager, not that gap.
    espera_ate 30 bandeja_visivel || falha "the window did not return to the tray after request $i"
  else
    envia ATV "$i"
    espera_arquivo "$RESP/intpos.sts"
  fi
  if ((i % INTERVALO == 0 || i == N)); then
    mede "$i"
    # The first report is the warm-up: the browser's processes and caches exist by then.
    if [ -z "$BASE_I" ]; then BASE_I=$i BASE=("${ULTIMO[@]}"); fi
  fi
done
if [ -n "$BASE_I" ] && ((N > BASE_I)); then
  cresce() { # label, kB before, kB after
    awk -v r="$1" -v a="$2" -v d="$3" -v n=$((N - BASE_I)) 'BEGIN {
      g = (d - a) / 1024 * 1000 / n
      printf "  %-12s %+8.1f MB  (%+.1f MB per 1000 requests%s)\n", r, (d - a) / 1024, g,
        r == "PSS total" ? sprintf("; target: below 2 MB, %s", g < 2 ? "met" : "NOT met") : "" }'
  }
  echo "growth from request $BASE_I to $N:"
  cresce "PSS total" "${BASE[0]}" "${ULTIMO[0]}"
  cresce "PSS manager" "${BASE[1]}" "${ULTIMO[1]}"
  cresce "anon total" "${BASE[2]}" "${ULTIMO[2]}"
  cresce "anon manager" "${BASE[3]}" "${ULTIMO[3]}"
  [ "${BASE[4]}" != - ] && [ "${ULTIMO[4]}" != - ] && cresce "heap in use" "${BASE[4]}" "${ULTIMO[4]}"
fi
processo_terminou "$PID_GERENTE" && falha "the manager ended during the run"
if [ "$TIPO" = venda ]; then
  # At rest: the pages are discarded 30 s after the window went back.
  sleep "${SETTLE:-40}"
  relata_memoria "at rest in the tray after $N sales, ${SETTLE:-40} s after the last (the target holds after 100):" "$PID_GERENTE" 150
fi
[ -s "$INST/LogErro.txt" ] && { echo "--- LogErro.txt"; cat "$INST/LogErro.txt"; }
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
