// Test support: a private temporary directory and whole-file byte helpers.
#pragma once

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
void CriaDir(const std::string& caminho);  // with parents
void RemoveArvore(const std::string& caminho);
