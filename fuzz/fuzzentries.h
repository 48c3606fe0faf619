#pragma once

// The entry points of the fuzz targets, as plain functions: the libFuzzer
// targets call them, and a regular test replays the corpus and every crash
// input through them. Each answers an empty string when the run kept every
// promise of the code it drives, else a line saying which promise broke.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzentries {

/// Largest input each entry looks at; longer inputs are skipped, so that
/// one run stays quick. The header cap leaves room for the largest
/// extension (2 + 65535 bytes).
constexpr std::size_t kMaxHeaderInput = 70000;
constexpr std::size_t kMaxProcessingInput = 1 << 16;
constexpr std::size_t kMaxAnalysisInput = 1 << 16;

/// The WAV header parse on `size` bytes held in memory.
QString parseHeader(const std::uint8_t *data, std::size_t size);

/// The processing pass (lead-in copy and filter) from memory into memory.
QString processing(const std::uint8_t *data, std::size_t size);

/// The analysis pass. The input is split: two little-endian bytes give the
/// template's length L (cut to what follows), the next L bytes are the
/// template, the rest is the processed file.
QString analysis(const std::uint8_t *data, std::size_t size);

/// The analysis input made of a processed file and a template.
QByteArray analysisInput(const QByteArray &processed, const QByteArray &marker);

/// Runs the entry named "header", "processing" or "analysis" on `bytes`.
QString run(const QByteArray &entry, const QByteArray &bytes);

} // namespace fuzzentries
