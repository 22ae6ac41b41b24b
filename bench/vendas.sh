# One timed sale for the benchmark scripts (sourced after tests/e2e/comum.sh,
# with INST naming the installation), the return to the tray after it, and a
# random pause against the manager's 500 ms polling.

# One sale: the request written complete under another name and renamed into
# place, the clock read right after the rename, then resp/ polled every 2 ms.
# Prints the milliseconds from the rename to intpos.001.
venda() { # id
  python3 - "$INST" "$1" <<'PY'
import os, sys, time
inst, ident = sys.argv[1], sys.argv[2]
req, resp = os.path.join(inst, "req"), os.path.join(inst, "resp", "intpos.001")
with open(os.path.join(req, "pedido.tmp"), "wb") as f:
    f.write(("000-000 = CRT\r\n001-000 = %s\r\n002-000 = %s\r\n003-000 = 1000\r\n999-999 = 0\r\n" % (ident, ident)).encode())
os.rename(os.path.join(req, "pedido.tmp"), os.path.join(req, "intpos.001"))
t0 = time.monotonic()
limite = t0 + 60
while not os.path.exists(resp):
    if time.monotonic() > limite:
        sys.exit("no intpos.001 within 60 s")
    time.sleep(0.002)
print(round((time.monotonic() - t0) * 1000))
PY
}
# After the answer: the files taken away, and the window back in the tray,
# which the manager does about 1 s later.
apos_venda() {
  rm -f "$INST/resp/intpos.001" "$INST/resp/intpos.sts"
  espera_ate 30 bandeja_visivel || falha "the window did not return to the tray"
}

# A random phase against the manager's polling (0-1000 ms); not a wait for an event.
fase_aleatoria() { sleep "$(awk -v s="$RANDOM" 'BEGIN { printf "%.3f", (s % 1001) / 1000 }')"; }

# mediana: the median of the numbers on standard input, one per line.
mediana() { sort -n | awk '{ t[NR] = $1 } END { print int((NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2) }'; }
