/* Colour management of the plug-in: pictures that carry a colour profile (an embedded ICC
 * profile, or a PNG's gamma and chromaticities) are converted to sRGB, perceptual intent, on
 * their way into the target. A picture without colour information is never touched, and
 * neither is one whose profile is sRGB already, so common files keep their exact bytes.
 *
 * Untrusted profiles cost bounded memory and never fail a file: whatever cannot be used
 * (too large, broken, the wrong colour space, no transform) means "as stored". */
#ifndef TAVEX_IFTAVEX_COLOUR_H
#define TAVEX_IFTAVEX_COLOUR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TColour TColour;

/* Profiles above this are refused before any parsing. */
#define COLOUR_MAX_PROFILE_BYTES ((size_t)4 << 20)

/* A conversion from the pixels an ICC profile describes to sRGB. channels is what the pixels
 * are: 3 RGB, 1 grey, 4 CMYK; a profile of another colour space is not used. NULL: nothing to
 * do (no profile, a broken or oversized one, or one that is sRGB already). */
TColour* ColourFromIcc(const uint8_t* icc, size_t size, int channels);

/* A conversion from RGB pixels encoded with a PNG's file gamma (0.45455 for the usual 1/2.2;
 * 0: none given, taken as that) and chromaticities (8 values: white x, y, red x, y, green
 * x, y, blue x, y; NULL: none given, taken as sRGB's). NULL when there is nothing to do:
 * neither given, values out of range, or what they describe is sRGB within rounding. */
TColour* ColourFromPng(double gamma, const double* chrm);

void ColourFree(TColour* colour);

/* The pixels the conversion takes: 1, 3 or 4, as given to ColourFromIcc (3 from ColourFromPng). */
int ColourChannels(const TColour* colour);

/* Converts count pixels of R,G,B,A (grey conversions read R, as rows of grey with R = G = B
 * come) from in to out, which may be the same; alpha is copied unchanged. 16-bit rows are
 * converted at 16 bits, in host byte order. */
void ColourRow8(TColour* colour, const uint8_t* in, uint8_t* out, int count);
void ColourRow16(TColour* colour, const uint16_t* in, uint16_t* out, int count);

/* CMYK conversions: count pixels of C,M,Y,K (0 = no ink; inverted: 255 = no ink, as Adobe
 * writes CMYK JPEGs) to R,G,B,A with alpha 255. */
void ColourCmykRow8(TColour* colour, const uint8_t* cmyk, int inverted, uint8_t* rgba, int count);

#ifdef __cplusplus
}
#endif

#endif
