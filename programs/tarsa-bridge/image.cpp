// Camera frames for the wire, through libjpeg's memory destination.
#include "image.h"

#include <jpeglib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace bridge {

std::string jpeg_from_rgb(const unsigned char *rgb, int width, int height, int quality) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char *out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<unsigned char *>(rgb + std::size_t(cinfo.next_scanline) * width * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::string jpeg(reinterpret_cast<char *>(out), size);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return jpeg;
}

std::string base64(const std::string &bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v =
        std::uint8_t(bytes[i]) << 16 | std::uint8_t(bytes[i + 1]) << 8 | std::uint8_t(bytes[i + 2]);
    out += {kDigits[v >> 18], kDigits[v >> 12 & 63], kDigits[v >> 6 & 63], kDigits[v & 63]};
  }
  if (std::size_t rest = bytes.size() - i) {
    unsigned v = std::uint8_t(bytes[i]) << 16 | (rest > 1 ? std::uint8_t(bytes[i + 1]) << 8 : 0);
    out += {kDigits[v >> 18], kDigits[v >> 12 & 63], rest > 1 ? kDigits[v >> 6 & 63] : '=', '='};
  }
  return out;
}

}  // namespace bridge
