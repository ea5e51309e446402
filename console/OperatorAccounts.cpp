#include "OperatorAccounts.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <stdexcept>

#include "IniFile.h"
#include "SafeFile.h"

namespace {

constexpr int SecretFileMode = 0640;
// yescrypt's cost factor; 0 lets libcrypt choose its default (Debian's /etc/shadow cost).
constexpr unsigned long HashCost = 0;

// A hash of a password nobody has, so that an unknown name costs a hashing too.
const std::string& DummyHash() {
    static const std::string hash = TOperatorAccounts::HashPassword("no such account");
    return hash;
}

}  // namespace

const char* RoleName(TOperatorRole role) {
    return role == TOperatorRole::Operator ? "operator" : "viewer";
}

std::optional<TOperatorRole> RoleFromName(const std::string& name) {
    if (name == "operator") return TOperatorRole::Operator;
    if (name == "viewer") return TOperatorRole::Viewer;
    return std::nullopt;
}

TOperatorAccounts TOperatorAccounts::InDir(const std::string& dir) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    return TOperatorAccounts(path + FileName);
}

bool TOperatorAccounts::ValidName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::vector<TOperatorAccount> TOperatorAccounts::Load() const {
    const TIniFile ini = TIniFile::Load(path_);
    std::vector<TOperatorAccount> accounts;
    for (const std::string& name : ini.SectionNames()) {
        const auto role = RoleFromName(ini.ReadString(name, "Role", ""));
        const std::string hash = ini.ReadString(name, "Hash", "");
        // An entry that names no role or hash cannot log in; it is not an account.
        if (!ValidName(name) || !role || hash.empty()) continue;
        accounts.push_back({name, *role, hash});
    }
    return accounts;
}

std::string TOperatorAccounts::HashPassword(const std::string& password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null random source makes libcrypt draw the salt from the system's random source.
    if (!crypt_gensalt_rn("$y$", HashCost, nullptr, 0, salt, sizeof salt))
        throw std::runtime_error("cannot make a password salt");
    crypt_data data{};
    const char* hash = crypt_r(password.c_str(), salt, &data);
    if (!hash || hash[0] == '*') throw std::runtime_error("cannot hash the password");
    return hash;
}

bool TOperatorAccounts::CheckPassword(const std::string& password, const std::string& hash) {
    crypt_data data{};
    const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
    if (!computed || computed[0] == '*') return false;
    const std::string result = computed;
    return result.size() == hash.size() &&
           CRYPTO_memcmp(result.data(), hash.data(), hash.size()) == 0;
}

void TOperatorAccounts::SetPassword(const std::string& name, const std::string& password,
                                    TOperatorRole role) {
    if (!ValidName(name)) throw std::invalid_argument("invalid account name: " + name);
    if (password.empty()) throw std::invalid_argument("empty password");
    const std::string hash = HashPassword(password);
    TIniFile ini = TIniFile::Load(path_);
    ini.WriteString(name, "Role", RoleName(role));
    ini.WriteString(name, "Hash", hash);
    WriteFileAtomic(path_, ini.Serialize(), SecretFileMode);
}

bool TOperatorAccounts::Remove(const std::string& name) {
    TIniFile ini = TIniFile::Load(path_);
    if (!ini.SectionExists(name)) return false;
    ini.EraseSection(name);
    WriteFileAtomic(path_, ini.Serialize(), SecretFileMode);
    return true;
}

std::optional<TOperatorRole> TOperatorAccounts::Verify(const std::string& name,
                                                       const std::string& password) const {
    for (const TOperatorAccount& account : Load())
        if (SameIniName(account.Name, name))
            return CheckPassword(password, account.Hash) ? std::optional(account.Role)
                                                         : std::nullopt;
    CheckPassword(password, DummyHash());
    return std::nullopt;
}
