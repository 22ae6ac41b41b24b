// The registry store: any text either is refused with a located error or
// parses into a document whose written form parses back to the same document
// and the same text; values written through TRegistry read back byte for byte
// from the real file.
#include "DocumentoReg.h"
#include "Registro.h"
#include "Verifica.h"
#include "untFuncao.h"

#include <cstring>
#include <fstream>
#include <functional>

namespace {

using fuzz::Visivel;

// Values compared through the registry classes, at most: each read parses the
// whole file again.
constexpr int kLeiturasPorEntrada = 12;

void GravaArquivo(const std::string& arquivo, const std::string& bytes) {
    std::ofstream f(arquivo, std::ios::binary | std::ios::trunc);
    f << bytes;
    VERIFICA(f.good(), "cannot write " + arquivo);
}

std::string LeArquivo(const std::string& arquivo) {
    std::ifstream f(arquivo, std::ios::binary);
    VERIFICA(f.good(), "cannot read " + arquivo);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Visits every key below the root (and the root when it has a section),
// depth first.
void Percorre(TDocumentoReg& doc, const std::vector<std::string>& partes,
              const std::function<void(const std::vector<std::string>&, TChaveArquivo&)>& visita) {
    if (TChaveArquivo* k = doc.Procura(partes)) visita(partes, *k);
    for (const auto& filha : doc.Filhas(partes)) {
        auto abaixo = partes;
        abaixo.push_back(filha);
        Percorre(doc, abaixo, visita);
    }
}

bool ContemProibido(const std::string& s) { return s.find_first_of(std::string("\n\0", 2)) != std::string::npos; }

void MesmoDocumento(TDocumentoReg& a, TDocumentoReg& b, const std::string& texto) {
    std::size_t chaves = 0;
    Percorre(a, {}, [&](const std::vector<std::string>& partes, TChaveArquivo& ka) {
        ++chaves;
        TChaveArquivo* kb = b.Procura(partes);
        VERIFICA(kb != nullptr, "key " + Visivel(JuntaPartes(partes)) + " lost in " + Visivel(texto));
        VERIFICA(kb->partes == ka.partes, "key " + Visivel(JuntaPartes(partes)) + " changed its spelling");
        VERIFICA(kb->valores.size() == ka.valores.size(),
                 "key " + Visivel(JuntaPartes(partes)) + " has " + std::to_string(kb->valores.size()) +
                     " values instead of " + std::to_string(ka.valores.size()));
        for (std::size_t i = 0; i < ka.valores.size(); ++i) {
            const TValorArquivo &va = ka.valores[i], &vb = kb->valores[i];
            VERIFICA(va.nome == vb.nome && va.tipo == vb.tipo && va.dados == vb.dados,
                     "value " + Visivel(va.nome) + " (type " + std::to_string(va.tipo) + ", " + Visivel(va.dados) +
                         ") read back as " + Visivel(vb.nome) + " (type " + std::to_string(vb.tipo) + ", " +
                         Visivel(vb.dados) + ")");
        }
    });
    std::size_t chavesB = 0;
    Percorre(b, {}, [&](const std::vector<std::string>&, TChaveArquivo&) { ++chavesB; });
    VERIFICA(chaves == chavesB, "written form has " + std::to_string(chavesB) + " keys instead of " +
                                    std::to_string(chaves));
}

// What a value's own reader returns, as the store documents it.
void ConfereLeitura(TRegistry& reg, const TValorArquivo& v) {
    VERIFICA(reg.ValueExists(v.nome), "value " + Visivel(v.nome) + " not found");
    VERIFICA(reg.GetDataType(v.nome) == v.tipo, "type of " + Visivel(v.nome));
    VERIFICA(reg.GetDataSize(v.nome) == static_cast<int>(v.dados.size()), "size of " + Visivel(v.nome));
    if (v.tipo == REG_SZ || v.tipo == REG_EXPAND_SZ) {
        VERIFICA(reg.ReadString(v.nome) == v.dados.substr(0, v.dados.find('\0')),
                 "ReadString of " + Visivel(v.nome) + " is " + Visivel(reg.ReadString(v.nome)));
    } else if (v.tipo == REG_DWORD && v.dados.size() <= 4) {
        std::uint32_t n = 0;
        std::memcpy(&n, v.dados.data(), v.dados.size());  // little-endian, missing high bytes zero
        VERIFICA(reg.ReadInteger(v.nome) == static_cast<std::int32_t>(n), "ReadInteger of " + Visivel(v.nome));
    } else if (v.tipo != REG_DWORD) {
        VERIFICA(reg.ReadBinaryData(v.nome) == v.dados, "ReadBinaryData of " + Visivel(v.nome));
    }
}

// The parsed file, read through the registry classes.
void LeDoArquivo(TDocumentoReg& doc, const std::string& arquivo) {
    int leituras = 0;
    Percorre(doc, {}, [&](const std::vector<std::string>& partes, TChaveArquivo& k) {
        if (leituras >= kLeiturasPorEntrada) return;
        ++leituras;
        const std::string caminho = "\\" + JuntaPartes(partes);
        TRegistry reg(arquivo);
        if (ContemProibido(caminho)) {
            // Such a key can live in a file but no program may name it.
            bool recusou = false;
            try {
                reg.KeyExists(caminho);
            } catch (const ERegistryException&) {
                recusou = true;
            }
            VERIFICA(recusou, "key name " + Visivel(caminho) + " accepted");
            return;
        }
        VERIFICA(reg.OpenKeyReadOnly(caminho), "key " + Visivel(caminho) + " in the file but not found");
        for (const auto& v : k.valores) {
            if (leituras++ >= kLeiturasPorEntrada) return;
            if (ContemProibido(v.nome)) continue;
            ConfereLeitura(reg, v);
        }
    });
}

// Splits the input into a key, a value name and data, and writes them through
// TRegistry in every type into a new store; another TRegistry must read back
// the same bytes, and the file must be in its written form.
void GravaELe(const std::string& x, const std::string& arquivo) {
    const std::size_t n1 = x.find('\n');
    const std::size_t n2 = n1 == std::string::npos ? std::string::npos : x.find('\n', n1 + 1);
    const std::string chave = x.substr(0, n1);
    const std::string nome = n1 == std::string::npos ? "" : x.substr(n1 + 1, n2 == std::string::npos ? n2 : n2 - n1 - 1);
    const std::string dados = n2 == std::string::npos ? x : x.substr(n2 + 1);
    std::uint32_t inteiro = 0;
    std::memcpy(&inteiro, dados.data(), std::min<std::size_t>(dados.size(), 4));

    std::remove(arquivo.c_str());
    {
        TRegistry reg(arquivo);
        try {
            VERIFICA(reg.OpenKey(chave, true), "OpenKey with creation failed for " + Visivel(chave));
        } catch (const ERegistryException& e) {
            VERIFICA(chave.find('\0') != std::string::npos, "key " + Visivel(chave) + " refused: " + e.what());
            return;
        }
        try {
            reg.WriteString(nome, dados);
        } catch (const ERegistryException& e) {
            VERIFICA(nome.find('\0') != std::string::npos, "value " + Visivel(nome) + " refused: " + e.what());
            return;
        }
        reg.WriteExpandString(nome + "#e", dados);
        reg.WriteBinaryData(nome + "#b", dados);
        reg.WriteInteger(nome + "#i", static_cast<std::int32_t>(inteiro));
    }
    TRegistry reg(arquivo);
    VERIFICA(reg.OpenKeyReadOnly(chave), "key " + Visivel(chave) + " written but not found");
    const auto guardado = reg.Armazem().LeValor(reg.CurrentPath(), nome);
    VERIFICA(guardado && guardado->tipo == REG_SZ && guardado->dados == dados + '\0',
             "stored text of " + Visivel(nome) + " is not " + Visivel(dados) + " plus NUL");
    ConfereLeitura(reg, {nome, REG_SZ, dados + '\0'});
    ConfereLeitura(reg, {nome + "#e", REG_EXPAND_SZ, dados + '\0'});
    ConfereLeitura(reg, {nome + "#b", REG_BINARY, dados});
    ConfereLeitura(reg, {nome + "#i", REG_DWORD, std::string(reinterpret_cast<const char*>(&inteiro), 4)});

    const std::string texto = LeArquivo(arquivo);
    TDocumentoReg doc;
    try {
        doc = TDocumentoReg::Interpreta(texto, arquivo);
    } catch (const ERegistryException& e) {
        VERIFICA(false, std::string("the store wrote a file it cannot read: ") + e.what() + "\n" + Visivel(texto));
    }
    VERIFICA(doc.Texto() == texto, "the store file is not in its written form: " + Visivel(texto));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
    const std::string x(reinterpret_cast<const char*>(dados), tamanho);
    const std::string arquivo = fuzz::DiretorioDeTrabalho() + "tef.reg";

    bool interpretou = true;
    TDocumentoReg doc;
    try {
        doc = TDocumentoReg::Interpreta(x, "entrada.reg");
    } catch (const ERegistryException& e) {
        interpretou = false;
        const std::string m = e.what();
        VERIFICA(m.rfind("entrada.reg:", 0) == 0, "error without the file and line: " + Visivel(m));
    }
    if (interpretou) {
        const std::string t1 = doc.Texto();
        TDocumentoReg doc2;
        try {
            doc2 = TDocumentoReg::Interpreta(t1, "escrito.reg");
        } catch (const ERegistryException& e) {
            VERIFICA(false, std::string("the written form does not parse: ") + e.what() + "\n" + Visivel(t1) +
                                "\nfrom " + Visivel(x));
        }
        const std::string t2 = doc2.Texto();
        VERIFICA(t1 == t2, "writing is not idempotent:\n" + Visivel(t1) + "\n" + Visivel(t2));
        MesmoDocumento(doc, doc2, t1);

        GravaArquivo(arquivo, x);
        LeDoArquivo(doc, arquivo);
    }
    GravaELe(x, arquivo);
    return 0;
}
