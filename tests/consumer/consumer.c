/* A program outside the project that uses an installed reader library: it decodes one frame of a
 * clip and runs the out-of-process hardware check, which needs the helper the install puts beside
 * the library.
 *   zr8consumer CLIP FRAME
 * Prints "<width>x<height> <frame count> frames" and exits 0; a failed call prints its name and
 * status and exits 1. */
#include <Zr8Reader.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int Failed(const char* call, int32_t status) {
  if (status < 0) fprintf(stderr, "%s failed: 0x%08" PRIX32 "\n", call, (uint32_t)status);
  return status < 0;
}

int main(int argc, char** argv) {
  wchar_t path[4096];
  if (argc != 3 || mbstowcs(path, argv[1], 4096) >= 4096) {
    fprintf(stderr, "usage: %s CLIP FRAME\n", argc > 0 ? argv[0] : "zr8consumer");
    return 2;
  }
  ZR8READER_Initialize();
  void *file = NULL, *video = NULL, *image = NULL;
  Zr8DecodePrefs prefs = {0};
  prefs.pixelType = ZR8_PIXEL_I420;
  int failed = Failed("OpenReadFile", ZR8READER_OpenReadFile(&file, path, 3)) ||
               Failed("OpenVideoStream",
                      ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, NULL, &video)) ||
               Failed("GetFrame", ZR8READER_ReadVideoStream_GetFrame(
                                      video, strtoll(argv[2], NULL, 10), &image));
  if (!failed) {
    printf("%" PRIu32 "x%" PRIu32 " %" PRId64 " frames\n", ZR8READER_Image_Width(image),
           ZR8READER_Image_Height(image), ZR8READER_ReadVideoStream_GetFrameCount(video));
  }
  if (image) ZR8READER_DeleteImageHandle(image);
  if (video) ZR8READER_DeleteReadVideoStreamHandle(video);
  if (file) ZR8READER_DeleteReadFileHandle(file);
  /* Without the helper this answers 0x80070002; without devices, 0 decoders. */
  int32_t decoders = 0;
  failed |= Failed("GetSupportedHardwareDecodersOOP",
                   ZR8READER_GetSupportedHardwareDecodersOOP(0, NULL, &decoders, 10000, 0));
  ZR8READER_Uninitialize();
  return failed;
}
