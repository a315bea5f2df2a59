#include "data/picture.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <stdio.h>

#include <cstring>

namespace sf {
namespace {

// A 40 x 20 picture: red on the left half, blue on the right.
std::string Pixels(int w, int h) {
  std::string rgba(static_cast<size_t>(w * h * 4), '\0');
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      char* p = rgba.data() + (y * w + x) * 4;
      p[0] = x < w / 2 ? '\xFF' : 0;
      p[2] = x < w / 2 ? 0 : '\xFF';
      p[3] = '\xFF';
    }
  return rgba;
}

std::string EncodePng(int w, int h) {
  std::string rgba = Pixels(w, h);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(w);
  image.height = static_cast<png_uint_32>(h);
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr);
  std::string out(size, '\0');
  EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, rgba.data(), 0, nullptr));
  out.resize(size);
  return out;
}

std::string EncodeJpeg(int w, int h) {
  std::string rgba = Pixels(w, h);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::string row(static_cast<size_t>(w * 3), '\0');
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < w; ++x)
      std::memcpy(&row[static_cast<size_t>(x * 3)], &rgba[(c.next_scanline * w + x) * 4], 3);
    auto* line = reinterpret_cast<JSAMPLE*>(row.data());
    jpeg_write_scanlines(&c, &line, 1);
  }
  jpeg_finish_compress(&c);
  std::string out(reinterpret_cast<char*>(buffer), size);
  jpeg_destroy_compress(&c);
  free(buffer);
  return out;
}

TEST(Picture, DecodesPngAndJpeg) {
  auto png = DecodePicture(EncodePng(40, 20));
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 40);
  EXPECT_EQ(png->height, 20);
  EXPECT_EQ(png->rgba.substr(0, 4), std::string("\xFF\0\0\xFF", 4));
  EXPECT_EQ(png->rgba.substr((19 * 40 + 39) * 4, 4), std::string("\0\0\xFF\xFF", 4));

  auto jpeg = DecodePicture(EncodeJpeg(40, 20));
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(jpeg->width, 40);
  EXPECT_GT(static_cast<unsigned char>(jpeg->rgba[0]), 200);  // red, give or take compression
  EXPECT_LT(static_cast<unsigned char>(jpeg->rgba[2]), 60);
}

TEST(Picture, BrokenOrForeignBytesGiveNothing) {
  std::string png = EncodePng(40, 20), jpeg = EncodeJpeg(40, 20);
  EXPECT_FALSE(DecodePicture(""));
  EXPECT_FALSE(DecodePicture("GIF89a...."));
  EXPECT_FALSE(DecodePicture(png.substr(0, png.size() / 2)));
  EXPECT_FALSE(DecodePicture(jpeg.substr(0, jpeg.size() / 2)));
  EXPECT_FALSE(DecodePicture(png.substr(0, 8)));
  std::string corrupt = png;
  corrupt[corrupt.size() / 2] ^= 0x55;
  EXPECT_FALSE(DecodePicture(corrupt));
  // A header claiming 100000 x 100000 pixels is refused before anything is allocated.
  std::string huge = png;
  const unsigned char dims[8] = {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0};
  std::memcpy(&huge[16], dims, 8);
  EXPECT_FALSE(DecodePicture(huge));
}

}  // namespace
}  // namespace sf
