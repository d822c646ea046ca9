// The program: the command line, one scan run, its messages and its exit status.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quendal {

// Runs the program on the arguments after the program name, as UTF-8 texts that `arguments`
// produces (an argument that has no UTF-8 form is passed as bytes that are not UTF-8, which the
// command line refuses), and returns the exit status. Prints on standard output and standard
// error, and never throws: this is where the program's work ends, and an allocation failure
// that no step turned into its own message ends it with "Failed to run scan: out of memory".
int program_main(const std::function<std::vector<std::string>()>& arguments);

}  // namespace quendal
