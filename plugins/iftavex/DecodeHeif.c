/* HEIF (HEVC) and AVIF pictures through libheif, the same code in every build.
 *
 * libheif is LGPL, so it is never linked in: it is loaded the first time a HEIF signature
 * comes (natively by its soname, on Windows as libheif.dll from the plug-in's own folder) and
 * the few functions used are resolved into one table. Without it these files are not ours.
 *
 * The primary image is decoded with its mandatory rotation and mirror (irot, imir) applied by
 * libheif; the Orientation of its Exif item turns it only when the file has neither, so a
 * picture is never turned twice. Samples of more than 8 bits are taken to 16 bits exactly,
 * v * 65535 / (2^n - 1) rounded, and then go by the plug-in's one 16-to-8-bit rule. */
#include <stdlib.h>
#include <string.h>

#include "Exif.h"
#include "Plugin.h"

/* ---- the signature, which needs no library ------------------------------------------ */

/* The brands of HEVC and AV1 still pictures and sequences, and the two general image brands
 * that every such file carries among its compatible brands. */
static int HeifBrand(const uint8_t* b) {
  static const char brands[][5] = {"heic", "heix", "heim", "heis", "hevc",
                                   "hevx", "mif1", "msf1", "avif", "avis"};
  for (size_t i = 0; i < sizeof brands / sizeof brands[0]; ++i)
    if (memcmp(b, brands[i], 4) == 0) return 1;
  return 0;
}

static uint32_t Big32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* The file opens with its ftyp box: size, "ftyp", the major brand, a minor version and the
 * compatible brands. Any one brand of ours makes it ours, whatever the file is called. A box
 * too small for its brand, or one of more than 4 KiB (a list of a thousand brands), is none. */
int HeifDetect(const uint8_t* data, size_t size) {
  if (size < 16 || memcmp(data + 4, "ftyp", 4) != 0) return 0;
  uint32_t box = Big32(data);
  if (box < 16 || box > 4096 || box % 4 != 0) return 0;
  size_t end = box < size ? box : size;
  if (HeifBrand(data + 8)) return 1;
  for (size_t at = 16; at + 4 <= end; at += 4)
    if (HeifBrand(data + at)) return 1;
  return 0;
}

/* ---- irot and imir, read off the file ------------------------------------------------ */

typedef struct TBox {
  const uint8_t* body; /* after the header */
  size_t size;         /* of the body */
  char type[4];
} TBox;

/* The box at *at within [data, data + size), or 0 when there is none or it does not fit.
 * Advances *at past it. */
static int NextBox(const uint8_t* data, size_t size, size_t* at, TBox* box) {
  if (*at > size || size - *at < 8) return 0;
  const uint8_t* p = data + *at;
  size_t left = size - *at;
  uint64_t length = Big32(p), header = 8;
  if (length == 1) {
    if (left < 16) return 0;
    length = (uint64_t)Big32(p + 8) << 32 | Big32(p + 12);
    header = 16;
  } else if (length == 0) {
    length = left; /* to the end of what holds it */
  }
  if (length < header || length > left) return 0;
  memcpy(box->type, p + 4, 4);
  box->body = p + header;
  box->size = (size_t)(length - header);
  *at += (size_t)length;
  return 1;
}

static int FindBox(const uint8_t* data, size_t size, const char* type, TBox* box) {
  size_t at = 0;
  while (NextBox(data, size, &at, box))
    if (memcmp(box->type, type, 4) == 0) return 1;
  return 0;
}

/* Whether the primary item has a rotation or mirror property: the meta box's pitm names it,
 * iprp/ipco lists the properties (numbered from 1) and iprp/ipma ties items to them. A file
 * whose boxes cannot be read says no; libheif then refuses it anyway. */
int HeifHasTransform(const uint8_t* data, size_t size) {
  TBox meta, pitm, iprp, ipco, ipma, prop;
  if (!FindBox(data, size, "meta", &meta) || meta.size < 4) return 0;
  const uint8_t* m = meta.body + 4; /* version and flags */
  size_t mSize = meta.size - 4;
  if (!FindBox(m, mSize, "pitm", &pitm) || pitm.size < 6) return 0;
  uint32_t primary = pitm.body[0] == 0 ? (uint32_t)pitm.body[4] << 8 | pitm.body[5]
                                       : pitm.size >= 8 ? Big32(pitm.body + 4) : 0;
  if (!FindBox(m, mSize, "iprp", &iprp) || !FindBox(iprp.body, iprp.size, "ipco", &ipco)) return 0;

  /* The property numbers of every irot and imir; ipma numbers them in 15 bits at most. */
  enum { MaxMarked = 64 };
  uint32_t marked[MaxMarked];
  int count = 0;
  size_t at = 0;
  for (uint32_t index = 1; index < 0x8000u && NextBox(ipco.body, ipco.size, &at, &prop); ++index)
    if ((memcmp(prop.type, "irot", 4) == 0 || memcmp(prop.type, "imir", 4) == 0) && count < MaxMarked)
      marked[count++] = index;
  if (count == 0) return 0;

  /* Every ipma box counts: a writer may split the associations over several. */
  at = 0;
  while (NextBox(iprp.body, iprp.size, &at, &ipma)) {
    if (memcmp(ipma.type, "ipma", 4) != 0 || ipma.size < 8) continue;
    const uint8_t* p = ipma.body;
    const uint8_t* end = ipma.body + ipma.size;
    int version = p[0], wide = p[3] & 1; /* 15-bit property numbers instead of 7 */
    uint32_t entries = Big32(p + 4);
    p += 8;
    for (uint32_t e = 0; e < entries; ++e) {
      size_t idBytes = version < 1 ? 2 : 4;
      if ((size_t)(end - p) < idBytes + 1) return 0;
      uint32_t item = idBytes == 2 ? (uint32_t)p[0] << 8 | p[1] : Big32(p);
      p += idBytes;
      unsigned associations = *p++;
      size_t need = (size_t)associations * (wide ? 2 : 1);
      if ((size_t)(end - p) < need) return 0;
      for (unsigned a = 0; a < associations && item == primary; ++a) {
        uint32_t index = wide ? ((uint32_t)(p[2 * a] & 0x7F) << 8 | p[2 * a + 1]) : (uint32_t)(p[a] & 0x7F);
        for (int k = 0; k < count; ++k)
          if (marked[k] == index) return 1;
      }
      p += need;
    }
  }
  return 0;
}

/* ---- the codecs' own frame sizes ---------------------------------------------------- */

/* The decoders make their frames at the size the codec's headers give (an HEVC sequence
 * parameter set, an AV1 sequence header), whatever the ispe box says; a file of a few hundred
 * bytes may so declare a 64 x 64 picture and have dav1d or libde265 make a frame of 32768 x
 * 32768. Those headers are read here from each coded item's configuration and data, as libheif
 * hands them to the decoder, so the call can be refused before any decoding. */

typedef struct TBits {
  const uint8_t* p;
  size_t size; /* bytes */
  size_t pos;  /* bits */
  int fail;
} TBits;

static uint64_t Bits(TBits* b, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i, ++b->pos) {
    if (b->pos / 8 >= b->size) {
      b->fail = 1;
      return 0;
    }
    v = v << 1 | ((b->p[b->pos / 8] >> (7 - b->pos % 8)) & 1u);
  }
  return v;
}

/* Exp-Golomb ue(v); AV1's uvlc() is the same code. */
static uint64_t Golomb(TBits* b) {
  int zeros = 0;
  while (!b->fail && Bits(b, 1) == 0)
    if (++zeros > 32) b->fail = 1;
  return b->fail ? 0 : ((uint64_t)1 << zeros) - 1 + Bits(b, zeros);
}

/* The luma size of an HEVC sequence parameter set (a NAL unit with its 2-byte header). */
static int HevcSpsSize(const uint8_t* nal, size_t size, uint64_t* w, uint64_t* h) {
  /* Drop the emulation prevention bytes (00 00 03) of the part that holds the size. */
  uint8_t raw[256];
  size_t n = 0, zeros = 0;
  for (size_t i = 0; i < size && n < sizeof raw; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    raw[n++] = nal[i];
  }
  TBits b = {raw, n, 16, 0};
  Bits(&b, 4);                  /* video parameter set */
  int sub = (int)Bits(&b, 3);   /* sub-layers less one */
  Bits(&b, 1);
  Bits(&b, 96);                 /* the general profile, tier and level */
  int profile[8] = {0}, level[8] = {0};
  for (int i = 0; i < sub; ++i) {
    profile[i] = (int)Bits(&b, 1);
    level[i] = (int)Bits(&b, 1);
  }
  if (sub > 0)
    for (int i = sub; i < 8; ++i) Bits(&b, 2);
  for (int i = 0; i < sub; ++i) {
    if (profile[i]) Bits(&b, 88);
    if (level[i]) Bits(&b, 8);
  }
  Golomb(&b); /* its own number */
  if (Golomb(&b) == 3) Bits(&b, 1); /* 4:4:4: separate colour planes */
  *w = Golomb(&b);
  *h = Golomb(&b);
  return !b.fail;
}

/* The largest frame an AV1 sequence header (an OBU's payload) allows. */
static int Av1SequenceSize(const uint8_t* obu, size_t size, uint64_t* w, uint64_t* h) {
  TBits b = {obu, size, 0, 0};
  Bits(&b, 4); /* profile, still picture */
  if (Bits(&b, 1)) {
    Bits(&b, 5); /* a reduced still picture header: one level */
  } else {
    int model = 0, delayBits = 0;
    if (Bits(&b, 1)) { /* timing information */
      Bits(&b, 64);
      if (Bits(&b, 1)) Golomb(&b);
      model = (int)Bits(&b, 1);
      if (model) {
        delayBits = (int)Bits(&b, 5) + 1;
        Bits(&b, 42);
      }
    }
    int display = (int)Bits(&b, 1);
    int points = (int)Bits(&b, 5) + 1;
    for (int i = 0; i < points && !b.fail; ++i) {
      Bits(&b, 12);
      if (Bits(&b, 5) > 7) Bits(&b, 1); /* level, and tier above 3.3 */
      if (model && Bits(&b, 1)) Bits(&b, 2 * delayBits + 1);
      if (display && Bits(&b, 1)) Bits(&b, 4);
    }
  }
  int wb = (int)Bits(&b, 4) + 1, hb = (int)Bits(&b, 4) + 1;
  *w = Bits(&b, wb) + 1;
  *h = Bits(&b, hb) + 1;
  return !b.fail;
}

/* Keeps the larger of *largest and w x h, which may not fit 64 bits (a Golomb code of an
 * HEVC size reaches 2^33). */
static void Keep(uint64_t w, uint64_t h, uint64_t* largest) {
  uint64_t pixels = w != 0 && h > UINT64_MAX / w ? UINT64_MAX : w * h;
  if (pixels > *largest) *largest = pixels;
}

/* AV1 open bitstream units: each sequence header's frame counts. */
static void Av1Frames(const uint8_t* p, size_t n, uint64_t* largest) {
  while (n > 0) {
    int type = p[0] >> 3 & 15, extension = p[0] >> 2 & 1, sized = p[0] >> 1 & 1;
    size_t at = 1 + (size_t)extension, length = 0;
    if (at > n) return;
    if (sized) {
      int shift = 0;
      for (;;) {
        if (at >= n || shift > 56) return;
        uint8_t byte = p[at++];
        length |= (size_t)(byte & 0x7F) << shift;
        shift += 7;
        if (!(byte & 0x80)) break;
      }
      if (length > n - at) length = n - at; /* the decoder sees no more either */
    } else {
      length = n - at;
    }
    uint64_t w, h;
    if (type == 1 && Av1SequenceSize(p + at, length, &w, &h)) Keep(w, h, largest);
    p += at + length;
    n -= at + length;
  }
}

/* HEVC NAL units, each after its 4-byte length as libheif hands them to libde265. */
static void HevcFrames(const uint8_t* p, size_t n, uint64_t* largest) {
  while (n >= 4) {
    size_t length = Big32(p);
    p += 4;
    n -= 4;
    if (length > n) length = n;
    uint64_t w, h;
    if (length >= 2 && (p[0] >> 1 & 0x3F) == 33 && HevcSpsSize(p, length, &w, &h)) Keep(w, h, largest);
    p += length;
    n -= length;
  }
}

/* hvcC: 22 bytes, then arrays of NAL units of one type, each NAL unit after a 2-byte length. */
static void HvccFrames(const TBox* hvcc, uint64_t* largest) {
  const uint8_t* p = hvcc->body;
  size_t n = hvcc->size;
  if (n < 23) return;
  unsigned arrays = p[22];
  size_t at = 23;
  for (unsigned a = 0; a < arrays; ++a) {
    if (n - at < 3) return;
    unsigned count = (unsigned)p[at + 1] << 8 | p[at + 2];
    at += 3;
    for (unsigned i = 0; i < count; ++i) {
      if (n - at < 2) return;
      size_t length = (size_t)p[at] << 8 | p[at + 1];
      at += 2;
      if (length > n - at) return;
      uint64_t w, h;
      if (length >= 2 && (p[at] >> 1 & 0x3F) == 33 && HevcSpsSize(p + at, length, &w, &h)) Keep(w, h, largest);
      at += length;
    }
  }
}

static uint64_t BigN(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

typedef struct TCoded {
  uint32_t item;
  const TBox* config; /* its hvcC or av1C; NULL for a grid or an overlay */
  int overlay;
} TCoded;

/* A grid's or an overlay's payload names the canvas that libheif makes for it, whatever the
 * item's ispe says: 16-bit sizes, or 32-bit with flag 1; an overlay puts its 4 fill values of
 * 16 bits first. */
static void DerivedFrame(const uint8_t* p, size_t n, int overlay, uint64_t* largest) {
  size_t at = overlay ? 10 : 4;
  int wide = n >= 2 && (p[1] & 1);
  size_t need = at + (wide ? 8 : 4);
  if (n < need) return;
  if (wide)
    Keep(Big32(p + at), Big32(p + at + 4), largest);
  else
    Keep((uint64_t)p[at] << 8 | p[at + 1], (uint64_t)p[at + 2] << 8 | p[at + 3], largest);
}

static int CompareCoded(const void* a, const void* b) {
  uint32_t x = ((const TCoded*)a)->item, y = ((const TCoded*)b)->item;
  return x < y ? -1 : x > y;
}

/* Far more than any camera writes; libheif itself reads at most 32 extents an item. */
enum { MaxProperties = 4096, MaxCoded = 65536, MaxExtents = 32 };

/* The largest frame in pixels that any HEVC or AV1 item's headers ask the decoder for (its
 * configuration box, then its data as iloc places it, in the file or in idat), or that a grid
 * or overlay asks libheif for. 0 when there is none; UINT64_MAX when the boxes are too many
 * to be looked through. */
uint64_t HeifLargestCodedFrame(const uint8_t* data, size_t size) {
  TBox meta, iprp, ipco, box, iloc, idat;
  if (!FindBox(data, size, "meta", &meta) || meta.size < 4) return 0;
  const uint8_t* m = meta.body + 4;
  size_t mSize = meta.size - 4;
  if (!FindBox(m, mSize, "iprp", &iprp) || !FindBox(iprp.body, iprp.size, "ipco", &ipco)) return 0;
  int haveIdat = FindBox(m, mSize, "idat", &idat);
  uint64_t largest = 0;
  /* Items may share their bytes; what is looked through stays a few times the file. */
  uint64_t budget = (uint64_t)size * 8 + ((uint64_t)1 << 20);

  TBox* properties = (TBox*)malloc(sizeof(TBox) * MaxProperties);
  TCoded* coded = (TCoded*)malloc(sizeof(TCoded) * MaxCoded);
  size_t count = 0, codedCount = 0, at = 0;
  if (!properties || !coded) {
    largest = UINT64_MAX;
    goto done;
  }
  while (NextBox(ipco.body, ipco.size, &at, &box)) {
    if (count == MaxProperties) {
      largest = UINT64_MAX;
      goto done;
    }
    properties[count++] = box;
    if (memcmp(box.type, "hvcC", 4) == 0) HvccFrames(&box, &largest);
    if (memcmp(box.type, "av1C", 4) == 0 && box.size > 4) Av1Frames(box.body + 4, box.size - 4, &largest);
  }

  /* Which item decodes with which configuration (libheif takes the first one tied to it). */
  at = 0;
  while (NextBox(iprp.body, iprp.size, &at, &box)) {
    if (memcmp(box.type, "ipma", 4) != 0 || box.size < 8) continue;
    const uint8_t* p = box.body;
    const uint8_t* end = box.body + box.size;
    int version = p[0], wide = p[3] & 1;
    uint32_t entries = Big32(p + 4);
    p += 8;
    for (uint32_t e = 0; e < entries; ++e) {
      size_t idBytes = version < 1 ? 2 : 4;
      if ((size_t)(end - p) < idBytes + 1) break;
      uint32_t item = (uint32_t)BigN(p, (int)idBytes);
      p += idBytes;
      unsigned associations = *p++;
      if ((size_t)(end - p) < (size_t)associations * (wide ? 2 : 1)) break;
      for (unsigned a = 0; a < associations; ++a, p += wide ? 2 : 1) {
        uint32_t index = wide ? ((uint32_t)(p[0] & 0x7F) << 8 | p[1]) : (uint32_t)(p[0] & 0x7F);
        if (index == 0 || index > count) continue;
        const TBox* prop = &properties[index - 1];
        if (memcmp(prop->type, "hvcC", 4) != 0 && memcmp(prop->type, "av1C", 4) != 0) continue;
        if (codedCount == MaxCoded) {
          largest = UINT64_MAX;
          goto done;
        }
        coded[codedCount].item = item;
        coded[codedCount].overlay = 0;
        coded[codedCount++].config = prop;
      }
    }
  }
  /* The grids and overlays, by their item entries (infe version 2 and 3). */
  if (FindBox(m, mSize, "iinf", &box) && box.size >= 6) {
    size_t first = box.body[0] == 0 ? 6 : 8;
    TBox infe;
    at = 0;
    while (first <= box.size && NextBox(box.body + first, box.size - first, &at, &infe)) {
      if (memcmp(infe.type, "infe", 4) != 0 || infe.size < 4 || infe.body[0] < 2) continue;
      size_t idBytes = infe.body[0] == 2 ? 2 : 4;
      if (infe.size < 4 + idBytes + 2 + 4) continue;
      const uint8_t* type = infe.body + 4 + idBytes + 2;
      int grid = memcmp(type, "grid", 4) == 0, overlay = memcmp(type, "iovl", 4) == 0;
      if (!grid && !overlay) continue;
      if (codedCount == MaxCoded) {
        largest = UINT64_MAX;
        goto done;
      }
      coded[codedCount].item = (uint32_t)BigN(infe.body + 4, (int)idBytes);
      coded[codedCount].overlay = overlay;
      coded[codedCount++].config = NULL;
    }
  }
  if (codedCount == 0 || !FindBox(m, mSize, "iloc", &iloc) || iloc.size < 8) goto done;
  qsort(coded, codedCount, sizeof coded[0], CompareCoded);

  {
    const uint8_t* p = iloc.body;
    const uint8_t* end = iloc.body + iloc.size;
    int version = p[0];
    int offsetBytes = p[4] >> 4, lengthBytes = p[4] & 15, baseBytes = p[5] >> 4;
    int indexBytes = version == 1 || version == 2 ? p[5] & 15 : 0;
    if (version > 2 || offsetBytes % 4 || offsetBytes > 8 || lengthBytes % 4 || lengthBytes > 8 || baseBytes % 4 ||
        baseBytes > 8 || indexBytes % 4 || indexBytes > 8)
      goto done;
    p += 6;
    size_t idBytes = version < 2 ? 2 : 4;
    if ((size_t)(end - p) < idBytes) goto done;
    uint64_t items = BigN(p, (int)idBytes);
    p += idBytes;
    for (uint64_t i = 0; i < items; ++i) {
      size_t head = idBytes + (version >= 1 ? 2 : 0) + 2 + (size_t)baseBytes + 2;
      if ((size_t)(end - p) < head) break;
      TCoded key = {(uint32_t)BigN(p, (int)idBytes), NULL, 0};
      p += idBytes;
      int method = 0;
      if (version >= 1) {
        method = p[1] & 15;
        p += 2;
      }
      p += 2; /* data reference */
      uint64_t base = BigN(p, baseBytes);
      p += baseBytes;
      unsigned extents = (unsigned)p[0] << 8 | p[1];
      p += 2;
      size_t each = (size_t)indexBytes + (size_t)offsetBytes + (size_t)lengthBytes;
      if ((size_t)(end - p) / (each ? each : 1) < extents) break;
      const TCoded* found = (const TCoded*)bsearch(&key, coded, codedCount, sizeof key, CompareCoded);
      /* The extents one after the other, as the decoder gets them. */
      uint8_t* joined = NULL;
      size_t joinedSize = 0;
      int whole = found && extents <= MaxExtents && (method == 0 || (method == 1 && haveIdat));
      const uint8_t* from = method == 0 ? data : idat.body;
      uint64_t fromSize = method == 0 ? size : idat.size;
      for (unsigned x = 0; x < extents; ++x, p += each) {
        if (!whole) continue;
        uint64_t offset = BigN(p + indexBytes, offsetBytes);
        uint64_t length = BigN(p + indexBytes + offsetBytes, lengthBytes);
        uint64_t start = base + offset;
        if (start < base || start > fromSize) { whole = 0; continue; }
        if (length == 0 || length > fromSize - start) length = fromSize - start;
        if (length > budget) {
          free(joined);
          largest = UINT64_MAX;
          goto done;
        }
        budget -= length;
        uint8_t* grown = (uint8_t*)realloc(joined, joinedSize + (size_t)length + 1);
        if (!grown) {
          free(joined);
          largest = UINT64_MAX;
          goto done;
        }
        joined = grown;
        memcpy(joined + joinedSize, from + start, (size_t)length);
        joinedSize += (size_t)length;
      }
      if (whole && joinedSize > 0) {
        if (!found->config)
          DerivedFrame(joined, joinedSize, found->overlay, &largest);
        else if (memcmp(found->config->type, "hvcC", 4) == 0)
          HevcFrames(joined, joinedSize, &largest);
        else
          Av1Frames(joined, joinedSize, &largest);
      }
      free(joined);
    }
  }
done:
  free(properties);
  free(coded);
  return largest;
}

/* ---- sample depth ------------------------------------------------------------------- */

/* An n-bit sample (9 to 16 bits) as 16 bits: v * 65535 / (2^n - 1), rounded to nearest. Exact
 * in 32 bits, since v * 65535 stays below 2^32. */
uint16_t HeifTo16(unsigned v, int bits) {
  unsigned top = (1u << bits) - 1u;
  if (v > top) v = top;
  return (uint16_t)((v * 65535u + top / 2u) / top);
}

#ifndef TAVEX_HEIF

int HeifAvailable(void) { return 0; }

int HeifDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  (void)data;
  (void)size;
  (void)target;
  (void)width;
  (void)height;
  return SPI_NOT_SUPPORT;
}

#else

#include <libheif/heif.h>

#define HEIF_FUNCTIONS(X)                                                                          \
  X(heif_init) X(heif_context_alloc) X(heif_context_free)                                          \
  X(heif_context_read_from_memory_without_copy) X(heif_context_set_maximum_image_size_limit)       \
  X(heif_context_get_primary_image_handle) X(heif_image_handle_release)                            \
  X(heif_image_handle_get_width) X(heif_image_handle_get_height)                                   \
  X(heif_image_handle_has_alpha_channel) X(heif_image_handle_is_premultiplied_alpha)               \
  X(heif_image_handle_get_luma_bits_per_pixel) X(heif_image_handle_get_color_profile_type)         \
  X(heif_image_handle_get_raw_color_profile_size) X(heif_image_handle_get_raw_color_profile)       \
  X(heif_image_handle_get_list_of_metadata_block_IDs) X(heif_image_handle_get_metadata_size)       \
  X(heif_image_handle_get_metadata) X(heif_decoding_options_alloc) X(heif_decoding_options_free)  \
  X(heif_decode_image) X(heif_image_get_width) X(heif_image_get_height)                            \
  X(heif_image_get_bits_per_pixel_range) X(heif_image_get_plane_readonly) X(heif_image_release)

static struct {
  int loaded;
#define HEIF_POINTER(name) __typeof__(name)* name;
  HEIF_FUNCTIONS(HEIF_POINTER)
#undef HEIF_POINTER
} gHeif;

#ifdef _WIN32
#include <windows.h>

/* libheif.dll and the codecs it brings sit beside the plug-in, wherever the host found it;
 * the altered search path lets libheif's own imports be found there too. */
static HMODULE HeifOpen(void) {
  HMODULE self = NULL;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          (LPCWSTR)(void*)HeifDetect, &self))
    return NULL;
  static const wchar_t name[] = L"libheif.dll";
  enum { Room = 32768 };
  wchar_t* path = (wchar_t*)malloc(Room * sizeof(wchar_t));
  if (!path) return NULL;
  DWORD n = GetModuleFileNameW(self, path, Room);
  HMODULE library = NULL;
  if (n > 0 && n < Room) {
    while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
    if (n > 0 && n + sizeof name / sizeof name[0] <= Room) {
      memcpy(path + n, name, sizeof name);
      library = LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  free(path);
  return library;
}

static void HeifLoad(void) {
  HMODULE library = HeifOpen();
  if (!library) return;
  int complete = 1;
  FARPROC address;
  /* Copied, not cast: one function pointer type read through another breaks aliasing. */
#define HEIF_RESOLVE(name)                                                                         \
  address = GetProcAddress(library, #name);                                                        \
  complete &= address != NULL;                                                                     \
  memcpy(&gHeif.name, &address, sizeof address);
  HEIF_FUNCTIONS(HEIF_RESOLVE)
#undef HEIF_RESOLVE
  if (complete && gHeif.heif_init(NULL).code == heif_error_Ok)
    gHeif.loaded = 1; /* kept until the process ends: unloading from DllMain is not allowed */
  else
    FreeLibrary(library);
}

static BOOL CALLBACK HeifLoadOnce(PINIT_ONCE once, PVOID parameter, PVOID* context) {
  (void)once;
  (void)parameter;
  (void)context;
  HeifLoad();
  return TRUE;
}

int HeifAvailable(void) {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  InitOnceExecuteOnce(&once, HeifLoadOnce, NULL, NULL);
  return gHeif.loaded;
}

#else
#include <dlfcn.h>
#include <pthread.h>

static pthread_once_t gHeifOnce = PTHREAD_ONCE_INIT;

static void HeifLoad(void) {
  void* library = dlopen(TAVEX_HEIF_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!library) return;
  int complete = 1;
#define HEIF_RESOLVE(name) complete &= (*(void**)&gHeif.name = dlsym(library, #name)) != NULL;
  HEIF_FUNCTIONS(HEIF_RESOLVE)
#undef HEIF_RESOLVE
  /* Kept until the process ends, never closed from a destructor: at exit libheif's own
   * destructors may already have run, and a call into it then crashes. */
  if (complete && gHeif.heif_init(NULL).code == heif_error_Ok)
    gHeif.loaded = 1;
  else
    dlclose(library);
}

int HeifAvailable(void) {
  pthread_once(&gHeifOnce, HeifLoad);
  return gHeif.loaded;
}
#endif

/* A side longer than this cannot be a picture of ours: its 24-bit row alone would pass the
 * DIB's 32-bit byte count. libheif refuses such a size when it reads the file's boxes, before
 * any decoding; the pixel count is checked against the target's limit before decoding too. */
#define HEIF_MAX_SIDE (INT32_MAX / 3)

static int ErrorCode(struct heif_error error) {
  switch (error.code) {
  case heif_error_Ok: return SPI_SUCCESS;
  case heif_error_Memory_allocation_error: return SPI_NO_MEMORY; /* the security limits too */
  case heif_error_Unsupported_filetype:
  case heif_error_Unsupported_feature: return SPI_NOT_SUPPORT; /* e.g. a codec not built in */
  default: return SPI_OUT_OF_ORDER;
  }
}

/* The Orientation of the image's Exif item, 1 when it has none. The item opens with the
 * 32-bit offset of its TIFF header past those 4 bytes (usually 6, after "Exif\0\0"). */
static int ExifItemOrientation(const struct heif_image_handle* handle) {
  heif_item_id id;
  if (gHeif.heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return 1;
  size_t size = gHeif.heif_image_handle_get_metadata_size(handle, id);
  if (size < 4 || size > ((size_t)1 << 24)) return 1; /* an Exif block is at most 64 KiB in a JPEG */
  uint8_t* block = (uint8_t*)malloc(size);
  if (!block) return 1;
  int orientation = 1;
  if (gHeif.heif_image_handle_get_metadata(handle, id, block).code == heif_error_Ok) {
    uint32_t skip = Big32(block);
    size_t from = skip <= size - 4 ? 4 + (size_t)skip : 4;
    orientation = ExifOrientation(block + from, size - from);
  }
  free(block);
  return orientation;
}

/* The conversion to sRGB of the image's ICC profile (colr prof or rICC), or NULL: none, one
 * too large to be a profile, or one that needs no conversion. An nclx colr names the matrix
 * libheif has already used to make RGB; its primaries and transfer are taken as sRGB's. */
static TColour* ProfileColour(const struct heif_image_handle* handle) {
  enum heif_color_profile_type type = gHeif.heif_image_handle_get_color_profile_type(handle);
  if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return NULL;
  size_t size = gHeif.heif_image_handle_get_raw_color_profile_size(handle);
  if (size == 0 || size > COLOUR_MAX_PROFILE_BYTES) return NULL;
  uint8_t* icc = (uint8_t*)malloc(size);
  if (!icc) return NULL;
  TColour* colour = NULL;
  if (gHeif.heif_image_handle_get_raw_color_profile(handle, icc).code == heif_error_Ok)
    colour = ColourFromIcc(icc, size, 3);
  free(icc);
  return colour;
}

/* Everything libheif holds for one call, so that one place releases it on every path. */
typedef struct THeifJob {
  struct heif_context* context;
  struct heif_image_handle* handle;
  struct heif_decoding_options* options;
  struct heif_image* image;
  void* row;
} THeifJob;

static void HeifRelease(THeifJob* job) {
  free(job->row);
  if (job->image) gHeif.heif_image_release(job->image);
  if (job->options) gHeif.heif_decoding_options_free(job->options);
  if (job->handle) gHeif.heif_image_handle_release(job->handle);
  if (job->context) gHeif.heif_context_free(job->context);
}

/* The rows of the decoded image, as interleaved R, G, B (and A) samples of 8 bits, or of
 * 16-bit little-endian words holding `bits` bits, handed to the target row by row. */
static int PutRows(THeifJob* job, TTarget* target, int w, int h, int alpha, int bits, int premultiplied) {
  int stride = 0;
  const uint8_t* plane = gHeif.heif_image_get_plane_readonly(job->image, heif_channel_interleaved, &stride);
  int channels = alpha ? 4 : 3;
  size_t used = (size_t)w * (size_t)channels * (bits > 8 ? 2 : 1);
  if (!plane || stride < 0 || (size_t)stride < used) return SPI_OUT_OF_ORDER;
  job->row = malloc((size_t)w * 4 * (bits > 8 ? 2 : 1));
  if (!job->row) return SPI_NO_MEMORY;
  for (int y = 0; y < h; ++y) {
    const uint8_t* in = plane + (size_t)stride * (size_t)y;
    if (bits == 8) {
      uint8_t* out = (uint8_t*)job->row;
      for (int x = 0; x < w; ++x, in += channels, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = alpha ? in[3] : 255;
      }
      TargetPutRow8(target, y, 0, w, (const uint8_t*)job->row, premultiplied);
    } else {
      uint16_t* out = (uint16_t*)job->row;
      for (int x = 0; x < w; ++x, in += channels * 2, out += 4) {
        for (int c = 0; c < 3; ++c) out[c] = HeifTo16((unsigned)in[2 * c] | (unsigned)in[2 * c + 1] << 8, bits);
        out[3] = alpha ? HeifTo16((unsigned)in[6] | (unsigned)in[7] << 8, bits) : 65535;
      }
      TargetPutRow16(target, y, 0, w, (const uint16_t*)job->row, premultiplied);
    }
    if (TargetProgressSource(target, y + 1)) return SPI_ABORT;
  }
  return SPI_SUCCESS;
}

int HeifDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  if (!HeifAvailable()) return SPI_NOT_SUPPORT;
  THeifJob job;
  memset(&job, 0, sizeof job);
  int rc = SPI_NO_MEMORY;
  job.context = gHeif.heif_context_alloc();
  if (!job.context) goto done;
  gHeif.heif_context_set_maximum_image_size_limit(job.context, HEIF_MAX_SIDE);
  rc = ErrorCode(gHeif.heif_context_read_from_memory_without_copy(job.context, data, size, NULL));
  if (rc != SPI_SUCCESS) goto done;
  rc = ErrorCode(gHeif.heif_context_get_primary_image_handle(job.context, &job.handle));
  if (rc != SPI_SUCCESS) goto done;
  rc = SPI_OUT_OF_ORDER;
  int w = gHeif.heif_image_handle_get_width(job.handle);
  int h = gHeif.heif_image_handle_get_height(job.handle);
  if (w <= 0 || h <= 0) goto done;
  /* libheif has turned and mirrored by irot and imir; only a file without them is turned by
   * its Exif Orientation. */
  int orientation = HeifHasTransform(data, size) ? 1 : ExifItemOrientation(job.handle);
  if (!target) {
    int swaps = OrientationSwaps(orientation);
    *width = swaps ? h : w;
    *height = swaps ? w : h;
    rc = SPI_SUCCESS;
    goto done;
  }
  /* A tiny file may declare a picture of any size: it is refused before the decoder makes
   * its planes, by the rule the target would apply after. */
  rc = TargetSizeFits(w, h);
  if (rc != SPI_SUCCESS) goto done;
  /* Nor may the codec ask for more than that picture, give or take its coding blocks. */
  if (HeifLargestCodedFrame(data, size) > ((uint64_t)w + 64) * ((uint64_t)h + 64)) {
    rc = SPI_OUT_OF_ORDER;
    goto done;
  }

  int alpha = gHeif.heif_image_handle_has_alpha_channel(job.handle) != 0;
  int premultiplied = alpha && gHeif.heif_image_handle_is_premultiplied_alpha(job.handle) != 0;
  int deep = gHeif.heif_image_handle_get_luma_bits_per_pixel(job.handle) > 8;
  enum heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  rc = SPI_NO_MEMORY;
  job.options = gHeif.heif_decoding_options_alloc();
  if (!job.options) goto done;
  job.options->ignore_transformations = 0;
  job.options->convert_hdr_to_8bit = 0; /* the plug-in reduces by its own rule */
  rc = ErrorCode(gHeif.heif_decode_image(job.handle, &job.image, heif_colorspace_RGB, chroma, job.options));
  if (rc != SPI_SUCCESS) goto done;
  rc = SPI_OUT_OF_ORDER;
  int bits = gHeif.heif_image_get_bits_per_pixel_range(job.image, heif_channel_interleaved);
  /* The decoder's frame must be the picture the file declares. */
  if (gHeif.heif_image_get_width(job.image, heif_channel_interleaved) != w ||
      gHeif.heif_image_get_height(job.image, heif_channel_interleaved) != h || bits < 8 || bits > 16 ||
      (bits > 8) != deep)
    goto done;
  rc = TargetBeginOriented(target, w, h, orientation);
  if (rc != SPI_SUCCESS) goto done;
  TargetSetColour(target, ProfileColour(job.handle)); /* the rows are RGB whatever was coded */
  rc = PutRows(&job, target, w, h, alpha, bits, premultiplied);
done:
  HeifRelease(&job);
  return rc;
}

#endif
