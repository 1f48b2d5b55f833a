#include "console/key_reader.h"

#include <cstdio>

#include "console/virtual_keys.h"

namespace tap {

bool wait_for_enter(KeySource& keys) {
  for (;;) {
    int code = keys.read_key();
    if (code == CODE_ENTER) return true;
    if (code == -1 && keys.status().fault != ReaderFault::none) return false;
  }
}

// The first fault is the one the user is told about; later ones follow from it.
int KeyReader::fail(ReaderFault fault, const char* detail) {
  if (status_.fault == ReaderFault::none) {
    status_.fault = fault;
    std::snprintf(status_.detail, sizeof status_.detail, "%s", detail);
  }
  return -1;
}

}  // namespace tap
