#include "dib/VxGraph.h"

TVX_DEFINE_ABSTRACT_CLASS(TVxGraphic, TGraphic)

void TVxGraphic::Assign(const TPersistent* source) { TGraphic::Assign(source); }
