#!/usr/bin/env bash
# Time from the start of the installed manager to "Ativo.001", under Xvfb,
# when the production host cannot be reached: a host name that does not
# resolve, a loopback port where nothing listens, and no network at all
# (a private network namespace). Five runs each; prints the median in ms.
# The display is already running (the script's own Xvfb starts first). Then
# one start under strace, to say where the time goes: the times are inflated
# by the tracing, their order and proportions are what count. The browser
# engine is not started here: it starts with the first request.
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

# ---- where the time goes --------------------------------------------------------------
command -v strace >/dev/null || { echo "(no strace: no breakdown)"; exit 0; }
rm -f "$INST/resp/Ativo.001"
TRACO=$AREA/inicio.strace
strace -f -ttt -e trace=execve,openat,mkdir,rename,renameat,renameat2,newfstatat,statx,access,faccessat2,connect -o "$TRACO" env TEF_PRODUCAO=https://127.0.0.1:9 "$INST/TefOrvex" >/dev/null 2>&1 &
PID_TRACO=$!
espera_ate 120 existe "$INST/resp/Ativo.001" || falha "traced start: no Ativo.001"
for p in $(descendentes "$PID_TRACO") "$PID_TRACO"; do kill -9 "$p" 2>/dev/null || true; done
wait "$PID_TRACO" 2>/dev/null || true
awk -v inst="$INST" '
  function marca(rotulo) { if (!(rotulo in t)) { t[rotulo] = $2; ordem[++n] = rotulo } }
  $3 ~ /^execve\(/ && index($0, "/TefOrvex\"") && !inicio { inicio = $2 }
  !inicio { next }
  /^[0-9]+ [0-9.]+ openat\(.*libQt6WebEngineCore/ { marca("the engine library opened (loading before main)") }
  /openat\(.*libQt6Widgets/ { marca("Qt Widgets opened") }
  /mozembed\/xulrunner/ { marca("runtime check (mozembed/xulrunner looked at)") }
  /connect\(.*127\.0\.0\.1.*htons\(9\)/ { marca("production host tried") }
  /registro\.reg/ { marca("configuration store read") }
  /connect\(.*X11-unix/ { marca("display connected (the toolkit starting)") }
  /(openat|mkdir)\(.*Profiles\/default/ { marca("profile directory used (the cache cleared)") }
  /execve\(.*QtWebEngineProcess/ { marca("a browser process started (it should not: the engine waits for the first request)") }
  /resp\/Ativo\.001/ && !/ENOENT/ { marca("Ativo.001 written") }
  END {
    print "where the time goes (one start under strace, ms from the exec of TefOrvex):"
    for (i = 1; i <= n; i++) printf "  %7.0f ms  %s\n", (t[ordem[i]] - inicio) * 1000, ordem[i]
  }' "$TRACO"
