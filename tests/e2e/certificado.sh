#!/usr/bin/env bash
# The profile's certificate files: downloaded at start from the web system's
# download area, and the page over HTTPS accepted only when the downloaded
# "cert_override.txt" names its host:port with the certificate's SHA-256.
source "$(dirname "$0")/comum.sh"
no_display "$@"
prepara_instalacao
PERFIL=$INST/mozembed/Profiles/default
DOWN=$AREA/downloads
mkdir -p "$DOWN"

# inicia_web_https: HTTP (downloads) and HTTPS (page) on free ports.
inicia_web_https() {
  local fifo=$AREA/web.fifo linha
  para_web
  rm -f "$fifo"; mkfifo "$fifo"
  "$BUILD_DIR/tools/websistema/tef-websistema" --porta 0 --porta-https 0 --downloads "$DOWN" \
    --auto aprovar --atraso 300 --log "$AREA/web.log" >"$fifo" 2>"$AREA/web.err" &
  PID_WEB=$!
  exec 7<"$fifo"
  read -r -t 30 linha <&7; HTTP=${linha#HTTP }
  read -r -t 30 linha <&7; HTTPS=${linha#HTTPS }
  read -r -t 30 linha <&7; IMPRESSAO=${linha#SHA256 }
  [ -n "$IMPRESSAO" ] || falha "no certificate fingerprint printed"
  export TEF_PRODUCAO=http://$HTTP
}
reinicia_gerente() {
  if [ -n "${PID_GERENTE:-}" ] && ! processo_terminou "$PID_GERENTE"; then
    kill -TERM "$PID_GERENTE"; termina_com "restart" "$PID_GERENTE" 20
  fi
  rm -f "$INST/resp/Ativo.001"
  inicia_gerente "$INST"
  gerente_pronto
}

# ---- the right fingerprint: files downloaded, page accepted --------------------------
inicia_web_https
printf '# certificate exceptions\n127.0.0.1:%s\tOID.2.16.840.1.101.3.4.2.1\t%s\tU\tAAAA\n' "${HTTPS#*:}" "$IMPRESSAO" > "$DOWN/cert_override.txt"
head -c 3000 /dev/urandom > "$DOWN/cert8.db"
mkdir -p "$PERFIL/Cache/entradas/sub"
echo velho > "$PERFIL/Cache/entradas/sub/x"
echo antigo > "$PERFIL/cert8.db"
grava_registro "https://$HTTPS/" 1 operador 1234
reinicia_gerente
cmp -s "$DOWN/cert8.db" "$PERFIL/cert8.db" || falha "cert8.db not replaced by the download"
cmp -s "$DOWN/cert_override.txt" "$PERFIL/cert_override.txt" || falha "cert_override.txt not downloaded"
nao_existe "$PERFIL/cert8.db_new" || falha "a _new file was left"
nao_existe "$PERFIL/Cache/entradas" || falha "the old cache survived the start"
grep -q '"caminho":"/download/tef/profile/cert8.db"' "$AREA/web.log" || falha "cert8.db was not asked for"
ok "start: cache cleared, both certificate files downloaded"

comercial crt --valor 1000 --id 601 --manter
confere "sale over HTTPS with an accepted certificate" 0 "$RC"
grep -q '"https":true' "$AREA/web.log" || falha "the page did not arrive over HTTPS"
rm -f "$INST/resp/intpos.001"
espera_ate 30 bandeja_visivel || falha "no return to the tray"
ok "page over HTTPS accepted by the certificate exception"

# ---- a same-size copy is discarded; a failed download keeps the current files -------
cp "$PERFIL/cert8.db" "$AREA/cert8.anterior"
head -c 3000 /dev/urandom > "$DOWN/cert8.db"   # other content, same size
para_web
inicia_web_https                                # a new certificate: another fingerprint
rm -f "$DOWN/cert_override.txt"                 # ... and no exception for it (not found)
reinicia_gerente
cmp -s "$AREA/cert8.anterior" "$PERFIL/cert8.db" || falha "a same-size copy replaced cert8.db"
existe "$PERFIL/cert_override.txt" || falha "a failed download removed the current exception file"
nao_existe "$PERFIL/cert_override.txt_new" || falha "a _new file was left"
ok "same-size copy discarded; a missing file keeps the current one"

# ---- the page's certificate no longer matches: refused ----------------------------------
grava_registro "https://$HTTPS/" 1 operador 1234
reinicia_gerente
: > "$AREA/web.log"
comercial crt --valor 1000 --id 602 --espera-resp 0
espera_ate 30 janela_principal_visivel || falha "no window for the sale"
# Without an exception for this certificate the page must never load: the
# browser shows its own error page instead, whose icon sits at the top left of
# the browser area where the status panel and the idle page are plain white;
# and the web system never sees the request.
read -r W JX JY JW JH <<< "$(janela_principal)"
area_do_navegador_com_conteudo() { area_acima standard_deviation 0.01 $((JX + 40)) $((JY + 120)) 50 50; }
espera_ate 60 area_do_navegador_com_conteudo || falha "the browser showed nothing for the refused page"
grep -q '/modtef.php' "$AREA/web.log" && falha "the page was loaded with a certificate that does not match"
xdotool mousemove $((JX + 6 + 74)) $((JY + 502 + 5 + 11)) click 1
espera_ate 30 existe "$INST/resp/intpos.001" || falha "Cancelar TEF wrote no answer"
confere "cancelled" "TEF Marel Raruveda foi cancelado" "$(campo "$INST/resp/intpos.001" 030-000)"
ok "a certificate without a matching exception is refused"

kill -TERM "$PID_GERENTE"; termina_com "end" "$PID_GERENTE" 20
echo "$TESTES passed, 0 failed"
