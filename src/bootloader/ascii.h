// Case folding for the printer's texts: ASCII letters only, whatever the
// locale, since the keys compared are plain ASCII.
#pragma once

namespace velloquin {

inline char LowerAsciiChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace velloquin
