#pragma once

#include <stdexcept>

namespace geomuxer {

/// A log file could not be created, opened or written; the message names the file.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace geomuxer
