#pragma once

#include "dsp/constants.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QIODevice>

/// The WAV layout both passes read and write: the header parse, the headers
/// the program writes, and where the samples start.
namespace wavformat {

/// Bytes at the start of a file that both passes leave out of their steps:
/// the 48-word lead-in.
constexpr qint64 kLeadInBytes = 4 * dsp::kLeadInWords;

/// Length of the RF64 form of canonicalHeader().
constexpr qint64 kRf64HeaderBytes = 80;

/// The header parse, on any device open for reading: reads from byte 0 and
/// leaves `device` after the data chunk header. True for a WAV header (RIFF,
/// RIFX, or RF64/BW64 with its ds64 chunk); `format` and `dataBytes` (the
/// data chunk's size, from ds64 in an RF64 file) are set only then.
/// `headerBytes` gets the position reached, except when a chunk after the
/// first 36 bytes is cut short (then it is left alone). False also after a
/// failed read, whose reason readFailure() gives.
bool parseHeader(QIODevice &device, QAudioFormat &format, qint64 &headerBytes,
                 qint64 *dataBytes = nullptr);

/// True for the one format both passes accept: 16384 Hz, 32-bit samples.
bool isAnalysisFormat(const QAudioFormat &format);

/// The header of a file with `dataBytes` bytes of 32-bit samples: the
/// canonical 44-byte header while its 32-bit sizes hold the file (up to
/// 4 GiB), else an 80-byte RF64 header whose ds64 chunk carries the 64-bit
/// sizes.
QByteArray canonicalHeader(int channels, int sampleRate, qint64 dataBytes);

/// Bytes of the frames the analysis of a file of `fileSize` bytes writes.
qint64 frameBytes(qint64 fileSize);

/// The layout of the Draw command's two-channel result for a number of
/// analysed samples: a header, then one frame of two 32-bit words each.
struct StereoLayout
{
    explicit StereoLayout(qint64 samples) : samples(samples) {}
    /// The layout the analysis of a processed file of `fileSize` bytes gives.
    static StereoLayout forProcessedSize(qint64 fileSize);

    qint64 frameBytes() const { return samples * 8; }
    /// The header for `dataBytes` bytes of frames.
    static QByteArray header(qint64 dataBytes);
    QByteArray header() const { return header(frameBytes()); }
    /// Byte offset of the first frame.
    qint64 offset() const;
    qint64 fileBytes() const { return offset() + frameBytes(); }

    qint64 samples;
};

} // namespace wavformat
