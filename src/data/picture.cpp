#include "data/picture.h"

#include <jpeglib.h>
#include <png.h>
#include <setjmp.h>
#include <stdio.h>

#include <cstring>

namespace sf {
namespace {

std::optional<Picture> DecodePng(std::string_view bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  int64_t pixels = static_cast<int64_t>(image.width) * image.height;
  if (image.width == 0 || image.height == 0 || pixels > kMaxPicturePixels) {
    png_image_free(&image);
    return std::nullopt;
  }
  Picture p;
  p.width = static_cast<int>(image.width);
  p.height = static_cast<int>(image.height);
  p.rgba.assign(PNG_IMAGE_SIZE(image), '\0');
  if (!png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return p;
}

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  longjmp(err->jump, 1);
}

void QuietJpegMessage(j_common_ptr) {}

// libjpeg reports errors by longjmp; everything that owns memory lives outside this frame.
bool DecodeJpegInto(std::string_view bytes, Picture* p) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.manager);
  err.manager.error_exit = OnJpegError;
  err.manager.output_message = QuietJpegMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  int64_t pixels = static_cast<int64_t>(cinfo.image_width) * cinfo.image_height;
  if (cinfo.image_width == 0 || cinfo.image_height == 0 || pixels > kMaxPicturePixels) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  p->width = static_cast<int>(cinfo.output_width);
  p->height = static_cast<int>(cinfo.output_height);
  p->rgba.assign(static_cast<size_t>(p->width) * static_cast<size_t>(p->height) * 4, '\xFF');
  std::string row(static_cast<size_t>(p->width) * 3, '\0');
  while (cinfo.output_scanline < cinfo.output_height) {
    auto* line = reinterpret_cast<JSAMPLE*>(row.data());
    JDIMENSION y = cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &line, 1);
    char* out = p->rgba.data() + static_cast<size_t>(y) * static_cast<size_t>(p->width) * 4;
    for (int x = 0; x < p->width; ++x) std::memcpy(out + x * 4, row.data() + x * 3, 3);
  }
  jpeg_finish_decompress(&cinfo);
  // libjpeg pads a cut-short picture with grey and only warns; a picture with holes is no
  // picture to read characters from.
  bool clean = err.manager.num_warnings == 0;
  jpeg_destroy_decompress(&cinfo);
  return clean;
}

}  // namespace

std::optional<Picture> DecodePicture(std::string_view bytes) {
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0)
    return DecodePng(bytes);
  if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xFF\xD8\xFF", 3) == 0) {
    Picture p;
    if (DecodeJpegInto(bytes, &p)) return p;
  }
  return std::nullopt;
}

}  // namespace sf
