#!/usr/bin/env bash
# A commercial application that gives up waiting and sends a new sale while
# the first sale's page is shown, with the real browser: the first request is
# answered as cancelled at once, and the first page's approval, handed over
# while the browser still waits for the second page, answers nothing.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
R001=$INST/resp/intpos.001

python3 "$E2E_DIR/pagina_lenta.py" "$AREA/porta" 2>"$AREA/pagina.err" &
PID_WEB=$!
espera_ate 30 test -s "$AREA/porta" || falha "the slow web system did not start: $(cat "$AREA/pagina.err")"
WEB_URL="http://127.0.0.1:$(cat "$AREA/porta")/"
grava_registro "$WEB_URL" 7 operador 1234
inicia_gerente "$INST"
gerente_pronto

comercial crt --valor 1000 --id 601 --documento 1 --espera-resp 0
confere "first sale acknowledged" 3 "$RC"
espera_ate 30 janela_principal_visivel || falha "no window for the first sale"
comercial crt --valor 2500 --id 602 --documento 2 --espera-resp 0
confere "second sale acknowledged" 3 "$RC"
confere "the first request answered as cancelled" "601|1|1000|TEF Marel Raruveda foi cancelado" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 002-000)|$(campo "$R001" 003-000)|$(campo "$R001" 030-000)"
ok "the first request is released at once with its own cancellation"

# The first page approves while the second is held: that result is logged,
# never written.
tem_descarte() { LC_ALL=C grep -q "Result of the page of an earlier screen.*PAGINA A" "$INST/LogErro.txt" 2>/dev/null; }
espera_ate 30 tem_descarte || falha "the first page's late approval was not set aside"
confere "what resp/ holds meanwhile" "601|TEF Marel Raruveda foi cancelado" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 030-000)"
ok "the first page's late result is logged and answers nothing"

rm -f "$R001"
curl -fsS "${WEB_URL}libera" >/dev/null || python3 -c "import urllib.request,sys; urllib.request.urlopen(sys.argv[1]).read()" "${WEB_URL}libera"
espera_ate 60 existe "$R001" || falha "the second sale was not answered"
confere "the second sale answered by its own page" "602|2|2500|0|PAGINA B" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 002-000)|$(campo "$R001" 003-000)|$(campo "$R001" 009-000)|$(campo "$R001" 030-000)"
espera_ate 30 bandeja_visivel || falha "the window did not return to the tray"
ok "the second sale is answered by its own page, with its own amount"

kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
echo "$TESTES passed, 0 failed"
