#include <string>
#include <vector>

#include "command_line.h"

namespace brisvane::platform {

bool CommandLineArguments(int argc, char** argv, std::vector<std::string>* out) {
  out->assign(argv, argv + argc);
  return true;
}

}  // namespace brisvane::platform
