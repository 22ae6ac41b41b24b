#include "DocumentoReg.h"
#include "Registro.h"

namespace {

std::string ComNome(const char* texto, const std::string& nome) { return texto + nome + "'"; }

[[noreturn]] void FalhaLeitura(const std::string& nome) {
    throw ERegistryException(ComNome("Failed to get data for '", nome));
}

[[noreturn]] void TipoInvalido(const std::string& nome) {
    throw ERegistryException(ComNome("Invalid data type for '", nome));
}

std::string Normaliza(const std::string& caminho) { return JuntaPartes(PartesDaChave(caminho)); }

}  // namespace

TRegistry::TRegistry() : armazem_(ArmazemPadrao()) {}

TRegistry::TRegistry(std::string arquivoStore) : armazem_(std::make_unique<TArmazemRegistro>(std::move(arquivoStore))) {}

std::string TRegistry::Resolve(const std::string& caminho) const {
    if (!caminho.empty() && caminho[0] == '\\') return Normaliza(caminho);
    if (aberta_ && !atual_.empty()) return Normaliza(atual_ + "\\" + caminho);
    return Normaliza(caminho);
}

bool TRegistry::KeyExists(const std::string& caminho) { return armazem_->ChaveExiste(Resolve(caminho)); }

bool TRegistry::OpenKey(const std::string& caminho, bool criar) {
    const std::string completo = Resolve(caminho);
    try {
        if (criar)
            armazem_->CriaChave(completo);
        else if (!armazem_->ChaveExiste(completo))
            return false;
    } catch (const ERegistryException& e) {
        // A later write reports this, the real cause, not "no key is open".
        falhaAbertura_ = e.what();
        throw;
    }
    falhaAbertura_.clear();
    aberta_ = true;
    somenteLeitura_ = false;
    atual_ = completo;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& caminho) {
    if (!OpenKey(caminho, false)) return false;
    somenteLeitura_ = true;
    return true;
}

void TRegistry::CloseKey() {
    aberta_ = false;
    somenteLeitura_ = false;
    atual_.clear();
}

std::vector<std::string> TRegistry::GetKeyNames() {
    if (!aberta_) return {};
    return armazem_->SubChaves(atual_);
}

bool TRegistry::DeleteKey(const std::string& caminho) {
    // An empty name would mean the open key itself, or the root.
    if (PartesDaChave(caminho).empty()) return false;
    return armazem_->ApagaChave(Resolve(caminho));
}

bool TRegistry::ValueExists(const std::string& nome) { return Le(nome).has_value(); }

bool TRegistry::DeleteValue(const std::string& nome) {
    if (!aberta_ || somenteLeitura_) return false;
    return armazem_->ApagaValor(atual_, nome);
}

std::optional<TValorRegistro> TRegistry::Le(const std::string& nome) {
    if (!aberta_) return std::nullopt;
    return armazem_->LeValor(atual_, nome);
}

std::string TRegistry::ReadString(const std::string& nome) {
    const auto v = Le(nome);
    if (!v || v->dados.empty()) return "";
    if (v->tipo != REG_SZ && v->tipo != REG_EXPAND_SZ) TipoInvalido(nome);
    return v->dados.substr(0, v->dados.find('\0'));
}

std::int32_t TRegistry::ReadInteger(const std::string& nome) {
    const auto v = Le(nome);
    // The data is read into a 4-byte buffer first, so size is checked
    // before type.
    if (!v || v->dados.size() > 4) FalhaLeitura(nome);
    if (v->tipo != REG_DWORD) TipoInvalido(nome);
    std::uint32_t n = 0;
    for (std::size_t i = v->dados.size(); i-- > 0;) n = n << 8 | static_cast<unsigned char>(v->dados[i]);
    return static_cast<std::int32_t>(n);
}

std::string TRegistry::ReadBinaryData(const std::string& nome) {
    const auto v = Le(nome);
    if (!v) FalhaLeitura(nome);
    if (v->tipo == REG_SZ || v->tipo == REG_EXPAND_SZ || v->tipo == REG_DWORD) TipoInvalido(nome);
    return v->dados;
}

std::uint32_t TRegistry::GetDataType(const std::string& nome) {
    const auto v = Le(nome);
    return v ? v->tipo : REG_NONE;
}

int TRegistry::GetDataSize(const std::string& nome) {
    const auto v = Le(nome);
    return v ? static_cast<int>(v->dados.size()) : -1;
}

void TRegistry::Grava(const std::string& nome, std::uint32_t tipo, const std::string& dados) {
    try {
        if (!aberta_) throw ERegistryException(falhaAbertura_.empty() ? "no key is open" : falhaAbertura_);
        if (somenteLeitura_) throw ERegistryException("key '" + atual_ + "' was opened read-only");
        armazem_->GravaValor(atual_, nome, tipo, dados);
    } catch (const ERegistryException& e) {
        // The message is the fixed text; the cause goes along for the log.
        throw ERegistryException(ComNome("Failed to set data for '", nome), e.what());
    }
}

void TRegistry::WriteString(const std::string& nome, const std::string& texto) {
    Grava(nome, REG_SZ, texto + '\0');
}

void TRegistry::WriteExpandString(const std::string& nome, const std::string& texto) {
    Grava(nome, REG_EXPAND_SZ, texto + '\0');
}

void TRegistry::WriteInteger(const std::string& nome, std::int32_t valor) {
    const auto n = static_cast<std::uint32_t>(valor);
    std::string dados;
    for (int i = 0; i < 4; ++i) dados += static_cast<char>(n >> (8 * i) & 0xFF);
    Grava(nome, REG_DWORD, dados);
}

void TRegistry::WriteBinaryData(const std::string& nome, const std::string& dados) {
    Grava(nome, REG_BINARY, dados);
}
