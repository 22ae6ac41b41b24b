#!/usr/bin/env bash
# Faults of the disk during a sale, end to end: resp/ is a small tmpfs of its
# own (so every write into it also crosses file systems). A full disk when
# the page approves, a read-only resp/, and the marker deleted while running:
# the answer is kept and written once possible, the operator is told, the
# window hides only then, and "Ativo.001" comes back.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
RESP=$INST/resp
mkdir -p "$RESP"
if ! mount -t tmpfs -o size=256k tmpfs "$RESP" 2>/dev/null; then
  echo "SKIP: cannot mount a tmpfs here (needs root with CAP_SYS_ADMIN); the fault tests did not run"
  exit 77
fi
trap 'rc=$?; umount -l "$RESP" 2>/dev/null; (exit $rc); encerra' EXIT
inicia_web --loja 1 --login operador --senha 1234 --auto aprovar --atraso 2500
grava_registro "$WEB_URL" 1 operador 1234
inicia_gerente "$INST"
gerente_pronto

enche() { dd if=/dev/zero of="$RESP/.enche" bs=4k 2>/dev/null || true; }
esvazia() { rm -f "$RESP/.enche"; }
relatos() { grep -c "^Exception:" "$INST/LogErro.txt" 2>/dev/null || true; }
caixa_de_erro() { janela_titulo_visivel Erro; }
# Staging copies only: temp/ also keeps the records of open transactions,
# the status file and the installation's lock.
sem_copias() {
  ! ls -A "$INST/temp" 2>/dev/null | grep -v '^\.gerente\.lock$' | grep -q '^ArqTemp_\|^\.' &&
    ! ls -A "$RESP" | grep -q '^\.ArqTemp'
}

# ---- a full disk when the page approves ---------------------------------------------------
"$INST/tef-comercial" --dir "$INST" crt --valor 1000 --id 601 --espera-resp sem-limite --manter \
  > "$AREA/venda1.out" 2>&1 & PID_COMERCIAL=$!
espera_ate 30 existe "$RESP/intpos.sts" || falha "no acknowledgement"
espera_ate 30 pagina_pedida || falha "the page was not requested"
enche
espera_ate 30 grep -qF "Cannot create file \"$RESP/intpos.001\"" "$INST/LogErro.txt" || falha "the failed answer was not logged"
espera_ate 10 caixa_de_erro || falha "the operator was not told"
janela_principal_visivel || falha "the window hid before the answer was written"
nao_existe "$RESP/intpos.001" || falha "a partial intpos.001"
sem_copias || falha "staging copies left: $(ls -A "$INST/temp" "$RESP")"
ok "full disk: the answer is kept, the operator told, the window stays, no partial file"
fecha_caixa Erro
esvazia
espera_ate 10 existe "$RESP/intpos.001" || falha "the kept answer was not written once space came back"
termina_com "tef-comercial did not get its answer" "$PID_COMERCIAL" 20
confere "the approved answer" 601 "$(campo "$RESP/intpos.001" 001-000)"
confere "approved" 0 "$(campo "$RESP/intpos.001" 009-000)"
grep -q "written after all" "$INST/LogErro.txt" || falha "no note of the late write"
espera_ate 10 bandeja_visivel || falha "the window did not hide after the answer"
confere "one report for the whole failure" 1 "$(relatos)"
ok "space back: the approved answer is written, then the window hides"
rm -f "$RESP/intpos.001" "$RESP/intpos.sts"

# ---- the marker deleted while running, also with the disk full ---------------------------
rm -f "$RESP/Ativo.001" "$RESP/ativo.001"
espera_ate 5 existe "$RESP/Ativo.001" || falha "Ativo.001 not written again"
espera_ate 5 existe "$RESP/ativo.001" || falha "ativo.001 not written again"
ok "a deleted marker is written again, under both names"
# Stopped meanwhile, so that no tick writes it between the removal and the
# disk filling up again.
kill -STOP "$PID_GERENTE"
rm -f "$RESP/Ativo.001"
enche
kill -CONT "$PID_GERENTE"
espera_ate 10 caixa_de_erro || falha "the operator was not told of the missing marker"
fecha_caixa Erro
esvazia
espera_ate 5 existe "$RESP/Ativo.001" || falha "Ativo.001 not written once space came back"
ok "a marker that cannot be written is reported, then written when it can"

# ---- a read-only resp/ during a sale ------------------------------------------------------
"$INST/tef-comercial" --dir "$INST" crt --valor 700 --id 602 --espera-resp sem-limite --manter \
  > "$AREA/venda2.out" 2>&1 & PID_COMERCIAL=$!
espera_ate 30 existe "$RESP/intpos.sts" || falha "no acknowledgement of the second sale"
espera_ate 30 pagina_pedida 2 || falha "the second page was not requested"
mount -o remount,ro "$RESP"
espera_ate 30 grep -qF "Read-only file system" "$INST/LogErro.txt" || falha "the read-only failure was not logged"
espera_ate 10 caixa_de_erro || falha "the operator was not told of the read-only resp/"
fecha_caixa Erro
mount -o remount,rw "$RESP"
espera_ate 10 existe "$RESP/intpos.001" || falha "the answer was not written once resp/ was writable"
termina_com "tef-comercial did not get the second answer" "$PID_COMERCIAL" 20
confere "the second answer" 602 "$(campo "$RESP/intpos.001" 001-000)"
ok "read-only resp/: the answer is written once resp/ is writable again"
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
