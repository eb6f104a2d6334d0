/* Colour management over lcms2: the picture's profile to lcms2's own sRGB, perceptual intent.
 *
 * Every conversion has an lcms2 context of its own. Its error handler is silent (a plug-in
 * must not print, nor change how the host's own use of lcms2 reports), and its allocator
 * draws on a fixed budget, so a small profile that declares huge tables fails to open
 * instead of taking the memory it claims. */
#include "Colour.h"

#include <stdlib.h>
#include <string.h>

#ifdef TAVEX_HAVE_LCMS2

#include <lcms2.h>
#include <lcms2_plugin.h>

/* What one conversion may allocate in all: the profile's copy, its parsed tables and the
 * transforms made from them. Real profiles need well under a tenth of it. */
#define COLOUR_MEMORY_BUDGET ((size_t)48 << 20)

/* Pixels converted at a time through a buffer on the stack. */
#define COLOUR_CHUNK 256

typedef struct TBudget {
  size_t left;
} TBudget;

struct TColour {
  TBudget budget; /* first: lcms2 frees the context itself through the allocator below */
  cmsContext context;
  cmsHPROFILE source;
  cmsHPROFILE srgb;
  int channels;
  cmsHTRANSFORM row8;      /* made with the conversion */
  cmsHTRANSFORM row16;     /* made on first use; failed16 once that failed */
  cmsHTRANSFORM inverted8; /* CMYK with 255 for no ink, on first use */
  int failed16;
  int failedInverted;
};

/* ---- the context's allocator ---------------------------------------------------------- */

/* Each block carries its size, and whether it was counted: lcms2 allocates the context itself
 * before the budget is reachable through it. */
typedef union TBlockHeader {
  struct {
    size_t size;
    TBudget* budget;
  } h;
  max_align_t align;
} TBlockHeader;

static void* BudgetMalloc(cmsContext context, cmsUInt32Number size) {
  TBudget* budget = (TBudget*)cmsGetContextUserData(context);
  if (budget && (size_t)size > budget->left) return NULL;
  TBlockHeader* block = (TBlockHeader*)malloc(sizeof(TBlockHeader) + (size_t)size);
  if (!block) return NULL;
  block->h.size = size;
  block->h.budget = budget;
  if (budget) budget->left -= size;
  return block + 1;
}

static void BudgetFree(cmsContext context, void* p) {
  (void)context;
  if (!p) return;
  TBlockHeader* block = (TBlockHeader*)p - 1;
  if (block->h.budget) block->h.budget->left += block->h.size;
  free(block);
}

static void* BudgetRealloc(cmsContext context, void* p, cmsUInt32Number size) {
  void* grown = BudgetMalloc(context, size);
  if (!grown || !p) return grown;
  size_t old = ((TBlockHeader*)p - 1)->h.size;
  memcpy(grown, p, old < (size_t)size ? old : (size_t)size);
  BudgetFree(context, p);
  return grown;
}

static cmsPluginMemHandler BudgetPlugin = {
    {cmsPluginMagicNumber, 2060, cmsPluginMemHandlerSig, NULL},
    BudgetMalloc, BudgetFree, BudgetRealloc, NULL, NULL, NULL};

static void Silent(cmsContext context, cmsUInt32Number code, const char* text) {
  (void)context;
  (void)code;
  (void)text;
}

/* ---- making a conversion -------------------------------------------------------------- */

static TColour* NewColour(int channels) {
  TColour* colour = (TColour*)calloc(1, sizeof(TColour));
  if (!colour) return NULL;
  colour->budget.left = COLOUR_MEMORY_BUDGET;
  colour->channels = channels;
  colour->context = cmsCreateContext(&BudgetPlugin, &colour->budget);
  if (!colour->context) {
    free(colour);
    return NULL;
  }
  cmsSetLogErrorHandlerTHR(colour->context, Silent);
  return colour;
}

void ColourFree(TColour* colour) {
  if (!colour) return;
  if (colour->row8) cmsDeleteTransform(colour->row8);
  if (colour->row16) cmsDeleteTransform(colour->row16);
  if (colour->inverted8) cmsDeleteTransform(colour->inverted8);
  if (colour->source) cmsCloseProfile(colour->source);
  if (colour->srgb) cmsCloseProfile(colour->srgb);
  cmsDeleteContext(colour->context);
  free(colour);
}

int ColourChannels(const TColour* colour) { return colour->channels; }

/* The pixel layouts the transforms read: rows of R,G,B,A, of which a grey conversion takes
 * the first sample and skips three; CMYK as four samples. They write R,G,B. */
static cmsUInt32Number InputFormat(int channels, int bytes, int inverted) {
  switch (channels) {
  case 1: return COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | EXTRA_SH(3) | BYTES_SH(bytes);
  case 4: return COLORSPACE_SH(PT_CMYK) | CHANNELS_SH(4) | BYTES_SH(bytes) | FLAVOR_SH(inverted);
  default: return COLORSPACE_SH(PT_RGB) | CHANNELS_SH(3) | EXTRA_SH(1) | BYTES_SH(bytes);
  }
}

static cmsHTRANSFORM MakeTransform(TColour* colour, int bytes, int inverted) {
  return cmsCreateTransformTHR(colour->context, colour->source, InputFormat(colour->channels, bytes, inverted),
                               colour->srgb, bytes == 2 ? TYPE_RGB_16 : TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
}

/* Whether the conversion keeps every 8-bit value within one step: a 16-level grid of RGB (every
 * level of grey), which a profile of sRGB's primaries and curve passes and anything visibly
 * different fails. */
static int KeepsValues(TColour* colour) {
  enum { Levels = 16, Pixels = Levels * Levels * Levels };
  uint8_t in[Pixels * 4], out[Pixels * 3];
  int n = 0;
  if (colour->channels == 1) {
    for (; n < 256; ++n) in[n * 4] = in[n * 4 + 1] = in[n * 4 + 2] = (uint8_t)n, in[n * 4 + 3] = 255;
  } else {
    for (int r = 0; r < Levels; ++r)
      for (int g = 0; g < Levels; ++g)
        for (int b = 0; b < Levels; ++b, ++n) {
          in[n * 4] = (uint8_t)(r * 17), in[n * 4 + 1] = (uint8_t)(g * 17), in[n * 4 + 2] = (uint8_t)(b * 17);
          in[n * 4 + 3] = 255;
        }
  }
  cmsDoTransform(colour->row8, in, out, (cmsUInt32Number)n);
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c)
      if (abs((int)out[i * 3 + c] - (int)in[i * 4 + c]) > 1) return 0;
  return 1;
}

/* Takes the source profile over; NULL and nothing left behind when no usable conversion comes
 * of it, or when it is sRGB already. */
static TColour* Finish(TColour* colour, cmsHPROFILE source) {
  colour->source = source;
  if (!source) goto none;
  cmsColorSpaceSignature space = cmsGetColorSpace(source);
  cmsProfileClassSignature kind = cmsGetDeviceClass(source);
  cmsColorSpaceSignature want =
      colour->channels == 1 ? cmsSigGrayData : colour->channels == 4 ? cmsSigCmykData : cmsSigRgbData;
  /* A device link, an abstract or a named-colour profile describes no pixels of its own. */
  if (space != want || (kind != cmsSigInputClass && kind != cmsSigDisplayClass && kind != cmsSigOutputClass &&
                        kind != cmsSigColorSpaceClass))
    goto none;
  colour->srgb = cmsCreate_sRGBProfileTHR(colour->context);
  if (!colour->srgb) goto none;
  colour->row8 = MakeTransform(colour, 1, 0);
  if (!colour->row8) goto none;
  if (colour->channels != 4 && KeepsValues(colour)) goto none;
  return colour;
none:
  ColourFree(colour);
  return NULL;
}

static uint32_t Big32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

TColour* ColourFromIcc(const uint8_t* icc, size_t size, int channels) {
  /* A header and a tag count at least; the size the header declares must be there. */
  if (!icc || size < 132 || size > COLOUR_MAX_PROFILE_BYTES) return NULL;
  if (channels != 1 && channels != 3 && channels != 4) return NULL;
  uint32_t declared = Big32(icc);
  if (declared < 132 || declared > size || memcmp(icc + 36, "acsp", 4) != 0) return NULL;
  TColour* colour = NewColour(channels);
  if (!colour) return NULL;
  return Finish(colour, cmsOpenProfileFromMemTHR(colour->context, icc, declared));
}

TColour* ColourFromPng(double gamma, const double* chrm) {
  if (gamma == 0 && !chrm) return NULL;
  /* Exponents beyond these are no real encoding; the test is written so that NaN fails too. */
  if (gamma != 0 && !(gamma >= 0.05 && gamma <= 20)) return NULL;
  if (chrm) {
    for (int i = 0; i < 8; ++i)
      if (!(chrm[i] >= 0 && chrm[i] <= 1)) return NULL;
    if (chrm[1] <= 0) return NULL;
  }
  TColour* colour = NewColour(3);
  if (!colour) return NULL;
  /* No chromaticities: sRGB's primaries and white. A gamma of 0.45 to 0.46 is what encoders
   * write for sRGB's own curve, and so is no gamma beside chromaticities; any other gamma is a
   * plain power curve. */
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  if (chrm) {
    white.x = chrm[0], white.y = chrm[1];
    primaries.Red.x = chrm[2], primaries.Red.y = chrm[3];
    primaries.Green.x = chrm[4], primaries.Green.y = chrm[5];
    primaries.Blue.x = chrm[6], primaries.Blue.y = chrm[7];
  }
  cmsToneCurve* curve;
  if (gamma == 0 || (gamma >= 0.45 && gamma <= 0.46)) {
    const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    curve = cmsBuildParametricToneCurve(colour->context, 4, srgb);
  } else {
    curve = cmsBuildGamma(colour->context, 1.0 / gamma);
  }
  cmsHPROFILE source = NULL;
  if (curve) {
    cmsToneCurve* curves[3] = {curve, curve, curve};
    source = cmsCreateRGBProfileTHR(colour->context, &white, &primaries, curves);
    cmsFreeToneCurve(curve);
  }
  return Finish(colour, source);
}

/* ---- converting rows ------------------------------------------------------------------ */

void ColourRow8(TColour* colour, const uint8_t* in, uint8_t* out, int count) {
  uint8_t rgb[COLOUR_CHUNK * 3];
  for (int done = 0; done < count; done += COLOUR_CHUNK) {
    int n = count - done < COLOUR_CHUNK ? count - done : COLOUR_CHUNK;
    const uint8_t* from = in + (size_t)done * 4;
    uint8_t* to = out + (size_t)done * 4;
    cmsDoTransform(colour->row8, from, rgb, (cmsUInt32Number)n);
    for (int i = 0; i < n; ++i) {
      to[i * 4 + 3] = from[i * 4 + 3];
      memcpy(to + i * 4, rgb + i * 3, 3);
    }
  }
}

void ColourRow16(TColour* colour, const uint16_t* in, uint16_t* out, int count) {
  if (!colour->row16 && !colour->failed16) {
    colour->row16 = MakeTransform(colour, 2, 0);
    colour->failed16 = !colour->row16;
  }
  uint16_t rgb[COLOUR_CHUNK * 3];
  for (int done = 0; done < count; done += COLOUR_CHUNK) {
    int n = count - done < COLOUR_CHUNK ? count - done : COLOUR_CHUNK;
    const uint16_t* from = in + (size_t)done * 4;
    uint16_t* to = out + (size_t)done * 4;
    /* Out of memory for the wide transform: the rows stay as stored. */
    if (colour->row16)
      cmsDoTransform(colour->row16, from, rgb, (cmsUInt32Number)n);
    else
      for (int i = 0; i < n; ++i) memcpy(rgb + i * 3, from + i * 4, 3 * sizeof(uint16_t));
    for (int i = 0; i < n; ++i) {
      to[i * 4 + 3] = from[i * 4 + 3];
      memcpy(to + i * 4, rgb + i * 3, 3 * sizeof(uint16_t));
    }
  }
}

void ColourCmykRow8(TColour* colour, const uint8_t* cmyk, int inverted, uint8_t* rgba, int count) {
  cmsHTRANSFORM transform = colour->row8;
  if (inverted) {
    if (!colour->inverted8 && !colour->failedInverted) {
      colour->inverted8 = MakeTransform(colour, 1, 1);
      colour->failedInverted = !colour->inverted8;
    }
    transform = colour->inverted8;
  }
  uint8_t rgb[COLOUR_CHUNK * 3];
  for (int done = 0; done < count; done += COLOUR_CHUNK) {
    int n = count - done < COLOUR_CHUNK ? count - done : COLOUR_CHUNK;
    const uint8_t* from = cmyk + (size_t)done * 4;
    uint8_t* to = rgba + (size_t)done * 4;
    if (transform) {
      cmsDoTransform(transform, from, rgb, (cmsUInt32Number)n);
    } else {
      memset(rgb, 255, (size_t)n * 3); /* cannot happen short of memory: white, not garbage */
    }
    for (int i = 0; i < n; ++i) {
      memcpy(to + i * 4, rgb + i * 3, 3);
      to[i * 4 + 3] = 255;
    }
  }
}

#else

/* A build without lcms2 manages no colour: every picture is converted as stored. */
TColour* ColourFromIcc(const uint8_t* icc, size_t size, int channels) {
  (void)icc;
  (void)size;
  (void)channels;
  return NULL;
}

TColour* ColourFromPng(double gamma, const double* chrm) {
  (void)gamma;
  (void)chrm;
  return NULL;
}

void ColourFree(TColour* colour) { (void)colour; }

int ColourChannels(const TColour* colour) {
  (void)colour;
  return 0;
}

void ColourRow8(TColour* colour, const uint8_t* in, uint8_t* out, int count) {
  (void)colour;
  if (in != out) memcpy(out, in, (size_t)count * 4);
}

void ColourRow16(TColour* colour, const uint16_t* in, uint16_t* out, int count) {
  (void)colour;
  if (in != out) memcpy(out, in, (size_t)count * 4 * sizeof(uint16_t));
}

void ColourCmykRow8(TColour* colour, const uint8_t* cmyk, int inverted, uint8_t* rgba, int count) {
  (void)colour;
  (void)cmyk;
  (void)inverted;
  memset(rgba, 255, (size_t)count * 4);
}

#endif
