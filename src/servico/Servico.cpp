#include "Servico.h"

#include "Registro.h"
#include "Servidor.h"
#include "untFuncao.h"
#include "untParametro.h"
#include "untPrincipal.h"

#include "Plataforma.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace servico {

namespace {
namespace p = plataforma;

std::string Valor(const std::map<std::string, std::string>& v, const std::string& nome) {
    const auto it = v.find(nome);
    return it == v.end() ? std::string() : it->second;
}

// The line's text for a status file: no line break may split an entry.
std::string UmaLinha(std::string texto) {
    for (char& c : texto)
        if (c == '\r' || c == '\n') c = ' ';
    return texto;
}
}  // namespace

std::string ArquivoEstado(const std::string& b) { return b + "temp/estado-gerente.txt"; }

std::string AgoraTexto() {
    const TDataHora t = DataHoraLocal();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.ano, t.mes, t.dia, t.hora, t.minuto, t.segundo);
    return buf;
}

void GravaEstado(const std::string& b, const TEstado& e) {
    const std::string temp = b + "temp/";
    if (!DiretorioExiste(temp)) CriaDiretorio(temp);
    TArquivoDeTrabalho novo(temp, ".estado-gerente.novo");
    novo.Escreve(TextoLinhas({"pid = " + std::to_string(e.pid), "inicio = " + UmaLinha(e.inicio),
                              "pendentes = " + std::to_string(e.pendentes), "ultimo_erro = " + UmaLinha(e.ultimoErro),
                              "ultimo_erro_em = " + UmaLinha(e.ultimoErroEm),
                              "recuperacao = " + UmaLinha(e.recuperacao)}),
                 /*sincroniza=*/false);
    novo.PoeNoLugar(ArquivoEstado(b));
}

std::optional<TEstado> LeEstado(const std::string& b) {
    std::map<std::string, std::string> v;
    try {
        // Group members may write it: read as a regular file, and only so much.
        std::string bytes;
        if (p::LeArquivo(ArquivoEstado(b), bytes, true, 64 * 1024) != 0) return std::nullopt;
        for (const auto& l : DivideLinhas(bytes)) {
            const auto igual = l.find(" = ");
            if (igual != std::string::npos) v[l.substr(0, igual)] = l.substr(igual + 3);
        }
    } catch (const Exception&) {
        return std::nullopt;
    }
    if (!v.count("pid") || !v.count("pendentes")) return std::nullopt;
    TEstado e;
    e.pid = std::atol(Valor(v, "pid").c_str());
    e.inicio = Valor(v, "inicio");
    e.pendentes = static_cast<std::size_t>(std::atoll(Valor(v, "pendentes").c_str()));
    e.ultimoErro = Valor(v, "ultimo_erro");
    e.ultimoErroEm = Valor(v, "ultimo_erro_em");
    e.recuperacao = Valor(v, "recuperacao");
    return e;
}

namespace {
// What a group member may have written into the status file reaches a
// monitoring system: one line of printable UTF-8, no "|" (which would start
// performance data), of bounded length.
std::string Saneado(const std::string& texto, std::size_t maximo = 300) {
    std::string r;
    for (std::size_t i = 0; i < texto.size() && r.size() < maximo;) {
        const unsigned char c = static_cast<unsigned char>(texto[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool valido = n > 0 && i + n <= texto.size();
        for (std::size_t k = 1; valido && k < n; ++k)
            valido = (static_cast<unsigned char>(texto[i + k]) & 0xC0) == 0x80;
        if (!valido) {
            r += '?';
            ++i;
            continue;
        }
        if (n == 1) r += c < 0x20 || c == 0x7F ? ' ' : c == '|' ? '/' : static_cast<char>(c);
        else if (r.size() + n <= maximo) r.append(texto, i, n);
        i += n;
    }
    return r;
}

// A moment as the manager writes it, or nothing.
std::string Momento(const std::string& texto) {
    if (texto.size() > 19 || texto.find_first_not_of("0123456789-: ") != std::string::npos) return "?";
    return texto;
}

// Answers on record in temp/ whose writing waits: the records are written in
// place, so they tell even when the disk is full.
std::size_t RespostasEsperando(const std::string& b) {
    std::size_t n = 0;
    for (const auto& arquivo : ArquivosDeRegistro(b + "temp/")) {
        const auto r = LeRegistro(arquivo);
        if (r && r->estado == "pendente") ++n;
    }
    return n;
}

// What waits to go to the web system: how many messages, and how old the
// oldest is. A warning past 10 minutes, critical past an hour.
struct TSaida {
    std::size_t n = 0;
    std::int64_t minutos = 0;
    int codigo = 0;
    std::string texto;
};
TSaida Saida(const std::string& b) {
    TSaida s;
    const std::int64_t agora = p::AgoraDosArquivos();
    for (const auto& arquivo : MensagensDaSaida(b + "temp/confirmacoes/")) {
        ++s.n;
        if (const auto e = p::Consulta(arquivo, false))
            s.minutos = std::max<std::int64_t>(s.minutos, (agora - e->modificado) / 60'000'000'000LL);
    }
    if (s.n == 0) return s;
    s.codigo = s.minutos >= 60 ? 2 : s.minutos >= 10 ? 1 : 0;
    s.texto = "; " + std::to_string(s.n) +
              " mensagem(ns) para o sistema web esperando entrega, a mais antiga h\xC3\xA1 " + std::to_string(s.minutos) +
              " min";
    return s;
}

// Approvals the manager could not undo by itself, for a day.
std::string ADesfazer(const std::string& b) {
    const std::int64_t agora = p::AgoraDosArquivos();
    std::string t;
    for (const auto& arquivo : AprovacoesADesfazer(b + "temp/")) {
        const auto e = p::Consulta(arquivo, false);
        if (!e || agora - e->modificado > 24LL * 3600 * 1000000000) continue;
        std::string bytes;
        if (p::LeArquivo(arquivo, bytes, true, 4096) != 0) continue;
        const TLinhas linhas = DivideLinhas(bytes);
        t += "; a desfazer \xC3\xA0 m\xC3\xA3o no sistema web: " +
             Saneado(Cp1252ParaUtf8(linhas.empty() ? p::NomeDe(arquivo) : linhas.front()));
    }
    return t;
}
}  // namespace

TRelatorio RelatorioDeEstado(const std::string& b) {
    const auto emUso = p::InstalacaoEmUso(b);
    if (!emUso)
        return {3, "TEF UNKNOWN - a instala\xC3\xA7\xC3\xA3o " + b +
                       " n\xC3\xA3o pode ser consultada (rode como root ou como membro do grupo do gerenciador)"};
    const std::string marcador = NomesConfigurados().ativo;
    const bool ativo = ArquivoExiste(b + "resp/" + marcador);
    auto estado = LeEstado(b);
    // The status file speaks for the manager only when the process holding
    // the installation is the one it names.
    const bool deOutro = estado && emUso->emUso && emUso->pid != 0 && estado->pid != emUso->pid;
    const auto erro = [&] {
        if (!estado || deOutro || estado->ultimoErro.empty()) return std::string("; \xC3\xBAltimo erro: nenhum");
        return "; \xC3\xBAltimo erro (" + Momento(estado->ultimoErroEm) + "): " + Saneado(estado->ultimoErro);
    };
    const std::size_t esperando = RespostasEsperando(b);
    if (!emUso->emUso) {
        std::string t = "TEF CRITICAL - nenhum gerenciador em execu\xC3\xA7\xC3\xA3o em " + b;
        if (ativo) t += "; resp/" + marcador + " ficou de uma execu\xC3\xA7\xC3\xA3o anterior";
        if (esperando > 0)
            t += "; " + std::to_string(esperando) +
                 " resposta(s) esperando grava\xC3\xA7\xC3\xA3o, dadas no pr\xC3\xB3ximo in\xC3\xAD" "cio";
        return {2, t + Saida(b).texto + ADesfazer(b) + erro()};
    }
    if (!ativo)
        return {2, "TEF CRITICAL - gerenciador em execu\xC3\xA7\xC3\xA3o sem resp/" + marcador +
                       ": o aplicativo comercial o v\xC3\xAA parado" + erro()};
    if (!estado)
        return {3, "TEF UNKNOWN - gerenciador em execu\xC3\xA7\xC3\xA3o, mas " + ArquivoEstado(b) +
                       " n\xC3\xA3o pode ser lido"};
    if (deOutro)
        return {3, "TEF UNKNOWN - " + ArquivoEstado(b) + " nomeia o pid " + std::to_string(estado->pid) +
                       ", mas a instala\xC3\xA7\xC3\xA3o \xC3\xA9 do pid " + std::to_string(emUso->pid)};
    const std::size_t pendentes = std::max(estado->pendentes, esperando);
    const long pid = emUso->pid != 0 ? emUso->pid : estado->pid;
    const std::string desde = "em execu\xC3\xA7\xC3\xA3o desde " + Momento(estado->inicio) + " (pid " +
                              std::to_string(pid) + "); resp/" + marcador + " presente; " +
                              std::to_string(pendentes) + " resposta(s) esperando grava\xC3\xA7\xC3\xA3o";
    const std::string recuperacao =
        estado->recuperacao.empty() ? ""
                                    : "; sem recupera\xC3\xA7\xC3\xA3o depois de uma queda: " +
                                          Saneado(estado->recuperacao);
    const TSaida saida = Saida(b);
    const std::string desfazer = ADesfazer(b);
    const std::string dados = " | pendentes=" + std::to_string(pendentes) + " confirmacoes=" + std::to_string(saida.n);
    const std::string texto = desde + recuperacao + saida.texto + desfazer + erro() + dados;
    if (saida.codigo == 2) return {2, "TEF CRITICAL - " + texto};
    if (pendentes > 0 || !recuperacao.empty() || saida.codigo == 1 || !desfazer.empty())
        return {1, "TEF WARNING - " + texto};
    return {0, "TEF OK - " + texto};
}

int Limpa(const std::string& b, std::string& mensagem) {
    const auto emUso = p::InstalacaoEmUso(b);
    if (!emUso || emUso->emUso) {
        mensagem = emUso ? "um gerenciador est\xC3\xA1 em execu\xC3\xA7\xC3\xA3o em " + b + ": nada foi apagado"
                         : b + " n\xC3\xA3o pode ser consultado: nada foi apagado";
        return 0;
    }
    int r = 0;
    for (const std::string& marcador : NomesDoMarcador(NomesConfigurados())) {
        const std::string nome = "resp/" + marcador;
        // Never an answer that a configuration gave this name.
        if (!EhMarcador(b + nome)) continue;
        const auto erro = p::ApagaArquivo(b + nome);
        if (erro != 0 && p::TipoDoErro(erro) != p::TTipoErro::NaoEncontrado) {
            mensagem += b + nome + ": " + p::TextoDoErro(erro) + "\n";
            r = 1;
        }
    }
    return r;
}

int Configura(std::istream& entrada, std::string& mensagem) {
    const char* nomes[] = {"o endere\xE7o", "o c\xF3" "digo da loja", "o login", "a senha"};
    std::string valores[4];
    for (int i = 0; i < 4; ++i) {
        std::string linha;
        if (!std::getline(entrada, linha)) {
            mensagem = Cp1252ParaUtf8(std::string("esperadas quatro linhas na entrada padr\xE3o: falta ") + nomes[i]);
            return saida::Uso;
        }
        if (!linha.empty() && linha.back() == '\r') linha.pop_back();
        const auto cp = Utf8ParaCp1252Estrito(linha);
        if (!cp) {
            mensagem = Cp1252ParaUtf8(std::string(nomes[i]) + " tem um caractere sem forma em Windows-1252");
            return saida::ParametrosInvalidos;
        }
        valores[i] = *cp;
    }
    const std::string url = valores[0].empty() ? servidor::BaseProducao() + "/" : valores[0];
    std::int32_t loja = 0;
    try {
        loja = StrToInt(valores[1]);
        // The same refusal as the dialog's: a byte the stored form turns
        // into NUL would load back cut short.
        for (int i : {2, 3})
            if (Decifra(valores[i]).find('\0') != std::string::npos)
                throw EConvertError(std::string(nomes[i]) +
                                    " n\xE3o pode conter o caractere de retorno de carro (CR): ele n\xE3o seria "
                                    "gravado como foi digitado.");
    } catch (const Exception& e) {
        mensagem = Cp1252ParaUtf8(e.Message());
        return saida::ParametrosInvalidos;
    }
    try {
        TRegistry reg;
        AbreSemFalhar(reg, textos::ChaveRegistro, true);
        reg.WriteString("Url", url);
        reg.WriteInteger("Lojcodigo", loja);
        reg.WriteString("Usulogin", Decifra(valores[2]));
        reg.WriteString("Ususenha", Decifra(valores[3]));
        reg.CloseKey();
    } catch (const Exception& e) {
        mensagem = Cp1252ParaUtf8(MascaraSenha(e.Message() + (e.Causa.empty() ? "" : ": " + e.Causa)));
        return saida::ArmazemIlegivel;
    }
    return 0;
}

const char* const kUsoCurto = "Uso: TefOrvex [/CONFIG | --servico | --estado | --limpa | --configura | --help | --version]";

TLinhaDeComando LeArgumentos(const std::vector<std::string>& argumentos) {
    TLinhaDeComando r;
    bool ajuda = false, versao = false;
    std::string modo;
    for (const auto& a : argumentos) {
        if (a == "--help" || a == "-h") {
            ajuda = true;
        } else if (a == "--version") {
            versao = true;
        } else if (MaiusculasAnsi(a) == "/CONFIG" || a == "--servico" || a == "--estado" || a == "--limpa" ||
                   a == "--configura") {
            if (!modo.empty()) return {TModo::Erro, "op\xC3\xA7\xC3\xB5" "es que n\xC3\xA3o v\xC3\xA3o juntas: " + modo + " " + a};
            modo = a;
        } else {
            return {TModo::Erro, (a.rfind('-', 0) == 0 || a.rfind('/', 0) == 0 ? "op\xC3\xA7\xC3\xA3o desconhecida: "
                                                                             : "argumento a mais: ") + a};
        }
    }
    if (ajuda) return {TModo::Ajuda, ""};
    if (versao) return {TModo::Versao, ""};
    if (modo == "--servico") r.modo = TModo::Servico;
    else if (modo == "--estado") r.modo = TModo::Estado;
    else if (modo == "--limpa") r.modo = TModo::Limpa;
    else if (modo == "--configura") r.modo = TModo::Configura;
    return r;
}

}  // namespace servico
