#include "app/Usage.h"

#include "platform/Platform.h"

void PrintUsage() {
  // The text is kept as the users know it, including where it differs from the parser (the
  // parser's words are "-gpu_buffer" and "-useCache", and its time-out default is 5000 ms).
  static const char* const kPieces[] = {
      "\n",
      "usage:\n\n",
      "Zr8ReaderDllClient filename [-options] [-file ...]\n\n",
      "options:\n",
      "   -brief: display brief information about file\n",
      "   -video: display detailed video information\n",
      "           [optional]: \n",
      "           -extract: extract video data to 'zr8reader.<fourcc> (default=.i420)'\n",
      "           -dualstream: tests usage of dual-stream decoders by spacing frame requests "
      "across "
      "the file'\n",
      "           -hardware [NONE|INTEL|AMD|NVIDIA]: use specified hardware decoder (default = "
      "NONE)\n",
      "           -optimal: use optimal pixel type for decoding (default = FALSE)\n",
      "           -decode_gpu: decode to GPU buffer; GPU is specified by 'hardware' above\n",
      "   -audio: display detailed audio information\n",
      "             [optional]: \n",
      "             -extract: extract PCM 32-bit float audio data tp 'zr8reader.pcm'\n",
      "             -stream <number>: extract channels for specified stream; default is 0th "
      "stream>\n",
      "   -hwcheck: identifies supported hardware decoders (in process)\n",
      "   -hwcheckOOP: identifies supported hardware decoders, via out-of-process execution\n",
      "             [optional]: \n",
      "             -timeout: time to wait for hardware detection process completion [default is "
      "1000 ms]\n",
      "             -usecache: use cached results [default is false]\n",
      "   -hwdetection: collects hardware detection information (in process)\n",
      "             [optional]: \n",
      "             -dxgiEnumPreference: dxgi enumeration preference [default is 0 / "
      "UNSPECIFIED]\n",
      "   -hwdetectionOOP: collects hardware detection information, via out-of-process execution\n",
      "             [optional]: \n",
      "             -timeout: time to wait for hardware detection process completion [default is "
      "1000 ms]\n",
      "             -usecache: use cached results [default is false]\n",
      "             -dxgiEnumPreference: dxgi enumeration preference [default is 0 / "
      "UNSPECIFIED]\n",
      "NOTE: for hwcheck or hwcheckOOP, you still need to pass a dummy filename as first "
      "argument\n",
      "\n",
  };
  std::wostream& out = platform::WideConsole();
  for (const char* piece : kPieces) out << piece;
}
