// The machine-wide configuration registry. The manager was born on Windows and
// keeps its settings under HKEY_LOCAL_MACHINE; here that tree lives in one text
// file in the registry export format, shared by every process of the machine.
// Texts are Windows-1252 byte strings.
#pragma once

#include "Excecoes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Registry data types (the numbers Windows uses, so exported files match).
constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;
constexpr std::uint32_t REG_MULTI_SZ = 7;

// A value as stored: its type and raw bytes (a REG_SZ keeps its ending NUL).
struct TValorRegistro {
    std::uint32_t tipo = REG_NONE;
    std::string dados;
};

// A machine-wide registry: keys below HKEY_LOCAL_MACHINE with typed values.
// Key paths are relative to HKEY_LOCAL_MACHINE, "\"-separated; empty
// components are ignored and "" is the root. Keys and value names compare
// case-insensitively and keep the spelling of whoever created them. Errors are
// ERegistryException.
class IArmazemRegistro {
public:
    virtual ~IArmazemRegistro() = default;
    // Where it lives, for messages: the store file, or the system's registry.
    virtual std::string Descricao() const = 0;
    virtual bool ChaveExiste(const std::string& chave) const = 0;
    // Creates the key and every missing key above it; false when it existed.
    virtual bool CriaChave(const std::string& chave) = 0;
    // Direct sub-keys, as spelled when created.
    virtual std::vector<std::string> SubChaves(const std::string& chave) const = 0;
    // Nothing when the key or the value does not exist. "" names the default
    // value.
    virtual std::optional<TValorRegistro> LeValor(const std::string& chave, const std::string& nome) const = 0;
    // The key must exist.
    virtual void GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                            const std::string& dados) = 0;
    // False when the value did not exist.
    virtual bool ApagaValor(const std::string& chave, const std::string& nome) = 0;
    // Removes the key with everything below it; false when it did not exist.
    virtual bool ApagaChave(const std::string& chave) = 0;
};

// The machine's registry on Windows, through the system's registry calls.
class TArmazemNativo : public IArmazemRegistro {
public:
    std::string Descricao() const override { return "HKEY_LOCAL_MACHINE"; }
    bool ChaveExiste(const std::string& chave) const override;
    bool CriaChave(const std::string& chave) override;
    std::vector<std::string> SubChaves(const std::string& chave) const override;
    std::optional<TValorRegistro> LeValor(const std::string& chave, const std::string& nome) const override;
    void GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                    const std::string& dados) override;
    bool ApagaValor(const std::string& chave, const std::string& nome) override;
    bool ApagaChave(const std::string& chave) override;
};

// The machine's registry of this installation: the file named by
// $TEF_REGISTRO when it is set; else the system's registry where there is one
// (Windows); else the file /etc/orvex/tef.reg.
std::unique_ptr<IArmazemRegistro> ArmazemPadrao();

// The registry in one text file, for a system without one. Key paths are relative to
// HKEY_LOCAL_MACHINE, "\"-separated; empty components are ignored and "" is
// the root. Keys and value names compare case-insensitively (Windows-1252) and
// keep the spelling of whoever created them. Every call reads the file again:
// another process may have changed it since the last one.
//
// Errors are ERegistryException. A file that does not parse is reported as
// "<file>:<line>: <problem>" and is never rewritten. A missing file is an
// empty registry.
class TArmazemRegistro : public IArmazemRegistro {
public:
    explicit TArmazemRegistro(std::string arquivo);
    std::string Descricao() const override { return arquivo_; }

    // $TEF_REGISTRO when set and not empty, else /etc/orvex/tef.reg.
    static std::string CaminhoPadrao();

    const std::string& Arquivo() const { return arquivo_; }

    bool ChaveExiste(const std::string& chave) const override;
    // Creates the key and every missing key above it; false when it existed.
    bool CriaChave(const std::string& chave) override;
    // Direct sub-keys, as spelled when created, in file order.
    std::vector<std::string> SubChaves(const std::string& chave) const override;
    // Nothing when the key or the value does not exist. "" names the default
    // value.
    std::optional<TValorRegistro> LeValor(const std::string& chave, const std::string& nome) const override;
    // The key must exist (an open key deleted meanwhile by another process
    // cannot take values, as on Windows).
    void GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                    const std::string& dados) override;
    // False when the value did not exist.
    bool ApagaValor(const std::string& chave, const std::string& nome) override;
    // Removes the key with everything below it; false when it did not exist.
    // The root cannot be removed.
    bool ApagaChave(const std::string& chave) override;

    // Test hook: called with the temporary file's path once the new text is
    // on disk and before it replaces the store.
    static std::function<void(const std::string& temporario)> AntesDeRenomear;

private:
    std::string arquivo_;
};

// The registry class the rest of the manager uses, rooted at
// HKEY_LOCAL_MACHINE. Paths starting with "\" are absolute; others are
// relative to the open key (absolute when none is open).
class TRegistry {
public:
    // The installation's registry (ArmazemPadrao).
    TRegistry();
    // The registry in that store file.
    explicit TRegistry(std::string arquivoStore);

    bool KeyExists(const std::string& caminho);
    // With criar, creates the key and any missing key above it. Without it,
    // false when the key is missing. The open key is unchanged on false.
    // Failures of the store itself (unreadable, unwritable, broken file)
    // raise ERegistryException.
    bool OpenKey(const std::string& caminho, bool criar);
    // Opens an existing key; writes through it fail.
    bool OpenKeyReadOnly(const std::string& caminho);
    void CloseKey();
    // Sub-keys of the open key; none when no key is open.
    std::vector<std::string> GetKeyNames();
    bool DeleteKey(const std::string& caminho);
    bool ValueExists(const std::string& nome);
    bool DeleteValue(const std::string& nome);
    // The open key's path without the leading "\"; "" when none or the root.
    std::string CurrentPath() const { return atual_; }
    bool HasCurrentKey() const { return aberta_; }

    // "" when absent or empty; the bytes up to the first NUL for REG_SZ and
    // REG_EXPAND_SZ (not expanded); any other type raises "Invalid data type".
    std::string ReadString(const std::string& nome);
    // REG_DWORD of up to 4 bytes (little-endian, missing high bytes zero).
    // Absent or longer than 4 bytes: "Failed to get data"; other types:
    // "Invalid data type".
    std::int32_t ReadInteger(const std::string& nome);
    // The bytes of a REG_BINARY or of a type with no reader of its own.
    std::string ReadBinaryData(const std::string& nome);
    // The stored type; REG_NONE when the value is absent.
    std::uint32_t GetDataType(const std::string& nome);
    // Bytes of data; -1 when the value is absent.
    int GetDataSize(const std::string& nome);

    // Failures raise "Failed to set data for '<name>'", followed by CR LF and
    // the cause.
    void WriteString(const std::string& nome, const std::string& texto);
    void WriteExpandString(const std::string& nome, const std::string& texto);
    void WriteInteger(const std::string& nome, std::int32_t valor);
    void WriteBinaryData(const std::string& nome, const std::string& dados);

    IArmazemRegistro& Armazem() { return *armazem_; }

private:
    std::string Resolve(const std::string& caminho) const;
    std::optional<TValorRegistro> Le(const std::string& nome);
    void Grava(const std::string& nome, std::uint32_t tipo, const std::string& dados);

    std::unique_ptr<IArmazemRegistro> armazem_;
    bool aberta_ = false;
    bool somenteLeitura_ = false;
    std::string atual_;
    std::string falhaAbertura_;  // why the last OpenKey failed
};
