// The operator's password travels in the page address; whatever shows or logs
// an address shows it masked.
#include "untFuncao.h"

#include <gtest/gtest.h>

namespace {

struct CasoMascara {
    const char* texto;
    const char* esperado;
};

TEST(MascaraSenha, OValorSomeAteOFimDoParametro) {
    const CasoMascara casos[] = {
        // at the end of the address
        {"http://h/modtef.php?tela=Venda&ususenha_logado=segredo",
         "http://h/modtef.php?tela=Venda&ususenha_logado=***"},
        // followed by the next parameter, which stays
        {"a?ususenha_logado=segredo&num_cupom=12", "a?ususenha_logado=***&num_cupom=12"},
        // followed by a fragment
        {"a?ususenha_logado=segredo#topo", "a?ususenha_logado=***#topo"},
        // inside a message: blanks, quotes, line ends and markup end it
        {"The address \"a?ususenha_logado=segredo\" cannot be loaded",
         "The address \"a?ususenha_logado=***\" cannot be loaded"},
        {"x ususenha_logado=segredo y", "x ususenha_logado=*** y"},
        {"'ususenha_logado=segredo'", "'ususenha_logado=***'"},
        {"ususenha_logado=segredo\tz", "ususenha_logado=***\tz"},
        {"ususenha_logado=segredo\r\nz", "ususenha_logado=***\r\nz"},
        {"<code>ususenha_logado=segredo</code>", "<code>ususenha_logado=***</code>"},
        // percent-encoded values are masked whole: "%26" is not a separator
        {"a?ususenha_logado=segredo%26123&cpf=1", "a?ususenha_logado=***&cpf=1"},
        {"a?ususenha_logado=s%EA%20nha%2B%25%23&x=1", "a?ususenha_logado=***&x=1"},
        // a value with "+" and "=" (form encoding)
        {"a?ususenha_logado=a+b=c&x=1", "a?ususenha_logado=***&x=1"},
    };
    for (const auto& c : casos) EXPECT_EQ(c.esperado, MascaraSenha(c.texto)) << c.texto;
}

TEST(MascaraSenha, ChaveEmQualquerCaixaEVariasVezes) {
    EXPECT_EQ("a?USUSENHA_LOGADO=***&b=1", MascaraSenha("a?USUSENHA_LOGADO=Segredo&b=1"));
    EXPECT_EQ("a?UsuSenha_Logado=***", MascaraSenha("a?UsuSenha_Logado=Segredo"));
    EXPECT_EQ("1: a?ususenha_logado=***&x=2 / 2: b?ususenha_logado=***",
              MascaraSenha("1: a?ususenha_logado=um&x=2 / 2: b?ususenha_logado=dois"));
    // The same key twice in one query: both values go.
    EXPECT_EQ("a?ususenha_logado=***&ususenha_logado=***&c=3",
              MascaraSenha("a?ususenha_logado=um&ususenha_logado=dois&c=3"));
}

TEST(MascaraSenha, SemValorOuSemChaveNadaMuda) {
    // An empty password has nothing to hide; the next parameter is untouched.
    EXPECT_EQ("a?ususenha_logado=&num_cupom=1", MascaraSenha("a?ususenha_logado=&num_cupom=1"));
    EXPECT_EQ("a?ususenha_logado=", MascaraSenha("a?ususenha_logado="));
    EXPECT_EQ("", MascaraSenha(""));
    // Other keys, and the key without "=", are not passwords.
    EXPECT_EQ("a?usulogin_logado=operador&senha=1", MascaraSenha("a?usulogin_logado=operador&senha=1"));
    EXPECT_EQ("ususenha_logado sem valor", MascaraSenha("ususenha_logado sem valor"));
    // Windows-1252 bytes around the key stay byte for byte.
    EXPECT_EQ("Endere\xE7o: a?ususenha_logado=*** \xC9", MascaraSenha("Endere\xE7o: a?ususenha_logado=s\xEAnha \xC9"));
}

TEST(MascaraSenha, NenhumaSenhaCodificadaSobraNoEnderecoDaTela) {
    // Whatever the operator typed, once percent-encoded as the page address
    // carries it, no byte of it survives the mask.
    const std::string senhas[] = {"segredo&123", "s\xEA nha&x=1#%2B", "a\"b'c<d>e", "\t\r\n", "ususenha_logado=x"};
    for (const auto& senha : senhas) {
        const std::string endereco =
            "http://h/modtef.php?tela=Venda&ususenha_logado=" + CodificaValorUrl(senha) + "&num_cupom=1";
        EXPECT_EQ("http://h/modtef.php?tela=Venda&ususenha_logado=***&num_cupom=1", MascaraSenha(endereco))
            << endereco;
    }
}

}  // namespace
