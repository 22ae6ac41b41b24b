#include "untParametro.h"

#include "Registro.h"
#include "Servidor.h"
#include "untFuncao.h"

void AbreSemFalhar(TRegistry& reg, const std::string& chave, bool criar) {
    try {
        reg.OpenKey(chave, criar);
    } catch (const ERegistryException&) {
        // No open key: reads give nothing, writes fail naming their value.
    }
}

TfrmParametro::TfrmParametro(componentes::IDialogoParametro& dialogo, std::string chave)
    : d_(dialogo), chave_(std::move(chave)) {
    d_.SetOnShow([this] { FormShow(); });
    d_.SetOnConfigura([this] { btnConfiguraClick(); });
    d_.SetOnHotKey([this] { JvApplicationHotKey1HotKey(); });
}

void TfrmParametro::FormShow() {
    TRegistry reg;
    if (reg.KeyExists(chave_)) {
        AbreSemFalhar(reg, chave_, false);
        d_.edtUrl().SetCaption(reg.ReadString("Url"));
        d_.edtEmpresa().SetCaption(std::to_string(reg.ReadInteger("Lojcodigo")));
        d_.edtLogin().SetCaption(Cifra(reg.ReadString("Usulogin")));
        d_.edtSenha().SetCaption(Cifra(reg.ReadString("Ususenha")));
    }
    if (d_.edtUrl().Caption().empty()) d_.edtUrl().SetCaption(servidor::BaseProducao() + "/");
}

namespace {
// The stored form turns one byte into NUL, where a stored text ends: such a
// login or password would load back cut short, so it is refused before
// anything is written.
void RecusaSemForma(const std::string& texto, const char* campo) {
    if (Decifra(texto).find('\0') != std::string::npos)
        throw EConvertError(std::string(campo) +
                            " n\xE3o pode conter o caractere de retorno de carro (CR): ele n\xE3o seria gravado "
                            "como foi digitado.");
}

// The store code as the dialog's conversion reads it; the operator is told
// in words what to type instead.
std::int32_t CodigoDaLoja(const std::string& texto) {
    try {
        return StrToInt(texto);
    } catch (EConvertError& e) {
        e.ParaOOperador = "O c\xF3" "digo da loja \"" + texto +
                          "\" n\xE3o \xE9 um n\xFAmero inteiro: digite s\xF3 algarismos (por exemplo 42).";
        throw;
    }
}
}  // namespace

void TfrmParametro::btnConfiguraClick() {
    RecusaSemForma(d_.edtLogin().Caption(), "O login");
    RecusaSemForma(d_.edtSenha().Caption(), "A senha");
    TRegistry reg;
    // A key that cannot be created shows as the failure of the first write.
    AbreSemFalhar(reg, chave_, true);
    reg.WriteString("Url", d_.edtUrl().Caption());
    reg.WriteInteger("Lojcodigo", CodigoDaLoja(d_.edtEmpresa().Caption()));
    reg.WriteString("Usulogin", Decifra(d_.edtLogin().Caption()));
    reg.WriteString("Ususenha", Decifra(d_.edtSenha().Caption()));
    reg.CloseKey();
    d_.Close();
}

void TfrmParametro::JvApplicationHotKey1HotKey() {
    d_.Label4().SetVisible(!d_.Label4().Visible());
    d_.edtUrl().SetVisible(!d_.edtUrl().Visible());
}
