// Whether a batch's text is UTF-8, checked by the engine as it builds the
// batch, so that a consumer need not read every byte again: ASCII, the bulk
// of most files, is skipped 16 bytes at a time, and only the sequences of
// other bytes are decoded.
//
//   if (!isUtf8(std::string_view(text, size))) ...  // a cell is not UTF-8
#pragma once

#include <string_view>

namespace quorvel {

// Whether `bytes` are UTF-8 as Unicode defines it: each character in its
// shortest form, no surrogates (U+D800 to U+DFFF), none past U+10FFFF.
// Uses SSE2 where the machine has it (every x86-64).
bool isUtf8(std::string_view bytes);

// The same answer without SIMD, ASCII skipped a word at a time: the path of
// other machines, and the oracle the tests hold the SIMD path up against.
bool isUtf8Portable(std::string_view bytes);

}  // namespace quorvel
