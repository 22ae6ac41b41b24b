#include "untFuncao.h"

#include "Plataforma.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>

namespace p = plataforma;

namespace {

bool Absoluto(const std::string& caminho) {
    return (!caminho.empty() && (caminho[0] == '/' || caminho[0] == '\\')) ||
           (caminho.size() > 1 && caminho[1] == ':');
}

std::string CaminhoExpandido(const std::string& arquivo) {
    if (Absoluto(arquivo)) return arquivo;
    const std::string atual = p::DiretorioAtual();
    return atual.empty() ? arquivo : JuntaCaminho(atual, arquivo);
}

// The system's code goes along: the operator's text says the reason in words.
template <typename E>
[[noreturn]] void Lanca(E e, p::TCodigo erro) {
    e.Codigo = erro;
    throw e;
}

[[noreturn]] void ErroCriacao(const std::string& arquivo, p::TCodigo erro) {
    const std::string motivo = p::TextoDoErro(erro);
    Lanca(EFCreateError("Cannot create file \"" + CaminhoExpandido(arquivo) + "\". " + motivo, motivo), erro);
}

[[noreturn]] void ErroAbertura(const std::string& arquivo, p::TCodigo erro) {
    Lanca(EFOpenError("Cannot open file \"" + CaminhoExpandido(arquivo) + "\". " + p::TextoDoErro(erro)), erro);
}

[[noreturn]] void ErroEscrita(p::TCodigo erro) { Lanca(EWriteError("Stream write error", p::TextoDoErro(erro)), erro); }

// "*" and "?" as wildcards, letters compared without their case (Windows-1252).
bool CasaCuringa(std::string_view mascara, std::string_view nome) {
    std::size_t m = 0, n = 0, estrela = std::string_view::npos, volta = 0;
    const auto igual = [](char a, char b) { return MaiusculasAnsi(std::string(1, a)) == MaiusculasAnsi(std::string(1, b)); };
    while (n < nome.size()) {
        if (m < mascara.size() && (mascara[m] == '?' || (mascara[m] != '*' && igual(mascara[m], nome[n])))) {
            ++m, ++n;
        } else if (m < mascara.size() && mascara[m] == '*') {
            estrela = m++;
            volta = n;
        } else if (estrela != std::string_view::npos) {
            m = estrela + 1;
            n = ++volta;
        } else {
            return false;
        }
    }
    while (m < mascara.size() && mascara[m] == '*') ++m;
    return m == mascara.size();
}

bool CasaMascara(const std::string& mascara, const std::string& nome) {
    if (mascara == "*.*" || mascara == "*") return true;
    return CasaCuringa(mascara, nome);
}

TLinhas CarregaDe(const std::string& arquivo, bool soRegular) {
    p::TArquivo f;
    if (const auto erro = f.Abre(arquivo, soRegular ? p::TArquivo::Modo::LeituraRegular : p::TArquivo::Modo::Leitura))
        ErroAbertura(arquivo, erro);
    std::string conteudo;
    if (const auto erro = f.LeTudo(conteudo)) throw EReadError("Stream read error", p::TextoDoErro(erro));
    return DivideLinhas(conteudo);
}

[[noreturn]] void FalhaNoLugar(const std::string& destino, const std::string& motivo, p::TCodigo erro = 0) {
    Lanca(EFCreateError("Cannot create file \"" + CaminhoExpandido(destino) + "\". " + motivo, motivo), erro);
}

// "nome" with "_n" before its extension: the n-th fresh name.
std::string NomeNovo(const std::string& nome, int n) {
    if (n == 0) return nome;
    const auto ponto = nome.rfind('.');
    const auto corte = ponto == std::string::npos || ponto == 0 ? nome.size() : ponto;
    return nome.substr(0, corte) + "_" + std::to_string(n) + nome.substr(corte);
}

}  // namespace

TDataHora DataHoraLocal() { return p::AgoraLocal(); }

// ---- lists of lines -------------------------------------------------------

TLinhas DivideLinhas(std::string_view texto) {
    const auto nul = texto.find('\0');
    if (nul != std::string_view::npos) texto = texto.substr(0, nul);
    TLinhas linhas;
    std::size_t inicio = 0;
    const std::size_t n = texto.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = texto[i];
        if (c == '\r' || c == '\n') {
            linhas.emplace_back(texto.substr(inicio, i - inicio));
            if (c == '\r' && i + 1 < n && texto[i + 1] == '\n') ++i;
            ++i;
            inicio = i;
        } else {
            ++i;
        }
    }
    if (inicio < n) linhas.emplace_back(texto.substr(inicio));
    return linhas;
}

std::string TextoLinhas(const TLinhas& linhas) {
    std::size_t total = 0;
    for (const auto& l : linhas) total += l.size() + 2;
    std::string texto;
    texto.reserve(total);
    for (const auto& l : linhas) {
        texto += l;
        texto += "\r\n";
    }
    return texto;
}

TLinhas CarregaLinhas(const std::string& arquivo) { return CarregaDe(arquivo, false); }

TLinhas CarregaLinhasRegular(const std::string& arquivo) { return CarregaDe(arquivo, true); }

void SalvaTexto(const std::string& arquivo, std::string_view texto, bool sincroniza) {
    p::TArquivo f;
    if (const auto erro = f.Abre(arquivo, p::TArquivo::Modo::Escrita)) ErroCriacao(arquivo, erro);
    if (const auto erro = f.Escreve(texto)) ErroEscrita(erro);
    if (sincroniza)
        if (const auto erro = f.Sincroniza()) ErroEscrita(erro);
    if (const auto erro = f.Fecha()) ErroEscrita(erro);
}

void AnexaTexto(const std::string& arquivo, std::string_view texto) {
    p::TArquivo f;
    if (const auto erro = f.Abre(arquivo, p::TArquivo::Modo::Anexo)) ErroCriacao(arquivo, erro);
    if (const auto erro = f.Escreve(texto)) ErroEscrita(erro);
    if (const auto erro = f.Fecha()) ErroEscrita(erro);
}

void SalvaLinhas(const std::string& arquivo, const TLinhas& linhas, bool sincroniza) {
    SalvaTexto(arquivo, TextoLinhas(linhas), sincroniza);
}

// ---- files and directories ------------------------------------------------

bool DiretorioExiste(const std::string& caminho) {
    const auto e = p::Consulta(caminho);
    return e && e->tipo == p::TTipoEntrada::Diretorio;
}

bool ArquivoExiste(const std::string& caminho) {
    const auto e = p::Consulta(caminho);
    return e && e->tipo != p::TTipoEntrada::Diretorio;
}

void CriaDiretorio(const std::string& caminho) { (void)p::CriaDiretorio(caminho); }

void ApagaArquivo(const std::string& caminho) { (void)p::ApagaArquivo(caminho); }

std::string DescreveEntrada(const std::string& caminho) {
    const auto e = p::Consulta(caminho, false);
    if (!e) return "nothing";
    switch (e->tipo) {
    case p::TTipoEntrada::Link:
        return "a symbolic link";
    case p::TTipoEntrada::Diretorio:
        return "a directory";
    case p::TTipoEntrada::Outro:
        return "a FIFO, socket or device";
    case p::TTipoEntrada::Regular:
        break;
    }
    return e->doUsuario ? "a regular file" : "a file of another user";
}

TArquivoDeTrabalho::TArquivoDeTrabalho(const std::string& diretorio, const std::string& nome,
                                       TAoAcharOcupado aoAcharOcupado)
    : aoAcharOcupado_(std::move(aoAcharOcupado)) {
    // Bounded: a directory someone keeps filling with names must not hold
    // the manager here for ever.
    p::TCodigo erro = 0;
    for (int n = 0; n < 100; ++n) {
        caminho_ = JuntaCaminho(diretorio, NomeNovo(nome, n));
        erro = arquivo_.Abre(caminho_, p::TArquivo::Modo::Exclusiva);
        if (erro == 0) return;
        // Only a name that is taken calls for another name (Windows refuses
        // a directory's name as access denied); any other failure is the
        // directory's.
        const auto e = p::Consulta(caminho_, false);
        if (!e && !p::ErroJaExiste(erro)) ErroCriacao(caminho_, erro);
        if (e && e->tipo == p::TTipoEntrada::Regular && e->doUsuario) {
            // A copy of ours left by an earlier write (the same millisecond,
            // or a run that was killed): it goes, and the name is used again.
            (void)p::ApagaArquivo(caminho_);
            erro = arquivo_.Abre(caminho_, p::TArquivo::Modo::Exclusiva);
            if (erro == 0) return;
        }
        if (aoAcharOcupado_ && p::Consulta(caminho_, false)) aoAcharOcupado_(caminho_, DescreveEntrada(caminho_));
    }
    ErroCriacao(caminho_, erro);
}

TArquivoDeTrabalho::~TArquivoDeTrabalho() {
    if (!arquivo_.Aberto() && (noLugar_ || caminho_.empty())) return;
    const bool nosso = arquivo_.Aberto() && arquivo_.EstaEm(caminho_);
    arquivo_.Fecha();
    if (!noLugar_ && nosso) (void)p::ApagaArquivo(caminho_);
}

void TArquivoDeTrabalho::Escreve(std::string_view dados, bool sincroniza) {
    dados_.append(dados);
    if (const auto erro = arquivo_.Escreve(dados)) ErroEscrita(erro);
    if (sincroniza)
        if (const auto erro = arquivo_.Sincroniza()) ErroEscrita(erro);
}

void TArquivoDeTrabalho::ConfereEFecha(const std::string& destino) {
    // Someone who may write the directory could have renamed the file away
    // and left a link or a file of theirs under its name: that must never
    // become the answer.
    if (arquivo_.ConfereProprio() != 0 || !arquivo_.EstaEm(caminho_))
        FalhaNoLugar(destino, "the staging file \"" + caminho_ + "\" was replaced by " + DescreveEntrada(caminho_));
    if (const auto erro = arquivo_.Fecha()) {
        (void)p::ApagaArquivo(caminho_);
        noLugar_ = true;
        FalhaNoLugar(destino, p::TextoDoErro(erro), erro);
    }
}

p::TCodigo TArquivoDeTrabalho::Renomeia(const std::string& destino, bool substitui) {
    ConfereEFecha(destino);
    const p::TCodigo erro = p::Renomeia(caminho_, destino, substitui);
    noLugar_ = true;  // in place, or nothing of ours is left under the name
    if (erro == 0) {
        p::SincronizaDiretorio(p::DiretorioDe(destino));
        return 0;
    }
    (void)p::ApagaArquivo(caminho_);
    return erro;
}

bool TArquivoDeTrabalho::PoeNoLugarSeLivre(const std::string& destino) {
    const p::TCodigo erro = Renomeia(destino, false);
    if (erro == 0) return true;
    if (p::ErroJaExiste(erro)) return false;
    FalhaNoLugar(destino, p::TextoDoErro(erro), erro);
}

void TArquivoDeTrabalho::PoeNoLugar(const std::string& destino) {
    const p::TCodigo erro = Renomeia(destino, true);
    if (erro == 0) return;
    if (!p::ErroOutroSistemaDeArquivos(erro)) FalhaNoLugar(destino, p::TextoDoErro(erro), erro);
    // Another file system: a hidden copy beside the target, then one rename
    // there. A hidden name is never taken for an exchange file.
    std::optional<TArquivoDeTrabalho> copia;
    try {
        copia.emplace(p::DiretorioDe(destino), "." + p::NomeDe(caminho_), aoAcharOcupado_);
        copia->Escreve(dados_);
    } catch (const Exception& e) {
        FalhaNoLugar(destino, e.Causa.empty() ? e.Message() : e.Causa, e.Codigo);
    }
    copia->PoeNoLugar(destino);
}

void CriaApelido(const std::string& arquivo, const std::string& apelido) { p::CriaApelido(arquivo, apelido); }

std::vector<TEntradaDiretorio> ListaEntradas(const std::string& diretorio) {
    std::vector<TEntradaDiretorio> r;
    const auto entradas = p::ListaDiretorio(diretorio);
    if (!entradas) return r;
    for (const auto& e : *entradas) {
        if (e.tipo == p::TTipoEntrada::Diretorio) continue;
        const TTipoEntrada tipo = e.tipo == p::TTipoEntrada::Regular ? TTipoEntrada::Regular
                                  : e.tipo == p::TTipoEntrada::Link  ? TTipoEntrada::Link
                                                                     : TTipoEntrada::Outro;
        r.push_back({JuntaCaminho(diretorio, e.nome), tipo, e.tamanho, e.modificado});
    }
    return r;
}

bool PodeLer(const std::string& arquivo) { return p::PodeLer(arquivo); }

std::string JuntaCaminho(const std::string& diretorio, const std::string& nome) {
    if (!diretorio.empty() && (diretorio.back() == '/' || diretorio.back() == '\\')) return diretorio + nome;
    return diretorio + "/" + nome;
}

void ListaArquivos(std::string diretorio, TLinhas& lista, bool recursivo) {
    if (diretorio.empty() || (diretorio.back() != '/' && diretorio.back() != '\\')) diretorio += '/';
    const TLinhas subdiretorios = ListaSubdiretorios(diretorio);
    if (recursivo) {
        for (const auto& nome : subdiretorios) ListaArquivos(diretorio + nome, lista, true);
    }
    try {
        for (const auto& nome : ListaArquivosMascara(diretorio, "*.*")) lista.push_back(diretorio + nome);
    } catch (const EInOutError&) {
        // a directory that cannot be entered simply lists nothing
    }
}

TLinhas ListaArquivosMascara(const std::string& diretorio, const std::string& mascaras) {
    p::TCodigo erro = 0;
    const auto entradas = p::ListaDiretorio(diretorio, &erro);
    if (!entradas) throw EInOutError(erro, MensagemErroES(erro));
    TLinhas resultado;
    for (const auto& mascara : Divide(mascaras, ";")) {
        for (const auto& e : *entradas) {
            // A link counts as what it leads to, as the listing always did.
            const bool regular = e.tipo == p::TTipoEntrada::Regular ||
                                 (e.tipo == p::TTipoEntrada::Link && [&] {
                                     const auto alvo = p::Consulta(JuntaCaminho(diretorio, e.nome), true);
                                     return alvo && alvo->tipo == p::TTipoEntrada::Regular;
                                 }());
            if (regular && CasaMascara(mascara, e.nome)) resultado.push_back(e.nome);
        }
    }
    return resultado;
}

TLinhas ListaSubdiretorios(const std::string& diretorio) {
    TLinhas resultado;
    const auto entradas = p::ListaDiretorio(diretorio);
    if (!entradas) return resultado;
    for (const auto& e : *entradas) {
        // Hidden and system directories are left out, as a listing of
        // directories leaves them out.
        if (e.oculto || e.sistema) continue;
        bool diretorioReal = e.tipo == p::TTipoEntrada::Diretorio;
        if (e.tipo == p::TTipoEntrada::Link) {
            const auto alvo = p::Consulta(JuntaCaminho(diretorio, e.nome), true);
            diretorioReal = alvo && alvo->tipo == p::TTipoEntrada::Diretorio;
        }
        if (diretorioReal) resultado.push_back(e.nome);
    }
    return resultado;
}

std::string MensagemErroES(int codigo) {
    switch (p::TipoDoErro(codigo)) {
    case p::TTipoErro::NaoEncontrado:
        return "File not found";
    case p::TTipoErro::AcessoNegado:
        return "File access denied";
    default:
        return "I/O error " + std::to_string(codigo);
    }
}

std::string CaminhoDoExecutavel(const char* argv0) { return p::CaminhoDoExecutavel(argv0); }

// ---- texts ----------------------------------------------------------------

std::string Apara(std::string_view texto) {
    std::size_t i = 0, f = texto.size();
    while (i < f && static_cast<unsigned char>(texto[i]) <= 32) ++i;
    while (f > i && static_cast<unsigned char>(texto[f - 1]) <= 32) --f;
    return std::string(texto.substr(i, f - i));
}

std::string SubstituiTodos(std::string_view texto, std::string_view de, std::string_view para) {
    if (de.empty()) return std::string(texto);
    std::string resultado;
    resultado.reserve(texto.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t achou = texto.find(de, pos);
        if (achou == std::string_view::npos) break;
        resultado.append(texto.substr(pos, achou - pos));
        resultado.append(para);
        pos = achou + de.size();
    }
    resultado.append(texto.substr(pos));
    return resultado;
}

TLinhas Divide(std::string texto, const std::string& separador) {
    TLinhas itens;
    if (separador.empty()) {
        if (!texto.empty()) itens.push_back(std::move(texto));
        return itens;
    }
    std::size_t inicio = 0;
    for (;;) {
        const std::size_t achou = texto.find(separador, inicio);
        if (achou == std::string::npos) break;
        itens.push_back(texto.substr(inicio, achou - inicio));
        inicio = achou + separador.size();
    }
    if (inicio < texto.size()) itens.push_back(texto.substr(inicio));
    return itens;
}

namespace {
unsigned char MaiusculaAnsi(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
    switch (c) {
    case 0x9A: return 0x8A;  // š
    case 0x9C: return 0x8C;  // œ
    case 0x9E: return 0x8E;  // ž
    case 0xFF: return 0x9F;  // ÿ
    default: break;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
    return c;
}

unsigned char MinusculaAnsi(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: break;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}
}  // namespace

std::string MaiusculasAnsi(std::string_view texto) {
    std::string r(texto);
    for (auto& c : r) c = static_cast<char>(MaiusculaAnsi(static_cast<unsigned char>(c)));
    return r;
}

std::string MinusculasAnsi(std::string_view texto) {
    std::string r(texto);
    for (auto& c : r) c = static_cast<char>(MinusculaAnsi(static_cast<unsigned char>(c)));
    return r;
}

// ---- time -----------------------------------------------------------------

std::string DataHoraCompacta(const TDataHora& m) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d", m.dia % 100, m.mes % 100, m.hora % 100,
                  m.minuto % 100, m.segundo % 100);
    return buf;
}

std::tm ParaTm(const TDataHora& m) {
    std::tm t{};
    t.tm_year = m.ano - 1900;
    t.tm_mon = m.mes - 1;
    t.tm_mday = m.dia;
    t.tm_hour = m.hora;
    t.tm_min = m.minuto;
    t.tm_sec = m.segundo;
    const std::int64_t dias = DiasDesde1970(m.ano, m.mes, m.dia);
    t.tm_wday = static_cast<int>(((dias % 7) + 11) % 7);  // 1 January 1970 was a Thursday
    t.tm_yday = static_cast<int>(dias - DiasDesde1970(m.ano, 1, 1));
    t.tm_isdst = -1;
    return t;
}

std::int64_t DiasDesde1970(int ano, int mes, int dia) {
    // The civil calendar's day count, without the C library (timegm is not
    // everywhere).
    const std::int64_t a = ano - (mes <= 2 ? 1 : 0);
    const std::int64_t era = (a >= 0 ? a : a - 399) / 400;
    const std::int64_t anoDaEra = a - era * 400;
    const std::int64_t diaDoAno = (153 * (mes + (mes > 2 ? -3 : 9)) + 2) / 5 + dia - 1;
    const std::int64_t diaDaEra = anoDaEra * 365 + anoDaEra / 4 - anoDaEra / 100 + diaDoAno;
    return era * 146097 + diaDaEra - 719468;
}

std::int64_t MilissegundosDe(const TDataHora& m) {
    return ((DiasDesde1970(m.ano, m.mes, m.dia) * 24 + m.hora) * 60 + m.minuto) * 60000 + m.segundo * 1000 +
           m.milissegundo;
}

TDataHora DataDeSegundos(std::int64_t segundos, int milissegundo) {
    std::int64_t dias = segundos / 86400, resto = segundos % 86400;
    if (resto < 0) resto += 86400, --dias;
    const std::int64_t z = dias + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t diaDaEra = z - era * 146097;
    const std::int64_t anoDaEra = (diaDaEra - diaDaEra / 1460 + diaDaEra / 36524 - diaDaEra / 146096) / 365;
    const std::int64_t diaDoAno = diaDaEra - (365 * anoDaEra + anoDaEra / 4 - anoDaEra / 100);
    const std::int64_t mp = (5 * diaDoAno + 2) / 153;
    const int dia = static_cast<int>(diaDoAno - (153 * mp + 2) / 5 + 1);
    const int mes = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int ano = static_cast<int>(anoDaEra + era * 400 + (mes <= 2 ? 1 : 0));
    return TDataHora{ano, mes, dia, static_cast<int>(resto / 3600), static_cast<int>(resto / 60 % 60),
                     static_cast<int>(resto % 60), milissegundo};
}

std::string DataHoraRegional(const TDataHora& m) {
    const std::tm t = ParaTm(m);
    char data[128] = "", hora[128] = "";
    std::strftime(data, sizeof data, "%x", &t);
    if (m.hora == 0 && m.minuto == 0 && m.segundo == 0) return data;
    std::strftime(hora, sizeof hora, "%X", &t);
    return std::string(data) + " " + hora;
}

// ---- amounts --------------------------------------------------------------

std::optional<TCurrency> TextoParaCurrency(std::string_view s) {
    std::size_t i = 0;
    bool negativo = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativo = s[i++] == '-';
    std::string digitos;  // significant digits, integer part then fraction
    int casasDecimais = 0;
    bool virgula = false, algumDigito = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            algumDigito = true;
            if (virgula) ++casasDecimais;
            if (!(digitos.empty() && c == '0')) digitos += c;
            else if (virgula) digitos += c;  // keep place-holding zeros of the fraction
        } else if (c == ',' && !virgula) {
            virgula = true;
        } else {
            break;
        }
    }
    if (!algumDigito) return std::nullopt;
    long long expoente = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNegativo = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegativo = s[i++] == '-';
        bool algumExp = false;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            algumExp = true;
            if (expoente < 100000) expoente = expoente * 10 + (s[i] - '0');
        }
        if (!algumExp) return std::nullopt;
        if (expNegativo) expoente = -expoente;
    }
    if (i != s.size()) return std::nullopt;

    // Strip leading zeros kept from the fraction.
    std::size_t primeiro = digitos.find_first_not_of('0');
    if (primeiro == std::string::npos) return TCurrency{0};
    digitos.erase(0, primeiro);

    // value = digitos * 10^(expoente - casasDecimais); currency = value * 10^4
    const long long deslocamento = expoente - casasDecimais + 4;
    std::string inteira, resto;
    if (deslocamento >= 0) {
        if (static_cast<long long>(digitos.size()) + deslocamento > 19) return std::nullopt;
        inteira = digitos + std::string(static_cast<std::size_t>(deslocamento), '0');
    } else {
        const long long corte = static_cast<long long>(digitos.size()) + deslocamento;
        if (corte > 0) {
            inteira = digitos.substr(0, static_cast<std::size_t>(corte));
            resto = digitos.substr(static_cast<std::size_t>(corte));
        } else {
            inteira = "0";
            // resto holds the digits after the units, with the leading zeros the shift implies
            if (-corte > 2) return TCurrency{0};  // far below half a unit
            resto = std::string(static_cast<std::size_t>(-corte), '0') + digitos;
        }
    }
    if (inteira.size() > 19) return std::nullopt;
    unsigned long long magnitude = 0;
    for (char c : inteira) {
        const unsigned long long d = static_cast<unsigned long long>(c - '0');
        if (magnitude > (std::numeric_limits<unsigned long long>::max() - d) / 10) return std::nullopt;
        magnitude = magnitude * 10 + d;
    }
    // Round to nearest, ties to even.
    if (!resto.empty()) {
        const char primeiroResto = resto[0];
        const bool restoDepois = resto.find_first_not_of('0', 1) != std::string::npos;
        bool sobe = false;
        if (primeiroResto > '5') sobe = true;
        else if (primeiroResto == '5') sobe = restoDepois || (magnitude % 2 == 1);
        if (sobe) ++magnitude;
    }
    const unsigned long long limitePositivo = static_cast<unsigned long long>(std::numeric_limits<TCurrency>::max());
    if (negativo) {
        if (magnitude > limitePositivo + 1) return std::nullopt;
        if (magnitude == limitePositivo + 1) return std::numeric_limits<TCurrency>::min();
        return -static_cast<TCurrency>(magnitude);
    }
    if (magnitude > limitePositivo) return std::nullopt;
    return static_cast<TCurrency>(magnitude);
}

TCurrency ValorDoTexto(const std::string& t) {
    std::string cabeca, cauda;
    if (t.size() <= 2) {
        cauda = t;
    } else {
        cabeca = t.substr(0, t.size() - 2);
        cauda = t.substr(t.size() - 2);
    }
    return TextoParaCurrency(Apara(cabeca + "," + cauda)).value_or(0);
}

// ---- credentials ---------------------------------------------------------------

namespace {
const std::string kChaveCifra = "mervo_talunisque";

std::string Desloca(const std::string& texto, int deslocamento) {
    std::string r(texto);
    for (auto& c : r) c = static_cast<char>((static_cast<unsigned char>(c) + deslocamento) & 0xFF);
    return r;
}
}  // namespace

int DeslocamentoCifra(const std::string& chave) {
    const auto n = LeInteiro(chave);
    if (n && *n >= 1 && *n <= 255) return *n;
    return 13;
}

std::string Cifra(const std::string& texto) { return Desloca(texto, DeslocamentoCifra(kChaveCifra)); }

std::string Decifra(const std::string& texto) { return Desloca(texto, 256 - DeslocamentoCifra(kChaveCifra)); }

// ---- integers -------------------------------------------------------------------

std::optional<std::int32_t> LeInteiro(const std::string& texto) {
    std::size_t i = 0;
    while (i < texto.size() && texto[i] == ' ') ++i;
    bool negativo = false;
    if (i < texto.size() && (texto[i] == '+' || texto[i] == '-')) negativo = texto[i++] == '-';
    int base = 10;
    if (i < texto.size() && (texto[i] == '$' || texto[i] == 'x' || texto[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < texto.size() && texto[i] == '0' && (texto[i + 1] == 'x' || texto[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= texto.size()) return std::nullopt;
    long long valor = 0;
    for (; i < texto.size(); ++i) {
        const char c = texto[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        valor = valor * base + d;
        if (valor > 2147483648LL) return std::nullopt;
    }
    if (negativo) valor = -valor;
    if (valor > 2147483647LL) return std::nullopt;
    return static_cast<std::int32_t>(valor);
}

std::int32_t StrToInt(const std::string& texto) {
    const auto n = LeInteiro(texto);
    if (!n) throw EConvertError("'" + texto + "' is not a valid integer value");
    return *n;
}

// ---- code pages -------------------------------------------------------------------

namespace {
// 0x80..0x9F of Windows-1252; the unassigned ones keep their C1 value.
constexpr char16_t kAlto1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t DeCp1252(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) return kAlto1252[c - 0x80];
    return c;
}

int ParaCp1252(char32_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<int>(u);
    for (int i = 0; i < 32; ++i)
        if (kAlto1252[i] == u) return 0x80 + i;
    return -1;
}

// Decodes one UTF-8 character at i; nothing (and i moved by one) when invalid.
std::optional<char32_t> LeUtf8(std::string_view t, std::size_t& i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    int extra;
    char32_t u;
    if (c < 0x80) {
        ++i;
        return c;
    } else if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        u = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        u = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        u = c & 0x07;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + static_cast<std::size_t>(extra) >= t.size()) {
        ++i;
        return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
        const unsigned char d = static_cast<unsigned char>(t[i + k]);
        if ((d & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        u = (u << 6) | (d & 0x3F);
    }
    const char32_t minimo = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
    if (u < minimo || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
        ++i;
        return std::nullopt;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return u;
}

template <typename F>
void PercorreUtf16(std::u16string_view t, F&& f) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        char32_t u = t[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (t[i + 1] - 0xDC00);
            ++i;
        }
        f(u);
    }
}

void AnexaUtf16(std::u16string& r, char32_t u) {
    if (u < 0x10000) {
        r += static_cast<char16_t>(u);
    } else {
        u -= 0x10000;
        r += static_cast<char16_t>(0xD800 + (u >> 10));
        r += static_cast<char16_t>(0xDC00 + (u & 0x3FF));
    }
}
}  // namespace

void AnexaUtf8(std::string& r, char32_t u) {
    if (u < 0x80) {
        r += static_cast<char>(u);
    } else if (u < 0x800) {
        r += static_cast<char>(0xC0 | (u >> 6));
        r += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        r += static_cast<char>(0xE0 | (u >> 12));
        r += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        r += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        r += static_cast<char>(0xF0 | (u >> 18));
        r += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        r += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        r += static_cast<char>(0x80 | (u & 0x3F));
    }
}

std::u16string Cp1252ParaUtf16(std::string_view texto) {
    std::u16string r;
    r.reserve(texto.size());
    for (unsigned char c : texto) r += static_cast<char16_t>(DeCp1252(c));
    return r;
}

std::string Utf16ParaCp1252(std::u16string_view texto, char substituto) {
    std::string r;
    r.reserve(texto.size());
    PercorreUtf16(texto, [&](char32_t u) {
        const int b = ParaCp1252(u);
        r += b < 0 ? substituto : static_cast<char>(b);
    });
    return r;
}

std::string Cp1252ParaUtf8(std::string_view texto) {
    std::string r;
    r.reserve(texto.size());
    for (unsigned char c : texto) AnexaUtf8(r, DeCp1252(c));
    return r;
}

std::string Utf8ParaCp1252(std::string_view texto, char substituto) {
    std::string r;
    std::size_t i = 0;
    while (i < texto.size()) {
        const auto u = LeUtf8(texto, i);
        const int b = u ? ParaCp1252(*u) : -1;
        r += b < 0 ? substituto : static_cast<char>(b);
    }
    return r;
}

std::optional<std::string> Utf8ParaCp1252Estrito(std::string_view texto, std::size_t* posicao) {
    std::string r;
    std::size_t i = 0;
    while (i < texto.size()) {
        const std::size_t inicio = i;
        const auto u = LeUtf8(texto, i);
        const int b = u ? ParaCp1252(*u) : -1;
        if (b < 0) {
            if (posicao) *posicao = inicio;
            return std::nullopt;
        }
        r += static_cast<char>(b);
    }
    return r;
}

std::u16string Utf8ParaUtf16(std::string_view texto) {
    std::u16string r;
    std::size_t i = 0;
    while (i < texto.size()) AnexaUtf16(r, LeUtf8(texto, i).value_or(0xFFFD));
    return r;
}

std::string Utf16ParaUtf8(std::u16string_view texto) {
    std::string r;
    PercorreUtf16(texto, [&](char32_t u) { AnexaUtf8(r, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u); });
    return r;
}

bool Utf8Valido(std::string_view texto) {
    std::size_t i = 0;
    while (i < texto.size())
        if (!LeUtf8(texto, i)) return false;
    return true;
}

std::string MascaraSenha(std::string_view texto) {
    static constexpr std::string_view chave = "ususenha_logado=";
    const std::string minusculo = MinusculasAnsi(texto);
    std::string r;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t achou = minusculo.find(chave, pos);
        if (achou == std::string::npos) break;
        const std::size_t valor = achou + chave.size();
        std::size_t fim = valor;
        while (fim < texto.size() && std::string_view("&# \t\r\n\"'<>").find(texto[fim]) == std::string_view::npos)
            ++fim;
        r.append(texto.substr(pos, valor - pos));
        if (fim > valor) r += "***";
        pos = fim;
    }
    r.append(texto.substr(pos));
    return r;
}

std::string CodificaBytesUrl(std::string_view bytes) {
    static const char* hex = "0123456789ABCDEF";
    std::string r;
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            r += static_cast<char>(c);
        } else {
            r += '%';
            r += hex[c >> 4];
            r += hex[c & 0xF];
        }
    }
    return r;
}

std::string CodificaValorUrl(std::string_view textoCp1252) { return CodificaBytesUrl(Cp1252ParaUtf8(textoCp1252)); }

// ---- the executable's version ---------------------------------------------------------

std::string VersaoArquivo(const std::string& executavel) { return p::VersaoDoExecutavel(executavel); }

// ---- the receipt printer ----------------------------------------------------------------

std::string DispositivoImpressora() { return p::DispositivoImpressora(); }

void ImprimeLinhas(const std::string& dispositivo, const TLinhas& linhas) {
    const auto falha = [](p::TCodigo codigo) { throw EInOutError(codigo, MensagemErroES(codigo)); };
    p::TArquivo f;
    if (const auto erro = f.Abre(dispositivo, p::TArquivo::Modo::Dispositivo)) falha(erro);
    for (const auto& linha : linhas)
        if (const auto erro = f.Escreve(linha + "\r\n")) falha(erro);
    if (const auto erro = f.Fecha()) falha(erro);
}

// ---- accepted certificate exceptions ----------------------------------------------------------

namespace {
std::string SoHex(std::string_view t) {
    std::string r;
    for (char c : t)
        if (c != ':') r += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

TLinhas Campos(const std::string& linha) {
    TLinhas campos;
    std::string atual;
    for (char c : linha) {
        if (c == ' ' || c == '\t') {
            if (!atual.empty()) campos.push_back(atual), atual.clear();
        } else {
            atual += c;
        }
    }
    if (!atual.empty()) campos.push_back(atual);
    return campos;
}
}  // namespace

bool CertificadoAceito(const std::string& conteudo, const std::string& host, int porta,
                       const std::string& sha256Hex) {
    const std::string alvo = MinusculasAnsi(host) + ":" + std::to_string(porta);
    const std::string impressao = SoHex(sha256Hex);
    if (impressao.size() != 64) return false;
    for (const auto& linha : DivideLinhas(conteudo)) {
        const TLinhas c = Campos(linha);
        if (c.size() < 3 || c[0][0] == '#') continue;
        if (MinusculasAnsi(c[0]) == alvo && c[1] == "OID.2.16.840.1.101.3.4.2.1" && SoHex(c[2]) == impressao)
            return true;
    }
    return false;
}
