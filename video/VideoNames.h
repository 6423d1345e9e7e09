// Printable names of pixel types and FourCCs, and the description block of a video stream.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "reader/VideoRecords.h"

// The name of a pixel-type code: a static text, "<unknown>" for a code without a name.
const char* PixelTypeName(int32_t pixelType);

// The four bytes of a FourCC, most significant first, read as UTF-8. Zero bytes stay in the text
// as characters; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::wstring FourCCToWString(uint32_t fourCC);

// The description block of the single-file decode, ending with an empty line.
void WriteVideoDescription(std::wostream& out, const VideoFormat& format,
                           const VideoCompressedFormat& compressed);
