#!/usr/bin/env bash
# The service under a real systemd, as a chain's IT runs it on a till with
# nobody watching: a Debian 12 system booted with systemd as its PID 1 in a
# container (systemd-nspawn, sharing this machine's network, so the
# reference web system on loopback serves it), the package installed there
# with apt, and every check a step of its own:
#
#   systemd.sh [STEP...]     only the steps named (after the common set-up)
#   systemd.sh --lista       the steps
#
# The images live outside the clone, in $TEF_E2E_CACHE
# (/var/cache/tef-orvex-e2e): a debootstrapped base, made once, and a copy
# with the package's dependencies installed, made again only when they
# change. Every run boots an overlay on that copy (a private copy where
# overlays cannot be mounted), so runs never see each other's state. The
# Debian mirror is the one apt is configured with ($TEF_E2E_ESPELHO
# overrides it). Root only; skipped (77), with the reason, where the tools
# are missing or no container boots. The host is left as it was found.
source "$(dirname "$0")/comum.sh"

PASSOS=(pronto venda diario parada kill9 trava parada-venda armazem-lixo armazem-ausente armazem-incompleto
        outro-gerente estado impressora seguranca sandbox reinstala preseed)
if [ "${1:-}" = --lista ]; then printf '%s\n' "${PASSOS[@]}"; exit 0; fi
ESCOLHIDOS=("$@")
for p in "${ESCOLHIDOS[@]}"; do
  [[ " ${PASSOS[*]} " == *" $p "* ]] || { echo "unknown step $p (systemd.sh --lista)" >&2; exit 2; }
done
[ ${#ESCOLHIDOS[@]} -gt 0 ] || ESCOLHIDOS=("${PASSOS[@]}")

pula() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || pula "booting a container needs root (run the tests as root or with sudo)"
for programa in debootstrap systemd-nspawn nsenter flock mount dpkg-deb lintian; do
  command -v "$programa" >/dev/null || pula "$programa not found (scripts/setup.sh installs it)"
done
RAIZ=$(cd "$E2E_DIR/../.." && pwd)
CACHE=$(realpath -m "${TEF_E2E_CACHE:-/var/cache/tef-orvex-e2e}")
case "$CACHE/" in "$RAIZ"/*) echo "TEF_E2E_CACHE must be outside the clone: $CACHE" >&2; exit 2 ;; esac
INICIO_RUN=$(date +%s)
agora_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Credentials the web systems accept and the store carries; the password is
# one no log could hold by chance.
LOJA=3
LOGIN=operador
SENHA=s3nh4-E2E-7781
OPERADOR=tef-e2e-op       # a member of tef inside the container: the shop's programs and monitoring

AREA=$(mktemp -d /tmp/tef-e2e-systemd-XXXXXX)
PID_NSPAWN=
PID1=
MONTADO=
PIDS_WEB=()
# nspawn leaves its propagation directory and lock files in /run where /run
# is not a tmpfs (it will not remove on a disk file system): the ones this run
# made go at the end.
[ -e /run/systemd/nspawn ] && NSPAWN_RUN_EXISTIA=1 || NSPAWN_RUN_EXISTIA=0
TRAVAS_ANTES=$(ls /run/systemd/nspawn/locks 2>/dev/null || true)

falha() {
  echo "FAIL: $*" >&2
  if [ -n "$PID1" ]; then
    echo "--- systemctl status tef-orvex" >&2; ns systemctl status --no-pager -n 0 tef-orvex >&2 2>&1 || true
    echo "--- journal of tef-orvex (end)" >&2; ns journalctl -u tef-orvex --no-pager -n 25 >&2 2>&1 || true
    echo "--- resp/" >&2; ls -la --time-style=+%T.%N "$CT/opt/tef/resp" >&2 2>/dev/null || true
  fi
  exit 1
}

encerra() {
  local rc=$?
  set +e
  if [ -n "$PID_NSPAWN" ] && kill -0 "$PID_NSPAWN" 2>/dev/null; then
    # What a step left running in the container (a sale waiting for its
    # answer) would hold its shutdown up.
    for p in $( [ -n "$PID1" ] && descendentes "$PID1"); do
      case $(cat "/proc/$p/comm" 2>/dev/null) in tef-comercial|timeout|cat) kill -KILL "$p" ;; esac
    done
    # SIGTERM: nspawn asks the container's systemd to power off.
    kill -TERM "$PID_NSPAWN"
    espera_ate 60 processo_terminou "$PID_NSPAWN" || { [ -n "$PID1" ] && kill -KILL "$PID1"; kill -KILL "$PID_NSPAWN"; }
    wait "$PID_NSPAWN" 2>/dev/null
  fi
  for p in "${PIDS_WEB[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "$MONTADO" ]; then umount "$CT" 2>/dev/null || umount -l "$CT"; fi
  rm -rf "/run/systemd/nspawn/propagate/tef-e2e-$$" "/run/systemd/nspawn/propagate/tef-e2e-prep-$$"
  for t in $(ls /run/systemd/nspawn/locks 2>/dev/null); do
    grep -qxF -- "$t" <<< "$TRAVAS_ANTES" || rm -f "/run/systemd/nspawn/locks/$t"
  done
  if [ "$NSPAWN_RUN_EXISTIA" = 0 ] && [ -d /run/systemd/nspawn ] && ! pgrep -x systemd-nspawn >/dev/null; then
    rm -rf /run/systemd/nspawn
  fi
  # The container's files are big and worth nothing after the run; the logs stay on failure.
  rm -rf "$AREA/ct"
  if [ $rc -eq 0 ]; then rm -rf "$AREA"; else echo "(logs kept in $AREA)" >&2; fi
  exit $rc
}
trap encerra EXIT

# ns COMMAND...: runs in the container (every namespace of its PID 1), with
# a clean environment.
ns() {
  nsenter -t "$PID1" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}
# como_operador COMMAND...: as the member of tef, as the shop's programs run.
como_operador() { ns setpriv --reuid="$OPERADOR" --regid=tef --init-groups "$@"; }
unidade() { ns systemctl show -p "$1" --value tef-orvex; }
# sinal SIGNAL PID: kill inside the container (its kill is procps', not there).
sinal() { ns sh -c 'kill -s "$1" "$2"' sh "$@"; }
ativa() { [ "$(ns systemctl is-active tef-orvex)" = active ]; }

# ==== the images =================================================================================
# One run at a time per cache: a run's overlay stands on the images.
mkdir -p "$CACHE"
exec 8>>"$CACHE/.lock"
flock -w 1800 8 || falha "another run holds $CACHE/.lock"
BASE=$CACHE/base-bookworm
if [ -f "$BASE/.tef-e2e-base" ]; then
  BASE_FEITA="reused (made in $(cut -d' ' -f3 "$BASE/.tef-e2e-base") s)"
else
  ESPELHO=${TEF_E2E_ESPELHO:-$(apt-get indextargets --format '$(RELEASE) $(COMPONENT) $(IDENTIFIER) $(REPO_URI)' 2>/dev/null |
    awk '$1 == "bookworm" && $2 == "main" && $3 == "Packages" { print $4; exit }')}
  [ -n "$ESPELHO" ] || pula "apt has no Debian 12 (bookworm) main mirror configured; set TEF_E2E_ESPELHO"
  echo "# debootstrap bookworm from $ESPELHO into $BASE (once)"
  rm -rf "$CACHE/base.tmp"
  T0=$(date +%s)
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,ca-certificates bookworm "$CACHE/base.tmp" "$ESPELHO" \
    >"$AREA/debootstrap.log" 2>&1 || { rm -rf "$CACHE/base.tmp"; pula "debootstrap from $ESPELHO failed: $(tail -3 "$AREA/debootstrap.log")"; }
  # Nothing of the image's own runs apt during a test.
  systemctl --root="$CACHE/base.tmp" mask apt-daily.timer apt-daily-upgrade.timer >/dev/null 2>&1 || true
  echo "bookworm $ESPELHO $(( $(date +%s) - T0 ))" > "$CACHE/base.tmp/.tef-e2e-base"
  mv "$CACHE/base.tmp" "$BASE"
  BASE_FEITA="made in $(( $(date +%s) - T0 )) s"
fi

# The package, in the build directory the package test uses too.
exec 9>/run/lock/tef-e2e-pacote.lock
flock -w 900 9 || falha "the package test holds its lock"
bash "$RAIZ/scripts/pacote.sh" --build "$BUILD_DIR/pacote-e2e-1" >"$AREA/pacote.log" 2>&1 \
  || falha "scripts/pacote.sh failed: $(tail -30 "$AREA/pacote.log")"
flock -u 9
DEB=$(tail -1 "$AREA/pacote.log")
DEPENDE=$(dpkg-deb -f "$DEB" Depends)

# The base with what the package depends on (Qt WebEngine, Xvfb, ...): no
# run downloads it again while the dependencies stay the same.
CHAVE=$(printf '%s\n%s\n' "$(cat "$BASE/.tef-e2e-base")" "$DEPENDE" | sha256sum | cut -c1-16)
PRONTO=$CACHE/pronto-$CHAVE
if [ -f "$PRONTO/.tef-e2e-pronto" ]; then
  PRONTO_FEITO="reused (made in $(cat "$PRONTO/.tef-e2e-pronto") s)"
else
  echo "# installing the package's dependencies into $PRONTO (once per set of dependencies)"
  T0=$(date +%s)
  rm -rf "$CACHE/pronto.tmp"
  cp -a "$BASE" "$CACHE/pronto.tmp"
  systemd-nspawn -q -D "$CACHE/pronto.tmp" --register=no -M "tef-e2e-prep-$$" --setenv=DEBIAN_FRONTEND=noninteractive \
    $([ -d /run/systemd/system ] || echo --keep-unit) \
    sh -c 'apt-get update -q && apt-get satisfy -y -q --no-install-recommends "$1" && apt-get clean' sh "$DEPENDE" \
    >"$AREA/pronto.log" 2>&1 || { rm -rf "$CACHE/pronto.tmp"; pula "the dependencies could not be installed in the image: $(tail -5 "$AREA/pronto.log")"; }
  echo "$(( $(date +%s) - T0 ))" > "$CACHE/pronto.tmp/.tef-e2e-pronto"
  find "$CACHE" -maxdepth 1 -name 'pronto-*' -type d -exec rm -rf {} +
  mv "$CACHE/pronto.tmp" "$PRONTO"
  PRONTO_FEITO="made in $(( $(date +%s) - T0 )) s"
fi
echo "# images: base $BASE_FEITA; with the dependencies $PRONTO_FEITO"

# ==== the container ==============================================================================
CT=$AREA/ct/raiz
mkdir -p "$AREA/ct/upper" "$AREA/ct/work" "$CT"
if mount -t overlay overlay -o "lowerdir=$PRONTO,upperdir=$AREA/ct/upper,workdir=$AREA/ct/work" "$CT" 2>"$AREA/overlay.err"; then
  MONTADO=1
else
  echo "# no overlay here ($(cat "$AREA/overlay.err")): a private copy"
  cp -a --reflink=auto "$PRONTO/." "$CT"
fi
T0=$(agora_ms)
# --keep-unit where the host's PID 1 is not systemd: no scope to ask for.
systemd-nspawn -q -D "$CT" -M "tef-e2e-$$" -b --register=no $([ -d /run/systemd/system ] || echo --keep-unit) \
  >"$AREA/nspawn.log" 2>&1 </dev/null &
PID_NSPAWN=$!
acha_pid1() { # the container's systemd: its own PID 1, below nspawn
  local p
  for p in $(descendentes "$PID_NSPAWN"); do
    if [ "$(awk '/^NSpid:/ { print NF, $NF }' "/proc/$p/status" 2>/dev/null)" = "3 1" ] &&
       [ "$(cat "/proc/$p/comm" 2>/dev/null)" = systemd ]; then
      PID1=$p; return 0
    fi
  done
  return 1
}
espera_ate 60 acha_pid1 || pula "no container booted here: $(tail -5 "$AREA/nspawn.log")"
bus_no_ar() { nsenter -t "$PID1" -m test -S /run/systemd/private; }
espera_ate 60 bus_no_ar || pula "the container's systemd opened no bus: $(tail -5 "$AREA/nspawn.log")"
ESTADO=$(timeout 120 nsenter -t "$PID1" -a systemctl is-system-running --wait 2>&1) || true
case $ESTADO in
  running) ;;
  degraded) echo "# the container is degraded: $(ns systemctl --failed --no-legend --plain | awk '{print $1}' | tr '\n' ' ')" ;;
  *) pula "the container's systemd did not come up ($ESTADO): $(tail -5 "$AREA/nspawn.log")" ;;
esac
echo "# container booted in $(( $(agora_ms) - T0 )) ms (systemd $(ns systemctl --version | awk 'NR == 1 {print $2}'), cgroups $(ns stat -fc %T /sys/fs/cgroup))"

# ==== the web systems on the host's loopback, the package in the container ========================
# inicia_web_em NAME ARGS...: WEB_URL_<NAME>; requests logged to $AREA/web-NAME.log
inicia_web_em() {
  local nome=$1 endereco; shift
  "$BUILD_DIR/tools/websistema/tef-websistema" --porta 0 --sem-https --log "$AREA/web-$nome.log" \
    --loja "$LOJA" --login "$LOGIN" --senha "$SENHA" "$@" >"$AREA/web-$nome.out" 2>"$AREA/web-$nome.err" &
  PIDS_WEB+=($!)
  web_no_ar() { grep -q '^HTTP ' "$AREA/web-$nome.out"; }
  espera_ate 30 web_no_ar || falha "the web system did not start: $(cat "$AREA/web-$nome.err")"
  endereco=$(sed -n 's/^HTTP //p' "$AREA/web-$nome.out")
  printf -v "WEB_URL_$nome" 'http://%s/' "$endereco"
}
inicia_web_em auto --auto aprovar --atraso 300
inicia_web_em manual          # nobody clicks: the sale stays open

cp "$DEB" "$CT/root/"
DEB_CT=/root/$(basename "$DEB")
APT=(apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=120)
instala() { # instala LOG: the package with no answers preseeded
  ns env DEBIAN_FRONTEND=noninteractive "${APT[@]}" install "$DEB_CT" >"$1" 2>&1
}
T0=$(agora_ms)
instala "$AREA/apt-1.log" || falha "apt-get install: $(tail -20 "$AREA/apt-1.log")"
grep -q '^0 upgraded, 1 newly installed' "$AREA/apt-1.log" ||
  echo "# note: apt installed more than the package: $(grep -m1 'newly installed' "$AREA/apt-1.log")"
echo "# package installed in $(( $(agora_ms) - T0 )) ms"
ns useradd --no-create-home --shell /usr/sbin/nologin -G tef "$OPERADOR"

# The store an integrator copies to a till (group tef, 0640).
armazem() { # armazem URL [LOJA]: a complete store; "" as LOJA leaves Lojcodigo out
  TEF_REGISTRO=$CT/etc/orvex/tef.reg grava_registro "$1" "${2:-$LOJA}" "$LOGIN" "$SENHA"
  [ -n "${2-x}" ] || sed -i '/^"Lojcodigo"/d' "$CT/etc/orvex/tef.reg"
  ns chown root:tef /etc/orvex/tef.reg
  ns chmod 0640 /etc/orvex/tef.reg
}
R001=$CT/opt/tef/resp/intpos.001
STS=$CT/opt/tef/resp/intpos.sts
ATIVO=$CT/opt/tef/resp/Ativo.001
ATIVO_ALIAS=$CT/opt/tef/resp/ativo.001
sem_marcador() { [ ! -e "$ATIVO" ] && [ ! -e "$ATIVO_ALIAS" ]; }
# The journal from a moment on (the container shares this clock). Not
# --after-cursor: journalctl 252 skips matching entries after a cursor.
marca() { date +%s.%6N; }
erros_desde() { ns journalctl -u tef-orvex -p err --no-pager -q -o cat --since="@$1"; }

# venda_em_fundo ID VALOR: the commercial application sends a sale and waits
# for its answer in the background (PID_COMERCIAL; output $AREA/comercial-ID.out).
venda_em_fundo() {
  como_operador timeout 150 tef-comercial --dir /opt/tef crt --valor "$2" --id "$1" --espera-resp 120 --manter \
    >"$AREA/comercial-$1.out" 2>&1 &
  PID_COMERCIAL=$!
  VALOR_ABERTO=$2
}
# The request acknowledged and its page (with its amount) loaded from the web system.
venda_aberta() {
  [ -e "$STS" ] && grep -q "\"valor\":\"$VALOR_ABERTO\"" "$AREA/web-manual.log" 2>/dev/null &&
    pagina_carregada "$AREA/web-manual.log"
}
fim_da_venda() { # fim_da_venda: RC of the background sale
  espera_ate 150 processo_terminou "$PID_COMERCIAL" || falha "tef-comercial did not end"
  RC=0; wait "$PID_COMERCIAL" || RC=$?
}
# The unit restarted by systemd itself: active again with another main process.
reiniciada() { ativa && [ "$(unidade MainPID)" != "$1" ] && [ "$(unidade MainPID)" != 0 ]; }

# Between steps: the service stopped and its failures forgotten, the other
# manager gone, the exchange directories empty, the package installed, the
# good store back.
arruma() {
  local p
  [ -n "$(ns systemctl list-units --all --plain --no-legend tef-e2e-outro.service)" ] && ns systemctl stop tef-e2e-outro 2>/dev/null
  ns systemctl stop tef-orvex 2>/dev/null
  ns systemctl reset-failed tef-orvex tef-e2e-outro 2>/dev/null
  for p in $(descendentes "$PID1"); do
    case $(cat "/proc/$p/comm" 2>/dev/null) in tef-comercial|timeout|cat) kill -KILL "$p" 2>/dev/null ;; esac
  done
  if [ "$(ns dpkg-query -W -f='${Status}' tef-orvex 2>/dev/null)" != "install ok installed" ]; then
    ns dpkg --purge --force-all tef-orvex >/dev/null 2>&1
    instala "$AREA/apt-arruma.log" || return 1
  fi
  rm -f "$CT/opt/tef/req/"* "$CT/opt/tef/resp/"*
  # The container's /dev is its own (not under $CT).
  ns sh -c 'rm -f /dev/tef-e2e-outro; [ ! -p /dev/lp0 ] || rm -f /dev/lp0'
  armazem "$WEB_URL_auto"
}

# ==== the steps ===================================================================================
resumo() { printf '%s' "$*" > "$AREA/resumo"; }

# Ready within 2 s: `systemctl start` of a Type=notify unit returns once the
# manager has said READY=1, which it says after writing Ativo.001.
passo_pronto() {
  local t0 ms principal cg procs
  t0=$(agora_ms)
  ns systemctl start tef-orvex || falha "systemctl start failed"
  ms=$(( $(agora_ms) - t0 ))
  ativa || falha "not active after start: $(ns systemctl is-active tef-orvex)"
  existe "$ATIVO" && existe "$ATIVO_ALIAS" || falha "READY=1 came before Ativo.001 and ativo.001 were written"
  confere "the unit's type" notify "$(unidade Type)"
  principal=$(unidade MainPID)
  confere "the unit's main process" TefOrvex "$(ns cat "/proc/$principal/comm")"
  ns cat "/proc/$principal/cmdline" | tr '\0' ' ' | grep -- '--servico' >/dev/null || falha "the main process was not started with --servico"
  procs=$(ns systemd-cgls --no-pager -l -u tef-orvex.service | sed -n 's|^[^0-9]*[0-9]\+ \([^ ]*\).*|\1|p' |
    xargs -r -n1 basename | sort | uniq -c | tr -s ' \n' ' ')
  [[ "$procs" == *Xvfb* ]] || falha "no virtual display of the manager's own in the unit: $procs"
  [[ "$procs" != *xvfb-run* && "$procs" != *xauth* ]] || falha "the display is still started around the manager: $procs"
  [ "$ms" -le 2000 ] || falha "ready $ms ms after systemctl start (at most 2000)"
  resumo "ready $ms ms after systemctl start, Ativo.001 and ativo.001 written before READY=1; main process TefOrvex --servico; in the unit:$procs"
}

# A sale through the service, from the commercial application of a member.
passo_venda() {
  ns systemctl start tef-orvex || falha "systemctl start failed"
  como_operador timeout 120 tef-comercial --dir /opt/tef crt --valor 1000 --documento 4711 --id 801 --espera-resp 90 --manter \
    >"$AREA/comercial-801.out" 2>&1 && RC=0 || RC=$?
  confere "exit code of an approved sale (see $AREA/comercial-801.out)" 0 "$RC"
  confere "001-000 of the answer" 801 "$(campo "$R001" 001-000)"
  confere "009-000 (approved)" 0 "$(campo "$R001" 009-000)"
  confere "003-000 of the answer" 1000 "$(campo "$R001" 003-000)"
  pagina_do_web() { grep -q '"caminho":"/modtef.php"' "$AREA/web-auto.log"; }
  pagina_do_web || falha "the page was not asked of the web system"
  resumo "approved sale 801 (R\$ 10,00) through the service, as a member of tef"
}

# The journal: one info line per transaction, under the manager's own name;
# nothing at err level for a clean start, sale and stop; no password; no
# browser start-up chatter; nothing under "xvfb-run".
passo_diario() {
  local c
  c=$(marca)
  ns systemctl start tef-orvex || falha "systemctl start failed"
  como_operador timeout 120 tef-comercial --dir /opt/tef crt --valor 2590 --id 802 --espera-resp 90 --manter \
    >"$AREA/comercial-802.out" 2>&1 && RC=0 || RC=$?
  confere "exit code of the sale" 0 "$RC"
  ns systemctl stop tef-orvex
  ns journalctl -u tef-orvex --no-pager -q -o json --output-fields=SYSLOG_IDENTIFIER,PRIORITY,MESSAGE --since="@$c" \
    > "$AREA/diario.json"
  python3 - "$AREA/diario.json" "$SENHA" "$(printf '%s' "$SENHA" | cifra)" <<'PY' > "$AREA/diario.txt" || falha "journal: $(cat "$AREA/diario.txt")"
import json, sys
linhas = []
for l in open(sys.argv[1], encoding="utf-8"):
    e = json.loads(l)
    m = e.get("MESSAGE", "")
    if isinstance(m, list):
        m = bytes(m).decode("utf-8", "replace")
    linhas.append((e.get("SYSLOG_IDENTIFIER", ""), int(e.get("PRIORITY", 6)), m))
erros = []
gerente = [m for i, p, m in linhas if i == "TefOrvex"]
venda = [m for i, p, m in linhas if i == "TefOrvex" and p == 6 and "802" in m and "CRT" in m.upper()]
if not venda:
    erros.append("no info line of the manager's about transaction 802 (CRT)")
elif not any(v in venda[0] for v in ("2590", "25,90", "25.90")):
    erros.append("the transaction line has no amount: " + venda[0])
if len(venda) > 1:
    erros.append("more than one line for transaction 802: %r" % venda)
for i, p, m in linhas:
    if sys.argv[2] in m or sys.argv[3] in m:
        erros.append("the password in the journal: " + m)
    if i == "xvfb-run":
        erros.append("a line under xvfb-run: " + m)
    if i == "TefOrvex" and any(s in m for s in ("qt.webenginecontext", "Init Parameters", "GL Type", "Surface Type")):
        erros.append("the browser's start-up chatter: " + m)
    if p <= 3:
        erros.append("an error for a clean start, sale and stop: " + m)
print("\n".join(erros) if erros else venda[0])
sys.exit(1 if erros else 0)
PY
  resumo "one info line of TefOrvex for the sale: \"$(cat "$AREA/diario.txt")\"; $(wc -l < "$AREA/diario.json") entries in all, none at err, no password, no chatter"
}

# Stop and restart: never an Ativo.001 left, and nothing from procps needed.
passo_parada() {
  local i antes
  [ "$(ns dpkg-query -W -f='${Status}' procps 2>/dev/null)" != "install ok installed" ] || falha "procps is installed in the container"
  ns test ! -e /usr/bin/pkill || falha "pkill in the container"
  for i in 1 2 3; do
    ns systemctl start tef-orvex || falha "systemctl start failed ($i)"
    ns systemctl stop tef-orvex
    sem_marcador || falha "Ativo.001 or ativo.001 left by stop $i"
    confere "state after stop $i" inactive "$(ns systemctl is-active tef-orvex)"
    confere "result of stop $i" success "$(unidade Result)"
  done
  ns systemctl start tef-orvex || falha "systemctl start failed"
  antes=$(unidade MainPID)
  ns systemctl restart tef-orvex || falha "systemctl restart failed"
  ativa && [ "$(unidade MainPID)" != "$antes" ] || falha "restart did not start a new manager"
  existe "$ATIVO" || falha "no Ativo.001 after the restart"
  ns systemctl stop tef-orvex
  sem_marcador || falha "Ativo.001 left by the last stop"
  resumo "3 start/stop rounds and a restart: no Ativo.001 or ativo.001 left, result success; procps not installed"
}

# kill -9 of the manager: the marker gone within a second, systemd restarts
# it, and the request acknowledged before the crash is answered after it.
passo_kill9() {
  local antes t0 ms_marca s_volta
  armazem "$WEB_URL_manual"
  ns systemctl start tef-orvex || falha "systemctl start failed"
  venda_em_fundo 803 1500
  espera_ate 60 venda_aberta || falha "the sale was not acknowledged and opened"
  antes=$(unidade MainPID)
  t0=$(agora_ms)
  sinal KILL "$antes"
  espera_ate 10 sem_marcador || falha "Ativo.001 still there 10 s after the crash"
  ms_marca=$(( $(agora_ms) - t0 ))
  espera_ate 90 reiniciada "$antes" || falha "systemd did not restart the manager"
  s_volta=$(( ($(agora_ms) - t0) / 1000 ))
  [ "$(unidade NRestarts)" -ge 1 ] || falha "NRestarts is $(unidade NRestarts)"
  echo "    marker gone $ms_marca ms after kill -9, restarted after $s_volta s"
  espera_ate 30 existe "$R001" || falha "request 803 was not answered within 30 s of the restart"
  fim_da_venda
  confere "001-000 of the answer after the restart" 803 "$(campo "$R001" 001-000)"
  [ "$RC" = 4 ] || [ "$(campo "$R001" 009-000)" != 0 ] || falha "the interrupted sale was answered as approved"
  [ "$ms_marca" -le 1000 ] || falha "Ativo.001 gone $ms_marca ms after kill -9 (at most 1000)"
  resumo "marker gone $ms_marca ms after kill -9; restarted by systemd after $s_volta s; request 803 answered after the restart (tef-comercial exit $RC, 009-000 = $(campo "$R001" 009-000))"
}

# A manager whose event loop stops turning (SIGSTOP): the watchdog kills it
# and systemd starts another.
passo_trava() {
  local antes t0 limite c
  ns systemctl start tef-orvex || falha "systemctl start failed"
  [ "$(unidade WatchdogUSec)" != 0 ] && [ -n "$(unidade WatchdogUSec)" ] || falha "no watchdog in the unit"
  c=$(marca)
  antes=$(unidade MainPID)
  t0=$(agora_ms)
  sinal STOP "$antes"
  limite=$(( $(ns systemd-analyze timespan "$(unidade WatchdogUSec)" | awk '/μs:/ {print int($2 / 1000000)}') + 40 ))
  espera_ate "$limite" reiniciada "$antes" || falha "a hung manager was not restarted within $limite s"
  ns journalctl -u tef-orvex --no-pager -q --since="@$c" | grep -i 'watchdog timeout' >/dev/null || falha "no watchdog timeout in the journal"
  resumo "a stopped event loop was killed by the watchdog ($(unidade WatchdogUSec)) and restarted after $(( ($(agora_ms) - t0) / 1000 )) s"
}

# interrompe_venda ID AMOUNT ACTION: a sale opened, then "systemctl ACTION"
# without waiting; the open request must come back at once as not completed
# (its page was open: interrupted, to be checked in the web system). MS: how
# long the answer took after the command.
interrompe_venda() {
  local t0
  venda_em_fundo "$1" "$2"
  espera_ate 60 venda_aberta || falha "sale $1 was not acknowledged and opened"
  t0=$(agora_ms)
  ns systemctl "$3" --no-block tef-orvex
  espera_ate 30 existe "$R001" || falha "the open sale was not answered at $3"
  MS=$(( $(agora_ms) - t0 ))
  fim_da_venda
  confere "tef-comercial exit code at $3 (cancellation; see $AREA/comercial-$1.out)" 4 "$RC"
  confere "001-000 of the answer at $3" "$1" "$(campo "$R001" 001-000)"
  grep -qi 'interrompido' <<< "$(campo "$R001" 030-000)" || falha "the open page's sale answered at $3 as: $(campo "$R001" 030-000)"
}

# SIGTERM during a sale (stop, restart; every upgrade does one): the open
# request is answered within a second.
passo_parada-venda() {
  local ms_parada antes
  armazem "$WEB_URL_manual"
  ns systemctl start tef-orvex || falha "systemctl start failed"
  interrompe_venda 804 2000 stop
  ms_parada=$MS
  parada() { [ "$(ns systemctl is-active tef-orvex)" = inactive ]; }
  espera_ate 40 parada || falha "the unit did not stop"
  confere "result of the stop" success "$(unidade Result)"
  sem_marcador || falha "Ativo.001 left by the stop"
  [ "$ms_parada" -le 1000 ] || falha "answered $ms_parada ms after systemctl stop (at most 1000)"

  rm -f "$R001" "$STS"
  ns systemctl start tef-orvex || falha "systemctl start failed"
  antes=$(unidade MainPID)
  interrompe_venda 805 2100 restart
  espera_ate 60 reiniciada "$antes" || falha "the unit did not come back after restart"
  [ "$MS" -le 1000 ] || falha "answered $MS ms after systemctl restart (at most 1000)"
  resumo "open sale answered as interrupted $ms_parada ms after systemctl stop, $MS ms after restart"
}

# falha_de_inicio STATUS PATTERN DESCRIPTION: the store has just been
# broken; the unit must fail its starts with STATUS, never be active, put the
# cause (PATTERN) in the journal at err level, leave no marker, and come back
# by itself within a minute once the store is repaired.
falha_de_inicio() {
  local status=$1 padrao=$2 desc=$3 c t0 s_volta erro
  c=$(marca)
  VIU_ATIVO=; STATUS_VISTO=; FALHOS=" "
  ns systemctl start --no-block tef-orvex
  # Two failed starts: two main processes seen ended (the unit waiting to
  # retry, or failed), the exit status read in the same look.
  duas_falhas() {
    local e pid
    e=$(ns systemctl show -p ActiveState -p SubState -p ExecMainPID -p ExecMainStatus tef-orvex | tr '\n' ' ')
    [[ "$e" != *"ActiveState=active "* ]] || VIU_ATIVO=1
    [[ "$e" == *SubState=auto-restart* || "$e" == *ActiveState=failed* ]] || return 1
    STATUS_VISTO=$(sed 's/.*ExecMainStatus=\([0-9]*\).*/\1/' <<< "$e")
    ESTADO_VISTO="$(sed 's/.*ActiveState=\([a-z-]*\).*/\1/' <<< "$e") ($(sed 's/.*SubState=\([a-z-]*\).*/\1/' <<< "$e"))"
    pid=$(sed 's/.*ExecMainPID=\([0-9]*\).*/\1/' <<< "$e")
    [[ "$FALHOS" == *" $pid "* ]] || FALHOS+="$pid "
    [ "$(wc -w <<< "$FALHOS")" -ge 2 ]
  }
  espera_ate 60 duas_falhas || falha "$desc: not two failed starts within 60 s ($(ns systemctl is-active tef-orvex), NRestarts $(unidade NRestarts))"
  [ -z "$VIU_ATIVO" ] || falha "$desc: the unit was active"
  confere "$desc: exit status" "$status" "$STATUS_VISTO"
  erro=$(erros_desde "$c" | grep -m1 -i -- "$padrao") || falha "$desc: the cause (\"$padrao\") is not in journalctl -u tef-orvex -p err: $(erros_desde "$c" | head -5)"
  [ -n "${OUTRO_GERENTE:-}" ] || sem_marcador || falha "$desc: a marker while no manager runs"
  REPARA
  t0=$(agora_ms)
  espera_ate 70 ativa || falha "$desc: not back by itself 70 s after the repair"
  s_volta=$(( ($(agora_ms) - t0) / 1000 ))
  [ "$s_volta" -le 60 ] || falha "$desc: back $s_volta s after the repair (at most 60)"
  resumo "$desc: exit $status, \"$ESTADO_VISTO\" after 2 failed starts, never active; journal err: \"$erro\"; back by itself $s_volta s after the repair"
}
REPARA() { armazem "$WEB_URL_auto"; }

passo_armazem-lixo() {
  printf 'isto n\xe3o \xe9 um registro\r\n[HKEY_LOCAL_MACHINE\\Software\r\n"Url"=\r\n\x00\xff' > "$CT/etc/orvex/tef.reg"
  falha_de_inicio 6 tef.reg "a store holding garbage"
}
passo_armazem-ausente() {
  rm -f "$CT/etc/orvex/tef.reg"
  falha_de_inicio 5 tef.reg "no store"
}
passo_armazem-incompleto() {
  armazem "$WEB_URL_auto" ""
  falha_de_inicio 7 lojcodigo "a store without Lojcodigo"
}

# Another manager on the installation (a member's, outside the unit): the
# unit fails with 3, leaves the other's Ativo.001 alone, and takes over once
# the other ends.
passo_outro-gerente() {
  ns systemd-run -q --unit=tef-e2e-outro -p Type=notify -p User="$OPERADOR" -p Group=tef -p TimeoutStartSec=60 \
    -p RuntimeDirectory=tef-e2e-outro -p Environment=XDG_RUNTIME_DIR=/run/tef-e2e-outro /opt/tef/TefOrvex --servico \
    || falha "the other manager did not start"
  existe "$ATIVO" || falha "the other manager wrote no Ativo.001"
  REPARA() {
    existe "$ATIVO" || falha "the failing unit removed the other manager's Ativo.001"
    [ "$(ns systemctl is-active tef-e2e-outro)" = active ] || falha "the other manager ended"
    ns systemctl stop tef-e2e-outro
  }
  OUTRO_GERENTE=1 falha_de_inicio 3 'execu' "another manager running"
}

# TefOrvex --estado, as a member and with no display, in each state.
passo_estado() {
  local rc saida c
  estado() { saida=$(como_operador env -u DISPLAY /opt/tef/TefOrvex --estado 2>&1) && rc=0 || rc=$?; }
  ns systemctl start tef-orvex || falha "systemctl start failed"
  estado
  confere "--estado of a running manager (output: $saida)" 0 "$rc"
  [ -n "$saida" ] || falha "--estado printed nothing"
  local rodando=$saida
  ns systemctl stop tef-orvex
  estado
  confere "--estado with no manager (output: $saida)" 2 "$rc"
  como_operador touch /opt/tef/resp/Ativo.001
  estado
  confere "--estado with a stale Ativo.001 (output: $saida)" 2 "$rc"
  grep -q 'Ativo.001' <<< "$saida" || falha "--estado does not mention the stale Ativo.001: $saida"
  rm -f "$ATIVO"
  printf 'lixo\r\n' > "$CT/etc/orvex/tef.reg"
  c=$(marca)
  ns systemctl start --no-block tef-orvex
  uma_falha() { [ "$(unidade NRestarts)" -ge 1 ]; }
  espera_ate 40 uma_falha || falha "the start on a garbage store did not fail"
  estado
  confere "--estado while the starts fail (output: $saida)" 2 "$rc"
  grep -q 'tef.reg' <<< "$saida" || falha "--estado does not give the last error: $saida"
  resumo "running: 0 (\"$(head -1 <<< "$rodando")\"); stopped: 2; stale Ativo.001: 2; failing starts: 2 with the last error (\"$(head -1 <<< "$saida")\")"
}

# The receipt printer in the private /dev: /dev/lp0 (a FIFO standing in for
# the device) there and writable by the service's user, another node of the
# container's /dev not.
passo_impressora() {
  local principal
  ns sh -c 'mkfifo -m 0660 /dev/lp0 && chgrp lp /dev/lp0 && mkfifo /dev/tef-e2e-outro'
  ns systemctl start tef-orvex || falha "systemctl start failed"
  principal=$(unidade MainPID)
  ns nsenter -t "$principal" -m test -p /dev/lp0 || falha "no /dev/lp0 in the service's /dev"
  ns nsenter -t "$principal" -m test ! -e /dev/tef-e2e-outro || falha "the service's /dev is not private"
  ns grep '^Groups:' "/proc/$principal/status" | grep -w "$(ns getent group lp | cut -d: -f3)" >/dev/null || falha "the manager is not in the group lp"
  ns timeout 20 sh -c 'cat /dev/lp0 > /root/lp0.out' &
  local leitor=$!
  ns nsenter -t "$principal" -m setpriv --reuid=tef --regid=tef --init-groups sh -c 'printf cupom > /dev/lp0' \
    || falha "the service's user cannot write /dev/lp0"
  wait "$leitor" || true
  confere "what reached /dev/lp0" cupom "$(cat "$CT/root/lp0.out")"
  resumo "/dev/lp0 in the service's private /dev, written as tef (group lp); other nodes hidden"
}

# systemd-analyze security at 5.0 or lower.
passo_seguranca() {
  local nota
  nota=$(ns systemd-analyze security tef-orvex.service --no-pager | sed -n 's/.*Overall exposure level for tef-orvex.service: \([0-9.]*\).*/\1/p')
  [ -n "$nota" ] || falha "no score from systemd-analyze security"
  awk -v n="$nota" 'BEGIN { exit !(n <= 5.0) }' || falha "systemd-analyze security: $nota (at most 5.0)"
  resumo "systemd-analyze security tef-orvex.service: $nota"
}

# The hardening leaves the browser's sandbox on: its renderers run in user,
# pid and network namespaces of their own.
passo_sandbox() {
  local principal ns_gerente
  ns systemctl start tef-orvex || falha "systemctl start failed"
  principal=$(unidade MainPID)
  ns_gerente=$(ns readlink "/proc/$principal/ns/user" "/proc/$principal/ns/pid" "/proc/$principal/ns/net" | tr '\n' ' ')
  isolado() {
    local p n
    for p in $(ns sh -c 'for d in /proc/[0-9]*; do [ "$(cat $d/comm 2>/dev/null)" = QtWebEngineProc ] && echo ${d#/proc/}; done'); do
      n=$(ns readlink "/proc/$p/ns/user" "/proc/$p/ns/pid" "/proc/$p/ns/net" | tr '\n' ' ')
      # shellcheck disable=SC2086
      set -- $n $ns_gerente
      [ "$1" != "$4" ] && [ "$2" != "$5" ] && [ "$3" != "$6" ] && return 0
    done
    return 1
  }
  # The engine starts with the first request, whatever its command.
  ! isolado || falha "browser processes before any request"
  como_operador timeout 60 tef-comercial --dir /opt/tef enviar ATV --id 807 --espera-resp 0 \
    >"$AREA/comercial-807.out" 2>&1 || true
  espera_ate 30 isolado || falha "no browser process in namespaces of its own: the sandbox is off"
  resumo "none before the first request; then browser processes in user, pid and network namespaces of their own"
}

# Purge, then reinstall: a working service (its state directory made again).
passo_reinstala() {
  ns "${APT[@]}" purge tef-orvex >"$AREA/apt-purge.log" 2>&1 || falha "apt-get purge: $(tail "$AREA/apt-purge.log")"
  ns test ! -e /var/lib/tef-orvex || falha "purge left /var/lib/tef-orvex"
  ns getent passwd tef >/dev/null || falha "purge removed the user tef"
  instala "$AREA/apt-2.log" || falha "apt-get install after purge: $(tail -20 "$AREA/apt-2.log")"
  confere "the service's home after reinstalling" "tef:tef 750" "$(ns stat -c '%U:%G %a' /var/lib/tef-orvex)"
  armazem "$WEB_URL_auto"
  ns systemctl start tef-orvex || falha "systemctl start after reinstalling failed"
  confere "restarts after reinstalling" 0 "$(unidade NRestarts)"
  como_operador timeout 120 tef-comercial --dir /opt/tef crt --valor 500 --id 806 --espera-resp 90 --manter \
    >"$AREA/comercial-806.out" 2>&1 && RC=0 || RC=$?
  confere "exit code of a sale after reinstalling" 0 "$RC"
  resumo "purge removed /var/lib/tef-orvex; reinstalled, the service started at once and sold"
}

# A preseeded install: the store written in its stored form with no
# question, the password out of debconf's database; a wrong answer refused
# with the store kept.
passo_preseed() {
  local url=$WEB_URL_auto esperado
  preseed() { # preseed LOJA PASSWORD
    printf 'tef-orvex tef-orvex/url string %s\ntef-orvex tef-orvex/lojcodigo string %s\ntef-orvex tef-orvex/usulogin string %s\ntef-orvex tef-orvex/ususenha password %s\n' \
      "$url" "$1" "$LOGIN" "$2" | ns debconf-set-selections || falha "debconf-set-selections failed"
  }
  senha_no_debconf() { ns grep -rlF -- "$SENHA" /var/cache/debconf/ 2>/dev/null; }
  ns "${APT[@]}" purge tef-orvex >"$AREA/apt-purge.log" 2>&1 || falha "apt-get purge: $(tail "$AREA/apt-purge.log")"
  ns test ! -e /etc/orvex/tef.reg || falha "purge left the store"
  preseed "$LOJA" "$SENHA"
  ns env DEBIAN_FRONTEND=noninteractive "${APT[@]}" install "$DEB_CT" >"$AREA/apt-preseed.log" 2>&1 </dev/null \
    || falha "the preseeded install failed: $(tail -20 "$AREA/apt-preseed.log")"
  ns test -f /etc/orvex/tef.reg || falha "the preseeded install wrote no store"
  esperado=$(printf '"Url"="%s"\n"Lojcodigo"=dword:%08x\n"Usulogin"="%s"\n"Ususenha"="%s"' "$url" "$LOJA" \
    "$(printf '%s' "$LOGIN" | cifra)" "$(printf '%s' "$SENHA" | cifra)")
  while IFS= read -r linha; do
    tr -d '\r' < "$CT/etc/orvex/tef.reg" | grep -ixF -- "$linha" >/dev/null || falha "the store lacks $linha: $(cat -v "$CT/etc/orvex/tef.reg")"
  done <<< "$esperado"
  tr -d '\r' < "$CT/etc/orvex/tef.reg" | grep -ix '\[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF\]' >/dev/null || falha "the store has no TEF key"
  # Root's, open to the group: members save over it in place.
  local modo_armazem
  modo_armazem=$(ns stat -c '%U:%G %a' /etc/orvex/tef.reg)
  confere "the store's owner, group and mode" "root:tef 660" "$modo_armazem"
  confere "/etc/orvex" "root:tef 3770" "$(ns stat -c '%U:%G %a' /etc/orvex)"
  [ -z "$(senha_no_debconf)" ] || falha "the password stays in debconf's database: $(senha_no_debconf)"
  ns systemctl start tef-orvex || falha "systemctl start on the preseeded store failed"
  como_operador timeout 120 tef-comercial --dir /opt/tef crt --valor 700 --id 807 --espera-resp 90 --manter \
    >"$AREA/comercial-807.out" 2>&1 && RC=0 || RC=$?
  confere "exit code of a sale on the preseeded store (the web system checks the credentials)" 0 "$RC"
  ns systemctl stop tef-orvex

  # A wrong store code: refused with the answer named, the store kept.
  cp "$CT/etc/orvex/tef.reg" "$AREA/tef.reg.antes"
  preseed 12a "$SENHA"
  ns env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure tef-orvex >"$AREA/reconfigure.log" 2>&1 </dev/null || true
  grep -q 'tef-orvex/lojcodigo' "$AREA/reconfigure.log" || falha "the refusal does not name the answer: $(cat "$AREA/reconfigure.log")"
  cmp -s "$AREA/tef.reg.antes" "$CT/etc/orvex/tef.reg" || falha "a refused answer changed the store"
  [ -z "$(senha_no_debconf)" ] || falha "the password stays in debconf's database after a refusal"

  # A stored login that decodes to a newline would send debconf a second
  # command, here one that changes the address.
  local login_mau url_mau="http://mal.exemplo/"
  login_mau=$(printf 'x\nSET tef-orvex/url %s' "$url_mau" | cifra)
  LOGIN_MAU=$login_mau perl -0pi -e 's/^"Usulogin"="[^"]*"/"Usulogin"="$ENV{LOGIN_MAU}"/m' "$CT/etc/orvex/tef.reg"
  printf 'tef-orvex tef-orvex/ususenha password %s\n' "$SENHA" | ns debconf-set-selections
  ns env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure tef-orvex >"$AREA/reconfigure-login.log" 2>&1 </dev/null || true
  tr -d '\r' < "$CT/etc/orvex/tef.reg" | grep -qxF "\"Url\"=\"$url\"" \
    || falha "a stored login changed the address through debconf: $(grep -a Url "$CT/etc/orvex/tef.reg")"
  ! grep -qaF "$url_mau" "$CT/etc/orvex/tef.reg" || falha "the injected address reached the store"

  # root never writes through a link a member planted in place of the store.
  printf 'segredo da m\xe1quina\n' > "$CT/etc/tef-e2e-vitima"
  ns chmod 0600 /etc/tef-e2e-vitima
  ns rm -f /etc/orvex/tef.reg
  ns ln -s /etc/tef-e2e-vitima /etc/orvex/tef.reg
  printf 'tef-orvex tef-orvex/ususenha password %s\n' "$SENHA" | ns debconf-set-selections
  ns env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure tef-orvex >"$AREA/reconfigure-link.log" 2>&1 </dev/null || true
  confere "the planted link's target after a reconfigure" "$(printf 'segredo da m\xe1quina')" "$(cat "$CT/etc/tef-e2e-vitima")"
  confere "the planted link's target's mode" 600 "$(ns stat -c %a /etc/tef-e2e-vitima)"
  ns test ! -e /etc/tef-e2e-vitima.lock -a ! -e /etc/tef-e2e-vitima.tmp || falha "files made beside the link's target"
  grep -q 'tef.reg' "$AREA/reconfigure-link.log" || falha "the refusal does not name the store: $(cat "$AREA/reconfigure-link.log")"
  ns rm -f /etc/orvex/tef.reg /etc/tef-e2e-vitima
  # A FIFO in its place would hang the questions' reading of the store.
  ns mkfifo -m 0660 /etc/orvex/tef.reg
  printf 'tef-orvex tef-orvex/ususenha password %s\n' "$SENHA" | ns debconf-set-selections
  ns env DEBIAN_FRONTEND=noninteractive timeout 60 dpkg-reconfigure tef-orvex >"$AREA/reconfigure-fifo.log" 2>&1 </dev/null && RC=0 || RC=$?
  [ "$RC" != 124 ] || falha "a FIFO planted as the store hung dpkg-reconfigure"
  grep -q 'tef.reg' "$AREA/reconfigure-fifo.log" || falha "the refusal does not name the store: $(cat "$AREA/reconfigure-fifo.log")"
  ns rm -f /etc/orvex/tef.reg
  resumo "preseeded install wrote the store (Url, Lojcodigo, Usulogin and Ususenha in the stored form, $modo_armazem) with no question, the password in neither passwords.dat nor config.dat, and the service sold on it; store code 12a refused, the store kept; a login decoding to a newline sent debconf nothing; a link planted as the store was not followed; a FIFO there hung nothing"
}

# ==== running them ================================================================================
FALHAS=()
N=0
for passo in "${ESCOLHIDOS[@]}"; do
  N=$((N + 1))
  arruma >/dev/null 2>&1 || falha "the container could not be put back in order before $passo"
  rm -f "$AREA/resumo"
  T0=$(agora_ms)
  set +e
  ( set -e; "passo_$passo" )
  rc=$?
  set -e
  s=$(awk -v ms=$(( $(agora_ms) - T0 )) 'BEGIN { printf "%.1f", ms / 1000 }')
  if [ $rc -eq 0 ]; then
    echo "ok $N - $passo: $(cat "$AREA/resumo" 2>/dev/null) (${s} s)"
  else
    echo "not ok $N - $passo (${s} s)"
    FALHAS+=("$passo")
  fi
done
echo "# run took $(( $(date +%s) - INICIO_RUN )) s; images: base $BASE_FEITA, with the dependencies $PRONTO_FEITO"
if [ ${#FALHAS[@]} -gt 0 ]; then
  echo "$((N - ${#FALHAS[@]})) passed, ${#FALHAS[@]} failed: ${FALHAS[*]}"
  exit 1
fi
echo "$N passed, 0 failed"
