#!/usr/bin/env python3
"""Commercial applications as integrators write them for Windows, played
against a running manager: each behaviour is one client of its own. They look
for the marker in lower case, write the request under a temporary name and
rename it, send ATV before every request and poll for its acknowledgement,
write LF-only lines, confirm with CNF and delete the answers themselves, and
pay one sale with two cards.

    clientes.py sem-gerente DIR     the manager is not running: every client refuses
    clientes.py com-gerente DIR     the manager starts now: every behaviour, in order
    clientes.py nomes-windows DIR   a point-of-sale agent written for Windows that reads
                                    "IntPos.Sts" and "IntPos.001", against a manager
                                    configured with those names

Prints "ok N - ..." per check; exits 1 at the first failure."""
import os
import sys
import time

TESTES = 0
PROXIMO_ID = int(time.time()) % 100000 * 100


def ok(texto):
    global TESTES
    TESTES += 1
    print(f"ok {TESTES} - {texto}", flush=True)


def falha(texto):
    print(f"FAIL: {texto}", file=sys.stderr, flush=True)
    sys.exit(1)


class GerenteParado(Exception):
    pass


def linhas_de(dados):
    """The exchange-file reading rule: CR LF, lone CR and lone LF end a line;
    a NUL ends the content."""
    texto = dados.split(b"\0", 1)[0].decode("cp1252", errors="replace")
    linhas = texto.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    if linhas and linhas[-1] == "":
        linhas.pop()
    return linhas


def campo(linhas, identificador):
    for linha in linhas:
        if linha.startswith(identificador + " = "):
            return linha[len(identificador) + 3:]
    return None


class Cliente:
    """One commercial application. Its options are the habits integrators have."""

    def __init__(self, base, nome="intpos.001", temporario=None, fim_de_linha="\r\n", atv=False,
                 cnf=False, apaga=False, marcador="ativo.001", espera_sts=7.0, intervalo=0.25,
                 nome_sts="intpos.sts", nome_resposta="intpos.001"):
        self.req = os.path.join(base, "req")
        self.resp = os.path.join(base, "resp")
        self.nome_sts, self.nome_resposta = nome_sts, nome_resposta
        self.nome, self.temporario, self.fim = nome, temporario, fim_de_linha
        self.atv, self.cnf, self.apaga, self.marcador = atv, cnf, apaga, marcador
        self.espera, self.intervalo = espera_sts, intervalo

    @staticmethod
    def novo_id():
        # One series for every client of the run: no two requests share an id.
        global PROXIMO_ID
        PROXIMO_ID += 1
        return str(PROXIMO_ID)

    def ativo(self):
        return os.path.exists(os.path.join(self.resp, self.marcador))

    def escreve(self, campos):
        dados = "".join(f"{c} = {v}{self.fim}" for c, v in campos + [("999-999", "0")]).encode("cp1252")
        destino = os.path.join(self.req, self.nome)
        if self.temporario:
            temp = os.path.join(self.req, self.temporario)
            with open(temp, "wb") as f:
                f.write(dados)
                f.flush()
                os.fsync(f.fileno())
            os.rename(temp, destino)
        else:
            with open(destino, "wb") as f:
                f.write(dados)

    def le(self, nome):
        try:
            with open(os.path.join(self.resp, nome), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def espera_sts(self, comando, ident):
        """Polls for the acknowledgement of this request: its command, its
        identification and the terminator as the last line."""
        fim = time.monotonic() + self.espera
        while True:
            dados = self.le(self.nome_sts)
            if dados is not None:
                l = linhas_de(dados)
                if campo(l, "000-000") == comando and campo(l, "001-000") == ident and l and l[-1] == "999-999 = 0":
                    return l
            if time.monotonic() >= fim:
                raise TimeoutError(f"no acknowledgement of {comando} {ident} in {self.espera} s")
            time.sleep(self.intervalo)

    def espera_resposta(self, ident, limite=90.0):
        fim = time.monotonic() + limite
        while True:
            dados = self.le(self.nome_resposta)
            if dados:
                l = linhas_de(dados)
                if campo(l, "001-000") == ident:
                    return l
            if time.monotonic() >= fim:
                raise TimeoutError(f"no answer for {ident} in {limite} s")
            time.sleep(self.intervalo)

    def apaga_respostas(self):
        for nome in (self.nome_resposta, self.nome_sts):
            try:
                os.unlink(os.path.join(self.resp, nome))
            except FileNotFoundError:
                pass

    def envia(self, comando, campos=()):
        """Sends one request and waits for its acknowledgement."""
        if not self.ativo():
            raise GerenteParado(f"resp/{self.marcador} not found: the manager is not running")
        if self.atv:
            ident = self.novo_id()
            self.escreve([("000-000", "ATV"), ("001-000", ident)])
            self.espera_sts("ATV", ident)
        ident = self.novo_id()
        self.escreve([("000-000", comando), ("001-000", ident)] + list(campos))
        self.espera_sts(comando, ident)
        return ident

    def transacao(self, comando, campos=()):
        ident = self.envia(comando, campos)
        resposta = self.espera_resposta(ident)
        if self.apaga:
            self.apaga_respostas()
        if self.cnf:
            self.envia("CNF", [("027-000", campo(resposta, "012-000") or "")])
            if self.apaga:
                self.apaga_respostas()
        return resposta


def aprovada(resposta, valor):
    return campo(resposta, "009-000") == "0" and campo(resposta, "003-000") == valor


def venda_aprovada(nome, cliente, documento, valor):
    """One sale that must come back approved with its amount."""
    try:
        resposta = cliente.transacao("CRT", [("002-000", documento), ("003-000", valor)])
    except TimeoutError as e:
        falha(f"{nome}: {e}")
    if not aprovada(resposta, valor):
        falha(f"{nome}: {resposta}")
    return resposta


def sem_gerente(base):
    for nome, cliente in comportamentos(base):
        try:
            cliente.envia("CRT", [("003-000", "100")])
        except GerenteParado:
            ok(f"{nome}: refuses to send while resp/ativo.001 is missing")
            continue
        falha(f"{nome}: sent a request with no manager running")
    if os.listdir(os.path.join(base, "req")):
        falha(f"a request was left in req/: {os.listdir(os.path.join(base, 'req'))}")


def comportamentos(base):
    return [
        ("lower-case marker", Cliente(base)),
        ("temporary name renamed to IntPos.001", Cliente(base, nome="IntPos.001", temporario="IntPos.tmp")),
        ("ATV before every request, 7 s at 250 ms", Cliente(base, atv=True)),
        ("LF-only lines", Cliente(base, fim_de_linha="\n")),
        ("CNF after the answer, answers deleted by the client", Cliente(base, cnf=True, apaga=True)),
    ]


def com_gerente(base):
    # A sale sent the moment the marker appears: the manager is still in its
    # first seconds, with its first hide pending.
    primeiro = Cliente(base, intervalo=0.02)
    fim = time.monotonic() + 90
    while not primeiro.ativo():
        if time.monotonic() > fim:
            falha("resp/ativo.001 never appeared")
        time.sleep(0.02)
    ok("resp/ativo.001 found in lower case while the manager runs")
    resposta = primeiro.transacao("CRT", [("003-000", "1000")])
    if not aprovada(resposta, "1000"):
        falha(f"first sale: {resposta}")
    ok("a sale sent the moment the marker appeared is answered")
    primeiro.apaga_respostas()

    for nome, cliente in comportamentos(base):
        venda_aprovada(nome, cliente, "4711", str(1000 + TESTES))
        if cliente.apaga and (cliente.le("intpos.001") is not None):
            falha(f"{nome}: intpos.001 came back after the client deleted it")
        cliente.apaga_respostas()
        ok(f"{nome}: sale approved")

    # One sale paid with two cards: the first CRT right after the previous
    # client's answer, the second 100 ms after the first card's answer, each
    # while the window still waits to hide.
    cartao = Cliente(base, nome="IntPos.001", temporario="IntPos.tmp", fim_de_linha="\n")
    respostas = []
    for parte, atraso in (("600", 0.0), ("400", 0.1)):
        time.sleep(atraso)
        try:
            respostas.append(cartao.transacao("CRT", [("002-000", "900"), ("003-000", parte)]))
        except TimeoutError as e:
            falha(f"two cards, part {parte}: {e}")
        cartao.apaga_respostas()
    if not (aprovada(respostas[0], "600") and aprovada(respostas[1], "400")):
        falha(f"two cards: {respostas}")
    ok("one sale paid with two cards, back to back: both parts answered")


def nomes_windows(base):
    """The agent writes "IntPos.001" through a temporary name, waits 7 s for
    "IntPos.Sts", then for "IntPos.001", and deletes both itself. On Linux it
    sees the manager's files only under exactly those names."""
    agente = Cliente(base, nome="IntPos.001", temporario="IntPos.tmp", marcador="Ativo.001", apaga=True,
                     nome_sts="IntPos.Sts", nome_resposta="IntPos.001")
    fim = time.monotonic() + 90
    while not agente.ativo():
        if time.monotonic() > fim:
            falha("resp/Ativo.001 never appeared")
        time.sleep(0.1)
    for valor in ("1500", "2750"):
        venda_aprovada("Windows names", agente, "31", valor)
        escritos = sorted(n for n in os.listdir(agente.resp) if n.lower().startswith("intpos"))
        if escritos:
            falha(f"Windows names: left in resp/ after the agent deleted its files: {escritos}")
        ok(f"a Windows agent reading IntPos.Sts and IntPos.001: sale of {valor} approved, nothing else written")


def main():
    modos = {"sem-gerente": sem_gerente, "com-gerente": com_gerente, "nomes-windows": nomes_windows}
    if len(sys.argv) != 3 or sys.argv[1] not in modos:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    modos[sys.argv[1]](sys.argv[2])


if __name__ == "__main__":
    main()
