// In-memory form of the store file: keys in file order, each with its values
// in file order. Only the store uses it; the text format lives here so the
// locking code stays apart from the parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TValorArquivo {
    std::string nome;  // "" is the default value ("@")
    std::uint32_t tipo = 0;
    std::string dados;
};

struct TChaveArquivo {
    std::vector<std::string> partes;  // below HKEY_LOCAL_MACHINE; empty for the root
    std::string identidade;           // upper-case path, for comparisons
    std::vector<TValorArquivo> valores;

    TValorArquivo* Valor(const std::string& nome);
};

class TDocumentoReg {
public:
    // Raises ERegistryException("<arquivo>:<line>: <problem>"). A text with
    // nothing but blanks and comments is an empty registry.
    static TDocumentoReg Interpreta(std::string_view texto, const std::string& arquivo);
    // CR LF line ends, a blank line after every key, hex data on one line.
    std::string Texto() const;

    TChaveArquivo* Procura(const std::vector<std::string>& partes);
    // The key, created with every missing key above it. New keys go right
    // after their parent's sub-tree (the root goes first).
    TChaveArquivo& Garante(const std::vector<std::string>& partes);
    // Removes the key and its whole sub-tree; false when it was not there.
    bool Remove(const std::vector<std::string>& partes);
    std::vector<std::string> Filhas(const std::vector<std::string>& partes) const;

private:
    // At the end of the file, as a file being read lists them.
    TChaveArquivo& GaranteNoFim(const std::vector<std::string>& partes);

    std::vector<TChaveArquivo> chaves_;
};

// Splits a key path at "\", dropping empty components.
std::vector<std::string> PartesDaChave(std::string_view caminho);
std::string JuntaPartes(const std::vector<std::string>& partes);
// Upper-case form used to compare names (Windows-1252).
std::string IdentidadeDe(const std::vector<std::string>& partes);
