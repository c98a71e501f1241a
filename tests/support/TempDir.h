// A fresh directory under the system's temporary directory, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace stavenwick::testing {

class TempDir {
public:
    explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path());
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    // The names in the directory, sorted.
    std::vector<std::string> entries() const;

private:
    std::filesystem::path m_path;
};

// The names in a directory, sorted.
std::vector<std::string> listDirectory(const std::string& path);
std::vector<unsigned char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<unsigned char>& bytes);

} // namespace stavenwick::testing
