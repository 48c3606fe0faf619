// Writes the seeds of the fuzz targets into <dir>/{header,processing,analysis}:
// every corpus recording, and every template beside a processed recording.

#include "corpus/malformedcorpus.h"
#include "fuzzentries.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const char *sub : {"header", "processing", "analysis"})
        if (!dir.mkpath(QString::fromLatin1(sub)))
            return 1;
    const auto put = [&](const QString &name, const QByteArray &bytes) {
        return testfiles::writeFile(dir.filePath(name), bytes);
    };
    int i = 0;
    for (const corpus::Recording &r : corpus::recordings()) {
        const QString name = QStringLiteral("%1-seed").arg(i++, 3, 10, QChar('0'));
        if (!put("header/" + name, r.bytes) || !put("processing/" + name, r.bytes)
            || !put("analysis/" + name, fuzzentries::analysisInput(r.bytes, QByteArray())))
            return 1;
    }
    const QByteArray processed =
        corpus::validHeader() + testfiles::wordBytes(corpus::corpusSamples(3000));
    for (const corpus::Template &t : corpus::templates())
        if (!put("analysis/" + t.name, fuzzentries::analysisInput(processed, t.bytes)))
            return 1;
    return 0;
}
