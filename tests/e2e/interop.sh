#!/usr/bin/env bash
# Commercial applications written for Windows against the installed manager,
# the real browser and the reference web system: see tests/interop/clientes.py.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
CLIENTES=$E2E_DIR/../interop/clientes.py
CONFIRMACAO=$E2E_DIR/../interop/confirmacao.py
export PYTHONDONTWRITEBYTECODE=1
inicia_web --loja 1 --login operador --senha 1234 --auto aprovar --atraso 300
grava_registro "$WEB_URL" 1 operador 1234
mkdir -p "$INST/req" "$INST/resp"

python3 "$CLIENTES" sem-gerente "$INST" || falha "a client sent without a manager"
inicia_gerente "$INST"
python3 "$CLIENTES" com-gerente "$INST" || falha "interoperability"
# Clients that confirm what they were answered; the web system's /controle
# shapes each answer they get.
python3 "$CONFIRMACAO" "$INST" "$WEB_URL" || falha "confirming clients"

kill -TERM "$PID_GERENTE"; termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20
nao_existe "$INST/resp/Ativo.001" || falha "Ativo.001 left after SIGTERM"
[ -z "$(find "$INST/resp" -maxdepth 1 -iname 'ativo.001')" ] || falha "the marker left under another name: $(ls -a "$INST/resp")"
ok "SIGTERM removes the marker under both names"

# A point-of-sale agent written for Windows, which reads "IntPos.Sts" and
# "IntPos.001": the configuration names them for it.
grava_registro "$WEB_URL" 1 operador 1234
truncate -s -2 "$TEF_REGISTRO"   # into the same key: before its closing blank line
printf '"NomeConfirmacao"="IntPos.Sts"\r\n"NomeResposta"="IntPos.001"\r\n\r\n' >> "$TEF_REGISTRO"
inicia_gerente "$INST"
python3 "$CLIENTES" nomes-windows "$INST" || falha "the names of a Windows agent"
kill -TERM "$PID_GERENTE"; termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20

# ==== closing the loop with the web system: its confirmation address set ========================
PORTA_WEB=${WEB_URL#http://127.0.0.1:}; PORTA_WEB=${PORTA_WEB%/}
grava_registro "$WEB_URL" 1 operador 1234
truncate -s -2 "$TEF_REGISTRO"
printf '"UrlConfirmacao"="%sconfirmacao.php"\r\n\r\n' "$WEB_URL" >> "$TEF_REGISTRO"
inicia_gerente "$INST"
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start"
python3 "$CONFIRMACAO" fechamento "$INST" "$WEB_URL" || falha "closing the loop with the web system"

# estado ID: what the web system's register says of that request's newest page.
estado() {
  python3 - "${WEB_URL}transacoes" "$1" <<'PY'
import json, sys, urllib.request
abre = urllib.request.build_opener(urllib.request.ProxyHandler({})).open
todas = json.loads(abre(sys.argv[1], timeout=10).read().decode("utf-8")).values()
suas = sorted((t for t in todas if t.get("identificacao") == sys.argv[2]), key=lambda t: int(t["nsu"]))
print(suas[-1]["estado"] if suas else "")
PY
}
e_estado() { [ "$(estado "$1")" = "$2" ]; }
# carregada ID: the page of that request is loaded in the browser.
carregada() { grep '"caminho":"/modtef.php"' "$AREA/web.log" | tail -1 | grep -q "\"identificacao\":\"$1\"" && pagina_carregada; }
controle() { python3 -c "import sys, urllib.request as u; u.build_opener(u.ProxyHandler({})).open(sys.argv[1], timeout=10).read()" "${WEB_URL}controle$1"; }
venda_em_fundo() { # ID CENTS: a sale from the commercial application, waiting in the background
  "$INST/tef-comercial" --dir "$INST" crt --valor "$2" --id "$1" --manter >"$AREA/comercial-$1.out" 2>&1 &
  PID_COMERCIAL=$!
}
resultado_de() { # ID: exit status of the background sale; its answer in $AREA/comercial-ID.out
  termina_com "tef-comercial $1 got no answer: $(cat "$AREA/comercial-$1.out")" "$PID_COMERCIAL" 90
  set +e; wait "$PID_COMERCIAL"; RC=$?; set -e
}

# A sale approved at the web system, the manager killed before its page could
# hand the result over: the next start asks the web system and answers it as
# approved.
controle "?atraso_resultado=20000"
venda_em_fundo 7701 2700
espera_ate 30 e_estado 7701 aprovada || falha "the page did not approve sale 7701: $(estado 7701)"
kill -KILL "$PID_GERENTE"; wait "$PID_GERENTE" 2>/dev/null || true
controle ""
inicia_gerente "$INST"
resultado_de 7701
confere "exit of the sale approved before the crash (see $AREA/comercial-7701.out)" 0 "$RC"
confere "its answer" "7701|0|2700" "$(campo "$INST/resp/intpos.001" 001-000)|$(campo "$INST/resp/intpos.001" 009-000)|$(campo "$INST/resp/intpos.001" 003-000)"
rm -f "$INST/resp/intpos.001" "$INST/resp/intpos.sts"
ok "a sale whose page approved before a crash is answered as approved at the next start"

# The same with a stop: the stop itself asks the web system, and the sale is
# answered as approved before the manager ends.
controle "?atraso_resultado=20000"
venda_em_fundo 7706 2750
espera_ate 30 e_estado 7706 aprovada || falha "the page did not approve sale 7706: $(estado 7706)"
kill -TERM "$PID_GERENTE"; termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20
controle ""
resultado_de 7706
confere "exit of the sale approved before the stop (see $AREA/comercial-7706.out)" 0 "$RC"
confere "its answer" "7706|0|2750" "$(campo "$INST/resp/intpos.001" 001-000)|$(campo "$INST/resp/intpos.001" 009-000)|$(campo "$INST/resp/intpos.001" 003-000)"
rm -f "$INST/resp/intpos.001" "$INST/resp/intpos.sts"
inicia_gerente "$INST"
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start"
ok "a sale whose page approved at the web system before a stop is answered as approved by the stop"

# The web system is down when a CNF comes: it waits in the outbox across a
# restart of the manager, and goes once the web system is back.
venda_em_fundo 7702 2800
resultado_de 7702
confere "exit of sale 7702" 0 "$RC"
NSU=$(campo "$INST/resp/intpos.001" 012-000)
para_web
comercial cnf --id 7703 --campo012 "$NSU"
confere "exit of the CNF (acknowledged)" 3 "$RC"
nao_entregue() { grep -q "CNF 7703 (NSU $NSU) n.o entregue ao sistema web" "$AREA/gerente.out"; }
espera_ate 30 nao_entregue || falha "no journal line of the failed delivery: $(cat "$AREA/gerente.out")"
kill -TERM "$PID_GERENTE"; termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20
confere "messages waiting after the stop" 1 "$(ls "$INST/temp/confirmacoes" | wc -l)"
inicia_gerente "$INST"
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start"
inicia_web --porta "$PORTA_WEB" --loja 1 --login operador --senha 1234 --auto aprovar --atraso 3000
entregue() { grep -q '"caminho":"/confirmacao.php".*"001-000":"7703"' "$AREA/web.log"; }
espera_ate 60 entregue || falha "the CNF never reached the web system: $(tail -5 "$AREA/web.log")"
saida_vazia() { [ -z "$(ls -A "$INST/temp/confirmacoes" 2>/dev/null)" ]; }
espera_ate 10 saida_vazia || falha "the outbox is not empty: $(ls "$INST/temp/confirmacoes")"
grep -q "CNF 7703 (NSU $NSU) entregue ao sistema web" "$AREA/gerente.out" || falha "no journal line of the delivery"
ok "a CNF taken while the web system was down survives a restart and is delivered once it is back"

# A screen replaced while its page is still on screen (the next page is slow
# to come): the page's late approval is undone with an NCN.
venda_em_fundo 7704 2900
PID_A=$PID_COMERCIAL
espera_ate 30 carregada 7704 || falha "the page of sale 7704 did not load"
controle "?atraso_pagina=8000"
venda_em_fundo 7705 3000
PID_B=$PID_COMERCIAL
PID_COMERCIAL=$PID_A; resultado_de 7704
confere "exit of the replaced sale (cancelled for its commercial application)" 4 "$RC"
espera_ate 30 e_estado 7704 desfeita || falha "the late approval of 7704 was not undone: $(estado 7704)"
grep -q "foi aprovada depois de a tela ser substitu.da: desfeita com um NCN" "$AREA/gerente.out" || falha "no journal line of the undo"
controle ""
PID_COMERCIAL=$PID_B; resultado_de 7705
confere "exit of the sale that replaced it" 0 "$RC"
ok "a replaced screen's late approval is undone in the web system with an NCN"

kill -TERM "$PID_GERENTE"; termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20
echo "$TESTES passed, 0 failed"
