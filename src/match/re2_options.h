// The RE2 options under which the translations of regex_subset.h mean what Boost means. Only
// the matcher's own files and their tests include this header, and with it RE2.
//
//   RE2::Options options = quorvel::re2SubsetOptions();
//   options.set_max_mem(share);  // a user of many engines divides its budget among them
#pragma once

#include <re2/re2.h>

namespace quorvel {

// The options every translated text must be compiled with: Latin-1 so that each byte is one
// character, `.` matching newline, case-sensitive, no capturing, no error logging, and a memory
// ceiling of 64 MiB under which every translation is known to compile.
RE2::Options re2SubsetOptions();

}  // namespace quorvel
