#!/usr/bin/env bash
# The installed desktop program under Xvfb: installation checks, single
# instance, exchange directories, "Ativo.001", the hide to the tray, the tray
# menu, SIGTERM, "/CONFIG" and homologation mode.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
grava_registro "http://127.0.0.1:9/" 1 operador 1234

# ---- installation checks -------------------------------------------------------
for caso in sem-diretorio diretorio-e-arquivo sem-programa; do
  RUIM=$AREA/$caso
  instala "$RUIM"
  rm -rf "$RUIM/mozembed"
  case $caso in
    diretorio-e-arquivo) touch "$RUIM/mozembed" ;;
    sem-programa) mkdir "$RUIM/mozembed" ;;
  esac
  inicia_gerente "$RUIM"
  fecha_caixa Erro
  termina_com "$caso: the refused start did not end" "$PID_GERENTE" 20
  nao_existe "$RUIM/resp" || falha "$caso: resp/ created by a refused start"
  nao_existe "$RUIM/req" || falha "$caso: req/ created by a refused start"
  ok "missing runtime refused ($caso)"
done

# ---- a start: directories, "Ativo.001", window, then tray ------------------------
mkdir -p "$INST/req/guardado" "$INST/resp/guardado"
printf '000-000 = CRT\r\n' > "$INST/req/intpos.001"
touch -d '-1 minute' "$INST/req/intpos.001"   # its client gave up long ago
printf 'velho\r\n' > "$INST/resp/intpos.sts"
printf 'fica\r\n' > "$INST/req/guardado/x.001"
inicia_gerente "$INST"
espera_ate 60 janela_principal_visivel || falha "the main window was not shown"
T0=$(date +%s%N)
bandeja_oculta || falha "tray icon shown while starting"
existe "$INST/resp/Ativo.001" || falha "no Ativo.001"
LC_ALL=C grep -qzaP '\A000-000 = TEF\r\n016-000 = \d{10}\r\n999-999 = 0\r\n\z' "$INST/resp/Ativo.001" \
  || falha "Ativo.001 bytes: $(od -c "$INST/resp/Ativo.001")"
confere "day and month of Ativo.001" "$(date +%d%m)" "$(sed -n 2p "$INST/resp/Ativo.001" | cut -c11-14)"
nao_existe "$INST/req/intpos.001" || falha "a request from an earlier run survived"
LC_ALL=C grep -q "req/intpos.001\" left by an earlier run" "$INST/LogErro.txt" || falha "the deleted request is not in LogErro.txt"
nao_existe "$INST/resp/intpos.sts" || falha "a response from an earlier run survived"
confere "file in a sub-directory of req/" "fica" "$(tr -d '\r\n' < "$INST/req/guardado/x.001")"
existe "$INST/resp/guardado" || falha "sub-directory of resp/ removed"
ok "start: req/ and resp/ cleared, sub-directories kept, Ativo.001 exact"

# The store had no runtime registration: the start ran mozembed/xulrunner
# (key names keep the letter case of whoever created them first).
LC_ALL=C grep -qaiF "[HKEY_LOCAL_MACHINE\SOFTWARE\mozilla.org\GRE\1.9.1.7]" "$TEF_REGISTRO" \
  || falha "the runtime was not registered: $(cat "$TEF_REGISTRO")"
LC_ALL=C grep -qaF "\"GreHome\"=\"$INST/mozembed\"" "$TEF_REGISTRO" || falha "GreHome: $(cat "$TEF_REGISTRO")"
ok "runtime registered with GreHome = the installation's mozembed"

espera_ate 20 janela_principal_oculta || falha "the window was not hidden"
T1=$(date +%s%N)
DECORRIDO=$(( (T1 - T0) / 1000000 ))
[ "$DECORRIDO" -ge 500 ] && [ "$DECORRIDO" -le 6000 ] || falha "hidden after ${DECORRIDO} ms, expected about 2000"
espera_ate 20 bandeja_visivel || falha "no tray icon after the hide"
ok "window hidden after ${DECORRIDO} ms, tray icon shown"

# The tray host restarts: the icon comes back by itself.
kill "$PID_TRAY"; wait "$PID_TRAY" 2>/dev/null || true
espera_ate 20 bandeja_oculta || falha "the icon outlived its tray host"
inicia_bandeja
espera_ate 30 bandeja_visivel || falha "the icon did not come back to a new tray host"
ok "tray icon back when a tray host appears again"

# ---- a second start is refused; the first keeps running -------------------------
ANTES=$(cat "$INST/resp/Ativo.001")
PRIMEIRO=$PID_GERENTE
"$INST/TefOrvex" >"$AREA/segundo.out" 2>&1 &
SEGUNDO=$!
fecha_caixa Erro
termina_com "the second start did not end" "$SEGUNDO" 20
set +e; wait "$SEGUNDO"; RC=$?; set -e
confere "exit status of a second start" 3 "$RC"
grep -q "TEF Tarvo j. esta em execu" "$AREA/segundo.out" || falha "the second start said nothing on standard error: $(cat "$AREA/segundo.out")"
LC_ALL=C grep -q $'TEF Tarvo j\xe1 esta em execu\xe7\xe3o.' "$INST/LogErro.txt" || falha "the second start left nothing in LogErro.txt"
kill -0 "$PRIMEIRO" || falha "the first instance ended"
confere "Ativo.001 of the running instance" "$ANTES" "$(cat "$INST/resp/Ativo.001")"
# Another user or a service: another runtime directory, the same installation.
mkdir -m 700 -p "$AREA/run2"
XDG_RUNTIME_DIR=$AREA/run2 "$INST/TefOrvex" >"$AREA/terceiro.out" 2>&1 &
TERCEIRO=$!
fecha_caixa Erro
termina_com "a start from another runtime directory did not end" "$TERCEIRO" 20
kill -0 "$PRIMEIRO" || falha "the first instance ended"
confere "Ativo.001 of the running instance" "$ANTES" "$(cat "$INST/resp/Ativo.001")"
PID_GERENTE=$PRIMEIRO
ok "second start refused (box, standard error, LogErro.txt, status 3), also from another runtime directory"

# ---- a request from the commercial application is acknowledged -------------------
set +e
"$INST/tef-comercial" --dir "$INST" cnf --id 4242 --campo012 99 > "$AREA/cnf.out" 2>&1
RC=$?
set -e
confere "tef-comercial exit code (acknowledged)" 3 "$RC"
grep -q '001-000 = 4242' "$AREA/cnf.out" || falha "acknowledgement not printed: $(cat "$AREA/cnf.out")"
ok "request acknowledged"

# ---- "Fechar Sistema" from the tray menu ------------------------------------------------
menu_bandeja Up Return
termina_com "Fechar Sistema did not end the program" "$PID_GERENTE" 20
nao_existe "$INST/resp/Ativo.001" || falha "Ativo.001 left behind by Fechar Sistema"
espera_ate 10 bandeja_oculta || falha "tray icon left behind"
ok "Fechar Sistema removes Ativo.001 and ends"

# ---- SIGTERM ----------------------------------------------------------------------------
inicia_gerente "$INST"
espera_ate 60 existe "$INST/resp/Ativo.001" || falha "no Ativo.001 on the second run"
espera_ate 20 bandeja_visivel || falha "no tray icon on the second run"
kill -TERM "$PID_GERENTE"
termina_com "SIGTERM did not end the program" "$PID_GERENTE" 20
nao_existe "$INST/resp/Ativo.001" || falha "Ativo.001 left behind by SIGTERM"
ok "SIGTERM closes like Fechar Sistema"

# ---- a start that cannot complete says why and ends ------------------------------------
# The box and standard error in the operator's words (once), the log with
# its report; an installation whose marker cannot be written ends with 4.
cp "$TEF_REGISTRO" "$AREA/registro.bom"
for caso in quebrado sem-loja marcador; do
  NO_LOG=$TEF_REGISTRO
  case $caso in
    quebrado)
      printf 'isto nao e um registro\r\n' > "$TEF_REGISTRO"
      ESPERADO="missing REGEDIT4 header" PALAVRAS="tem um erro na linha 1: falta o cabeçalho REGEDIT4" SAIDA=6 ;;
    sem-loja)
      printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n"Url"="http://127.0.0.1:9/"\r\n\r\n' > "$TEF_REGISTRO"
      ESPERADO="Failed to get data for 'Lojcodigo'" PALAVRAS="O valor Lojcodigo (o código da loja) falta" SAIDA=7 ;;
    marcador)
      cp "$AREA/registro.bom" "$TEF_REGISTRO"
      mkdir -p "$INST/resp/Ativo.001"
      ESPERADO="resp/Ativo.001" NO_LOG="Handler: FormCreate" PALAVRAS="resp/Ativo.001 não pode ser gravado pelo usuário $(id -un)" SAIDA=4 ;;
  esac
  rm -f "$INST/LogErro.txt"
  inicia_gerente "$INST"
  fecha_caixa Erro
  espera_ate 20 processo_terminou "$PID_GERENTE" || falha "$caso: the failed start did not end"
  set +e; wait "$PID_GERENTE"; RC=$?; set -e
  confere "$caso: exit status" "$SAIDA" "$RC"
  [ ! -f "$INST/resp/Ativo.001" ] || falha "$caso: Ativo.001 left behind"
  janela_principal_oculta || falha "$caso: a window left behind"
  confere "$caso: the cause on standard error, once" 1 "$(grep -cF "$PALAVRAS" "$AREA/gerente.out")"
  [ "$caso" = marcador ] || grep -qF "$TEF_REGISTRO" "$AREA/gerente.out" || falha "$caso: the file is not named: $(cat "$AREA/gerente.out")"
  grep -qF "$ESPERADO" "$INST/LogErro.txt" && grep -qF "$NO_LOG" "$INST/LogErro.txt" || falha "$caso: not in LogErro.txt"
  ok "a start that cannot complete ($caso): a box and standard error say why in Portuguese, the log keeps the report; status $RC"
done
rmdir "$INST/resp/Ativo.001"
cp "$AREA/registro.bom" "$TEF_REGISTRO"

# ---- "/CONFIG" in any letter case opens the parameters dialog -------------------------
inicia_gerente "$INST" /cOnFiG
DIALOGO=$(timeout 60 xdotool search --sync --onlyvisible --name '^\[ Parametrização \]$' | head -1) || falha "no parameters dialog"
eval "$(xdotool getwindowgeometry --shell "$DIALOGO")"
confere "dialog client size" "221x253" "${WIDTH}x${HEIGHT}"
# Ctrl+U, typed into whatever has the focus, reaches the dialog through its
# global grab and shows the address field (a white edit with the address).
campo_url_visivel() { area_acima standard_deviation 0.05 $((X + 14)) $((Y + 193)) 190 15; }
campo_url_oculto() { ! campo_url_visivel; }
# Painted once the store-code edit shows white.
dialogo_pintado() { area_acima mean 0.8 $((X + 20)) $((Y + 33)) 150 10; }
espera_ate 20 dialogo_pintado || falha "the dialog was not painted"
campo_url_oculto || falha "the address field is visible before Ctrl+U"
xdotool key ctrl+u
espera_ate 10 campo_url_visivel || falha "Ctrl+U did not show the address field"
xdotool key ctrl+u
espera_ate 10 campo_url_oculto || falha "a second Ctrl+U did not hide the address field"
ok "Ctrl+U toggles the address field"
# "Configurar" saves the fields the dialog filled from the registry and closes it.
xdotool mousemove $((X + 3 + 131 + 37)) $((Y + 3 + 216 + 12)) click 1
espera_ate 60 janela_principal_visivel || falha "the start did not go on after the dialog"
grep -q '"Lojcodigo"=dword:00000001' "$TEF_REGISTRO" || falha "the dialog did not save: $(cat "$TEF_REGISTRO")"
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
ok "/CONFIG opens the dialog; Configurar saves and the start goes on"

# ---- homologation mode ------------------------------------------------------------------
ln -s TefOrvex "$INST/TefOrvexHomologa.exe"
"$INST/TefOrvexHomologa.exe" >"$AREA/homologa.out" 2>&1 &
PID_GERENTE=$!
fecha_caixa Informação   # the first load
fecha_caixa Informação   # the second load of the start
espera_ate 60 janela_principal_visivel || falha "no main window in homologation mode"
read -r W JX JY JW JH <<< "$(janela_principal)"
# A window is mapped before it is painted: wait for the label's pixels.
rotulo_vermelho() { area_acima red 0.02 $((JX + 160)) $((JY + 502 + 6)) 205 19; }
espera_ate 20 rotulo_vermelho || falha "no red homologation label (red fraction ${MEDIDA:-none})"
espera_ate 20 bandeja_visivel || falha "no tray icon in homologation mode"
# Disabled items are skipped by the keyboard: the third Down reaches "Fechar
# Sistema" only when "Administração" and "Parâmetros do Sistema" are greyed.
menu_bandeja Down Down Down Return
termina_com "Administração or Parâmetros do Sistema is enabled in homologation mode" "$PID_GERENTE" 20
ok "homologation mode: red label, two menu items disabled"

echo "$TESTES passed, 0 failed"
