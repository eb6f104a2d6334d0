#pragma once
// Streams: the file and memory streams that images load from and save to.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "rtl/File.h"

enum TSeekOrigin : std::uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Read and Write return the number of bytes moved (0 at the end of the stream).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t newSize) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, soBeginning); }

  // All or nothing: a short read raises EReadError "Stream read error", a short write
  // EWriteError "Stream write error".
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies count bytes from source's position; count 0 copies the whole source from its start.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// File modes: one access value or'ed with one share value, or fmCreate.
enum : std::uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

// A stream over an open OS file.
class THandleStream : public TStream {
public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;
  // Writes the OS's buffers to the disk; false when the OS reports a failure.
  bool Flush() { return FFile.Flush(); }

protected:
  THandleStream() = default;
  TFile FFile;
};

// The file layer's texts for a file that cannot be opened or created: the path, then the
// system's reason. Every layer that reports such a failure uses these.
std::string FOpenErrorText(const std::filesystem::path& fileName, const std::string& reason);
std::string FCreateErrorText(const std::filesystem::path& fileName, const std::string& reason);

// Opens or creates a file; failures raise EFOpenError or EFCreateError with the texts
// above. fmCreate creates or truncates the file and opens it exclusively for reading and
// writing.
class TFileStream : public THandleStream {
public:
  TFileStream(const std::filesystem::path& fileName, std::uint16_t mode);
  const std::filesystem::path& FileName() const noexcept { return FFileName; }

private:
  std::filesystem::path FFileName;
};

// Displays a path as UTF-8, for messages.
std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(const std::string& utf8);

// A stream over a read-only block that it does not own.
class TCustomMemoryStream : public TStream {
public:
  TCustomMemoryStream() = default;
  TCustomMemoryStream(const void* memory, std::int64_t size) { SetPointer(memory, size); }
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t newSize) override;
  const void* Memory() const noexcept { return FMemory; }

protected:
  void SetPointer(const void* memory, std::int64_t size) noexcept {
    FMemory = static_cast<const std::uint8_t*>(memory);
    FSize = size;
  }
  const std::uint8_t* FMemory = nullptr;
  std::int64_t FSize = 0;
  std::int64_t FPosition = 0;
};

// A growable block in memory; Memory() exposes it. Growing past what can be
// allocated raises EOutOfMemory "Out of memory while expanding memory stream".
class TMemoryStream : public TCustomMemoryStream {
public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  void SetSize(std::int64_t newSize) override;
  void Clear();
  void* Memory() noexcept { return FBlock; }
  const void* Memory() const noexcept { return FBlock; }
  std::int64_t Capacity() const noexcept { return FCapacity; }
  void LoadFromStream(TStream& stream);
  void LoadFromFile(const std::filesystem::path& fileName);
  void SaveToStream(TStream& stream);
  void SaveToFile(const std::filesystem::path& fileName);

private:
  void SetCapacity(std::int64_t newCapacity);
  std::uint8_t* FBlock = nullptr;
  std::int64_t FCapacity = 0;
};
