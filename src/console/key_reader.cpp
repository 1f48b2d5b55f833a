#include "console/key_reader.h"

#include <cstdio>

namespace tap {

// The first fault is the one the user is told about; later ones follow from it.
int KeyReader::fail(ReaderFault fault, const char* detail) {
  if (status_.fault == ReaderFault::none) {
    status_.fault = fault;
    std::snprintf(status_.detail, sizeof status_.detail, "%s", detail);
  }
  return -1;
}

}  // namespace tap
