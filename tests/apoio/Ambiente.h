// Test support: a private temporary directory, whole-file byte helpers and
// scoped environment variables.
#pragma once

#include <optional>
#include <string>

class TDiretorioTemporario {
public:
    TDiretorioTemporario();
    ~TDiretorioTemporario();
    TDiretorioTemporario(const TDiretorioTemporario&) = delete;
    TDiretorioTemporario& operator=(const TDiretorioTemporario&) = delete;
    // Absolute path with a trailing "/".
    const std::string& Caminho() const { return caminho_; }
    std::string operator/(const std::string& relativo) const { return caminho_ + relativo; }

private:
    std::string caminho_;
};

std::string LeBytes(const std::string& arquivo);  // throws std::runtime_error when missing
void GravaBytes(const std::string& arquivo, const std::string& bytes);
bool Existe(const std::string& caminho);
// Sets a file's modification time that many seconds back.
void Envelhece(const std::string& arquivo, int segundos);
void CriaDir(const std::string& caminho);  // with parents
void RemoveArvore(const std::string& caminho);

// The system's reason for a name that is not there, as the manager's
// messages carry it: a missing file, and a file in a missing directory (one
// reason on POSIX, two different ones on Windows).
std::string TextoArquivoInexistente();
std::string TextoDiretorioInexistente();
// The reason a file cannot be made, or opened, where a directory stands.
std::string TextoEDiretorio();

// Sets an environment variable for a scope, or removes it, and puts the old
// value (or its absence) back at the end. Either form of value will do:
// nullptr or std::nullopt remove the variable.
class TVariavelAmbiente {
public:
    TVariavelAmbiente(const char* nome, const char* valor);
    TVariavelAmbiente(const char* nome, const std::optional<std::string>& valor);
    ~TVariavelAmbiente();
    TVariavelAmbiente(const TVariavelAmbiente&) = delete;
    TVariavelAmbiente& operator=(const TVariavelAmbiente&) = delete;
    void Define(const char* valor);
    void Define(const std::optional<std::string>& valor);

private:
    std::string nome_;
    std::optional<std::string> antigo_;
};
