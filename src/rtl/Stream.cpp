#include "rtl/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rtl/BlockPool.h"
#include "rtl/Exception.h"

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, soCurrent);
  const std::int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr std::int64_t Chunk = 1 << 20;
  std::vector<std::uint8_t> buffer(static_cast<size_t>(std::min(count, Chunk)));
  std::int64_t left = count;
  while (left > 0) {
    const std::int64_t n = std::min(left, Chunk);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

std::int64_t THandleStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t n = FFile.Read(buffer, count);
  return n < 0 ? 0 : n;
}

std::int64_t THandleStream::Write(const void* buffer, std::int64_t count) {
  const std::int64_t n = FFile.Write(buffer, count);
  return n < 0 ? 0 : n;
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  return FFile.Seek(offset, static_cast<int>(origin));
}

void THandleStream::SetSize(std::int64_t newSize) {
  Seek(newSize, soBeginning);
  if (!FFile.Truncate()) throw EWriteError("Stream write error");
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string u = path.u8string();
  return std::string(u.begin(), u.end());
}

std::filesystem::path Utf8ToPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FOpenErrorText(const std::filesystem::path& fileName, const std::string& reason) {
  return "ファイル " + PathToUtf8(fileName) + " は開けません。 " + reason + " ";
}

std::string FCreateErrorText(const std::filesystem::path& fileName, const std::string& reason) {
  return "ファイル \"" + PathToUtf8(fileName) + "\" を作成できません。" + reason;
}

TFileStream::TFileStream(const std::filesystem::path& fileName, std::uint16_t mode) : FFileName(fileName) {
  std::string error;
  if (mode == fmCreate) {
    FFile = TFile::Open(fileName, TFileAccess::ReadWrite, TFileShare::Exclusive, TFileCreate::CreateAlways, error);
    if (!FFile.IsOpen()) throw EFCreateError(FCreateErrorText(fileName, error));
    return;
  }
  const auto access = (mode & 3) == fmOpenWrite       ? TFileAccess::Write
                      : (mode & 3) == fmOpenReadWrite ? TFileAccess::ReadWrite
                                                      : TFileAccess::Read;
  const auto share = (mode & 0xF0) == fmShareExclusive   ? TFileShare::Exclusive
                     : (mode & 0xF0) == fmShareDenyWrite ? TFileShare::DenyWrite
                     : (mode & 0xF0) == fmShareDenyRead  ? TFileShare::DenyRead
                     : (mode & 0xF0) == fmShareDenyNone  ? TFileShare::DenyNone
                                                         : TFileShare::Exclusive;
  FFile = TFile::Open(fileName, access, share, TFileCreate::OpenExisting, error);
  if (!FFile.IsOpen()) throw EFOpenError(FOpenErrorText(fileName, error));
}

std::int64_t TCustomMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition < 0 || FPosition >= FSize) return 0;
  const std::int64_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TCustomMemoryStream::Write(const void*, std::int64_t) { return 0; }

void TCustomMemoryStream::SetSize(std::int64_t) { throw EWriteError("Stream write error"); }

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case soBeginning: FPosition = offset; break;
    case soCurrent: FPosition += offset; break;
    case soEnd: FPosition = FSize + offset; break;
  }
  return FPosition;
}

TMemoryStream::~TMemoryStream() { FreeBlock(FBlock); }

void TMemoryStream::SetCapacity(std::int64_t newCapacity) {
  if (newCapacity == FCapacity) return;
  if (newCapacity == 0) {
    FreeBlock(FBlock);
    FBlock = nullptr;
    FCapacity = 0;
    SetPointer(nullptr, 0);
    return;
  }
  if (newCapacity < 0 || static_cast<std::uint64_t>(newCapacity) > SIZE_MAX / 2)
    throw EOutOfMemory("Out of memory while expanding memory stream");
  if (FBlock && static_cast<std::size_t>(newCapacity) <= BlockCapacity(FBlock)) {
    FCapacity = newCapacity;  // the block already has the room
    return;
  }
  std::uint8_t* grown = nullptr;
  try {
    grown = GetBlock(static_cast<std::size_t>(newCapacity), false);
  } catch (const EOutOfMemory&) {
    throw EOutOfMemory("Out of memory while expanding memory stream");
  }
  if (FBlock) std::memcpy(grown, FBlock, static_cast<std::size_t>(std::min(FSize, newCapacity)));
  FreeBlock(FBlock);
  FBlock = grown;
  FCapacity = newCapacity;
  SetPointer(FBlock, FSize);
}

void TMemoryStream::SetSize(std::int64_t newSize) {
  if (newSize < 0) throw EWriteError("Stream write error");
  const std::int64_t oldPosition = FPosition;
  if (newSize > FCapacity) {
    // Grow in 8 KiB steps, and by a quarter at least, so appending stays linear.
    std::int64_t cap = std::max(newSize, FCapacity + FCapacity / 4);
    cap = (cap + 0x1FFF) & ~std::int64_t{0x1FFF};
    SetCapacity(cap);
  }
  FSize = newSize;
  SetPointer(FBlock, FSize);
  if (oldPosition > newSize) FPosition = newSize;
}

void TMemoryStream::Clear() {
  SetCapacity(0);
  FSize = 0;
  FPosition = 0;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition < 0) return 0;
  const std::int64_t end = FPosition + count;
  if (end > FSize) {
    if (end > FCapacity) SetSize(end); else { FSize = end; SetPointer(FBlock, FSize); }
  }
  std::memcpy(FBlock + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  const std::int64_t count = stream.Size();
  SetSize(count);
  if (count != 0) stream.ReadBuffer(FBlock, count);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::filesystem::path& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& stream) {
  if (FSize != 0) stream.WriteBuffer(FBlock, FSize);
}

void TMemoryStream::SaveToFile(const std::filesystem::path& fileName) {
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}
