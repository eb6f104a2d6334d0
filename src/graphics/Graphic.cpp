#include "graphics/Graphic.h"

#include <algorithm>

#include "rtl/Text.h"

TVX_DEFINE_ABSTRACT_CLASS(TGraphic, TPersistent)

void TGraphic::Assign(const TPersistent* source) { TPersistent::Assign(source); }

void TGraphic::Changed(TObject*) {
  FModified = true;
  if (OnChange) OnChange(this);
}

void TGraphic::DrawTransparent(TCanvas& canvas, const TRect& rect, std::uint8_t) { Draw(canvas, rect); }

TPaletteHandle TGraphic::GetPalette() const { return nullptr; }

bool TGraphic::GetTransparent() const { return FTransparent; }

void TGraphic::ReadData(TStream& stream) { LoadFromStream(stream); }

void TGraphic::SetPalette(TPaletteHandle) {}

void TGraphic::SetTransparent(bool value) {
  if (value != FTransparent) {
    FTransparent = value;
    Changed(this);
  }
}

void TGraphic::WriteData(TStream& stream) const { SaveToStream(stream); }

bool TGraphic::GetSupportsPartialTransparency() const { return false; }

void TGraphic::LoadFromFile(const std::filesystem::path& fileName) {
  TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::filesystem::path& fileName) const {
  TFileStream stream(fileName, fmCreate);
  SaveToStream(stream);
}

void TGraphic::SetSize(int width, int height) {
  SetWidth(width);
  SetHeight(height);
}

void TGraphic::Progress(TObject* sender, TProgressStage stage, std::uint8_t percentDone, bool redrawNow,
                        const TRect& r, const std::string& msg) {
  if (OnProgress) OnProgress(sender, stage, percentDone, redrawNow, r, msg);
}

void TGraphic::SetModified(bool value) {
  if (value)
    Changed(this);
  else
    FModified = false;
}

namespace {
std::vector<TPicture::TFileFormat>& FileList() {
  static std::vector<TPicture::TFileFormat> list;
  return list;
}
std::vector<TPicture::TClipboardFormat>& ClipList() {
  static std::vector<TPicture::TClipboardFormat> list;
  return list;
}
}  // namespace

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  const TClass& graphicClass) {
  std::string ext = extension;
  if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
  FileList().push_back({AsciiLower(ext), description, &graphicClass});
}

void TPicture::RegisterClipboardFormat(std::uint16_t format, const TClass& graphicClass) {
  ClipList().push_back({format, &graphicClass});
}

void TPicture::UnregisterGraphicClass(const TClass& graphicClass) {
  std::erase_if(FileList(), [&](const TFileFormat& f) { return f.GraphicClass->InheritsFrom(graphicClass); });
  std::erase_if(ClipList(), [&](const TClipboardFormat& f) { return f.GraphicClass->InheritsFrom(graphicClass); });
}

const TClass* TPicture::FindClipboardFormatClass(std::uint16_t format) {
  const auto& list = ClipList();
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->Format == format) return it->GraphicClass;
  return nullptr;
}

const TClass* TPicture::FindGraphicClassByName(const std::string& className) {
  for (auto it = FileList().rbegin(); it != FileList().rend(); ++it)
    if (SameTextAscii(it->GraphicClass->Name, className)) return it->GraphicClass;
  for (auto it = ClipList().rbegin(); it != ClipList().rend(); ++it)
    if (SameTextAscii(it->GraphicClass->Name, className)) return it->GraphicClass;
  return nullptr;
}

const std::vector<TPicture::TFileFormat>& TPicture::FileFormats() { return FileList(); }
const std::vector<TPicture::TClipboardFormat>& TPicture::ClipboardFormats() { return ClipList(); }
