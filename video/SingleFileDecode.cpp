// The single-file decode. Not built yet: the preamble runs and the mode ends.
#include "reader/Preamble.h"
#include "video/VideoModes.h"

void VideoExample(std::wstring fileName, bool, bool, int32_t, bool, bool) {
  WriteTitle("\nVideo example");
  WriteFileHeader("\nFile: \"", fileName);
  if (LoadReaderWithMessage()) InitializeReaderWithMessage();
}
