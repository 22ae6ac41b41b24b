#!/usr/bin/env bash
# Screenshots of the desktop program under Xvfb, for a person to look at:
# the main window at start (status panel over the idle page), during a sale,
# the tray menu, and the parameters dialog with and without its address field.
# Writes them to out/capturas/. Needs a build (scripts/build.sh).
set -euo pipefail
RAIZ=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$RAIZ/build}
source "$RAIZ/tests/e2e/comum.sh"
no_display "$@"
prepara_area
SAIDA=$RAIZ/out/capturas
mkdir -p "$SAIDA"
inicia_bandeja
INST=$AREA/inst
instala "$INST"
GERENTE_DIR=$INST
inicia_web --loja 1 --login operador --senha 1234
grava_registro "$WEB_URL" 1 operador 1234

recorta() { # file window-line margin
  local w x y l a m=$3
  read -r w x y l a <<< "$2"
  convert "$1" -crop "$((l + 2 * m))x$((a + 2 * m))+$((x - m))+$((y - m))" +repage "$1"
}

# The main window at start.
inicia_gerente "$INST"
espera_ate 60 janela_principal_visivel || falha "no main window"
sleep 0.7   # mapped is not yet painted
foto "$SAIDA/janela-inicio.png"
recorta "$SAIDA/janela-inicio.png" "$(janela_principal)" 0
espera_ate 30 bandeja_visivel || falha "no tray icon"

# The tray menu.
clica_bandeja 3
espera_ate 10 menu_aberto || falha "no tray menu"
foto "$SAIDA/menu-bandeja.png"
convert "$SAIDA/menu-bandeja.png" -crop 320x200+960+0 +repage "$SAIDA/menu-bandeja.png"
xdotool key Escape

# A sale in the page (the web system waits for a click).
comercial crt --valor 1000 --documento 123456 --cpf 12345678909 --espera-resp 0
espera_ate 60 pagina_pedida || falha "the page was not requested"
espera_ate 30 janela_principal_visivel || falha "no window for the sale"
sleep 2   # rendering has no event to wait on from outside; this is a picture, not a test
foto "$SAIDA/janela-venda.png"
recorta "$SAIDA/janela-venda.png" "$(janela_principal)" 0
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20

# The parameters dialog, opened at start by /CONFIG; then Ctrl+U.
inicia_gerente "$INST" /CONFIG
D=$(timeout 60 xdotool search --sync --onlyvisible --name '^\[ Parametrização \]$' | head -1) || falha "no dialog"
eval "$(xdotool getwindowgeometry --shell "$D")"
sleep 0.5
foto "$SAIDA/dialogo-parametros.png"
recorta "$SAIDA/dialogo-parametros.png" "$D $X $Y $WIDTH $HEIGHT" 0
xdotool key ctrl+u
sleep 0.5
foto "$SAIDA/dialogo-parametros-url.png"
recorta "$SAIDA/dialogo-parametros-url.png" "$D $X $Y $WIDTH $HEIGHT" 0
kill -TERM "$PID_GERENTE" 2>/dev/null || true
ls -1 "$SAIDA"
