#!/usr/bin/env python3
"""Reads a program's output and tells whether every sanitizer report in it is
acceptable. Suppressed reports never reach the output. One kind is accepted
besides: a leak whose allocation stack holds, after the allocator, only
frames of a library that was unloaded before the leak check (Mesa's software
GL driver is closed with the X connection). LeakSanitizer cannot name such a
library any more, so no suppression can match it; its frames are looked up in
the process's memory map taken before the program was told to end, and the
leak is accepted only when every one of them lies in a library that is not
the program.

usage: relatorios.py OUTPUT_FILE MAPS_FILE PROGRAM_PATH
exit 0: no report, or only such leaks; 1: anything else (printed)."""
import os
import re
import sys

saida, mapas, programa = sys.argv[1:4]
texto = open(saida, encoding="utf-8", errors="replace").read()
programa = os.path.realpath(programa)

regioes = []
for linha in open(mapas):
    partes = linha.split()
    if len(partes) >= 6:
        inicio, fim = (int(x, 16) for x in partes[0].split("-"))
        regioes.append((inicio, fim, partes[5]))


def biblioteca(endereco):
    for inicio, fim, caminho in regioes:
        if inicio <= endereco < fim:
            return caminho
    return None


outros = re.findall(r"^.*(?:ERROR: AddressSanitizer|runtime error:).*$", texto, re.M)
if outros:
    print("sanitizer reports:\n  " + "\n  ".join(outros))
    sys.exit(1)

blocos = re.split(r"\n(?=(?:Direct|Indirect) leak of )", texto)
ruins, aceitos = [], []
for b in (b for b in blocos if re.match(r"(Direct|Indirect) leak of ", b)):
    quadros = [l for l in b.split("\n")[1:] if re.match(r"\s+#\d+ ", l)]
    donos = set()
    for q in quadros[1:]:  # #0 is the allocator's interceptor
        # An unloaded library's frame: an address with no function, charged
        # to whatever module now owns the lookup.
        m = re.match(r"\s+#\d+ 0x([0-9a-f]+)\s+\([^()]+\+0x[0-9a-f]+\)\s*$", q)
        dono = biblioteca(int(m.group(1), 16)) if m else None
        if dono is None or os.path.realpath(dono) == programa or dono.startswith("["):
            donos = None
            break
        donos.add(dono)
    if donos:
        aceitos.append((b.split("\n")[0], sorted(donos)))
    else:
        ruins.append(b.strip())

if ruins:
    print("leaks not suppressed:\n\n" + "\n\n".join(ruins))
    sys.exit(1)
for cabeca, donos in aceitos:
    print(f"accepted, allocated by an unloaded library ({', '.join(donos)}): {cabeca}")
