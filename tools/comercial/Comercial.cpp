#include "Comercial.h"

#include "Plataforma.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace comercial {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const milliseconds kEsperaStsPadrao{7000};
// Consecutive read failures of an existing answer before giving up (~2 s).
constexpr int kMaxFalhasLeitura = 40;

// ---- small helpers ----------------------------------------------------------

bool SoDigitos(std::string_view t) {
    if (t.empty()) return false;
    for (char c : t)
        if (c < '0' || c > '9') return false;
    return true;
}

namespace p = plataforma;

bool Existe(const std::string& caminho) { return p::Consulta(caminho, false).has_value(); }

std::string Erro(p::TCodigo codigo) { return p::TextoDoErro(codigo); }

// The whole file, or nothing when it does not exist. Raises EInOutError on
// any other failure.
std::optional<std::string> LeSeExiste(const std::string& caminho) {
    p::TArquivo f;
    if (const auto e = f.Abre(caminho, p::TArquivo::Modo::Leitura)) {
        if (p::TipoDoErro(e) == p::TTipoErro::NaoEncontrado) return std::nullopt;
        throw EInOutError(e, "não foi possível abrir " + caminho + ": " + Erro(e));
    }
    std::string conteudo;
    if (const auto e = f.LeTudo(conteudo)) throw EInOutError(e, "não foi possível ler " + caminho + ": " + Erro(e));
    return conteudo;
}

// Removes a file that may be absent; any other failure matters, because a
// stale answer left behind would be taken for the new one.
bool RemoveSeExiste(const std::string& caminho) {
    const auto e = p::ApagaArquivo(caminho);
    if (e == 0) return true;
    if (p::TipoDoErro(e) == p::TTipoErro::NaoEncontrado) return false;
    throw EInOutError(e, "não foi possível apagar " + caminho + ": " + Erro(e));
}

// Atomic replacement, as the manager itself writes into resp/.
void GravaAtomico(const std::string& dir, const std::string& nome, const std::string& bytes) {
    TArquivoDeTrabalho temp(dir, ".tef-demo-" + std::to_string(p::IdDoProcesso()) + ".tmp");
    temp.Escreve(bytes);
    temp.PoeNoLugar(JuntaCaminho(dir, nome));
}

std::string FormataSegundos(milliseconds ms) {
    std::string t = std::to_string(ms.count() / 1000);
    if (const auto resto = ms.count() % 1000) {
        char frac[8];
        std::snprintf(frac, sizeof frac, "%03lld", static_cast<long long>(resto));
        std::string f = frac;
        while (!f.empty() && f.back() == '0') f.pop_back();
        t += "," + f;
    }
    return t + " s";
}

std::string ParaTela(std::string_view ansi, bool utf8) {
    return utf8 ? AnsiParaUtf8(ansi) : std::string(ansi);
}

void MostraArquivo(TContexto& ctx, const std::string& rotulo, const std::string& bytes, bool bruto) {
    ctx.out << "==== " << rotulo << " ====\n";
    if (bruto) {
        ctx.out << bytes;
        if (!bytes.empty() && bytes.back() != '\n') ctx.out << '\n';
    } else {
        for (const auto& linha : DivideLinhas(bytes)) ctx.out << ParaTela(linha, ctx.utf8) << '\n';
    }
    ctx.out << "==== fim de " << rotulo << " ====\n";
    ctx.out.flush();
}

// ---- waiting ----------------------------------------------------------------

enum class Desfecho { Recebido, Esgotado, Interrompido };

// Polls the file until `aceita` takes its content, the time runs out or the
// user interrupts. A read failure of a present file is retried a while: the
// manager renames complete files into place, so failures are transient.
Desfecho Aguarda(const std::string& caminho, const TPrazo& prazo, TContexto& ctx,
                 const std::function<bool(const std::string&)>& aceita, std::string& bytes) {
    const auto inicio = steady_clock::now();
    int falhas = 0;
    for (;;) {
        if (ctx.interrompido && ctx.interrompido()) return Desfecho::Interrompido;
        try {
            if (auto lido = LeSeExiste(caminho)) {
                falhas = 0;
                if (aceita(*lido)) {
                    bytes = std::move(*lido);
                    return Desfecho::Recebido;
                }
            }
        } catch (const EInOutError&) {
            if (++falhas >= kMaxFalhasLeitura) throw;
        }
        if (prazo.limite && steady_clock::now() - inicio >= *prazo.limite) return Desfecho::Esgotado;
        std::this_thread::sleep_for(ctx.intervalo);
    }
}

std::string ValorOuVazio(const TLinhas& linhas, std::string_view id) {
    return Apara(ValorCampo(linhas, id).value_or(""));
}

// ---- the two halves of the commercial side ----------------------------------

void MostraPedido(TContexto& ctx, const TOpcoes& opcoes, const TPedido& pedido) {
    ctx.out << "Pedido enviado: " << JuntaCaminho(JuntaCaminho(opcoes.dir, "req"), opcoes.nome)
            << " (000-000 = " << ParaTela(pedido.comando, ctx.utf8)
            << ", identificação 001-000 = " << ParaTela(pedido.identificacao, ctx.utf8) << ")\n";
    MostraArquivo(ctx, "pedido req/" + opcoes.nome, pedido.bytes, opcoes.bruto);
}

// Waits for and presents the answers of a request already sent.
int RecebeRespostas(const TOpcoes& opcoes, const TPedido& pedido, const TPrazos& prazos, TContexto& ctx) {
    const std::string dirResp = JuntaCaminho(opcoes.dir, "resp");
    const std::string arqSts = JuntaCaminho(dirResp, "intpos.sts");
    const std::string arqResp = JuntaCaminho(dirResp, "intpos.001");
    const std::string arqPedido = JuntaCaminho(JuntaCaminho(opcoes.dir, "req"), opcoes.nome);

    const auto interrompido = [&] {
        ctx.err << "Interrompido: os arquivos em req/ e resp/ ficaram como estavam.\n";
        return SaidaInterrompido;
    };
    // Says whether the manager took the request; returns true when it did.
    const auto situacaoPedido = [&] {
        if (!Existe(arqPedido)) return true;
        ctx.err << "O pedido continua em " << arqPedido
                << ": o gerenciador não o recolheu (está em execução? usa este diretório?).\n";
        return false;
    };

    if (prazos.sts.aguarda) {
        std::string ignorado;
        const auto aceita = [&](const std::string& bytes) {
            const TLinhas linhas = DivideLinhas(bytes);
            if (StsDoPedido(linhas, pedido)) return true;
            if (bytes != ignorado) {
                ignorado = bytes;
                ctx.err << "Nota: resp/intpos.sts ignorado, é de outro pedido (000-000 = "
                        << ParaTela(ValorOuVazio(linhas, "000-000"), ctx.utf8)
                        << ", 001-000 = " << ParaTela(ValorOuVazio(linhas, "001-000"), ctx.utf8)
                        << "); continuo aguardando.\n";
                ctx.err.flush();
            }
            return false;
        };
        std::string sts;
        switch (Aguarda(arqSts, prazos.sts, ctx, aceita, sts)) {
            case Desfecho::Interrompido:
                return interrompido();
            case Desfecho::Esgotado:
                ctx.err << "Tempo esgotado: nenhum resp/intpos.sts deste pedido em "
                        << FormataSegundos(*prazos.sts.limite) << ".\n";
                if (situacaoPedido()) ctx.err << "O gerenciador recolheu o pedido, mas não o confirmou.\n";
                return SaidaSemSts;
            case Desfecho::Recebido:
                break;
        }
        MostraArquivo(ctx, "confirmação resp/intpos.sts", sts, opcoes.bruto);
        if (!opcoes.manter) RemoveSeExiste(arqSts);
        if (!prazos.resp.aguarda) {
            ctx.out << "Resposta: pedido confirmado pelo gerenciador (intpos.sts); nenhuma resposta aguardada\n";
            return SaidaSoConfirmado;
        }
    } else if (!prazos.resp.aguarda) {
        ctx.out << "Resposta: pedido enviado; nenhuma resposta aguardada\n";
        return SaidaSoConfirmado;
    }

    if (!prazos.resp.limite && !Existe(arqResp)) ctx.err << "Aguardando resp/intpos.001 (sem limite; Ctrl+C interrompe)...\n";
    std::string resposta, outra;
    // An answer of another request (one the manager cancelled when this one
    // arrived, say) is its owner's: it stays, and the wait goes on.
    const auto aceitaResposta = [&](const std::string& bytes) {
        if (bytes.empty()) return false;
        const TLinhas linhas = DivideLinhas(bytes);
        const auto id = ValorCampo(linhas, "001-000");
        if (!id || Apara(*id) == pedido.identificacao) return true;
        if (bytes != outra) {
            outra = bytes;
            ctx.err << "Nota: resp/intpos.001 ignorado, é de outro pedido (001-000 = " << ParaTela(Apara(*id), ctx.utf8)
                    << "); continuo aguardando.\n";
            ctx.err.flush();
        }
        return false;
    };
    switch (Aguarda(arqResp, prazos.resp, ctx, aceitaResposta, resposta)) {
        case Desfecho::Interrompido:
            return interrompido();
        case Desfecho::Esgotado:
            ctx.err << "Tempo esgotado: nenhum resp/intpos.001 em " << FormataSegundos(*prazos.resp.limite)
                    << ".\n";
            return SaidaSemResposta;
        case Desfecho::Recebido:
            break;
    }
    MostraArquivo(ctx, "resposta resp/intpos.001", resposta, opcoes.bruto);
    if (!opcoes.manter) RemoveSeExiste(arqResp);
    const TLinhas linhas = DivideLinhas(resposta);
    ctx.out << ResumoResposta(linhas, ctx.utf8) << '\n';
    return ClassificaResposta(linhas) == TipoResposta::Cancelamento ? SaidaCancelado : SaidaRespondido;
}

void ConfereDiretorios(const std::string& dir) {
    for (const char* sub : {"req", "resp"}) {
        const std::string d = JuntaCaminho(dir, sub);
        if (!DiretorioExiste(d))
            throw EInOutError(ENOENT, "o diretório " + d +
                                          " não existe: --dir deve apontar para o diretório do gerenciador");
    }
}

// Maps the failures of the flow to exit codes.
int ComTratamento(TContexto& ctx, const std::function<int()>& corpo) {
    try {
        return corpo();
    } catch (const EUsoIncorreto& e) {
        MostraUsoIncorreto(ctx.err, e.what());
        return SaidaUsoIncorreto;
    } catch (const std::exception& e) {
        ctx.err << "Erro: " << e.what() << '\n';
        return SaidaFalha;
    }
}

// ---- command line -----------------------------------------------------------

struct TRegraForma {
    const char* forma;
    int posicionais;
    const char* opcoes;  // "|"-separated, besides the common ones
};

const TRegraForma kFormas[] = {
    {"crt", 0, "|--id|--documento|--valor|--cpf|"},
    {"adm", 0, "|--id|"},
    {"cnc", 0, "|--id|--documento|--valor|--campo012|--campo|"},
    {"cnf", 0, "|--id|--campo012|"},
    {"enviar", 1, "|--id|--campo|"},
    {"arquivo", 1, "|"},
    {"demo", 0, "|--dir|--bruto|"},
};

const std::string kOpcoesComuns = "|--dir|--nome|--espera-sts|--espera-resp|--bruto|--manter|";
const std::string kOpcoesComValor =
    "|--dir|--nome|--id|--documento|--valor|--cpf|--campo012|--campo|--espera-sts|--espera-resp|";
const std::string kOpcoesSemValor = "|--bruto|--manter|";

bool Contem(const std::string& lista, const std::string& opcao) {
    return lista.find("|" + opcao + "|") != std::string::npos;
}

void ValidaValor(const std::string& valor, const std::string& onde) {
    if (valor.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EUsoIncorreto("o valor de " + onde + " contém quebra de linha ou NUL");
}

}  // namespace

// ---- command line -----------------------------------------------------------

TPrazo LePrazo(const std::string& texto, bool aceitaZero, const std::string& opcao) {
    if (texto == "sem-limite") return TPrazo{true, std::nullopt};
    const auto sep = texto.find_first_of(".,");
    const std::string inteira = texto.substr(0, sep);
    const std::string fracao = sep == std::string::npos ? "" : texto.substr(sep + 1);
    if (!SoDigitos(inteira) || inteira.size() > 7 || (sep != std::string::npos && !SoDigitos(fracao)))
        throw EUsoIncorreto(opcao + " espera segundos (ex.: 7 ou 0,5) ou sem-limite, não \"" + texto + "\"");
    long long ms = std::stoll(inteira) * 1000;
    std::string f = fracao.substr(0, 3);
    while (f.size() < 3) f += '0';
    ms += std::stoll(f);
    if (ms == 0) {
        if (!aceitaZero) throw EUsoIncorreto(opcao + " deve ser maior que zero");
        return TPrazo{false, milliseconds{0}};
    }
    return TPrazo{true, milliseconds{ms}};
}

TOpcoes LeArgumentos(const std::vector<std::string>& args) {
    TOpcoes o;
    std::vector<std::string> posicionais;
    std::vector<std::string> usadas;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            o.ajuda = true;
            continue;
        }
        if (arg == "--version") {
            o.versao = true;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') throw EUsoIncorreto("opção desconhecida: " + arg);
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            if (arg == "--") {
                posicionais.insert(posicionais.end(), args.begin() + static_cast<long>(i) + 1, args.end());
                break;
            }
            posicionais.push_back(arg);
            continue;
        }
        std::optional<std::string> valor;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            valor = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (Contem(kOpcoesSemValor, arg)) {
            if (valor) throw EUsoIncorreto(arg + " não leva valor");
            (arg == "--bruto" ? o.bruto : o.manter) = true;
            usadas.push_back(arg);
            continue;
        }
        if (!Contem(kOpcoesComValor, arg)) throw EUsoIncorreto("opção desconhecida: " + arg);
        if (!valor) {
            if (i + 1 >= args.size()) throw EUsoIncorreto(arg + " precisa de um valor");
            valor = args[++i];
        }
        usadas.push_back(arg);
        if (arg == "--dir") {
            if (valor->empty()) throw EUsoIncorreto("--dir vazio");
            o.dir = *valor;
            o.dirDado = true;
        } else if (arg == "--nome") {
            if (valor->empty() || valor->find('/') != std::string::npos || *valor == "." || *valor == "..")
                throw EUsoIncorreto("--nome espera só o nome do arquivo em req/, sem diretório");
            ValidaValor(*valor, arg);
            o.nome = *valor;
        } else if (arg == "--id") {
            if (!SoDigitos(*valor))
                throw EUsoIncorreto("--id espera um número (só dígitos); para outra coisa use \"arquivo\"");
            o.id = *valor;
        } else if (arg == "--documento") {
            o.documento = *valor;
        } else if (arg == "--valor") {
            // The typed forms send what a point of sale sends; an empty or
            // malformed amount, to test the manager's reaction, goes through
            // "enviar ... --campo 003-000=..." or "arquivo".
            if (!SoDigitos(*valor))
                throw EUsoIncorreto("--valor espera centavos, só dígitos (1000 = R$ 10,00), não \"" + *valor + "\"");
            o.valor = *valor;
        } else if (arg == "--cpf") {
            o.cpf = *valor;
        } else if (arg == "--campo012") {
            o.campo012 = *valor;
        } else if (arg == "--campo") {
            const auto eq = valor->find('=');
            if (eq == std::string::npos || !IdCampoValido(valor->substr(0, eq)))
                throw EUsoIncorreto("--campo espera NNN-NNN=VALOR (ex.: 012-000=abc), não \"" + *valor + "\"");
            const std::string id = valor->substr(0, eq);
            if (id == "000-000" || id == "001-000" || id == "999-999")
                throw EUsoIncorreto("--campo " + id +
                                    ": o comando, a identificação (--id) e o terminador são postos pela "
                                    "ferramenta; para um pedido livre use \"arquivo\"");
            o.campos.push_back({id, valor->substr(eq + 1)});
        } else if (arg == "--espera-sts") {
            o.esperaSts = LePrazo(*valor, false, arg);
        } else if (arg == "--espera-resp") {
            o.esperaResp = LePrazo(*valor, true, arg);
        }
    }
    if (o.ajuda || o.versao) return o;
    if (posicionais.empty()) throw EUsoIncorreto("falta o pedido (crt, adm, cnc, cnf, enviar, arquivo ou demo)");
    o.forma = posicionais.front();
    posicionais.erase(posicionais.begin());
    const TRegraForma* regra = nullptr;
    for (const auto& r : kFormas)
        if (o.forma == r.forma) regra = &r;
    if (regra == nullptr) throw EUsoIncorreto("pedido desconhecido: " + o.forma);
    if (static_cast<int>(posicionais.size()) != regra->posicionais) {
        if (regra->posicionais == 0) throw EUsoIncorreto("argumento a mais: " + posicionais.front());
        throw EUsoIncorreto(o.forma + (o.forma == "enviar" ? " espera um comando (ex.: enviar XYZ)"
                                                           : " espera o caminho do arquivo"));
    }
    const bool demo = o.forma == "demo";
    for (const auto& u : usadas)
        if (!Contem(regra->opcoes, u) && (demo || !Contem(kOpcoesComuns, u)))
            throw EUsoIncorreto(u + " não se aplica a " + o.forma);
    if (o.forma == "crt" && !o.valor) throw EUsoIncorreto("crt precisa de --valor CENTAVOS");
    if (o.forma == "enviar") o.comando = posicionais[0];
    if (o.forma == "arquivo") o.arquivo = posicionais[0];
    return o;
}

void MostraUsoIncorreto(std::ostream& err, const std::string& problema) {
    err << "tef-comercial: " << problema
        << "\nUso: tef-comercial crt|adm|cnc|cnf|enviar|arquivo|demo [opções] | --help | --version"
           "\nVeja: tef-comercial --help\n";
}

std::string TextoAjuda() {
    return R"(Uso: tef-comercial crt --valor CENTAVOS [--documento N] [--cpf CPF] [--id N] [opções]
     tef-comercial adm [--id N] [opções]
     tef-comercial cnc [--id N] [--documento N] [--valor CENTAVOS] [opções]
     tef-comercial cnf [--id N] [--campo012 V] [opções]
     tef-comercial enviar CMD [--id N] [--campo NNN-NNN=VALOR]... [opções]
     tef-comercial arquivo CAMINHO [opções]
     tef-comercial demo [--dir DIR] [--bruto]
     tef-comercial --help | --version

O lado do aplicativo comercial na troca de arquivos com o gerenciador TEF, em
linha de comando (para integradores de PDV e para testes).

Pedidos:
  crt      venda (000-000 = CRT). --valor em centavos, só dígitos: 1000 = R$ 10,00
           (003-000); --documento é o número do cupom fiscal (002-000); --cpf é
           o CPF do cliente (007-000).
  adm      funções administrativas (000-000 = ADM).
  cnc      cancelamento (000-000 = CNC), confirmado com intpos.sts como os outros.
           Com uma tela aberta, o gerenciador a cancela. Sem tela, cancela a venda
           anterior que --campo012 (o NSU, 012-000) e --campo 010-000=REDE,
           022-000=DATA, 023-000=HORA, 027-000=CONTROLE apontam, na tela do
           sistema web; sem NSU nem 027-000 responde na hora que nada foi feito.
  cnf      confirmação (000-000 = CNF); --campo012 vai em 012-000.
  enviar   qualquer comando, com os campos --campo na ordem dada, depois de
           000-000 e 001-000. Um comando que o gerenciador não conhece é só
           confirmado (o intpos.sts devolve o 012-000).
  arquivo  envia um pedido pronto, byte a byte, sem conversão nem validação.
  demo     demonstração sem gerenciador: a própria ferramenta faz também o
           papel do gerenciador (SIMULADO) num diretório temporário, para mostrar
           a troca completa de uma venda.

Opções:
  --dir DIR         diretório do gerenciador, onde ficam req/ e resp/ (padrão: o atual)
  --nome NOME       nome do pedido em req/ (padrão intpos.001; o gerenciador só
                    recolhe arquivos cujo nome contém ".001")
  --id N            identificação do pedido (001-000), só dígitos; padrão: gerada
                    a partir da hora e do processo, e mostrada
  --espera-sts S    segundos de espera pelo intpos.sts (padrão 7)
  --espera-resp S   segundos de espera pelo intpos.001; 0 = não esperar;
                    sem-limite = esperar o que for preciso. Padrão: sem limite
                    para crt, adm e cnc (a tela espera o operador), não esperar
                    para cnf e demais comandos
  --bruto           mostra os arquivos com os bytes originais (Windows-1252, CR LF)
  --manter          não apaga o intpos.sts e o intpos.001 depois de lê-los
  -h, --help        esta ajuda
  --version         a versão
  Segundos aceitam fração: 0,5 ou 0.5.

Como funciona:
  1. apaga resp/intpos.sts e resp/intpos.001 que sobraram de uma troca anterior,
     para que uma resposta velha nunca passe pela nova;
  2. grava o pedido com um nome temporário (sem ".001") em req/ e só então o
     renomeia para req/intpos.001: o gerenciador nunca vê um pedido pela metade.
     Se um req/intpos.001 ainda está lá, recusa: o gerenciador não o recolheu;
  3. espera o resp/intpos.sts com o mesmo 000-000 e 001-000 do pedido (um de
     outro pedido é ignorado, com um aviso);
  4. espera o resp/intpos.001 com o 001-000 do pedido: o resultado da transação
     ou o cancelamento (um de outro pedido fica lá para o seu dono, com um aviso);
  5. mostra os arquivos (convertidos de Windows-1252 se o terminal é UTF-8),
     uma linha "Resposta: ..." e apaga o que leu.
  Os valores da linha de comando vão em Windows-1252 (convertidos do UTF-8 do
  terminal); um caractere sem forma em Windows-1252 é recusado. Sem
  resp/Ativo.001 avisa que o gerenciador parece parado, mas envia assim mesmo.
  Ctrl+C durante a espera deixa os arquivos como estão.

Códigos de saída:
  0    respondido: chegou o intpos.001 e não é um cancelamento (aprovado ou
       não: a linha "Resposta:" diz); também --help e --version
  1    falha de E/S ou outra; também um pedido anterior ainda esperando em req/
  2    uso incorreto
  3    só confirmado: chegou o intpos.sts e nenhuma resposta era esperada
  4    cancelado ou interrompido: o intpos.001 é o do próprio gerenciador
       (030-000 = TEF Marel Raruveda foi cancelado, ou TEF interrompido: ...)
  5    tempo esgotado esperando o intpos.sts
  6    tempo esgotado esperando o intpos.001
  130  interrompido (Ctrl+C) durante a espera

Exemplos:
  tef-comercial crt --valor 1000 --documento 123456 --dir /opt/tef
  tef-comercial crt --valor 2590 --cpf 12345678909 --espera-resp 120
  tef-comercial adm --dir /opt/tef
  tef-comercial cnc --valor 1000 --campo012 123 --campo 010-000=CIELO --dir /opt/tef
  tef-comercial cnf --id 42 --campo012 ABC
  tef-comercial enviar XYZ --campo 012-000=teste
  tef-comercial enviar CRT --campo 003-000=     (valor vazio, para testar o gerenciador)
  tef-comercial arquivo pedido-gravado.txt --espera-resp sem-limite
  tef-comercial demo
)";
}

// ---- encodings --------------------------------------------------------------

bool LocaleUtf8() { return p::TerminalUtf8(); }

std::string Utf8ParaAnsi(std::string_view texto, const std::string& onde) {
    std::size_t posicao = 0;
    const auto ansi = Utf8ParaCp1252Estrito(texto, &posicao);
    if (!ansi)
        throw EUsoIncorreto("o valor de " + onde + " tem um caractere sem forma em Windows-1252 (ou UTF-8 "
                            "inválido) na posição " + std::to_string(posicao + 1) + " (byte): \"" +
                            std::string(texto) + "\"");
    return *ansi;
}

std::string AnsiParaUtf8(std::string_view texto) {
    std::string saida;
    for (char c : texto) {
        const unsigned char b = static_cast<unsigned char>(c);
        // The five bytes Windows-1252 leaves undefined.
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) saida += "\xEF\xBF\xBD";
        else saida += Cp1252ParaUtf8(std::string_view(&c, 1));
    }
    return saida;
}

// ---- the request ------------------------------------------------------------

bool IdCampoValido(std::string_view id) {
    if (id.size() != 7 || id[3] != '-') return false;
    return SoDigitos(id.substr(0, 3)) && SoDigitos(id.substr(4));
}

std::string TextoPedido(const std::vector<TCampo>& campos) {
    TLinhas linhas;
    for (const auto& c : campos) linhas.push_back(c.id + " = " + c.valor);
    linhas.push_back("999-999 = 0");
    return TextoLinhas(linhas);
}

TPedido MontaPedido(const TOpcoes& o, bool utf8, const std::string& idPadrao) {
    if (o.forma == "arquivo") {
        const auto bytes = LeSeExiste(o.arquivo);
        if (!bytes) throw EFOpenError("não foi possível abrir " + o.arquivo + ": " + Erro(ENOENT));
        const TLinhas linhas = DivideLinhas(*bytes);
        return TPedido{*bytes, ValorOuVazio(linhas, "000-000"), ValorOuVazio(linhas, "001-000")};
    }
    std::vector<TCampo> campos;
    const auto poe = [&](const std::string& id, const std::optional<std::string>& valor, const std::string& onde) {
        if (!valor) return;
        ValidaValor(*valor, onde);
        campos.push_back({id, utf8 ? Utf8ParaAnsi(*valor, onde) : *valor});
    };
    std::string comando = o.forma == "enviar" ? o.comando : MaiusculasAnsi(o.forma);
    poe("000-000", comando, "000-000 (comando)");
    poe("001-000", o.id.value_or(idPadrao), "--id");
    poe("002-000", o.documento, "--documento");
    poe("003-000", o.valor, "--valor");
    poe("007-000", o.cpf, "--cpf");
    poe("012-000", o.campo012, "--campo012");
    for (const auto& c : o.campos) {
        if (!IdCampoValido(c.id)) throw EUsoIncorreto("campo inválido: \"" + c.id + "\" (esperado NNN-NNN)");
        poe(c.id, c.valor, "--campo " + c.id);
    }
    return TPedido{TextoPedido(campos), Apara(campos[0].valor), Apara(campos[1].valor)};
}

std::string IdentificacaoPadrao() {
    const auto agora = std::chrono::system_clock::now().time_since_epoch();
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(agora).count();
    return std::to_string((s % 100000) * 10000 + p::IdDoProcesso() % 10000);
}

TPrazos PrazosDoPedido(const TPedido& pedido, const TOpcoes& o) {
    const std::string& cmd = pedido.comando;
    TPrazos p;
    p.sts = o.esperaSts.value_or(TPrazo{true, kEsperaStsPadrao});
    // A CNC may open the web system's screen, where the operator acts.
    if (cmd == "CRT" || cmd == "ADM" || cmd == "CNC")
        p.resp = TPrazo{true, std::nullopt};
    else
        p.resp = TPrazo{false, std::nullopt};
    if (o.esperaResp) p.resp = *o.esperaResp;
    return p;
}

TLinhas EnviaPedido(const std::string& dir, const std::string& nome, const std::string& bytes) {
    const std::string dirReq = JuntaCaminho(dir, "req");
    const std::string dirResp = JuntaCaminho(dir, "resp");
    const std::string destino = JuntaCaminho(dirReq, nome);
    const auto pendente = [&] {
        return EPedidoPendente(destino + " ainda está esperando: o gerenciador não recolheu o pedido anterior. "
                                         "Confira se ele está em execução; apague o arquivo para descartá-lo.");
    };
    // Checked before touching resp/: the answers there may belong to it.
    if (Existe(destino)) throw pendente();

    TLinhas removidos;
    for (const char* antigo : {"intpos.sts", "intpos.001"})
        if (RemoveSeExiste(JuntaCaminho(dirResp, antigo))) removidos.emplace_back(antigo);

    // The manager takes any path with ".001" in it, so the name being written
    // must not have it; the rename then shows the request complete at once.
    // req/ is open to the whole group: the copy is made new, never through
    // whatever someone left under its name.
    TArquivoDeTrabalho temp(dirReq, ".tef-comercial-" + std::to_string(p::IdDoProcesso()) + ".tmp");
    temp.Escreve(bytes);
    if (!temp.PoeNoLugarSeLivre(destino)) throw pendente();
    return removidos;
}

// ---- the answers ------------------------------------------------------------

std::optional<std::string> ValorCampo(const TLinhas& linhas, std::string_view id) {
    for (const auto& l : linhas) {
        if (l.size() < id.size() || l.compare(0, id.size(), id) != 0) continue;
        std::size_t i = id.size();
        while (i < l.size() && l[i] == ' ') ++i;
        if (i >= l.size() || l[i] != '=') continue;
        ++i;
        if (i < l.size() && l[i] == ' ') ++i;
        return l.substr(i);
    }
    return std::nullopt;
}

bool StsDoPedido(const TLinhas& sts, const TPedido& pedido) {
    const auto cmd = ValorCampo(sts, "000-000");
    const auto id = ValorCampo(sts, "001-000");
    return cmd && id && Apara(*cmd) == pedido.comando && Apara(*id) == pedido.identificacao;
}

TipoResposta ClassificaResposta(const TLinhas& resposta) {
    const std::string mensagem = ValorOuVazio(resposta, "030-000");
    if (mensagem == TextoTefCancelado || mensagem == TextoTefInterrompido) return TipoResposta::Cancelamento;
    const auto status = ValorCampo(resposta, "009-000");
    if (!status) return TipoResposta::SemStatus;
    return Apara(*status) == "0" ? TipoResposta::Aprovada : TipoResposta::NaoAprovada;
}

std::string ResumoResposta(const TLinhas& resposta, bool utf8) {
    const std::string cmd = ValorOuVazio(resposta, "000-000");
    std::string t = "Resposta: ";
    switch (ClassificaResposta(resposta)) {
        case TipoResposta::Cancelamento:
            if (ValorOuVazio(resposta, "030-000") == TextoTefInterrompido) return t + TextoTefInterrompido;
            return t + "TEF cancelado";
        case TipoResposta::Aprovada:
            t += cmd == "CRT" ? "venda aprovada" : cmd == "ADM" ? "operação administrativa concluída"
                                                                : "transação aprovada";
            break;
        case TipoResposta::NaoAprovada:
            t += "transação não aprovada (009-000 = " + ParaTela(ValorOuVazio(resposta, "009-000"), utf8) + ")";
            break;
        case TipoResposta::SemStatus:
            t += "resposta recebida, sem 009-000";
            break;
    }
    if (const std::string msg = ValorOuVazio(resposta, "030-000"); !msg.empty())
        t += " - \"" + ParaTela(msg, utf8) + "\"";
    return t;
}

// ---- the whole flow ---------------------------------------------------------

int Executa(const TOpcoes& opcoes, TContexto& ctx) {
    return ComTratamento(ctx, [&] {
        const TPedido pedido = MontaPedido(opcoes, ctx.utf8, IdentificacaoPadrao());
        const TPrazos prazos = PrazosDoPedido(pedido, opcoes);
        ConfereDiretorios(opcoes.dir);
        if (opcoes.nome.find(".001") == std::string::npos)
            ctx.err << "Aviso: o gerenciador só recolhe arquivos cujo nome contém \".001\"; \"" << opcoes.nome
                    << "\" ficará esperando.\n";
        if (!ArquivoExiste(JuntaCaminho(JuntaCaminho(opcoes.dir, "resp"), "Ativo.001")))
            ctx.err << "Aviso: resp/Ativo.001 não existe: o gerenciador provavelmente não está em execução "
                       "(o pedido é enviado assim mesmo).\n";
        for (const auto& antigo : EnviaPedido(opcoes.dir, opcoes.nome, pedido.bytes))
            ctx.err << "Removido resp/" << antigo << " que sobrou de uma troca anterior.\n";
        MostraPedido(ctx, opcoes, pedido);
        return RecebeRespostas(opcoes, pedido, prazos, ctx);
    });
}

int Demo(const TOpcoes& opcoes, TContexto& ctx) {
    return ComTratamento(ctx, [&] {
        TOpcoes o = opcoes;
        std::string temporario;
        if (!o.dirDado) {
            const std::string novo =
                p::CriaDiretorioTemporario(JuntaCaminho(p::DiretorioTemporario(), "tef-comercial-demo-"));
            if (novo.empty()) throw EInOutError(0, "não foi possível criar o diretório temporário");
            o.dir = temporario = novo;
        }
        const std::string dirReq = JuntaCaminho(o.dir, "req");
        const std::string dirResp = JuntaCaminho(o.dir, "resp");
        const std::string ativo = JuntaCaminho(dirResp, "Ativo.001");
        if (Existe(ativo))
            throw Exception(ativo + " existe: um gerenciador de verdade parece usar " + o.dir +
                            "; a demonstração competiria com ele. Use outro --dir.");
        CriaDiretorio(o.dir);
        CriaDiretorio(dirReq);
        CriaDiretorio(dirResp);
        const auto limpa = [&] {
            ApagaArquivo(ativo);
            if (!temporario.empty()) {
                for (const char* f : {"req/intpos.001", "resp/intpos.sts", "resp/intpos.001"})
                    ApagaArquivo(JuntaCaminho(temporario, f));
                p::RemoveDiretorio(dirReq);
                p::RemoveDiretorio(dirResp);
                p::RemoveDiretorio(temporario);
            }
        };

        const char* simulado = "[GERENCIADOR SIMULADO] ";
        const char* comercial = "[aplicativo comercial] ";
        ctx.out << "DEMONSTRAÇÃO: não há gerenciador TEF aqui. O lado do gerenciador é SIMULADO por esta\n"
                   "ferramenta (linhas \"" << simulado << "\"); o lado do aplicativo comercial é o mesmo\n"
                   "código de \"tef-comercial crt\". Diretório: " << o.dir << "\n\n";
        try {
            ctx.out << simulado << "grava resp/Ativo.001 (o gerenciador está \"em execução\")\n";
            GravaAtomico(dirResp, "Ativo.001",
                         TextoLinhas({"000-000 = TEF", "016-000 = " + DataHoraCompacta(DataHoraLocal()), "999-999 = 0"}));

            o.forma = "crt";
            o.valor = "1000";
            o.documento = "123456";
            const TPedido pedido = MontaPedido(o, false, IdentificacaoPadrao());
            ctx.out << comercial << "envia uma venda de R$ 10,00 (crt --valor 1000 --documento 123456)\n";
            EnviaPedido(o.dir, o.nome, pedido.bytes);
            MostraPedido(ctx, o, pedido);

            // The stand-in: take the request, acknowledge it, answer "approved".
            const std::string arqPedido = JuntaCaminho(dirReq, o.nome);
            const TLinhas recebido = DivideLinhas(LeSeExiste(arqPedido).value_or(""));
            ApagaArquivo(arqPedido);
            const std::string cmd = "000-000 = " + ValorOuVazio(recebido, "000-000");
            const std::string id = "001-000 = " + ValorOuVazio(recebido, "001-000");
            ctx.out << "\n" << simulado << "recolhe e apaga req/" << o.nome << ", grava resp/intpos.sts\n";
            GravaAtomico(dirResp, "intpos.sts", TextoLinhas({cmd, id, "999-999 = 0"}));
            ctx.out << simulado << "o \"operador\" conclui a venda: grava resp/intpos.001 aprovado (exemplo)\n\n";
            GravaAtomico(dirResp, "intpos.001",
                         TextoLinhas({cmd, id, "002-000 = " + ValorOuVazio(recebido, "002-000"),
                                      "003-000 = " + ValorOuVazio(recebido, "003-000"), "009-000 = 0",
                                      "030-000 = Transa\xE7\xE3o aprovada (simula\xE7\xE3o)", "999-999 = 0"}));

            ctx.out << comercial << "aguarda e recebe:\n";
            const int codigo = RecebeRespostas(o, pedido, PrazosDoPedido(pedido, o), ctx);
            ctx.out << "\n" << simulado << "encerra: apaga resp/Ativo.001\n"
                    << "Fim da demonstração (código de saída " << codigo << ").\n";
            limpa();
            return codigo;
        } catch (...) {
            limpa();
            throw;
        }
    });
}

}  // namespace comercial
