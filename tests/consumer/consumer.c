/* A C program outside the project built against an installed reader library: it opens a clip and
 * runs the out-of-process hardware check, which needs the helper the install puts beside the
 * library. Prints "<video streams> <audio streams>" and exits 0; a failed call prints its name and
 * status and exits 1. */
#include <Zr8Reader.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

static int Failed(const char* call, int32_t status) {
  if (status < 0) fprintf(stderr, "%s failed: 0x%08" PRIX32 "\n", call, (uint32_t)status);
  return status < 0;
}

int main(int argc, char** argv) {
  wchar_t path[4096];
  if (argc != 2 || mbstowcs(path, argv[1], 4096) >= 4096) return 2;
  ZR8READER_Initialize();
  void* file = NULL;
  int failed = Failed("OpenReadFile", ZR8READER_OpenReadFile(&file, path, 3));
  if (!failed) {
    printf("%" PRId32 " %" PRId32 "\n", ZR8READER_ReadFile_GetVideoStreamCount(file),
           ZR8READER_ReadFile_GetAudioStreamCount(file));
    ZR8READER_DeleteReadFileHandle(file);
  }
  /* Without the helper this answers 0x80070002; without devices, 0 decoders. */
  int32_t decoders = 0;
  failed |= Failed("GetSupportedHardwareDecodersOOP",
                   ZR8READER_GetSupportedHardwareDecodersOOP(0, NULL, &decoders, 10000, 0));
  ZR8READER_Uninitialize();
  return failed;
}
