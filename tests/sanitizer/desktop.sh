#!/usr/bin/env bash
# The installed desktop program of a sanitizer build, started once: it must
# write resp/Ativo.001, show its window, hide to the tray, answer one sale
# approved by the reference web system, and end on SIGTERM
# with Ativo.001 removed and no sanitizer report left unsuppressed (see
# relatorios.py for the one kind of leak accepted besides). The sanitizer
# options come from scripts/sanitizer.sh.
source "$(dirname "$0")/../e2e/comum.sh"
no_display "$@"
prepara_instalacao
# The reference web system approves every sale by itself.
inicia_web --loja 7 --login operador --senha 1234 --auto aprovar --atraso 300
grava_registro "$WEB_URL" 7 operador 1234

mostra_saida() { echo "--- program output (last 80 lines)" >&2; tail -n 80 "$AREA/gerente.out" >&2; }
falha_com_saida() { mostra_saida; falha "$@"; }

inicia_gerente "$INST"
espera_ate 300 existe "$INST/resp/Ativo.001" || falha_com_saida "no resp/Ativo.001"
ok "resp/Ativo.001 written"
espera_ate 300 janela_principal_visivel || falha_com_saida "the main window was not shown"
espera_ate 300 janela_principal_oculta || falha_com_saida "the window did not hide to the tray"
espera_ate 60 bandeja_visivel || falha_com_saida "no tray icon"
ok "window shown, then hidden to the tray"

# One sale through the real browser: the page's result comes back in intpos.001.
comercial crt --valor 1000 --documento 4711 --id 501 --manter
[ "$RC" -eq 0 ] || { cat "$AREA/comercial.out" >&2; falha_com_saida "the sale ended with $RC"; }
confere "001-000 of the answer" 501 "$(campo "$INST/resp/intpos.001" 001-000)"
confere "003-000 of the answer" 1000 "$(campo "$INST/resp/intpos.001" 003-000)"
espera_ate 120 bandeja_visivel || falha_com_saida "the window did not return to the tray"
ok "a sale approved by the page was answered"

# The memory map, for the frames of libraries unloaded before the leak check.
cp "/proc/$PID_GERENTE/maps" "$AREA/maps.txt"
kill -TERM "$PID_GERENTE"
espera_ate 300 processo_terminou "$PID_GERENTE" || falha_com_saida "no end after SIGTERM"
set +e
wait "$PID_GERENTE"
RC=$?
set -e
PID_GERENTE=
nao_existe "$INST/resp/Ativo.001" || falha_com_saida "Ativo.001 left behind"
ok "closed by SIGTERM, Ativo.001 removed"

echo "--- suppressed reports:"
sed -n '/^Suppressions used:/,/^-----/p' "$AREA/gerente.out"
# The helpers of this build are instrumented too.
for f in comercial.out web.err; do
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$AREA/$f"; then
    cat "$AREA/$f" >&2; falha "sanitizer report in $f"
  fi
done
set +e
python3 "$(dirname "$0")/relatorios.py" "$AREA/gerente.out" "$AREA/maps.txt" "$INST/TefOrvex" >"$AREA/relatorios.txt"
VEREDITO=$?
set -e
cat "$AREA/relatorios.txt"
[ $VEREDITO -eq 0 ] || falha "sanitizer report (full output kept in $AREA/gerente.out)"
# LeakSanitizer's exit status comes with the accepted leaks only.
[ "$RC" -eq 0 ] || grep -q '^accepted' "$AREA/relatorios.txt" || falha_com_saida "exit status $RC after SIGTERM"
ok "no sanitizer report of ours (exit status $RC)"
