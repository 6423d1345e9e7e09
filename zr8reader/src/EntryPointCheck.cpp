// The public prototypes against the library's one list of its entry points (Zr8ReaderEntryPoints.h,
// which the client's table is made from too): each entry point's type must be the list's
// signature, or the library does not build.
#include <type_traits>

#include "Zr8Reader.h"
#include "Zr8ReaderEntryPoints.h"

namespace {

// The list's names of the records.
using AudioCompressedFormat = Zr8AudioCompressedFormat;
using VideoFormat = Zr8VideoFormat;
using VideoCompressedFormat = Zr8VideoCompressedFormat;
using DecodePrefs = Zr8DecodePrefs;
using OpenCLContextInfo = Zr8OpenCLContextInfo;
using HardwareDecoderInfo = Zr8HardwareDecoderInfo;

#define ZR8_CHECK_PROTOTYPE(name, result, parameters, use)             \
  static_assert(std::is_same_v<decltype(&name), result(*) parameters>, \
                #name " differs from the entry-point list");
ZR8_ENTRY_POINTS(ZR8_CHECK_PROTOTYPE)
#undef ZR8_CHECK_PROTOTYPE

}  // namespace
