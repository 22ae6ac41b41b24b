#!/usr/bin/env python3
"""A web system whose second page is slow, for a retry that arrives while the
first sale's page is shown.

    pagina_lenta.py PORT_FILE

Serves modtef.php. The first page (the first sale) approves only once the
second page has been asked for, that is while the browser still shows the
first page and waits for the second; the second page is held until
GET /libera, then approves at once. GET /segundo tells whether the second page
was asked for. The port it listens on is written to PORT_FILE."""
import http.server
import sys
import threading
import urllib.parse

SEGUNDO = threading.Event()
LIBERA = threading.Event()

PAGINA = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>{titulo}</title></head>
<body><input type="hidden" id="ipt_imprime_gecko" value=""><h1>{titulo}</h1><script>
var resultado = "000-000 = CRT\\u00a7001-000 = #001#\\u00a7002-000 = #002#\\u00a7003-000 = {valor}\\u00a7009-000 = 0\\u00a7030-000 = {titulo}\\u00a7999-999 = 0";
function aprova() {{ document.getElementById("ipt_imprime_gecko").setAttribute("value", resultado); }}
{roteiro}
</script></body></html>"""

# The first page waits for the second to be asked for, then approves.
ESPERA_SEGUNDO = """var t = setInterval(function () {
  fetch("/segundo").then(function (r) { return r.text(); }).then(function (s) {
    if (s === "sim") { clearInterval(t); aprova(); }
  });
}, 100);"""


class Pagina(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def responde(self, corpo, tipo="text/html; charset=utf-8"):
        dados = corpo.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", tipo)
        self.send_header("Content-Length", str(len(dados)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(dados)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/segundo":
            self.responde("sim" if SEGUNDO.is_set() else "nao", "text/plain")
        elif url.path == "/libera":
            LIBERA.set()
            self.responde("ok", "text/plain")
        elif url.path.endswith("/modtef.php"):
            valor = urllib.parse.parse_qs(url.query).get("valor", [""])[0]
            if not SEGUNDO.is_set() and valor == "1000":
                self.responde(PAGINA.format(titulo="PAGINA A", valor=valor, roteiro=ESPERA_SEGUNDO))
            else:
                SEGUNDO.set()
                LIBERA.wait(120)
                self.responde(PAGINA.format(titulo="PAGINA B", valor=valor, roteiro="aprova();"))
        else:
            self.send_error(404)


servidor = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Pagina)
servidor.daemon_threads = True
with open(sys.argv[1], "w") as f:
    f.write(str(servidor.server_address[1]))
servidor.serve_forever()
