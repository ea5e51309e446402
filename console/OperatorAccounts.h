// The admin endpoint's accounts: "operators.ini" beside the executable, one section per
// account with its role and a salted yescrypt hash of its password (libcrypt). The file is
// never world-readable (written atomically with mode 0640) and only this class writes it.
// No Qt: the server and `quarn-admin passwd` share it. Any thread; a TOperatorAccounts
// keeps no state but its path, and every call reads the file afresh.
//
// File format (TIniFile):
//   [alice]
//   Role=operator
//   Hash=$y$j9T$...
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class TOperatorRole { Operator, Viewer };

// "operator" / "viewer", and back (nullopt for anything else).
const char* RoleName(TOperatorRole role);
std::optional<TOperatorRole> RoleFromName(const std::string& name);

struct TOperatorAccount {
    std::string Name;
    TOperatorRole Role = TOperatorRole::Viewer;
    std::string Hash;  // crypt(3) form, "$y$..."
};

class TOperatorAccounts {
  public:
    static constexpr const char* FileName = "operators.ini";

    // dir ends in a separator or not; the file is dir + "/operators.ini".
    static TOperatorAccounts InDir(const std::string& dir);
    explicit TOperatorAccounts(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    // Every account in file order. A missing file has none. Throws ESafeFileError when
    // the file cannot be read.
    std::vector<TOperatorAccount> Load() const;
    bool AnyAccount() const { return !Load().empty(); }

    // Adds the account or changes its password and role: the password is hashed with a
    // fresh salt and the file replaced atomically with mode 0640. Throws
    // std::invalid_argument for a name that ValidName refuses or an empty password, and
    // ESafeFileError / std::runtime_error when hashing or writing fails.
    void SetPassword(const std::string& name, const std::string& password, TOperatorRole role);
    // Removes the account; false when there was none.
    bool Remove(const std::string& name);

    // The account's role when the name exists and the password matches its hash; nullopt
    // otherwise. A name without an account costs the same hashing as one with, and the
    // hashes are compared in constant time, so neither timing tells which names exist.
    std::optional<TOperatorRole> Verify(const std::string& name, const std::string& password) const;

    // Names are 1 to 32 bytes of letters, digits, "-", "_" and ".".
    static bool ValidName(const std::string& name);
    // A yescrypt hash of the password with a fresh random salt.
    static std::string HashPassword(const std::string& password);
    // Whether the password matches the hash (constant-time comparison).
    static bool CheckPassword(const std::string& password, const std::string& hash);

  private:
    std::string path_;
};
