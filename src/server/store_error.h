#pragma once
// The one error type every position store throws: a failed statement, a lost or refused
// connection, a damaged file. The message is meant for the user and never holds a password.

#include <stdexcept>
#include <string>

namespace geomuxer {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace geomuxer
