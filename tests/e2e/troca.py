#!/usr/bin/env python3
"""Both sides of the exchange under faults, for the end-to-end tests.

    troca.py leitor DIR PARE SAIDA     reads resp/ of DIR without pause until the file PARE
                                       exists; writes "leituras N" and every bad file seen to SAIDA
    troca.py escritor DIR PARE         sends requests into req/ of DIR (ATV, every third a CRT)
                                       until PARE exists, never two at once

A file the commercial application reads must never be seen empty or partial:
every line an exchange line, the last one ended by CR LF."""
import os
import re
import sys
import time

NOMES = ("intpos.sts", "intpos.001", "Ativo.001", "ativo.001")
LINHA = re.compile(rb"\d{3}-\d{3} = [^\r\n]*\r\n")


def bem_formado(dados):
    return len(dados) > 0 and LINHA.sub(b"", dados) == b""


def leitor(base, pare, saida):
    resp = os.path.join(base, "resp")
    leituras, ruins = 0, []
    while not os.path.exists(pare):
        for nome in NOMES:
            try:
                with open(os.path.join(resp, nome), "rb") as f:
                    dados = f.read()
            except OSError:
                continue
            leituras += 1
            if not bem_formado(dados):
                ruins.append(f"{nome}: {dados!r}")
    with open(saida, "w") as f:
        f.write(f"leituras {leituras}\n")
        for r in ruins:
            f.write(r + "\n")


def escritor(base, pare):
    req = os.path.join(base, "req")
    n = 0
    while not os.path.exists(pare):
        try:
            if any(".001" in nome.upper() for nome in os.listdir(req)):
                time.sleep(0.02)
                continue
        except FileNotFoundError:
            time.sleep(0.02)
            continue
        n += 1
        comando = "CRT" if n % 3 == 0 else "ATV"
        linhas = [f"000-000 = {comando}", f"001-000 = {n}"] + (["003-000 = 100"] if comando == "CRT" else [])
        temp = os.path.join(req, "pedido.tmp")
        try:
            with open(temp, "wb") as f:
                f.write("".join(l + "\r\n" for l in linhas + ["999-999 = 0"]).encode())
            os.rename(temp, os.path.join(req, "intpos.001"))
        except OSError:
            time.sleep(0.02)


if __name__ == "__main__":
    if sys.argv[1:2] == ["leitor"] and len(sys.argv) == 5:
        leitor(*sys.argv[2:])
    elif sys.argv[1:2] == ["escritor"] and len(sys.argv) == 4:
        escritor(*sys.argv[2:])
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
