// Stateless utilities shared by the whole manager. Texts are 8-bit strings in
// Windows-1252; nothing here touches a window toolkit.
#pragma once

#include "Excecoes.h"
#include "Plataforma.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An ordered list of lines (exchange files, the trace, the error log).
using TLinhas = std::vector<std::string>;

TDataHora DataHoraLocal();
// Days from 1 January 1970 to the date (negative before it).
std::int64_t DiasDesde1970(int ano, int mes, int dia);
// Milliseconds from the start of 1 January 1970 to the moment, as a calendar
// reads it (no time zone): for durations on one clock.
std::int64_t MilissegundosDe(const TDataHora& momento);
// The moment that many seconds after the start of 1 January 1970, as a
// calendar reads it (no time zone).
TDataHora DataDeSegundos(std::int64_t segundos, int milissegundo = 0);
// The broken-down time of a moment (milliseconds dropped; weekday and day of
// the year filled in).
std::tm ParaTm(const TDataHora& momento);

// ---- lists of lines -------------------------------------------------------

// Splits at CR LF, lone CR and lone LF; a NUL byte ends the content; a last
// line without a line end still counts; an empty text gives no line.
TLinhas DivideLinhas(std::string_view texto);
// Every line followed by CR LF, the last one included; no lines: empty text.
std::string TextoLinhas(const TLinhas& linhas);
// Reads the whole file and splits it. Raises EFOpenError ("Cannot open file
// "path". reason") or EReadError ("Stream read error").
TLinhas CarregaLinhas(const std::string& arquivo);
// A request file: read whole like CarregaLinhas, but only when the path is a
// regular file itself: a symbolic link is not followed and a FIFO, socket or
// device is not opened for reading (nothing blocks). Raises EFOpenError.
TLinhas CarregaLinhasRegular(const std::string& arquivo);
// Creates or truncates the file and writes the lines. Raises EFCreateError
// ("Cannot create file "path". reason") or EWriteError ("Stream write error",
// with the system's reason as its cause).
// With sincroniza, the data reaches the disk (fsync) before it returns.
void SalvaLinhas(const std::string& arquivo, const TLinhas& linhas, bool sincroniza = false);
// The same for a ready text.
void SalvaTexto(const std::string& arquivo, std::string_view texto, bool sincroniza = false);
// Writes the text at the end of the file (created when missing), leaving
// what it holds as it is. Raises as SalvaTexto.
void AnexaTexto(const std::string& arquivo, std::string_view texto);

// ---- files and directories ------------------------------------------------

bool DiretorioExiste(const std::string& caminho);
bool ArquivoExiste(const std::string& caminho);  // exists and is not a directory
void CriaDiretorio(const std::string& caminho);  // one level; failure ignored
void ApagaArquivo(const std::string& caminho);   // failure ignored

// A name of a directory others may write turned out to be taken by something
// that is not a leftover of this user's: what it is, for the caller to report.
using TAoAcharOcupado = std::function<void(const std::string& caminho, const std::string& oQue)>;

// A staging file in a directory others may write (temp/, resp/, debug/):
// created new and exclusively, never through a link nor over anything that
// is there already, written, flushed, and renamed into place in one step.
class TArquivoDeTrabalho {
public:
    // Creates diretorio + nome. A leftover regular file of this user's under
    // the name is replaced; anything else (a link, a FIFO, a directory,
    // another user's file) is left alone, handed to aoAcharOcupado, and the
    // next fresh name is tried: "<base>_1<ext>", "_2", ... Raises
    // EFCreateError ("Cannot create file "path". reason").
    TArquivoDeTrabalho(const std::string& diretorio, const std::string& nome, TAoAcharOcupado aoAcharOcupado = nullptr);
    // Removes the file unless it was put in place.
    ~TArquivoDeTrabalho();
    TArquivoDeTrabalho(const TArquivoDeTrabalho&) = delete;
    TArquivoDeTrabalho& operator=(const TArquivoDeTrabalho&) = delete;

    const std::string& Caminho() const { return caminho_; }
    // Raises EWriteError ("Stream write error", the system's reason as cause).
    void Escreve(std::string_view dados, bool sincroniza = true);
    // Puts the file in place of the target in one step, once it is checked
    // to be this very file still (a regular file of this user's), so a reader
    // sees the old target or the new one, never a part. Across file systems
    // (a rename cannot cross them) a hidden copy is made beside the target
    // the same way, and renamed there. Raises EFCreateError naming the target,
    // with the system's reason; nothing is left behind on failure.
    void PoeNoLugar(const std::string& destino);
    // The same in the same directory, only when the target does not exist:
    // false (and the file removed) when it does.
    bool PoeNoLugarSeLivre(const std::string& destino);

private:
    // Closes the file once it is checked to be this very file still.
    void ConfereEFecha(const std::string& destino);
    // Checks, closes and renames; the system's code of a failed rename.
    plataforma::TCodigo Renomeia(const std::string& destino, bool substitui);
    std::string caminho_;
    TAoAcharOcupado aoAcharOcupado_;
    plataforma::TArquivo arquivo_;
    std::string dados_;  // kept for a copy across file systems
    bool noLugar_ = false;
};

// What a path names, in words, for reports: "a symbolic link", "a FIFO, socket
// or device", "a directory", "a file of another user", "a regular file".
std::string DescreveEntrada(const std::string& caminho);

// Makes the second name reach the same file as the first, in one step, by a
// relative symbolic link (a hard link where links are refused). Nothing to do
// when both names already reach one file (the link exists, or the file system
// ignores letter case) or when the file is missing. Failures are ignored.
void CriaApelido(const std::string& arquivo, const std::string& apelido);

// What lies directly inside a directory, as the directory holds it: links
// are not followed.
enum class TTipoEntrada { Regular, Link, Outro };
struct TEntradaDiretorio {
    std::string caminho;  // full path
    TTipoEntrada tipo;
    std::int64_t tamanho = 0;
    std::int64_t modificado = 0;  // nanoseconds
};
// Entries that are not directories, in enumeration order; nothing for a
// directory that cannot be read.
std::vector<TEntradaDiretorio> ListaEntradas(const std::string& diretorio);
// Whether the regular file at the path (not a link) can be opened for reading.
bool PodeLer(const std::string& arquivo);

// Directory + name, with "/" between them when the directory lacks it.
std::string JuntaCaminho(const std::string& diretorio, const std::string& nome);
// Appends the full path of every listed file of the directory (and, when
// recursive, of its visible sub-directories first, depth first).
void ListaArquivos(std::string diretorio, TLinhas& lista, bool recursivo);
// Bare names of the listed files matching any of the ";"-separated masks
// (case-insensitive, "*.*" matches every name). Regular files are listed,
// hidden ones (".name") included; FIFOs, sockets and devices are not.
// Raises EInOutError when the directory cannot be entered.
TLinhas ListaArquivosMascara(const std::string& diretorio, const std::string& mascaras);
// Bare names of the sub-directories that are not hidden; none for a missing
// directory.
TLinhas ListaSubdiretorios(const std::string& diretorio);

// The path of a program as invoked (argv[0]): absolute, found through PATH
// when it has no "/", "." and empty pieces removed, symbolic links kept.
std::string CaminhoDoExecutavel(const char* argv0);

// ---- texts ----------------------------------------------------------------

// Removes the characters of code 32 and below from both ends.
std::string Apara(std::string_view texto);
// Every occurrence, left to right, without searching the inserted text again.
std::string SubstituiTodos(std::string_view texto, std::string_view de, std::string_view para);
// Splits at every separator; empty items between separators stay, a trailing
// separator gives no empty last item, an empty text gives no item.
TLinhas Divide(std::string texto, const std::string& separador);
// Windows-1252 upper case (same length).
std::string MaiusculasAnsi(std::string_view texto);
// Windows-1252 lower case (same length).
std::string MinusculasAnsi(std::string_view texto);

// ---- time -----------------------------------------------------------------

// DDMMhhmmss, each two digits.
std::string DataHoraCompacta(const TDataHora& momento);
// The user's short date, a blank and long time (LC_TIME); the date alone at
// 00:00:00.
std::string DataHoraRegional(const TDataHora& momento);

// ---- amounts --------------------------------------------------------------

// A currency amount: signed 64-bit count of ten-thousandths.
using TCurrency = std::int64_t;

// Reads "[+|-]digits[,digits][(E|e)[+|-]digits]" with "," as the decimal
// separator and converts it to currency, rounding ties to even. Nothing when
// the text is not such a number or its value does not fit the currency range.
std::optional<TCurrency> TextoParaCurrency(std::string_view texto);
// The amount rule of the 003-000 field: t is the value in cents as received
// (already trimmed); the result is the currency value, zero when t is not a
// number or is out of range.
TCurrency ValorDoTexto(const std::string& t);

// ---- credentials ---------------------------------------------------------------

// The shift of the credential cipher, from its key text: the key read as a
// whole number when it is one from 1 to 255, else 13.
int DeslocamentoCifra(const std::string& chave);
// Stored form -> plain text: every byte plus the shift, modulo 256.
std::string Cifra(const std::string& texto);
// Plain text -> stored form: every byte minus the shift, modulo 256.
std::string Decifra(const std::string& texto);

// ---- integers -------------------------------------------------------------------

// A whole number in the signed 32-bit range: leading blanks, one optional sign,
// then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X".
// Anything else (empty text, trailing blanks, out of range) raises
// EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(const std::string& texto);
// The same reading; nothing instead of the error.
std::optional<std::int32_t> LeInteiro(const std::string& texto);

// ---- code pages -------------------------------------------------------------------

// Windows-1252 <-> UTF-16 and UTF-8. Characters Windows-1252 lacks become the
// replacement byte; the five unassigned bytes map to the C1 controls of the
// same value, as Windows does.
std::u16string Cp1252ParaUtf16(std::string_view texto);
std::string Utf16ParaCp1252(std::u16string_view texto, char substituto = '?');
std::string Cp1252ParaUtf8(std::string_view texto);
// Invalid UTF-8 sequences and characters Windows-1252 lacks become the
// replacement byte.
std::string Utf8ParaCp1252(std::string_view texto, char substituto = '?');
// Strict: nothing when a sequence is invalid or a character has no
// Windows-1252 form; posicao gets the byte where it stopped.
std::optional<std::string> Utf8ParaCp1252Estrito(std::string_view texto, std::size_t* posicao = nullptr);
std::u16string Utf8ParaUtf16(std::string_view texto);
std::string Utf16ParaUtf8(std::u16string_view texto);
// Appends the UTF-8 bytes of one code point.
void AnexaUtf8(std::string& texto, char32_t codigo);
// Whether the bytes are well-formed UTF-8.
bool Utf8Valido(std::string_view texto);

// The text with the value of every "ususenha_logado=" (any letter case) up to
// the next "&", "#", blank, quote or line end replaced by "***": the page
// address carries the operator's password, and no log, box or page may show it.
std::string MascaraSenha(std::string_view texto);

// Percent-encoding of a query value: the Windows-1252 text converted to UTF-8,
// every byte outside A-Z a-z 0-9 - . _ ~ written as %XX.
std::string CodificaValorUrl(std::string_view textoCp1252);
// The bytes as they are, percent-encoded (a form sent as Windows-1252).
std::string CodificaBytesUrl(std::string_view bytes);

// ---- the executable's version ---------------------------------------------------------

// The four version numbers the build embedded in the executable's
// ".tef_versao" section, joined by "."; empty text when there is none.
std::string VersaoArquivo(const std::string& executavel);

// ---- the receipt printer ----------------------------------------------------------------

// Opens the device (created anew), writes every line's bytes followed by CR LF,
// closes it. Failures raise EInOutError with the system's code: "File not
// found", "File access denied", or "I/O error <code>".
void ImprimeLinhas(const std::string& dispositivo, const TLinhas& linhas);
// TEF_LPT1, else /dev/lp0.
std::string DispositivoImpressora();
// The text of an input/output error code.
std::string MensagemErroES(int codigo);

// ---- accepted certificate exceptions ----------------------------------------------------------

// Whether the browser profile's "cert_override.txt" text accepts a server's
// certificate: a line "host:port<blank>OID.2.16.840.1.101.3.4.2.1<blank>
// FINGERPRINT ..." naming the host (any letter case) and port, with the
// certificate's SHA-256 fingerprint (hex pairs, colons optional, any case).
// Lines starting with "#" are comments.
bool CertificadoAceito(const std::string& conteudo, const std::string& host, int porta,
                       const std::string& sha256Hex);
