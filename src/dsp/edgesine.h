#pragma once

#include <cstdint>

namespace dsp::analysis {

/// edgeSineWords() in the form chosen: the wide one where `wide` and the
/// processor has it, else the narrow one; both give the same words.
void edgeSineWordsIn(bool wide, std::int64_t first, int count, std::int32_t *words);

} // namespace dsp::analysis
