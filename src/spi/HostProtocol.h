#pragma once
// The messages between the program and a plug-in host process. Each message is one
// channel message: a type, then little-endian fields; texts and byte strings carry their
// length. Source bytes and result pixels travel in sections sent along, never in messages.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace spihost {

enum TMessage : std::uint32_t {
  // program -> host
  hmLoad = 1,         // text path                           -> hmLoaded
  hmInfo,             // u32 module, i32 infoNo, i32 length   -> hmResult (rc, bytes)
  hmIsSupported,      // u32 module, text name, bytes header -> hmResult (rc)
  hmPictureInfo,      // u32 module, source                   -> hmResult (rc, i32 x 4, u16 x 2, i16)
  hmPicture,          // u32 module, u32 preview, source, lent -> hmProgress..., hmPictureResult
  hmProgressAnswer,   // i32 the callback's answer
  hmInfoList,         // u32 module, i32 length, i32 count, i32 listFrom -> hmInfoAnswers
  // host -> program
  hmLoaded = 101,     // u32 loaded, u32 entry points (bit per entry), text reported path
  hmResult,           // i32 result, then what the call gives
  hmProgress,         // i32 step, i32 steps
  hmPictureResult,    // i32 result, u32 flags, bytes information, u64 pixel size (+ section)
  hmCrashed,          // u32 fault kind, u32 the OS's code, u64 address: from the fault handler
  hmInfoAnswers,      // u32 n, then n x (i32 result, bytes the buffer without its trailing zeros)
};

// What the fault handler saw.
enum TFault : std::uint32_t { hfOther, hfPageFault, hfAbort, hfIllegal, hfArithmetic, hfStackOverflow };
// A source: u32 flags (the plug-in's), i64 length or offset, text file name (file
// sources); memory sources come as a section of length bytes sent along.

// lent: u32 id (0: none), u64 capacity, and its section sent along after the source's: the
// program's section for the picture (platform::TLentSection).
// hmPictureResult flags. hrLent: the pixels lie at the start of the lent section, and no
// section comes along.
enum : std::uint32_t { hrAliased = 1, hrLent = 2 };

class TWriter {
public:
  explicit TWriter(TMessage type) { U32(type); }
  TWriter& U32(std::uint32_t v) { return Raw(&v, 4); }
  TWriter& I32(std::int32_t v) { return Raw(&v, 4); }
  TWriter& U64(std::uint64_t v) { return Raw(&v, 8); }
  TWriter& I64(std::int64_t v) { return Raw(&v, 8); }
  TWriter& U16(std::uint16_t v) { return Raw(&v, 2); }
  TWriter& Bytes(const void* data, std::size_t size) {
    U32(static_cast<std::uint32_t>(size));
    return Raw(data, size);
  }
  TWriter& Text(const std::string& text) { return Bytes(text.data(), text.size()); }
  const std::vector<std::uint8_t>& Message() const noexcept { return FBytes; }
  // Bytes as they are: the hosts run on little-endian machines only (x86 in both bitnesses).
  TWriter& Raw(const void* data, std::size_t size) {
    const std::size_t at = FBytes.size();
    FBytes.resize(at + size);
    if (size > 0) std::memcpy(FBytes.data() + at, data, size);
    return *this;
  }

private:
  std::vector<std::uint8_t> FBytes;
};

// Reads fields off a message; every read past the end fails and leaves Ok() false.
class TReader {
public:
  explicit TReader(const std::vector<std::uint8_t>& message) noexcept : FData(message.data()), FSize(message.size()) {}
  bool Ok() const noexcept { return FOk; }
  std::uint32_t U32() noexcept { return Get<std::uint32_t>(); }
  std::int32_t I32() noexcept { return Get<std::int32_t>(); }
  std::uint64_t U64() noexcept { return Get<std::uint64_t>(); }
  std::int64_t I64() noexcept { return Get<std::int64_t>(); }
  std::uint16_t U16() noexcept { return Get<std::uint16_t>(); }
  // The bytes of a byte string, in place; null (and not Ok) when it does not fit.
  const std::uint8_t* Bytes(std::size_t& size) noexcept {
    const std::uint32_t n = U32();
    if (!FOk || n > FSize - FPos) {
      FOk = false;
      size = 0;
      return nullptr;
    }
    const std::uint8_t* p = FData + FPos;
    FPos += n;
    size = n;
    return p;
  }
  std::string Text() {
    std::size_t size = 0;
    const std::uint8_t* p = Bytes(size);
    return p ? std::string(reinterpret_cast<const char*>(p), size) : std::string();
  }

private:
  template <class T>
  T Get() noexcept {
    T v{};
    if (!FOk || sizeof v > FSize - FPos) {
      FOk = false;
      return v;
    }
    std::memcpy(&v, FData + FPos, sizeof v);
    FPos += sizeof v;
    return v;
  }
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
  bool FOk = true;
};

}  // namespace spihost
