"""The confirming clients' own checks, on answers written here: a client must
stop before a CNF or NCN it cannot fill, must not confirm what 729-000 says
needs none, and must refuse a receipt whose count disagrees with its lines."""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import confirmacao  # noqa: E402
from confirmacao import RespostaIncompleta  # noqa: E402

APROVADA = [
    "000-000 = CRT", "001-000 = 7", "002-000 = 55", "003-000 = 1000", "009-000 = 0", "010-000 = CIELO",
    "012-000 = 42", "013-000 = 123456", "027-000 = 0007000000000042050326090807", "028-000 = 2",
    '029-001 = "   COMPROVANTE"', '029-002 = ""', "999-999 = 0",
]


def sem(linhas, *ids):
    return [l for l in linhas if l[:7] not in ids]


def com(linhas, *novas):
    ids = {n[:7] for n in novas}
    return [l for l in linhas if l[:7] not in ids][:-1] + list(novas) + ["999-999 = 0"]


class CamposDeConfirmacao(unittest.TestCase):
    def test_os_tres_campos_da_resposta(self):
        self.assertEqual(confirmacao.campos_de_confirmacao(APROVADA),
                         [("010-000", "CIELO"), ("012-000", "42"), ("027-000", "0007000000000042050326090807")])

    def test_falta_um_campo(self):
        for falta in ("010-000", "012-000", "027-000"):
            for resposta in (sem(APROVADA, falta), com(APROVADA, f"{falta} = "), com(APROVADA, f"{falta} =   ")):
                with self.subTest(falta=falta, resposta=resposta), self.assertRaises(RespostaIncompleta) as e:
                    confirmacao.campos_de_confirmacao(resposta)
                self.assertIn(falta, str(e.exception))

    def test_nada_e_enviado_sem_os_campos(self):
        with tempfile.TemporaryDirectory() as d:
            for sub in ("req", "resp"):
                os.mkdir(os.path.join(d, sub))
            open(os.path.join(d, "resp", "ativo.001"), "wb").close()
            cliente = confirmacao.Finalizador(d)
            with self.assertRaises(RespostaIncompleta):
                cliente.finaliza("CNF", sem(APROVADA, "027-000"))
            self.assertEqual(os.listdir(os.path.join(d, "req")), [])
            self.assertEqual(cliente.enviados, [])


class PrecisaConfirmar(unittest.TestCase):
    def test_decisao(self):
        casos = [
            ("approved with a receipt", APROVADA, True),
            ("729-000 = 1 despite the receipt", com(APROVADA, "729-000 = 1"), False),
            ("729-000 = 2", com(APROVADA, "729-000 = 2"), True),
            ("729-000 = 2 without a receipt", com(APROVADA, "028-000 = 0", "729-000 = 2"), True),
            ("no receipt", sem(com(APROVADA, "028-000 = 0"), "029-001", "029-002"), False),
            ("refused", com(APROVADA, "009-000 = 5"), False),
            ("refused, 729-000 = 2", com(APROVADA, "009-000 = 5", "729-000 = 2"), False),
        ]
        for nome, resposta, esperado in casos:
            with self.subTest(nome):
                self.assertIs(confirmacao.precisa_confirmar(resposta), esperado)

    def test_resposta_que_nao_diz(self):
        for resposta in (com(APROVADA, "729-000 = 3"), sem(APROVADA, "028-000"), com(APROVADA, "028-000 = dois")):
            with self.subTest(resposta=resposta), self.assertRaises(RespostaIncompleta):
                confirmacao.precisa_confirmar(resposta)


class Comprovante(unittest.TestCase):
    def test_linhas_sem_aspas(self):
        self.assertEqual(confirmacao.comprovante(APROVADA), ["   COMPROVANTE", ""])
        vias = com(APROVADA, "712-000 = 1", "713-001 = VIA CLIENTE")
        self.assertEqual(confirmacao.comprovante(vias, "712-000", "713"), ["VIA CLIENTE"])

    def test_contagem_que_nao_bate(self):
        casos = [
            ("one line more than counted", com(APROVADA, "028-000 = 1")),
            ("one line fewer than counted", com(APROVADA, "028-000 = 3")),
            ("a gap in the numbering", com(sem(APROVADA, "029-002"), "029-003 = x")),
            ("no count", sem(APROVADA, "028-000")),
            ("a line past 40 columns", com(APROVADA, "029-002 = " + "x" * 41)),
        ]
        for nome, resposta in casos:
            with self.subTest(nome), self.assertRaises(RespostaIncompleta):
                confirmacao.comprovante(resposta)


if __name__ == "__main__":
    unittest.main()
