#pragma once
// INI files held in memory: the whole file is read at construction and written back
// whole by UpdateFile, in the encoding it was read in.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// How the file's text was stored; a byte-order mark says which, its absence means the
// ANSI code page.
enum class TIniEncoding : std::uint8_t { ieAnsi, ieUtf8, ieUtf16LE, ieUtf16BE };

class TMemIniFile {
public:
  // Reads the file, opened for reading with other readers allowed but no writers. A
  // missing file gives empty contents; a file that exists but cannot be opened or read
  // raises the file layer's error (EFOpenError, EReadError).
  explicit TMemIniFile(std::filesystem::path fileName);

  const std::filesystem::path& FileName() const noexcept { return FFileName; }
  TIniEncoding Encoding() const noexcept { return FEncoding; }

  // Section and key names match without regard to ASCII letter case; the first section
  // and the first key of a name win when a file repeats one.
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key, const std::string& defaultValue) const;
  // Hexadecimal after "$", or after "0x"/"0X" when the value has at least three
  // characters; decimal otherwise. Anything that does not convert to a 32-bit integer
  // gives the default.
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  // A missing section is appended at the end, a missing key at the end of its section;
  // an existing key keeps its place and takes the name as given here.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  std::vector<std::string> ReadSections() const;

  // The text UpdateFile writes, before encoding: every section as "[name]", its lines,
  // then one empty line; lines end in CR LF.
  std::string Text() const;
  // Writes the whole file, with the byte-order mark it was read with; a file that did
  // not exist is written in the ANSI code page without a mark. The new content replaces
  // the old in one step (SaveBytesReplacing); failures raise EFCreateError and leave the
  // old file as it was.
  void UpdateFile() const;

  // Parses text already decoded to UTF-8, replacing the contents.
  void SetText(std::string_view utf8);

private:
  struct TLine {
    std::string Name;   // the key; empty for a line without "="
    std::string Value;  // the value, or the whole line when it has no "="
    bool HasValue = false;
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
  };
  const TSection* FindSection(std::string_view name) const;
  TSection* FindSection(std::string_view name);

  std::filesystem::path FFileName;
  TIniEncoding FEncoding = TIniEncoding::ieAnsi;
  std::vector<TSection> FSections;
};

// The integer rule of ReadInteger on a bare value; false when it does not convert.
bool TryIniStrToInt(std::string_view text, int& value) noexcept;
