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
