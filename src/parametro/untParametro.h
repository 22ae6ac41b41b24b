// The parameters dialog's logic: fills the fields from the configuration key
// and saves them back, login and password in stored form.
#pragma once

#include "Componentes.h"

#include <string>

class TRegistry;

// Opens a key; a store failure leaves no key open instead of raising, so that
// the reads and writes that follow report it in their own words.
void AbreSemFalhar(TRegistry& reg, const std::string& chave, bool criar);

class TfrmParametro {
public:
    // Binds the dialog's handlers. chave is the configuration key's path in
    // the installation's registry.
    TfrmParametro(componentes::IDialogoParametro& dialogo, std::string chave);

    void FormShow();
    void btnConfiguraClick();
    void JvApplicationHotKey1HotKey();

private:
    componentes::IDialogoParametro& d_;
    std::string chave_;
};
