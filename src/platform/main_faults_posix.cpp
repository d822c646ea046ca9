// The entry of quendal_faults, the fault-injection test build: arms the fault plan from the
// environment (see fault_point.h), then runs the program as main_posix.cpp does.
#include <string>
#include <vector>

#include "platform/fault_point.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  quendal::platform::fault::arm_from_environment();
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return quendal::platform::program_main(arguments);
}
