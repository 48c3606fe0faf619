#include "wavfile.h"

#include "wav/resultfiles.h"

#include <QtEndian>

#include <limits>

namespace {

quint16 le16(const char *bytes)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(bytes));
}

quint32 le32(const char *bytes)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(bytes));
}

QString deviceName(const QIODevice *device)
{
    if (const auto *file = qobject_cast<const QFileDevice *>(device))
        return WavFile::shownName(file);
    return QStringLiteral("the file");
}

} // namespace

QString WavFile::shownName(const QFileDevice *file)
{
    if (const auto *result = dynamic_cast<const resultfiles::ResultFile *>(file))
        return result->name();
    return file->fileName();
}

WavFile::WavFile(QObject *parent) : QFile(parent) {}

WavFile::~WavFile() = default;

bool WavFile::openRead(const QString &fileName)
{
    close();
    checkedBytes = -1;
    setFileName(fileName);
    if (exists() && !resultfiles::isRegular(fileName))
        return false;
    if (!open(QIODevice::ReadOnly))
        return false;
    checkedBytes = size();
    return parseHeader(*this, format, headerBytes);
}

bool WavFile::openWrite(const QString &fileName)
{
    close();
    checkedBytes = -1;
    setFileName(fileName);
    return open(QIODevice::ReadWrite | QIODevice::Truncate);
}

qint64 WavFile::passBytes(const QIODevice *device) const
{
    return device == this && checkedBytes >= 0 ? checkedBytes : device->size();
}

bool WavFile::hasAnalysisFormat() const
{
    return format.sampleRate() == 16384 && format.sampleSize() == 32;
}

bool WavFile::failRead(const QIODevice *device)
{
    passError = QStringLiteral("Could not read %1: it ended early or became unreadable")
                    .arg(deviceName(device));
    return false;
}

bool WavFile::failWrite(QIODevice *device)
{
    passError = QStringLiteral("Could not write %1: %2")
                    .arg(deviceName(device), resultfiles::writeFailure(*device));
    return false;
}

// The header as parsed: "RIFF" or "RIFX", a size that is ignored, "WAVE",
// "fmt ", the format chunk's size, tag, channels, rate, byte rate, block
// alignment and bits per sample; then, when the format chunk is longer than
// 16 bytes, an extension of 2 + E bytes; then 8 bytes of data chunk header
// that are consumed but not compared. Every integer is little-endian, also
// in a RIFX file, where only the recorded byte order changes.
bool WavFile::parseHeader(QIODevice &device, QAudioFormat &format, qint64 &headerBytes)
{
    bool result = false;
    device.seek(0);
    const QByteArray head = device.read(36);
    if (head.size() == 36) {
        const char *h = head.constData();
        const bool riff = head.startsWith("RIFF");
        const quint16 tag = le16(h + 20);
        result = (riff || head.startsWith("RIFX")) && head.mid(8, 4) == "WAVE"
                 && head.mid(12, 4) == "fmt " && tag <= 1;
        if (result) {
            if (le32(h + 16) > 16) {
                const QByteArray sizeField = device.peek(2);
                if (sizeField.size() != 2)
                    return false;
                const qint64 extension = le16(sizeField.constData()) + 2;
                if (device.read(extension).size() != extension)
                    return false;
            }
            if (device.read(8).size() != 8)
                return false;

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

qint64 WavFile::frameBytes(qint64 fileSize)
{
    const qint64 samples = fileSize / 4 - 48;
    return samples > 0 ? samples * 8 : 0;
}

QByteArray WavFile::canonicalHeader(int channels, int sampleRate, qint64 dataBytes)
{
    const int bytesPerSample = 4;
    const quint32 dataSize = quint32(qBound<qint64>(0, dataBytes, 0xFFFFFFFFLL));
    const quint32 riffSize = quint32(qBound<qint64>(0, dataBytes + 36, 0xFFFFFFFFLL));

    uchar h[44] = {};
    memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(riffSize, h + 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20);
    qToLittleEndian<quint16>(quint16(channels), h + 22);
    qToLittleEndian<quint32>(quint32(sampleRate), h + 24);
    qToLittleEndian<quint32>(quint32(sampleRate * channels * bytesPerSample), h + 28);
    qToLittleEndian<quint16>(quint16(channels * bytesPerSample), h + 32);
    qToLittleEndian<quint16>(quint16(bytesPerSample * 8), h + 34);
    memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(dataSize, h + 40);
    return QByteArray(reinterpret_cast<const char *>(h), sizeof h);
}
