// A native fault: a condition inside native work that must abort the whole
// call (an index outside an array). The Python boundary turns it into
// PanicException carrying the message.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace zor {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void index_fault(std::size_t len, std::size_t index) {
  throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

}  // namespace zor
