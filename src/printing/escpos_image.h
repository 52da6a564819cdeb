// Pictures for receipt printers: a Windows bitmap file turned into the ESC/POS
// raster command GS v 0 (one bit per dot, dark pixels printed).
#pragma once

#include <string>
#include <string_view>

#include "common/status.h"

namespace tolven::printing {

// Uncompressed bitmaps with 1, 4, 8, 24 or 32 bits per pixel, up to 2040 x 2303
// pixels; anything else (or a file cut short) is refused with a reason and
// nothing in `raster`.
Status BitmapToRaster(std::string_view bmp, std::string& raster);

}  // namespace tolven::printing
