#!/usr/bin/env bash
# Crash consistency: the manager killed with SIGKILL at random moments while
# it answers a stream of requests and sales, with a reader polling resp/ all
# along. No exchange file may ever be seen empty or partial, and every next
# start comes up and answers.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
inicia_web --loja 1 --login operador --senha 1234 --auto aprovar --atraso 0
grava_registro "$WEB_URL" 1 operador 1234
QUEDAS=${TEF_QUEDAS:-12}
PARE=$AREA/pare
mkdir -p "$INST/req" "$INST/resp"
python3 "$E2E_DIR/troca.py" leitor "$INST" "$PARE" "$AREA/leitor.out" & PID_LEITOR=$!
python3 "$E2E_DIR/troca.py" escritor "$INST" "$PARE" & PID_ESCRITOR=$!
para_troca() { touch "$PARE"; wait "$PID_LEITOR" "$PID_ESCRITOR" 2>/dev/null || true; }

for i in $(seq "$QUEDAS"); do
  inicia_gerente "$INST"
  espera_ate 60 existe "$INST/resp/Ativo.001" || { para_troca; falha "start $i did not come up"; }
  # A random moment, up to 3 s into the run: the kill is the event here.
  sleep "$(awk -v s="$RANDOM" 'BEGIN { srand(s); printf "%.2f", rand() * 3 }')"
  kill -9 "$PID_GERENTE"
  wait "$PID_GERENTE" 2>/dev/null || true
done
ok "$QUEDAS starts, each killed with SIGKILL at a random moment"

# The next start recovers: it comes up and answers.
inicia_gerente "$INST"
espera_ate 60 existe "$INST/resp/Ativo.001" || { para_troca; falha "no start after the crashes"; }
espera_ate 30 bash -c "[ -e '$INST/resp/intpos.sts' ] && ! ls '$INST/req' | grep -q '001'" || { para_troca; falha "requests are no longer taken"; }
para_troca
read -r _ LEITURAS < "$AREA/leitor.out"
RUINS=$(tail -n +2 "$AREA/leitor.out")
[ -z "$RUINS" ] || falha "exchange files seen empty or partial: $RUINS"
[ "$LEITURAS" -gt 1000 ] || falha "the reader read only $LEITURAS times"
ok "the reader read resp/ $LEITURAS times: never an empty or partial file"
ls "$INST/temp" 2>/dev/null | grep -q ArqTemp && falha "staging copies left after the start: $(ls "$INST/temp")"
ok "the start after the crashes left no staging copy and answers again"
kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
