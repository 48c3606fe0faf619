#include "header.h"

#include "wav/format/reading.h"

#include <QtEndian>

#include <limits>

namespace wavformat {

namespace {

quint16 le16(const char *bytes)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(bytes));
}

quint32 le32(const char *bytes)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(bytes));
}

quint64 le64(const char *bytes)
{
    return qFromLittleEndian<quint64>(reinterpret_cast<const uchar *>(bytes));
}

/// Largest ds64 chunk read: its three sizes and a table of 5000 further ones.
constexpr quint32 kMaxDs64Bytes = 28 + 12 * 5000;

/// Largest data size a plain header's 32-bit fields hold: the RIFF size
/// field counts 36 header bytes besides the data.
constexpr qint64 kMaxPlainDataBytes = 0xFFFFFFFFLL - 36;

} // namespace

bool isAnalysisFormat(const QAudioFormat &format)
{
    return format.sampleRate() == 16384 && format.sampleSize() == 32;
}

// The header as parsed: "RIFF" or "RIFX", a size that is ignored, "WAVE",
// "fmt ", the format chunk's size, tag, channels, rate, byte rate, block
// alignment and bits per sample; then, when the format chunk is longer than
// 16 bytes, an extension of 2 + E bytes; then 8 bytes of data chunk header
// that are consumed but not compared. Every integer is little-endian, also
// in a RIFX file, where only the recorded byte order changes.
//
// A recording too long for 32-bit sizes starts with "RF64" (or "BW64"),
// "WAVE" and a "ds64" chunk holding the 64-bit sizes; the format chunk and
// the data chunk header follow it as above.
bool parseHeader(QIODevice &device, QAudioFormat &format, qint64 &headerBytes, qint64 *dataBytes)
{
    bool result = false;
    device.seek(0);
    QByteArray head = wavformat::read(device, 36);
    if (head.size() == 36) {
        const bool rf64 =
            (head.startsWith("RF64") || head.startsWith("BW64")) && head.mid(8, 8) == "WAVEds64";
        qint64 dataSize = 0;
        if (rf64) {
            // The ds64 body: RIFF size, data size and frame count (8 bytes
            // each), then a table of further sizes that is not needed.
            const quint32 ds64Size = le32(head.constData() + 16);
            if (ds64Size < 24 || ds64Size > kMaxDs64Bytes)
                return false;
            const qint64 rest = qint64(ds64Size) + (ds64Size & 1) - 16;
            const QByteArray body = head.mid(20) + wavformat::read(device, rest);
            if (body.size() != 16 + rest)
                return false;
            dataSize = qint64(qMin<quint64>(le64(body.constData() + 8),
                                            quint64(std::numeric_limits<qint64>::max())));
            // The format chunk as if it stood at byte 12 of a plain header.
            const QByteArray fmt = wavformat::read(device, 24);
            if (fmt.size() != 24)
                return false;
            head = QByteArray("RIFF----WAVE") + fmt;
        }
        const char *h = head.constData();
        const bool riff = rf64 || head.startsWith("RIFF");
        const quint16 tag = le16(h + 20);
        result = (riff || head.startsWith("RIFX")) && head.mid(8, 4) == "WAVE"
                 && head.mid(12, 4) == "fmt " && tag <= 1;
        if (result) {
            if (le32(h + 16) > 16) {
                const QByteArray sizeField = device.peek(2);
                if (sizeField.size() != 2)
                    return false;
                const qint64 extension = le16(sizeField.constData()) + 2;
                if (wavformat::read(device, extension).size() != extension)
                    return false;
            }
            const QByteArray dataHeader = wavformat::read(device, 8);
            if (dataHeader.size() != 8)
                return false;
            if (!rf64)
                dataSize = le32(dataHeader.constData() + 4);
            if (dataBytes)
                *dataBytes = dataSize;

            format.setByteOrder(riff ? QAudioFormat::LittleEndian : QAudioFormat::BigEndian);
            format.setChannelCount(le16(h + 22));
            format.setCodec(QStringLiteral("audio/pcm"));
            // A rate beyond the int range can never be the accepted one;
            // keep it out of range rather than let it wrap.
            const quint32 rate = le32(h + 24);
            format.setSampleRate(rate > quint32(std::numeric_limits<int>::max()) ? -1 : int(rate));
            const quint16 bits = le16(h + 34);
            format.setSampleSize(bits);
            format.setSampleType(bits == 8 ? QAudioFormat::UnSignedInt : QAudioFormat::SignedInt);
        }
    }
    headerBytes = device.pos();
    return result;
}

qint64 frameBytes(qint64 fileSize)
{
    const qint64 samples = fileSize / 4 - dsp::kLeadInWords;
    return samples > 0 ? samples * 8 : 0;
}

QByteArray canonicalHeader(int channels, int sampleRate, qint64 dataBytes)
{
    const int bytesPerSample = 4;
    dataBytes = qMax<qint64>(0, dataBytes);
    const bool rf64 = dataBytes > kMaxPlainDataBytes;

    QByteArray header;
    const auto put = [&header](auto value) {
        uchar bytes[sizeof value];
        qToLittleEndian(value, bytes);
        header.append(reinterpret_cast<const char *>(bytes), int(sizeof value));
    };
    if (rf64) {
        // The 32-bit fields say "see ds64"; the ds64 chunk holds the RIFF
        // size (the file less 8 bytes), the data size and the frame count.
        header += "RF64";
        put(quint32(0xFFFFFFFF));
        header += "WAVEds64";
        put(quint32(28));
        put(quint64(dataBytes + kRf64HeaderBytes - 8));
        put(quint64(dataBytes));
        put(quint64(dataBytes / (channels * bytesPerSample)));
        put(quint32(0)); // no table entries
    } else {
        header += "RIFF";
        put(quint32(dataBytes + 36));
        header += "WAVE";
    }
    header += "fmt ";
    put(quint32(16));
    put(quint16(1));
    put(quint16(channels));
    put(quint32(sampleRate));
    put(quint32(sampleRate * channels * bytesPerSample));
    put(quint16(channels * bytesPerSample));
    put(quint16(bytesPerSample * 8));
    header += "data";
    put(quint32(rf64 ? 0xFFFFFFFF : dataBytes));
    return header;
}

StereoLayout StereoLayout::forProcessedSize(qint64 fileSize)
{
    return StereoLayout(wavformat::frameBytes(fileSize) / 8);
}

QByteArray StereoLayout::header(qint64 dataBytes)
{
    return canonicalHeader(2, 16384, dataBytes);
}

qint64 StereoLayout::offset() const
{
    return frameBytes() > kMaxPlainDataBytes ? kRf64HeaderBytes : 44;
}

} // namespace wavformat
