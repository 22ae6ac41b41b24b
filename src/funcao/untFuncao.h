// Stateless utilities shared by the whole manager. Texts are 8-bit strings in
// Windows-1252; nothing here touches a window toolkit.
#pragma once

#include "Excecoes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An ordered list of lines (exchange files, the trace, the error log).
using TLinhas = std::vector<std::string>;

// A moment of the local clock, to the millisecond.
struct TDataHora {
    int ano = 2000, mes = 1, dia = 1, hora = 0, minuto = 0, segundo = 0, milissegundo = 0;
};

TDataHora DataHoraLocal();

// ---- lists of lines -------------------------------------------------------

// Splits at CR LF, lone CR and lone LF; a NUL byte ends the content; a last
// line without a line end still counts; an empty text gives no line.
TLinhas DivideLinhas(std::string_view texto);
// Every line followed by CR LF, the last one included; no lines: empty text.
std::string TextoLinhas(const TLinhas& linhas);
// Reads the whole file and splits it. Raises EFOpenError ("Cannot open file
// "path". reason") or EReadError ("Stream read error").
TLinhas CarregaLinhas(const std::string& arquivo);
// Creates or truncates the file and writes the lines. Raises EFCreateError
// ("Cannot create file "path". reason") or EWriteError ("Stream write error").
// With sincroniza, the data reaches the disk (fsync) before it returns.
void SalvaLinhas(const std::string& arquivo, const TLinhas& linhas, bool sincroniza = false);
// The same for a ready text.
void SalvaTexto(const std::string& arquivo, std::string_view texto, bool sincroniza = false);

// ---- files and directories ------------------------------------------------

bool DiretorioExiste(const std::string& caminho);
bool ArquivoExiste(const std::string& caminho);  // exists and is not a directory
void CriaDiretorio(const std::string& caminho);  // one level; failure ignored
void ApagaArquivo(const std::string& caminho);   // failure ignored

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
