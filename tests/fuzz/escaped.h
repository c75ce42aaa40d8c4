// Printable renderings of fuzz inputs for the messages of a finding.
//
//   std::fprintf(stderr, "input: %s\n", escaped(data).c_str());
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// `bytes` with everything but printable ASCII written as \xHH, cut at `limit`.
inline std::string escaped(const std::string& bytes, std::size_t limit = 400) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    }
  }
  if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}
