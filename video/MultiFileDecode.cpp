// The multi-file decode. Not built yet: the preamble runs and the mode ends.
#include "reader/Preamble.h"
#include "video/VideoModes.h"

void MultiFileVideoExample(std::vector<std::wstring> files, bool, bool, int32_t, bool, bool) {
  WriteTitle("\nVideo example");
  WriteFileHeader("\nFile: \"", files.front());
  if (LoadReaderWithMessage()) InitializeReaderWithMessage();
}
