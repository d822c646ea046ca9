#include <string>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return quendal::platform::program_main(arguments);
}
