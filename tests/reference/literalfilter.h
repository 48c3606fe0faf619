#pragma once

#include <cstdint>
#include <vector>

namespace reference {

/// The processing pass written out literally: nine stages of rings and
/// direct sums, word by word. `fileWords` are the input file's whole 32-bit
/// words, lead-in included. Returns the output file's words: the 48 lead-in
/// words copied (the last word read repeated for a file shorter than 48
/// words), then one filtered word per input word from index 48 on.
/// Slow on purpose: about 3,040 multiply-adds a word.
std::vector<std::int32_t> literalFilter(const std::vector<std::int32_t> &fileWords);

} // namespace reference
