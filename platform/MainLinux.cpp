// The process entry point on Linux: the arguments arrive as bytes and are decoded losslessly into
// the wide strings that wmain takes (see WideText.h).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "text/WideText.h"

int main(int argc, char* argv[]) {
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(platform::BytesToWide(argv[i]));
  std::vector<wchar_t*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  const int status = wmain(argc, pointers.data());
  std::fflush(stdout);
  return status;
}
