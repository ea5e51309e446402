#include "AdminCertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "SafeFile.h"

namespace {

constexpr int SecretFileMode = 0640;
constexpr long ValiditySeconds = 10L * 365 * 24 * 3600;

struct TFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* cert) const { X509_free(cert); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(ASN1_INTEGER* serial) const { ASN1_INTEGER_free(serial); }
    void operator()(BIGNUM* number) const { BN_free(number); }
};
template <class T>
using TOwned = std::unique_ptr<T, TFree>;

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("admin certificate: ") + what);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ESafeFileError(errno, path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

TAdminCertificate Create() {
    TOwned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    if (!key) Fail("cannot make a key");

    TOwned<X509> cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) Fail("cannot make a certificate");
    // A random 64-bit serial: a new certificate never repeats an old one's.
    unsigned char serialBytes[8];
    if (RAND_bytes(serialBytes, sizeof serialBytes) != 1) Fail("no random bytes");
    serialBytes[0] &= 0x7f;
    TOwned<BIGNUM> serialNumber(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
    TOwned<ASN1_INTEGER> serial(BN_to_ASN1_INTEGER(serialNumber.get(), nullptr));
    if (!serial || X509_set_serialNumber(cert.get(), serial.get()) != 1) Fail("serial");
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), ValiditySeconds))
        Fail("validity");
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* cn = reinterpret_cast<const unsigned char*>("quarn-lobby-server");
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 ||
        X509_set_pubkey(cert.get(), key.get()) != 1 ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        Fail("cannot sign the certificate");

    TOwned<BIO> keyBio(BIO_new(BIO_s_mem()));
    TOwned<BIO> certBio(BIO_new(BIO_s_mem()));
    if (!keyBio || !certBio ||
        PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_bio_X509(certBio.get(), cert.get()) != 1)
        Fail("cannot write PEM");
    return {BioText(keyBio.get()), BioText(certBio.get()), true};
}

}  // namespace

TAdminCertificate LoadOrCreateAdminCertificate(const std::string& dir) {
    const std::string keyPath = dir + "admin-key.pem";
    const std::string certPath = dir + "admin-cert.pem";
    if (std::filesystem::exists(keyPath) && std::filesystem::exists(certPath))
        return {ReadFile(keyPath), ReadFile(certPath), false};
    TAdminCertificate made = Create();
    // The key first: a certificate is never there without its key.
    WriteFileAtomic(keyPath, made.KeyPem, SecretFileMode);
    WriteFileAtomic(certPath, made.CertificatePem, SecretFileMode);
    return made;
}

std::string CertificateFingerprint(const std::string& certificatePem) {
    TOwned<BIO> bio(
        BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
    TOwned<X509> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) Fail("unreadable certificate");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1) Fail("digest");
    static const char* const Hex = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) text += ':';
        text += Hex[digest[i] >> 4];
        text += Hex[digest[i] & 15];
    }
    return text;
}
