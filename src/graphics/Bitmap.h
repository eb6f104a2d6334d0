#pragma once
// The framework's bitmap: a picture of 1, 4, 8 or 24 bits per pixel with an optional
// palette, drawn on through its canvas. Pixels are kept in the OS's DIB layout (rows
// bottom-up, each padded to 4 bytes) in a reference-counted block, so bitmaps assigned
// from each other, and a DIB storage lent to a bitmap, share pixels until one writes.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "graphics/Canvas.h"
#include "graphics/Graphic.h"
#include "platform/Palette.h"

enum TPixelFormat : std::uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf24bit };

// Bits per pixel of a format; pfDevice is a true-colour display's layout, 24 bits.
int PixelFormatBits(TPixelFormat format) noexcept;

// A block of pixel rows. Subclasses decide where the memory comes from and how it goes
// back; the block itself never changes size.
class TPixelBuffer {
public:
  virtual ~TPixelBuffer() = default;
  TPixelBuffer(const TPixelBuffer&) = delete;
  TPixelBuffer& operator=(const TPixelBuffer&) = delete;
  std::uint8_t* Data() const noexcept { return FData; }
  std::size_t Size() const noexcept { return FSize; }
  // True while the pixels also belong to someone outside the bitmaps (a DIB storage lent
  // to them): a bitmap copies them before it writes, as for a block that bitmaps share.
  virtual bool SharedElsewhere() const noexcept { return false; }

protected:
  TPixelBuffer(std::uint8_t* data, std::size_t size) noexcept : FData(data), FSize(size) {}

private:
  std::uint8_t* FData;
  std::size_t FSize;
};
using TPixelBufferRef = std::shared_ptr<TPixelBuffer>;

// A new block of size bytes; zeroFill false is for callers that overwrite every byte at once.
TPixelBufferRef NewPixelBuffer(std::size_t size, bool zeroFill = true);

// A copy of a palette that the caller owns; null for a null palette.
// Raises EOutOfResources "CopyPalette: Cannot Make Palette" when the OS refuses.
TPaletteHandle CopyPalette(TPaletteHandle palette);

class TBitmap;

// Draws into a bitmap's own pixels.
class TBitmapCanvas : public TCanvas {
public:
  explicit TBitmapCanvas(TBitmap& bitmap) noexcept : FBitmap(bitmap) {}
  TBitmap& Bitmap() const noexcept { return FBitmap; }
  // The colour (0x00BBGGRR) at a pixel; 0 outside the bitmap.
  std::uint32_t Pixel(int x, int y) const;
  // Sets a pixel to a colour (indexed formats take the nearest palette entry); ignored outside.
  void SetPixel(int x, int y, std::uint32_t color);
  void FillRect(const TRect& rect, std::uint32_t color);

private:
  TBitmap& FBitmap;
};

class TBitmap : public TGraphic {
  TVX_DECLARE_CLASS
public:
  TBitmap();
  ~TBitmap() override;

  // From another bitmap: shares its pixels (copy-on-write) and copies its palette.
  // From nil: an empty bitmap. Anything else: the source's AssignTo.
  void Assign(const TPersistent* source) override;
  // Draws onto a bitmap canvas, stretched to rect by nearest pixels.
  void Draw(TCanvas& canvas, const TRect& rect) override;
  bool GetEmpty() const override;
  int GetHeight() const override;
  int GetWidth() const override;
  TPaletteHandle GetPalette() const override;
  // The bitmap takes ownership of the handle (null drops the palette).
  void SetPalette(TPaletteHandle value) override;
  // Size changes keep the picture's top-left part; new pixels are 0.
  void SetHeight(int value) override;
  void SetWidth(int value) override;
  void SetSize(int width, int height) override;
  // A BMP file with a 40-byte header: 1, 4, 8 or 24 bits, uncompressed, either row order.
  void LoadFromStream(TStream& stream) override;
  void SaveToStream(TStream& stream) const override;
  // CF_DIB (8): a packed DIB in the BMP file's layout without the file header.
  void LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle palette) override;
  void SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const override;

  TPixelFormat PixelFormat() const noexcept { return FPixelFormat; }
  // Converts the pixels: to 24 bits (or pfDevice) through the palette, to an indexed
  // format by the nearest palette colour (a grey ramp without a palette).
  void SetPixelFormat(TPixelFormat value);
  int BitsPerPixel() const noexcept { return PixelFormatBits(FPixelFormat); }
  // Bytes of one row: padded to 4 bytes.
  int RowBytes() const noexcept;
  // Row 0 is the top row of the picture. The non-const form makes the pixels this
  // bitmap's own first; the const form may show pixels shared with others.
  std::uint8_t* ScanLine(int row);
  const std::uint8_t* ScanLine(int row) const;
  TCanvas& Canvas();

  // The pixel block in DIB layout (bottom-up rows of RowBytes()), null before the first
  // pixel access of an empty or freshly sized bitmap (all pixels 0 then).
  const TPixelBufferRef& PixelBuffer() const noexcept { return FPixels; }
  // Takes a block of at least Height() * RowBytes() bytes in DIB layout for the current
  // size and format, shared with whoever else holds it (copied before this bitmap writes).
  void SetPixelBuffer(TPixelBufferRef buffer);
  // The palette's entries that the format can address (all for 24 bits) as colours
  // 0x00BBGGRR (index beyond the palette: black).
  // Without a palette: a grey ramp over the format's index range.
  void GetColorTable(std::uint32_t (&table)[256], int& count) const;

private:
  std::size_t ImageBytes() const noexcept;
  void EnsurePixels() const;
  void MakeUnique();
  void Resize(int width, int height);

  int FWidth = 0;
  int FHeight = 0;
  TPixelFormat FPixelFormat = pfDevice;
  mutable TPixelBufferRef FPixels;
  platform::TPaletteOwner FPalette;
  std::unique_ptr<TBitmapCanvas> FCanvas;
};

// Registers the framework's own graphic classes ("bmp" for TBitmap); the pair is called
// once at start-up and shutdown, before and after the libraries' own registrations.
void GraphicsInitialize();
void GraphicsFinalize();
