// The program's entry: the process's arguments, as UTF-8 texts, to the program.
#include "cli/program.h"
#include "platform/platform.h"

#ifdef _WIN32
// Linked with -municode: the arguments arrive as the UTF-16 the user typed rather than squeezed
// through the ANSI code page.
extern "C" int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
  return quendal::program_main(
      [&] { return quendal::platform::command_line_arguments(argc, argv); });
}
