// The admin endpoint's self-signed key and certificate beside the executable
// ("admin-key.pem", "admin-cert.pem", mode 0640), made with OpenSSL's EVP API on the first
// start that needs them, and the certificate's SHA-256 fingerprint that clients pin. No
// Qt; any thread (the files are made once, at start-up, on the UI thread).
#pragma once

#include <string>

struct TAdminCertificate {
    std::string KeyPem;
    std::string CertificatePem;
    bool Created = false;  // made now, not read
};

// Reads the pair from dir (ending in a separator), or makes and writes a new one when
// either file is missing: an EC P-256 key, a certificate for subject CN=quarn-lobby-server
// signed with it (SHA-256), valid for ten years, with a random serial. Throws
// std::runtime_error (ESafeFileError for files) on failure.
TAdminCertificate LoadOrCreateAdminCertificate(const std::string& dir);

// Upper-case hex pairs joined by colons, as `openssl x509 -fingerprint -sha256` prints:
// the SHA-256 of the certificate's DER bytes. Throws std::runtime_error for bad PEM.
std::string CertificateFingerprint(const std::string& certificatePem);
