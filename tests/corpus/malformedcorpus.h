#pragma once

// The malformed-input corpus: recordings and templates of every awkward
// shape, each named for what it is, with the outcome the Open and Draw
// commands must reach. Built in memory; the corpus test writes it out, and
// the fuzz seed writer hands it to the fuzz targets.

#include "common/testfiles.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <limits>
#include <vector>

namespace corpus {

/// What Open does with a recording. Refused: its result may not be written.
enum class Open { Processed, NotWav, WrongFormat, Refused };
/// What Draw then does with the processed file (Skipped when Open refused).
enum class Draw { Drawn, NotWav, Skipped };

/// What stands at a recording's name, or at its result's.
enum class Entry {
    File,
    Folder,                ///< a folder of this name
    Fifo,                  ///< a FIFO (read as it would be: empty)
    LinkToDevice,          ///< a link to /dev/null
    Link,                  ///< a link to "<name>.target", which holds the bytes
    ResultLinkToRecording, ///< the file, and <base>_output.wav a link to it
    ResultLinkToDevice,    ///< the file, and <base>_output.wav a link to /dev/null
};

struct Recording
{
    QString name; ///< file name, ends in ".wav"
    QByteArray bytes;
    Open open;
    Draw draw;
    Entry entry = Entry::File;
    /// Why the result is refused (Open::Refused), "%1" the recording's path.
    QString why = QString();
    /// In one batch run, the earlier recording whose result names these are.
    QString sameResultsAs = QString();
};

struct Template
{
    QString name;
    QByteArray bytes;
    bool missing = false; ///< no marker.dat at all
};

inline std::vector<std::int32_t> corpusSamples(std::size_t count)
{
    return testfiles::bandSignal(count, 3e6, 7);
}

inline QByteArray validHeader(quint32 dataSize = 4 * 3000)
{
    testfiles::HeaderFields fields;
    fields.dataSize = dataSize;
    return testfiles::header(fields);
}

inline std::vector<Recording> recordings()
{
    using testfiles::header;
    using testfiles::HeaderFields;
    using testfiles::put16;
    using testfiles::put32;
    using testfiles::wordBytes;

    const QByteArray samples = wordBytes(corpusSamples(3000));
    const QByteArray valid = validHeader() + samples;
    std::vector<Recording> list;
    const auto add = [&](const QString &name, const QByteArray &bytes, Open open) {
        list.push_back({name, bytes, open, open == Open::Processed ? Draw::Drawn : Draw::Skipped});
    };
    const auto fields = [](void (*change)(HeaderFields &)) {
        HeaderFields s;
        s.dataSize = 4 * 3000;
        change(s);
        return s;
    };

    add("valid.wav", valid, Open::Processed);
    add("empty.wav", QByteArray(), Open::NotWav);

    // Cut at every field boundary of the 44-byte header; a cut inside the
    // first 36 bytes or the data chunk header is no WAV file, the bare
    // 44-byte header is a recording of no samples.
    const int cuts[] = {1, 4, 8, 12, 16, 20, 22, 24, 28, 32, 34, 35, 36, 40, 43};
    for (int cut : cuts)
        add(QStringLiteral("cut-at-%1.wav").arg(cut, 2, 10, QChar('0')), valid.left(cut),
            Open::NotWav);
    add("cut-at-44-no-samples.wav", valid.left(44), Open::Processed);
    add("cut-inside-lead-in.wav", valid.left(100), Open::Processed);
    add("cut-at-lead-in-end.wav", valid.left(192), Open::Processed);
    add("odd-size-plus-1.wav", valid + 'x', Open::Processed);
    add("odd-size-plus-3.wav", valid + "xyz", Open::Processed);
    add("odd-size-short.wav", valid.left(101), Open::Processed);

    add("data-size-lies-huge.wav",
        header(fields([](HeaderFields &s) { s.dataSize = 0xFFFFFFF0u; })) + samples,
        Open::Processed);
    add("data-size-lies-zero.wav",
        header(fields([](HeaderFields &s) { s.dataSize = 0; })) + samples, Open::Processed);
    add(
        "riff-size-lies.wav",
        [&] {
            QByteArray b = valid;
            b[4] = b[5] = b[6] = b[7] = char(0xFF);
            return b;
        }(),
        Open::Processed);

    // The format chunk's size only decides whether an extension follows;
    // the extension's own size field decides its length.
    add("fmt-size-huge.wav",
        header(fields([](HeaderFields &s) { s.fmtSize = 0xFFFFFFFFu; })) + samples, Open::NotWav);
    {
        QByteArray ext;
        put16(ext, 22);
        ext += QByteArray(22, 'e');
        HeaderFields s = fields([](HeaderFields &) {});
        s.fmtSize = 40;
        s.extension = ext;
        add("extension-22.wav", header(s) + samples, Open::Processed);
        add("extension-cut.wav", header(s).left(50), Open::NotWav);
        QByteArray big;
        put16(big, 0xFFFF);
        big += "short";
        s.fmtSize = 18;
        s.extension = big;
        add("extension-larger-than-file.wav", header(s) + samples.left(400), Open::NotWav);
        QByteArray none;
        put16(none, 0);
        s.extension = none;
        add("extension-empty.wav", header(s) + samples, Open::Processed);
        add("extension-size-field-cut.wav", header(s).left(37), Open::NotWav);
    }
    {
        // A header that ends past the 192-byte lead-in; the output keeps
        // only 192 of its bytes. When the file ends inside the header's last
        // word, the processed file is too short for the same parse.
        QByteArray ext;
        put16(ext, 200);
        ext += QByteArray(200, 'e');
        HeaderFields s = fields([](HeaderFields &) {});
        s.fmtSize = 218;
        s.extension = ext;
        add("header-longer-than-lead-in.wav", header(s) + samples, Open::Processed);
        QByteArray odd;
        put16(odd, 201);
        odd += QByteArray(201, 'e');
        s.extension = odd;
        list.push_back(
            {"header-longer-than-lead-in-odd-end.wav", header(s), Open::Processed, Draw::NotWav});
    }

    add("tag-0.wav", header(fields([](HeaderFields &s) { s.tag = 0; })) + samples, Open::Processed);
    add("tag-1.wav", header(fields([](HeaderFields &s) { s.tag = 1; })) + samples, Open::Processed);
    add("tag-3-float.wav", header(fields([](HeaderFields &s) { s.tag = 3; })) + samples,
        Open::NotWav);
    add("tag-fffe-extensible.wav", header(fields([](HeaderFields &s) {
                                       s.tag = 0xFFFE;
                                       s.fmtSize = 40;
                                       s.extension =
                                           QByteArray("\x16\x00", 2) + QByteArray(22, '\0');
                                   })) + samples,
        Open::NotWav);
    add("rifx.wav", header(fields([](HeaderFields &s) { s.riff = "RIFX"; })) + samples,
        Open::Processed);
    add("rifx-16-bit.wav", header(fields([](HeaderFields &s) {
                               s.riff = "RIFX";
                               s.bits = 16;
                           })) + samples,
        Open::WrongFormat);
    add("riff-id-wrong.wav", header(fields([](HeaderFields &s) { s.riff = "RIFT"; })) + samples,
        Open::NotWav);
    add("wave-id-wrong.wav", header(fields([](HeaderFields &s) { s.wave = "AVI "; })) + samples,
        Open::NotWav);
    add("fmt-id-wrong.wav", header(fields([](HeaderFields &s) { s.fmt = "FMT "; })) + samples,
        Open::NotWav);
    add("data-id-not-compared.wav",
        header(fields([](HeaderFields &s) { s.dataId = "junk"; })) + samples, Open::Processed);

    add("zero-channels.wav", header(fields([](HeaderFields &s) { s.channels = 0; })) + samples,
        Open::Processed);
    add("two-channels.wav", header(fields([](HeaderFields &s) { s.channels = 2; })) + samples,
        Open::Processed);
    add("zero-rate.wav", header(fields([](HeaderFields &s) { s.rate = 0; })) + samples,
        Open::WrongFormat);
    add("rate-beyond-int.wav",
        header(fields([](HeaderFields &s) { s.rate = 0x80004000u; })) + samples, Open::WrongFormat);
    add("zero-bits.wav", header(fields([](HeaderFields &s) { s.bits = 0; })) + samples,
        Open::WrongFormat);
    add("8-bit.wav", header(fields([](HeaderFields &s) { s.bits = 8; })) + samples,
        Open::WrongFormat);
    add("16-bit.wav", header(fields([](HeaderFields &s) { s.bits = 16; })) + samples,
        Open::WrongFormat);
    add("24-bit.wav", header(fields([](HeaderFields &s) { s.bits = 24; })) + samples,
        Open::WrongFormat);
    add("64-bit.wav", header(fields([](HeaderFields &s) { s.bits = 64; })) + samples,
        Open::WrongFormat);
    add("rate-16000.wav", header(fields([](HeaderFields &s) { s.rate = 16000; })) + samples,
        Open::WrongFormat);
    add("rate-44100.wav", header(fields([](HeaderFields &s) { s.rate = 44100; })) + samples,
        Open::WrongFormat);

    // A LIST chunk where the data chunk should be is taken for it; one
    // before the format chunk hides "fmt ".
    {
        QByteArray list1 = header(fields([](HeaderFields &s) {
            s.dataId = "LIST";
            s.dataSize = 26;
        }));
        list1 += "INFOISFT";
        put32(list1, 14);
        list1 += QByteArray("Quorvane\0\0\0\0\0\0", 14);
        list1 += "data";
        put32(list1, quint32(samples.size()));
        add("list-chunk-before-data.wav", list1 + samples, Open::Processed);
        QByteArray list2 = valid;
        QByteArray chunk = "LIST";
        put32(chunk, 4);
        chunk += "INFO";
        list2.insert(12, chunk);
        add("list-chunk-before-fmt.wav", list2, Open::NotWav);
    }
    add("text-file.wav", QByteArray("this is no recording at all, just words\n").repeated(20),
        Open::NotWav);
    add("all-ones.wav", QByteArray(4096, char(0xFF)), Open::NotWav);
    add(
        "extremes.wav",
        [] {
            std::vector<std::int32_t> words(4000);
            for (std::size_t i = 0; i < words.size(); ++i)
                words[i] = i % 2 ? std::numeric_limits<std::int32_t>::min()
                                 : std::numeric_limits<std::int32_t>::max();
            return validHeader() + wordBytes(words);
        }(),
        Open::Processed);
    add("Mérés éjjel.wav", valid, Open::Processed);
    list.push_back({"folder.wav", QByteArray(), Open::NotWav, Draw::Skipped, Entry::Folder});
    list.push_back({"fifo.wav", QByteArray(), Open::NotWav, Draw::Skipped, Entry::Fifo});
    list.push_back(
        {"link-to-device.wav", QByteArray(), Open::NotWav, Draw::Skipped, Entry::LinkToDevice});
    list.push_back({"link-to-valid.wav", valid, Open::Processed, Draw::Drawn, Entry::Link});
    list.push_back({"result-links-to-it.wav", valid, Open::Refused, Draw::Skipped,
                    Entry::ResultLinkToRecording, "it is the same file as %1"});
    list.push_back({"result-links-to-device.wav", valid, Open::Refused, Draw::Skipped,
                    Entry::ResultLinkToDevice, "not a regular file"});
    list.push_back({"Mérés éjjel.WAV", valid, Open::Processed, Draw::Drawn, Entry::File, QString(),
                    "Mérés éjjel.wav"});
    return list;
}

inline std::vector<Template> templates()
{
    using testfiles::markerBytes;
    std::vector<double> shape(2000);
    for (std::size_t k = 0; k < shape.size(); ++k)
        shape[k] = 4000.0 * std::sin(2 * M_PI * 140 * double(k) / 16384.0);
    const auto first = [&](std::size_t n) {
        return markerBytes(std::vector<double>(shape.begin(), shape.begin() + long(n)));
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> withNan(shape.begin(), shape.begin() + 1006);
    withNan[500] = nan;
    std::vector<double> withInf(shape.begin(), shape.begin() + 1006);
    withInf[3] = inf;
    std::vector<double> withNegInf(shape.begin(), shape.begin() + 1006);
    withNegInf[1005] = -inf;

    return {
        {"marker-missing", QByteArray(), true},
        {"marker-empty", QByteArray()},
        {"marker-7-bytes", QByteArray("1234567")},
        {"marker-1-value", first(1)},
        {"marker-1005-values", first(1005)},
        {"marker-1006-values", first(1006)},
        {"marker-1006-values-and-3-bytes", first(1006) + "abc"},
        {"marker-1007-values", first(1007)},
        {"marker-2000-values", first(2000)},
        {"marker-nan", markerBytes(withNan)},
        {"marker-all-nan", markerBytes(std::vector<double>(1006, nan))},
        {"marker-inf", markerBytes(withInf)},
        {"marker-minus-inf", markerBytes(withNegInf)},
        {"marker-constant", markerBytes(std::vector<double>(1006, 7.0))},
        {"marker-zero", markerBytes(std::vector<double>(1006, 0.0))},
        {"marker-huge", markerBytes(std::vector<double>(1006, 1e300))},
        {"marker-tiny", markerBytes(std::vector<double>(1006, 5e-324))},
    };
}

} // namespace corpus
