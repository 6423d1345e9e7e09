/* A program outside the project that uses an installed reader library: it opens a clip, reads
 * one frame as I420 and writes its bytes to a file, and runs the out-of-process hardware check,
 * which needs the helper the install puts beside the library.
 *
 *   zr8consumer CLIP FRAME OUTPUT
 *
 * Prints "<width>x<height> <frame count> frames" and exits 0 on success; a failed call prints its
 * name and status and exits 1. */
#include <Zr8Reader.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int Failed(const char* call, int32_t status) {
  fprintf(stderr, "%s failed: 0x%08" PRIX32 "\n", call, (uint32_t)status);
  return 1;
}

static int ReadFrame(void* file, int64_t frame, const char* output) {
  Zr8DecodePrefs prefs = {0};
  prefs.pixelType = ZR8_PIXEL_I420;
  void* video = NULL;
  int32_t status = ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, NULL, &video);
  if (status < 0) return Failed("OpenVideoStream", status);
  int result = 1;
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video);
  void* image = NULL;
  status = ZR8READER_ReadVideoStream_GetFrame(video, frame, &image);
  if (status < 0) {
    Failed("GetFrame", status);
  } else {
    const void* bytes = ZR8READER_Image_LockForCPU(image, 1);
    const uint32_t size = ZR8READER_Image_TotalSize(image);
    FILE* out = fopen(output, "wb");
    if (!bytes || !out || fwrite(bytes, 1, size, out) != size) {
      fprintf(stderr, "the frame could not be written to %s\n", output);
    } else {
      printf("%" PRIu32 "x%" PRIu32 " %" PRId64 " frames\n", ZR8READER_Image_Width(image),
             ZR8READER_Image_Height(image), count);
      result = 0;
    }
    if (out && fclose(out) != 0) result = 1;
    ZR8READER_Image_Unlock(image);
    ZR8READER_DeleteImageHandle(image);
  }
  ZR8READER_DeleteReadVideoStreamHandle(video);
  return result;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s CLIP FRAME OUTPUT\n", argv[0]);
    return 2;
  }
  wchar_t path[4096];
  if (mbstowcs(path, argv[1], sizeof path / sizeof path[0]) >= sizeof path / sizeof path[0]) {
    fprintf(stderr, "unusable path: %s\n", argv[1]);
    return 2;
  }
  ZR8READER_Initialize();
  int result = 1;
  void* file = NULL;
  int32_t status = ZR8READER_OpenReadFile(&file, path, 3);
  if (status < 0) {
    Failed("OpenReadFile", status);
  } else {
    result = ReadFrame(file, strtoll(argv[2], NULL, 10), argv[3]);
    ZR8READER_DeleteReadFileHandle(file);
  }
  /* Without the helper this answers 0x80070002; without devices, 0 decoders. */
  int32_t decoders = 0;
  status = ZR8READER_GetSupportedHardwareDecodersOOP(0, NULL, &decoders, 10000, 0);
  if (status < 0) result = Failed("GetSupportedHardwareDecodersOOP", status);
  ZR8READER_Uninitialize();
  return result;
}
