// Camera frames for the wire: JPEG compression in memory, and base64 for JSON messages.
#pragma once

#include <string>

namespace bridge {

// Packed RGB (width x height x 3) as a baseline JPEG of `quality` (0 to 100).
std::string jpeg_from_rgb(const unsigned char *rgb, int width, int height, int quality);
std::string base64(const std::string &bytes);

}  // namespace bridge
