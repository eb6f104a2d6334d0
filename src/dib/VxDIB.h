#pragma once
// The DIB library: the shared device-independent bitmap storage, its BMP and CF_DIB
// readers and writers, and the DIB graphic.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dib/VxGraph.h"
#include "graphics/Bitmap.h"
#include "graphics/DibFormat.h"
#include "platform/Gdi.h"
#include "platform/Handles.h"
#include "platform/Memory.h"
#include "rtl/Classes.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"

// ---------------------------------------------------------------------------------------
// Errors. Messages name the class and operation (or routine), a colon, then the fact.

class EVxDIBError : public Exception { public: using Exception::Exception; };
class EVxDIBInvalidDIB : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBInvalidDIBFile : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBInvalidDIBPara : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBBadDIBType : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBInvalidPalette : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBCompressionFailed : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };
class EVxDIBCanvasFailed : public EVxDIBError { public: using EVxDIBError::EVxDIBError; };

// ---------------------------------------------------------------------------------------
// The DIB record.

// The OS's BITMAPINFOHEADER, shared with the bitmap (graphics/DibFormat.h).
using TVxBitmapInfoHeader = TBitmapInfoHeader;

// The layout of the OS's RGBQUAD.
struct TVxRGBQuad {
  std::uint8_t rgbBlue;
  std::uint8_t rgbGreen;
  std::uint8_t rgbRed;
  std::uint8_t rgbReserved;
  friend bool operator==(const TVxRGBQuad&, const TVxRGBQuad&) = default;
};
static_assert(sizeof(TVxRGBQuad) == 4);

// biCompression values (the OS's BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS).
inline constexpr std::uint32_t CompressionRGB = 0;
inline constexpr std::uint32_t CompressionRLE8 = 1;
inline constexpr std::uint32_t CompressionRLE4 = 2;
inline constexpr std::uint32_t CompressionBitFields = 3;

// The image: pixel block, header and colour table. Header and table are contiguous, so
// &Header is a BITMAPINFO for the OS. The table has 256 entries plus 16 spare bytes (4
// entries): while a reader holds three bit-field masks in front of the entries, the
// masks and 256 entries still fit. Always copied as one block.
struct TVxDIBRecord {
  std::uint32_t BitsSize = 0;                           // real size of the pixel block
  platform::TMappingHandle MappingHandle = nullptr;     // null when the block is heap memory
  std::uint8_t* Bits = nullptr;                         // null when there is no block
  TVxBitmapInfoHeader Header{};
  TVxRGBQuad ColorTable[256 + 4]{};

  const void* BitmapInfo() const noexcept { return &Header; }
  void* BitmapInfo() noexcept { return &Header; }
  // The table area as bytes (masks in front of the entries while a reader works).
  std::uint8_t* TableBytes() noexcept { return reinterpret_cast<std::uint8_t*>(ColorTable); }
};
static_assert(offsetof(TVxDIBRecord, ColorTable) == offsetof(TVxDIBRecord, Header) + 40);
static_assert(sizeof(TVxDIBRecord::ColorTable) == 1024 + 16);

// The pixel layout of a DIB. The last two are conversion targets only.
enum TVxPixelFormat : std::uint8_t {
  vxpf1Bit,
  vxpf4Bit,
  vxpf4BitRLE,
  vxpf8Bit,
  vxpf8BitRLE,
  vxpf24Bit,
  vxpfHalftone,
  vxpfHalftoneBW,
};

// ---------------------------------------------------------------------------------------
// Library routines.

// Largest pixel block the library makes or accepts: sizes stay in signed 32-bit range.
inline constexpr std::int64_t MaxBitsSize = 0x7FFFFFFF;

// 1 gives 2, 4 gives 16, 8 gives 256, every other bit count 0.
int ColorCount(int bitCount) noexcept;
// DIBRowSize, the bytes of one row: graphics/DibFormat.h.
// Bytes of |height| rows, or -1 when that exceeds MaxBitsSize (or width/height is out of range).
std::int64_t DIBImageSize(std::int64_t width, std::int64_t height, int bitCount) noexcept;

// A pixel block: a paging-file backed mapping (useFMO) or zero-filled heap memory.
// Raises EOutOfResources "GetMemory: Cannot Make File Mapping Object" / "GetMemory: Cannot
// Make View of File Map", or EOutOfMemory for the heap. Leaves nothing allocated on failure.
void GetMemory(std::uint32_t size, bool useFMO, platform::TMappingHandle& mappingHandle, std::uint8_t*& block);
// As GetMemory, for a caller that overwrites every byte at once (the block may hold old data).
void GetMemoryForOverwrite(std::uint32_t size, bool useFMO, platform::TMappingHandle& mappingHandle,
                           std::uint8_t*& block);
// Frees a block of GetMemory. A failing unmap or close is an assertion failure.
void ReleaseMemory(platform::TMappingHandle mappingHandle, void* block, bool useFMO);

// Blocks that ReleaseMemory gives back (every mapping, heap blocks from 64 KiB on) are kept
// for the next image of about the same size and handed out again (cleared, for GetMemory).
// ReleasePooledMemory frees them (shutdown); the pool of mappings is here for tests to
// look into.
class TBlockPool;
TBlockPool& MappingBlockPool() noexcept;
void ReleasePooledMemory() noexcept;
// Gives back what both pools keep above floorBytes together (half of it for each): an
// idle program holds no more than that.
void TrimPooledMemory(std::size_t floorBytes) noexcept;

// Owns a block of GetMemory until it is handed to a record (MoveTo); frees it otherwise.
class TVxMemory {
public:
  TVxMemory() noexcept = default;
  TVxMemory(std::uint32_t size, bool useFMO, bool zeroFill = true);
  TVxMemory(TVxMemory&& other) noexcept;
  TVxMemory& operator=(TVxMemory&& other) noexcept;
  TVxMemory(const TVxMemory&) = delete;
  TVxMemory& operator=(const TVxMemory&) = delete;
  ~TVxMemory();

  std::uint8_t* Bits() const noexcept { return FBits; }
  std::uint32_t Size() const noexcept { return FSize; }
  // Sets the record's BitsSize, MappingHandle and Bits to this block and gives up ownership.
  void MoveTo(TVxDIBRecord& record) noexcept;
  void Reset() noexcept;

private:
  platform::TMappingHandle FMapping = nullptr;
  std::uint8_t* FBits = nullptr;
  std::uint32_t FSize = 0;
  bool FUseFMO = false;
};

// A new logical palette from the record's first biClrUsed entries; null when biClrUsed is 0.
// Raises EOutOfResources "GetPaletteFromDIBInfos: Cannot Make Palette".
TPaletteHandle GetPaletteFromDIBInfos(const TVxDIBRecord& dib);

// Right shifts that bring the highest set bit of a non-zero mask to bit 7 (negative: left).
int MaskShift(std::uint32_t mask) noexcept;

// The UseFMO value of every newly constructed DIB graphic; initially true.
bool DefaultUseFMO() noexcept;
void SetDefaultUseFMO(bool value) noexcept;

// How a 24-bit image is reduced (cmLow, cmHigh; defined with the DIB graphic).
enum TVxConvertMethod : std::uint8_t;
// The progress callback of the conversions: called with a null sender.
using TVxStepEvent = std::function<void(TObject* sender)>;

// ---------------------------------------------------------------------------------------
// The storage behind every DIB graphic, shared by reference count.

// The owner of a pixel block that a storage uses without having made it (a plug-in's
// result handed over without a copy); destroying it ends the loan.
class TForeignPixels {
public:
  virtual ~TForeignPixels() = default;
};

class TVxInternalDIB : public TObject {
public:
  // A 1 x 1, 8-bit image with 256 black entries and a zeroed 4-byte block.
  explicit TVxInternalDIB(bool useFMO);
  ~TVxInternalDIB() override;
  TVxInternalDIB(const TVxInternalDIB&) = delete;
  TVxInternalDIB& operator=(const TVxInternalDIB&) = delete;

  std::int32_t RefCount = 1;   // holders of this storage
  std::int32_t Width = 0;      // equals Header.biWidth
  std::int32_t Height = 0;     // absolute Header.biHeight
  TPaletteHandle PaletteHandle = nullptr;  // cached palette of the table; owned
  TVxDIBRecord DIB;
  bool PaletteChanged = false;  // the table changed and the graphic has not been told
  bool UseFMO;

  // Frees the pixel block and the cached palette; the record's block fields become 0.
  void ReleaseStorage() noexcept;
  // An empty (zeroed, black-table) image. Called only without a pixel block.
  // Raises EVxDIBInvalidDIBPara "TVxInternalDIB.CreateDIB: Invalid Parameters".
  void CreateDIB(int width, int height, int colorCount, int bitCount);
  // After every change of the colour table: drops the cached palette, sets PaletteChanged.
  void UpdatePalette();
  TVxPixelFormat GetPixelFormat() const;
  // Converts the image to target through up to three chained conversions; the result
  // replaces the record only when every step succeeded. method chooses the reduction from
  // 24 bits, monoColor (0x00BBGGRR) the set bit of a reduction to 1 bit. The storage must
  // not be shared. A target equal to the current format is an assertion failure.
  void SetPixelsFormat(TVxPixelFormat target, TVxConvertMethod method, const TVxStepEvent& step,
                       std::uint32_t monoColor);
  // Releases the current content and takes a filled record (and its block) in its place;
  // Width and Height follow the record's header. The palette is the caller's business.
  void MoveInDIB(const TVxDIBRecord& record) noexcept;

  // BMP files and packed DIBs (CF_DIB). Loading leaves the storage as it was on failure.
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  void LoadFromClipboardFormat(TGlobalHandle handle);
  // Uncompressed 1-, 4-, 8- or 24-bit rows already in memory, taken in place with the header
  // (40 bytes) and the table area behind it as the readers take them; owner keeps the block
  // alive until the storage lets it go (also when this fails). Leaves the storage as it was
  // on failure.
  void AdoptPixels(const TVxBitmapInfoHeader& header, const void* table, std::uint8_t* pixels, std::uint32_t size,
                   std::unique_ptr<TForeignPixels> owner);
  // Set while the pixel block is someone else's.
  std::unique_ptr<TForeignPixels> ForeignPixels;
  // A new movable global block holding a packed DIB; the caller owns it.
  TGlobalHandle SaveToClipboardFormat() const;
};

// ---------------------------------------------------------------------------------------
// The DIB graphic.

enum TVxConvertMethod : std::uint8_t { cmLow, cmHigh };
enum TVxHalftoneMode : std::uint8_t { hmNone, hmHalftone, hmHalftoneBW };

// The clipboard format of packed DIBs (the OS's CF_DIB), and of their palette (CF_PALETTE).
inline constexpr std::uint16_t ClipboardFormatDIB = 8;
inline constexpr std::uint16_t ClipboardFormatPalette = 9;

// A graphic over a shared storage: assignment between DIB graphics shares the storage, and
// every change in place first makes it this object's own (copy-on-write). Replacing
// operations build the new storage first and swap it in only on success.
class TVxDIB : public TVxGraphic {
  TVX_DECLARE_CLASS
public:
  TVxDIB();
  ~TVxDIB() override;

  // nil: a new default image; a DIB graphic: share its storage; a bitmap: copy its pixels;
  // anything else: the clipboard, or the source's AssignTo.
  void Assign(const TPersistent* source) override;
  // On a device context through the OS; onto a bitmap's canvas (or a DIB canvas without a
  // device context) stretched to rect by nearest pixels. In the halftone modes through a
  // halftoned copy of the picture at the rectangle's size.
  void Draw(TCanvas& canvas, const TRect& rect) override;
  bool GetEmpty() const override;
  int GetHeight() const override;
  int GetWidth() const override;
  // The cached palette of the colour table (owned by the storage); null without a table.
  // In the halftone modes the library's shared halftone or black-and-white palette.
  TPaletteHandle GetPalette() const override;
  // Takes ownership of a non-null palette; null empties the colour table.
  void SetPalette(TPaletteHandle value) override;
  void SetHeight(int value) override;
  void SetWidth(int value) override;
  void LoadFromStream(TStream& stream) override;
  // A load of rows already in memory, without a copy (TVxInternalDIB::AdoptPixels).
  void LoadAdoptedPixels(const TVxBitmapInfoHeader& header, const void* table, std::uint8_t* pixels,
                         std::uint32_t size, std::unique_ptr<TForeignPixels> owner);
  void SaveToStream(TStream& stream) const override;
  void LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle palette) override;
  void SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const override;
  std::uint16_t ClipboardFormat() const override { return ClipboardFormatDIB; }

  int BitCount() const;
  // 1, 4, 8 or 24: a fresh (black) image of that depth.
  void SetBitCount(int value);
  TVxPixelFormat PixelFormat() const;
  // Converts the image in place, with progress events for the long reductions.
  void SetPixelFormat(TVxPixelFormat value);
  // Gives a 24-bit image an optimised colour table (for palette displays); pixels stay.
  void CreateTrueColorPalette();
  bool UseFMO() const;

  TVxConvertMethod ConvertMethod() const noexcept { return FConvertMethod; }
  void SetConvertMethod(TVxConvertMethod value) noexcept { FConvertMethod = value; }
  std::uint32_t MonoColor() const noexcept { return FMonoColor; }
  void SetMonoColor(std::uint32_t value) noexcept { FMonoColor = value; }
  TVxHalftoneMode HalftoneMode() const noexcept { return FHalftoneMode; }
  void SetHalftoneMode(TVxHalftoneMode value) noexcept { FHalftoneMode = value; }

  // The storage; never null between public operations.
  TVxInternalDIB* InternalDIB() const noexcept { return FInternalDIB; }
  // Drops this object's hold on the storage (destroying it when it was the last holder).
  void ReleaseInternalDIB() noexcept;
  // Makes the storage this object's own before a change in place.
  void UniqueDIB();
  // Passes a palette change of the storage on to the graphic's PaletteModified.
  void UpdatePaletteModified();

protected:
  void AssignTo(TPersistent& dest) const override;
  // Replaces the storage with a complete new one (this object's hold on the old one ends).
  void TakeInternalDIB(std::unique_ptr<TVxInternalDIB> storage) noexcept;
  // Raises the assertion "<operation>: InternalDIB Should not be Nil" without a storage.
  void CheckInternalDIB(const char* operation) const;

  std::int32_t FProgressCount = 0;
  std::int32_t FProgressTotal = 0;
  std::string FProgressMessage;

private:
  // A new zeroed image with a black table, swapped in on success.
  void FreshImage(int width, int height, int colorCount, int bitCount);
  void AssignBitmap(const TBitmap& bitmap);
  void DrawPlain(TCanvas& canvas, const TRect& rect);
  void DrawHalftoned(TCanvas& canvas, const TRect& rect);
  void StartProgress(std::int32_t total, const char* message);
  void ProgressStep();
  void EndProgress();

  TVxInternalDIB* FInternalDIB = nullptr;
  TVxConvertMethod FConvertMethod = cmLow;
  std::uint32_t FMonoColor = 0xFFFFFF;
  TVxHalftoneMode FHalftoneMode = hmNone;
};

// A canvas that draws straight into the pixels of a DIB graphic whose storage lies in a file
// mapping. On Windows it stands for a memory device context holding a DIB section over the
// storage's mapping; without device contexts it draws through the portable renderer into a
// bitmap whose pixel block is the mapping itself (plain bottom-up images only). The DIB is
// made unique and must not be shared while the canvas lives; destroying the canvas tells
// the DIB that its pixels changed.
class TVxDIBCanvas : public TCanvas {
public:
  // Raises EVxDIBCanvasFailed "TVxDIBCanvas.Create: Cannot Create Canvas" for a nil DIB or
  // one in heap memory, EOutOfResources "TVxDIBCanvas.Create: Cannot Create Memory DC" when
  // the context or the section cannot be made.
  explicit TVxDIBCanvas(TVxDIB* dib);
  ~TVxDIBCanvas() override;
  TVxDIBCanvas(const TVxDIBCanvas&) = delete;
  TVxDIBCanvas& operator=(const TVxDIBCanvas&) = delete;

  TVxDIB& DIB() const noexcept { return *FDIB; }
  // The bitmap over the DIB's pixels where there is no device context; null otherwise.
  TBitmap* PixelView() const noexcept { return FView.get(); }

private:
  platform::TDIBSectionDC FSection;
  TVxDIB* FDIB;
  std::unique_ptr<TBitmap> FView;
};

// Deletes the shared halftone and black-and-white palettes (shutdown).
void ReleaseSharedPalettes() noexcept;

// The library's shared palette of a halftone mode (hmHalftone: the 215 halftone colours,
// hmHalftoneBW: black and white), made on first use and kept until ReleaseSharedPalettes.
// Raises EOutOfResources "TVxDIB.GetPalette: Cannot Make Palette(1)".
TPaletteHandle SharedPalette(TVxHalftoneMode mode);

// Sets a DIB's halftone mode for a scope and puts the previous one back on every path.
class TVxHalftoneModeOverride {
public:
  TVxHalftoneModeOverride(TVxDIB& dib, TVxHalftoneMode mode) noexcept : FDib(dib), FSaved(dib.HalftoneMode()) {
    FDib.SetHalftoneMode(mode);
  }
  ~TVxHalftoneModeOverride() { FDib.SetHalftoneMode(FSaved); }
  TVxHalftoneModeOverride(const TVxHalftoneModeOverride&) = delete;
  TVxHalftoneModeOverride& operator=(const TVxHalftoneModeOverride&) = delete;

private:
  TVxDIB& FDib;
  TVxHalftoneMode FSaved;
};

// Draws a DIB into a bitmap of at least its size: run-length data decoded, the row order of
// the header honoured, indices mapped through the DIB's colour table onto the bitmap's
// format. dest is the target rectangle (nearest-pixel scaling; unscaled when it has the
// DIB's size). A stream that the decoder rejects raises the decoder's error.
void BlitDIB(const TVxDIBRecord& dib, TBitmap& bitmap, const TRect& dest);

// The DIB library's start-up and shutdown: registers TVxDIB for clipboard format 8 (CF_DIB) and for the
// extension "dib", and withdraws every registration of TVxDIB and its descendants.
void VxDIBInitialize();
void VxDIBFinalize();
