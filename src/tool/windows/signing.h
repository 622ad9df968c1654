// Authenticode signing of a packed Windows executable with an installed
// osslsigncode (or, on a Windows host without it, signtool).
#pragma once

#include <string>

namespace hux::tool {

struct SignRequest {
    std::string key;           // PEM or DER private key, or a PKCS#12 file (.pfx, .p12) holding key and chain
    std::string cert;          // the certificate (chain) for a PEM or DER key; none for PKCS#12
    std::string passFile;      // the key's pass phrase: the first line of this file
    std::string passEnv;       // or the value of this environment variable
    std::string timestampUrl;  // an RFC 3161 time-stamping server
    std::string hostTarget;    // windows-x64: signtool is the fallback, and the advice names it

    bool wanted() const { return !key.empty() || !cert.empty(); }
};

// Whether `path` names a PKCS#12 file (by its extension).
bool isPkcs12(const std::string& path);

// Why `request` cannot be honoured as given (a missing half, a pass phrase
// without a key), or empty.
std::string signRequestProblem(const SignRequest& request);

// Signs `path` in place; false with one line in `error` (the signing tool's
// own lines, which it writes on failure, go to standard error before it).
bool signExecutable(const std::string& path, const SignRequest& request, std::string& error);

}  // namespace hux::tool
