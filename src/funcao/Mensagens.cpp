#include "Mensagens.h"

#include "untFuncao.h"

#include <cstdlib>
#include <utility>

namespace mensagens {

namespace p = plataforma;

namespace {

bool ComecaCom(const std::string& texto, const std::string& inicio) { return texto.rfind(inicio, 0) == 0; }

// The text between the first pair of double quotes.
std::string EntreAspas(const std::string& texto) {
    const auto a = texto.find('"');
    const auto b = a == std::string::npos ? a : texto.find('"', a + 1);
    return b == std::string::npos ? std::string() : texto.substr(a + 1, b - a - 1);
}

// The name between the quotes of "... '%s'".
std::string NomeDoValor(const std::string& mensagem) {
    const auto a = mensagem.find('\'');
    const auto b = mensagem.rfind('\'');
    return a == std::string::npos || b <= a ? std::string() : mensagem.substr(a + 1, b - a - 1);
}

// What each value of the configuration holds, for the operator.
std::string DescricaoDoValor(const std::string& nome) {
    const std::string n = MaiusculasAnsi(nome);
    if (n == "URL") return " (o endere\xE7o do sistema web)";
    if (n == "LOJCODIGO") return " (o c\xF3" "digo da loja)";
    if (n == "USULOGIN") return " (o login do operador)";
    if (n == "USUSENHA") return " (a senha do operador)";
    if (n == "GREHOME") return " (o diret\xF3rio do navegador)";
    return "";
}

// The system's texts that reach the store's messages without their code.
std::string TextoDoSistemaEmPalavras(const std::string& texto) {
    static const std::pair<const char*, const char*> conhecidos[] = {
        {"Permission denied", "permiss\xE3o negada"},
        {"Read-only file system", "o sistema de arquivos est\xE1 montado somente para leitura"},
        {"No space left on device", "n\xE3o h\xE1 espa\xE7o livre no disco"},
        {"No such file or directory", "o arquivo ou diret\xF3rio n\xE3o existe"},
    };
    for (const auto& [sistema, palavras] : conhecidos)
        if (texto == sistema) return std::string(palavras) + " (" + texto + ")";
    // What the store says of a file that is none.
    static const std::pair<const char*, const char*> doArmazem[] = {
        {"a symbolic link, not a regular file", "\xE9 uma liga\xE7\xE3o simb\xF3lica, n\xE3o um arquivo comum"},
        {"a directory, not a regular file", "\xE9 um diret\xF3rio, n\xE3o um arquivo comum"},
        {"a FIFO, socket or device, not a regular file", "\xE9 um FIFO, soquete ou dispositivo, n\xE3o um arquivo comum"},
        {"larger than ", "\xE9 grande demais para ser um armaz\xE9m de configura\xE7\xE3o"},
        {"replaced by something else while it was written", "foi trocado por outra coisa enquanto era gravado"},
        {"held by another program", "est\xE1 preso por outro programa h\xE1 10 s: nada foi gravado"},
    };
    for (const auto& [ingles, portugues] : doArmazem)
        if (ComecaCom(texto, ingles))
            return std::string(portugues) +
                   (ComecaCom(texto, "larger") || ComecaCom(texto, "replaced") || ComecaCom(texto, "held")
                        ? ""
                        : ": o armaz\xE9m s\xF3 \xE9 lido e gravado num arquivo comum; apague-o e configure de novo");
    return texto;
}

// The registry store's parse errors ("<file>:<line>: <problem>"), in words.
std::string ProblemaDoArmazem(const std::string& problema) {
    static const std::pair<const char*, const char*> conhecidos[] = {
        {"missing REGEDIT4 header", "falta o cabe\xE7" "alho REGEDIT4 na primeira linha"},
        {"repeated REGEDIT4 header", "cabe\xE7" "alho REGEDIT4 repetido"},
        {"key line without closing ']'", "linha de chave sem o ']' final"},
        {"key removal lines are not supported", "linhas que removem chaves n\xE3o s\xE3o aceitas"},
        {"key outside HKEY_LOCAL_MACHINE", "chave fora de HKEY_LOCAL_MACHINE"},
        {"value line outside any key", "valor fora de qualquer chave"},
        {"line not understood", "linha n\xE3o reconhecida"},
        {"unterminated quoted text", "texto entre aspas sem as aspas finais"},
        {"'=' expected after the value name", "falta o '=' depois do nome do valor"},
        {"unexpected text after the value", "texto a mais depois do valor"},
        {"invalid hex(type) form", "forma hex(tipo) inv\xE1lida"},
        {"value removal lines are not supported", "linhas que removem valores n\xE3o s\xE3o aceitas"},
        {"invalid escape sequence", "sequ\xEAncia de escape inv\xE1lida"},
        {"invalid hex byte", "byte hexadecimal inv\xE1lido"},
        {"invalid dword", "n\xFAmero dword inv\xE1lido"},
        {"unknown value data", "tipo de dado desconhecido"},
    };
    for (const auto& [ingles, portugues] : conhecidos)
        if (ComecaCom(problema, ingles)) return portugues + problema.substr(std::string(ingles).size());
    return problema;
}

std::string TextoDoArmazem(const std::string& mensagem, const std::string& causa) {
    const std::string valor = NomeDoValor(mensagem);
    if (ComecaCom(mensagem, "Failed to get data for '"))
        return "O valor " + valor + DescricaoDoValor(valor) +
               " falta na configura\xE7\xE3o ou n\xE3o \xE9 um n\xFAmero (dword).";
    if (ComecaCom(mensagem, "Invalid data type for '"))
        return "O valor " + valor + DescricaoDoValor(valor) + " da configura\xE7\xE3o tem o tipo errado: deve ser " +
               (MaiusculasAnsi(valor) == "LOJCODIGO" ? "um n\xFAmero (dword)" : "um texto") + ".";
    if (ComecaCom(mensagem, "Failed to set data for '")) {
        std::string t = "A configura\xE7\xE3o n\xE3o p\xF4" "de ser gravada (valor " + valor + ")";
        if (!causa.empty()) {
            std::string porque = TextoDoArmazem(causa, "");
            if (porque.empty()) porque = causa;
            else if (porque[0] == 'A' || porque[0] == 'O') porque[0] += 'a' - 'A';  // it continues the sentence
            t += ": " + porque;
        }
        return t.back() == '.' ? t : t + ".";
    }
    // "<file>:<line>: <problem>" and "<file>: <the system's text>".
    const auto separador = mensagem.find(": ");
    if (separador == std::string::npos) return "";
    const std::string antes = mensagem.substr(0, separador), depois = mensagem.substr(separador + 2);
    const auto doisPontos = antes.rfind(':');
    if (doisPontos != std::string::npos && doisPontos + 1 < antes.size() &&
        antes.find_first_not_of("0123456789", doisPontos + 1) == std::string::npos)
        return "O arquivo de configura\xE7\xE3o " + antes.substr(0, doisPontos) + " tem um erro na linha " +
               antes.substr(doisPontos + 1) + ": " + ProblemaDoArmazem(depois) + ".";
    return "A configura\xE7\xE3o " + antes + " n\xE3o pode ser usada: " + TextoDoSistemaEmPalavras(depois) + ".";
}

}  // namespace

std::string Motivo(int codigo) {
    const std::string texto = p::TextoDoErro(codigo);
    const std::string palavras = p::MotivoEmPalavras(codigo);
    return palavras.empty() ? texto : palavras + " (" + texto + ")";
}

std::string ConselhoDeAcesso(const std::string& usuario, const p::TDono& dono, const std::string& caminho,
                             TAcesso acesso, bool diretorio) {
    const bool leitura = acesso == TAcesso::Leitura;
    if (usuario == dono.usuario)
        return std::string("D\xEA a si mesmo a ") + (leitura ? "leitura" : "grava\xE7\xE3o") + ": chmod u+" +
               (leitura ? "r" : "rw") + (diretorio ? "x " : " ") + caminho + ".";
    // A directory is written by who may also enter it.
    const unsigned bitsDoGrupo = leitura ? 040u : (diretorio ? 030u : 020u);
    const bool grupoPode = (dono.modo & bitsDoGrupo) == bitsDoGrupo;
    const std::string entrar = " e entre de novo na sess\xE3o.";
    // Joining root's group would hand the user far more than this file.
    if (grupoPode && dono.grupo != "root")
        return "Inclua " + usuario + " no grupo " + dono.grupo + " (sudo adduser " + usuario + " " + dono.grupo + ")" +
               entrar;
    const std::string grupo = dono.grupo == "root" ? "tef" : dono.grupo;
    const bool doRoot = dono.usuario == "root";
    const std::string sudo = doRoot ? "sudo " : "";
    const std::string modo = diretorio ? (leitura ? "2750" : "2770") : (leitura ? "640" : "660");
    std::string comandos;
    if (dono.grupo != grupo) comandos += sudo + "chgrp " + grupo + " " + caminho + " && ";
    comandos += sudo + "chmod " + modo + " " + caminho;
    return std::string("S\xF3 ") + (doRoot ? "o administrador (root)" : "o dono, " + dono.usuario + ", ou o root,") +
           " pode dar " + (leitura ? "a leitura" : "a grava\xE7\xE3o") + " ao grupo " + grupo + ": " + comandos +
           "; depois inclua " + usuario + " no grupo " + grupo + " (sudo adduser " + usuario + " " + grupo + ")" +
           entrar;
}

std::string ParaOOperador(const Exception& e) {
    if (!e.ParaOOperador.empty()) return e.ParaOOperador;
    const std::string m = e.Message();
    const std::string classe = e.ClassName();
    const std::string motivo = e.Codigo != 0 ? Motivo(e.Codigo) : e.Causa;
    const std::string porque = motivo.empty() ? "." : ": " + motivo + ".";
    if (ComecaCom(m, "Cannot create file \"")) return "N\xE3o foi poss\xEDvel gravar o arquivo " + EntreAspas(m) + porque;
    if (ComecaCom(m, "Cannot open file \"")) return "N\xE3o foi poss\xEDvel abrir o arquivo " + EntreAspas(m) + porque;
    if (m == "Stream write error") return "N\xE3o foi poss\xEDvel terminar de gravar um arquivo" + porque;
    if (m == "Stream read error") return "N\xE3o foi poss\xEDvel ler um arquivo" + porque;
    if (classe == "ERegistryException") return TextoDoArmazem(m, e.Causa);
    static const std::string naoInteiro = "' is not a valid integer value";
    if (classe == "EConvertError" && m.size() > naoInteiro.size() && m.front() == '\'' &&
        m.compare(m.size() - naoInteiro.size(), naoInteiro.size(), naoInteiro) == 0)
        return "\"" + m.substr(1, m.size() - naoInteiro.size() - 1) + "\" n\xE3o \xE9 um n\xFAmero inteiro.";
    if (classe == "EInOutError") {
        const auto* es = dynamic_cast<const EInOutError*>(&e);
        const std::string palavras = es ? p::MotivoEmPalavras(es->ErrorCode) : "";
        return "Falha de entrada e sa\xED" "da" + (palavras.empty() ? "" : ": " + palavras) + " (" + m + ").";
    }
    return "";
}

std::string ComandoDeConfiguracao(const std::string& executavel) {
    const std::string dialogo = executavel + " /CONFIG";
    // A till installed from the package: its question writes the store as
    // root, with the service stopped or not.
    if (ArquivoExiste("/usr/share/doc/tef-orvex/copyright")) return "sudo dpkg-reconfigure tef-orvex (ou " + dialogo + ")";
    return dialogo;
}

std::string MotivoDeCarga(const std::string& dominio, int codigo) {
    if (dominio == "http") {
        switch (codigo) {
            case 400: return "o servidor recusou o pedido da p\xE1gina";
            case 401:
            case 403: return "o servidor recusou o acesso \xE0 p\xE1gina";
            case 404: return "a p\xE1gina n\xE3o existe no servidor (confira o endere\xE7o do sistema web)";
            case 408: return "o servidor desistiu de esperar o pedido";
            case 500: return "erro interno do servidor do sistema web";
            case 502: return "o servidor intermedi\xE1rio recebeu uma resposta inv\xE1lida";
            case 503: return "o servidor do sistema web est\xE1 indispon\xEDvel";
            case 504: return "o servidor intermedi\xE1rio n\xE3o recebeu resposta a tempo";
        }
        return codigo >= 500 ? "erro no servidor do sistema web" : "o servidor recusou o pedido da p\xE1gina";
    }
    switch (codigo) {
        case -7:
        case -118: return "o servidor n\xE3o respondeu a tempo";
        case -21: return "a rede do caixa mudou durante a conex\xE3o";
        case -100: return "o servidor fechou a conex\xE3o";
        case -101:
        case -103: return "a conex\xE3o com o servidor foi interrompida";
        case -102: return "o servidor recusou a conex\xE3o (nenhum servi\xE7o nesse endere\xE7o e porta)";
        case -104: return "n\xE3o foi poss\xEDvel conectar ao servidor";
        case -105:
        case -137: return "o nome do servidor n\xE3o foi encontrado (DNS)";
        case -106: return "o caixa est\xE1 sem conex\xE3o de rede";
        case -107: return "a negocia\xE7\xE3o segura (TLS) com o servidor falhou";
        case -109: return "o endere\xE7o do servidor n\xE3o pode ser alcan\xE7" "ado";
        case -113: return "o servidor n\xE3o aceita uma vers\xE3o de TLS em comum com o caixa";
        case -130: return "n\xE3o foi poss\xEDvel conectar ao proxy";
        case -200: return "o certificado do servidor n\xE3o \xE9 deste endere\xE7o";
        case -201: return "o certificado do servidor est\xE1 vencido ou ainda n\xE3o vale";
        case -202: return "o certificado do servidor n\xE3o \xE9 de uma autoridade confi\xE1vel";
        case -206: return "o certificado do servidor foi revogado";
        case -310: return "redirecionamentos demais";
        case -312: return "a porta do endere\xE7o \xE9 reservada a outro servi\xE7o e o navegador n\xE3o a usa";
        case -320: return "o servidor enviou uma resposta inv\xE1lida";
        case -324: return "o servidor fechou a conex\xE3o sem responder";
    }
    if (codigo <= -200 && codigo > -300) return "o certificado do servidor foi recusado";
    if (codigo <= -100 && codigo > -200) return "falha na conex\xE3o com o servidor";
    if (codigo <= -300 && codigo > -400) return "falha no protocolo HTTP";
    if (codigo <= -800 && codigo > -900) return "falha na consulta de nomes (DNS)";
    return "falha de rede";
}

}  // namespace mensagens
