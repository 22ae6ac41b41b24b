#include "Websistema.h"

#include "untFuncao.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace websistema {

namespace {

int ValorHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads one well-formed UTF-8 character at i (no overlongs, no surrogates).
// On failure i moves past one byte.
bool ProximoCaractere(std::string_view s, std::size_t& i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        ++i;
        return true;
    }
    std::size_t n;
    char32_t minimo;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 1, minimo = 0x80, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 2, minimo = 0x800, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 3, minimo = 0x10000, cp = b0 & 0x07;
    } else {
        ++i;
        return false;
    }
    if (i + n >= s.size()) {
        ++i;
        return false;
    }
    for (std::size_t k = 1; k <= n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimo || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return false;
    }
    i += n + 1;
    return true;
}

// Visits each character; invalid sequences arrive as U+FFFD.
template <class F>
void ParaCadaCaractere(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp;
        if (!ProximoCaractere(s, i, cp)) cp = 0xFFFD;
        f(cp);
    }
}

std::string EscapaU(char32_t cp) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
    return buf;
}

bool ExisteEm1252(char32_t cp) {
    static constexpr std::array<char32_t, 27> extras = {
        0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030,
        0x0160, 0x2039, 0x0152, 0x017D, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178};
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return true;
    for (char32_t e : extras)
        if (e == cp) return true;
    return false;
}

bool IgualSemCaixa(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto ma = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        auto mb = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (ma != mb) return false;
    }
    return true;
}

std::string Preenchido(std::uint64_t n, int digitos) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llu", digitos, static_cast<unsigned long long>(n));
    return buf;
}

// At most `colunas` characters of valid UTF-8.
std::string Corta(std::string_view utf8, std::size_t colunas) {
    std::string saida;
    std::size_t n = 0;
    ParaCadaCaractere(utf8, [&](char32_t cp) {
        if (n++ < colunas) ::AnexaUtf8(saida, cp);
    });
    return saida;
}

std::string Centraliza(std::string_view texto) {
    const auto c = Colunas(texto);
    return c >= ColunasImpressora ? std::string(texto)
                                  : std::string((ColunasImpressora - c) / 2, ' ') + std::string(texto);
}

std::string DataHora(const std::tm& t) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

std::string Junta(const std::vector<std::string>& itens) {
    std::string texto;
    for (std::size_t i = 0; i < itens.size(); ++i) {
        if (i) texto += Separador;
        texto += itens[i];
    }
    return texto;
}

std::string CentavosNormalizados(std::string_view valor) { return std::to_string(LeCentavos(valor).value_or(0)); }

// Commercial applications read 022-000 as the date DDMMYYYY and 023-000 as
// the time HHMMSS of the transaction; the manager fills #016# (DDMMhhmmss of
// its answer) wherever the page puts it.
std::string DataEcf(const std::tm& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%04d", t.tm_mday % 100, (t.tm_mon + 1) % 100, (t.tm_year + 1900) % 10000);
    return buf;
}

std::string HoraEcf(const std::tm& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", t.tm_hour % 100, t.tm_min % 100, t.tm_sec % 100);
    return buf;
}

enum class TVia { Unica, Cliente, Estabelecimento };

std::string NomeCartao(TCartao c) { return c == TCartao::Debito ? "DEBITO" : "CREDITO"; }

// Receipt lines: at most 40 columns of characters Windows-1252 has, no "§".
// The single receipt (029-xxx, and the printout) and the customer's and the
// shop's copies (713-xxx, 715-xxx) differ only in the copy's name.
std::vector<std::string> Comprovante(bool aprova, const TPedido& p, const TConfiguracao& conf, const TForma& f,
                                     const TTransacao& t, TVia via) {
    std::vector<std::string> l;
    const std::string loja = "LOJA " + Preenchido(conf.loja, 4);
    const bool adm = p.tela == TTela::Adm;
    l.push_back(Centraliza(adm ? "OPERA\xC3\x87\xC3\x83O ADMINISTRATIVA" : "COMPROVANTE DE PAGAMENTO"));
    if (via == TVia::Cliente) l.push_back("VIA CLIENTE");
    if (via == TVia::Estabelecimento) l.push_back("VIA ESTABELECIMENTO");
    l.push_back(loja);
    // What identifies the transaction is printed only when there is one.
    const bool transacao = aprova && !(adm && f.adm == TTipoAdm::SemConfirmacao);
    if (adm) {
        if (transacao) l.push_back(Corta(f.rede + " - " + f.bandeira, ColunasImpressora));
    } else {
        const std::string cupom = TextoImprimivel(p.cupom);
        if (!cupom.empty()) l.push_back(Corta("CUPOM " + cupom, ColunasImpressora));
        if (aprova) l.push_back(Corta(f.rede + " - " + f.bandeira + " " + NomeCartao(f.cartao), ColunasImpressora));
        l.push_back("VALOR " + FormataReais(p.valor));
        if (aprova)
            l.push_back(f.parcelas < 2 ? std::string("A VISTA")
                                       : std::string(f.financiamento == TFinanciamento::Loja
                                                         ? "PARCELADO PELA LOJA EM "
                                                         : "PARCELADO PELA ADMINISTRADORA EM ") +
                                             std::to_string(f.parcelas) + "X");
    }
    if (transacao) l.push_back("NSU " + Preenchido(t.nsu, 6) + "  AUT " + CodigoAutorizacao(t.nsu));
    l.push_back(adm ? (aprova ? "CONCLU\xC3\x8D" "DA" : "RECUSADA") : (aprova ? "APROVADA" : "RECUSADA"));
    l.push_back(DataHora(t.horario));
    l.push_back("");
    return l;
}

// A receipt as exchange lines: the count, then each line numbered from 001
// and quoted, as clients expect them (the quotes keep the centring blanks
// from clients that trim values).
void AnexaComprovante(std::vector<std::string>& l, std::string_view contagem, std::string_view prefixo,
                      const std::vector<std::string>& linhas) {
    l.push_back(std::string(contagem) + " = " + std::to_string(linhas.size()));
    for (std::size_t i = 0; i < linhas.size(); ++i)
        l.push_back(std::string(prefixo) + "-" + Preenchido(i + 1, 3) + " = \"" + linhas[i] + "\"");
}

// Drops the fields the shape leaves out on purpose.
void Omite(std::vector<std::string>& l, const TForma& f) {
    std::erase_if(l, [&](const std::string& linha) {
        return linha.size() >= 10 && linha.compare(7, 3, " = ") == 0 && f.omite.count(linha.substr(0, 7));
    });
}

std::vector<std::string> TrocaEcf(bool aprova, const TPedido& p, const TConfiguracao& conf, const TForma& f,
                                  const TTransacao& t) {
    const std::string data = "022-000 = " + DataEcf(t.horario), hora = "023-000 = " + HoraEcf(t.horario);
    const bool adm = p.tela == TTela::Adm;
    std::vector<std::string> l;
    if (adm)
        l = {"000-000 = ADM", "001-000 = #001#"};
    else
        l = {"000-000 = CRT", "001-000 = #001#", "002-000 = #002#", "003-000 = " + CentavosNormalizados(p.valor)};
    if (!aprova) {
        l.insert(l.end(), {"009-000 = 5", "016-000 = #016#", data, hora,
                           adm ? "030-000 = Operacao recusada" : "030-000 = Transacao recusada"});
    } else if (adm && f.adm == TTipoAdm::SemConfirmacao) {
        l.insert(l.end(), {"009-000 = 0", "011-000 = " + TipoTransacao(p.tela, f), "016-000 = #016#", data, hora});
        AnexaComprovante(l, "028-000", "029", Comprovante(true, p, conf, f, t, TVia::Unica));
        l.insert(l.end(), {"030-000 = Operacao concluida", "729-000 = 1"});
    } else {
        // Web systems in the field send blank lines too; the manager drops them.
        l.insert(l.end(), {"009-000 = 0", "010-000 = " + f.rede, "011-000 = " + TipoTransacao(p.tela, f),
                           "012-000 = " + std::to_string(t.nsu), "013-000 = " + CodigoAutorizacao(t.nsu), "",
                           "016-000 = #016#"});
        if (!adm && f.parcelas > 1)
            l.insert(l.end(), {std::string("017-000 = ") + (f.financiamento == TFinanciamento::Loja ? "0" : "1"),
                               "018-000 = " + std::to_string(f.parcelas)});
        l.insert(l.end(), {data, hora, "027-000 = " + CodigoControle(conf.loja, t)});
        AnexaComprovante(l, "028-000", "029", Comprovante(true, p, conf, f, t, TVia::Unica));
        l.insert(l.end(), {adm ? "030-000 = Operacao concluida" : "030-000 = Transacao aprovada",
                           "040-000 = " + f.bandeira});
        AnexaComprovante(l, "712-000", "713", Comprovante(true, p, conf, f, t, TVia::Cliente));
        AnexaComprovante(l, "714-000", "715", Comprovante(true, p, conf, f, t, TVia::Estabelecimento));
        // An answer the server holds as approved until the client confirms it.
        l.insert(l.end(), {"  ", "729-000 = 2"});
    }
    l.push_back("999-999 = 0");
    Omite(l, f);
    return l;
}

// A cancellation's receipt: the sale it undoes, or why it was refused.
std::vector<std::string> ComprovanteCancelamento(const TConfiguracao& conf, const TTransacao& t,
                                                 const TVendaCancelada* venda, std::string_view motivo) {
    std::vector<std::string> l = {Centraliza("CANCELAMENTO DE VENDA"), "LOJA " + Preenchido(conf.loja, 4)};
    if (venda) {
        l.insert(l.end(), {Corta(venda->rede, ColunasImpressora), "VALOR " + FormataReais(venda->valor),
                           "NSU ORIGINAL " + Preenchido(venda->nsu, 6),
                           "NSU " + Preenchido(t.nsu, 6) + "  AUT " + CodigoAutorizacao(t.nsu), "CANCELAMENTO APROVADO"});
    } else {
        l.insert(l.end(), {Corta(TextoImprimivel(motivo), ColunasImpressora), "CANCELAMENTO RECUSADO"});
    }
    l.insert(l.end(), {DataHora(t.horario), ""});
    return l;
}

// The operator's text of a refusal: printable ASCII, one printer line.
std::string Motivo(std::string_view motivo) {
    std::string m;
    for (char c : motivo)
        if (c >= 0x20 && c < 0x7F && m.size() < ColunasImpressora) m += c;
    return m.empty() ? std::string("Cancelamento recusado") : m;
}

const char* Estilo() {
    return R"(html,body{margin:0;padding:0;background:#f2f4f7;color:#1d2733;font:16px/1.35 "DejaVu Sans",Arial,sans-serif}
main{box-sizing:border-box;max-width:766px;min-height:100vh;margin:0 auto;padding:14px 22px;display:flex;flex-direction:column}
h1{font-size:22px;margin:0 0 2px}
.sub{color:#5b6775;font-size:14px;margin:0 0 12px}
dl{display:grid;grid-template-columns:auto 1fr;gap:6px 16px;margin:0 0 10px}
dt{color:#5b6775}
dd{margin:0;overflow-wrap:anywhere}
.valor{font-size:28px;font-weight:bold}
.erro{color:#a4161a;font-weight:bold;font-size:18px}
#estado{min-height:24px;margin:6px 0;color:#1d4e89;font-weight:bold}
#estado.erro{color:#a4161a;font-size:16px}
.botoes{margin-top:auto;display:flex;gap:12px}
button{flex:1;font-size:18px;padding:12px;border:0;border-radius:6px;color:#fff;cursor:pointer}
.aprovar{background:#2b8a3e}
.recusar{background:#c92a2a}
.cancelar{background:#495057}
button:disabled{opacity:.45;cursor:default}
#forma{display:flex;flex-wrap:wrap;gap:6px 12px;margin:0 0 6px;font-size:14px;color:#5b6775}
#forma label{display:flex;flex-direction:column;gap:2px}
#forma select{font-size:15px;padding:3px}
)";
}

// A button asks the server for the result first; the server records it and
// returns the text, and only then does the page write it into the channel.
// So whatever the manager reads, the server has recorded. A request that
// fails writes nothing and gives the buttons back: the server keeps the first
// result it recorded, so pressing again cannot change it.
const char* Roteiro() {
    return R"((function () {
  var canal = document.getElementById("ipt_imprime_gecko");
  var estado = document.getElementById("estado");
  var botoes = document.querySelectorAll("button[data-acao], #forma select");
  var enviado = false;
  function habilita(sim) {
    for (var i = 0; i < botoes.length; i++) botoes[i].disabled = !sim;
  }
  function falhou(porque) {
    estado.className = "erro";
    estado.textContent = "O resultado n\u00e3o foi registrado no servidor (" + porque + "). Tente de novo.";
    enviado = false;
    habilita(true);
  }
  function responde(acao) {
    if (enviado || transacao.acoes.indexOf(acao) < 0) return;
    enviado = true;
    habilita(false);
    estado.className = "";
    estado.textContent = "Registrando...";
    var pedido = new XMLHttpRequest();
    pedido.open("POST", "resultado.php");
    pedido.setRequestHeader("Content-Type", "application/x-www-form-urlencoded; charset=UTF-8");
    pedido.timeout = 15000;
    pedido.onload = function () {
      if (pedido.status !== 200 || pedido.responseText === "") {
        falhou("HTTP " + pedido.status);
        return;
      }
      canal.setAttribute("value", pedido.responseText);
      estado.textContent = "Aguardando o gerenciador...";
    };
    pedido.onerror = function () { falhou("sem resposta"); };
    pedido.ontimeout = function () { falhou("sem resposta a tempo"); };
    pedido.send("nsu=" + encodeURIComponent(transacao.nsu) + "&chave=" + encodeURIComponent(transacao.chave) +
                "&acao=" + encodeURIComponent(acao));
  }
  // A new choice asks the server for the page again with it in the query,
  // so the texts stay made (and logged) by the server.
  var forma = document.getElementById("forma");
  if (forma) {
    var debito = function () { return forma.elements.cartao && forma.elements.cartao.value === "debito"; };
    var ajusta = function () {
      if (forma.elements.parcelas) forma.elements.parcelas.disabled = debito();
      if (forma.elements.financiamento) forma.elements.financiamento.disabled = debito();
    };
    ajusta();
    forma.addEventListener("change", function () {
      if (enviado) return;
      // The page being replaced sends nothing any more.
      enviado = true;
      for (var i = 0; i < botoes.length; i++) botoes[i].disabled = true;
      estado.textContent = "Carregando...";
      var q = new URLSearchParams(location.search);
      var campos = forma.querySelectorAll("select");
      for (var j = 0; j < campos.length; j++) q.set(campos[j].name, campos[j].value);
      if (debito()) q.set("parcelas", "1");
      location.replace(location.pathname + "?" + q.toString());
    });
  }
  for (var i = 0; i < botoes.length; i++) {
    if (botoes[i].tagName === "BUTTON")
      botoes[i].addEventListener("click", function () { responde(this.getAttribute("data-acao")); });
  }
  // The page is there, in its browser: said to the server (its log), for
  // whoever watches it from outside.
  window.addEventListener("load", function () {
    var aviso = new XMLHttpRequest();
    aviso.open("POST", "carregada.php");
    aviso.setRequestHeader("Content-Type", "application/x-www-form-urlencoded; charset=UTF-8");
    aviso.send("nsu=" + encodeURIComponent(transacao.nsu));
  });
  if (automatico) {
    // A screen without that button (wrong credentials) is cancelled instead,
    // so an unattended run never waits forever.
    window.addEventListener("load", function () {
      setTimeout(function () {
        responde(transacao.acoes.indexOf(automatico) >= 0 ? automatico : "cancelar");
      }, atraso);
    });
  }
})();
)";
}

}  // namespace

// ---- text -------------------------------------------------------------------

std::string DecodificaPercentual(std::string_view texto, bool maisEhEspaco) {
    std::string saida;
    saida.reserve(texto.size());
    for (std::size_t i = 0; i < texto.size(); ++i) {
        const char c = texto[i];
        if (c == '+' && maisEhEspaco) {
            saida += ' ';
        } else if (c == '%' && i + 2 < texto.size() && ValorHex(texto[i + 1]) >= 0 && ValorHex(texto[i + 2]) >= 0) {
            saida += static_cast<char>(ValorHex(texto[i + 1]) * 16 + ValorHex(texto[i + 2]));
            i += 2;
        } else {
            saida += c;
        }
    }
    return saida;
}

TQuery DecodificaQuery(std::string_view bruta) {
    TQuery query;
    std::size_t inicio = 0;
    while (inicio <= bruta.size()) {
        auto fim = bruta.find('&', inicio);
        if (fim == std::string_view::npos) fim = bruta.size();
        const auto par = bruta.substr(inicio, fim - inicio);
        if (!par.empty()) {
            const auto igual = par.find('=');
            if (igual == std::string_view::npos)
                query.emplace_back(DecodificaPercentual(par, true), "");
            else
                query.emplace_back(DecodificaPercentual(par.substr(0, igual), true),
                                   DecodificaPercentual(par.substr(igual + 1), true));
        }
        inicio = fim + 1;
    }
    return query;
}

TQuery DecodificaFormulario(std::string_view corpo, bool cp1252) {
    TQuery form = DecodificaQuery(corpo);
    for (auto& [k, v] : form) {
        k = cp1252 ? ::Cp1252ParaUtf8(k) : SaneiaUtf8(k);
        v = cp1252 ? ::Cp1252ParaUtf8(v) : SaneiaUtf8(v);
    }
    return form;
}

std::string ValorDe(const TQuery& query, std::string_view chave) {
    for (const auto& [k, v] : query)
        if (k == chave) return v;
    return "";
}

std::string SaneiaUtf8(std::string_view texto) {
    std::string saida;
    saida.reserve(texto.size());
    ParaCadaCaractere(texto, [&](char32_t cp) { ::AnexaUtf8(saida, cp); });
    return saida;
}

std::string EscapaHtml(std::string_view texto) {
    std::string saida;
    for (char c : SaneiaUtf8(texto)) {
        switch (c) {
            case '&': saida += "&amp;"; break;
            case '<': saida += "&lt;"; break;
            case '>': saida += "&gt;"; break;
            case '"': saida += "&quot;"; break;
            case '\'': saida += "&#39;"; break;
            default: saida += c;
        }
    }
    return saida;
}

std::string EscapaJs(std::string_view texto) {
    std::string saida;
    ParaCadaCaractere(texto, [&](char32_t cp) {
        switch (cp) {
            case '\\': saida += "\\\\"; break;
            case '"': saida += "\\\""; break;
            case '\'': saida += "\\'"; break;
            case '\n': saida += "\\n"; break;
            case '\r': saida += "\\r"; break;
            case '\t': saida += "\\t"; break;
            // "</script>" and "<!--" must not appear inside the script element.
            case '<':
            case '>':
            case '&':
            case 0x2028:
            case 0x2029: saida += EscapaU(cp); break;
            default:
                if (cp < 0x20 || cp == 0x7F)
                    saida += EscapaU(cp);
                else
                    ::AnexaUtf8(saida, cp);
        }
    });
    return saida;
}

std::string EscapaJson(std::string_view texto) {
    std::string saida;
    ParaCadaCaractere(texto, [&](char32_t cp) {
        switch (cp) {
            case '\\': saida += "\\\\"; break;
            case '"': saida += "\\\""; break;
            case '\b': saida += "\\b"; break;
            case '\f': saida += "\\f"; break;
            case '\n': saida += "\\n"; break;
            case '\r': saida += "\\r"; break;
            case '\t': saida += "\\t"; break;
            default:
                if (cp < 0x20 || cp == 0x7F)
                    saida += EscapaU(cp);
                else
                    ::AnexaUtf8(saida, cp);
        }
    });
    return saida;
}

std::optional<std::uint64_t> LeNumero(std::string_view texto) {
    if (texto.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (char c : texto) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - d) / 10) return std::nullopt;
        n = n * 10 + d;
    }
    return n;
}

std::optional<std::uint64_t> LeCentavos(std::string_view texto) { return LeNumero(texto); }

std::string FormataReais(std::string_view centavos) {
    const auto c = LeCentavos(centavos).value_or(0);
    const std::string inteiro = std::to_string(c / 100);
    std::string agrupado;
    for (std::size_t i = 0; i < inteiro.size(); ++i) {
        if (i && (inteiro.size() - i) % 3 == 0) agrupado += '.';
        agrupado += inteiro[i];
    }
    return "R$ " + agrupado + "," + Preenchido(c % 100, 2);
}

std::string TextoImprimivel(std::string_view texto) {
    std::string saida;
    ParaCadaCaractere(texto, [&](char32_t cp) {
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return;
        if (cp == 0xA7 || !ExisteEm1252(cp))
            saida += '?';
        else
            ::AnexaUtf8(saida, cp);
    });
    return saida;
}

std::size_t Colunas(std::string_view utf8) {
    std::size_t n = 0;
    ParaCadaCaractere(utf8, [&](char32_t) { ++n; });
    return n;
}

// ---- the page ---------------------------------------------------------------

std::optional<TAcao> LeAcao(std::string_view nome) {
    if (nome == "aprovar") return TAcao::Aprovar;
    if (nome == "recusar") return TAcao::Recusar;
    if (nome == "cancelar") return TAcao::Cancelar;
    return std::nullopt;
}

std::string NomeAcao(TAcao acao) {
    switch (acao) {
        case TAcao::Aprovar: return "aprovar";
        case TAcao::Recusar: return "recusar";
        case TAcao::Cancelar: break;
    }
    return "cancelar";
}

TPedido LePedido(const TQuery& query) {
    TPedido p;
    const auto tela = ValorDe(query, "tela");
    p.tela = IgualSemCaixa(tela, "venda") ? TTela::Venda : IgualSemCaixa(tela, "adm") ? TTela::Adm : TTela::Desconhecida;
    p.impressao = ValorDe(query, "imprime") == "40" ? TImpressao::Colunas40 : TImpressao::Ecf;
    p.loja = ValorDe(query, "lojcodigo_logado");
    p.login = ValorDe(query, "usulogin_logado");
    p.senha = ValorDe(query, "ususenha_logado");
    p.cupom = ValorDe(query, "num_cupom");
    p.cpf = ValorDe(query, "cpf");
    p.valor = ValorDe(query, "valor");
    p.identificacao = ValorDe(query, "identificacao");
    p.token = ValorDe(query, "pedido");
    p.cancelamento = IgualSemCaixa(ValorDe(query, "operacao"), "cancelamento");
    p.venda = {ValorDe(query, "rede"), ValorDe(query, "nsu"), ValorDe(query, "data"), ValorDe(query, "hora"),
               ValorDe(query, "controle")};
    for (const auto& [k, v] : query)
        if (std::find(ChavesDaForma.begin(), ChavesDaForma.end(), k) != ChavesDaForma.end()) p.escolhas.emplace_back(k, v);
    // A cancellation's "rede" names the sale's network, not a choice of shape.
    if (p.cancelamento) std::erase_if(p.escolhas, [](const auto& kv) { return kv.first == "rede"; });
    return p;
}

bool CredenciaisValidas(const TPedido& pedido, const TConfiguracao& conf) {
    const auto loja = LeNumero(pedido.loja);
    return loja && *loja == conf.loja && pedido.login == conf.login && pedido.senha == conf.senha;
}

std::string CodigoAutorizacao(std::uint64_t nsu) { return Preenchido(((nsu % 1000000) * 7919 + 104729) % 1000000, 6); }

std::string CodigoControle(std::uint64_t loja, const TTransacao& t) {
    char quando[32];
    std::snprintf(quando, sizeof quando, "%02d%02d%02d%02d%02d%02d", t.horario.tm_mday % 100, (t.horario.tm_mon + 1) % 100,
                  (t.horario.tm_year + 1900) % 100, t.horario.tm_hour % 100, t.horario.tm_min % 100,
                  t.horario.tm_sec % 100);
    return Preenchido(loja % 10000, 4) + Preenchido(t.nsu % 1000000000000ULL, 12) + quando;
}

std::string TipoTransacao(TTela tela, const TForma& f) {
    if (tela == TTela::Adm) return "00";
    if (f.cartao == TCartao::Debito) return "20";
    if (f.parcelas < 2) return "10";
    return f.financiamento == TFinanciamento::Loja ? "11" : "12";
}

TForma FormaDaPagina(const TPedido& pedido, const TConfiguracao& conf, std::string* erro) {
    TForma f = conf.forma;
    const auto e = AplicaEscolhas(f, pedido.escolhas, false);
    if (erro) *erro = e.value_or("");
    return f;
}

std::string TextoResultado(TAcao acao, const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t) {
    if (acao == TAcao::Cancelar) return std::string(TextoCancelamento);
    const bool aprova = acao == TAcao::Aprovar;
    const TForma f = FormaDaPagina(pedido, conf);
    return Junta(pedido.impressao == TImpressao::Ecf ? TrocaEcf(aprova, pedido, conf, f, t)
                                                     : Comprovante(aprova, pedido, conf, f, t, TVia::Unica));
}

std::string TextoCancelamentoAprovado(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t,
                                      const TVendaCancelada& venda) {
    const auto recibo = ComprovanteCancelamento(conf, t, &venda, {});
    if (pedido.impressao != TImpressao::Ecf) return Junta(recibo);
    std::vector<std::string> l = {"000-000 = CNC",
                                  "001-000 = #001#",
                                  "009-000 = 0",
                                  "010-000 = " + venda.rede,
                                  "012-000 = " + std::to_string(t.nsu),
                                  "013-000 = " + CodigoAutorizacao(t.nsu),
                                  "022-000 = " + DataEcf(t.horario),
                                  "023-000 = " + HoraEcf(t.horario),
                                  "027-000 = " + CodigoControle(conf.loja, t)};
    AnexaComprovante(l, "028-000", "029", recibo);
    l.insert(l.end(), {"030-000 = Cancelamento aprovado", "729-000 = 2", "999-999 = 0"});
    Omite(l, FormaDaPagina(pedido, conf));
    return Junta(l);
}

std::string TextoCancelamentoRecusado(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t,
                                      std::string_view motivo) {
    const std::string m = Motivo(motivo);
    if (pedido.impressao != TImpressao::Ecf) return Junta(ComprovanteCancelamento(conf, t, nullptr, m));
    std::vector<std::string> l = {"000-000 = CNC", "001-000 = #001#", "009-000 = 5", "030-000 = " + m, "999-999 = 0"};
    Omite(l, FormaDaPagina(pedido, conf));
    return Junta(l);
}

// ---- the answer's shape -----------------------------------------------------

namespace {

// A network or brand name, upper-cased: what fits the field and the receipt line.
std::optional<std::string> LeNome(std::string& destino, std::string_view valor, std::size_t maximo, const char* o) {
    std::string v;
    for (char c : valor) v += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    const bool ok = !v.empty() && v.size() <= maximo && v.front() != ' ' && v.back() != ' ' &&
                    std::all_of(v.begin(), v.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' '; });
    if (!ok)
        return std::string(o) + ": de 1 a " + std::to_string(maximo) + " letras, d\xC3\xADgitos ou brancos, n\xC3\xA3o " +
               SaneiaUtf8(valor);
    destino = v;
    return std::nullopt;
}

bool EhCampo(std::string_view id) {
    if (id.size() != 7 || id[3] != '-') return false;
    for (std::size_t i : {0, 1, 2, 4, 5, 6})
        if (id[i] < '0' || id[i] > '9') return false;
    return true;
}

std::string Nome(TCartao c) { return c == TCartao::Debito ? "debito" : "credito"; }
std::string Nome(TFinanciamento f) { return f == TFinanciamento::Loja ? "loja" : "administradora"; }
std::string Nome(TTipoAdm a) { return a == TTipoAdm::Transacao ? "transacao" : "sem-confirmacao"; }

}  // namespace

std::optional<std::string> AplicaEscolha(TForma& f, std::string_view nome, std::string_view valor) {
    const std::string v(valor);
    const std::string nao = ", n\xC3\xA3o " + SaneiaUtf8(valor);
    if (nome == "cartao") {
        if (v != "credito" && v != "debito") return "cartao: credito ou debito" + nao;
        f.cartao = v == "debito" ? TCartao::Debito : TCartao::Credito;
    } else if (nome == "rede") {
        return LeNome(f.rede, valor, 16, "rede");
    } else if (nome == "bandeira") {
        return LeNome(f.bandeira, valor, 12, "bandeira");
    } else if (nome == "parcelas") {
        const auto n = LeNumero(valor);
        if (!n || *n < 1 || *n > 12) return "parcelas: de 1 (\xC3\xA0 vista) a 12" + nao;
        f.parcelas = static_cast<unsigned>(*n);
    } else if (nome == "financiamento") {
        if (v != "loja" && v != "administradora") return "financiamento: loja ou administradora" + nao;
        f.financiamento = v == "loja" ? TFinanciamento::Loja : TFinanciamento::Administradora;
    } else if (nome == "adm") {
        if (v != "transacao" && v != "sem-confirmacao") return "adm: transacao ou sem-confirmacao" + nao;
        f.adm = v == "transacao" ? TTipoAdm::Transacao : TTipoAdm::SemConfirmacao;
    } else if (nome == "omite") {
        if (valor.empty()) {
            f.omite.clear();
            return std::nullopt;
        }
        std::set<std::string> ids;
        for (std::size_t inicio = 0;;) {
            const auto fim = valor.find(',', inicio);
            const auto id = valor.substr(inicio, fim == std::string_view::npos ? std::string_view::npos : fim - inicio);
            if (!EhCampo(id)) return "omite: campos como 027-000, separados por v\xC3\xADrgulas" + nao;
            ids.emplace(id);
            if (fim == std::string_view::npos) break;
            inicio = fim + 1;
        }
        f.omite.insert(ids.begin(), ids.end());
    } else {
        return "escolha desconhecida: " + SaneiaUtf8(nome);
    }
    return std::nullopt;
}

std::optional<std::string> ValidaForma(const TForma& f) {
    if (f.cartao == TCartao::Debito && f.parcelas > 1) return std::string("parcelas s\xC3\xB3 no cart\xC3\xA3o de cr\xC3\xA9" "dito");
    return std::nullopt;
}

std::optional<std::string> AplicaEscolhas(TForma& forma, const TQuery& query, bool soDaForma) {
    TForma f = forma;
    for (const auto& [k, v] : query) {
        const bool daForma = std::find(ChavesDaForma.begin(), ChavesDaForma.end(), k) != ChavesDaForma.end();
        if (!daForma && !soDaForma) continue;
        if (auto e = AplicaEscolha(f, k, v)) return e;
    }
    if (auto e = ValidaForma(f)) return e;
    forma = f;
    return std::nullopt;
}

std::string FormaEmJson(const TForma& f) {
    std::string omite;
    for (const auto& id : f.omite) omite += (omite.empty() ? "" : ",") + id;
    return "{\"cartao\":\"" + Nome(f.cartao) + "\",\"rede\":\"" + EscapaJson(f.rede) + "\",\"bandeira\":\"" +
           EscapaJson(f.bandeira) + "\",\"parcelas\":\"" + std::to_string(f.parcelas) + "\",\"financiamento\":\"" +
           Nome(f.financiamento) + "\",\"adm\":\"" + Nome(f.adm) + "\",\"omite\":\"" + omite + "\"}";
}

bool EhLoopback(std::string_view e) {
    return e == "::1" || e.rfind("127.", 0) == 0 || e.rfind("::ffff:127.", 0) == 0;
}

std::vector<std::string> Itens(std::string_view texto) {
    std::vector<std::string> itens;
    std::size_t inicio = 0;
    for (;;) {
        const auto fim = texto.find(Separador, inicio);
        if (fim == std::string_view::npos) {
            itens.emplace_back(texto.substr(inicio));
            return itens;
        }
        itens.emplace_back(texto.substr(inicio, fim - inicio));
        inicio = fim + Separador.size();
    }
}

namespace {

std::string Opcao(const std::string& valor, const std::string& rotulo, bool escolhida) {
    return "<option value=\"" + EscapaHtml(valor) + "\"" + (escolhida ? " selected" : "") + ">" + EscapaHtml(rotulo) +
           "</option>";
}

std::string Escolha(const char* nome, const char* rotulo, const std::string& opcoes) {
    return std::string("<label>") + rotulo + " <select name=\"" + nome + "\">" + opcoes + "</select></label>\n";
}

template <std::size_t N>
std::string Lista(const std::array<std::string_view, N>& nomes, const std::string& atual) {
    std::string o;
    bool achou = false;
    for (auto n : nomes) {
        o += Opcao(std::string(n), std::string(n), n == atual);
        achou = achou || n == atual;
    }
    // A name given at start that the list lacks is shown as the choice.
    return achou ? o : Opcao(atual, atual, true) + o;
}

// The operator's choices of the answer's shape; a change reloads the page
// with them in the query (see the script).
std::string ControlesDaForma(TTela tela, const TForma& f) {
    std::string c = "<form id=\"forma\" onsubmit=\"return false\">\n";
    if (tela == TTela::Venda) {
        c += Escolha("cartao", "Cart\xC3\xA3o",
                     Opcao("credito", "Cr\xC3\xA9" "dito", f.cartao == TCartao::Credito) +
                         Opcao("debito", "D\xC3\xA9" "bito", f.cartao == TCartao::Debito));
    }
    c += Escolha("rede", "Rede", Lista(Redes, f.rede));
    c += Escolha("bandeira", "Bandeira", Lista(Bandeiras, f.bandeira));
    if (tela == TTela::Venda) {
        std::string parcelas = Opcao("1", "\xC3\x80 vista", f.parcelas < 2);
        for (unsigned n = 2; n <= 12; ++n) parcelas += Opcao(std::to_string(n), std::to_string(n) + "x", f.parcelas == n);
        c += Escolha("parcelas", "Parcelas", parcelas);
        c += Escolha("financiamento", "Financiamento",
                     Opcao("loja", "Loja", f.financiamento == TFinanciamento::Loja) +
                         Opcao("administradora", "Administradora", f.financiamento == TFinanciamento::Administradora));
    } else {
        c += Escolha("adm", "Resposta",
                     Opcao("transacao", "Transa\xC3\xA7\xC3\xA3o a confirmar", f.adm == TTipoAdm::Transacao) +
                         Opcao("sem-confirmacao", "Sem confirma\xC3\xA7\xC3\xA3o (729-000 = 1)",
                               f.adm == TTipoAdm::SemConfirmacao));
    }
    return c + "</form>\n";
}

// "05032026" and "090807" as "05/03/2026 09:08:07"; anything else as it came.
std::string DataDaVenda(std::string_view data, std::string_view hora) {
    const auto digitos = [](std::string_view s, std::size_t n) {
        return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::string d = digitos(data, 8) ? std::string(data.substr(0, 2)) + "/" + std::string(data.substr(2, 2)) + "/" +
                                           std::string(data.substr(4))
                                     : std::string(data);
    std::string h = digitos(hora, 6) ? std::string(hora.substr(0, 2)) + ":" + std::string(hora.substr(2, 2)) + ":" +
                                           std::string(hora.substr(4))
                                     : std::string(hora);
    return d.empty() || h.empty() ? d + h : d + " " + h;
}

}  // namespace

bool PaginaOperavel(const TPedido& pedido, const TConfiguracao& conf) {
    return CredenciaisValidas(pedido, conf) && pedido.tela != TTela::Desconhecida;
}

std::string MontaPagina(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t, std::string_view chave) {
    const bool valido = CredenciaisValidas(pedido, conf);
    const bool operavel = PaginaOperavel(pedido, conf);

    std::string titulo = "Pagamento";
    std::string corpo;
    std::string erroDaForma;
    const TForma forma = FormaDaPagina(pedido, conf, &erroDaForma);
    if (!valido) {
        corpo = "<p class=\"erro\">" + std::string(TextoCredenciaisInvalidas) + "</p>\n";
    } else if (pedido.tela == TTela::Desconhecida) {
        corpo = "<p class=\"erro\">Tela n\xC3\xA3o reconhecida</p>\n";
    } else if (pedido.cancelamento) {
        titulo = "Cancelamento de venda";
        const auto& v = pedido.venda;
        corpo = "<dl>\n<dt>Rede</dt><dd>" + EscapaHtml(v.rede) + "</dd>\n<dt>NSU</dt><dd>" + EscapaHtml(v.nsu) +
                "</dd>\n<dt>Data</dt><dd>" + EscapaHtml(DataDaVenda(v.data, v.hora)) +
                "</dd>\n<dt>Valor</dt><dd class=\"valor\">" + EscapaHtml(FormataReais(pedido.valor)) + "</dd>\n";
        if (!pedido.cupom.empty()) corpo += "<dt>Cupom</dt><dd>" + EscapaHtml(pedido.cupom) + "</dd>\n";
        corpo += "</dl>\n";
    } else if (pedido.tela == TTela::Venda) {
        titulo = "Venda";
        corpo = "<dl>\n<dt>Valor</dt><dd class=\"valor\">" + EscapaHtml(FormataReais(pedido.valor)) +
                "</dd>\n<dt>Cupom</dt><dd>" + EscapaHtml(pedido.cupom) + "</dd>\n<dt>CPF</dt><dd>" +
                EscapaHtml(pedido.cpf) + "</dd>\n</dl>\n";
    } else {
        titulo = "Menu administrativo";
        corpo = "<p>Escolha o resultado da opera\xC3\xA7\xC3\xA3o administrativa.</p>\n";
    }

    // A cancellation's network and amount come from the sale it names.
    if (operavel && !pedido.cancelamento) {
        corpo += ControlesDaForma(pedido.tela, forma);
        if (!erroDaForma.empty())
            corpo += "<p class=\"erro\">Escolha inv\xC3\xA1lida: " + EscapaHtml(erroDaForma) + "</p>\n";
    }

    std::string acoes = "\"cancelar\"";
    std::string botoes;
    if (operavel) {
        acoes += ", \"aprovar\", \"recusar\"";
        botoes += "<button type=\"button\" class=\"aprovar\" data-acao=\"aprovar\">Aprovar</button>\n"
                  "<button type=\"button\" class=\"recusar\" data-acao=\"recusar\">Recusar</button>\n";
    }
    botoes += "<button type=\"button\" class=\"cancelar\" data-acao=\"cancelar\">Cancelar</button>\n";

    std::string p;
    p += "<!DOCTYPE html>\n<html lang=\"pt-BR\">\n<head>\n<meta charset=\"utf-8\">\n";
    p += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    p += "<title>" + titulo + "</title>\n<style>\n" + Estilo() + "</style>\n</head>\n<body>\n";
    p += "<input type=\"hidden\" id=\"" + std::string(IdCanal) + "\" value=\"\">\n";
    p += "<main>\n<h1>" + titulo + "</h1>\n";
    if (valido)
        p += "<p class=\"sub\">Loja " + Preenchido(conf.loja, 4) + " &middot; operador " + EscapaHtml(pedido.login) +
             "</p>\n";
    p += corpo;
    p += "<div id=\"estado\" role=\"status\"></div>\n<div class=\"botoes\">\n" + botoes + "</div>\n</main>\n";
    p += "<script>\nvar transacao = {\"nsu\": \"" + std::to_string(t.nsu) + "\", \"chave\": \"" + EscapaJs(chave) +
         "\", \"acoes\": [" + acoes + "]};\n";
    p += "var automatico = \"" + (conf.automatico ? NomeAcao(*conf.automatico) : std::string()) + "\";\n";
    p += "var atraso = " + std::to_string(conf.atrasoMs) + ";\n";
    p += Roteiro();
    p += "</script>\n</body>\n</html>\n";
    return p;
}

// ---- request log ------------------------------------------------------------

std::string LinhaDePagina(std::uint64_t nsu, const std::map<TAcao, std::string>& textos) {
    std::string l = "{\"pagina\":{\"nsu\":" + std::to_string(nsu) + ",\"resultados\":{";
    bool primeiro = true;
    for (TAcao a : {TAcao::Aprovar, TAcao::Recusar, TAcao::Cancelar}) {
        const auto texto = textos.find(a);
        if (texto == textos.end()) continue;
        if (!primeiro) l += ',';
        primeiro = false;
        l += "\"" + NomeAcao(a) + "\":\"" + EscapaJson(texto->second) + "\"";
    }
    return l + "}}}";
}

std::string LinhaDeLogPost(std::string_view caminho, const TQuery& formulario, int status, bool https) {
    std::string l = "{\"metodo\":\"POST\",\"caminho\":\"" + EscapaJson(caminho) + "\",\"formulario\":{";
    bool primeiro = true;
    for (const auto& [k, v] : formulario) {
        if (!primeiro) l += ',';
        primeiro = false;
        const bool secreto = k == "ususenha_logado" || k == "chave";
        l += "\"" + EscapaJson(k) + "\":\"" + (secreto ? std::string("***") : EscapaJson(v)) + "\"";
    }
    return l + "},\"status\":" + std::to_string(status) + ",\"https\":" + (https ? "true" : "false") + "}";
}

std::string LinhaDeLog(std::string_view metodo, std::string_view caminho, std::string_view queryBruta, bool https) {
    std::string l = "{\"metodo\":\"" + EscapaJson(metodo) + "\",\"caminho\":\"" + EscapaJson(caminho) +
                    "\",\"query\":{";
    bool primeiro = true;
    for (const auto& [k, v] : DecodificaQuery(queryBruta)) {
        if (!primeiro) l += ',';
        primeiro = false;
        l += "\"" + EscapaJson(k) + "\":\"" + EscapaJson(v) + "\"";
    }
    // The raw form shows how the client encoded it (e.g. Windows-1252 bytes
    // sent by mistake, which decode to U+FFFD above).
    l += "},\"query_bruta\":\"" + EscapaJson(queryBruta) + "\",\"https\":" + (https ? "true" : "false") + "}";
    return l;
}

// ---- downloads --------------------------------------------------------------

std::optional<std::string> NomeDeDownloadSeguro(std::string_view nome) {
    if (nome.empty() || nome.front() == '/') return std::nullopt;
    if (nome.find('\0') != std::string_view::npos || nome.find('\\') != std::string_view::npos) return std::nullopt;
    std::size_t inicio = 0;
    for (;;) {
        const auto fim = nome.find('/', inicio);
        const auto seg = nome.substr(inicio, fim == std::string_view::npos ? std::string_view::npos : fim - inicio);
        if (seg.empty() || seg == "." || seg == "..") return std::nullopt;
        if (fim == std::string_view::npos) break;
        inicio = fim + 1;
    }
    return std::string(nome);
}

std::string CodificaCaminho(std::string_view caminho) {
    std::string saida;
    for (char c : caminho) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            saida += c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", u);
            saida += buf;
        }
    }
    return saida;
}

// ---- command line -----------------------------------------------------------

namespace {

int LePorta(const std::string& texto, const std::string& opcao, int minimo) {
    int n = 0;
    const auto* fim = texto.data() + texto.size();
    const auto r = std::from_chars(texto.data(), fim, n);
    if (texto.empty() || r.ec != std::errc() || r.ptr != fim || n < minimo || n > 65535)
        throw EUsoIncorreto(opcao + ": porta inv\xC3\xA1lida: " + texto);
    return n;
}

}  // namespace

TOpcoes LeOpcoes(const std::vector<std::string>& args) {
    TOpcoes o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string nome = args[i];
        std::optional<std::string> anexo;  // --opcao=valor
        if (nome.rfind("--", 0) == 0) {
            if (const auto igual = nome.find('='); igual != std::string::npos) {
                anexo = nome.substr(igual + 1);
                nome.resize(igual);
            }
        }
        auto valor = [&]() -> std::string {
            if (anexo) return *anexo;
            if (i + 1 >= args.size()) throw EUsoIncorreto(nome + ": falta o valor");
            return args[++i];
        };
        if (nome == "--ajuda" || nome == "--help" || nome == "-h") {
            o.ajuda = true;
        } else if (nome == "--endereco") {
            o.endereco = valor();
            if (o.endereco.empty()) throw EUsoIncorreto("--endereco: vazio");
        } else if (nome == "--porta") {
            o.porta = LePorta(valor(), nome, 0);
        } else if (nome == "--porta-https") {
            o.portaHttps = LePorta(valor(), nome, -1);
        } else if (nome == "--sem-https") {
            o.portaHttps = -1;
        } else if (nome == "--cert") {
            o.certificado = valor();
        } else if (nome == "--chave") {
            o.chave = valor();
        } else if (nome == "--loja") {
            const auto v = valor();
            const auto n = LeNumero(v);
            if (!n) throw EUsoIncorreto("--loja: c\xC3\xB3" "digo inv\xC3\xA1lido: " + v);
            o.conf.loja = *n;
        } else if (nome == "--login") {
            o.conf.login = valor();
        } else if (nome == "--senha") {
            o.conf.senha = valor();
        } else if (nome == "--auto") {
            const auto v = valor();
            o.conf.automatico = LeAcao(v);
            if (!o.conf.automatico) throw EUsoIncorreto("--auto: use aprovar, recusar ou cancelar, n\xC3\xA3o " + v);
        } else if (nome == "--atraso") {
            const auto v = valor();
            const auto n = LeNumero(v);
            if (!n || *n > 600000) throw EUsoIncorreto("--atraso: milissegundos de 0 a 600000, n\xC3\xA3o " + v);
            o.conf.atrasoMs = static_cast<unsigned>(*n);
        } else if (nome == "--desfaz-apos") {
            const auto v = valor();
            const auto n = LeNumero(v);
            if (!n || *n > 604800) throw EUsoIncorreto("--desfaz-apos: segundos de 0 a 604800, n\xC3\xA3o " + v);
            o.desfazAposSegundos = static_cast<unsigned>(*n);
        } else if (nome == "--log") {
            o.log = valor();
        } else if (nome == "--downloads") {
            o.downloads = valor();
        } else if (nome == "--redireciona") {
            const auto v = valor();
            const auto igual = v.find('=');
            if (igual == 0 || v.empty()) throw EUsoIncorreto("--redireciona: falta o nome");
            if (igual == std::string::npos)
                o.redireciona[v] = "";
            else
                o.redireciona[v.substr(0, igual)] = v.substr(igual + 1);
        } else if (nome == "--corta") {
            o.corta.insert(valor());
        } else if (nome == "--lento") {
            o.lento.insert(valor());
        } else if (nome.rfind("--", 0) == 0 &&
                   std::find(ChavesDaForma.begin(), ChavesDaForma.end(), nome.substr(2)) != ChavesDaForma.end()) {
            if (const auto e = AplicaEscolha(o.conf.forma, nome.substr(2), valor())) throw EUsoIncorreto("--" + *e);
        } else {
            throw EUsoIncorreto("op\xC3\xA7\xC3\xA3o desconhecida: " + args[i]);
        }
    }
    if (o.certificado.empty() != o.chave.empty()) throw EUsoIncorreto("--cert e --chave v\xC3\xA3o juntos");
    if (const auto e = ValidaForma(o.conf.forma)) throw EUsoIncorreto(*e);
    return o;
}

std::string TextoAjuda() {
    return "Uso: tef-websistema [op\xC3\xA7\xC3\xB5" "es]\n"
           "Web system de refer\xC3\xAAncia: serve modtef.php em /, /homol/ e /release/ por HTTP e HTTPS.\n"
           "\n"
           "  --endereco ADDR       endere\xC3\xA7o de escuta (127.0.0.1)\n"
           "  --porta N             porta HTTP (8080; 0 = qualquer livre)\n"
           "  --porta-https N       porta HTTPS (8443; 0 = qualquer livre; -1 = sem HTTPS)\n"
           "  --sem-https           o mesmo que --porta-https -1\n"
           "  --cert ARQ --chave ARQ  certificado e chave PEM (sem eles: autoassinado para localhost)\n"
           "  --loja N --login T --senha T  credenciais aceitas (1, operador, 1234)\n"
           "  --auto A              a p\xC3\xA1gina pressiona aprovar|recusar|cancelar sozinha\n"
           "                        (sem esse bot\xC3\xA3o na tela, cancelar)\n"
           "  --atraso MS           espera antes do --auto (1500)\n"
           "\n"
           "A forma da aprova\xC3\xA7\xC3\xA3o (tamb\xC3\xA9m escolhida na p\xC3\xA1gina, ou em GET /controle?NOME=VALOR&...\n"
           "s\xC3\xB3 por loopback, para as pr\xC3\xB3ximas p\xC3\xA1ginas; cada chamada parte das op\xC3\xA7\xC3\xB5" "es de in\xC3\xAD" "cio;\n"
           "atraso_pagina=MS e atraso_resultado=MS, s\xC3\xB3 em /controle: as pr\xC3\xB3ximas p\xC3\xA1ginas esperam MS antes\n"
           "de servidas; um resultado decidido espera MS antes de voltar \xC3\xA0 p\xC3\xA1gina):\n"
           "  --cartao credito|debito   tipo do cart\xC3\xA3o (credito)\n"
           "  --rede NOME           010-000, a rede (CIELO)\n"
           "  --bandeira NOME       040-000, a bandeira (VISA)\n"
           "  --parcelas N          1 (\xC3\xA0 vista) a 12, s\xC3\xB3 no cr\xC3\xA9" "dito (1)\n"
           "  --financiamento loja|administradora   quem financia as parcelas (loja)\n"
           "  --adm transacao|sem-confirmacao   a administra\xC3\xA7\xC3\xA3o a confirmar, ou com 729-000 = 1\n"
           "                        (transacao)\n"
           "  --omite CAMPO[,CAMPO]  deixa esses campos fora das respostas (ex.: 027-000)\n"
           "  --desfaz-apos S       uma aprova\xC3\xA7\xC3\xA3o n\xC3\xA3o confirmada nem desfeita em S segundos \xC3\xA9\n"
           "                        desfeita pelo servidor (0 = nunca; padr\xC3\xA3o)\n"
           "  --log ARQ             uma linha JSON por requisi\xC3\xA7\xC3\xA3o (padr\xC3\xA3o: stderr)\n"
           "  --downloads DIR       serve DIR em /download/tef/profile/<nome>\n"
           "  --redireciona NOME[=URL]  responde 302 para esse nome (padr\xC3\xA3o: a c\xC3\xB3pia em\n"
           "                        /download/redirecionado/<nome>)\n"
           "  --corta NOME          envia metade do arquivo e fecha a conex\xC3\xA3o\n"
           "  --lento NOME          n\xC3\xA3o responde at\xC3\xA9 o servidor parar\n"
           "\n"
           "Transa\xC3\xA7\xC3\xB5" "es: o servidor registra cada p\xC3\xA1gina (NSU) e o resultado que ela deu; o bot\xC3\xA3o\n"
           "da p\xC3\xA1gina pede o texto do canal a POST resultado.php (nsu, chave, acao) antes de escrev\xC3\xAA-lo.\n"
           "modtef.php?tela=Adm&operacao=cancelamento&rede=R&nsu=N&data=D&hora=H&controle=C&valor=V\n"
           "  cancela a venda de NSU N (resposta CNC, 729-000 = 2 quando aprovado). identificacao=ID\n"
           "  (o 001-000 do pedido) e pedido=P (o nome do gerenciador para ele) s\xC3\xA3o registrados em\n"
           "  qualquer p\xC3\xA1gina.\n"
           "POST confirmacao.php (tamb\xC3\xA9m em /homol/ e /release/; formul\xC3\xA1rio em Windows-1252, ou UTF-8\n"
           "  com charset=utf-8): 000-000 = CNF | NCN | CNS, 001-000, 002-000, 003-000, 010-000, 012-000,\n"
           "  027-000, motivo, lojcodigo_logado, usulogin_logado, ususenha_logado (senha errada: 403).\n"
           "  CNF confirma a aprova\xC3\xA7\xC3\xA3o do NSU 012-000; NCN a desfaz; ambos respondem 200 com o que\n"
           "  fizeram (X-TEF-Estado: o estado da transa\xC3\xA7\xC3\xA3o, quando achada). CNS: o texto que a p\xC3\xA1gina\n"
           "  mais recente do pedido (o campo pedido, ou sem ele identificacao = 001-000) deu, com\n"
           "  X-TEF-Resultado: encontrado, ou corpo vazio com X-TEF-Resultado: nenhum (tamb\xC3\xA9m quando a\n"
           "  aprova\xC3\xA7\xC3\xA3o j\xC3\xA1 foi desfeita ou cancelada). 000-000 ausente ou desconhecido: 400;\n"
           "  outro m\xC3\xA9todo: 405.\n"
           "GET /transacoes (s\xC3\xB3 por loopback): o registro em JSON, um objeto por NSU com nsu, loja,\n"
           "  identificacao, cupom, valor, operacao, estado (aberta, aprovada, confirmada, desfeita,\n"
           "  recusada, cancelada_pagina, cancelada), rede, controle, nsu_cancelado, canal.\n"
           "\n"
           "Ao iniciar escreve na sa\xC3\xAD" "da: \"HTTP ADDR:PORTA\", \"HTTPS ADDR:PORTA\" e\n"
           "\"SHA256 <impress\xC3\xA3o digital do certificado>\". SIGTERM ou SIGINT encerram.\n";
}

std::string HexComDoisPontos(const unsigned char* bytes, std::size_t n) {
    static constexpr char digitos[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s += ':';
        s += digitos[bytes[i] >> 4];
        s += digitos[bytes[i] & 0x0F];
    }
    return s;
}

}  // namespace websistema
