#!/usr/bin/env bash
# The manager without an operator (TefOrvex --servico), as the service runs
# it but without systemd: no display of its own to start with, starts that
# cannot go on, a stop and a kill -9 in the middle of a sale, the status
# report and the cleanup.
source "$(dirname "$0")/comum.sh"
prepara_area
INST=$AREA/inst
instala "$INST"
GERENTE_DIR=$INST
R001=$INST/resp/intpos.001

# servico [ARGS]: the manager as the unit starts it, with no display; no
# runtime directory, and a temporary directory of its own to look into.
TMP_GERENTE=$AREA/tmp
mkdir -p "$TMP_GERENTE"
servico() {
  env -u DISPLAY -u XAUTHORITY -u XDG_RUNTIME_DIR TMPDIR="$TMP_GERENTE" "$INST/TefOrvex" --servico "$@" \
    >"$AREA/gerente.out" 2>&1 &
  PID_GERENTE=$!
}
estado() { set +e; "$INST/TefOrvex" --estado >"$AREA/estado.out" 2>&1; ESTADO=$?; set -e; }
log_tem() { LC_ALL=C grep -q "$1" "$INST/LogErro.txt" 2>/dev/null; }

# ---- a command line not understood starts nothing; help and version need no display -----
rm -rf "$INST/resp" "$INST/req" "$INST/temp"
for opcao in -V --versao --estados "/CONFIG x"; do
  # shellcheck disable=SC2086
  set +e; env -u DISPLAY "$INST/TefOrvex" $opcao >"$AREA/opcao.out" 2>"$AREA/opcao.err"; RC=$?; set -e
  confere "$opcao: exit status" 2 "$RC"
  head -1 "$AREA/opcao.err" | grep -q "^TefOrvex: " || falha "$opcao: $(cat "$AREA/opcao.err")"
  grep -q "^Uso: TefOrvex " "$AREA/opcao.err" || falha "$opcao: no usage line: $(cat "$AREA/opcao.err")"
  [ ! -s "$AREA/opcao.out" ] || falha "$opcao: standard output: $(cat "$AREA/opcao.out")"
done
for d in resp req temp LogErro.txt; do nao_existe "$INST/$d" || falha "a refused command line created $d"; done
env -u DISPLAY "$INST/TefOrvex" --help | head -1 | grep -q "^Uso: TefOrvex" || falha "--help without a display"
env -u DISPLAY "$INST/TefOrvex" --version | grep -qx "TefOrvex [0-9.]*" || falha "--version without a display"
set +e; env -u DISPLAY "$INST/TefOrvex" >"$AREA/opcao.out" 2>&1; RC=$?; set -e
confere "a desktop start without a display" 8 "$RC"
grep -q "Sem tela: nem DISPLAY" "$AREA/opcao.out" || falha "no display: $(cat "$AREA/opcao.out")"
rm -f "$INST/LogErro.txt"
ok "unknown options refused with status 2 and the usage, nothing created; --help and --version without a display"

# ---- starts that cannot go on end at once, each with its own status ---------------
# Standard error (the journal) says it once, in UTF-8 and in Portuguese; the
# log keeps the technical report.
falha_inicio() { # description expected-status store-bytes (none: no store; mantem: as it is) text-in-the-log text-on-stderr
  rm -f "$INST/LogErro.txt"
  if [ "$3" != mantem ]; then
    rm -f "$TEF_REGISTRO"
    [ "$3" != none ] && printf '%b' "$3" > "$TEF_REGISTRO"
  fi
  servico
  termina_com "$1: the manager waits instead of ending" "$PID_GERENTE" 60 || true
  set +e; wait "$PID_GERENTE" 2>/dev/null; RC=$?; set -e
  PID_GERENTE=
  confere "$1: exit status" "$2" "$RC"
  log_tem "$4" || falha "$1: LogErro.txt does not say why: $(cat "$INST/LogErro.txt" 2>/dev/null)"
  iconv -f UTF-8 -t UTF-8 "$AREA/gerente.out" >/dev/null 2>&1 || falha "$1: standard error is not UTF-8: $(od -c "$AREA/gerente.out" | head)"
  confere "$1: the cause on standard error, once" 1 "$(grep -c "$5" "$AREA/gerente.out")"
  confere "$1: the start's failure on standard error, once" 1 "$(grep -c "não pôde ser iniciado" "$AREA/gerente.out")"
  ! grep -q "^Exception: \|^Message: " "$AREA/gerente.out" || falha "$1: the log's report on standard error: $(cat "$AREA/gerente.out")"
  nao_existe "$INST/resp/Ativo.001" || falha "$1: Ativo.001 left behind"
  # The display ends with the manager (a signal at its death): allow it the moment.
  sem_tela() { ! pgrep -f "Xvfb .*$AREA" >/dev/null; }
  espera_ate 5 sem_tela || falha "$1: its virtual display stayed"
}
CHAVE='REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n'
falha_inicio "no store" 5 none "O sistema n.o foi parametrizado" "O sistema não foi parametrizado"
falha_inicio "garbage in the store" 6 'lixo\r\n' "missing REGEDIT4 header" "tem um erro na linha 1: falta o cabeçalho REGEDIT4"
falha_inicio "no Lojcodigo" 7 "$CHAVE\"Url\"=\"http://x/\"\r\n" "Failed to get data for 'Lojcodigo'" \
  "O valor Lojcodigo (o código da loja) falta na configuração"
grep -q "Grave a configuração de novo com .*$INST/TefOrvex /CONFIG" "$AREA/gerente.out" || falha "no remedy: $(cat "$AREA/gerente.out")"
ok "starts that cannot go on: exit 5, 6, 7, the cause once on standard error (UTF-8, Portuguese) and in LogErro.txt, nothing left"

# An installation the manager cannot write: status 4 at once, naming the
# path, the user and the reason; no marker.
grava_registro "http://127.0.0.1:9/" 1 operador 1234
rm -rf "$INST/resp"
if mkdir "$INST/resp" && mount -t tmpfs -o ro,size=64k tmpfs "$INST/resp" 2>/dev/null; then
  trap 'rc=$?; umount -l "$INST/resp" 2>/dev/null; (exit $rc); encerra' EXIT
  ESPERADO="resp/ não pode ser gravado pelo usuário $(id -un): o sistema de arquivos está montado somente para leitura"
else
  rmdir "$INST/resp"; echo x > "$INST/resp"   # no mount here: a name taken by a file
  ESPERADO="resp/ não pode ser criado pelo usuário $(id -un): o nome está ocupado"
fi
# The log is Windows-1252: one byte for each accented letter.
falha_inicio "resp/ not writable" 4 mantem "$(printf '%s' "$ESPERADO" | LC_ALL=C sed 's/[^ -~]\{2\}/./g')" "$ESPERADO"
umount "$INST/resp" 2>/dev/null || true
trap encerra EXIT
rm -rf "$INST/resp"
ok "an installation it cannot write: exit 4 with the path, the user and the reason"

# ---- a sale on a display of its own ---------------------------------------------------------
inicia_web --loja 1 --login operador --senha 1234 --auto aprovar --atraso 300
grava_registro "$WEB_URL" 1 operador 1234
rm -f "$INST/LogErro.txt"
servico
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start: $(cat "$AREA/gerente.out")"
grep -q "pronto" "$AREA/gerente.out" || falha "no ready line: $(cat "$AREA/gerente.out")"
estado
confere "--estado while it runs" 0 "$ESTADO"
grep -q "TEF OK - em execu" "$AREA/estado.out" || falha "--estado: $(cat "$AREA/estado.out")"
comercial crt --valor 1000 --id 701 --manter
confere "a sale without a display of its own" 0 "$RC"
confere "its answer" "701|0" "$(campo "$R001" 001-000)|$(campo "$R001" 009-000)"
grep -q "CRT 701 valor 1000: aprovada em" "$AREA/gerente.out" || falha "no line for the sale: $(cat "$AREA/gerente.out")"
# Drawing without OpenGL is chosen, not a fault to report.
! grep -qi "opengl" "$AREA/gerente.out" || falha "OpenGL noise for the journal: $(grep -i opengl "$AREA/gerente.out")"
rm -f "$R001" "$INST/resp/intpos.sts"
# Without a runtime directory the display's cookie is in a private directory
# of an unpredictable name: nobody can take the name first.
COOKIE=$(find "$TMP_GERENTE" -name tef-orvex.Xauthority)
[[ "$COOKIE" == "$TMP_GERENTE"/tef-orvex-tela.??????/tef-orvex.Xauthority ]] || falha "the display's cookie: $COOKIE"
confere "the cookie's directory" 700 "$(stat -c %a "$(dirname "$COOKIE")")"
ok "started its own virtual display (its cookie private), sold, one line per transaction"

# ---- a second manager on the same installation -------------------------------------------
set +e; env -u DISPLAY "$INST/TefOrvex" --servico >"$AREA/segundo.out" 2>&1; RC=$?; set -e
confere "a second manager: exit status" 3 "$RC"
grep -q "j. esta em execu" "$AREA/segundo.out" || falha "a second manager: $(cat "$AREA/segundo.out")"
ok "a second manager ends at once with status 3"

kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20; PID_GERENTE=
cookie_foi() { [ ! -e "$(dirname "$COOKIE")" ]; }
espera_ate 5 cookie_foi || falha "the display's cookie stayed after the end: $(ls -la "$(dirname "$COOKIE")")"

# ---- SIGTERM while a sale's page is open: answered before the end ---------------------------
para_web
: > "$AREA/web.log"
inicia_web --loja 1 --login operador --senha 1234   # manual: the page stays open
grava_registro "$WEB_URL" 1 operador 1234
servico
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start: $(cat "$AREA/gerente.out")"
comercial crt --valor 2500 --id 702 --documento 9 --espera-resp 0
confere "acknowledged" 3 "$RC"
espera_ate 60 pagina_pedida || falha "the page was not requested"
espera_ate 30 pagina_carregada || falha "the page did not load"
kill -TERM "$PID_GERENTE"
INICIO=$(date +%s%N)
espera_ate 10 existe "$R001" || falha "the open sale was not answered at the stop"
MS=$(( ($(date +%s%N) - INICIO) / 1000000 ))
# The web system's page was there: the payment may have been made.
confere "the stop's answer" "702|9|2500|TEF interrompido: confira no sistema web" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 002-000)|$(campo "$R001" 003-000)|$(campo "$R001" 030-000)"
termina_com "the manager did not end on SIGTERM" "$PID_GERENTE" 20
set +e; wait "$PID_GERENTE" 2>/dev/null; RC=$?; set -e
PID_GERENTE=
confere "exit status after SIGTERM" 0 "$RC"
nao_existe "$INST/resp/Ativo.001" || falha "Ativo.001 left after SIGTERM"
estado
confere "--estado once it has stopped" 2 "$ESTADO"
ok "SIGTERM during a sale: answered in ${MS} ms, then the end (status 0); --estado says critical"

# The answer of the stop stays for its reader across the next start.
servico
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start again"
confere "the stop's answer kept by the next start" 702 "$(campo "$R001" 001-000)"
rm -f "$R001"
ok "the next start keeps the stop's answer for its reader"

# ---- kill -9 in the middle of a sale: the marker goes at once, the next start answers ---------
: > "$AREA/web.log"
comercial crt --valor 3000 --id 703 --espera-resp 0
espera_ate 60 pagina_pedida || falha "the page was not requested"
kill -9 "$PID_GERENTE"
INICIO=$(date +%s%N)
espera_ate 5 nao_existe "$INST/resp/Ativo.001" || falha "Ativo.001 stays after kill -9"
MS=$(( ($(date +%s%N) - INICIO) / 1000000 ))
wait "$PID_GERENTE" 2>/dev/null || true
PID_GERENTE=
ok "kill -9: Ativo.001 gone ${MS} ms later"
servico
espera_ate 60 existe "$R001" || falha "the interrupted sale was not answered at the next start"
confere "the interrupted sale's answer" "703|3000|TEF interrompido: confira no sistema web" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 003-000)|$(campo "$R001" 030-000)"
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not start again"
rm -f "$R001"
ok "the next start answers the interrupted sale as not completed"

# ---- --limpa after a death that left the marker ----------------------------------------------
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20; PID_GERENTE=
printf '000-000 = TEF\r\n' > "$INST/resp/Ativo.001"
"$INST/TefOrvex" --limpa || falha "--limpa failed"
nao_existe "$INST/resp/Ativo.001" || falha "--limpa left the marker"
ok "--limpa removes a dead manager's marker"
# ---- a page that cannot be loaded: an error for the journal and for --estado ------------------
falha_de_pagina() { # description store-address expected-code expected-words
  grava_registro "$2" 1 operador 1234
  servico
  espera_ate 60 existe "$INST/resp/Ativo.001" || falha "$1: the manager did not start: $(cat "$AREA/gerente.out")"
  comercial crt --valor 1000 --id 801 --cpf 12345678909 --espera-resp 0
  local linha="A página do sistema web não pôde ser carregada: $4 ($3); endereço ${2}modtef.php"
  tem_linha() { grep -qF "$linha" "$AREA/gerente.out"; }
  espera_ate 60 tem_linha || falha "$1: no error line: $(cat "$AREA/gerente.out")"
  estado
  grep -qF "último erro" "$AREA/estado.out" && grep -qF "$linha" "$AREA/estado.out" || falha "$1: --estado: $(cat "$AREA/estado.out")"
  kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20; PID_GERENTE=
  confere "$1: said once" 1 "$(grep -cF "$linha" "$AREA/gerente.out")"
  ! grep -q "ususenha\|12345678909" "$AREA/gerente.out" "$AREA/estado.out" || falha "$1: the query reached the journal"
  rm -f "$R001" "$INST/resp/intpos.sts"
}
LIVRE=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
falha_de_pagina "nothing listens" "http://127.0.0.1:$LIVRE/" net::ERR_CONNECTION_REFUSED \
  "o servidor recusou a conexão (nenhum serviço nesse endereço e porta)"
falha_de_pagina "no such page" "${WEB_URL}nada/" "HTTP 404" \
  "a página não existe no servidor (confira o endereço do sistema web)"
ok "a page that cannot be loaded: an error line once, with the address and the reason in words, and --estado's last error"
echo "$TESTES passed, 0 failed"
