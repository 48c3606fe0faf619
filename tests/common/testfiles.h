#pragma once

// Builders for the files the tests feed the program: WAV headers of every
// shape, sample words, templates, and small file helpers.

#include "wav/format/marker.h"
#include "wav/passes/wavfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace testfiles {

struct HeaderFields
{
    QByteArray riff = "RIFF";
    QByteArray wave = "WAVE";
    QByteArray fmt = "fmt ";
    quint32 fmtSize = 16;
    quint16 tag = 1;
    quint16 channels = 1;
    quint32 rate = 16384;
    quint16 bits = 32;
    /// Extension bytes after the 16-byte format chunk (size field included
    /// when fmtSize > 16): only written when non-empty.
    QByteArray extension;
    QByteArray dataId = "data";
    quint32 dataSize = 0;
};

inline void put16(QByteArray &bytes, quint16 value)
{
    uchar b[2];
    qToLittleEndian(value, b);
    bytes.append(reinterpret_cast<const char *>(b), 2);
}

inline void put32(QByteArray &bytes, quint32 value)
{
    uchar b[4];
    qToLittleEndian(value, b);
    bytes.append(reinterpret_cast<const char *>(b), 4);
}

inline QByteArray header(const HeaderFields &fields)
{
    QByteArray h;
    h += fields.riff;
    put32(h, 36 + fields.dataSize);
    h += fields.wave;
    h += fields.fmt;
    put32(h, fields.fmtSize);
    put16(h, fields.tag);
    put16(h, fields.channels);
    put32(h, fields.rate);
    put32(h, fields.rate * fields.channels * (fields.bits / 8));
    put16(h, quint16(fields.channels * (fields.bits / 8)));
    put16(h, fields.bits);
    h += fields.extension;
    h += fields.dataId;
    put32(h, fields.dataSize);
    return h;
}

inline void put64(QByteArray &bytes, quint64 value)
{
    uchar b[8];
    qToLittleEndian(value, b);
    bytes.append(reinterpret_cast<const char *>(b), 8);
}

/// An RF64 header: `id`, "WAVE", a ds64 chunk of `ds64Size` bytes holding
/// the 64-bit sizes for `dataSize` data bytes, then the format chunk and
/// data chunk header of `fields` (their 32-bit sizes set to 0xFFFFFFFF).
inline QByteArray rf64Header(HeaderFields fields, quint64 dataSize, quint32 ds64Size = 28,
                             const QByteArray &id = "RF64")
{
    fields.dataSize = 0xFFFFFFFF;
    QByteArray ds64;
    put64(ds64, 0); // RIFF size, filled in below
    put64(ds64, dataSize);
    put64(ds64, dataSize / (fields.channels * (fields.bits / 8)));
    ds64 += QByteArray(int(ds64Size) - 24, '\0');
    const QByteArray rest = header(fields).mid(12);
    QByteArray h = id;
    put32(h, 0xFFFFFFFF);
    h += "WAVEds64";
    put32(h, ds64Size);
    const quint64 riffSize = quint64(h.size() + ds64.size() + rest.size()) - 8 + dataSize;
    qToLittleEndian(riffSize, reinterpret_cast<uchar *>(ds64.data()));
    return h + ds64 + rest;
}

inline QByteArray wordBytes(const std::vector<std::int32_t> &words)
{
    QByteArray bytes;
    bytes.reserve(int(words.size() * 4));
    for (std::int32_t w : words)
        put32(bytes, quint32(w));
    return bytes;
}

inline std::vector<std::int32_t> bytesToWords(const QByteArray &bytes)
{
    std::vector<std::int32_t> words(std::size_t(bytes.size() / 4));
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = qFromLittleEndian<qint32>(bytes.constData() + 4 * i);
    return words;
}

/// A 16384 Hz, 32-bit mono recording: a 44-byte header and `samples`.
inline QByteArray recording(const std::vector<std::int32_t> &samples, quint32 rate = 16384,
                            quint16 bits = 32)
{
    HeaderFields fields;
    fields.rate = rate;
    fields.bits = bits;
    fields.dataSize = quint32(samples.size() * 4);
    return header(fields) + wordBytes(samples);
}

/// Seeded test signal: tones in the pass band with some noise, about
/// `amplitude` at its peaks.
inline std::vector<std::int32_t> bandSignal(std::size_t count, double amplitude, unsigned seed = 1)
{
    std::mt19937 generator(seed);
    std::normal_distribution<double> noise(0.0, amplitude * 0.1);
    std::vector<std::int32_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / 16384.0;
        const double v = amplitude * 0.5 * std::sin(2 * M_PI * 150 * t)
                         + amplitude * 0.3 * std::sin(2 * M_PI * 110 * t + 1.0) + noise(generator);
        samples[i] = std::int32_t(v);
    }
    return samples;
}

inline QByteArray markerBytes(const std::vector<double> &values)
{
    return markerfile::bytes(values);
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct FileState
{
    bool isDir = false;
    QByteArray bytes;
    QDateTime modified;
};

/// Every entry of `dir` by name, with its bytes and modification time.
inline std::map<QString, FileState> snapshot(const QString &dir)
{
    std::map<QString, FileState> files;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &info : entries)
        files[info.fileName()] = {info.isDir(),
                                  info.isDir() ? QByteArray() : readFile(info.filePath()),
                                  info.lastModified()};
    return files;
}

inline QStringList names(const std::map<QString, FileState> &files)
{
    QStringList list;
    for (const auto &entry : files)
        list << entry.first;
    return list;
}

} // namespace testfiles
