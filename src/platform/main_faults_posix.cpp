// The entry of quendal_faults, the fault-injection test build: arms the fault plan from the
// environment (see fault_point.h), then runs the program as main_posix.cpp does.
#include <new>
#include <string>
#include <vector>

#include "platform/fault_point.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  quendal::platform::fault::arm_from_environment();
  std::vector<std::string> arguments;
  try {
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  } catch (const std::bad_alloc&) {
    return quendal::platform::program_out_of_memory();
  }
  return quendal::platform::program_main(arguments);
}
