#include "dib/VxGraph.h"

#include "graphics/Clipboard.h"

TVX_DEFINE_ABSTRACT_CLASS(TVxGraphic, TGraphic)

void TVxGraphic::Assign(const TPersistent* source) {
  const auto* clipboard = dynamic_cast<const TClipboard*>(source);
  if (!clipboard) {
    TGraphic::Assign(source);
    return;
  }
  TClipboard& board = const_cast<TClipboard&>(*clipboard);
  board.Open();
  try {
    LoadFromClipboardFormat(ClipboardFormat(), board.GetAsHandle(ClipboardFormat()),
                            static_cast<TPaletteHandle>(board.GetAsHandle(9)));
  } catch (...) {
    board.Close();
    throw;
  }
  board.Close();
}
