#pragma once
// Fixtures of the conversion tests: DIB records built in code, owners for result records,
// the pseudo-random golden image (the same generator as tests/tools/convert_reference.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dib/Convert.h"

namespace convtest {

inline std::size_t Stride(int width, int bits) { return static_cast<std::size_t>(((width * bits + 31) / 32) * 4); }

// A source record over pixel memory held by the test.
struct TSource {
  TVxDIBRecord Record{};
  std::vector<std::uint8_t> Pixels;

  TSource(int width, int height, int bits, std::uint32_t compression = 0) {
    const int rows = height < 0 ? -height : height;
    Pixels.assign(Stride(width, bits) * static_cast<std::size_t>(rows), 0);
    Record.BitsSize = static_cast<std::uint32_t>(Pixels.size());
    Record.Bits = Pixels.data();
    TVxBitmapInfoHeader& h = Record.Header;
    h.biSize = 40;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<std::uint16_t>(bits);
    h.biCompression = compression;
    h.biSizeImage = 1234;
    h.biXPelsPerMeter = 2835;
    h.biYPelsPerMeter = 3780;
    h.biClrUsed = bits <= 8 ? (1u << bits) : 0;
    h.biClrImportant = 7;
  }
  TSource(const TSource&) = delete;
  TSource& operator=(const TSource&) = delete;

  int Rows() const { return Record.Header.biHeight < 0 ? -Record.Header.biHeight : Record.Header.biHeight; }
  std::uint8_t* Row(int y) { return Pixels.data() + static_cast<std::size_t>(y) * Stride(Record.Header.biWidth, Record.Header.biBitCount); }
  void SetRGB(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::uint8_t* p = Row(y) + 3 * x;
    p[0] = b;
    p[1] = g;
    p[2] = r;
  }
  void Fill(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    for (int y = 0; y < Rows(); ++y)
      for (int x = 0; x < Record.Header.biWidth; ++x) SetRGB(x, y, r, g, b);
  }
  void SetIndex(int x, int y, unsigned index) {
    std::uint8_t* row = Row(y);
    switch (Record.Header.biBitCount) {
      case 1:
        if (index) row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (0x80 >> (x % 8)));
        else row[x / 8] = static_cast<std::uint8_t>(row[x / 8] & ~(0x80 >> (x % 8)));
        break;
      case 4:
        row[x / 2] = static_cast<std::uint8_t>(x % 2 ? (row[x / 2] & 0xF0) | index : (row[x / 2] & 0x0F) | (index << 4));
        break;
      default: row[x] = static_cast<std::uint8_t>(index);
    }
  }
  void SetColor(int i, std::uint8_t r, std::uint8_t g, std::uint8_t b) { Record.ColorTable[i] = TVxRGBQuad{b, g, r, 0}; }
};

// A result record; its pixel memory goes back through ReleaseMemory.
struct TResult {
  TVxDIBRecord Record{};
  bool UseFMO;
  explicit TResult(bool useFMO = false) : UseFMO(useFMO) {}
  ~TResult() {
    if (Record.Bits) ReleaseMemory(Record.MappingHandle, Record.Bits, UseFMO);
  }
  TResult(const TResult&) = delete;
  TResult& operator=(const TResult&) = delete;

  const std::uint8_t* Bits() const { return static_cast<const std::uint8_t*>(Record.Bits); }
  int Width() const { return Record.Header.biWidth; }
  int Rows() const { return Record.Header.biHeight < 0 ? -Record.Header.biHeight : Record.Header.biHeight; }
  std::size_t RowBytes() const { return Stride(Record.Header.biWidth, Record.Header.biBitCount); }
  const std::uint8_t* Row(int y) const { return Bits() + static_cast<std::size_t>(y) * RowBytes(); }
  unsigned Index(int x, int y) const {
    const std::uint8_t* row = Row(y);
    switch (Record.Header.biBitCount) {
      case 1: return (row[x / 8] >> (7 - x % 8)) & 1u;
      case 4: return x % 2 ? row[x / 2] & 0x0Fu : row[x / 2] >> 4u;
      default: return row[x];
    }
  }
  std::vector<std::uint8_t> Block() const { return {Bits(), Bits() + Record.BitsSize}; }
};

inline bool SameColor(const TVxRGBQuad& q, int r, int g, int b) {
  return q.rgbRed == r && q.rgbGreen == g && q.rgbBlue == b && q.rgbReserved == 0;
}

inline std::string ColorText(const TVxRGBQuad& q) {
  std::string text = "(";
  text += std::to_string(q.rgbRed);
  text += ", ";
  text += std::to_string(q.rgbGreen);
  text += ", ";
  text += std::to_string(q.rgbBlue);
  text += ")";
  return text;
}

// The first biClrUsed entries as rrggbb hex, the form of the golden data.
inline std::string PaletteHex(const TVxDIBRecord& dib) {
  static const char Digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint32_t i = 0; i < dib.Header.biClrUsed && i < 256; ++i) {
    const TVxRGBQuad& q = dib.ColorTable[i];
    for (const std::uint8_t v : {q.rgbRed, q.rgbGreen, q.rgbBlue}) {
      out += Digits[v >> 4];
      out += Digits[v & 15];
    }
  }
  return out;
}

// A snapshot of everything a conversion must leave alone in its source.
struct TSnapshot {
  std::vector<std::uint8_t> Record;
  std::vector<std::uint8_t> Pixels;
  explicit TSnapshot(const TSource& s)
      : Record(reinterpret_cast<const std::uint8_t*>(&s.Record),
               reinterpret_cast<const std::uint8_t*>(&s.Record) + sizeof(TVxDIBRecord)),
        Pixels(s.Pixels) {}
  bool Matches(const TSource& s) const { return TSnapshot(s).Record == Record && s.Pixels == Pixels; }
};

// The step callback of a test: counts its calls and checks that the sender is always null.
struct TStepCounter {
  int Calls = 0;
  bool NonNullSender = false;
  TVxStepEvent Event() {
    return [this](TObject* sender) {
      ++Calls;
      if (sender) NonNullSender = true;
    };
  }
};

// 32-bit linear congruential generator; the reference model uses the same one.
struct TLcg {
  std::uint32_t State;
  std::uint8_t Byte() {
    State = State * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(State >> 24);
  }
};

inline std::uint64_t Fnv1a64(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

// Gradients with noise and flat patches, as the reference model makes them.
inline void FillGoldenImage(TSource& s, std::uint32_t seed) {
  TLcg rnd{seed};
  for (int y = 0; y < s.Rows(); ++y)
    for (int x = 0; x < s.Record.Header.biWidth; ++x) {
      const int n1 = rnd.Byte(), n2 = rnd.Byte(), n3 = rnd.Byte();
      if ((x / 16 + y / 16) % 5 == 0)
        s.SetRGB(x, y, 200, static_cast<std::uint8_t>((x * 2) & 255), 40);
      else
        s.SetRGB(x, y, static_cast<std::uint8_t>((x * 2 + (n1 & 63)) & 255),
                 static_cast<std::uint8_t>((y * 3 + (n2 & 127)) & 255), static_cast<std::uint8_t>(((x + y) + n3) & 255));
    }
}

// A 256-entry random colour table and pixels that use 40 of its entries.
inline void FillGolden8BitImage(TSource& s, std::uint32_t seed) {
  TLcg rnd{seed};
  for (int i = 0; i < 256; ++i) {
    const std::uint8_t r = rnd.Byte(), g = rnd.Byte(), b = rnd.Byte();
    s.SetColor(i, r, g, b);
  }
  std::uint8_t used[40];
  for (auto& u : used) u = rnd.Byte();
  for (int y = 0; y < s.Rows(); ++y)
    for (int x = 0; x < s.Record.Header.biWidth; ++x) s.SetIndex(x, y, used[rnd.Byte() % 40]);
}

}  // namespace convtest
