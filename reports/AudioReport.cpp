// The audio report. Not built yet: the preamble runs and the mode ends.
#include "reader/Preamble.h"
#include "reports/Reports.h"

void AudioExample(std::wstring fileName, bool, int32_t) {
  void* file = nullptr;
  StartFileMode("\nAudio example", "\nFile: \"", fileName, 2, &file);
}
