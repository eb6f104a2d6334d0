#pragma once
// Small graphic classes that record what the contract calls on them.
#include <string>
#include <vector>

#include "dib/VxGraph.h"

class TRecordingGraphic : public TGraphic {
  TVX_DECLARE_CLASS
public:
  std::vector<std::string> Calls;
  int W = 0, H = 0;
  std::string Loaded;

  void Draw(TCanvas&, const TRect&) override { Calls.push_back("Draw"); }
  bool GetEmpty() const override { return W == 0 || H == 0; }
  int GetHeight() const override { return H; }
  int GetWidth() const override { return W; }
  void SetHeight(int v) override { Calls.push_back("SetHeight " + std::to_string(v)); H = v; }
  void SetWidth(int v) override { Calls.push_back("SetWidth " + std::to_string(v)); W = v; }
  void LoadFromStream(TStream& s) override {
    Loaded.assign(static_cast<size_t>(s.Size()), '\0');
    s.ReadBuffer(Loaded.data(), static_cast<std::int64_t>(Loaded.size()));
  }
  void SaveToStream(TStream& s) const override { s.WriteBuffer(Loaded.data(), static_cast<std::int64_t>(Loaded.size())); }
  void LoadFromClipboardFormat(std::uint16_t, TGlobalHandle, TPaletteHandle) override {}
  void SaveToClipboardFormat(std::uint16_t&, TGlobalHandle&, TPaletteHandle&) const override {}
};

class TRecordingVxGraphic : public TVxGraphic {
  TVX_DECLARE_CLASS
public:
  void Draw(TCanvas&, const TRect&) override {}
  bool GetEmpty() const override { return true; }
  int GetHeight() const override { return 0; }
  int GetWidth() const override { return 0; }
  void SetHeight(int) override {}
  void SetWidth(int) override {}
  void LoadFromStream(TStream&) override {}
  void SaveToStream(TStream&) const override {}
  void LoadFromClipboardFormat(std::uint16_t, TGlobalHandle, TPaletteHandle) override {}
  void SaveToClipboardFormat(std::uint16_t&, TGlobalHandle&, TPaletteHandle&) const override {}
  std::uint16_t ClipboardFormat() const override { return 8; }
};

class TRecordingVxChild : public TRecordingVxGraphic {
  TVX_DECLARE_CLASS
};
