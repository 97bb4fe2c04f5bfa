#include "command_line.h"

#include <string>

bool FirstArgument(int argc, char** argv, std::string* out) {
  if (argc < 2) return false;
  *out = argv[1];
  return true;
}

void MakeStandardInputBinary() {}
