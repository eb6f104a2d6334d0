#include "jpeg/JPEGCompress.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <vector>

#include <jpeglib.h>

namespace {

// The library reports errors through error_exit, which must not return. C++ exceptions
// cannot cross its C frames (the i686 build cannot unwind them), so error_exit jumps
// back to the one setjmp in RunCompressor and the exception is thrown from there, in
// plain C++ frames. Callbacks of ours that fail do the same with their exception kept.
struct TErrorManager {
  jpeg_error_mgr Pub;  // first: the library sees only this part
  std::jmp_buf Jump;
  int Code = 0;
  std::exception_ptr Pending;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TErrorManager*>(cinfo->err);
  err->Code = err->Pub.msg_code;
  std::longjmp(err->Jump, 1);
}
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}
void FormatMessage(j_common_ptr, char* buffer) { buffer[0] = '\0'; }

// The compressed data goes straight into the caller's memory stream, grown as needed.
struct TDestination {
  jpeg_destination_mgr Pub;  // first
  TMemoryStream* Stream;
  std::int64_t Start;      // where this image's data begins in the stream
  TErrorManager* Err;
};

// Leaves the library with the exception kept when growing fails.
[[noreturn]] void JumpWithPending(TErrorManager* err) { std::longjmp(err->Jump, 2); }

void SetWindow(TDestination* dest, std::int64_t used) {
  auto* base = static_cast<std::uint8_t*>(dest->Stream->Memory()) + dest->Start;
  dest->Pub.next_output_byte = base + used;
  dest->Pub.free_in_buffer = static_cast<size_t>(dest->Stream->Size() - dest->Start - used);
}

bool Grow(TDestination* dest, std::int64_t used) noexcept {
  try {
    const std::int64_t window = dest->Stream->Size() - dest->Start;
    dest->Stream->SetSize(dest->Start + window * 2);
    SetWindow(dest, used);
    return true;
  } catch (...) {
    dest->Err->Pending = std::current_exception();
    return false;
  }
}

void InitDestination(j_compress_ptr) {}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  // The library calls this only with the whole window full.
  const std::int64_t used = dest->Stream->Size() - dest->Start;
  if (!Grow(dest, used)) JumpWithPending(dest->Err);
  return TRUE;
}

void TermDestination(j_compress_ptr) {}

struct TMonitor {
  jpeg_progress_mgr Pub;  // first
  const TJPEGProgress* Handler;
  TErrorManager* Err;
};

bool Report(TMonitor* monitor, std::uint8_t percent) noexcept {
  try {
    (*monitor->Handler)(psRunning, percent);
    return true;
  } catch (...) {
    monitor->Err->Pending = std::current_exception();
    return false;
  }
}

void ProgressMonitor(j_common_ptr cinfo) {
  auto* monitor = reinterpret_cast<TMonitor*>(cinfo->progress);
  const auto& p = monitor->Pub;
  const long total = p.pass_limit > 0 && p.total_passes > 0 ? p.pass_limit * p.total_passes : 1;
  const long done = p.completed_passes * p.pass_limit + p.pass_counter;
  long percent = total > 0 ? done * 100 / total : 0;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (!Report(monitor, static_cast<std::uint8_t>(percent))) JumpWithPending(monitor->Err);
}

// The metadata segments as the library writes them: each APP1 payload whole, with its
// identifier; the profile as it is, which the library cuts into chunks.
struct TMarkers {
  const JOCTET* Exif = nullptr;
  unsigned ExifSize = 0;
  const JOCTET* Xmp = nullptr;
  unsigned XmpSize = 0;
  const JOCTET* Icc = nullptr;
  unsigned IccSize = 0;
};

// An APP1 payload: the identifier, then the block; empty when the block is empty or too large.
std::vector<JOCTET> App1Payload(const char* id, std::size_t idSize, std::span<const std::uint8_t> block,
                                std::size_t maxBytes) {
  std::vector<JOCTET> payload;
  if (block.empty() || block.size() > maxBytes) return payload;
  payload.reserve(idSize + block.size());
  payload.insert(payload.end(), id, id + idSize);
  payload.insert(payload.end(), block.begin(), block.end());
  return payload;
}

// Everything between setjmp and the library's last call lives here, with no object
// that has a destructor: a longjmp may leave it at any library call.
int RunCompressor(jpeg_compress_struct* cinfo, TErrorManager* err, const TJPEGCompressParams* params,
                  const TMarkers* markers, JSAMPROW* rows) {
  if (setjmp(err->Jump) != 0) return err->Pending ? -1 : err->Code;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, params->Quality, TRUE);
  if (params->Grayscale) jpeg_set_colorspace(cinfo, JCS_GRAYSCALE);
  if (params->Progressive) jpeg_simple_progression(cinfo);
  jpeg_start_compress(cinfo, TRUE);
  // The file header (SOI, JFIF) is out now; the tables and the frame follow the first row.
  if (markers->ExifSize) jpeg_write_marker(cinfo, JPEG_APP0 + 1, markers->Exif, markers->ExifSize);
  if (markers->XmpSize) jpeg_write_marker(cinfo, JPEG_APP0 + 1, markers->Xmp, markers->XmpSize);
  if (markers->IccSize) jpeg_write_icc_profile(cinfo, markers->Icc, markers->IccSize);
  // A row group at a time, the next group's rows asked of memory meanwhile: a picture is
  // read long after it was written, bottom row first, and the processor's own prefetch stops
  // at every page a row crosses.
  const JDIMENSION group = static_cast<JDIMENSION>(cinfo->max_v_samp_factor * DCTSIZE);
  const std::size_t rowBytes = static_cast<std::size_t>(cinfo->image_width) * cinfo->input_components;
  while (cinfo->next_scanline < cinfo->image_height) {
    const JDIMENSION at = cinfo->next_scanline;
    const JDIMENSION count = std::min(group, cinfo->image_height - at);
    for (JDIMENSION y = at + count; y < std::min(at + 2 * count, cinfo->image_height); ++y)
      for (std::size_t x = 0; x < rowBytes; x += 64) __builtin_prefetch(rows[y] + x, 0, 2);
    jpeg_write_scanlines(cinfo, rows + at, count);
  }
  jpeg_finish_compress(cinfo);
  return 0;
}

int RunCreate(jpeg_compress_struct* cinfo, TErrorManager* err) {
  if (setjmp(err->Jump) != 0) return err->Code;
  jpeg_CreateCompress(cinfo, 62, sizeof(jpeg_compress_struct));
  return 0;
}

// Owns the compression object from its creation on.
struct TCompressGuard {
  jpeg_compress_struct* Info;
  ~TCompressGuard() { jpeg_destroy_compress(Info); }
};

[[noreturn]] void RaiseJPEGError(int code) { throw EJPEG("JPEG エラー #" + std::to_string(code)); }

}  // namespace

void JPEGCompressBGR(const TJPEGCompressParams& params, TMemoryStream& dest, const TJPEGProgress& progress) {
  if (params.Width <= 0 || params.Height <= 0) return;
  if (progress) progress(psStarting, 0);

  jpeg_compress_struct cinfo{};
  TErrorManager err;
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = ErrorExit;
  err.Pub.emit_message = EmitMessage;
  err.Pub.output_message = OutputMessage;
  err.Pub.format_message = FormatMessage;
  TCompressGuard guard{&cinfo};  // destroying a half-made object is safe too
  if (const int code = RunCreate(&cinfo, &err); code != 0) RaiseJPEGError(code);

  // The rows as the library wants them: the top picture row first. No pixel is copied.
  std::vector<JSAMPROW> rows(static_cast<size_t>(params.Height));
  for (int y = 0; y < params.Height; ++y)
    rows[static_cast<size_t>(y)] = const_cast<JSAMPROW>(params.TopRow + params.RowStride * y);

  // A photograph at this quality needs about two bits a pixel; start with room for a
  // good deal more so that growing is rare. Untouched room costs nothing.
  const std::int64_t start = dest.Size();
  const std::int64_t pixels = static_cast<std::int64_t>(params.Width) * params.Height;
  dest.SetSize(start + std::max<std::int64_t>(pixels / 2, 0) + 16384);
  TDestination destination{};
  destination.Pub.init_destination = InitDestination;
  destination.Pub.empty_output_buffer = EmptyOutputBuffer;
  destination.Pub.term_destination = TermDestination;
  destination.Stream = &dest;
  destination.Start = start;
  destination.Err = &err;
  SetWindow(&destination, 0);
  cinfo.dest = &destination.Pub;

  TMonitor monitor{};
  if (progress) {
    monitor.Pub.progress_monitor = ProgressMonitor;
    monitor.Handler = &progress;
    monitor.Err = &err;
    cinfo.progress = &monitor.Pub;
  }

  cinfo.image_width = static_cast<JDIMENSION>(params.Width);
  cinfo.image_height = static_cast<JDIMENSION>(params.Height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;

  const std::vector<JOCTET> exif = App1Payload("Exif\0\0", 6, params.Exif, JPEGMaxExifBytes);
  const std::vector<JOCTET> xmp = App1Payload("http://ns.adobe.com/xap/1.0/\0", 29, params.Xmp, JPEGMaxXmpBytes);
  TMarkers markers;
  markers.Exif = exif.data();
  markers.ExifSize = static_cast<unsigned>(exif.size());
  markers.Xmp = xmp.data();
  markers.XmpSize = static_cast<unsigned>(xmp.size());
  // A profile of colour pixels says nothing true of grey ones.
  if (!params.Icc.empty() && params.Icc.size() <= JPEGMaxIccBytes && !params.Grayscale) {
    markers.Icc = params.Icc.data();
    markers.IccSize = static_cast<unsigned>(params.Icc.size());
  }

  const int code = RunCompressor(&cinfo, &err, &params, &markers, rows.data());
  if (code != 0) {
    dest.SetSize(start);
    if (err.Pending) std::rethrow_exception(err.Pending);
    RaiseJPEGError(code);
  }
  const std::int64_t used =
      static_cast<std::int64_t>(destination.Pub.next_output_byte - static_cast<std::uint8_t*>(dest.Memory()));
  dest.SetSize(used);
  dest.SetPosition(used);
  if (progress) progress(psEnding, 100);
}
