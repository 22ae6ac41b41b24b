#!/usr/bin/env python3
"""Commercial applications that finish what the manager answered, as the
client libraries shops use do: a CNF or an NCN that repeats the answer's
network (010-000), NSU (012-000) and control code (027-000), a look at
729-000 before confirming an administration, the receipt printed from
029-xxx, two cards for one sale. Each behaviour is one client of its own,
played against a running manager, the real browser and the reference web
system, whose /controle address shapes the next answers.

    confirmacao.py DIR WEB_URL               the confirming clients
    confirmacao.py fechamento DIR WEB_URL    with the manager's confirmation address set:
                                             CNF and NCN reach the web system, CNC by NSU

Prints "ok N - ..." per check; exits 1 at the first failure."""
import json
import os
import sys
import time
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clientes import Cliente, campo, falha, linhas_de, ok  # noqa: E402

CAMPOS_DE_CONFIRMACAO = ("010-000", "012-000", "027-000")
COLUNAS = 40


class RespostaIncompleta(Exception):
    """The answer lacks what the client needs to go on: where a client
    library would crash, this one stops before sending anything."""


def aprovada(resposta):
    return campo(resposta, "009-000") == "0"


def campos_de_confirmacao(resposta):
    """The fields a CNF or NCN repeats, in the answer's values."""
    faltam = [c for c in CAMPOS_DE_CONFIRMACAO if not (campo(resposta, c) or "").strip()]
    if faltam:
        raise RespostaIncompleta(f"the answer has no {', '.join(faltam)}: {resposta}")
    return [(c, campo(resposta, c)) for c in CAMPOS_DE_CONFIRMACAO]


def numero(resposta, identificador):
    valor = (campo(resposta, identificador) or "").strip()
    if not valor.isdigit():
        raise RespostaIncompleta(f"{identificador} is not a count: {campo(resposta, identificador)!r}")
    return int(valor)


def precisa_confirmar(resposta):
    """729-000 says it when present (1: nothing to confirm, 2: confirm);
    without it, an approved answer with a receipt is to be confirmed."""
    if not aprovada(resposta):
        return False
    estado = (campo(resposta, "729-000") or "").strip()
    if estado:
        if estado not in ("1", "2"):
            raise RespostaIncompleta(f"729-000 = {estado}")
        return estado == "2"
    return numero(resposta, "028-000") > 0


def comprovante(resposta, contagem="028-000", prefixo="029"):
    """The receipt's lines with their quotes taken off; the count must match
    the numbered lines, and each must fit the printer."""
    n = numero(resposta, contagem)
    presentes = sum(1 for linha in resposta if linha.startswith(prefixo + "-"))
    if presentes != n:
        raise RespostaIncompleta(f"{contagem} = {n} but {presentes} {prefixo}-xxx lines")
    linhas = []
    for i in range(1, n + 1):
        linha = campo(resposta, f"{prefixo}-{i:03d}")
        if linha is None:
            raise RespostaIncompleta(f"{contagem} = {n} but no {prefixo}-{i:03d}")
        if len(linha) >= 2 and linha[0] == linha[-1] == '"':
            linha = linha[1:-1]
        if len(linha) > COLUNAS:
            raise RespostaIncompleta(f"{prefixo}-{i:03d} has {len(linha)} columns: {linha!r}")
        linhas.append(linha)
    return linhas


class Finalizador(Cliente):
    """A client that keeps every request it sent and ends transactions with
    CNF or NCN; answers are deleted by the client unless told otherwise."""

    def __init__(self, base, apaga=True, **opcoes):
        super().__init__(base, apaga=apaga, **opcoes)
        self.enviados = []

    def envia(self, comando, campos=()):
        ident = super().envia(comando, campos)
        self.enviados.append((comando, dict(campos)))
        return ident

    def finaliza(self, comando, resposta, documento=None):
        campos = campos_de_confirmacao(resposta)
        self.envia(comando, ([("002-000", documento)] if documento else []) + campos)
        self.apaga_respostas()

    def comandos(self):
        return [c for c, _ in self.enviados]


class ConfirmaVenda(Finalizador):
    """Confirms an approved sale once its fiscal document is printed."""

    def joga(self, documento, valor):
        resposta = self.transacao("CRT", [("002-000", documento), ("003-000", valor)])
        if not aprovada(resposta):
            raise RespostaIncompleta(f"not approved: {resposta}")
        self.finaliza("CNF", resposta, documento)
        return resposta


class DocumentoRecusado(Finalizador):
    """The fiscal printer refuses the document after the card was approved:
    the card payment is undone with NCN."""

    def impressora_fiscal_aceita(self):
        return False

    def joga(self, documento, valor):
        resposta = self.transacao("CRT", [("002-000", documento), ("003-000", valor)])
        if aprovada(resposta) and not self.impressora_fiscal_aceita():
            self.finaliza("NCN", resposta, documento)
        return resposta


class RecuperaPendente(Finalizador):
    """At its start, an approved answer still in resp/ belongs to a sale it
    never finished (it ended before confirming): it undoes it with NCN."""

    def inicia(self):
        dados = self.le("intpos.001")
        if dados is None:
            return None
        resposta = linhas_de(dados)
        if precisa_confirmar(resposta):
            self.finaliza("NCN", resposta, campo(resposta, "002-000"))
        else:
            self.apaga_respostas()
        return resposta


class Administracao(Finalizador):
    """Confirms an administration only when the answer asks for it."""

    def joga(self):
        resposta = self.transacao("ADM")
        if precisa_confirmar(resposta):
            self.finaliza("CNF", resposta)
        return resposta


class ImprimeComprovante(Finalizador):
    """Prints the receipt of 029-xxx on its own printer, then confirms."""

    def __init__(self, base, impressora, **opcoes):
        super().__init__(base, **opcoes)
        self.impressora = impressora

    def joga(self, documento, valor):
        resposta = self.transacao("CRT", [("002-000", documento), ("003-000", valor)])
        linhas = comprovante(resposta)
        with open(self.impressora, "wb") as f:
            f.write(b"".join(linha.encode("cp1252") + b"\r\n" for linha in linhas))
        self.finaliza("CNF", resposta, documento)
        return resposta


class DoisCartoes(Finalizador):
    """One sale paid with two cards: both approved first, then each
    confirmed with its own network, NSU and control code."""

    def joga(self, documento, partes, antes_de_cada):
        respostas = []
        for i, valor in enumerate(partes):
            antes_de_cada(i)
            resposta = self.transacao("CRT", [("002-000", documento), ("003-000", valor)])
            if not aprovada(resposta):
                raise RespostaIncompleta(f"card {i + 1} not approved: {resposta}")
            respostas.append(resposta)
        for resposta in respostas:
            self.finaliza("CNF", resposta, documento)
        return respostas


class AgenteWindows(Finalizador):
    """A point-of-sale agent written for Windows: it confirms an approved
    answer only when 729-000 = 2 asks for it, and sends nothing otherwise."""

    def joga(self, documento, valor):
        resposta = self.transacao("CRT", [("002-000", documento), ("003-000", valor)])
        if aprovada(resposta) and (campo(resposta, "729-000") or "").strip() == "2":
            self.finaliza("CNF", resposta, documento)
        return resposta


class CancelaPorNsu(Finalizador):
    """freedom-erp's solicCancelamento: a CNC naming the sale by its amount,
    network, NSU, date and time; it waits 7 s for the CNC's acknowledgement,
    as for every request, then for the answer."""

    CAMPOS = ("003-000", "010-000", "012-000", "022-000", "023-000")

    def joga(self, venda):
        return self.transacao("CNC", [(c, campo(venda, c) or "") for c in self.CAMPOS])


class CancelaEConfirma(CancelaPorNsu):
    """A client library that cancels by NSU with the control code too, and
    confirms the cancellation when its answer asks for it (729-000 = 2)."""

    CAMPOS = CancelaPorNsu.CAMPOS + ("027-000",)

    def joga(self, venda):
        resposta = super().joga(venda)
        if precisa_confirmar(resposta):
            self.finaliza("CNF", resposta)
        return resposta


# ---- the run ------------------------------------------------------------------

class Controle:
    """The reference web system's control address: the shape of the next
    answers, starting each time from the web system's start options."""

    def __init__(self, web):
        self.base = web.rstrip("/") + "/controle"
        self.abre = urllib.request.build_opener(urllib.request.ProxyHandler({})).open

    def __call__(self, **escolhas):
        url = self.base + ("?" + urllib.parse.urlencode(escolhas) if escolhas else "")
        with self.abre(url, timeout=10) as r:
            return json.loads(r.read().decode("utf-8"))


def confere(descricao, esperado, obtido):
    if esperado != obtido:
        falha(f"{descricao}: expected {esperado!r}, got {obtido!r}")


def confirmou_com(cliente, comando, resposta, posicao=-1):
    """The request at that position was `comando` repeating the answer's
    network, NSU and control code."""
    enviado, campos = cliente.enviados[posicao]
    confere(f"{type(cliente).__name__} request", comando, enviado)
    for c in CAMPOS_DE_CONFIRMACAO:
        confere(f"{comando} {c}", campo(resposta, c), campos.get(c))


def com_gerente(base, web):
    controle = Controle(web)
    controle()

    cliente = ConfirmaVenda(base)
    resposta = cliente.joga("5101", "1500")
    confere("requests", ["CRT", "CNF"], cliente.comandos())
    confirmou_com(cliente, "CNF", resposta)
    confere("CNF 002-000", "5101", cliente.enviados[-1][1]["002-000"])
    ok("confirms an approved sale with a CNF carrying 010-000, 012-000 and 027-000 from the answer")

    controle(omite="027-000")
    cliente = ConfirmaVenda(base)
    try:
        cliente.joga("5102", "1600")
        falha(f"confirmed an answer without 027-000: {cliente.enviados}")
    except RespostaIncompleta as e:
        if "027-000" not in str(e):
            falha(f"stopped for another reason: {e}")
    confere("requests of the stopped client", ["CRT"], cliente.comandos())
    controle()
    ok("the same client stops, sending nothing, when the answer has no 027-000")

    cliente = DocumentoRecusado(base)
    resposta = cliente.joga("5103", "2300")
    confere("requests", ["CRT", "NCN"], cliente.comandos())
    confirmou_com(cliente, "NCN", resposta)
    ok("an approved sale whose fiscal document was refused is undone with NCN")

    anterior = Finalizador(base, apaga=False)
    pendente = anterior.transacao("CRT", [("002-000", "5104"), ("003-000", "2400")])
    if anterior.le("intpos.001") is None:
        falha("the approved answer was not left in resp/")
    cliente = RecuperaPendente(base)
    resposta = cliente.inicia()
    confere("the leftover answer", pendente, resposta)
    confere("requests at start", ["NCN"], cliente.comandos())
    confirmou_com(cliente, "NCN", pendente)
    confere("NCN 002-000", "5104", cliente.enviados[-1][1]["002-000"])
    if cliente.le("intpos.001") is not None:
        falha("the leftover intpos.001 is still there")
    ok("a leftover approved intpos.001 found at start is undone with NCN")

    controle(adm="transacao")
    cliente = Administracao(base)
    resposta = cliente.joga()
    confere("requests", ["ADM", "CNF"], cliente.comandos())
    confirmou_com(cliente, "CNF", resposta)
    confere("729-000 of an administration to confirm", "2", campo(resposta, "729-000"))
    controle(adm="sem-confirmacao")
    cliente = Administracao(base)
    resposta = cliente.joga()
    confere("729-000", "1", campo(resposta, "729-000"))
    confere("requests", ["ADM"], cliente.comandos())
    try:
        campos_de_confirmacao(resposta)
        falha(f"an administration without confirmation carries what a CNF needs: {resposta}")
    except RespostaIncompleta:
        pass
    controle()
    ok("an administration is confirmed when answered as a transaction, not when 729-000 = 1")

    impressora = os.path.join(base, "..", "impressora-fiscal.txt")
    cliente = ImprimeComprovante(base, impressora)
    resposta = cliente.joga("5105", "2345")
    with open(impressora, "rb") as f:
        impresso = f.read().decode("cp1252").split("\r\n")[:-1]
    confere("printed lines", int(campo(resposta, "028-000")), len(impresso))
    for esperado in ("VALOR R$ 23,45", "APROVADA"):
        if esperado not in impresso:
            falha(f"the printout lacks {esperado!r}: {impresso}")
    for contagem, prefixo in (("712-000", "713"), ("714-000", "715")):
        comprovante(resposta, contagem, prefixo)
    confere("requests", ["CRT", "CNF"], cliente.comandos())
    ok(f"prints the receipt's {len(impresso)} lines from 029-xxx, as many as 028-000 says")

    cliente = AgenteWindows(base)
    resposta = cliente.joga("5107", "1700")
    confere("729-000 of an approved sale", "2", campo(resposta, "729-000"))
    confere("requests", ["CRT", "CNF"], cliente.comandos())
    confirmou_com(cliente, "CNF", resposta)
    ok("an agent that confirms only what 729-000 = 2 asks for confirms an approved sale")

    formas = [dict(cartao="credito", parcelas="3", financiamento="loja", rede="CIELO"),
              dict(cartao="debito", rede="REDE", bandeira="MAESTRO")]
    cliente = DoisCartoes(base)
    primeiro, segundo = cliente.joga("5106", ["600", "400"], lambda i: controle(**formas[i]))
    controle()
    confere("requests", ["CRT", "CRT", "CNF", "CNF"], cliente.comandos())
    confirmou_com(cliente, "CNF", primeiro, 2)
    confirmou_com(cliente, "CNF", segundo, 3)
    confere("first card", ["11", "0", "3", "CIELO"], [campo(primeiro, c) for c in ("011-000", "017-000", "018-000", "010-000")])
    confere("second card", ["20", None, "REDE", "MAESTRO"], [campo(segundo, c) for c in ("011-000", "018-000", "010-000", "040-000")])
    if campo(primeiro, "027-000") == campo(segundo, "027-000") or campo(primeiro, "012-000") == campo(segundo, "012-000"):
        falha(f"two transactions share a control code or NSU: {primeiro} {segundo}")
    ok("one sale paid with two cards (credit in 3 installments, debit), each confirmed with its own fields")


class Registro:
    """The reference web system's register of transactions (GET /transacoes,
    loopback only)."""

    def __init__(self, web):
        self.url = web.rstrip("/") + "/transacoes"
        self.abre = urllib.request.build_opener(urllib.request.ProxyHandler({})).open

    def do_pedido(self, ident):
        """The newest transaction whose page was opened for that request."""
        with self.abre(self.url, timeout=10) as r:
            todas = json.loads(r.read().decode("utf-8")).values()
        suas = sorted((t for t in todas if t.get("identificacao") == ident), key=lambda t: int(t["nsu"]))
        return suas[-1] if suas else None

    def espera(self, ident, estado, limite=30.0):
        fim = time.monotonic() + limite
        while True:
            t = self.do_pedido(ident)
            if t and t["estado"] == estado:
                return t
            if time.monotonic() >= fim:
                falha(f"request {ident} is not {estado!r} at the web system: {t}")
            time.sleep(0.1)


def texto_de_cliente(texto):
    return texto is not None and len(texto) <= 40 and all(" " <= c <= "~" for c in texto)


def fechamento(base, web):
    """With the manager's confirmation address set: what the commercial
    application sends reaches the web system, and cancellations by NSU."""
    registro = Registro(web)

    venda = ConfirmaVenda(base).joga("6101", "1100")
    registro.espera(campo(venda, "001-000"), "confirmada")
    ok("a CNF reaches the web system: the sale is confirmed there")

    desfeita = DocumentoRecusado(base).joga("6102", "1200")
    registro.espera(campo(desfeita, "001-000"), "desfeita")
    ok("an NCN after a refused fiscal document undoes the sale in the web system")

    cliente = CancelaPorNsu(base)
    resposta = cliente.joga(desfeita)
    confere("000-000 of the answer to a CNC", "CNC", campo(resposta, "000-000"))
    if campo(resposta, "009-000") == "0" or not texto_de_cliente(campo(resposta, "030-000")):
        falha(f"the cancellation of an undone sale was not refused with a reason: {resposta}")
    ok("a later CNC for the undone sale is refused, with the reason in 030-000")

    venda = ConfirmaVenda(base).joga("6103", "1300")
    cliente = CancelaPorNsu(base)
    resposta = cliente.joga(venda)
    confere("solicCancelamento's answer", ["CNC", "0"], [campo(resposta, "000-000"), campo(resposta, "009-000")])
    registro.espera(campo(venda, "001-000"), "cancelada")
    ok("freedom-erp's solicCancelamento: acknowledged within its 7 s, the sale cancelled in the web system")

    venda = ConfirmaVenda(base).joga("6104", "1400")
    cliente = CancelaEConfirma(base)
    resposta = cliente.joga(venda)
    confere("requests", ["CNC", "CNF"], cliente.comandos())
    confirmou_com(cliente, "CNF", resposta)
    registro.espera(campo(venda, "001-000"), "cancelada")
    registro.espera(campo(resposta, "001-000"), "confirmada")
    resposta = CancelaPorNsu(base).joga(venda)
    if campo(resposta, "009-000") == "0":
        falha(f"a sale cancelled twice: {resposta}")
    ok("a confirming client cancels by NSU and confirms the cancellation (729-000 = 2); a second CNC is refused")

    resposta = Finalizador(base).transacao("CNC", [("003-000", "100")])
    confere("a CNC naming no sale", ["CNC", "5"], [campo(resposta, "000-000"), campo(resposta, "009-000")])
    if not texto_de_cliente(campo(resposta, "030-000")):
        falha(f"030-000 is no text a client shows: {resposta}")
    ok("a CNC that names no sale is acknowledged and answered at once as not done")


def main():
    modos = {"com-gerente": com_gerente, "fechamento": fechamento}
    if len(sys.argv) == 4 and sys.argv[1] in modos:
        modos[sys.argv[1]](sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    com_gerente(sys.argv[1], sys.argv[2])


if __name__ == "__main__":
    main()
