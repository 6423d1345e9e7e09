#include "video/VideoNames.h"

#include <string>

#include "text/WideText.h"

namespace {

struct PixelTypeEntry {
  int32_t code;
  const char* name;
};

constexpr PixelTypeEntry kPixelTypes[] = {
    {0x0, "<p-unknown>"}, {0x100, "RGBA_8u"},  {0x101, "RGBA_16u"}, {0x102, "RGBA_16s"},
    {0x103, "RGBA_16f"},  {0x104, "RGBA_32f"}, {0x200, "GBR10"},    {0x201, "GBR12"},
    {0x400, "RGB_8u"},    {0x401, "BGR_8u"},   {0x402, "RGB_16u"},  {0x403, "RGB_16f"},
    {0x404, "RGB_32f"},   {0x405, "R10k"},     {0x406, "DNxHD444"}, {0x407, "ARGB_16u"},
    {0x1000, "YUYV"},     {0x1001, "UYVY"},    {0x1002, "v210"},    {0x1003, "DNxHD10"},
    {0x1004, "YUVA_16u"}, {0x1005, "Y210"},    {0x2000, "I420"},    {0x2001, "NV12"},
    {0x2002, "YV12"},     {0x2003, "YV16"},    {0x2004, "P010"},    {0x2005, "P016"},
    {0x2006, "YUV10"},    {0x2007, "YVU10"},   {0x2008, "YUV444"},  {0x2009, "YUV444_16"},
    {0x200A, "P210"},     {0x200B, "P216"},    {0x10000, "QRAW"},
};

}  // namespace

const char* PixelTypeName(int32_t pixelType) {
  for (const PixelTypeEntry& entry : kPixelTypes) {
    if (entry.code == pixelType) return entry.name;
  }
  return "<unknown>";
}

std::wstring FourCCToWString(uint32_t fourCC) {
  const char bytes[4] = {static_cast<char>(fourCC >> 24), static_cast<char>(fourCC >> 16),
                         static_cast<char>(fourCC >> 8), static_cast<char>(fourCC)};
  std::wstring text = platform::BytesToWide(std::string_view(bytes, sizeof(bytes)));
  // The lossless decoding keeps a stray byte as an escape code point; here it is just unreadable.
  for (wchar_t& ch : text) {
    if (ch >= 0xDC80 && ch <= 0xDCFF) ch = static_cast<wchar_t>(0xFFFD);
  }
  return text;
}

void WriteVideoDescription(std::wostream& out, const VideoFormat& format,
                           const VideoCompressedFormat& compressed) {
  out << "Frame rate:   " << format.frameRate << "\n";
  out << "Interlace:    " << format.interlace << "\n";
  out << "Aspect ratio: " << format.aspectRatio << "\n";
  out << "Frame size:   " << format.width << "x" << format.height << "\n";
  out << "Pixel format: " << PixelTypeName(format.pixelType) << "\n";
  out << "FourCC: " << FourCCToWString(compressed.fourCC) << "\n";
  out << "\n";
}
