#pragma once
// A fresh folder per test, removed with everything in it afterwards.
#include <filesystem>
#include <string>
#include <vector>

class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const noexcept { return FPath; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return FPath / name; }

private:
  std::filesystem::path FPath;
};

std::vector<unsigned char> ReadAllBytes(const std::filesystem::path& file);
void WriteAllBytes(const std::filesystem::path& file, const std::vector<unsigned char>& bytes);
