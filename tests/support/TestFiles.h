// Files for tests: whole files read and written as bytes, and a temporary folder that goes
// with its object. Any thread; a TempDir belongs to one test.
#pragma once

#include <string>

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

class TempDir {
  public:
    // A new folder under /tmp named after the prefix; throws when none can be made.
    explicit TempDir(const std::string& prefix = "quarn-test");
    // Removes the folder and everything in it, first giving its owner every permission back.
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending in "/".
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};
