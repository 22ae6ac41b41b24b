#!/usr/bin/env bash
# One sale through the whole system; see demo.sh.
set -euo pipefail
RAIZ=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$RAIZ/build
MANUAL=0
[ "${1:-}" = "--manual" ] && MANUAL=1
SAIDA=$RAIZ/out
mkdir -p "$SAIDA"
AREA=$(mktemp -d /tmp/tef-demo-XXXXXX)
export XDG_RUNTIME_DIR=$AREA/run; mkdir -m 700 -p "$XDG_RUNTIME_DIR"
export TEF_REGISTRO=$AREA/registro.reg      # a private store: the machine's own stays untouched
export TEF_LPT1=$AREA/impressora.txt
export TEF_PRODUCAO=http://127.0.0.1:9       # no profile downloads in the demo
PIDS=()
fim() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$AREA"; }
trap fim EXIT

echo "== installing the manager into $AREA/tef"
cmake --install "$BUILD" --prefix "$AREA/tef" >/dev/null

# A tray host for the icon, when the display has none (a bare Xvfb).
if command -v trayer >/dev/null && ! xdotool search --class 'trayer' >/dev/null 2>&1; then
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 & PIDS+=($!)
fi

echo "== starting the reference web system on loopback"
ARGS=(--porta 0 --sem-https --loja 1 --login operador --senha 1234 --log "$AREA/web.log")
[ $MANUAL -eq 0 ] && ARGS+=(--auto aprovar --atraso 4000)
mkfifo "$AREA/web.fifo"
"$BUILD/tools/websistema/tef-websistema" "${ARGS[@]}" >"$AREA/web.fifo" 2>"$AREA/web.err" & PIDS+=($!)
exec 7<"$AREA/web.fifo"
read -r -t 30 LINHA <&7
URL="http://${LINHA#HTTP }/"
echo "   $URL"

echo "== writing the configuration (store 1, operador / 1234) into $TEF_REGISTRO"
cifra() { perl -pe 's/(.)/chr((ord($1) - 13) % 256)/ges'; }
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n"Url"="%s"\r\n"Lojcodigo"=dword:00000001\r\n"Usulogin"="%s"\r\n"Ususenha"="%s"\r\n\r\n' \
  "$URL" "$(printf operador | cifra)" "$(printf 1234 | cifra)" > "$TEF_REGISTRO"

echo "== starting the manager"
QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --disable-background-networking $( [ "$(id -u)" = 0 ] && echo --no-sandbox)" \
  "$AREA/tef/TefOrvex" >"$AREA/gerente.log" 2>&1 & PIDS+=($!)
for _ in $(seq 600); do [ -e "$AREA/tef/resp/Ativo.001" ] && break; sleep 0.1; done
[ -e "$AREA/tef/resp/Ativo.001" ] || { echo "the manager did not start"; cat "$AREA/gerente.log"; exit 1; }
sleep 2.5   # the window shows for two seconds at start, then goes to the tray

echo "== sending a sale of R\$ 10,00 (tef-comercial crt --valor 1000)"
"$AREA/tef/tef-comercial" --dir "$AREA/tef" crt --valor 1000 --documento 123456 --cpf 12345678909 &
COMERCIAL=$!
if [ $MANUAL -eq 0 ]; then
  for _ in $(seq 600); do grep -q '/modtef.php' "$AREA/web.log" 2>/dev/null && break; sleep 0.1; done
  sleep 2.5   # let the page render before the picture; it approves itself after 4 s
  import -window root "$SAIDA/venda.png" && echo "== screenshot: $SAIDA/venda.png"
else
  echo "   (manual mode: complete the sale in the window)"
fi
set +e
wait $COMERCIAL
RC=$?
set -e
echo "== tef-comercial ended with exit code $RC"
exit $RC
