#pragma once
// The graphic object contract shared by every image class, the progress event and
// the picture format registry.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "rtl/Classes.h"
#include "rtl/Stream.h"

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const noexcept { return Right - Left; }
  int Height() const noexcept { return Bottom - Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

class TCanvas;
class TGraphic;

enum TProgressStage : std::uint8_t { psStarting, psRunning, psEnding };

using TProgressEvent = std::function<void(TObject* sender, TProgressStage stage, std::uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& msg)>;

class TGraphic : public TPersistent {
  TVX_DECLARE_CLASS
public:
  TGraphic() = default;
  TGraphic(const TGraphic&) = delete;
  TGraphic& operator=(const TGraphic&) = delete;

  // The operations in the order of the class's table (the framework's form streaming and
  // its interface query are left out: nothing here uses them).
  void Assign(const TPersistent* source) override;
  virtual void Changed(TObject* sender);
  virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;
  virtual void DrawTransparent(TCanvas& canvas, const TRect& rect, std::uint8_t opacity);
  virtual bool GetEmpty() const = 0;
  virtual int GetHeight() const = 0;
  virtual TPaletteHandle GetPalette() const;
  virtual bool GetTransparent() const;
  virtual int GetWidth() const = 0;
  virtual void ReadData(TStream& stream);
  virtual void SetHeight(int value) = 0;
  virtual void SetPalette(TPaletteHandle value);
  virtual void SetTransparent(bool value);
  virtual void SetWidth(int value) = 0;
  virtual void WriteData(TStream& stream) const;
  virtual bool GetSupportsPartialTransparency() const;
  virtual void LoadFromFile(const std::filesystem::path& fileName);
  virtual void SaveToFile(const std::filesystem::path& fileName) const;
  virtual void LoadFromStream(TStream& stream) = 0;
  virtual void SaveToStream(TStream& stream) const = 0;
  virtual void LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle palette) = 0;
  virtual void SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const = 0;
  virtual void SetSize(int width, int height);

  // Late-bound, outside the table: by default passes everything on to OnProgress.
  virtual void Progress(TObject* sender, TProgressStage stage, std::uint8_t percentDone, bool redrawNow,
                        const TRect& r, const std::string& msg);

  bool Empty() const { return GetEmpty(); }
  int Width() const { return GetWidth(); }
  int Height() const { return GetHeight(); }
  TPaletteHandle Palette() const { return GetPalette(); }
  bool Transparent() const { return GetTransparent(); }

  bool Modified() const noexcept { return FModified; }
  // True calls Changed(this); false only clears the flag.
  void SetModified(bool value);
  bool PaletteModified() const noexcept { return FPaletteModified; }
  void SetPaletteModified(bool value) noexcept { FPaletteModified = value; }

  TNotifyEvent OnChange;
  TProgressEvent OnProgress;

protected:
  bool FTransparent = false;

private:
  bool FModified = false;
  bool FPaletteModified = false;
};

// The process-wide registry of file extensions and clipboard formats. Entries are
// appended; look-ups go from the newest to the oldest, so the latest registration wins.
class TPicture {
public:
  struct TFileFormat {
    std::string Extension;  // lower case, without the dot
    std::string Description;
    const TClass* GraphicClass;
  };
  struct TClipboardFormat {
    std::uint16_t Format;
    const TClass* GraphicClass;
  };

  static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                 const TClass& graphicClass);
  static void RegisterClipboardFormat(std::uint16_t format, const TClass& graphicClass);
  // Removes every file and clipboard entry of the class or of a class derived from it.
  static void UnregisterGraphicClass(const TClass& graphicClass);

  static const TClass* FindClipboardFormatClass(std::uint16_t format);
  static const TClass* FindGraphicClassByName(const std::string& className);
  static bool SupportsClipboardFormat(std::uint16_t format) { return FindClipboardFormatClass(format) != nullptr; }

  static const std::vector<TFileFormat>& FileFormats();
  static const std::vector<TClipboardFormat>& ClipboardFormats();
};
