// The run-length codecs: hand-computed streams in both directions, the encoder's space
// rule, every failure message, truncated and hostile streams, and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dib/DIBTestSupport.h"
#include "dib/Rle.h"
#include "fuzz/FuzzInput.h"
#include "support/TempDir.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

std::int64_t RowSize(std::int64_t width, int bitCount) { return (width * bitCount + 31) / 32 * 4; }

// A source record over a block the test owns. The block is exactly as large as the
// bytes given, so a codec that reads past BitsSize trips the address sanitizer.
struct TSource {
  TBytes Bits;
  TVxDIBRecord Record{};

  TSource(std::int32_t width, std::int32_t height, std::uint16_t bitCount, std::uint32_t compression, TBytes bits)
      : Bits(std::move(bits)) {
    Record.Header.biSize = 40;
    Record.Header.biWidth = width;
    Record.Header.biHeight = height;
    Record.Header.biPlanes = 1;
    Record.Header.biBitCount = bitCount;
    Record.Header.biCompression = compression;
    Record.Header.biSizeImage = compression != 0 ? static_cast<std::uint32_t>(Bits.size()) : 0;
    Record.Header.biXPelsPerMeter = 3780;
    Record.Header.biYPelsPerMeter = 2835;
    Record.Header.biClrUsed = 16;
    Record.Header.biClrImportant = 3;
    // A colour table the codecs must carry over unchanged.
    for (std::size_t i = 0; i < sizeof Record.ColorTable; ++i)
      Record.TableBytes()[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Record.BitsSize = static_cast<std::uint32_t>(Bits.size());
    Record.Bits = Bits.empty() ? nullptr : Bits.data();
  }
};

// A codec's result; releases the block the codec allocated.
struct TResult {
  TVxDIBRecord Record{};
  bool UseFMO = false;

  TResult() = default;
  explicit TResult(bool useFMO) : UseFMO(useFMO) {}
  TResult(const TResult&) = delete;
  TResult& operator=(const TResult&) = delete;
  ~TResult() {
    if (Record.Bits) ReleaseMemory(Record.MappingHandle, Record.Bits, UseFMO);
  }
  TBytes Bytes() const {
    return TBytes(Record.Bits, Record.Bits + Record.BitsSize);
  }
};

using TCodec = void (*)(const TVxDIBRecord&, TVxDIBRecord&, bool);

TSource Rle8(std::int32_t width, std::int32_t height, TBytes stream) {
  return TSource(width, height, 8, 1, std::move(stream));
}
TSource Rle4(std::int32_t width, std::int32_t height, TBytes stream) {
  return TSource(width, height, 4, 2, std::move(stream));
}

TBytes Decode(TCodec codec, const TSource& source) {
  TResult result;
  codec(source.Record, result.Record, false);
  return result.Bytes();
}
TBytes Decode8(std::int32_t width, std::int32_t height, TBytes stream) {
  return Decode(Convert8BitRLETo8BitRGB, Rle8(width, height, std::move(stream)));
}
TBytes Decode4(std::int32_t width, std::int32_t height, TBytes stream) {
  return Decode(Convert4BitRLETo4BitRGB, Rle4(width, height, std::move(stream)));
}

// Runs f, expects exception class E with exactly this message.
template <class E>
void ExpectError(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception class: " << e.what() << ", expected: " << message;
  }
}

bool SameHeader(const TVxBitmapInfoHeader& a, const TVxBitmapInfoHeader& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---- Decoders: hand-computed streams -------------------------------------------------

TEST(RleDecode, EightBitRunLeavesTheRestOfTheRowZero) {
  EXPECT_EQ(Decode8(4, 1, {0x03, 0x05, 0x00, 0x01}), (TBytes{5, 5, 5, 0}));
}

TEST(RleDecode, FourBitRunAlternatesHighAndLowNibble) {
  // Pixels 1, 2, 1, 2, 1, 0; a 6-pixel row is padded to 4 bytes.
  EXPECT_EQ(Decode4(6, 1, {0x05, 0x12, 0x00, 0x01}), (TBytes{0x12, 0x12, 0x10, 0x00}));
}

TEST(RleDecode, EightBitStreamWithEveryKindOfItem) {
  // 5 x 3, rows of 8 bytes:
  //   run 2 x 7 | absolute 1 2 3 (+ pad) | end of line | delta (1, 1) | run 1 x 9 | end
  const TBytes stream{0x02, 0x07, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00,
                      0x00, 0x02, 0x01, 0x01, 0x01, 0x09, 0x00, 0x01};
  EXPECT_EQ(Decode8(5, 3, stream), (TBytes{7, 7, 1, 2, 3, 0, 0, 0,  //
                                           0, 0, 0, 0, 0, 0, 0, 0,  //
                                           0, 9, 0, 0, 0, 0, 0, 0}));
}

TEST(RleDecode, FourBitStreamWithEveryKindOfItem) {
  // 5 x 2, rows of 4 bytes:
  //   absolute of 5 nibbles 1 2 3 4 5 (3 bytes, padded to 4) | end of line |
  //   delta (3, 0) | run 2 x 0xAB starting at odd column 3 | end
  const TBytes stream{0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x00, 0x00,
                      0x00, 0x02, 0x03, 0x00, 0x02, 0xAB, 0x00, 0x01};
  EXPECT_EQ(Decode4(5, 2, stream), (TBytes{0x12, 0x34, 0x50, 0x00,  //
                                           0x00, 0x0A, 0xB0, 0x00}));
}

TEST(RleDecode, FourBitDeltaToOddColumnFillsTheLowNibble) {
  // 4 x 1: pixel 0 = 0xC, then skip to column 3 and write pixel 0xD there.
  EXPECT_EQ(Decode4(4, 1, {0x01, 0xC0, 0x00, 0x02, 0x02, 0x00, 0x01, 0xD0, 0x00, 0x01}),
            (TBytes{0xC0, 0x0D, 0x00, 0x00}));
}

TEST(RleDecode, FourBitAbsoluteOfOddCountSkipsItsPadding) {
  // 3 nibbles take 2 bytes (even already); 7 nibbles take 4 bytes; 9 nibbles take 5, padded to 6.
  EXPECT_EQ(Decode4(3, 1, {0x00, 0x03, 0x12, 0x30, 0x00, 0x01}), (TBytes{0x12, 0x30, 0, 0}));
  EXPECT_EQ(Decode4(7, 1, {0x00, 0x07, 0x12, 0x34, 0x56, 0x70, 0x00, 0x01}), (TBytes{0x12, 0x34, 0x56, 0x70}));
  EXPECT_EQ(Decode4(9, 1, {0x00, 0x09, 0x12, 0x34, 0x56, 0x78, 0x90, 0xEE, 0x00, 0x01}),
            (TBytes{0x12, 0x34, 0x56, 0x78, 0x90, 0, 0, 0}));
}

TEST(RleDecode, EightBitAbsoluteOfOddCountSkipsItsPadding) {
  // The pad byte (0xEE) must not be taken as the start of the next pair.
  EXPECT_EQ(Decode8(3, 2, {0x00, 0x03, 4, 5, 6, 0xEE, 0x00, 0x00, 0x03, 0x08, 0x00, 0x01}),
            (TBytes{4, 5, 6, 0, 8, 8, 8, 0}));
}

TEST(RleDecode, ResultHeaderAndRecord) {
  for (const std::int32_t height : {2, -2}) {
    const TSource source = Rle8(3, height, {0x03, 0x01, 0x00, 0x01});
    const TVxDIBRecord before = source.Record;
    TResult result;
    Convert8BitRLETo8BitRGB(source.Record, result.Record, false);
    const TVxBitmapInfoHeader& h = result.Record.Header;
    EXPECT_EQ(h.biBitCount, 8);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biHeight, height);  // rows stay in the order the block stores them
    EXPECT_EQ(h.biWidth, 3);
    EXPECT_EQ(h.biClrUsed, 16u);
    EXPECT_EQ(h.biClrImportant, 3u);
    EXPECT_EQ(h.biYPelsPerMeter, 2835);
    EXPECT_EQ(std::memcmp(result.Record.ColorTable, source.Record.ColorTable, sizeof source.Record.ColorTable), 0);
    EXPECT_EQ(result.Record.BitsSize, 8u);
    EXPECT_NE(result.Record.Bits, source.Record.Bits);
    EXPECT_EQ(result.Bytes(), (TBytes{1, 1, 1, 0, 0, 0, 0, 0}));
    // The source is untouched.
    EXPECT_TRUE(SameHeader(source.Record.Header, before.Header));
    EXPECT_EQ(source.Record.Bits, before.Bits);
    EXPECT_EQ(source.Bits, (TBytes{0x03, 0x01, 0x00, 0x01}));
  }
}

TEST(RleDecode, FourBitResultHeader) {
  const TSource source = Rle4(3, 1, {0x03, 0x12, 0x00, 0x01});
  TResult result;
  Convert4BitRLETo4BitRGB(source.Record, result.Record, false);
  EXPECT_EQ(result.Record.Header.biBitCount, 4);
  EXPECT_EQ(result.Record.Header.biCompression, 0u);
  EXPECT_EQ(result.Record.Header.biSizeImage, 0u);
  EXPECT_EQ(result.Bytes(), (TBytes{0x12, 0x10, 0, 0}));
}

TEST(RleDecode, FileMappingBlock) {
  const TSource source = Rle8(300, 2, {0xFF, 0x04, 0x2D, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x01});
  TResult result(true);
  Convert8BitRLETo8BitRGB(source.Record, result.Record, true);
  const TBytes bytes = result.Bytes();
  ASSERT_EQ(bytes.size(), 600u);
  EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + 300, 4), 300);
  EXPECT_EQ(bytes[300], 9);
  EXPECT_EQ(std::count(bytes.begin() + 301, bytes.end(), 0), 299);
}

// ---- Decoders: boundaries and failures ----------------------------------------------

struct TDecodeCase {
  const char* Name;
  int BitCount;
  std::int32_t Width, Height;
  TBytes Stream;
  const char* Error;  // null: decodes to Expected
  TBytes Expected;
};

class RleDecodeBoundary : public ::testing::TestWithParam<TDecodeCase> {};

TEST_P(RleDecodeBoundary, AcceptsOrRejects) {
  const TDecodeCase& c = GetParam();
  const TSource source = c.BitCount == 8 ? Rle8(c.Width, c.Height, c.Stream) : Rle4(c.Width, c.Height, c.Stream);
  const TCodec codec = c.BitCount == 8 ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB;
  const TBytes before = source.Bits;
  if (!c.Error) {
    EXPECT_EQ(Decode(codec, source), c.Expected);
    return;
  }
  TResult result;
  result.Record.BitsSize = 1234;  // the destination stays as it was
  ExpectError<EVxDIBInvalidDIB>([&] { codec(source.Record, result.Record, false); }, c.Error);
  EXPECT_EQ(result.Record.Bits, nullptr);
  EXPECT_EQ(result.Record.BitsSize, 1234u);
  result.Record.BitsSize = 0;
  EXPECT_EQ(source.Bits, before);
}

const char* const Bad1 = "Convert8BitRLETo8BitRGB: Bad RLE Data 1";
const char* const Bad2 = "Convert8BitRLETo8BitRGB: Bad RLE Data 2";
const char* const Bad3 = "Convert8BitRLETo8BitRGB: Bad RLE Data 3";
const char* const Bad4 = "Convert8BitRLETo8BitRGB: Bad RLE Data 4";
const char* const Bad5 = "Convert4BitRLETo4BitRGB: Bad RLE Data 5";
const char* const Bad6 = "Convert4BitRLETo4BitRGB: Bad RLE Data 6";
const char* const Bad7 = "Convert4BitRLETo4BitRGB: Bad RLE Data 7";
const char* const Bad8 = "Convert4BitRLETo4BitRGB: Bad RLE Data 8";
const char* const End8 = "Convert8BitRLETo8BitRGB: Unexpected End of RLE Data";
const char* const End4 = "Convert4BitRLETo4BitRGB: Unexpected End of RLE Data";

const std::vector<TDecodeCase>& DecodeCases() {
  static const std::vector<TDecodeCase> cases{
        // Encoded runs: the right edge is inclusive.
        TDecodeCase{"RunToRightEdge8", 8, 4, 1, {0x04, 0x06, 0x00, 0x01}, nullptr, {6, 6, 6, 6}},
        TDecodeCase{"RunPastRightEdge8", 8, 4, 1, {0x05, 0x06, 0x00, 0x01}, Bad4, {}},
        TDecodeCase{"RunAfterRunPastEdge8", 8, 4, 1, {0x02, 0x06, 0x03, 0x06, 0x00, 0x01}, Bad4, {}},
        TDecodeCase{"RunToEvenLimit4", 4, 3, 1, {0x04, 0x12, 0x00, 0x01}, nullptr, {0x12, 0x12, 0, 0}},
        TDecodeCase{"RunPastEvenLimit4", 4, 3, 1, {0x05, 0x12, 0x00, 0x01}, Bad8, {}},
        TDecodeCase{"RunBelowLastRow8", 8, 1, 1, {0x00, 0x00, 0x01, 0x05, 0x00, 0x01}, Bad4, {}},
        TDecodeCase{"RunBelowLastRow4", 4, 1, 1, {0x00, 0x00, 0x01, 0x50, 0x00, 0x01}, Bad8, {}},
        // End of line: one directly after the last row is accepted, a second is not.
        TDecodeCase{"EndOfLineAfterLastRow8", 8, 1, 1, {0x01, 0x05, 0x00, 0x00, 0x00, 0x01}, nullptr, {5, 0, 0, 0}},
        TDecodeCase{"EndOfLineBeyondLastRow8", 8, 1, 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, Bad1, {}},
        TDecodeCase{"EndOfLineAfterLastRow4", 4, 1, 1, {0x01, 0x50, 0x00, 0x00, 0x00, 0x01}, nullptr, {0x50, 0, 0, 0}},
        TDecodeCase{"EndOfLineBeyondLastRow4", 4, 1, 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, Bad5, {}},
        // Deltas: to the limit column and the row after the last one is fine; beyond is not.
        TDecodeCase{"DeltaToCorner8", 8, 3, 2, {0x00, 0x02, 0x03, 0x02, 0x00, 0x01}, nullptr, TBytes(8, 0)},
        TDecodeCase{"DeltaPastRightEdge8", 8, 3, 2, {0x00, 0x02, 0x04, 0x00, 0x00, 0x01}, Bad2, {}},
        TDecodeCase{"DeltaPastLastRow8", 8, 3, 2, {0x00, 0x02, 0x00, 0x03, 0x00, 0x01}, Bad2, {}},
        TDecodeCase{"DeltaAddsToColumn8", 8, 3, 1, {0x02, 0x01, 0x00, 0x02, 0x02, 0x00, 0x00, 0x01}, Bad2, {}},
        TDecodeCase{"DeltaToEvenLimit4", 4, 3, 1, {0x00, 0x02, 0x04, 0x01, 0x00, 0x01}, nullptr, TBytes(4, 0)},
        TDecodeCase{"DeltaPastEvenLimit4", 4, 3, 1, {0x00, 0x02, 0x05, 0x00, 0x00, 0x01}, Bad6, {}},
        TDecodeCase{"DeltaPastLastRow4", 4, 3, 1, {0x00, 0x02, 0x00, 0x02, 0x00, 0x01}, Bad6, {}},
        TDecodeCase{"RunAfterDeltaToLimit8", 8, 3, 1, {0x00, 0x02, 0x03, 0x00, 0x01, 0x07, 0x00, 0x01}, Bad4, {}},
        TDecodeCase{"DeltaThenRun8", 8, 4, 2, {0x00, 0x02, 0x02, 0x01, 0x02, 0x07, 0x00, 0x01}, nullptr,
                    {0, 0, 0, 0, 0, 0, 7, 7}},
        // Absolute runs.
        TDecodeCase{"AbsoluteToRightEdge8", 8, 3, 1, {0x00, 0x03, 1, 2, 3, 0, 0x00, 0x01}, nullptr, {1, 2, 3, 0}},
        TDecodeCase{"AbsolutePastRightEdge8", 8, 3, 1, {0x01, 0x09, 0x00, 0x03, 1, 2, 3, 0, 0x00, 0x01}, Bad3, {}},
        TDecodeCase{"AbsoluteBelowLastRow8", 8, 3, 1, {0x00, 0x00, 0x00, 0x03, 1, 2, 3, 0, 0x00, 0x01}, Bad3, {}},
        TDecodeCase{"AbsoluteToEvenLimit4", 4, 3, 1, {0x00, 0x04, 0x12, 0x34, 0x00, 0x01}, nullptr, {0x12, 0x34, 0, 0}},
        TDecodeCase{"AbsolutePastEvenLimit4", 4, 3, 1, {0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x00, 0x01}, Bad7, {}},
        TDecodeCase{"AbsoluteBelowLastRow4", 4, 3, 1, {0x00, 0x00, 0x00, 0x03, 0x12, 0x30, 0x00, 0x01}, Bad7, {}},
        // Streams that end before their end of bitmap.
        TDecodeCase{"Empty8", 8, 4, 1, {}, End8, {}},
        TDecodeCase{"NoEndOfBitmap8", 8, 4, 1, {0x04, 0x06, 0x00, 0x00}, End8, {}},
        TDecodeCase{"OddLength8", 8, 4, 1, {0x04, 0x06, 0x00}, End8, {}},
        TDecodeCase{"DeltaCutShort8", 8, 4, 1, {0x00, 0x02, 0x01}, End8, {}},
        TDecodeCase{"AbsoluteCutShort8", 8, 4, 1, {0x00, 0x04, 1, 2, 3}, End8, {}},
        TDecodeCase{"AbsolutePadMissing8", 8, 4, 1, {0x00, 0x03, 1, 2, 3}, End8, {}},
        TDecodeCase{"Empty4", 4, 4, 1, {}, End4, {}},
        TDecodeCase{"NoEndOfBitmap4", 4, 4, 1, {0x04, 0x06, 0x00, 0x00}, End4, {}},
        TDecodeCase{"AbsoluteCutShort4", 4, 8, 1, {0x00, 0x07, 0x12, 0x34, 0x56}, End4, {}},
        // Bytes after the end of bitmap are never looked at.
        TDecodeCase{"TrailingBytes8", 8, 2, 1, {0x02, 0x03, 0x00, 0x01, 0xFF, 0xFF, 0x00}, nullptr, {3, 3, 0, 0}}};
  return cases;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RleDecodeBoundary, ::testing::ValuesIn(DecodeCases()),
    [](const ::testing::TestParamInfo<TDecodeCase>& param) { return std::string(param.param.Name); });

// Every proper prefix of a valid stream lacks its end of bitmap and must fail cleanly,
// reading nothing past the (exactly sized) block.
TEST(RleDecode, EveryCutOfAValidStreamFails) {
  struct TCut { TCodec Codec; std::uint16_t BitCount; std::uint32_t Compression; std::int32_t Width, Height;
                TBytes Stream; const char* Error; };
  const TCut cuts[] = {
      {Convert8BitRLETo8BitRGB, 8, 1, 5, 3,
       {0x02, 0x07, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x01, 0x09, 0x00, 0x01},
       End8},
      {Convert4BitRLETo4BitRGB, 4, 2, 5, 2,
       {0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x02, 0xAB, 0x00, 0x01},
       End4},
  };
  for (const TCut& c : cuts) {
    ASSERT_NO_THROW(Decode(c.Codec, TSource(c.Width, c.Height, c.BitCount, c.Compression, c.Stream)));
    for (std::size_t length = 0; length < c.Stream.size(); ++length) {
      SCOPED_TRACE(length);
      const TSource cut(c.Width, c.Height, c.BitCount, c.Compression, TBytes(c.Stream.begin(), c.Stream.begin() + static_cast<std::ptrdiff_t>(length)));
      TResult result;
      ExpectError<EVxDIBInvalidDIB>([&] { c.Codec(cut.Record, result.Record, false); }, c.Error);
      EXPECT_EQ(result.Record.Bits, nullptr);
    }
  }
}

// A block that claims more bytes than a null pointer holds is read as empty.
TEST(RleDecode, NullBitsAreAnEmptyStream) {
  TSource source = Rle8(2, 1, {});
  source.Record.BitsSize = 100;
  TResult result;
  ExpectError<EVxDIBInvalidDIB>([&] { Convert8BitRLETo8BitRGB(source.Record, result.Record, false); }, End8);
}

// ---- Codec type and geometry checks -------------------------------------------------

struct TTypeCase {
  TCodec Codec;
  std::uint16_t BitCount;
  std::uint32_t Compression;
  const char* Error;
};

class RleCodecType : public ::testing::TestWithParam<TTypeCase> {};

TEST_P(RleCodecType, RejectsOtherLayouts) {
  const TTypeCase& c = GetParam();
  const TSource source(4, 4, c.BitCount, c.Compression, TBytes(64, 0));
  TResult result;
  ExpectError<EVxDIBBadDIBType>([&] { c.Codec(source.Record, result.Record, false); }, c.Error);
  EXPECT_EQ(result.Record.Bits, nullptr);
}

const char* const Type8Decode = "Convert8BitRLETo8BitRGB: Invalid Bitcount & Compression Combination";
const char* const Type4Decode = "Convert4BitRLETo4BitRGB: Invalid Bitcount & Compression Combination";
const char* const Type8Encode = "Convert8BitRGBTo8BitRLE: Invalid Bitcount & Compression Combination";
const char* const Type4Encode = "Convert4BitRGBTo4BitRLE: Invalid Bitcount & Compression Combination";

INSTANTIATE_TEST_SUITE_P(
    Cases, RleCodecType,
    ::testing::Values(TTypeCase{Convert8BitRLETo8BitRGB, 8, 0, Type8Decode},
                      TTypeCase{Convert8BitRLETo8BitRGB, 8, 2, Type8Decode},
                      TTypeCase{Convert8BitRLETo8BitRGB, 4, 1, Type8Decode},
                      TTypeCase{Convert8BitRLETo8BitRGB, 24, 1, Type8Decode},
                      TTypeCase{Convert4BitRLETo4BitRGB, 4, 0, Type4Decode},
                      TTypeCase{Convert4BitRLETo4BitRGB, 4, 1, Type4Decode},
                      TTypeCase{Convert4BitRLETo4BitRGB, 8, 2, Type4Decode},
                      TTypeCase{Convert4BitRLETo4BitRGB, 1, 2, Type4Decode},
                      TTypeCase{Convert8BitRGBTo8BitRLE, 8, 1, Type8Encode},
                      TTypeCase{Convert8BitRGBTo8BitRLE, 8, 3, Type8Encode},
                      TTypeCase{Convert8BitRGBTo8BitRLE, 4, 0, Type8Encode},
                      TTypeCase{Convert8BitRGBTo8BitRLE, 24, 0, Type8Encode},
                      TTypeCase{Convert4BitRGBTo4BitRLE, 4, 2, Type4Encode},
                      TTypeCase{Convert4BitRGBTo4BitRLE, 8, 0, Type4Encode},
                      TTypeCase{Convert4BitRGBTo4BitRLE, 1, 0, Type4Encode}));

TEST(RleCodec, ImpossibleGeometryFailsBeforeAllocating) {
  struct TCase { TCodec Codec; std::uint16_t BitCount; std::uint32_t Compression; std::int32_t Width, Height;
                 std::string Error; };
  const TCase cases[] = {
      {Convert8BitRLETo8BitRGB, 8, 1, 0, 1, "Convert8BitRLETo8BitRGB: Invalid Width or Height"},
      {Convert8BitRLETo8BitRGB, 8, 1, 1, 0, "Convert8BitRLETo8BitRGB: Invalid Width or Height"},
      {Convert4BitRLETo4BitRGB, 4, 2, -5, 1, "Convert4BitRLETo4BitRGB: Invalid Width or Height"},
      {Convert8BitRGBTo8BitRLE, 8, 0, 1, 0, "Convert8BitRGBTo8BitRLE: Invalid Width or Height"},
      {Convert4BitRGBTo4BitRLE, 4, 0, 0, 4, "Convert4BitRGBTo4BitRLE: Invalid Width or Height"},
      // Blocks that would not fit in 31 bits: never a wrapped, too small allocation.
      {Convert8BitRLETo8BitRGB, 8, 1, 0x7FFFFFFF, 1, "Convert8BitRLETo8BitRGB: Image Too Large"},
      {Convert8BitRLETo8BitRGB, 8, 1, 65536, 32768, "Convert8BitRLETo8BitRGB: Image Too Large"},
      {Convert4BitRLETo4BitRGB, 4, 2, 65536, -65536, "Convert4BitRLETo4BitRGB: Image Too Large"},
      {Convert4BitRLETo4BitRGB, 4, 2, 8, INT32_MIN, "Convert4BitRLETo4BitRGB: Image Too Large"},
      {Convert8BitRGBTo8BitRLE, 8, 0, 0x40000000, 2, "Convert8BitRGBTo8BitRLE: Image Too Large"},
      {Convert4BitRGBTo4BitRLE, 4, 0, 0x7FFFFFFF, 0x7FFFFFFF, "Convert4BitRGBTo4BitRLE: Image Too Large"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Error);
    const TSource source(c.Width, c.Height, c.BitCount, c.Compression, {0x00, 0x01});
    TResult result;
    ExpectError<EVxDIBInvalidDIB>([&] { c.Codec(source.Record, result.Record, false); }, c.Error);
    EXPECT_EQ(result.Record.Bits, nullptr);
  }
}

// ---- Encoders: hand-computed streams ------------------------------------------------

// Encodes a plain image held in `pixels` (rows as stored).
TBytes Encode(TCodec codec, std::uint16_t bitCount, std::int32_t width, std::int32_t height, TBytes pixels) {
  const TSource source(width, height, bitCount, 0, std::move(pixels));
  TResult result;
  codec(source.Record, result.Record, false);
  return result.Bytes();
}

// The stream the writer makes for single rows, with room to spare.
TBytes EncodeRows(bool fourBit, std::int32_t width, const std::vector<TBytes>& rows) {
  TBytes buffer(4096);
  TVxRleWriter writer(buffer.data(), buffer.size(), fourBit, width);
  for (const TBytes& row : rows) writer.WriteRow(row.data(), row.size());
  writer.WriteEndOfBitmap();
  buffer.resize(writer.Written());
  return buffer;
}

TEST(RleEncode, RunThenLiteralList) {
  // 7 x 4: the first row is the interesting one; the plain rows give the stream room.
  TBytes pixels(32, 0);
  const std::uint8_t row0[] = {7, 7, 7, 1, 2, 3, 4};
  std::copy(std::begin(row0), std::end(row0), pixels.begin());
  EXPECT_EQ(Encode(Convert8BitRGBTo8BitRLE, 8, 7, 4, pixels),
            (TBytes{3, 7, 0, 4, 1, 2, 3, 4, 0, 0,  //
                    7, 0, 0, 0, 7, 0, 0, 0, 7, 0, 0, 0, 0, 1}));
}

TEST(RleEncode, ListCutToOneByteBecomesARun) {
  EXPECT_EQ(EncodeRows(false, 3, {{1, 2, 2}}), (TBytes{1, 1, 2, 2, 0, 0, 0, 1}));
  // Two bytes cut from a list are two runs of one: (0, 2) would be a delta.
  EXPECT_EQ(EncodeRows(false, 4, {{1, 2, 3, 3}}), (TBytes{1, 1, 1, 2, 2, 3, 0, 0, 0, 1}));
  // Three or more stay a list; an odd list is padded.
  EXPECT_EQ(EncodeRows(false, 5, {{1, 2, 3, 4, 4}}), (TBytes{0, 3, 1, 2, 3, 0, 2, 4, 0, 0, 0, 1}));
}

TEST(RleEncode, LongRunIsSplitAtTheLimit) {
  EXPECT_EQ(Encode(Convert8BitRGBTo8BitRLE, 8, 300, 1, TBytes(300, 9)), (TBytes{255, 9, 45, 9, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(false, 255, {TBytes(255, 4)}), (TBytes{255, 4, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(false, 256, {TBytes(256, 4)}), (TBytes{255, 4, 1, 4, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(false, 257, {TBytes(257, 4)}), (TBytes{255, 4, 2, 4, 0, 0, 0, 1}));
}

TEST(RleEncode, FourBitRunCountsPixelsAndStopsAtTheWidth) {
  // 5 pixels of colour 3, padding nibble 0: 0x33 0x33 0x30.
  EXPECT_EQ(EncodeRows(true, 5, {{0x33, 0x33, 0x30}}), (TBytes{4, 0x33, 1, 0x30, 0, 0, 0, 1}));
  // 254 pixels are one run at the limit; 255 pixels need one more of a single pixel.
  EXPECT_EQ(EncodeRows(true, 254, {TBytes(127, 0x12)}), (TBytes{254, 0x12, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(true, 255, {TBytes(128, 0x12)}), (TBytes{254, 0x12, 1, 0x12, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(true, 512, {TBytes(256, 0x12)}), (TBytes{254, 0x12, 254, 0x12, 4, 0x12, 0, 0, 0, 1}));
}

TEST(RleEncode, FourBitListCountsPixels) {
  // 7 pixels 1..7: bytes 0x12 0x34 0x56 0x70: a list of 4 bytes whose count is cut to 7.
  EXPECT_EQ(EncodeRows(true, 7, {{0x12, 0x34, 0x56, 0x70}}), (TBytes{0, 7, 0x12, 0x34, 0x56, 0x70, 0, 0, 0, 1}));
  // An odd list of bytes gets a pad byte: 6 pixels = 3 bytes.
  EXPECT_EQ(EncodeRows(true, 6, {{0x12, 0x34, 0x56}}), (TBytes{0, 6, 0x12, 0x34, 0x56, 0, 0, 0, 0, 1}));
  // Two bytes are a list of four pixels (only a single byte becomes a run).
  EXPECT_EQ(EncodeRows(true, 4, {{0x12, 0x34}}), (TBytes{0, 4, 0x12, 0x34, 0, 0, 0, 1}));
  EXPECT_EQ(EncodeRows(true, 6, {{0x12, 0x34, 0x34}}), (TBytes{2, 0x12, 4, 0x34, 0, 0, 0, 1}));
}

TEST(RleEncode, LiteralListIsSplitAtTheLimit) {
  auto ramp = [](std::size_t n) {
    TBytes r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(i);
    return r;
  };
  // 255 bytes: one list, odd, so padded.
  TBytes expected{0, 255};
  const TBytes r255 = ramp(255);
  expected.insert(expected.end(), r255.begin(), r255.end());
  expected.insert(expected.end(), {0, 0, 0, 0, 1});
  EXPECT_EQ(EncodeRows(false, 255, {r255}), expected);
  // 256 bytes: the full list, then the last byte alone as a run of one.
  expected = {0, 255};
  expected.insert(expected.end(), r255.begin(), r255.end());
  expected.insert(expected.end(), {0, 1, 255, 0, 0, 0, 1});
  EXPECT_EQ(EncodeRows(false, 256, {ramp(256)}), expected);
  // 4 bits: 127 bytes (254 pixels) per list.
  TBytes row4 = ramp(128);
  expected = {0, 254};
  expected.insert(expected.end(), row4.begin(), row4.begin() + 127);
  expected.insert(expected.end(), {0, 2, 127, 0, 0, 0, 1});
  EXPECT_EQ(EncodeRows(true, 256, {row4}), expected);
}

TEST(RleEncode, TopDownSourceBecomesABottomUpStream) {
  // 8 x -3 (top-down): stored rows 1, 2, 3 go out as 3, 2, 1.
  TBytes pixels;
  for (std::uint8_t v : {1, 2, 3}) pixels.insert(pixels.end(), 8, v);
  const TSource source(8, -3, 8, 0, pixels);
  TResult result;
  Convert8BitRGBTo8BitRLE(source.Record, result.Record, false);
  EXPECT_EQ(result.Bytes(), (TBytes{8, 3, 0, 0, 8, 2, 0, 0, 8, 1, 0, 0, 0, 1}));
  EXPECT_EQ(result.Record.Header.biHeight, 3);
  EXPECT_EQ(result.Record.Header.biCompression, 1u);
  EXPECT_EQ(result.Record.Header.biSizeImage, 14u);
  EXPECT_EQ(result.Record.BitsSize, 14u);
  EXPECT_EQ(source.Record.Header.biHeight, -3);
}

TEST(RleEncode, FourBitResultHeaderAndPaddingIgnored) {
  // 9 x 2 at 4 bits: rows of 8 bytes; the padding nibble and bytes hold junk that the
  // encoder must not copy. Each row: a run of 8 pixels, a run cut to the one pixel left.
  const TBytes pixels{0x11, 0x11, 0x11, 0x11, 0x1F, 0xEE, 0xEE, 0xEE,  //
                      0x22, 0x22, 0x22, 0x22, 0x2F, 0xEE, 0xEE, 0xEE};
  const TSource source(9, 2, 4, 0, pixels);
  TResult result(true);
  Convert4BitRGBTo4BitRLE(source.Record, result.Record, true);
  EXPECT_EQ(result.Bytes(), (TBytes{8, 0x11, 1, 0x1F, 0, 0, 8, 0x22, 1, 0x2F, 0, 0, 0, 1}));
  EXPECT_EQ(result.Record.Header.biCompression, 2u);
  EXPECT_EQ(result.Record.Header.biBitCount, 4);
  EXPECT_EQ(result.Record.Header.biSizeImage, 14u);
  EXPECT_EQ(result.Record.BitsSize, 14u);
  EXPECT_EQ(std::memcmp(result.Record.ColorTable, source.Record.ColorTable, sizeof source.Record.ColorTable), 0);
  // Decoding gives back the pixels with clean padding.
  const TSource rle(9, 2, 4, 2, result.Bytes());
  EXPECT_EQ(Decode(Convert4BitRLETo4BitRGB, rle),
            (TBytes{0x11, 0x11, 0x11, 0x11, 0x10, 0, 0, 0, 0x22, 0x22, 0x22, 0x22, 0x20, 0, 0, 0}));
}

// ---- The space rule -----------------------------------------------------------------

const char* const Failed8 = "Convert8BitRGBTo8BitRLE: Compression Failed";
const char* const Failed4 = "Convert4BitRGBTo4BitRLE: Compression Failed";

TEST(RleEncodeSpace, ImagesThatDoNotFitFail) {
  struct TCase { TCodec Codec; std::uint16_t BitCount; std::int32_t Width, Height; TBytes Pixels; const char* Error; };
  const TCase cases[] = {
      // 8-byte buffer: 6 left after the run, the list of 4 needs 10.
      {Convert8BitRGBTo8BitRLE, 8, 7, 1, {7, 7, 7, 1, 2, 3, 4, 0}, Failed8},
      // 4-byte buffer, a run needs 6.
      {Convert8BitRGBTo8BitRLE, 8, 1, 1, {5, 0, 0, 0}, Failed8},
      // One pixel wide: every row costs its full 4 bytes, the end of bitmap has no room.
      {Convert8BitRGBTo8BitRLE, 8, 1, 8, TBytes(32, 0), Failed8},
      // Incompressible rows.
      {Convert8BitRGBTo8BitRLE, 8, 8, 2, {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8}, Failed8},
      {Convert4BitRGBTo4BitRLE, 4, 5, 1, {0x33, 0x33, 0x30, 0}, Failed4},
      {Convert4BitRGBTo4BitRLE, 4, 8, 4, TBytes(16, 0x11), Failed4},
      {Convert4BitRGBTo4BitRLE, 4, 8, 1, {0x12, 0x34, 0x56, 0x78}, Failed4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Width);
    const TSource source(c.Width, c.Height, c.BitCount, 0, c.Pixels);
    TResult result;
    ExpectError<EVxDIBCompressionFailed>([&] { c.Codec(source.Record, result.Record, false); }, c.Error);
    EXPECT_EQ(result.Record.Bits, nullptr);
    EXPECT_EQ(source.Bits, c.Pixels);
    EXPECT_EQ(source.Record.Header.biCompression, 0u);
  }
}

TEST(RleEncodeSpace, ImageThatJustFits) {
  // 8 x 2 uniform: 8, v, 0, 0 per row and 0, 1: 10 bytes in a buffer of 16. Checks
  // before each item: run 6 (16 left), eol 4 (14), run 6 (12), eol 4 (10), eob 2 (8).
  EXPECT_EQ(Encode(Convert8BitRGBTo8BitRLE, 8, 8, 2, TBytes(16, 5)), (TBytes{8, 5, 0, 0, 8, 5, 0, 0, 0, 1}));
  // 4 x 2 at 8 bits, uniform: buffer 8; second row's run finds 4 left and fails.
  ExpectError<EVxDIBCompressionFailed>([] { Encode(Convert8BitRGBTo8BitRLE, 8, 4, 2, TBytes(8, 5)); }, Failed8);
  // 4 x 3: after two rows 4 left, the third run needs 6.
  ExpectError<EVxDIBCompressionFailed>([] { Encode(Convert8BitRGBTo8BitRLE, 8, 4, 3, TBytes(12, 5)); }, Failed8);
}

// The space each item keeps free before it writes: exactly enough passes, one byte less fails.
TEST(RleEncodeSpace, EachItemReservesItsSpace) {
  struct TCase { const char* Name; std::size_t Needed; std::function<void(TVxRleWriter&)> Write; std::size_t Writes; };
  const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
  const TCase cases[] = {
      {"run", 6, [](TVxRleWriter& w) { w.WriteRun(3, 9); }, 2},
      {"end of line", 4, [](TVxRleWriter& w) { w.WriteEndOfLine(); }, 2},
      {"end of bitmap", 2, [](TVxRleWriter& w) { w.WriteEndOfBitmap(); }, 2},
      {"list of 1", 8, [&](TVxRleWriter& w) { w.WriteAbsolute(bytes, 1); }, 2},
      {"list of 2", 8, [&](TVxRleWriter& w) { w.WriteAbsolute(bytes, 2); }, 4},
      {"list of 3", 10, [&](TVxRleWriter& w) { w.WriteAbsolute(bytes, 3); }, 6},
      {"list of 4", 10, [&](TVxRleWriter& w) { w.WriteAbsolute(bytes, 4); }, 6},
      {"list of 5", 12, [&](TVxRleWriter& w) { w.WriteAbsolute(bytes, 5); }, 8},
  };
  for (const bool fourBit : {false, true}) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (fourBit ? " (4 bits)" : " (8 bits)"));
      TBytes exact(c.Needed, 0xCC);
      TVxRleWriter fits(exact.data(), exact.size(), fourBit, 100);
      c.Write(fits);
      EXPECT_EQ(fits.Written(), c.Writes);
      TBytes shortBuffer(c.Needed - 1, 0xCC);
      TVxRleWriter tooSmall(shortBuffer.data(), shortBuffer.size(), fourBit, 100);
      ExpectError<EVxDIBCompressionFailed>([&] { c.Write(tooSmall); }, fourBit ? Failed4 : Failed8);
      EXPECT_EQ(tooSmall.Written(), 0u);
      EXPECT_EQ(std::count(shortBuffer.begin(), shortBuffer.end(), 0xCC), static_cast<std::ptrdiff_t>(c.Needed - 1));
    }
  }
}

TEST(RleEncodeSpace, WriteAbsoluteOfNothingIsAnAssertion) {
  TBytes buffer(64);
  const std::uint8_t b = 0;
  TVxRleWriter w8(buffer.data(), buffer.size(), false, 8);
  ExpectError<EAssertionFailed>([&] { w8.WriteAbsolute(&b, 0); }, "Convert8BitRGBTo8BitRLE: WriteAbsolute Error");
  TVxRleWriter w4(buffer.data(), buffer.size(), true, 8);
  ExpectError<EAssertionFailed>([&] { w4.WriteAbsolute(&b, 0); }, "Convert4BitRGBTo4BitRLE: WriteAbsolute Error");
  EXPECT_EQ(w8.Written(), 0u);
  EXPECT_EQ(w4.Written(), 0u);
}

TEST(RleEncode, SourceShorterThanItsRowsIsRejected) {
  // 8 x 2 needs 16 bytes of pixels.
  const TSource source(8, 2, 8, 0, TBytes(15, 1));
  TResult result;
  ExpectError<EVxDIBInvalidDIB>([&] { Convert8BitRGBTo8BitRLE(source.Record, result.Record, false); },
                                "Convert8BitRGBTo8BitRLE: Pixel Data Too Short");
  const TSource source4(8, 2, 4, 0, TBytes());
  ExpectError<EVxDIBInvalidDIB>([&] { Convert4BitRGBTo4BitRLE(source4.Record, result.Record, false); },
                                "Convert4BitRGBTo4BitRLE: Pixel Data Too Short");
  EXPECT_EQ(result.Record.Bits, nullptr);
}

// ---- Round trips --------------------------------------------------------------------

// A deterministic pixel source (no dependence on the library's random generator).
struct TLcg {
  std::uint32_t State;
  std::uint32_t Next() { return State = State * 1664525u + 1013904223u; }
};

enum TPattern : std::uint8_t { ptUniform, ptRuns, ptLiterals, ptMixed, ptPairs };

// Pixel values (0..255, or 0..15 for 4 bits) of one row.
std::vector<std::uint8_t> PatternRow(TPattern pattern, int bitCount, std::int32_t width, std::int32_t row,
                                     TLcg& rng) {
  const std::uint32_t colours = bitCount == 8 ? 256 : 16;
  std::vector<std::uint8_t> p(static_cast<std::size_t>(width));
  std::uint32_t value = 0;
  std::uint32_t left = 0;
  for (std::int32_t x = 0; x < width; ++x) {
    std::uint32_t v = 0;
    switch (pattern) {
    case ptUniform: v = static_cast<std::uint32_t>(row) % colours; break;
    case ptRuns: v = static_cast<std::uint32_t>(x / 7 + row) % colours; break;
    case ptLiterals: v = static_cast<std::uint32_t>(x * 3 + row) % colours; break;  // neighbours always differ
    case ptPairs: v = static_cast<std::uint32_t>((x / 2) * 5 + (x % 3) + row) % colours; break;
    case ptMixed:
      if (left == 0) {
        value = rng.Next() >> 24;
        left = (rng.Next() >> 29) == 0 ? 1 + (rng.Next() >> 23) : 1 + (rng.Next() >> 30);
      }
      --left;
      v = (value + (left % 2 == 0 && (rng.Next() >> 31) ? 1 : 0)) % colours;
      break;
    }
    p[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(v);
  }
  return p;
}

// A plain image; rows with `pattern` alternate with uniform rows (which give the stream
// room), starting and ending with a uniform row.
TBytes MakeImage(TPattern pattern, int bitCount, std::int32_t width, std::int32_t rows, std::uint32_t seed) {
  const auto rowSize = static_cast<std::size_t>(RowSize(width, bitCount));
  TBytes bits(rowSize * static_cast<std::size_t>(rows), 0);
  TLcg rng{seed};
  for (std::int32_t y = 0; y < rows; ++y) {
    const std::vector<std::uint8_t> p = PatternRow(y % 2 == 0 ? ptUniform : pattern, bitCount, width, y, rng);
    std::uint8_t* row = bits.data() + static_cast<std::size_t>(y) * rowSize;
    for (std::size_t x = 0; x < p.size(); ++x) {
      if (bitCount == 8)
        row[x] = p[x];
      else
        row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | (x % 2 == 0 ? p[x] << 4 : p[x]));
    }
  }
  return bits;
}

// The same pixels with the rows in the other order.
TBytes FlipRows(const TBytes& bits, std::size_t rowSize) {
  TBytes out;
  for (std::size_t r = bits.size() / rowSize; r-- > 0;)
    out.insert(out.end(), bits.begin() + static_cast<std::ptrdiff_t>(r * rowSize),
               bits.begin() + static_cast<std::ptrdiff_t>((r + 1) * rowSize));
  return out;
}

// Checks what every stream of our encoder must look like: pairs that stay inside each
// row, lists of at least 3 without equal neighbours (compared as bytes), exactly one end
// of line per row and the end of bitmap last.
void CheckStreamShape(const TBytes& s, int bitCount, std::int32_t width, std::int32_t height) {
  std::size_t pos = 0;
  std::int32_t rows = 0;
  std::int64_t x = 0;
  while (pos + 1 < s.size()) {
    const std::uint8_t a = s[pos], b = s[pos + 1];
    pos += 2;
    if (a > 0) {
      x += a;
    } else if (b == 0) {
      ASSERT_EQ(x, width) << "row " << rows << " not covered exactly";
      ++rows;
      x = 0;
    } else if (b == 1) {
      ASSERT_EQ(pos, s.size()) << "end of bitmap before the end";
      break;
    } else {
      ASSERT_GE(b, 3) << "a delta in an encoder's stream";
      const std::size_t bytes = bitCount == 8 ? b : (b + 1u) / 2;
      for (std::size_t i = 1; i < bytes; ++i) ASSERT_NE(s[pos + i], s[pos + i - 1]) << "equal neighbours in a list";
      pos += bytes + bytes % 2;
      x += b;
    }
  }
  EXPECT_EQ(rows, height);
  EXPECT_EQ(pos, s.size());
}

struct TRoundTrip {
  int BitCount;
  TPattern Pattern;
  std::int32_t Width;
  std::int32_t Rows;
  bool TopDown;
};

class RleRoundTrip : public ::testing::TestWithParam<TRoundTrip> {};

TEST_P(RleRoundTrip, DecodeOfEncodeGivesThePixelsBack) {
  const TRoundTrip& c = GetParam();
  const TBytes pixels = MakeImage(c.Pattern, c.BitCount, c.Width, c.Rows, 12345u + static_cast<std::uint32_t>(c.Width));
  const bool eight = c.BitCount == 8;
  const TSource plain(c.Width, c.TopDown ? -c.Rows : c.Rows, static_cast<std::uint16_t>(c.BitCount), 0, pixels);

  TResult encoded;
  ASSERT_NO_THROW((eight ? Convert8BitRGBTo8BitRLE : Convert4BitRGBTo4BitRLE)(plain.Record, encoded.Record, false));
  const TBytes stream = encoded.Bytes();
  ASSERT_LE(stream.size(), pixels.size());
  CheckStreamShape(stream, c.BitCount, c.Width, c.Rows);

  const TSource rle(c.Width, encoded.Record.Header.biHeight, static_cast<std::uint16_t>(c.BitCount), eight ? 1u : 2u,
                    stream);
  const TBytes decoded = Decode(eight ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB, rle);
  const auto rowSize = static_cast<std::size_t>(RowSize(c.Width, c.BitCount));
  EXPECT_EQ(decoded, c.TopDown ? FlipRows(pixels, rowSize) : pixels);
}

std::vector<TRoundTrip> RoundTripCases() {
  std::vector<TRoundTrip> cases;
  for (const int bits : {8, 4})
    for (const TPattern p : {ptUniform, ptRuns, ptLiterals, ptMixed, ptPairs})
      for (const std::int32_t w : {24, 25, 31, 64, 127, 253, 254, 255, 256, 257, 509, 510, 511, 1000})
        cases.push_back({bits, p, w, 7, w % 2 == 1});
  return cases;
}

std::string RoundTripName(const ::testing::TestParamInfo<TRoundTrip>& info) {
  static const char* const names[] = {"Uniform", "Runs", "Literals", "Mixed", "Pairs"};
  return std::to_string(info.param.BitCount) + "Bit" + names[info.param.Pattern] + std::to_string(info.param.Width) +
         (info.param.TopDown ? "TopDown" : "");
}

INSTANTIATE_TEST_SUITE_P(Patterns, RleRoundTrip, ::testing::ValuesIn(RoundTripCases()), RoundTripName);

// Narrow rows cannot pay for their own stream, so the writer encodes them into a roomy
// buffer and the decoder reads them back: every width from 1 to 40, every pattern.
TEST(RleRoundTrip, NarrowRowsThroughTheWriter) {
  for (const int bitCount : {8, 4}) {
    for (std::int32_t width = 1; width <= 40; ++width) {
      for (const TPattern p : {ptUniform, ptRuns, ptLiterals, ptMixed, ptPairs}) {
        SCOPED_TRACE(std::to_string(bitCount) + " bits, width " + std::to_string(width) + ", pattern " +
                     std::to_string(p));
        const std::int32_t rows = 4;
        TBytes pixels = MakeImage(p, bitCount, width, rows, static_cast<std::uint32_t>(width * 31 + p));
        const auto rowSize = static_cast<std::size_t>(RowSize(width, bitCount));
        const std::size_t rowBytes = static_cast<std::size_t>(bitCount == 8 ? width : (width + 1) / 2);
        std::vector<TBytes> rowList;
        for (std::int32_t r = 0; r < rows; ++r) {
          const auto* row = pixels.data() + static_cast<std::size_t>(r) * rowSize;
          rowList.emplace_back(row, row + rowBytes);
        }
        const TBytes stream = EncodeRows(bitCount == 4, width, rowList);
        CheckStreamShape(stream, bitCount, width, rows);
        const TSource rle(width, rows, static_cast<std::uint16_t>(bitCount), bitCount == 8 ? 1u : 2u, stream);
        EXPECT_EQ(Decode(bitCount == 8 ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB, rle), pixels);
      }
    }
  }
}

// ---- Seed corpus of the fuzz targets ------------------------------------------------

// The valid streams of these tests in the fuzz targets' input layout: each must read back
// through the targets' parser and decode. With TAVEX_FUZZ_CORPUS set (a folder, e.g.
// build/fuzz/corpus) they are also written to <folder>/fuzz_rle8 and <folder>/fuzz_rle4.
struct TSeed {
  int BitCount;
  std::int16_t Width, Height;
  TBytes Stream;
};

// The valid streams of the tests above, and encoder output for longer rows.
std::vector<TSeed> RleSeeds() {
  std::vector<TSeed> seeds;
  for (const TDecodeCase& c : DecodeCases())
    if (!c.Error)
      seeds.push_back({c.BitCount, static_cast<std::int16_t>(c.Width), static_cast<std::int16_t>(c.Height), c.Stream});
  seeds.push_back({8, 5, 3, {0x02, 0x07, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00,
                             0x00, 0x02, 0x01, 0x01, 0x01, 0x09, 0x00, 0x01}});
  seeds.push_back({4, 5, 2, {0x00, 0x05, 0x12, 0x34, 0x50, 0x00, 0x00, 0x00,
                             0x00, 0x02, 0x03, 0x00, 0x02, 0xAB, 0x00, 0x01}});
  for (const int bitCount : {8, 4}) {
    for (const TPattern p : {ptRuns, ptMixed, ptPairs}) {
      for (const std::int16_t width : {31, 64, 300}) {
        const TSource plain(width, -5, static_cast<std::uint16_t>(bitCount), 0,
                            MakeImage(p, bitCount, width, 5, static_cast<std::uint32_t>(width)));
        TResult encoded;
        (bitCount == 8 ? Convert8BitRGBTo8BitRLE : Convert4BitRGBTo4BitRLE)(plain.Record, encoded.Record, false);
        seeds.push_back({bitCount, width, 5, encoded.Bytes()});
      }
    }
  }
  return seeds;
}

void PutU32(TBytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A BMP file: 40-byte header, a grey ramp of ColorCount entries, then the pixel block.
TBytes MakeBmp(std::int32_t width, std::int32_t height, std::uint16_t bitCount, std::uint32_t compression,
               const TBytes& bits) {
  const std::uint32_t colors = bitCount == 8 ? 256 : 16;
  const std::uint32_t offBits = 54 + 4 * colors;
  TBytes b{'B', 'M'};
  PutU32(b, offBits + static_cast<std::uint32_t>(bits.size()));
  PutU32(b, 0);
  PutU32(b, offBits);
  PutU32(b, 40);
  PutU32(b, static_cast<std::uint32_t>(width));
  PutU32(b, static_cast<std::uint32_t>(height));
  PutU32(b, 1u | static_cast<std::uint32_t>(bitCount) << 16);
  PutU32(b, compression);
  PutU32(b, compression ? static_cast<std::uint32_t>(bits.size()) : 0);
  PutU32(b, 2835);
  PutU32(b, 2835);
  PutU32(b, colors);
  PutU32(b, 0);
  for (std::uint32_t i = 0; i < colors; ++i) PutU32(b, (i * 0x010101u * (bitCount == 8 ? 1 : 17)) & 0xFFFFFF);
  b.insert(b.end(), bits.begin(), bits.end());
  return b;
}

// The seeds in the RLE targets' layout: each must read back through the targets' parser
// and decode. With TAVEX_FUZZ_CORPUS set (a folder, e.g. build/fuzz/corpus) they are also
// written to <folder>/fuzz_rle8 and <folder>/fuzz_rle4.
TEST(RleFuzzSeeds, SeedsParseAndDecode) {
  std::size_t index = 0;
  for (const TSeed& seed : RleSeeds()) {
    SCOPED_TRACE(index);
    const TBytes input = fuzzinput::MakeRle(static_cast<std::uint16_t>(seed.Width), seed.Height, seed.Stream);
    fuzzinput::TRleInput parsed{};
    ASSERT_TRUE(fuzzinput::ParseRle(input.data(), input.size(), parsed));
    EXPECT_EQ(parsed.Width, seed.Width);
    EXPECT_EQ(parsed.Height, seed.Height);
    const TSource source(parsed.Width, parsed.Height, static_cast<std::uint16_t>(seed.BitCount),
                         seed.BitCount == 8 ? 1u : 2u, TBytes(parsed.Stream, parsed.Stream + parsed.StreamSize));
    EXPECT_NO_THROW(Decode(seed.BitCount == 8 ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB, source));
    WriteFuzzSeed(seed.BitCount == 8 ? "fuzz_rle8" : "fuzz_rle4", "seed-" + std::to_string(index), input);
    ++index;
  }
  // A negative height survives the layout.
  fuzzinput::TRleInput parsed{};
  const TBytes topDown = fuzzinput::MakeRle(65535, -32768, {0x00, 0x01});
  ASSERT_TRUE(fuzzinput::ParseRle(topDown.data(), topDown.size(), parsed));
  EXPECT_EQ(parsed.Width, 65535);
  EXPECT_EQ(parsed.Height, -32768);
  EXPECT_EQ(parsed.StreamSize, 2u);
  EXPECT_FALSE(fuzzinput::ParseRle(topDown.data(), 3, parsed));
}

// The same streams, and plain images for the encoders, as BMP files and packed DIBs: each
// loads through both readers with its bytes unchanged and decodes as the bare stream does.
// Written to <folder>/fuzz_bmp_stream and <folder>/fuzz_cf_dib.
TEST(RleFuzzSeeds, BmpSeedsLoadAndDecode) {
  struct TImage { std::int16_t Width, Height; std::uint16_t BitCount; std::uint32_t Compression; TBytes Bits; };
  std::vector<TImage> images;
  for (const TSeed& seed : RleSeeds())
    images.push_back({seed.Width, seed.Height, static_cast<std::uint16_t>(seed.BitCount),
                      seed.BitCount == 8 ? 1u : 2u, seed.Stream});
  for (const int bitCount : {8, 4})
    for (const std::int16_t height : {7, -7})
      images.push_back({61, height, static_cast<std::uint16_t>(bitCount), 0, MakeImage(ptMixed, bitCount, 61, 7, 99)});

  std::size_t index = 0;
  for (const TImage& image : images) {
    SCOPED_TRACE(index);
    const TBytes file = MakeBmp(image.Width, image.Height, image.BitCount, image.Compression, image.Bits);
    TVxInternalDIB fromFile(false);
    TCustomMemoryStream stream(file.data(), static_cast<std::int64_t>(file.size()));
    ASSERT_NO_THROW(fromFile.LoadFromStream(stream));
    EXPECT_EQ(fromFile.DIB.Header.biCompression, image.Compression);
    ASSERT_EQ(TBytes(fromFile.DIB.Bits, fromFile.DIB.Bits + fromFile.DIB.BitsSize), image.Bits);

    const TBytes packed(file.begin() + 14, file.end());
    TVxInternalDIB fromBlock(false);
    const TGlobalHandle block = MakeGlobal(packed);
    EXPECT_NO_THROW(fromBlock.LoadFromClipboardFormat(block));
    platform::GlobalFree(block);
    EXPECT_EQ(TBytes(fromBlock.DIB.Bits, fromBlock.DIB.Bits + fromBlock.DIB.BitsSize), image.Bits);

    if (image.Compression != 0) {
      const TSource bare(image.Width, image.Height, image.BitCount, image.Compression, image.Bits);
      const TCodec decode = image.BitCount == 8 ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB;
      TResult loaded;
      decode(fromFile.DIB, loaded.Record, false);
      EXPECT_EQ(loaded.Bytes(), Decode(decode, bare));
    }
    WriteFuzzSeed("fuzz_bmp_stream", "seed-" + std::to_string(index), file);
    WriteFuzzSeed("fuzz_cf_dib", "seed-" + std::to_string(index), packed);
    ++index;
  }
}

// The fuzz targets' block limit comes from libFuzzer's flags: -malloc_limit_mb, else
// -rss_limit_mb, else libFuzzer's default of 2048; larger blocks fail at the seam.
TEST(RleFuzzSeeds, BlockLimitFollowsLibFuzzersFlags) {
  struct Case {
    std::vector<std::string> Args;
    std::size_t LimitMb;
  };
  const Case cases[] = {
      {{}, 2048},
      {{"-rss_limit_mb=300"}, 300},
      {{"-malloc_limit_mb=100", "-rss_limit_mb=300"}, 100},
      {{"-rss_limit_mb=300", "-malloc_limit_mb=0"}, 300},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"fuzz_bmp_stream"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    fuzzinput::InstallLimits(static_cast<int>(argv.size()), argv.data());
    const std::size_t limit = (c.LimitMb << 20) - fuzzinput::BlockOverhead;
    EXPECT_TRUE(AllocationAllowed(limit)) << c.LimitMb;
    EXPECT_FALSE(AllocationAllowed(limit + 1)) << c.LimitMb;
    EXPECT_THROW(GetBlock(c.LimitMb << 20, false), EOutOfMemory) << c.LimitMb;
    SetAllocationHook(nullptr);
  }
}

}  // namespace
