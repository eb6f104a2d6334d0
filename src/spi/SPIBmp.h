#pragma once
// Decoding through the import-filter plug-ins: the decoding jobs, which try the plug-ins
// one after another on a file or a stream, the plug-in graphic that holds a job's result
// in place, and the framework's bitmap that can also load through the plug-ins.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "dib/VxDIB.h"
#include "graphics/Bitmap.h"
#include "graphics/Graphic.h"
#include "platform/LocalMemory.h"
#include "platform/Palette.h"
#include "spi/SPIs.h"

// ---- Decoding jobs

// The header buffer offered to IsSupported: 2 KiB, plus room for a MacBinary prefix.
inline constexpr std::size_t SPIHeaderSize = 2048 + 128;
// The second place a picture may start: after a 128-byte MacBinary header.
inline constexpr int SPIMacBinaryOffset = 128;

// One image source tried on the plug-ins until one delivers a picture. Afterwards the job is
// empty or holds the two blocks of the plug-in that succeeded, already checked: the header
// describes a picture that the blocks really hold.
class TInSPIAbleData {
public:
  TInSPIAbleData(TGraphic* owner, std::filesystem::path fileName);
  virtual ~TInSPIAbleData();
  TInSPIAbleData(const TInSPIAbleData&) = delete;
  TInSPIAbleData& operator=(const TInSPIAbleData&) = delete;

  // Tries the registry's import filters; a failure of the progress handler (other than the
  // silent abort) reaches the caller after the ending progress event.
  void Run();
  bool Empty() const noexcept { return !FInfo || !FPixels; }
  // Locked on first use and kept locked until Clear; null when empty.
  const void* BitmapInfo();
  const void* PixelMemory();
  // The real sizes of the two blocks.
  std::size_t BitmapInfoSize() const noexcept { return FInfo.Size(); }
  std::size_t PixelMemorySize() const noexcept { return FPixels.Size(); }
  // Releases everything the last plug-in call delivered.
  void Clear() noexcept;
  // The pixel block, locked, for a DIB to use in place; the job is empty afterwards.
  std::unique_ptr<TForeignPixels> TakePixels();

  const std::filesystem::path& FileName() const noexcept { return FFileName; }
  const TSPIPictureInfo& PictureInfo() const noexcept { return FPictureInfo; }
  // The plug-in that delivered the picture; null while the job is empty.
  const TSPI* Decoder() const noexcept { return FDecoder; }
  TProgressEvent OnProgress;

  // The plug-in's progress routine; the user value is the job.
  static int TAVEX_WINAPI ProgressCallback(int step, int steps, TSPILength userValue);

protected:
  virtual void ReadHeader(void* buffer, std::size_t count) = 0;
  virtual void QueryInfo(TSPI& module, int offset) = 0;
  virtual void QueryPreview(TSPI& module, int offset) = 0;
  virtual void QueryPicture(TSPI& module, int offset) = 0;
  // IsSupported with the buffer at the offset; a name with no ANSI form refuses every plug-in.
  bool Supported(TSPI& module, const unsigned char* header, int offset);
  // A source that no plug-in may be offered.
  virtual bool Refused() const noexcept { return false; }
  // The ANSI form of FileName (empty for an empty name, or when it has none).
  const std::string& PluginName();

  using TDecodeCall = int (TSPI::*)(const void*, TSPILength, unsigned, platform::TLocalHandle*,
                                    platform::TLocalHandle*, TSPIProgressCallback, TSPILength) const;
  // Calls GetPicture or GetPreview. Whatever the result, every block the plug-in handed back
  // is freed unless the call succeeded with a picture that its blocks really hold; then the
  // job keeps them. A failure of the progress handler is raised again once the plug-in has
  // returned.
  void Decode(TSPI& module, TDecodeCall call, const void* source, TSPILength length, unsigned flags);
  void SetPictureInfo(const TSPIPictureInfo& info) noexcept;

private:
  void SendProgress(TProgressStage stage, std::uint8_t percent, const std::string& msg);
  void TryPlugin(TSPI& module, const unsigned char* header, int offset);

  platform::TLocalMemory FInfo;
  platform::TLocalMemory FPixels;
  void* FInfoAddress = nullptr;
  void* FPixelAddress = nullptr;
  std::filesystem::path FFileName;
  TSPIPictureInfo FPictureInfo;
  TGraphic* FOwner;
  std::exception_ptr FProgressFailure;
  std::string FPluginName;
  bool FPluginNameKnown = false;
  const TSPI* FDecoder = nullptr;
};

// The source is the file, handed to the plug-ins by its ANSI name.
class TInSPIAbleFromFile : public TInSPIAbleData {
public:
  TInSPIAbleFromFile(TGraphic* owner, std::filesystem::path fileName);

protected:
  void ReadHeader(void* buffer, std::size_t count) override;
  void QueryInfo(TSPI& module, int offset) override;
  void QueryPreview(TSPI& module, int offset) override;
  void QueryPicture(TSPI& module, int offset) override;
};

// The source is the whole stream in memory: a memory stream's block in place (it must
// outlive the job), any other stream copied from its first byte into a block that the job
// owns (and that the block pool hands to the next job). The stream must last until Run ends.
class TInSPIAbleFromStream : public TInSPIAbleData {
public:
  TInSPIAbleFromStream(TGraphic* owner, std::filesystem::path fileName, TStream& stream);
  ~TInSPIAbleFromStream() override;

protected:
  void ReadHeader(void* buffer, std::size_t count) override;
  void QueryInfo(TSPI& module, int offset) override;
  void QueryPreview(TSPI& module, int offset) override;
  void QueryPicture(TSPI& module, int offset) override;

  bool Refused() const noexcept override;

private:
  // The whole source in memory (null for an empty one), copied on first use.
  const unsigned char* Source();
  // The source from the offset (at most its end) and the bytes left there.
  const unsigned char* At(int offset, TSPILength& length);

  TStream* FStream = nullptr;
  const unsigned char* FMemory = nullptr;
  std::uint32_t FSize = 0;
  TVxMemory FCopy;
  bool FTooLarge = false;
};

// ---- What a plug-in delivered

// A plug-in result taken apart, or why it cannot be used. The BMP image made of it has a
// 40-byte header, the three masks of a bit-field image, the colour table and the rows.
struct TSPIResultLayout {
  TBitmapInfoHeader Header{};  // biSize 40 as written
  std::size_t SourceHeaderSize = 0;  // the plug-in's biSize
  std::size_t MaskBytes = 0;         // 12 for BI_BITFIELDS, else 0
  std::size_t MaskOffset = 0;        // where the masks are in the plug-in's block
  std::size_t TableOffset = 0;       // where the colour table is in the plug-in's block
  int ColorCount = 0;
  std::size_t PixelSize = 0;
  std::size_t HeaderSize() const noexcept { return 40 + MaskBytes + 4 * static_cast<std::size_t>(ColorCount); }
};
// Checks a BITMAPINFO of infoSize bytes and a pixel block of pixelSize bytes: header size,
// bit count, compression, width, height and colour count possible, the blocks as large as
// the header says. False, with the layout untouched, when anything is impossible.
bool ReadSPIResultLayout(const void* info, std::size_t infoSize, std::size_t pixelSize, TSPIResultLayout& layout);

// ---- The plug-in graphic

class TSPIGraphic : public TGraphic {
  TVX_DECLARE_CLASS
public:
  TSPIGraphic() = default;
  ~TSPIGraphic() override;

  void Draw(TCanvas& canvas, const TRect& rect) override;
  bool GetEmpty() const override;
  int GetHeight() const override;
  int GetWidth() const override;
  TPaletteHandle GetPalette() const override;
  void SetHeight(int value) override;
  void SetWidth(int value) override;
  void LoadFromFile(const std::filesystem::path& fileName) override;
  void LoadFromStream(TStream& stream) override;
  virtual void LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName);
  // The BMP file image of the result (nothing for an empty graphic).
  void SaveToStream(TStream& stream) const override;
  void LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle palette) override;
  void SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const override;

  // Destroys the job, which frees the plug-in's memory, and the palette.
  void Clear() noexcept;
  void EnsureInfo() const;
  int BitCount() const;
  // The size of the BMP file image, and the image itself written into dest (that many
  // bytes). A 32-bit picture whose fourth bytes carry transparency is put on white there:
  // a picture without transparency is what is left for the DIB.
  std::size_t BmpImageSize() const;
  void WriteBmpImage(std::uint8_t* dest, bool onWhite) const;
  // The image as a DIB: the BMP file image read by the DIB library's reader. With
  // releaseSource the plug-in's memory goes as soon as the image is written.
  void ConvertTo(TGraphic& native, bool releaseSource);
  // Hands a picture the DIB holds as it is (uncompressed 1, 4, 8 or 24 bits) to dib without a
  // copy, and clears; false, with nothing done, for any other picture.
  bool HandOver(TVxDIB& dib);
  // The plug-in that decoded the picture (Plugin false while the graphic is empty).
  TSPIDecodedBy DecodedBy() const;

private:
  void Decode(std::unique_ptr<TInSPIAbleData> job);

  std::unique_ptr<TInSPIAbleData> FJob;
  mutable platform::TPaletteOwner FPalette;
  mutable TSPIResultLayout FLayout;
  mutable bool FInfoValid = false;
};

// ---- The loader chain

// Tries a plug-in graphic and an object of the loading object's base class (a bitmap reads
// through the DIB library's reader), in the order the name's extension gives (".bmp": the
// base class first), and returns the first that decoded
// (null when neither did). The temporaries' progress reaches the loading object without
// their ending events. stream null: the file is loaded.
std::unique_ptr<TGraphic> LoadThroughChain(TGraphic& loader, TStream* stream, const std::filesystem::path& fileName);
// The temporaries' progress, passed on to the loading object (ending events dropped).
TProgressEvent ProgressRelay(TGraphic& loader);
// A whole load of a loading class: the chain, then assign (which takes the result, or null
// when nothing decoded, and raises then), then the "Loaded Graphic" ending event, which is
// sent on failure too.
void LoadAndAssign(TGraphic& loader, TStream* stream, const std::filesystem::path& fileName,
                   const std::function<void(std::unique_ptr<TGraphic>)>& assign);

inline constexpr const char* SPICouldNotDecode = "Susie Plugins could not decode";

// ---- The framework's bitmap that can also load through the plug-ins

class TSPIBitmap : public TBitmap {
  TVX_DECLARE_CLASS
public:
  void Assign(const TPersistent* source) override;
  void LoadFromFile(const std::filesystem::path& fileName) override;
  void LoadFromStream(TStream& stream) override;
  virtual void AssignLoaded(std::unique_ptr<TGraphic> graphic);
  virtual void LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName);

private:
  void AssignFromPlugin(TSPIGraphic& graphic, bool releaseSource);
};

// Program start: TSPIBitmap becomes the registry's DefaultGraphicClass.
void SPIBmpInitialize();
// Program end: every registration of TSPIBitmap is withdrawn.
void SPIBmpFinalize();
