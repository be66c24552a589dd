// The two contents the atomic-writer program alternates, so a test can recognise whole files.
#pragma once

#include <cstddef>
#include <string>

namespace ostrivel::testing {

// Different lengths and byte patterns: a truncated, mixed or zero-filled file matches neither.
inline std::string writerContent(int which) {
  const std::size_t size = which == 0 ? 3 * 1024 * 1024 + 17 : 2 * 1024 * 1024 + 5;
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    content[i] = static_cast<char>(which == 0 ? 'a' + i % 23 : 'A' + i % 19);
  }
  return content;
}

}  // namespace ostrivel::testing
