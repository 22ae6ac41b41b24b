// tef-websistema: the pure parts through websistema_nucleo, the server as a
// real child process on ports chosen by the system.
#include "Ambiente.h"
#include "Registro.h"
#include "Websistema.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

extern char** environ;

using namespace websistema;
using namespace std::chrono_literals;
using Relogio = std::chrono::steady_clock;

namespace {

std::string Query(const std::vector<std::pair<std::string, std::string>>& pares) {
    std::string q;
    for (const auto& [k, v] : pares) {
        q += (q.empty() ? "" : "&") + k + "=";
        for (unsigned char c : v) {
            char b[4];
            std::snprintf(b, sizeof b, "%%%02X", c);
            q += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : b;
        }
    }
    return q;
}

bool Cabe1252(std::string utf8) {
    iconv_t cd = iconv_open("CP1252", "UTF-8");
    char saida[256];
    char *in = utf8.data(), *out = saida;
    std::size_t nin = utf8.size(), nout = sizeof saida;
    const bool ok = iconv(cd, &in, &nin, &out, &nout) != static_cast<std::size_t>(-1) && nin == 0;
    iconv_close(cd);
    return ok;
}

// Just enough JSON for a log line: objects, strings, booleans and whole
// numbers, flattened
// to "key" and "outer.inner". Anything malformed throws.
std::map<std::string, std::string> LeJson(std::string_view s) {
    std::map<std::string, std::string> r;
    std::size_t i = 0;
    auto erro = [&] { throw std::runtime_error("JSON inv\xC3\xA1lido em " + std::to_string(i)); };
    auto espera = [&](char c) { i < s.size() && s[i] == c ? void(++i) : erro(); };
    auto texto = [&] {
        espera('"');
        std::string t;
        while (i < s.size() && s[i] != '"') {
            const auto c = static_cast<unsigned char>(s[i++]);
            if (c < 0x20) erro();
            if (c != '\\') {
                t += static_cast<char>(c);
                continue;
            }
            const std::string_view de = "\"\\/bfnrt", para = "\"\\/\b\f\n\r\t";
            const char e = i < s.size() ? s[i++] : 0;
            if (const auto k = de.find(e); e && k != de.npos) {
                t += para[k];
            } else if (e == 'u' && i + 4 <= s.size() && s.substr(i, 2) == "00") {
                // Only control characters are escaped; the rest travels as UTF-8.
                t += static_cast<char>(std::stoul(std::string(s.substr(i, 4)), nullptr, 16));
                i += 4;
            } else {
                erro();
            }
        }
        espera('"');
        return t;
    };
    std::function<void(const std::string&)> valor = [&](const std::string& nome) {
        if (s.substr(i, 4) == "true" || s.substr(i, 5) == "false") {
            r[nome] = s[i] == 't' ? "true" : "false";
            i += s[i] == 't' ? 4 : 5;
        } else if (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            const auto inicio = i;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            r[nome] = std::string(s.substr(inicio, i - inicio));
        } else if (i < s.size() && s[i] == '{') {
            for (++i; i < s.size() && s[i] != '}';) {
                const auto k = texto();
                espera(':');
                valor(nome.empty() ? k : nome + "." + k);
                if (i < s.size() && s[i] == ',') ++i;
            }
            espera('}');
        } else {
            r[nome] = texto();
        }
    };
    valor("");
    if (i != s.size()) erro();
    return r;
}

// Starts a program with stdout on `saida` and stderr into a file.
pid_t Lanca(const std::vector<std::string>& args, int saida, const std::string& erros) {
    posix_spawn_file_actions_t a;
    posix_spawn_file_actions_init(&a);
    posix_spawn_file_actions_adddup2(&a, saida, 1);
    posix_spawn_file_actions_addopen(&a, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&a, 2, erros.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const auto& x : args) argv.push_back(const_cast<char*>(x.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int erro = posix_spawnp(&pid, argv[0], &a, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&a);
    if (erro != 0) throw std::runtime_error("spawn " + args[0]);
    return pid;
}

// Runs a short command to its end: exit code and stdout.
std::pair<int, std::string> Executa(const std::vector<std::string>& args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = Lanca(args, p[1], "/dev/null");
    close(p[1]);
    std::string saida;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) saida.append(buf, static_cast<std::size_t>(n));
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, saida};
}

// The server as a child process; the ports come from its start lines.
class TServidorFilho {
public:
    TServidorFilho(std::vector<std::string> args, const std::string& erros, bool https = true) {
        args.insert(args.begin(), TEF_WEBSISTEMA_EXE);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        saida_ = p[0];
        pid_ = Lanca(args, p[1], erros);
        close(p[1]);
        const auto limite = Relogio::now() + 15s;
        const std::regex linha(R"((HTTPS?) 127\.0\.0\.1:(\d+)\n|SHA256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})\n)");
        while (porta == 0 || (https && impressaoDigital.empty())) {
            if (!LeMais(limite)) Mata(), throw std::runtime_error("sem as linhas de in\xC3\xAD" "cio: " + texto);
            for (std::sregex_iterator m(texto.begin(), texto.end(), linha), fim; m != fim; ++m) {
                if ((*m)[3].matched) impressaoDigital = (*m)[3];
                else ((*m)[1] == "HTTP" ? porta : portaHttps) = std::stoi((*m)[2]);
            }
        }
    }
    ~TServidorFilho() { Mata(); }

    // SIGTERM, then its stdout closing (the process ending) within the time
    // limit: the exit code, or -1.
    int Termina(std::chrono::seconds prazo = 10s) {
        kill(pid_, SIGTERM);
        const auto limite = Relogio::now() + prazo;
        while (LeMais(limite)) {
        }
        if (Relogio::now() >= limite) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int porta = 0, portaHttps = 0;
    std::string impressaoDigital;
    std::string texto;  // stdout so far

private:
    bool LeMais(Relogio::time_point limite) {  // false at end of file or time
        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(limite - Relogio::now()).count();
        pollfd p{saida_, POLLIN, 0};
        char buf[1024];
        ssize_t n = 0;
        if (resta > 0 && poll(&p, 1, static_cast<int>(resta)) > 0 && (n = read(saida_, buf, sizeof buf)) > 0)
            texto.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }
    void Mata() {
        if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        pid_ = -1;
        if (saida_ >= 0) close(saida_);
        saida_ = -1;
    }
    pid_t pid_ = -1;
    int saida_ = -1;
};

std::unique_ptr<httplib::Client> Cliente(int porta, bool https) {
    auto c = std::make_unique<httplib::Client>((https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                                               std::to_string(porta));
    if (https) c->enable_server_certificate_verification(false);
    c->set_url_encode(false);  // the tests encode exactly what they mean
    c->set_connection_timeout(5);
    c->set_read_timeout(10);
    return c;
}

std::string Impressao(const std::string& saidaDoOpenssl) {
    std::smatch m;
    return std::regex_search(saidaDoOpenssl, m, std::regex("Fingerprint=([0-9A-F:]+)")) ? m[1].str() : "";
}

// What the HTTPS port presents, saved to `pem`: its SHA-256 fingerprint.
std::string CertificadoServido(int porta, const std::string& pem) {
    GravaBytes(pem, Executa({"timeout", "10", "openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(porta)})
                        .second);
    return Impressao(Executa({"openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha256"}).second);
}

// The last request log line holding the marker, parsed (the lines of the
// pages served and of their results carry the query's values too).
std::map<std::string, std::string> LinhaDoLog(const std::string& arquivo, const std::string& marca) {
    std::istringstream log(LeBytes(arquivo));
    std::string achada;
    for (std::string l; std::getline(log, l);)
        if (l.find(marca) != std::string::npos && l.rfind("{\"metodo\"", 0) == 0) achada = l;
    return LeJson(achada);
}

// The NSU and secret a page's buttons send back.
std::pair<std::string, std::string> TransacaoDaPagina(const std::string& pagina) {
    std::smatch m;
    if (!std::regex_search(pagina, m, std::regex(R"re(var transacao = \{"nsu": "(\d+)", "chave": "([0-9a-f]{32})")re")))
        return {};
    return {m[1], m[2]};
}

// The text the server logged, when it served the page, for that button.
std::string ResultadoNaPagina(const std::string& log, const std::string& pagina, const std::string& acao) {
    const std::string linha = "{\"pagina\":{\"nsu\":" + TransacaoDaPagina(pagina).first + ",";
    std::istringstream l(LeBytes(log));
    for (std::string s; std::getline(l, s);)
        if (s.rfind(linha, 0) == 0) {
            const auto j = LeJson(s);
            const auto t = j.find("pagina.resultados." + acao);
            return t == j.end() ? "" : t->second;
        }
    return "";
}

std::size_t Ocorrencias(const std::string& s, const std::string& parte) {
    std::size_t n = 0;
    for (auto i = s.find(parte); i != std::string::npos; i = s.find(parte, i + 1)) ++n;
    return n;
}

bool Tem(const std::vector<std::string>& itens, const std::string& item) {
    return std::find(itens.begin(), itens.end(), item) != itens.end();
}

}  // namespace

// ---- pure parts -------------------------------------------------------------

TEST(WebsistemaTexto, DecodificacaoDaQuery) {
    const std::string a = "\xC3\xA3";  // ã
    const std::pair<std::string, TQuery> casos[] = {
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"s=a+b%2Bc%25d%26e", {{"s", "a b+c%d&e"}}},
        {"k=%C3%A3%c3%a3", {{"k", a + a}}},
        {"k=" + a + "o", {{"k", a + "o"}}},  // raw, unescaped
        {"k=%zz%4%", {{"k", "%zz%4%"}}},
        {"k=&j&&l=v&", {{"k", ""}, {"j", ""}, {"l", "v"}}},
        {"k=a=b&%41+b=%42", {{"k", "a=b"}, {"A b", "B"}}},
        {"k=1&k=2", {{"k", "1"}, {"k", "2"}}},
    };
    for (const auto& [bruta, esperado] : casos) EXPECT_EQ(DecodificaQuery(bruta), esperado) << bruta;
    EXPECT_EQ(ValorDe(DecodificaQuery("k=1&k=2"), "k"), "1");
}

TEST(WebsistemaTexto, ValorEmReais) {
    const std::pair<std::string, std::string> casos[] = {
        {"1000", "R$ 10,00"},      {"123456", "R$ 1.234,56"}, {"5", "R$ 0,05"},
        {"0100", "R$ 1,00"},       {"99999", "R$ 999,99"},    {"100000", "R$ 1.000,00"},
        {"123456789012", "R$ 1.234.567.890,12"},              {"", "R$ 0,00"},
        {"abc", "R$ 0,00"},        {"-100", "R$ 0,00"},       {"12,50", "R$ 0,00"},
        {" 100", "R$ 0,00"},       {"99999999999999999999999", "R$ 0,00"},
    };
    for (const auto& [centavos, reais] : casos) EXPECT_EQ(FormataReais(centavos), reais) << centavos;
}

TEST(WebsistemaTexto, Escapes) {
    EXPECT_EQ(EscapaHtml("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
    EXPECT_EQ(EscapaHtml("a\xE3" "b"), "a\xEF\xBF\xBD" "b");  // a stray Windows-1252 byte
    EXPECT_EQ(EscapaJs("</script><!--\"'\\\n\xE2\x80\xA8\xC2\xA7"),
              "\\u003C/script\\u003E\\u003C!--\\\"\\'\\\\\\n\\u2028\xC2\xA7");
    // Whatever goes in comes back out of a JSON parser unchanged.
    const std::string dificil = "a\"b\\c/\b\f\n\r\t\x01\x1F\x7F\xC3\xA3\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(LeJson("{\"k\":\"" + EscapaJson(dificil) + "\"}")["k"], dificil);
    EXPECT_EQ(LeJson("{\"k\":\"" + EscapaJson("\xFF\xC3") + "\"}")["k"], "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(WebsistemaResultado, TrocaComAAplicacaoComercial) {
    TPedido venda;
    venda.tela = TTela::Venda, venda.valor = "0001000";
    TPedido adm = venda;
    adm.tela = TTela::Adm;
    TTransacao t;
    t.nsu = 42;
    t.horario.tm_mday = 5, t.horario.tm_mon = 2, t.horario.tm_year = 126;
    t.horario.tm_hour = 9, t.horario.tm_min = 8, t.horario.tm_sec = 7;
    const std::string aut = CodigoAutorizacao(42);
    ASSERT_TRUE(std::regex_match(aut, std::regex(R"(\d{6})")));
    EXPECT_NE(CodigoAutorizacao(43), aut);
    const std::vector<std::string> cancela = {"COMMAND_TEF", "close"};
    // Refusals and cancellations whatever the card, the installments or the
    // kind of administration; 022-000 and 023-000 in the forms commercial
    // applications read: DDMMYYYY and HHMMSS.
    TConfiguracao outra;
    ASSERT_FALSE(AplicaEscolhas(outra.forma, {{"cartao", "debito"}, {"rede", "STONE"}, {"adm", "sem-confirmacao"}}, true));
    const struct {
        TAcao acao;
        const TPedido& pedido;
        std::vector<std::string> itens;
    } casos[] = {
        {TAcao::Recusar, venda,
         {"000-000 = CRT", "001-000 = #001#", "002-000 = #002#", "003-000 = 1000", "009-000 = 5", "016-000 = #016#",
          "022-000 = 05032026", "023-000 = 090807", "030-000 = Transacao recusada", "999-999 = 0"}},
        {TAcao::Recusar, adm,
         {"000-000 = ADM", "001-000 = #001#", "009-000 = 5", "016-000 = #016#", "022-000 = 05032026",
          "023-000 = 090807", "030-000 = Operacao recusada", "999-999 = 0"}},
        {TAcao::Cancelar, venda, cancela},
        {TAcao::Cancelar, adm, cancela},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(Itens(TextoResultado(c.acao, c.pedido, {}, t)), c.itens) << NomeAcao(c.acao);
        EXPECT_EQ(Itens(TextoResultado(c.acao, c.pedido, outra, t)), c.itens) << NomeAcao(c.acao);
    }
    // An invalid amount must not reach the exchange file as typed.
    venda.valor = "10;00";
    EXPECT_EQ(Itens(TextoResultado(TAcao::Recusar, venda, {}, t))[3], "003-000 = 0");
    EXPECT_EQ(Itens(TextoResultado(TAcao::Aprovar, venda, {}, t))[3], "003-000 = 0");
}

namespace {

// The value of a field's first line, or nothing.
std::optional<std::string> Campo(const std::vector<std::string>& itens, const std::string& id) {
    for (const auto& i : itens)
        if (i.rfind(id + " = ", 0) == 0) return i.substr(id.size() + 3);
    return std::nullopt;
}

// What every exchange-file answer must keep, whatever its shape: field lines
// (or blank ones, which the manager drops) in rising order, the placeholders,
// the amount as the first line holding "003-000", and receipts whose counts
// match numbered, quoted lines that a 40-column printer takes in
// Windows-1252. Returns the single receipt's lines, unquoted. A
// cancellation's answer has neither the amount nor #016#.
std::vector<std::string> ConfereTroca(const std::vector<std::string>& itens, const std::string& onde, bool venda = true) {
    std::vector<std::string> recibo;
    std::string anterior;
    for (const auto& i : itens) {
        if (i.empty() || i == "  ") continue;
        EXPECT_TRUE(std::regex_match(i, std::regex(R"(\d{3}-\d{3} = [^\r\n]*)"))) << onde << ": " << i;
        EXPECT_LT(anterior, i.substr(0, 7)) << onde << ": out of order";
        anterior = i.substr(0, 7);
    }
    EXPECT_EQ(itens.back(), "999-999 = 0") << onde;
    EXPECT_EQ(Campo(itens, "001-000"), "#001#") << onde;
    EXPECT_EQ(Campo(itens, "016-000"), venda ? std::optional<std::string>("#016#") : std::nullopt) << onde;
    for (std::size_t i = 0; i < itens.size() && venda; ++i)
        if (itens[i].find("003-000") != std::string::npos) {
            EXPECT_EQ(i, 3u) << onde << ": the manager rewrites the first line holding 003-000";
            break;
        }
    for (const auto& [contagem, prefixo] : {std::pair{"028-000", "029"}, {"712-000", "713"}, {"714-000", "715"}}) {
        const auto n = Campo(itens, contagem);
        const auto linhas = std::count_if(itens.begin(), itens.end(), [&](const std::string& i) { return i.rfind(prefixo, 0) == 0; });
        EXPECT_EQ(n.value_or("0"), std::to_string(linhas)) << onde << " " << contagem;
        for (long k = 1; k <= linhas; ++k) {
            char id[32];
            std::snprintf(id, sizeof id, "%s-%03ld", prefixo, k);
            const auto l = Campo(itens, id);
            const bool citada = l && l->size() >= 2 && l->front() == '"' && l->back() == '"';
            EXPECT_TRUE(citada) << onde << " " << id;
            if (!citada) continue;
            const auto texto = l->substr(1, l->size() - 2);
            EXPECT_TRUE(Colunas(texto) <= ColunasImpressora && Cabe1252(texto) && texto.find("\xC2\xA7") == std::string::npos)
                << onde << " " << id << ": " << texto;
            if (std::string(prefixo) == "029") recibo.push_back(texto);
        }
    }
    return recibo;
}

}  // namespace

TEST(WebsistemaResultado, FormasDaAprovacao) {
    TTransacao t;
    t.nsu = 42;
    t.horario.tm_mday = 5, t.horario.tm_mon = 2, t.horario.tm_year = 126;
    t.horario.tm_hour = 9, t.horario.tm_min = 8, t.horario.tm_sec = 7;
    const std::string nsu = "NSU 000042  AUT " + CodigoAutorizacao(42), controle = CodigoControle(7, t);
    using Campos = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char* nome;
        TTela tela;
        TQuery escolhas;
        Campos campos;
        std::vector<std::string> ausentes, noRecibo, foraDoRecibo;
    } casos[] = {
        {"credit at once", TTela::Venda, {},
         {{"003-000", "1000"}, {"009-000", "0"}, {"010-000", "CIELO"}, {"011-000", "10"}, {"012-000", "42"},
          {"013-000", CodigoAutorizacao(42)}, {"027-000", controle}, {"040-000", "VISA"},
          {"713-002", "\"VIA CLIENTE\""}, {"715-002", "\"VIA ESTABELECIMENTO\""}, {"729-000", "2"}},
         {"017-000", "018-000"},
         {"CUPOM 987", "CIELO - VISA CREDITO", "VALOR R$ 10,00", "A VISTA", nsu, "APROVADA", "05/03/2026 09:08:07"},
         {"VIA CLIENTE"}},
        {"3 installments by the shop", TTela::Venda,
         {{"parcelas", "3"}, {"financiamento", "loja"}, {"rede", "REDE"}, {"bandeira", "elo"}},
         {{"010-000", "REDE"}, {"011-000", "11"}, {"017-000", "0"}, {"018-000", "3"}, {"040-000", "ELO"}, {"729-000", "2"}},
         {}, {"REDE - ELO CREDITO", "PARCELADO PELA LOJA EM 3X"}, {"A VISTA"}},
        {"12 installments by the issuer", TTela::Venda, {{"parcelas", "12"}, {"financiamento", "administradora"}},
         {{"011-000", "12"}, {"017-000", "1"}, {"018-000", "12"}}, {}, {"PARCELADO PELA ADMINISTRADORA EM 12X"}, {}},
        {"debit", TTela::Venda, {{"cartao", "debito"}, {"bandeira", "MAESTRO"}},
         {{"011-000", "20"}, {"040-000", "MAESTRO"}, {"027-000", controle}}, {"017-000", "018-000"},
         {"CIELO - MAESTRO DEBITO", "A VISTA"}, {}},
        {"administration as a transaction", TTela::Adm, {},
         {{"000-000", "ADM"}, {"009-000", "0"}, {"010-000", "CIELO"}, {"011-000", "00"}, {"012-000", "42"},
          {"027-000", controle}, {"030-000", "Operacao concluida"}, {"040-000", "VISA"}, {"729-000", "2"}},
         {"002-000", "003-000", "017-000"}, {"CIELO - VISA", nsu, "CONCLU\xC3\x8D" "DA"}, {}},
        {"administration without confirmation", TTela::Adm, {{"adm", "sem-confirmacao"}},
         {{"000-000", "ADM"}, {"009-000", "0"}, {"011-000", "00"}, {"729-000", "1"}},
         {"010-000", "012-000", "013-000", "027-000", "040-000", "712-000", "714-000"}, {"CONCLU\xC3\x8D" "DA"}, {nsu}},
        {"fields left out", TTela::Venda, {{"omite", "027-000,010-000"}}, {{"012-000", "42"}, {"040-000", "VISA"}},
         {"027-000", "010-000"}, {}, {}},
    };
    for (const auto& c : casos) {
        TConfiguracao conf;
        conf.loja = 7;
        ASSERT_FALSE(AplicaEscolhas(conf.forma, c.escolhas, true)) << c.nome;
        TPedido p;
        p.tela = c.tela, p.valor = "1000", p.cupom = "987";
        const auto itens = Itens(TextoResultado(TAcao::Aprovar, p, conf, t));
        const auto recibo = ConfereTroca(itens, c.nome);
        for (const auto& [id, valor] : c.campos) EXPECT_EQ(Campo(itens, id).value_or("(absent)"), valor) << c.nome << " " << id;
        for (const auto& id : c.ausentes) EXPECT_FALSE(Campo(itens, id)) << c.nome << " " << id;
        for (const auto& l : c.noRecibo) EXPECT_TRUE(Tem(recibo, l)) << c.nome << ": " << l;
        for (const auto& l : c.foraDoRecibo) EXPECT_FALSE(Tem(recibo, l)) << c.nome << ": " << l;
        // A transaction carries blank lines for the manager to drop.
        EXPECT_EQ(Tem(itens, "") && Tem(itens, "  "), Campo(itens, "012-000").has_value()) << c.nome;
    }
    // Hostile receipt numbers still give printable lines.
    TPedido hostil;
    hostil.tela = TTela::Venda, hostil.valor = "1000";
    hostil.cupom = "\xC2\xA7\xF0\x9F\x98\x80\t\"" + std::string(60, '9');
    TConfiguracao longos;
    ASSERT_FALSE(AplicaEscolhas(longos.forma, {{"rede", std::string(16, 'R')}, {"bandeira", "MASTERCARD"}, {"parcelas", "12"}, {"financiamento", "administradora"}}, true));
    EXPECT_FALSE(ConfereTroca(Itens(TextoResultado(TAcao::Aprovar, hostil, longos, t)), "hostile").empty());
}

TEST(WebsistemaResultado, CodigoDeControleUnicoPorTransacao) {
    // The same NSU again after a restart, two NSUs in one second, two stores,
    // NSUs past the receipt's six digits.
    const std::tuple<std::uint64_t, std::uint64_t, int, int> casos[] = {
        {7, 1, 5, 0}, {7, 1, 5, 1}, {7, 1, 6, 0}, {7, 2, 5, 0}, {8, 1, 5, 0}, {7, 1000001, 5, 0}, {7, 999999999999, 5, 0}};
    std::set<std::string> vistos;
    for (const auto& [loja, nsu, dia, segundo] : casos) {
        TTransacao t;
        t.nsu = nsu, t.horario.tm_mday = dia, t.horario.tm_sec = segundo, t.horario.tm_year = 126;
        const auto c = CodigoControle(loja, t);
        EXPECT_TRUE(std::regex_match(c, std::regex(R"(\d{1,32})"))) << c;
        EXPECT_TRUE(vistos.insert(c).second) << "repeated: " << c;
        EXPECT_EQ(CodigoControle(loja, t), c) << "stable for the same transaction";
    }
}

TEST(WebsistemaResultado, ComprovanteDe40Colunas) {
    TTransacao t;
    t.nsu = 7;
    t.horario.tm_mday = 5, t.horario.tm_mon = 2, t.horario.tm_year = 125;
    t.horario.tm_hour = 9, t.horario.tm_min = 8, t.horario.tm_sec = 7;
    TConfiguracao conf, semConfirmacao;
    conf.loja = semConfirmacao.loja = 7;
    semConfirmacao.forma.adm = TTipoAdm::SemConfirmacao;
    TPedido p;
    p.impressao = TImpressao::Colunas40, p.tela = TTela::Venda, p.cupom = "123", p.valor = "1000";
    TPedido hostil = p, adm = p;
    hostil.cupom = "\xC2\xA7<b>\xF0\x9F\x98\x80\t\xE2\x94\x80" + std::string(60, '9');  // § emoji tab box-drawing
    adm.tela = TTela::Adm;
    const std::string nsu = "NSU 000007  AUT " + CodigoAutorizacao(7), quando = "05/03/2025 09:08:07";
    const struct {
        TAcao acao;
        const TPedido& pedido;
        const TConfiguracao& conf;
        std::vector<std::string> contem;
        bool comNsu;
    } casos[] = {
        {TAcao::Aprovar, p, conf, {"LOJA 0007", "CUPOM 123", "CIELO - VISA CREDITO", "VALOR R$ 10,00", nsu, "APROVADA", quando}, true},
        {TAcao::Recusar, p, conf, {"LOJA 0007", "CUPOM 123", "VALOR R$ 10,00", "RECUSADA", quando}, false},
        {TAcao::Aprovar, hostil, conf, {"CUPOM ?<b>??" + std::string(40 - 12, '9'), "VALOR R$ 10,00", nsu}, true},
        {TAcao::Aprovar, adm, conf, {"LOJA 0007", "CIELO - VISA", "CONCLU\xC3\x8D" "DA", quando}, true},
        {TAcao::Aprovar, adm, semConfirmacao, {"LOJA 0007", "CONCLU\xC3\x8D" "DA", quando}, false},
        {TAcao::Recusar, adm, conf, {"LOJA 0007", "RECUSADA", quando}, false},
    };
    for (const auto& c : casos) {
        const auto itens = Itens(TextoResultado(c.acao, c.pedido, c.conf, t));
        for (const auto& l : itens) EXPECT_TRUE(Colunas(l) <= ColunasImpressora && Cabe1252(l)) << l;
        for (const auto& l : c.contem) EXPECT_TRUE(Tem(itens, l)) << l;
        EXPECT_EQ(Tem(itens, nsu), c.comNsu) << itens[1];
        EXPECT_EQ(itens.back(), "");  // the blank line that ends the receipt
    }
}

TEST(WebsistemaForma, EscolhasValidadas) {
    TForma esperada;
    esperada.cartao = TCartao::Debito, esperada.rede = "GETNET", esperada.bandeira = "ELECTRON";
    esperada.omite = {"010-000", "012-000"};
    // Names upper-cased; installments then back to one and debit (only the
    // whole is checked); "omite" adds, and an empty one clears.
    TForma f;
    EXPECT_EQ(AplicaEscolhas(f, {{"rede", "getnet"}, {"bandeira", "Electron"}, {"parcelas", "3"}, {"cartao", "debito"},
                                 {"parcelas", "1"}, {"omite", "027-000"}, {"omite", ""}, {"omite", "010-000,012-000"}},
                             true),
              std::nullopt);
    EXPECT_EQ(FormaEmJson(f), FormaEmJson(esperada));
    for (auto r : Redes) EXPECT_FALSE(AplicaEscolha(f, "rede", r)) << r;  // what the page offers
    for (auto b : Bandeiras) EXPECT_FALSE(AplicaEscolha(f, "bandeira", b)) << b;

    const std::pair<TQuery, std::string> invalidas[] = {
        {{{"cartao", "pix"}}, "cartao"},         {{{"parcelas", "0"}}, "parcelas"},     {{{"parcelas", "13"}}, "parcelas"},
        {{{"parcelas", "3x"}}, "parcelas"},      {{{"financiamento", "banco"}}, "financiamento"},
        {{{"adm", "talvez"}}, "adm"},            {{{"rede", ""}}, "rede"},              {{{"rede", "CIELO!"}}, "rede"},
        {{{"rede", std::string(17, 'R')}}, "rede"}, {{{"rede", " CIELO"}}, "rede"}, {{{"bandeira", "VISA ELECTRON"}}, "bandeira"},
        {{{"omite", "27-000"}}, "omite"},        {{{"omite", "027-000,"}}, "omite"}, {{{"parcela", "2"}}, "parcela"},
        {{{"parcelas", "2"}, {"cartao", "debito"}}, "parcelas"},
    };
    for (const auto& [q, palavra] : invalidas) {
        TForma g = esperada;
        const auto erro = AplicaEscolhas(g, q, true);
        ASSERT_TRUE(erro) << palavra;
        EXPECT_NE(erro->find(palavra), std::string::npos) << *erro;
        EXPECT_EQ(g, esperada) << "an invalid choice changes nothing: " << *erro;
    }
}

TEST(WebsistemaForma, SoLoopbackControla) {
    const std::pair<const char*, bool> casos[] = {
        {"127.0.0.1", true},  {"127.3.2.1", true},      {"::1", true},           {"::ffff:127.0.0.1", true},
        {"10.0.0.1", false},  {"192.168.0.127", false}, {"1270.0.0.1", false},   {"::ffff:10.1.2.3", false},
        {"fd00::1", false},   {"", false},
    };
    for (const auto& [endereco, sim] : casos) EXPECT_EQ(EhLoopback(endereco), sim) << endereco;
}

TEST(WebsistemaDownload, NomesDentroDaArea) {
    const std::pair<std::string, bool> casos[] = {
        {"a.bin", true},  {"sub/a.bin", true}, {"..a", true},          {"", false},
        {"..", false},    {"../a", false},     {"sub/../../a", false}, {"/etc/passwd", false},
        {"a//b", false},  {"./a", false},      {"a/", false},          {"a\\..\\b", false},
        {std::string("a\0b", 3), false},
    };
    for (const auto& [nome, aceito] : casos) EXPECT_EQ(NomeDeDownloadSeguro(nome).has_value(), aceito) << nome;
    EXPECT_EQ(CodificaCaminho("sub/a b%\xC3\xA3.bin"), "sub/a%20b%25%C3%A3.bin");
}

TEST(WebsistemaOpcoes, LinhaDeComando) {
    const auto o = LeOpcoes({"--porta", "0", "--porta-https=-1", "--loja", "0012", "--senha", "a b", "--auto",
                             "recusar", "--atraso=0", "--redireciona", "x.bin", "--redireciona", "y=http://h/z"});
    EXPECT_EQ(std::tie(o.porta, o.portaHttps, o.conf.loja, o.conf.senha, o.conf.login, o.conf.atrasoMs),
              std::make_tuple(0, -1, std::uint64_t{12}, std::string("a b"), std::string("operador"), 0u));
    EXPECT_EQ(o.conf.automatico, TAcao::Recusar);
    EXPECT_EQ(o.redireciona, (std::map<std::string, std::string>{{"x.bin", ""}, {"y", "http://h/z"}}));
    EXPECT_EQ(o.conf.forma, TForma{});
    EXPECT_EQ(o.desfazAposSegundos, 0u);
    EXPECT_EQ(LeOpcoes({"--desfaz-apos", "30"}).desfazAposSegundos, 30u);
    const auto forma = LeOpcoes({"--cartao", "credito", "--rede=rede", "--bandeira", "ELO", "--parcelas", "4",
                                 "--financiamento", "administradora", "--adm", "sem-confirmacao", "--omite", "027-000",
                                 "--omite=012-000"});
    EXPECT_EQ(FormaEmJson(forma.conf.forma),
              "{\"cartao\":\"credito\",\"rede\":\"REDE\",\"bandeira\":\"ELO\",\"parcelas\":\"4\",\"financiamento\":"
              "\"administradora\",\"adm\":\"sem-confirmacao\",\"omite\":\"012-000,027-000\"}");
    const std::vector<std::vector<std::string>> erros = {
        {"--porta"},      {"--porta", "65536"},   {"--porta", "8o"},   {"--porta-https", "-2"},
        {"--loja", "x"},  {"--auto", "talvez"},   {"--atraso", "-5"},  {"--cert", "c.pem"},
        {"--desconhecida"}, {"--redireciona", "=http://x"}, {"--parcelas", "13"}, {"--cartao", "pix"},
        {"--cartao", "debito", "--parcelas", "2"}, {"--omite", "27"}, {"--rede"}, {"--forma", "x"},
        {"--desfaz-apos", "-1"}, {"--desfaz-apos", "604801"}, {"--desfaz-apos"},
    };
    for (const auto& e : erros) EXPECT_THROW(LeOpcoes(e), EUsoIncorreto) << e[0];
}

TEST(WebsistemaRegistro, DesfazNoPrazoOQueNaoFoiConfirmado) {
    auto agora = Relogio::time_point{};
    std::string log;
    TRegistro r(60s, [&] { return agora; }, [&](const std::string& l) { log += l + "\n"; });
    const TConfiguracao conf;
    const std::string credenciais = "lojcodigo_logado=1&usulogin_logado=operador&ususenha_logado=1234";
    const auto aprova = [&](const std::string& query) {
        const auto p = r.Abre(LePedido(DecodificaQuery(credenciais + "&" + query)), conf, {});
        const auto nsu = std::to_string(p.t.nsu);
        EXPECT_EQ(r.Decide({{"nsu", nsu}, {"chave", p.chave}, {"acao", "aprovar"}}).status, 200);
        return nsu;
    };
    const auto estado = [&](const std::string& nsu) { return LeJson(r.EmJson()).at(nsu + ".estado"); };
    const auto cnf = [&](const std::string& nsu) {
        return r.Confirmacao({{"000-000", "CNF"}, {"012-000", nsu}, {"lojcodigo_logado", "1"}, {"usulogin_logado", "operador"},
                              {"ususenha_logado", "1234"}}, conf).corpo;
    };
    const std::string venda = "tela=Venda&valor=1000&imprime=ecf", cancela = "tela=Adm&operacao=cancelamento&nsu=";
    const auto a = aprova(venda), b = aprova(venda), e = aprova(venda);
    const auto impressa = aprova("tela=Venda&valor=1000&imprime=40");
    agora += 10s;
    const auto f = aprova(cancela + e);
    agora += 20s;
    EXPECT_NE(cnf(b).find("confirmada"), std::string::npos);
    agora += 29s;  // 59 s
    const auto d = aprova(cancela + b);
    const std::pair<std::string, const char*> antes[] = {
        {a, "aprovada"}, {b, "cancelada"}, {d, "aprovada"}, {e, "cancelada"}, {f, "aprovada"}, {impressa, "confirmada"}};
    for (const auto& [nsu, esperado] : antes) EXPECT_EQ(estado(nsu), esperado) << nsu;
    agora += 1s;  // 60 s: a's time is up, and only a's
    EXPECT_EQ(estado(a), "desfeita");
    EXPECT_NE(cnf(a).find("esta desfeita"), std::string::npos) << "too late to confirm";
    EXPECT_EQ(estado(f), "aprovada");
    agora += 10s;  // 70 s: f's time is up; e, given back, is past its own
    EXPECT_EQ(estado(f), "desfeita");
    EXPECT_EQ(estado(e), "desfeita");
    agora += 48s;  // 118 s
    EXPECT_EQ(estado(d), "aprovada");
    agora += 1s;
    EXPECT_EQ(estado(d), "desfeita");
    EXPECT_EQ(estado(b), "confirmada") << "b was confirmed before it was cancelled";
    EXPECT_EQ(estado(impressa), "confirmada");
    EXPECT_EQ(Ocorrencias(log, "\"por\":\"prazo\""), 4u) << log;  // a, f, e, d

    TRegistro nunca(0s, [&] { return agora; });
    const auto p = nunca.Abre(LePedido(DecodificaQuery(credenciais + "&" + venda)), conf, {});
    nunca.Decide({{"nsu", std::to_string(p.t.nsu)}, {"chave", p.chave}, {"acao", "aprovar"}});
    agora += 24h * 365;
    EXPECT_EQ(LeJson(nunca.EmJson()).at("1.estado"), "aprovada");
}

// ---- the running server -----------------------------------------------------

class WebsistemaServidor : public ::testing::Test {
protected:
    static inline const std::string Senha = "s&+% \xC3\xA3", Login = "caixa 1";

    static void SetUpTestSuite() {
        dir_ = new TDiretorioTemporario();
        CriaDir(*dir_ / "dl/sub");
        arquivo_.clear();
        for (int i = 0; i < 300000; ++i) arquivo_ += static_cast<char>((i * 7 + i / 256) & 0xFF);
        for (const char* nome : {"dl/a.bin", "dl/sub/b.bin", "dl/c.bin", "dl/r.bin"}) GravaBytes(*dir_ / nome, arquivo_);
        GravaBytes(*dir_ / "segredo.txt", "SEGREDO");
        try {
            servidor_ = new TServidorFilho(
                {"--porta", "0", "--porta-https", "0", "--loja", "7", "--login", Login, "--senha", Senha, "--log",
                 *dir_ / "log.jsonl", "--downloads", *dir_ / "dl", "--redireciona", "r.bin", "--corta", "c.bin",
                 "--lento", "l.bin", "--auto", "recusar", "--atraso", "2500", "--bandeira", "ELO"},
                *dir_ / "stderr.txt");
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    void SetUp() override { ASSERT_NE(servidor_, nullptr); }
    static void TearDownTestSuite() {
        delete servidor_;
        delete dir_;
        servidor_ = nullptr;
    }
    static std::string Credenciais() {
        return Query({{"lojcodigo_logado", "7"}, {"usulogin_logado", Login}, {"ususenha_logado", Senha}});
    }
    static httplib::Result Pede(const std::string& alvo, bool https = false) {
        return Cliente(https ? servidor_->portaHttps : servidor_->porta, https)->Get(alvo);
    }
    static std::string Log() { return *dir_ / "log.jsonl"; }
    // The password as the manager sends it in a form: Windows-1252.
    static inline const std::string SenhaCp1252 = "s&+% \xE3";
    static httplib::Result Confirma(TQuery campos, const std::string& senha = SenhaCp1252,
                                    const std::string& caminho = "/confirmacao.php") {
        campos.insert(campos.end(), {{"lojcodigo_logado", "7"}, {"usulogin_logado", Login}, {"ususenha_logado", senha}});
        return Cliente(servidor_->porta, false)->Post(caminho, Query(campos), "application/x-www-form-urlencoded");
    }
    // A page served and one of its buttons pressed: its NSU and the text the page got.
    static std::pair<std::string, std::string> Transacao(const std::string& query, const std::string& acao) {
        const auto [nsu, chave] = TransacaoDaPagina(Pede("/modtef.php?" + Credenciais() + "&" + query)->body);
        return {nsu, Botao(nsu, chave, acao)->body};
    }
    // A page's button: what the page asks the server before it writes.
    static httplib::Result Botao(const std::string& nsu, const std::string& chave, const std::string& acao,
                                 const std::string& caminho = "/resultado.php") {
        return Cliente(servidor_->porta, false)
            ->Post(caminho, Query({{"nsu", nsu}, {"chave", chave}, {"acao", acao}}),
                   "application/x-www-form-urlencoded; charset=UTF-8");
    }
    // What the register holds for an NSU.
    static std::string Estado(const std::string& nsu, const std::string& campo = "estado") {
        const auto corpo = Pede("/transacoes")->body;
        const auto j = LeJson(corpo.substr(0, corpo.find('\n')));
        const auto v = j.find(nsu + "." + campo);
        return v == j.end() ? "(absent)" : v->second;
    }

    static inline TDiretorioTemporario* dir_ = nullptr;
    static inline TServidorFilho* servidor_ = nullptr;
    static inline std::string arquivo_;
};

TEST_F(WebsistemaServidor, PaginaNasTresRotasPorHttpEHttps) {
    for (bool https : {false, true}) {
        for (std::string caminho : {"/modtef.php", "/homol/modtef.php", "/release/modtef.php"}) {
            for (std::string tela : {"Venda", "Adm"}) {
                const auto r = Pede(caminho + "?tela=" + tela + "&" + Credenciais() + "&num_cupom=1&valor=123456", https);
                const std::string onde = caminho + " " + tela + (https ? " https" : " http");
                ASSERT_TRUE(r) << onde << " " << httplib::to_string(r.error());
                EXPECT_EQ(r->status, 200) << onde;
                EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8") << onde;
                EXPECT_EQ(Ocorrencias(r->body, "<input type=\"hidden\" id=\"ipt_imprime_gecko\" value=\"\">"), 1u);
                for (const char* b : {">Aprovar</button>", ">Recusar</button>", ">Cancelar</button>"})
                    EXPECT_EQ(Ocorrencias(r->body, b), 1u) << onde << " " << b;
                EXPECT_EQ(Ocorrencias(r->body, "<dd class=\"valor\">R$ 1.234,56</dd>"), tela == "Venda" ? 1u : 0u) << onde;
                EXPECT_EQ(Ocorrencias(r->body, "Menu administrativo"), tela == "Adm" ? 2u : 0u) << onde;
                // Self-contained: nothing fetched from elsewhere.
                EXPECT_EQ(r->body.find("src="), std::string::npos);
                EXPECT_EQ(r->body.find("<link"), std::string::npos);
            }
        }
    }
    EXPECT_EQ(Pede("/outra/modtef.php?tela=Venda")->status, 404);
    EXPECT_EQ(Pede("/modtef.phpx")->status, 404);
}

TEST_F(WebsistemaServidor, ValoresHostisEscapados) {
    const std::string cupom = "<script>alert(\"x\")</script>&'", cpf = "\"><img src=x onerror=alert(1)>";
    for (const char* imprime : {"ecf", "40"}) {
        const auto r = Pede("/modtef.php?tela=Venda&" + Credenciais() + "&" +
                            Query({{"num_cupom", cupom}, {"cpf", cpf}, {"valor", "1000"}, {"imprime", imprime}}));
        ASSERT_TRUE(r);
        EXPECT_NE(r->body.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;"), std::string::npos);
        EXPECT_NE(r->body.find("&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
        EXPECT_EQ(r->body.find("<img"), std::string::npos) << imprime;
        // The page's own script is the only one; its texts come from the server.
        EXPECT_EQ(Ocorrencias(r->body, "<script") + Ocorrencias(r->body, "</script"), 2u) << imprime;
        EXPECT_NE(r->body.find("R$ 10,00"), std::string::npos);
        EXPECT_NE(r->body.find("operador caixa 1"), std::string::npos);
    }
}

TEST_F(WebsistemaServidor, CredenciaisErradasNaoDizemQual) {
    const std::string resto = "&tela=Venda&valor=1000&imprime=ecf";
    const std::string erradas[] = {
        Query({{"lojcodigo_logado", "8"}, {"usulogin_logado", Login}, {"ususenha_logado", Senha}}),
        Query({{"lojcodigo_logado", "7"}, {"usulogin_logado", "caixa 2"}, {"ususenha_logado", Senha}}),
        Query({{"lojcodigo_logado", "7"}, {"usulogin_logado", Login}, {"ususenha_logado", "s&+% a"}}),
        Query({{"lojcodigo_logado", "7x"}, {"usulogin_logado", Login}, {"ususenha_logado", Senha}}),
        // An unescaped "+" arrives as a blank.
        "lojcodigo_logado=7&usulogin_logado=caixa%201&ususenha_logado=s%26+%25%20%C3%A3",
    };
    std::string primeira;
    for (const auto& q : erradas) {
        const auto r = Pede("/modtef.php?" + q + resto);
        ASSERT_TRUE(r);
        EXPECT_NE(r->body.find("Loja, login ou senha inv\xC3\xA1lidos"), std::string::npos) << q;
        EXPECT_EQ(r->body.find(">Aprovar<"), std::string::npos) << q;
        EXPECT_EQ(r->body.find(">Recusar<"), std::string::npos) << q;
        EXPECT_NE(r->body.find(">Cancelar<"), std::string::npos) << q;
        // The server holds to it too: such a page can only cancel.
        const auto [nsu, chave] = TransacaoDaPagina(r->body);
        EXPECT_EQ(Botao(nsu, chave, "aprovar")->status, 409) << q;
        EXPECT_EQ(Botao(nsu, chave, "cancelar")->body, "COMMAND_TEF\xC2\xA7" "close") << q;
        // Apart from its own NSU and secret, the same page whichever is wrong.
        const auto sem = std::regex_replace(r->body, std::regex("var transacao = [^\n]*"), "");
        if (primeira.empty()) primeira = sem;
        EXPECT_EQ(sem, primeira) << "the page must not tell which one is wrong";
    }
    const auto certa =
        Pede("/modtef.php?lojcodigo_logado=0007&usulogin_logado=caixa%201&ususenha_logado=s%26%2B%25%20%C3%A3" + resto);
    EXPECT_EQ(certa->body.find("Loja, login"), std::string::npos);
    EXPECT_NE(certa->body.find(">Aprovar<"), std::string::npos);
}

TEST_F(WebsistemaServidor, PaginaLevaOsTextosDoCanal) {
    const std::string q = Credenciais() + "&num_cupom=555&cpf=1&valor=2500";
    TConfiguracao conf;
    conf.loja = 7, conf.login = Login, conf.senha = Senha, conf.forma.bandeira = "ELO";
    for (std::string tela : {"Venda", "Adm"}) {
        const auto pagina = Pede("/modtef.php?tela=" + tela + "&" + q + "&imprime=ecf")->body;
        const auto pedido = LePedido(DecodificaQuery("tela=" + tela + "&" + q + "&imprime=ecf"));
        EXPECT_EQ(ResultadoNaPagina(Log(), pagina, "cancelar"), "COMMAND_TEF\xC2\xA7" "close");
        // The texts carry this page's NSU and moment; rebuilt with them, they must match.
        const auto aprovacao = ResultadoNaPagina(Log(), pagina, "aprovar");
        TTransacao t;
        std::smatch m;
        if (std::regex_search(aprovacao, m, std::regex("012-000 = (\\d+)"))) t.nsu = std::stoull(m[1]);
        ASSERT_TRUE(std::regex_search(aprovacao, m,
                                      std::regex("022-000 = (\\d\\d)(\\d\\d)(\\d{4})\xC2\xA7" "023-000 = (\\d\\d)(\\d\\d)(\\d\\d)")));
        t.horario.tm_mday = std::stoi(m[1]), t.horario.tm_mon = std::stoi(m[2]) - 1;
        t.horario.tm_year = std::stoi(m[3]) - 1900, t.horario.tm_hour = std::stoi(m[4]);
        t.horario.tm_min = std::stoi(m[5]), t.horario.tm_sec = std::stoi(m[6]);
        EXPECT_EQ(ResultadoNaPagina(Log(), pagina, "recusar"), TextoResultado(TAcao::Recusar, pedido, conf, t));
        EXPECT_EQ(aprovacao, TextoResultado(TAcao::Aprovar, pedido, conf, t)) << tela;
        // What the button gets is what was logged, byte for byte, recorded as
        // the page's result: a second press gets the same, whatever it names.
        const auto [nsu, chave] = TransacaoDaPagina(pagina);
        ASSERT_EQ(nsu, std::to_string(t.nsu));
        for (const char* acao : {"aprovar", "recusar", "cancelar"}) {
            const auto r = Botao(nsu, chave, acao, "/release/resultado.php");
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200);
            EXPECT_EQ(r->body, aprovacao) << tela << " " << acao;
            EXPECT_EQ(r->get_header_value("X-TEF-Estado"), "aprovada");
        }
        EXPECT_EQ(Botao(nsu, chave + "0", "aprovar")->status, 404);
        EXPECT_EQ(Botao(nsu, chave, "talvez")->status, 400);
        EXPECT_EQ(Estado(nsu), "aprovada");
    }
    const auto quarenta = Pede("/modtef.php?tela=Venda&" + q + "&imprime=40")->body;
    const auto aprovado = Itens(ResultadoNaPagina(Log(), quarenta, "aprovar"));
    const auto recusado = Itens(ResultadoNaPagina(Log(), quarenta, "recusar"));
    for (const char* l : {"LOJA 0007", "CUPOM 555", "VALOR R$ 25,00"}) EXPECT_TRUE(Tem(aprovado, l) && Tem(recusado, l)) << l;
    EXPECT_TRUE(Tem(aprovado, "APROVADA") && Tem(recusado, "RECUSADA"));
    ASSERT_GE(aprovado.size(), 2u);
    EXPECT_TRUE(std::regex_match(aprovado[aprovado.size() - 2], std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)")));
    // The script asks the server, writes the attribute only with its answer,
    // then waits with the buttons off; started with --auto recusar --atraso 2500.
    for (const char* trecho : {"pedido.open(\"POST\", \"resultado.php\")",
                               "if (pedido.status !== 200 || pedido.responseText === \"\") {\n        falhou(",
                               "canal.setAttribute(\"value\", pedido.responseText)", "botoes[i].disabled = !sim",
                               "Aguardando o gerenciador...", "var automatico = \"recusar\";\nvar atraso = 2500;"})
        EXPECT_NE(quarenta.find(trecho), std::string::npos) << trecho;
    // A printed approval (a screen from the tray) has nobody to confirm it.
    const auto [nsu, chave] = TransacaoDaPagina(quarenta);
    EXPECT_EQ(Botao(nsu, chave, "aprovar")->body, ResultadoNaPagina(Log(), quarenta, "aprovar"));
    EXPECT_EQ(Estado(nsu), "confirmada");
}

TEST_F(WebsistemaServidor, ControleMudaAsProximasPaginas) {
    // The other tests expect the start options' shape back.
    struct TRestaura {
        ~TRestaura() { Pede("/controle"); }
    } restaura;
    const std::string venda = "/modtef.php?tela=Venda&" + Credenciais() + "&valor=1000&imprime=ecf";
    auto aprovacao = [&](const std::string& alvo) { return Itens(ResultadoNaPagina(Log(), Pede(alvo)->body, "aprovar")); };

    auto r = Pede("/controle?parcelas=3&financiamento=administradora");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const auto json = LeJson(r->body.substr(0, r->body.find('\n')));
    EXPECT_EQ(json.at("parcelas"), "3");
    EXPECT_EQ(json.at("bandeira"), "ELO") << "on top of the start options";
    auto itens = aprovacao(venda);
    EXPECT_EQ(Campo(itens, "018-000"), "3");
    EXPECT_EQ(Campo(itens, "011-000"), "12");

    // A refused change leaves the shape as it was.
    for (const char* errado : {"/controle?cartao=debito&parcelas=3", "/controle?parcela=2", "/controle?atraso_pagina=x", "/controle?atraso_pagina=60001"}) EXPECT_EQ(Pede(errado)->status, 400) << errado;
    EXPECT_EQ(Campo(aprovacao(venda), "018-000"), "3");

    // The page's own choices go on top of the server's; one that does not fit
    // with them is shown and ignored.
    const auto debito = Pede(venda + "&cartao=debito&parcelas=1&bandeira=maestro")->body;
    EXPECT_EQ(Campo(Itens(ResultadoNaPagina(Log(), debito, "aprovar")), "011-000"), "20");
    EXPECT_NE(debito.find("<option value=\"debito\" selected>"), std::string::npos);
    EXPECT_NE(debito.find("<option value=\"MAESTRO\" selected>"), std::string::npos);
    EXPECT_EQ(debito.find("Escolha inv"), std::string::npos);
    const auto invalida = Pede(venda + "&cartao=debito")->body;
    EXPECT_NE(invalida.find("Escolha inv\xC3\xA1lida: parcelas"), std::string::npos);
    EXPECT_EQ(Campo(Itens(ResultadoNaPagina(Log(), invalida, "aprovar")), "018-000"), "3");

    // Administrations: the kind chosen for the next pages, and the page's control.
    r = Pede("/controle?adm=sem-confirmacao");
    EXPECT_EQ(r->status, 200);
    const auto adm = Pede("/modtef.php?tela=Adm&" + Credenciais() + "&imprime=ecf")->body;
    EXPECT_EQ(Campo(Itens(ResultadoNaPagina(Log(), adm, "aprovar")), "729-000"), "1");
    EXPECT_NE(adm.find("<option value=\"sem-confirmacao\" selected>"), std::string::npos);
    EXPECT_EQ(adm.find("name=\"parcelas\""), std::string::npos);
    // Each call starts from the start options: installments are gone.
    EXPECT_FALSE(Campo(aprovacao(venda), "018-000"));

    r = Pede("/controle");
    TForma inicial;
    inicial.bandeira = "ELO";
    EXPECT_EQ(r->body, FormaEmJson(inicial) + "\n");
    itens = aprovacao(venda);
    EXPECT_EQ(Campo(itens, "011-000"), "10");
    EXPECT_EQ(Campo(itens, "040-000"), "ELO");
    EXPECT_TRUE(Campo(itens, "027-000"));
}

// ---- the register: confirmations, cancellations, questions --------------------

TEST_F(WebsistemaServidor, ConfirmacaoEDesfazimento) {
    const auto [a, texto] = Transacao("tela=Venda&valor=1000&num_cupom=61&imprime=ecf&identificacao=cnf-1", "aprovar");
    const auto itens = Itens(texto);
    ASSERT_EQ(Campo(itens, "012-000"), a);
    const auto rede = Campo(itens, "010-000").value_or(""), controle = Campo(itens, "027-000").value_or("");
    const struct {
        const char* nome;
        TQuery campos;
        const char* estado;
        const char* diz;
    } passos[] = {
        {"another control code", {{"000-000", "CNF"}, {"012-000", a}, {"027-000", "1" + controle}}, "aprovada", "nao confere"},
        {"another network", {{"000-000", "CNF"}, {"010-000", "STONE"}, {"012-000", a}}, "aprovada", "nao confere"},
        {"unknown NSU", {{"000-000", "CNF"}, {"012-000", "999999"}}, "aprovada", "nenhuma transacao"},
        {"no NSU", {{"000-000", "NCN"}}, "aprovada", "nenhuma transacao"},
        // Values as exchange files may carry them: blanks, leading zeros.
        {"CNF", {{"000-000", " CNF"}, {"010-000", rede}, {"012-000", "000" + a}, {"027-000", controle + " "}}, "confirmada",
         "confirmada"},
        {"CNF again", {{"000-000", "CNF"}, {"012-000", a}}, "confirmada", "ja estava confirmada"},
        {"NCN", {{"000-000", "NCN"}, {"012-000", a}, {"027-000", controle}, {"motivo", "documento recusado"}}, "desfeita",
         "desfeita"},
        {"CNF after NCN", {{"000-000", "CNF"}, {"012-000", a}}, "desfeita", "esta desfeita; nada a fazer"},
        {"NCN again", {{"000-000", "NCN"}, {"012-000", a}}, "desfeita", "ja estava desfeita"},
    };
    for (const auto& p : passos) {
        const auto r = Confirma(p.campos);
        ASSERT_TRUE(r) << p.nome;
        EXPECT_EQ(r->status, 200) << p.nome;
        EXPECT_NE(r->body.find(p.diz), std::string::npos) << p.nome << ": " << r->body;
        EXPECT_EQ(Estado(a), p.estado) << p.nome;
    }
    const auto [b, recusa] = Transacao("tela=Venda&valor=500&imprime=ecf", "recusar");
    EXPECT_FALSE(Campo(Itens(recusa), "729-000")) << "nothing to confirm in a refusal";
    EXPECT_NE(Confirma({{"000-000", "CNF"}, {"012-000", b}})->body.find("esta recusada"), std::string::npos);
    // Logged as the other requests, without the password.
    const auto l = LinhaDoLog(Log(), "documento recusado");
    EXPECT_EQ(l.at("caminho"), "/confirmacao.php");
    EXPECT_EQ(l.at("formulario.ususenha_logado"), "***");
    EXPECT_EQ(l.at("formulario.012-000"), a);
    EXPECT_EQ(l.at("status"), "200");
}

TEST_F(WebsistemaServidor, CancelamentoDeVenda) {
    const auto [a, texto] = Transacao("tela=Venda&valor=2500&num_cupom=71&imprime=ecf", "aprovar");
    const auto rede = Campo(Itens(texto), "010-000").value_or(""), controle = Campo(Itens(texto), "027-000").value_or("");
    ASSERT_EQ(Confirma({{"000-000", "CNF"}, {"012-000", a}})->status, 200);
    const auto cnc = [&](const std::string& nsu, const std::string& r, const std::string& c, const std::string& acao) {
        return Transacao("tela=Adm&num_cupom=71&cpf=&valor=2500&imprime=ecf&operacao=cancelamento&" +
                             Query({{"rede", r}, {"nsu", nsu}, {"data", "05032026"}, {"hora", "090807"}, {"controle", c},
                                    {"identificacao", "cnc-1"}, {"extra", "?"}}),
                         acao);
    };
    const auto pagina = Pede("/homol/modtef.php?tela=Adm&" + Credenciais() +
                             "&valor=2500&operacao=cancelamento&rede=CIELO&nsu=" + a + "&data=05032026&hora=090807")->body;
    for (const auto& trecho : std::vector<std::string>{"<h1>Cancelamento de venda</h1>", "<dd>CIELO</dd>", "<dd>" + a + "</dd>",
                                                        "<dd>05/03/2026 09:08:07</dd>", "R$ 25,00", ">Aprovar<", ">Recusar<",
                                                        ">Cancelar<"})
        EXPECT_NE(pagina.find(trecho), std::string::npos) << trecho;

    const struct {
        const char* nome;
        std::string nsu, rede, controle, acao, motivo;
    } recusas[] = {
        {"unknown NSU", "999999", rede, "", "aprovar", "Venda nao encontrada"},
        {"no NSU", "", "", "", "aprovar", "Venda nao encontrada"},
        {"another control code", a, rede, controle + "1", "aprovar", "Codigo de controle nao confere"},
        {"another network", a, "STONE", controle, "aprovar", "Rede nao confere"},
        {"the decline button", a, rede, controle, "recusar", "Cancelamento recusado"},
    };
    for (const auto& c : recusas) {
        const auto [nsu, recusa] = cnc(c.nsu, c.rede, c.controle, c.acao);
        EXPECT_EQ(Itens(recusa), (std::vector<std::string>{"000-000 = CNC", "001-000 = #001#", "009-000 = 5",
                                                           "030-000 = " + c.motivo, "999-999 = 0"}))
            << c.nome;
        EXPECT_EQ(Estado(nsu), "recusada") << c.nome;
        EXPECT_EQ(Estado(a), "confirmada") << c.nome;
    }
    const auto [fechada, fecha] = cnc(a, rede, controle, "cancelar");
    EXPECT_EQ(fecha, "COMMAND_TEF\xC2\xA7" "close");
    EXPECT_EQ(Estado(fechada), "cancelada_pagina");

    // Approved once (the NSU with leading zeros, the network in lower case)...
    const auto [c1, aprovado] = cnc("000" + a, "cielo", controle, "aprovar");
    const auto itens = Itens(aprovado);
    const auto recibo = ConfereTroca(itens, "approved cancellation", false);
    const std::pair<const char*, std::string> campos[] = {{"000-000", "CNC"}, {"009-000", "0"}, {"010-000", rede},
                                                          {"012-000", c1}, {"027-000", Estado(c1, "controle")},
                                                          {"030-000", "Cancelamento aprovado"}, {"729-000", "2"}};
    for (const auto& [id, valor] : campos) EXPECT_EQ(Campo(itens, id).value_or("(absent)"), valor) << id;
    for (const char* id : {"013-000", "022-000", "023-000"}) EXPECT_TRUE(Campo(itens, id)) << id;
    EXPECT_NE(Campo(itens, "027-000"), controle);
    char original[32];
    std::snprintf(original, sizeof original, "NSU ORIGINAL %06d", std::stoi(a));
    EXPECT_TRUE(Tem(recibo, original) && Tem(recibo, "VALOR R$ 25,00") && Tem(recibo, "CANCELAMENTO APROVADO"));
    EXPECT_EQ(Estado(a), "cancelada");
    EXPECT_EQ(Estado(c1), "aprovada");
    EXPECT_EQ(Estado(c1, "nsu_cancelado"), a);
    EXPECT_EQ(Estado(c1, "identificacao"), "cnc-1");
    // ...refused the second time; undone, the cancellation gives the sale back.
    EXPECT_EQ(Campo(Itens(cnc(a, rede, controle, "aprovar").second), "030-000"), "Venda ja cancelada");
    EXPECT_NE(Confirma({{"000-000", "NCN"}, {"012-000", c1}})->body.find("a venda NSU " + a + " esta confirmada"),
              std::string::npos);
    EXPECT_EQ(Estado(c1), "desfeita");
    EXPECT_EQ(Estado(a), "confirmada");
    // An undone sale, and a cancellation (no sale), cannot be cancelled.
    const auto [b, _] = Transacao("tela=Venda&valor=900&imprime=ecf", "aprovar");
    ASSERT_EQ(Confirma({{"000-000", "NCN"}, {"012-000", b}})->status, 200);
    EXPECT_EQ(Campo(Itens(cnc(b, "", "", "aprovar").second), "030-000"), "Venda desfeita");
    EXPECT_EQ(Campo(Itens(cnc(c1, "", "", "aprovar").second), "030-000"), "Venda nao encontrada");
}

TEST_F(WebsistemaServidor, ConsultaDoQueAPaginaDeu) {
    const auto cns = [](TQuery campos) {
        campos.insert(campos.begin(), {"000-000", "CNS"});
        return Confirma(campos);
    };
    const auto nenhum = [](const httplib::Result& r) {
        return r && r->status == 200 && r->get_header_value("X-TEF-Resultado") == "nenhum" && r->body.empty();
    };
    // The manager puts the identification into the page's address in UTF-8
    // and sends it in the form in Windows-1252.
    const std::string pagina = "tela=Venda&valor=0001500&num_cupom=81&imprime=ecf&identificacao=cns-%C3%A7";
    const auto [nsu, chave] = TransacaoDaPagina(Pede("/modtef.php?" + Credenciais() + "&" + pagina)->body);
    EXPECT_TRUE(nenhum(cns({{"001-000", "cns-\xE7"}}))) << "an open page gave nothing yet";
    const auto texto = Botao(nsu, chave, "aprovar")->body;
    const struct {
        const char* nome;
        TQuery campos;
        bool acha;
    } casos[] = {
        {"by identification", {{"001-000", "cns-\xE7"}}, true},
        {"with its document and amount", {{"001-000", "cns-\xE7"}, {"002-000", "81"}, {"003-000", "1500"}}, true},
        {"another document", {{"001-000", "cns-\xE7"}, {"002-000", "82"}}, false},
        {"another amount", {{"001-000", "cns-\xE7"}, {"003-000", "1501"}}, false},
        {"unknown identification", {{"001-000", "cns-c"}}, false},
        {"no identification", {{"001-000", ""}}, false},
    };
    for (const auto& c : casos) {
        const auto r = cns(c.campos);
        ASSERT_TRUE(r) << c.nome;
        if (!c.acha) {
            EXPECT_TRUE(nenhum(r)) << c.nome;
            continue;
        }
        EXPECT_EQ(r->status, 200) << c.nome;
        EXPECT_EQ(r->get_header_value("X-TEF-Resultado"), "encontrado") << c.nome;
        EXPECT_EQ(r->body, texto) << c.nome;
        EXPECT_EQ(r->get_header_value("X-TEF-NSU"), nsu) << c.nome;
    }
    // The request's most recent page decides: cancelled in the page, its
    // close command; a newer one still open, nothing.
    const auto [cancelada, fecha] = Transacao(pagina, "cancelar");
    EXPECT_EQ(cns({{"001-000", "cns-\xE7"}})->body, fecha);
    Pede("/modtef.php?" + Credenciais() + "&" + pagina);
    EXPECT_TRUE(nenhum(cns({{"001-000", "cns-\xE7"}})));
    // The manager's name for the request outweighs an identification used
    // again; an approval undone since is no payment.
    const auto [aprovada, aprovadaTexto] = Transacao(pagina + "&pedido=transacao-2", "aprovar");
    const auto achada = cns({{"001-000", "cns-\xE7"}, {"pedido", "transacao-2"}});
    EXPECT_EQ(achada->get_header_value("X-TEF-Resultado"), "encontrado");
    EXPECT_EQ(achada->body, aprovadaTexto);
    EXPECT_TRUE(nenhum(cns({{"001-000", "cns-\xE7"}, {"pedido", "transacao-3"}}))) << "its page never loaded";
    ASSERT_EQ(Confirma({{"000-000", "NCN"}, {"012-000", aprovada}})->status, 200);
    const auto desfeita = cns({{"pedido", "transacao-2"}});
    EXPECT_TRUE(nenhum(desfeita));
    EXPECT_EQ(desfeita->get_header_value("X-TEF-Estado"), "desfeita");
}

TEST_F(WebsistemaServidor, ConfirmacaoSoComCredenciaisPorPost) {
    const auto [a, _] = Transacao("tela=Venda&valor=300&imprime=ecf", "aprovar");
    const TQuery cnf = {{"000-000", "CNF"}, {"012-000", a}};
    // The password's UTF-8 bytes are not its Windows-1252.
    for (const std::string& senha : {Senha, std::string("s&+% a"), std::string()}) {
        const auto r = Confirma(cnf, senha);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << senha;
        EXPECT_EQ(Estado(a), "aprovada") << "nothing recorded";
    }
    auto outroLogin = cnf;
    outroLogin.insert(outroLogin.begin(), {"usulogin_logado", "caixa 2"});  // the first value counts
    EXPECT_EQ(Confirma(outroLogin)->status, 403);
    for (const char* comando : {"", "cnf", "CRT"}) EXPECT_EQ(Confirma({{"000-000", comando}, {"012-000", a}})->status, 400) << comando;
    EXPECT_EQ(Confirma({{"012-000", a}})->status, 400);
    EXPECT_EQ(Estado(a), "aprovada");
    for (const std::string base : {"/", "/homol/", "/release/"}) {
        for (const std::string nome : {"confirmacao.php", "resultado.php"}) {
            auto c = Cliente(servidor_->porta, false);
            for (int metodo = 0; metodo < 3; ++metodo) {
                const auto r = metodo == 0 ? c->Get(base + nome)
                               : metodo == 1 ? c->Put(base + nome, "", "text/plain")
                                             : c->Delete(base + nome);
                ASSERT_TRUE(r) << base + nome;
                EXPECT_EQ(r->status, 405) << base + nome << " " << metodo;
                EXPECT_EQ(r->get_header_value("Allow"), "POST");
            }
            EXPECT_EQ(c->Post(base + nome, "000-000=CNF", "text/plain")->status, 415) << base + nome;
        }
        // A form that says UTF-8 is read as UTF-8.
        const auto r = Cliente(servidor_->porta, false)
                           ->Post(base + "confirmacao.php", Query({{"000-000", "CNF"}, {"012-000", a}}) + "&" + Credenciais(),
                                  "application/x-www-form-urlencoded; charset=UTF-8");
        EXPECT_EQ(r->status, 200) << base;
        EXPECT_EQ(r->get_header_value("X-TEF-Estado"), "confirmada") << base;
    }
}

TEST_F(WebsistemaServidor, LogComAQueryDecodificada) {
    const std::string cupom = "log-\xC3\xA3 & + % \"\\ fim";
    ASSERT_TRUE(Pede("/release/modtef.php?tela=Venda&" + Credenciais() + "&" + Query({{"num_cupom", cupom}}) +
                         "&valor=&cpf=1+2%2B3",
                     true));
    const auto l = LinhaDoLog(*dir_ / "log.jsonl", "log-");
    const std::map<std::string, std::string> esperado = {
        {"metodo", "GET"}, {"caminho", "/release/modtef.php"}, {"https", "true"}, {"query.tela", "Venda"},
        {"query.lojcodigo_logado", "7"}, {"query.usulogin_logado", Login}, {"query.ususenha_logado", Senha},
        {"query.num_cupom", cupom}, {"query.valor", ""}, {"query.cpf", "1 2+3"}};
    for (const auto& [k, v] : esperado) EXPECT_EQ(l.count(k) ? l.at(k) : "(absent)", v) << k;

    // Anything is logged, also what is not found.
    ASSERT_EQ(Pede("/nada/aqui?marca-404=%7B%7D")->status, 404);
    const auto outra = LinhaDoLog(*dir_ / "log.jsonl", "marca-404");
    EXPECT_EQ(outra.at("caminho"), "/nada/aqui");
    EXPECT_EQ(outra.at("query.marca-404"), "{}");
    EXPECT_EQ(outra.at("https"), "false");
}

TEST_F(WebsistemaServidor, DownloadsETraversal) {
    for (const char* nome : {"a.bin", "sub/b.bin"}) {
        const auto r = Pede(std::string("/download/tef/profile/") + nome);
        ASSERT_TRUE(r) << nome;
        EXPECT_EQ(r->status, 200) << nome;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/octet-stream");
        EXPECT_TRUE(r->body == arquivo_) << nome << " came with " << r->body.size() << " bytes";
    }
    EXPECT_TRUE(Pede("/download/tef/profile/a.bin", true)->body == arquivo_);
    for (const char* alvo :
         {"/download/tef/profile/falta.bin", "/download/tef/profile/sub", "/download/tef/profile/../segredo.txt",
          "/download/tef/profile/%2e%2e/segredo.txt", "/download/tef/profile/..%2Fsegredo.txt",
          "/download/tef/profile/sub/../../segredo.txt", "/download/tef/profile//etc/passwd",
          "/download/tef/profile/%2Fetc%2Fpasswd", "/download/redirecionado/../segredo.txt"}) {
        const auto r = Pede(alvo);
        ASSERT_TRUE(r) << alvo;
        EXPECT_EQ(r->status, 404) << alvo;
        EXPECT_TRUE(r->body.find("SEGREDO") == std::string::npos && r->body.find("root:") == std::string::npos);
    }
}

TEST_F(WebsistemaServidor, RedirecionamentoECorte) {
    const auto r = Pede("/download/tef/profile/r.bin");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 302);
    EXPECT_EQ(r->get_header_value("Location"),
              "http://127.0.0.1:" + std::to_string(servidor_->porta) + "/download/redirecionado/r.bin");
    auto seguidor = Cliente(servidor_->portaHttps, true);
    seguidor->set_follow_location(true);
    const auto seguido = seguidor->Get("/download/tef/profile/r.bin");
    ASSERT_TRUE(seguido);
    EXPECT_TRUE(seguido->status == 200 && seguido->body == arquivo_);

    for (bool https : {false, true}) {
        std::size_t recebidos = 0;
        std::string anunciado;
        const auto corte = Cliente(https ? servidor_->portaHttps : servidor_->porta, https)
                               ->Get(
                                   "/download/tef/profile/c.bin",
                                   [&](const httplib::Response& res) {
                                       anunciado = res.get_header_value("Content-Length");
                                       return true;
                                   },
                                   [&](const char*, std::size_t n) { return recebidos += n, true; });
        EXPECT_FALSE(corte) << "an incomplete transfer must not look complete";
        EXPECT_EQ(corte.error(), httplib::Error::Read);
        EXPECT_EQ(anunciado, std::to_string(arquivo_.size()));
        EXPECT_EQ(recebidos, arquivo_.size() / 2);
    }
}

TEST_F(WebsistemaServidor, LentoEsgotaOTempoDoCliente) {
    auto c = Cliente(servidor_->porta, false);
    c->set_read_timeout(1);
    const auto inicio = Relogio::now();
    const auto r = c->Get("/download/tef/profile/l.bin");
    const auto decorrido = Relogio::now() - inicio;
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error(), httplib::Error::Read);
    EXPECT_TRUE(decorrido >= 900ms && decorrido < 5s);
    // Holding that request does not block the others.
    EXPECT_EQ(Pede("/download/tef/profile/a.bin")->status, 200);
}

// ---- servers of their own ---------------------------------------------------

TEST(WebsistemaProcesso, ParaComSigtermMesmoSegurandoPedidos) {
    TDiretorioTemporario d;
    TServidorFilho s({"--porta", "0", "--porta-https", "0", "--lento", "l", "--log", d / "log"}, d / "err");
    for (bool https : {false, true}) {
        auto c = Cliente(https ? s.portaHttps : s.porta, https);
        c->set_read_timeout(1);
        EXPECT_FALSE(c->Get("/download/tef/profile/l"));
    }
    const auto inicio = Relogio::now();
    EXPECT_EQ(s.Termina(10s), 0);
    EXPECT_LT(Relogio::now() - inicio, 8s);
    EXPECT_EQ(Ocorrencias(LeBytes(d / "log"), "/download/tef/profile/l"), 2u);
}

TEST(WebsistemaProcesso, SemHttpsComPadroesELogNoStderr) {
    TDiretorioTemporario d;
    TServidorFilho s({"--porta", "0", "--sem-https"}, d / "err", false);
    const auto r = Cliente(s.porta, false)
                       ->Get("/modtef.php?tela=Venda&lojcodigo_logado=1&usulogin_logado=operador&ususenha_logado=1234&"
                             "valor=1000&marca=padrao");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find(">Aprovar<"), std::string::npos);
    EXPECT_NE(r->body.find("var automatico = \"\";"), std::string::npos);
    EXPECT_EQ(s.Termina(), 0);
    EXPECT_EQ(s.texto, "HTTP 127.0.0.1:" + std::to_string(s.porta) + "\n");
    EXPECT_EQ(LinhaDoLog(d / "err", "marca=padrao").at("query.valor"), "1000");
}

TEST(WebsistemaProcesso, CertificadoGeradoParaLocalhost) {
    TDiretorioTemporario d;
    TServidorFilho s({"--porta", "0", "--porta-https", "0"}, d / "err");
    EXPECT_EQ(CertificadoServido(s.portaHttps, d / "servido.pem"), s.impressaoDigital);
    // Valid for a year: still in 364 days, no longer in 366.
    EXPECT_EQ(Executa({"openssl", "x509", "-in", d / "servido.pem", "-checkend", "31449600"}).first, 0);
    EXPECT_EQ(Executa({"openssl", "x509", "-in", d / "servido.pem", "-checkend", "31622400"}).first, 1);
    // Trusting exactly that certificate, both names it is for verify.
    for (const char* host : {"127.0.0.1", "localhost"}) {
        httplib::SSLClient c(host, s.portaHttps);
        c.set_address_family(AF_INET);
        c.set_ca_cert_path((d / "servido.pem").c_str());
        c.set_connection_timeout(5);
        c.set_read_timeout(10);
        const auto r = c.Get("/modtef.php");
        EXPECT_TRUE(r) << host << " " << httplib::to_string(r.error()) << " " << c.get_openssl_verify_result();
    }
    TServidorFilho outro({"--porta", "0", "--porta-https", "0"}, d / "err2");
    EXPECT_NE(outro.impressaoDigital, s.impressaoDigital) << "each start makes a new one";
}

TEST(WebsistemaProcesso, CertificadoDadoEUsoIncorreto) {
    TDiretorioTemporario d;
    ASSERT_EQ(Executa({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d / "k.pem", "-out",
                       d / "c.pem", "-days", "2", "-subj", "/CN=localhost", "-addext",
                       "subjectAltName=DNS:localhost,IP:127.0.0.1"})
                  .first,
              0);
    const auto esperada = Impressao(Executa({"openssl", "x509", "-in", d / "c.pem", "-noout", "-fingerprint", "-sha256"}).second);
    ASSERT_EQ(esperada.size(), 95u);

    TServidorFilho s({"--porta", "0", "--porta-https", "0", "--cert", d / "c.pem", "--chave", d / "k.pem"}, d / "err");
    EXPECT_EQ(s.impressaoDigital, esperada);
    EXPECT_EQ(CertificadoServido(s.portaHttps, d / "servido.pem"), esperada);
    EXPECT_EQ(s.Termina(), 0);

    // A key of another certificate is refused at start; so is a bad option.
    ASSERT_EQ(Executa({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                       d / "outra.pem"}).first, 0);
    const auto recusado = Executa({TEF_WEBSISTEMA_EXE, "--porta", "0", "--porta-https", "0", "--cert", d / "c.pem",
                                   "--chave", d / "outra.pem"});
    EXPECT_EQ(recusado, std::make_pair(1, std::string()));
    EXPECT_EQ(Executa({TEF_WEBSISTEMA_EXE, "--auto", "talvez"}).first, 2);
}
