// Error kinds of the manager. Every failure is an exception; the message is the
// text an operator or integrator reads in "LogErro.txt".
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& mensagem, std::string causa = "")
        : std::runtime_error(mensagem), Causa(std::move(causa)) {}
    std::string Message() const { return what(); }
    virtual const char* ClassName() const { return "Exception"; }
    // Why it happened, for the error log, when the message is a fixed text.
    std::string Causa;
    // The operator must see it in a box, not only the error log: set where
    // the failure concerns what the operator is waiting for.
    bool MostraAoOperador = false;
    // The system's error code behind it, when there is one (0: none).
    int Codigo = 0;
    // What the operator (and the journal) is told, in Portuguese, where the
    // message is a technical text: what went wrong and what to do.
    std::string ParaOOperador;
};

// Input/output failure of a device or directory, with the system's error code.
class EInOutError : public Exception {
public:
    EInOutError(int codigo, const std::string& mensagem) : Exception(mensagem), ErrorCode(codigo) {}
    const char* ClassName() const override { return "EInOutError"; }
    int ErrorCode;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EStreamError"; }
};

class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
    const char* ClassName() const override { return "EFCreateError"; }
};

class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
    const char* ClassName() const override { return "EFOpenError"; }
};

class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
    const char* ClassName() const override { return "EWriteError"; }
};

class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
    const char* ClassName() const override { return "EReadError"; }
};

class ERegistryException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ERegistryException"; }
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EConvertError"; }
};
