#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  try {
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  } catch (const std::bad_alloc&) {
    return quendal::platform::program_out_of_memory();
  }
  return quendal::platform::program_main(arguments);
}
