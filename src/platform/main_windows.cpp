// The Windows entry point: the wide command line, linked with -municode, so arguments arrive as
// the UTF-16 the user typed rather than squeezed through the ANSI code page.
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_windows.h"

extern "C" int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  try {
    for (int i = 1; i < argc; ++i) {
      arguments.push_back(quendal::platform::windows::argument_to_utf8(argv[i]));
    }
  } catch (const std::bad_alloc&) {
    return quendal::platform::program_out_of_memory();
  }
  return quendal::platform::program_main(arguments);
}
