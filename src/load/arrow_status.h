// nanoarrow's status codes as the engine's exceptions, for the units that
// build Arrow arrays.
//
//   checkArrow(ArrowArrayAppendInt(array, 7), "cell");  // throws on failure
#pragma once

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "nanoarrow.h"

namespace quorvel {

// nanoarrow reports in errno codes: running out of memory is std::bad_alloc,
// as everywhere else in the engine; anything else is std::runtime_error
// naming the step.
inline void checkArrow(ArrowErrorCode code, const char* step) {
  if (code == NANOARROW_OK) return;
  if (code == ENOMEM) throw std::bad_alloc();
  throw std::runtime_error(std::string("cannot build a batch of cells (") + step +
                           "): " + std::strerror(code));
}

}  // namespace quorvel
