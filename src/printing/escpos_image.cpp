#include "printing/escpos_image.h"

#include <cstdint>
#include <cstdlib>

namespace tolven::printing {

namespace {

uint32_t U32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(k)]);
  return v;
}

uint16_t U16(std::string_view b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}

bool Dark(unsigned r, unsigned g, unsigned b) { return r * 299 + g * 587 + b * 114 < 128 * 1000; }

}  // namespace

Status BitmapToRaster(std::string_view bmp, std::string& raster) {
  raster.clear();
  if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') return Status::Error("keine Bitmap-Datei");
  const uint32_t dataOffset = U32(bmp, 10);
  const uint32_t headerSize = U32(bmp, 14);
  const int32_t width = static_cast<int32_t>(U32(bmp, 18));
  const int32_t rawHeight = static_cast<int32_t>(U32(bmp, 22));
  const unsigned bpp = U16(bmp, 28);
  const uint32_t compression = U32(bmp, 30);
  const uint32_t colorsUsed = U32(bmp, 46);
  if (headerSize < 40 || headerSize > bmp.size()) return Status::Error("unbekanntes Bitmap-Format");
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return Status::Error("Farbtiefe nicht unterstützt");
  // Bit fields of 32-bit files are taken as the usual blue-green-red order.
  if (compression != 0 && !(compression == 3 && bpp == 32)) return Status::Error("komprimierte Bitmap");
  if (rawHeight == INT32_MIN) return Status::Error("Bildgröße nicht unterstützt");
  const int64_t height = std::llabs(rawHeight);
  if (width < 1 || width > 2040 || height < 1 || height > 2303) return Status::Error("Bildgröße nicht unterstützt");

  std::string_view palette;
  if (bpp <= 8) {
    uint64_t entries = colorsUsed ? colorsUsed : (1u << bpp);
    uint64_t start = 14 + static_cast<uint64_t>(headerSize);
    if (entries > (1u << bpp) || start + entries * 4 > bmp.size()) return Status::Error("Farbtabelle fehlt");
    palette = bmp.substr(static_cast<size_t>(start), static_cast<size_t>(entries * 4));
  }
  const uint64_t stride = ((static_cast<uint64_t>(width) * bpp + 31) / 32) * 4;
  if (static_cast<uint64_t>(dataOffset) + stride * static_cast<uint64_t>(height) > bmp.size())
    return Status::Error("Datei unvollständig");

  const unsigned bytesPerRow = (static_cast<unsigned>(width) + 7) / 8;
  std::string out = {29, 118, 48, 0};  // GS v 0, normal size
  out += static_cast<char>(bytesPerRow & 0xFF);
  out += static_cast<char>(bytesPerRow >> 8);
  out += static_cast<char>(height & 0xFF);
  out += static_cast<char>(height >> 8);
  for (int64_t y = 0; y < height; ++y) {
    // Positive heights are stored bottom row first.
    int64_t fileRow = rawHeight > 0 ? height - 1 - y : y;
    std::string_view row = bmp.substr(static_cast<size_t>(dataOffset + static_cast<uint64_t>(fileRow) * stride),
                                      static_cast<size_t>(stride));
    std::string bits(bytesPerRow, '\0');
    for (int32_t x = 0; x < width; ++x) {
      unsigned r, g, b;
      if (bpp >= 24) {
        size_t at = static_cast<size_t>(x) * (bpp / 8);
        b = static_cast<unsigned char>(row[at]);
        g = static_cast<unsigned char>(row[at + 1]);
        r = static_cast<unsigned char>(row[at + 2]);
      } else {
        size_t bit = static_cast<size_t>(x) * bpp;
        unsigned byte = static_cast<unsigned char>(row[bit / 8]);
        unsigned index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
        if (index * 4 + 2 >= palette.size()) continue;  // outside the table: left blank
        b = static_cast<unsigned char>(palette[index * 4]);
        g = static_cast<unsigned char>(palette[index * 4 + 1]);
        r = static_cast<unsigned char>(palette[index * 4 + 2]);
      }
      if (Dark(r, g, b)) bits[static_cast<size_t>(x) / 8] |= static_cast<char>(0x80 >> (x % 8));
    }
    out += bits;
  }
  raster = std::move(out);
  return Status::Ok();
}

}  // namespace tolven::printing
