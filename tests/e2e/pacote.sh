#!/usr/bin/env bash
# The Debian package end to end, on this machine: built with
# scripts/pacote.sh (lintian must find no error), installed with apt; a sale
# and the parameters dialog as an ordinary member of the group tef under its
# own Xvfb; the service's start and stop as systemd does them, as its user
# (systemd itself: tests/e2e/systemd.sh); an upgrade to
# a rebuilt package of a higher version that keeps the store and the
# exchange files; remove, then purge. Needs root and dpkg: skipped otherwise.
# The machine is left as it was: package, test user, and the group and user
# tef when this test created them.
#
# The package builds reuse $BUILD_DIR/pacote-e2e-1 and -2: the
# first run compiles the programs twice (about 3 minutes on 2 cores), later
# runs only pack (about 2 minutes in all).
source "$(dirname "$0")/comum.sh"

# ==== the operator's part: a sale and the dialog, run as the member ========================
if [ "${1:-}" = --operador ]; then
  no_display "$@"
  prepara_area
  unset TEF_REGISTRO                 # the machine-wide store of the package
  unset QTWEBENGINE_CHROMIUM_FLAGS   # the manager's own choice for a non-root user
  inicia_bandeja
  GERENTE_DIR=/opt/tef
  R001=/opt/tef/resp/intpos.001

  # The integrator's store says store 9: the dialog, opened by /CONFIG,
  # corrects it to 3 and "Configurar" saves it as this user.
  inicia_gerente /opt/tef /CONFIG
  DIALOGO=$(timeout 60 xdotool search --sync --onlyvisible --name '^\[ Parametrização \]$' | head -1) \
    || falha "no parameters dialog"
  eval "$(xdotool getwindowgeometry --shell "$DIALOGO")"
  dialogo_pintado() { area_acima mean 0.8 $((X + 20)) $((Y + 33)) 150 10; }
  espera_ate 20 dialogo_pintado || falha "the dialog was not painted"
  xdotool mousemove $((X + 3 + 8 + 99)) $((Y + 3 + 24 + 10)) click 1 key ctrl+a type 3
  xdotool mousemove $((X + 3 + 131 + 37)) $((Y + 3 + 216 + 12)) click 1
  loja_3() { LC_ALL=C grep -qa '"Lojcodigo"=dword:00000003' /etc/orvex/tef.reg; }
  espera_ate 30 loja_3 || falha "the dialog did not save store 3: $(cat /etc/orvex/tef.reg)"
  confere "owner of the store saved by the dialog, in place" root "$(stat -c %U /etc/orvex/tef.reg)"
  ok "as $(id -un): the parameters dialog saved over root's store in the sticky directory"

  espera_ate 60 existe /opt/tef/resp/Ativo.001 || falha "the manager did not start as $(id -un)"
  espera_ate 30 bandeja_visivel || falha "the manager did not reach the tray"
  comercial crt --valor 1000 --documento 4711 --id 601 --manter
  confere "exit code of an approved sale" 0 "$RC"
  confere "001-000 of the answer" 601 "$(campo "$R001" 001-000)"
  confere "009-000 (approved)" 0 "$(campo "$R001" 009-000)"
  rm -f "$R001" /opt/tef/resp/intpos.sts
  espera_ate 30 bandeja_visivel || falha "the window did not return to the tray"
  kill -TERM "$PID_GERENTE"; termina_com "SIGTERM did not end the manager" "$PID_GERENTE" 20
  nao_existe /opt/tef/resp/Ativo.001 || falha "Ativo.001 left behind"
  ok "as $(id -un): an approved sale, then SIGTERM removes Ativo.001"

  # Only what the manager writes is open to the group.
  for alvo in /opt/tef /opt/tef/TefOrvex /opt/tef/html/index.html /opt/tef/mozembed /opt/tef/mozembed/Profiles; do
    [ ! -w "$alvo" ] || falha "$alvo is writable by a member"
  done
  echo "$TESTES passed, 0 failed"
  exit 0
fi

# ==== the root's part ==========================================================================
pula() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || pula "installing a package needs root (run the tests as root or with sudo)"
for programa in dpkg apt-get useradd runuser setpriv lintian dpkg-shlibdeps; do
  command -v "$programa" >/dev/null || pula "$programa not found: this test installs a Debian package (scripts/setup.sh)"
done
RAIZ=$(cd "$E2E_DIR/../.." && pwd)
OPERADOR=tef-e2e-operador
UNIDADE=/lib/systemd/system/tef-orvex.service
# No answers preseeded: debconf asks nothing and the store is not written.
APT=(env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300)
[ -e /run/systemd/systemd-units-load ] && MARCA_UNIDADES_EXISTIA=1 || MARCA_UNIDADES_EXISTIA=0

# One run at a time on this machine: the package, /opt/tef and the users are shared.
exec 9>/run/lock/tef-e2e-pacote.lock
flock -w 900 9 || falha "another run of this test holds the lock"
estado_pacote() { dpkg-query -W -f='${db:Status-Status}' tef-orvex 2>/dev/null || true; }
case "$(estado_pacote)" in
  ''|not-installed) ;;
  *) pula "tef-orvex is already on this machine ($(estado_pacote)): not touching an installation of someone else's" ;;
esac
[ ! -e /opt/tef ] && [ ! -e /etc/orvex ] || pula "/opt/tef or /etc/orvex exists without the package: not touching it"
getent group tef >/dev/null && GRUPO_EXISTIA=1 || GRUPO_EXISTIA=0
getent passwd tef >/dev/null && USUARIO_EXISTIA=1 || USUARIO_EXISTIA=0

AREA=$(mktemp -d /tmp/tef-e2e-pacote-XXXXXX)
HOME_OP=
PID_SERVICO=
RUN_SERVICO=
limpa() {
  local rc=$?
  [ -n "$PID_SERVICO" ] && processos_do_servico | xargs -r kill -9 2>/dev/null || true
  [ -n "${PID_WEB:-}" ] && kill "$PID_WEB" 2>/dev/null || true
  wait 2>/dev/null || true
  [ "$(estado_pacote)" != not-installed ] && [ -n "$(estado_pacote)" ] && dpkg --purge tef-orvex >/dev/null 2>&1 || true
  getent passwd "$OPERADOR" >/dev/null && userdel "$OPERADOR" 2>/dev/null || true
  [ -n "$HOME_OP" ] && rm -rf "$HOME_OP"
  [ -n "$RUN_SERVICO" ] && rm -rf "$RUN_SERVICO"
  [ "$USUARIO_EXISTIA" = 0 ] && getent passwd tef >/dev/null && userdel tef 2>/dev/null || true
  [ "$GRUPO_EXISTIA" = 0 ] && getent group tef >/dev/null && groupdel tef 2>/dev/null || true
  # systemd-analyze leaves this mark of its unit loading behind.
  [ "$MARCA_UNIDADES_EXISTIA" = 0 ] && rm -f /run/systemd/systemd-units-load
  if [ $rc -eq 0 ]; then rm -rf "$AREA"; else echo "(kept $AREA)" >&2; fi
  exit $rc
}
trap limpa EXIT

# modo PATH: owner:group octal-mode, as "root:tef 2770"
modo() { stat -c '%U:%G %a' "$1"; }
# The files a member's run left, with their owners and sums: an upgrade and
# a remove must keep them as they are.
conteudo() {
  (cd /opt/tef && find req resp temp mozembed/Profiles LogErro.txt -printf '%p %u:%g %m %s\n' | sort
   find req resp temp mozembed/Profiles LogErro.txt -type f -print0 | sort -z | xargs -0 -r md5sum)
}

# ---- the package ------------------------------------------------------------------------------
bash "$RAIZ/scripts/pacote.sh" --build "$BUILD_DIR/pacote-e2e-1" >"$AREA/pacote-1.log" 2>&1 \
  || falha "scripts/pacote.sh failed: $(tail -30 "$AREA/pacote-1.log")"
DEB1=$(tail -1 "$AREA/pacote-1.log")
V1=$(dpkg-deb -f "$DEB1" Version)
confere "package file name" "tef-orvex_${V1}_$(dpkg --print-architecture).deb" "$(basename "$DEB1")"
grep -q '^E: ' "$AREA/pacote-1.log" && falha "lintian errors: $(grep '^E: ' "$AREA/pacote-1.log")"
# docs/developing.md lists the warnings kept, with their reasons: today none.
grep -q '^W: ' "$AREA/pacote-1.log" && falha "new lintian warnings (fix them, or keep them in docs/developing.md with the reason): $(grep '^W: ' "$AREA/pacote-1.log")"
DEPENDE=$(dpkg-deb -f "$DEB1" Depends)
[[ "$DEPENDE" == *libqt6webenginewidgets6* && "$DEPENDE" == *libcurl4* && "$DEPENDE" == *adduser* ]] \
  || falha "dependencies not computed: $DEPENDE"
# What the service needs to run and to stop is a Depends: the display, debconf.
[[ "$DEPENDE" == *xvfb* && "$DEPENDE" == *"debconf (>= 0.5) | debconf-2.0"* ]] || falha "the service's needs are not in Depends: $DEPENDE"
confere "Recommends" "" "$(dpkg-deb -f "$DEB1" Recommends)"
ok "package $(basename "$DEB1") built, lintian without errors, dependencies from the libraries"

"${APT[@]}" install "$DEB1" >"$AREA/apt-1.log" 2>&1 || falha "apt-get install: $(tail -20 "$AREA/apt-1.log")"
confere "package state" installed "$(estado_pacote)"
getent group tef >/dev/null || falha "no group tef"
confere "the service's user" "tef:/var/lib/tef-orvex:/usr/sbin/nologin" "$(getent passwd tef | cut -d: -f1,6,7)"
# root's, and writable by neither the group nor the others
so_do_root() { [ "$(stat -c %U "$1")" = root ] && (( (0$(stat -c %a "$1") & 022) == 0 )); }
for f in /opt/tef/TefOrvex /opt/tef/tef-comercial /opt/tef/mozembed/xulrunner /opt/tef/html/index.html /opt/tef \
         /opt/tef/html /opt/tef/mozembed; do
  so_do_root "$f" || falha "$f is not root's alone: $(modo "$f")"
done
confere "the manager" "root:tef 750" "$(modo /opt/tef/TefOrvex)"
for d in /opt/tef/req /opt/tef/resp /opt/tef/temp /opt/tef/mozembed/Profiles/default; do
  confere "$d" "root:tef 2770" "$(modo "$d")"
done
for d in /etc/orvex; do
  confere "$d" "root:tef 3770" "$(modo "$d")"
done
confere "/opt/tef/mozembed/Profiles" "root:tef 750" "$(modo /opt/tef/mozembed/Profiles)"
confere "/opt/tef/LogErro.txt" "root:tef 660" "$(modo /opt/tef/LogErro.txt)"
confere "/opt/tef/LogErro.txt.1" "root:tef 660" "$(modo /opt/tef/LogErro.txt.1)"
[ -L /usr/bin/TefOrvex ] || [ -e /usr/bin/TefOrvex ] && falha "a TefOrvex in /usr/bin would move its directory"
confere "tef-comercial in PATH" /opt/tef/tef-comercial "$(readlink /usr/bin/tef-comercial)"
for f in /usr/share/applications/tef-orvex.desktop /etc/xdg/autostart/tef-orvex.desktop; do
  grep -qx 'Exec=/opt/tef/TefOrvex' "$f" && grep -qx 'TryExec=/opt/tef/TefOrvex' "$f" || falha "$f: $(cat "$f")"
done
runuser -u nobody -- test -x /opt/tef/TefOrvex && falha "a non-member may run the manager (menu and autostart would show)"
man -w TefOrvex >/dev/null && man -w tef-comercial >/dev/null || falha "manual pages not found by man"
# Both answer without a display.
confere "TefOrvex --version" "TefOrvex $V1" "$(env -u DISPLAY /opt/tef/TefOrvex --version)"
env -u DISPLAY /opt/tef/TefOrvex --help > "$AREA/ajuda.txt" || falha "TefOrvex --help failed"
grep -q '^Uso: TefOrvex \[/CONFIG\]' "$AREA/ajuda.txt" || falha "TefOrvex --help: $(cat "$AREA/ajuda.txt")"
ok "installed: group and service user, permissions, menu and autostart entries, --help and --version"

# ---- the service's unit -----------------------------------------------------------------------
# systemd does not run here (PID 1 is not systemd): the unit is checked and
# its own ExecStart and ExecStop lines are run below as its user.
confere "service enabled after installing" "" "$(ls /etc/systemd/system/*.wants/tef-orvex.service 2>/dev/null)"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$UNIDADE" >"$AREA/verify.log" 2>&1 || falha "systemd-analyze verify: $(cat "$AREA/verify.log")"
  ok "systemd-analyze verify accepts the unit; it is disabled"
fi

# ---- a member of tef: a sale and the dialog -----------------------------------------------------
getent passwd "$OPERADOR" >/dev/null && userdel "$OPERADOR"   # left by a killed run
HOME_OP=$(mktemp -d /tmp/tef-e2e-operador-XXXXXX)
useradd --home-dir "$HOME_OP" --no-create-home --shell /bin/sh --groups tef "$OPERADOR"
chown "$OPERADOR": "$HOME_OP"
cp "$E2E_DIR/comum.sh" "$E2E_DIR/pacote.sh" "$HOME_OP/"   # readable whatever the checkout's modes

inicia_web --loja 3 --login operador --senha 1234 --auto aprovar --atraso 300
# The integrator's first store, root's and open to the group as the package
# leaves it, with a wrong store code for the member to correct in the dialog.
TEF_REGISTRO=/etc/orvex/tef.reg grava_registro "$WEB_URL" 9 operador 1234
chmod 0660 /etc/orvex/tef.reg
confere "the first store" "root:tef 660" "$(modo /etc/orvex/tef.reg)"

set +e
runuser -u "$OPERADOR" -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$HOME_OP" LANG=C.UTF-8 \
  BUILD_DIR="$BUILD_DIR" bash "$HOME_OP/pacote.sh" --operador >"$AREA/operador.log" 2>&1
RC=$?
set -e
sed 's/^/    /' "$AREA/operador.log"
[ $RC -eq 0 ] || falha "the member's run failed (exit $RC)"
grep -q '"lojcodigo_logado":"3"' "$AREA/web.log" || falha "the page was not asked for store 3"
confere "the store after the member's save" "root:tef 660" "$(modo /etc/orvex/tef.reg)"
[ "$(stat -c %G /etc/orvex/tef.reg.lock)" = tef ] || falha "lock file: $(modo /etc/orvex/tef.reg.lock)"
LC_ALL=C grep -qaF '"GreHome"="/opt/tef/mozembed"' /etc/orvex/tef.reg || falha "runtime not registered by the member"
[ -n "$(ls -A /opt/tef/mozembed/Profiles/default)" ] || falha "the browser profile is empty"
confere "the profile's files stay in the group" "" \
  "$(find /opt/tef/mozembed/Profiles/default -mindepth 1 -maxdepth 1 ! -group tef -printf '%p ')"
ok "a member ran a sale and saved the store; what it wrote is in the group tef"

# ---- the service's commands, as its user ---------------------------------------------------------
# The unit's lines as systemd runs them: ExecStart in the background (the
# manager is the main process and starts its own display), SIGTERM to it
# alone (KillMode=mixed), SIGKILL to whatever it left, then ExecStopPost.
linha_unidade() { sed -n "s/^$1=//p" "$UNIDADE"; }
eval "INICIO=($(linha_unidade ExecStart))"
eval "DEPOIS=($(linha_unidade ExecStopPost))"
confere "ExecStart" "/opt/tef/TefOrvex --servico" "${INICIO[*]}"
confere "ExecStop (nothing from procps)" "" "$(linha_unidade ExecStop)"
confere "KillMode" mixed "$(linha_unidade KillMode)"
RUN_SERVICO=$(mktemp -d /tmp/tef-e2e-run-XXXXXX); chown tef:tef "$RUN_SERVICO"; chmod 700 "$RUN_SERVICO"
# User=tef, WorkingDirectory=~, RuntimeDirectory= (a private one here).
COMO_SERVICO=(setpriv --reuid=tef --regid=tef --init-groups env -i -C /var/lib/tef-orvex PATH=/usr/sbin:/usr/bin:/sbin:/bin
  HOME=/var/lib/tef-orvex XDG_RUNTIME_DIR="$RUN_SERVICO" TEF_PRODUCAO=http://127.0.0.1:9 TEF_LPT1=/dev/null)
processos_do_servico() { # the main process and its descendants
  [ -n "$PID_SERVICO" ] || return 0
  echo "$PID_SERVICO"
  descendentes "$PID_SERVICO"
}
servico_inicia() {
  # No subshell in between: the started process is the unit's main process.
  "${COMO_SERVICO[@]}" "${INICIO[@]}" >"$AREA/servico.out" 2>&1 &
  PID_SERVICO=$!
  espera_ate 60 existe /opt/tef/resp/Ativo.001 || falha "the service's command did not start the manager: $(tail "$AREA/servico.out")"
  confere "Ativo.001 written by the service's user" tef "$(stat -c %U /opt/tef/resp/Ativo.001)"
}
servico_para() {
  local resto
  resto=$(descendentes "$PID_SERVICO")
  [ -n "$resto" ] || falha "the manager started no display or browser of its own"
  kill -TERM "$PID_SERVICO"
  espera_ate 30 processo_terminou "$PID_SERVICO" || falha "the manager did not end on SIGTERM"
  set +e; wait "$PID_SERVICO"; local rc=$?; set -e
  PID_SERVICO=
  confere "exit status of the manager on SIGTERM" 0 "$rc"
  nao_existe /opt/tef/resp/Ativo.001 || falha "Ativo.001 left behind by the manager on SIGTERM"
  # shellcheck disable=SC2086
  kill -KILL $resto 2>/dev/null || true
  "${COMO_SERVICO[@]}" "${DEPOIS[@]}" || falha "ExecStopPost failed"
}
servico_inicia
# The member, as the commercial application, sells through the service's
# manager, which finds the profile the member's manager left.
set +e
timeout 120 runuser -u "$OPERADOR" -- /usr/bin/tef-comercial --dir /opt/tef crt --valor 2500 --id 602 --espera-resp 90 --manter \
  >"$AREA/comercial.out" 2>&1
RC=$?
set -e
confere "exit code of a sale through the service (see $AREA/comercial.out)" 0 "$RC"
confere "001-000 of the service's answer" 602 "$(campo /opt/tef/resp/intpos.001 001-000)"
rm -f /opt/tef/resp/intpos.001 /opt/tef/resp/intpos.sts
servico_para
ok "the service's ExecStart runs the manager as tef and sells; SIGTERM ends it cleanly (Ativo.001 removed, status 0), ExecStopPost succeeds"

# ---- upgrade to a rebuilt package of a higher version ----------------------------------------------
V2=$(awk -F. -v OFS=. '{ $4 = $4 + 1; print }' <<< "$V1")
bash "$RAIZ/scripts/pacote.sh" --versao "$V2" --build "$BUILD_DIR/pacote-e2e-2" >"$AREA/pacote-2.log" 2>&1 \
  || falha "scripts/pacote.sh --versao $V2 failed: $(tail -30 "$AREA/pacote-2.log")"
DEB2=$(tail -1 "$AREA/pacote-2.log")
confere "second package" "tef-orvex_${V2}_$(dpkg --print-architecture).deb" "$(basename "$DEB2")"

runuser -u "$OPERADOR" -- sh -c 'echo marca > /opt/tef/resp/marca.txt && mkdir /opt/tef/req/guardado &&
  echo pedido > /opt/tef/req/guardado/x.txt && echo linha >> /opt/tef/LogErro.txt' || falha "a member cannot write the exchange directories"
cp -p /etc/orvex/tef.reg "$AREA/tef.reg.antes"
MODO_ARMAZEM=$(modo /etc/orvex/tef.reg)
conteudo > "$AREA/conteudo.antes"

"${APT[@]}" install "$DEB2" >"$AREA/apt-2.log" 2>&1 || falha "apt-get install (upgrade): $(tail -20 "$AREA/apt-2.log")"
grep -q "Unpacking tef-orvex ($V2) over ($V1)" "$AREA/apt-2.log" || falha "not an upgrade in place: $(cat "$AREA/apt-2.log")"
confere "installed version" "$V2" "$(dpkg-query -W -f='${Version}' tef-orvex)"
confere "TefOrvex --version, as the member" "TefOrvex $V2" "$(runuser -u "$OPERADOR" -- /opt/tef/TefOrvex --version)"
cmp "$AREA/tef.reg.antes" /etc/orvex/tef.reg || falha "the upgrade changed the store"
confere "the store's owner and mode after the upgrade" "$MODO_ARMAZEM" "$(modo /etc/orvex/tef.reg)"
conteudo > "$AREA/conteudo.depois"
diff "$AREA/conteudo.antes" "$AREA/conteudo.depois" || falha "the upgrade changed the exchange directories or the profile"
confere "the manager after the upgrade" "root:tef 750" "$(modo /opt/tef/TefOrvex)"
confere "/etc/orvex after the upgrade" "root:tef 3770" "$(modo /etc/orvex)"
ok "upgraded in place $V1 -> $V2: the store byte for byte, the exchange files and the profile kept"

# The upgraded manager starts on the kept store.
servico_inicia
servico_para
ok "the upgraded manager runs on the kept store"

# ---- remove, then purge ------------------------------------------------------------------------------
cp -p /etc/orvex/tef.reg "$AREA/tef.reg.antes"
conteudo > "$AREA/conteudo.antes"
"${APT[@]}" remove tef-orvex >"$AREA/apt-3.log" 2>&1 || falha "apt-get remove: $(tail -20 "$AREA/apt-3.log")"
confere "state after remove" config-files "$(estado_pacote)"
nao_existe /opt/tef/TefOrvex || falha "the manager is still there after remove"
existe /etc/xdg/autostart/tef-orvex.desktop || falha "remove took the autostart entry, a configuration file"
cmp "$AREA/tef.reg.antes" /etc/orvex/tef.reg || falha "remove changed the store"
conteudo > "$AREA/conteudo.removido"
diff "$AREA/conteudo.antes" "$AREA/conteudo.removido" || falha "remove changed the exchange directories"
ok "remove keeps the store and the exchange directories' contents"

"${APT[@]}" purge tef-orvex >"$AREA/apt-4.log" 2>&1 || falha "apt-get purge: $(tail -20 "$AREA/apt-4.log")"
ESTADO=$(estado_pacote)
confere "state after purge" not-installed "${ESTADO:-not-installed}"
for f in /opt/tef /etc/orvex /var/lib/tef-orvex /etc/xdg/autostart/tef-orvex.desktop "$UNIDADE" /usr/bin/tef-comercial; do
  nao_existe "$f" || falha "$f is still there after purge"
done
dpkg-statoverride --list /opt/tef/TefOrvex >/dev/null && falha "the manager's mode override outlived the purge"
getent group tef >/dev/null || falha "purge removed the system group tef"
ok "purge removes what the manager wrote; the system group and user stay, as Debian keeps them"

echo "$TESTES passed, 0 failed"
