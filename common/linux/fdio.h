#pragma once

#include <cstddef>
#include <string>

namespace vorn {

// Whole-buffer reads and writes on a descriptor: short transfers are resumed
// and EINTR retried, so a caller sees only all or nothing.

// Writes every byte of 'bytes'; false on an error (errno tells which) or
// when the descriptor takes no more.
bool WriteAll(int fd, const std::string& bytes);

// Reads exactly 'size' bytes into 'buffer'; false on an error (errno tells
// which) or at the end of the input before 'size' bytes came.
bool ReadExactly(int fd, char* buffer, size_t size);

}  // namespace vorn
