# Shared helpers of the end-to-end tests: an installed manager in a private
# directory, a headless display with a tray host, and bounded waits on real
# events (files, windows, processes).
set -euo pipefail

BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build directory}
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TESTES=0

# Re-runs the calling script inside a fresh Xvfb display with a tray host.
no_display() {
  if [ -z "${TEF_E2E_DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" env TEF_E2E_DISPLAY=1 bash "$0" "$@"
  fi
}

falha() {
  echo "FAIL: $*" >&2
  if [ -n "${GERENTE_DIR:-}" ]; then
    [ -f "$GERENTE_DIR/LogErro.txt" ] && { echo "--- LogErro.txt" >&2; cat "$GERENTE_DIR/LogErro.txt" >&2; }
    echo "--- req/ and resp/" >&2; ls -la --time-style=+%T.%N "$GERENTE_DIR/req" "$GERENTE_DIR/resp" >&2 2>/dev/null || true
  fi
  [ -f "${AREA:-}/gerente.out" ] && { echo "--- the manager's output (end)" >&2; tail -20 "$AREA/gerente.out" >&2; }
  exit 1
}
ok() { TESTES=$((TESTES + 1)); echo "ok $TESTES - $*"; }
confere() { # confere DESCRIPTION EXPECTED ACTUAL
  [ "$2" = "$3" ] || falha "$1: expected [$2], got [$3]"
}

# espera_ate SECONDS COMMAND...: polls the condition every 50 ms until it
# holds; fails when the bound passes. The bound only limits a hang.
espera_ate() {
  local limite=$1; shift
  local fim=$(( $(date +%s%N) + limite * 1000000000 ))
  until "$@"; do
    [ "$(date +%s%N)" -lt "$fim" ] || return 1
    sleep 0.05
  done
}

prepara_area() {
  AREA=$(mktemp -d /tmp/tef-e2e-XXXXXX)
  export XDG_RUNTIME_DIR=$AREA/run
  mkdir -m 700 -p "$XDG_RUNTIME_DIR"
  export TEF_REGISTRO=$AREA/registro.reg
  export TEF_LPT1=$AREA/lpt1.txt
  export TEF_PRODUCAO=http://127.0.0.1:9    # nothing listens there: downloads fail fast
  export QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu --disable-background-networking --disable-component-update"
  trap encerra EXIT
}

encerra() {
  local rc=$?
  [ -n "${PID_GERENTE:-}" ] && kill -9 "$PID_GERENTE" 2>/dev/null || true
  [ -n "${PID_WEB:-}" ] && kill "$PID_WEB" 2>/dev/null || true
  [ -n "${PID_TRAY:-}" ] && kill "$PID_TRAY" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ $rc -eq 0 ]; then rm -rf "$AREA"; else echo "(kept $AREA)" >&2; fi
  exit $rc
}

# The usual start of a test: a private area, a tray host, and the manager
# installed in $INST (also GERENTE_DIR).
prepara_instalacao() {
  prepara_area
  inicia_bandeja
  INST=$AREA/inst
  instala "$INST"
  GERENTE_DIR=$INST
}

# instala DIR: the installation layout the project ships.
instala() {
  cmake --install "$BUILD_DIR" --prefix "$1" >/dev/null
}

# descendentes PID: every process below it (the browser's zygotes,
# renderers, GPU and utility processes below the manager).
descendentes() {
  ps -e -o pid=,ppid= | awk -v raiz="$1" '
    { pai[$1] = $2 }
    END { for (p in pai) { q = pai[p]; while (q in pai && q != raiz) q = pai[q]; if (q == raiz) print p } }'
}

inicia_bandeja() {
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  PID_TRAY=$!
  xdotool search --sync --class trayer >/dev/null
}

# A configuration key for the installation, as the parameters dialog writes it.
grava_registro() { # url loja login senha (login and password in plain text)
  local login senha
  login=$(printf '%s' "$3" | cifra)
  senha=$(printf '%s' "$4" | cifra)
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n'
    printf '"Url"="%s"\r\n' "$1"
    printf '"Lojcodigo"=dword:%08x\r\n' "$2"
    printf '"Usulogin"="%s"\r\n' "$login"
    printf '"Ususenha"="%s"\r\n\r\n' "$senha"
  } > "$TEF_REGISTRO"
}

# The stored form of the credentials: every byte minus 13.
cifra() { perl -pe 's/(.)/chr((ord($1) - 13) % 256)/ges'; }

# inicia_gerente DIR [ARGS]: starts the installed manager in the background.
inicia_gerente() {
  GERENTE_DIR=$1; shift
  "$GERENTE_DIR/TefOrvex" "$@" >"$AREA/gerente.out" 2>&1 &
  PID_GERENTE=$!
}

# gerente_pronto: the manager just started has written "Ativo.001" and sits
# in the tray, ready for a request.
gerente_pronto() {
  espera_ate 60 existe "$GERENTE_DIR/resp/Ativo.001" || falha "the manager did not start"
  espera_ate 30 bandeja_visivel || falha "the manager did not reach the tray"
}

processo_terminou() { ! kill -0 "$1" 2>/dev/null; }
existe() { [ -e "$1" ]; }
nao_existe() { [ ! -e "$1" ]; }

# The manager's windows, told apart by size: the main window (772x533), the
# tray icon (small) and the tray menu (anything else while no box is open).
janelas_tef() {
  local w
  for w in $(xdotool search --onlyvisible --classname '^TefOrvex' 2>/dev/null || true); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null)" || continue
    echo "$w $X $Y $WIDTH $HEIGHT"
  done
}
janela_principal() { janelas_tef | awk '$4 == 772 && $5 == 533 {print; exit}'; }
janela_principal_visivel() { [ -n "$(janela_principal)" ]; }
janela_principal_oculta() { [ -z "$(janela_principal)" ]; }
icone_bandeja() { janelas_tef | awk '$4 <= 48 && $5 <= 48 {print int($2 + $4 / 2), int($3 + $5 / 2); exit}'; }
bandeja_visivel() { [ -n "$(icone_bandeja)" ]; }
bandeja_oculta() { [ -z "$(icone_bandeja)" ]; }
menu_aberto() { janelas_tef | awk '!($4 == 772 && $5 == 533) && !($4 <= 48 && $5 <= 48)' | grep -q .; }
janela_titulo_visivel() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }

clica_bandeja() { # button
  local pos
  pos=$(icone_bandeja)
  [ -n "$pos" ] || falha "no tray icon"
  # shellcheck disable=SC2086
  xdotool mousemove $pos click "$1"
}

# menu_bandeja KEYS...: opens the tray menu with a right click and types the keys.
menu_bandeja() {
  clica_bandeja 3
  espera_ate 10 menu_aberto || falha "the tray menu did not open"
  xdotool key "$@"
}

foto() { import -window root "$1"; }

# fecha_caixa TITLE: a message box with that title appears; Enter presses its
# only button.
fecha_caixa() {
  local w
  w=$(timeout 30 xdotool search --sync --onlyvisible --name "^$1\$" | head -1) || falha "no \"$1\" box appeared"
  xdotool windowfocus --sync "$w" key Return
}

# area_acima MEASURE LIMIT x y w h: takes a screenshot and tells whether the
# area's MEASURE (mean or standard_deviation of its grey levels, or "red":
# the fraction of plainly red pixels) is above LIMIT. MEDIDA keeps the value.
area_acima() {
  local medida=$1 limite=$2 x=$3 y=$4 l=$5 a=$6 arq=$AREA/tela.png
  foto "$arq"
  if [ "$medida" = red ]; then
    MEDIDA=$(convert "$arq" -crop "${l}x${a}+${x}+${y}" +repage \
      -fx '(r > 0.75 && g < 0.3 && b < 0.3) ? 1 : 0' -format '%[fx:mean]' info:)
  else
    MEDIDA=$(convert "$arq" -crop "${l}x${a}+${x}+${y}" +repage -colorspace gray -format "%[fx:$medida]" info:)
  fi
  awk -v v="$MEDIDA" -v l="$limite" 'BEGIN { exit !(v > l) }'
}

termina_com() { # 'message' pid seconds
  espera_ate "$3" processo_terminou "$2" || falha "$1"
  wait "$2" 2>/dev/null || true
}

# inicia_web ARGS...: the reference web system on a free loopback port;
# WEB_URL gets its base address. Requests are logged to $AREA/web.log.
inicia_web() {
  local fifo=$AREA/web.fifo linha
  rm -f "$fifo"; mkfifo "$fifo"
  "$BUILD_DIR/tools/websistema/tef-websistema" --porta 0 --sem-https --log "$AREA/web.log" "$@" >"$fifo" 2>"$AREA/web.err" &
  PID_WEB=$!
  exec 7<"$fifo"
  read -r -t 30 linha <&7 || falha "the web system did not start: $(cat "$AREA/web.err")"
  WEB_URL="http://${linha#HTTP }/"
}
para_web() {
  [ -n "${PID_WEB:-}" ] || return 0
  kill "$PID_WEB" 2>/dev/null || true
  wait "$PID_WEB" 2>/dev/null || true
  exec 7<&- || true
  PID_WEB=
}

# Requests for the transaction page that reached the web system.
paginas_pedidas() { grep -c '"caminho":"/modtef.php"' "$AREA/web.log" 2>/dev/null || true; }
pagina_pedida() { [ "$(paginas_pedidas)" -ge "${1:-1}" ]; }
# The browser has the last page loaded: the page tells the web system, which
# logs it after the page's request.
pagina_carregada() { awk '/"caminho":"\/modtef.php"/ { p = 1; i = 0 } /"caminho":"\/(homol\/|release\/)?carregada.php"/ && p { i = 1 } END { exit !i }' "${1:-$AREA/web.log}" 2>/dev/null; }

# comercial ARGS...: the command-line commercial application against the
# installation; sets RC and leaves its output in $AREA/comercial.out.
comercial() {
  set +e
  "$GERENTE_DIR/tef-comercial" --dir "$GERENTE_DIR" "$@" >"$AREA/comercial.out" 2>&1
  RC=$?
  set -e
}
campo() { # file field: the value of the field's first line
  LC_ALL=C sed -n "s/^$2 = \\(.*\\)\\r\$/\\1/p" "$1" | head -1
}

# The text the last page served would write into its channel for a button
# (aprovar, recusar, cancelar), as the web system logged it.
resultado_da_pagina() { # button
  python3 - "$AREA/web.log" "$1" <<'PY'
import json, sys
paginas = [json.loads(l)["pagina"] for l in open(sys.argv[1], encoding="utf-8") if l.startswith('{"pagina"')]
sys.stdout.write(paginas[-1]["resultados"][sys.argv[2]])
PY
}

# The printer's bytes for a page's receipt text (UTF-8 on stdin): every item
# in Windows-1252 followed by CR LF; a separator at the very end adds no item.
cupom_em_bytes() {
  python3 -c '
import sys
itens = sys.stdin.read().split("\u00a7")
if itens and itens[-1] == "": itens.pop()
sys.stdout.buffer.write(b"".join(i.encode("cp1252") + b"\r\n" for i in itens))
'
}
