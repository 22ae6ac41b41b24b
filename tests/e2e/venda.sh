#!/usr/bin/env bash
# Sales end to end: the installed manager, the real browser and the reference
# web system on loopback, driven by the command-line commercial application.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
R001=$INST/resp/intpos.001

# Credentials with characters that break an unescaped query.
LOGIN_CP=$(printf 'op&er+a%%d or\xe9')        # Windows-1252, as the registry holds it
SENHA_CP=$(printf 's\xea nha&x=1#%%2B')
LOGIN_U8=$(printf '%s' "$LOGIN_CP" | iconv -f WINDOWS-1252 -t UTF-8)
SENHA_U8=$(printf '%s' "$SENHA_CP" | iconv -f WINDOWS-1252 -t UTF-8)

# gerente_com AUTO [DELAY]: a web system in that mode and a manager using it.
gerente_com() {
  para_web
  local args=(--loja 7 --login "$LOGIN_U8" --senha "$SENHA_U8")
  [ "$1" != manual ] && args+=(--auto "$1" --atraso "${2:-300}")
  : > "$AREA/web.log"
  inicia_web "${args[@]}"
  if [ -z "${PID_GERENTE:-}" ] || processo_terminou "$PID_GERENTE"; then
    grava_registro "$WEB_URL" 7 "$LOGIN_CP" "$SENHA_CP"
    inicia_gerente "$INST"
    gerente_pronto
  else
    grava_registro "$WEB_URL" 7 "$LOGIN_CP" "$SENHA_CP"
    # The configuration is read at start: restart on the new address.
    kill -TERM "$PID_GERENTE"; termina_com "restart" "$PID_GERENTE" 20
    inicia_gerente "$INST"
    espera_ate 60 existe "$INST/resp/Ativo.001" || falha "the manager did not restart"
    espera_ate 30 bandeja_visivel || falha "the manager did not reach the tray"
  fi
}
volta_a_bandeja() { espera_ate 30 bandeja_visivel || falha "the window did not return to the tray"; }

# Browser processes below a process: QtWebEngineProcess, by its command.
processos_do_navegador() {
  local p
  for p in $(descendentes "$1"); do tr '\0' ' ' < /proc/"$p"/cmdline 2>/dev/null | grep -q QtWebEngineProcess && echo "$p"; done
  return 0
}

# ---- an approved sale; the credentials arrive intact -------------------------------
gerente_com aprovar
# The engine starts with the first request: the tray before it holds none of
# its processes, and that first sale is answered as any other.
[ -z "$(processos_do_navegador "$PID_GERENTE")" ] || falha "browser processes before the first request"
comercial crt --valor 1000 --documento 4711 --cpf 12345678909 --id 501 --manter
confere "exit code of an approved sale" 0 "$RC"
# The pages reach the screen without OpenGL: no software GL stack (Mesa and
# its LLVM, some 40 MB) in the manager.
[ -n "$(processos_do_navegador "$PID_GERENTE")" ] || falha "no browser process after a sale"
! grep -qE 'libLLVM|_dri\.so|libGLX_mesa' /proc/"$PID_GERENTE"/maps || falha "OpenGL loaded: $(grep -oE '[^ ]*(libLLVM|_dri\.so|libGLX_mesa)[^ ]*' /proc/"$PID_GERENTE"/maps | sort -u | tr '\n' ' ')"
confere "001-000" 501 "$(campo "$R001" 001-000)"
confere "002-000" 4711 "$(campo "$R001" 002-000)"
confere "003-000" 1000 "$(campo "$R001" 003-000)"
confere "009-000" 0 "$(campo "$R001" 009-000)"
QUANDO=$(campo "$R001" 016-000)
[[ "$QUANDO" =~ ^$(date +%d%m)[0-9]{6}$ ]] || falha "#016# not filled: [$QUANDO]"
confere "022-000 is the date DDMMYYYY" "$(date +%d%m%Y)" "$(campo "$R001" 022-000)"
[[ "$(campo "$R001" 023-000)" =~ ^([01][0-9]|2[0-3])[0-5][0-9][0-5][0-9]$ ]] || falha "023-000 is not HHMMSS"
grep -q '#0' "$R001" && falha "a placeholder was left: $(cat "$R001")"
LC_ALL=C grep -qzP '\A(\d{3}-\d{3} = [^\r\n]*\r\n)+\z' "$R001" || falha "intpos.001 is not CR LF exchange lines"
# Byte for byte: the page's lines with the placeholders filled and its blank
# lines dropped, each followed by CR LF.
resultado_da_pagina aprovar | python3 -c '
import sys
itens = sys.stdin.read().split("\u00a7")
linhas = [i.replace("#001#", "501").replace("#002#", "4711").replace("#016#", sys.argv[1]) for i in itens]
sys.stdout.buffer.write(b"".join(l.encode("cp1252") + b"\r\n" for l in linhas if l.strip(" \t\r\n")))
' "$QUANDO" > "$AREA/esperado.001"
cmp "$AREA/esperado.001" "$R001" || falha "intpos.001 differs from the page's result: $(od -c "$R001" | head -20)"
resultado_da_pagina aprovar | grep -q $'\xc2\xa7\xc2\xa7' || falha "the page's result had no blank line to drop"
rm -f "$INST/resp/intpos.001" "$INST/resp/intpos.sts"
python3 - "$AREA/web.log" "$LOGIN_U8" "$SENHA_U8" <<'PY' || falha "the query did not arrive intact: $(grep modtef "$AREA/web.log")"
import json, sys
linhas = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if '"/modtef.php"' in l]
q = linhas[-1]["query"]
esperado = {"tela": "Venda", "lojcodigo_logado": "7", "usulogin_logado": sys.argv[2], "ususenha_logado": sys.argv[3],
            "num_cupom": "4711", "cpf": "12345678909", "valor": "1000", "imprime": "ecf"}
sys.exit(0 if all(q.get(k) == v for k, v in esperado.items()) and set(q) == set(esperado) else 1)
PY
volta_a_bandeja
ok "approved sale: placeholders filled, credentials with & + % blanks and accents intact"

# ---- an ADM request is answered --------------------------------------------------------
comercial adm --id 502 --manter
confere "exit code of an administration" 0 "$RC"
confere "ADM 000-000" ADM "$(campo "$R001" 000-000)"
confere "ADM 001-000" 502 "$(campo "$R001" 001-000)"
rm -f "$INST/resp/intpos.001"; volta_a_bandeja
ok "ADM request answered"

# ---- a declined sale ----------------------------------------------------------------------
gerente_com recusar
comercial crt --valor 250 --id 503 --manter
confere "exit code of a declined sale" 0 "$RC"
confere "declined 009-000" 5 "$(campo "$R001" 009-000)"
rm -f "$R001"; volta_a_bandeja
ok "declined sale answered"

# ---- a cancel from the page ------------------------------------------------------------------
gerente_com cancelar
comercial crt --valor 250 --documento 77 --id 504 --manter
confere "exit code of a cancel from the page" 4 "$RC"
confere "cancellation" "000-000 = CRT|001-000 = 504|002-000 = 77|003-000 = 250|011-000 = 0|028-000 = 0|030-000 = TEF Marel Raruveda foi cancelado|999-999 = 0" \
  "$(tr -d '\r' < "$R001" | paste -sd'|')"
rm -f "$R001"; volta_a_bandeja
ok "cancel from the page"

# ---- "Cancelar TEF" pressed ----------------------------------------------------------------------
gerente_com manual
comercial crt --valor 900 --id 505 --espera-resp 0
confere "acknowledged" 3 "$RC"
espera_ate 60 pagina_pedida || falha "the page was not requested"
espera_ate 30 janela_principal_visivel || falha "no window for the sale"
read -r W JX JY JW JH <<< "$(janela_principal)"
xdotool mousemove $((JX + 6 + 74)) $((JY + 502 + 5 + 11)) click 1
espera_ate 30 existe "$R001" || falha "Cancelar TEF wrote no answer"
confere "Cancelar TEF answer" 505 "$(campo "$R001" 001-000)"
confere "Cancelar TEF text" "TEF Marel Raruveda foi cancelado" "$(campo "$R001" 030-000)"
rm -f "$R001" "$INST/resp/intpos.sts"; volta_a_bandeja
ok "Cancelar TEF"

# ---- a choice made in the page: debit chosen with the keyboard, then "Aprovar" -------------------
: > "$AREA/web.log"
comercial crt --valor 700 --id 511 --documento 12 --espera-resp 0
espera_ate 60 pagina_pedida || falha "the page was not requested"
espera_ate 30 janela_principal_visivel || falha "no window for the sale"
read -r W JX JY JW JH <<< "$(janela_principal)"
# A click on the page's empty middle, Tab to the first choice (the card),
# Down to "Débito": the page asks for itself again with the choice. Until it
# has loaded, keys may be lost, so they are sent again, within a bound.
escolhe_debito() {
  xdotool mousemove $((JX + 400)) $((JY + 350)) click 1 key Tab Down
  espera_ate 3 pagina_pedida 2
}
espera_ate 60 escolhe_debito || falha "the choice in the page did not reload it"
# The page being replaced ignores its buttons, so "Aprovar" is pressed until
# the new page answers.
aprova_na_pagina() {
  xdotool mousemove $((JX + 141)) $((JY + 461)) click 1
  espera_ate 2 existe "$R001"
}
espera_ate 60 aprova_na_pagina || falha "Aprovar in the page wrote no answer"
confere "the page's query" '"cartao":"debito"' "$(grep -o '"cartao":"debito"' "$AREA/web.log" | head -1)"
confere "debit chosen in the page" "511|20" "$(campo "$R001" 001-000)|$(campo "$R001" 011-000)"
confere "the answer of the reloaded page" "$(python3 -c '
import json, sys
paginas = [json.loads(l)["pagina"] for l in open(sys.argv[1], encoding="utf-8") if l.startswith("{\"pagina\"")]
print(paginas[-1]["nsu"])' "$AREA/web.log")" "$(campo "$R001" 012-000)"
rm -f "$R001" "$INST/resp/intpos.sts"; volta_a_bandeja
ok "card kind chosen in the page: the page reloads with it and answers debit"

# ---- a CNC request during the page -------------------------------------------------------------
: > "$AREA/web.log"
comercial crt --valor 900 --id 506 --documento 9 --espera-resp 0
espera_ate 60 pagina_pedida || falha "the page was not requested"
comercial cnc --id 507 --documento 10 --valor 901 --manter
confere "exit code of CNC" 4 "$RC"
confere "CNC answer carries the CNC's fields" "507|10|901" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 002-000)|$(campo "$R001" 003-000)"
rm -f "$R001"; volta_a_bandeja
ok "CNC during the page cancels"

# ---- a zero amount: the box closed with the keyboard, then the cancellation ---------------------
comercial crt --valor 0 --id 508 --espera-resp 0 &
PID_COM=$!
fecha_caixa Erro
wait $PID_COM || true
espera_ate 30 existe "$R001" || falha "no cancellation after the zero-amount box"
confere "zero amount answer" "508|0" "$(campo "$R001" 001-000)|$(campo "$R001" 003-000)"
confere "zero amount text" "TEF Marel Raruveda foi cancelado" "$(campo "$R001" 030-000)"
rm -f "$R001" "$INST/resp/intpos.sts"
ok "zero amount refused with a message box, then cancelled"

# ---- a second CRT while the first one's page is open (a retry): the first is answered as
# cancelled at once, the second gets a page of its own with its own amount ----------------------
gerente_com aprovar 6000
comercial crt --valor 1000 --id 509 --documento 1 --espera-resp 0
espera_ate 60 pagina_pedida || falha "the page was not requested"
comercial crt --valor 2500 --id 510 --documento 2 --manter
confere "exit code of the second sale" 0 "$RC"
grep -q "intpos.001 ignorado, .* (001-000 = 509)" "$AREA/comercial.out" ||
  falha "the first request was not answered while the second waited: $(cat "$AREA/comercial.out")"
confere "pages requested" 2 "$(paginas_pedidas)"
python3 - "$AREA/web.log" <<'PY' || falha "the second page was not loaded with the second request: $(grep modtef "$AREA/web.log")"
import json, sys
q = [json.loads(l)["query"] for l in open(sys.argv[1], encoding="utf-8") if '"/modtef.php"' in l]
sys.exit(0 if [(x["num_cupom"], x["valor"]) for x in q] == [("1", "1000"), ("2", "2500")] else 1)
PY
confere "answer of the second request" "510|2|2500|0" \
  "$(campo "$R001" 001-000)|$(campo "$R001" 002-000)|$(campo "$R001" 003-000)|$(campo "$R001" 009-000)"
rm -f "$R001"; volta_a_bandeja
ok "second CRT during the first one's page: the first cancelled, the second answered by its own page"

# ---- "Nova Venda" and "Administração" from the tray print to TEF_LPT1 --------------------------
gerente_com aprovar
rm -f "$TEF_LPT1"
menu_bandeja Down Down Return      # Nova Venda
espera_ate 60 existe "$TEF_LPT1" || falha "Nova Venda printed nothing"
volta_a_bandeja
nao_existe "$R001" || falha "a menu sale wrote a response file"
LC_ALL=C grep -qzP '\A([^\r\n]*\r\n)+\z' "$TEF_LPT1" || falha "printout lines are not each followed by CR LF"
# Byte for byte: every item of the page's text in Windows-1252, then CR LF.
resultado_da_pagina aprovar | cupom_em_bytes > "$AREA/cupom.esperado"
cmp "$AREA/cupom.esperado" "$TEF_LPT1" || falha "the printout differs from the page's receipt"
iconv -f WINDOWS-1252 -t UTF-8 "$TEF_LPT1" | tr -d '\r' > "$AREA/cupom.txt"
grep -q 'VALOR R\$ 0,00' "$AREA/cupom.txt" || falha "menu sale receipt: $(cat "$AREA/cupom.txt")"
grep -q '^APROVADA' "$AREA/cupom.txt" || grep -q 'APROVADA' "$AREA/cupom.txt" || falha "receipt not approved"
grep -q '"imprime":"40"' "$AREA/web.log" || falha "the menu sale did not ask for a printout"
ok "Nova Venda printed $(wc -l < "$AREA/cupom.txt") lines to TEF_LPT1"

rm -f "$TEF_LPT1"
menu_bandeja Down Down Down Return  # Administração
espera_ate 60 existe "$TEF_LPT1" || falha "Administração printed nothing"
volta_a_bandeja
# "CONCLUÍDA" reaches the printer in Windows-1252: Í is the byte 0xCD.
LC_ALL=C grep -qa $'CONCLU\xcdDA' "$TEF_LPT1" || falha "administration receipt: $(od -c "$TEF_LPT1" | head)"
resultado_da_pagina aprovar | cupom_em_bytes > "$AREA/cupom.esperado"
cmp "$AREA/cupom.esperado" "$TEF_LPT1" || falha "the administration printout differs from the page's receipt"
ok "Administração printed in Windows-1252"

# ---- after a rest in the tray the page processes end; the next sale brings them back ---
paginas_vivas() { # page processes below the manager (the ones with a compositor thread)
  local p n=0
  for p in $(descendentes "$PID_GERENTE"); do
    grep -qx Compositor /proc/"$p"/task/*/comm 2>/dev/null && n=$((n + 1))
  done
  echo "$n"
}
sem_paginas() { [ "$(paginas_vivas)" = 0 ]; }
espera_ate 120 sem_paginas || falha "the page processes did not end in the tray: $(paginas_vivas) left"
PEDIDAS=$(paginas_pedidas)
comercial crt --valor 2500 --documento 4712 --id 503 --manter
confere "exit code of a sale after the rest" 0 "$RC"
confere "001-000 after the rest" 503 "$(campo "$R001" 001-000)"
confere "002-000 after the rest" 4712 "$(campo "$R001" 002-000)"
confere "003-000 after the rest" 2500 "$(campo "$R001" 003-000)"
confere "009-000 after the rest" 0 "$(campo "$R001" 009-000)"
# Bringing the pages back asks the web system for nothing but the sale's page.
confere "transaction pages asked for by the sale after the rest" $((PEDIDAS + 1)) "$(paginas_pedidas)"
rm -f "$INST/resp/intpos.001" "$INST/resp/intpos.sts"
volta_a_bandeja
ok "a sale after the page processes ended in the tray"

kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
echo "$TESTES passed, 0 failed"
