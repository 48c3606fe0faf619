#include "demorecording.h"

#include "dsp/filtercascade.h"
#include "dsp/templateanalysis.h"
#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/format/reading.h"
#include "wav/results/resultfile.h"
#include "wav/passes/wavfile.h"

#include <QDir>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <random>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

constexpr double kRate = 16384.0;
constexpr double kTwoPi = 6.283185307179586;

/// One ping: a 150 Hz tone with a 2 ms attack and a 20 ms decay, starting
/// at sample 0 and fading out within the template's length.
double ping(double t)
{
    if (t < 0)
        return 0.0;
    return std::sin(kTwoPi * 150.0 * t) * std::exp(-t / 0.02) * (1.0 - std::exp(-t / 0.002));
}

/// The filtered shape of a ping: the template the analysis looks for.
std::vector<double> pingTemplate()
{
    const int window = dsp::analysis::kWindow;
    const std::int64_t start = 5000; // past the filter's start-up
    const std::int64_t total = start + 4 * window;
    std::vector<std::int32_t> in(std::size_t(total), 0);
    for (std::int64_t i = 0; i < 2 * window; ++i)
        in[std::size_t(start + i)] = std::int32_t(1e5 * ping(double(i) / kRate));

    dsp::FilterCascade cascade;
    cascade.push(in.data(), in.size());
    cascade.finish();
    std::vector<std::int32_t> out(cascade.available());
    cascade.pull(out.data(), out.size());

    // Take the ping's first 1006 words, past the cascade's delay.
    const std::size_t from = std::size_t(start + dsp::FilterCascade::groupDelay());
    std::vector<double> marker(static_cast<std::size_t>(window));
    for (std::size_t k = 0; k < marker.size(); ++k)
        marker[k] = double(out[from + k]) / 1e4;
    return marker;
}

} // namespace

DemoRecording makeDemoRecording(int seconds, unsigned seed)
{
    DemoRecording demo;
    const std::int64_t count = std::int64_t(std::max(seconds, 1) * kRate);
    std::mt19937 generator(seed);
    std::normal_distribution<double> noise(0.0, 6e4);
    std::uniform_real_distribution<double> strength(2.5e5, 4.5e5);

    // Pings every few seconds, clear of the edges, one of them strongest.
    for (double at = 0.1 * double(count); at < 0.85 * double(count); at += 0.09 * double(count))
        demo.eventStarts.push_back(std::int64_t(at) + std::int64_t(generator() % 2000));
    std::vector<double> amplitudes;
    for (std::size_t i = 0; i < demo.eventStarts.size(); ++i)
        amplitudes.push_back(strength(generator));
    if (!amplitudes.empty())
        amplitudes[amplitudes.size() / 2] = 6e5;

    demo.samples.resize(std::size_t(count));
    std::size_t next = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const double t = double(i) / kRate;
        double v = 3e5 * std::sin(kTwoPi * 50.0 * t) + noise(generator);
        for (std::size_t e = next; e < demo.eventStarts.size() && demo.eventStarts[e] <= i; ++e)
            v += amplitudes[e] * ping(double(i - demo.eventStarts[e]) / kRate);
        while (next < demo.eventStarts.size() && i - demo.eventStarts[next] > 4096)
            ++next;
        demo.samples[std::size_t(i)] = std::int32_t(v);
    }
    demo.marker = pingTemplate();
    return demo;
}

namespace {

/// Why the folder `directory` could not be made: the system's answer for
/// the first part of its path that is missing, or that is no folder.
QString creationFailure(const QString &directory)
{
    const QStringList parts = QDir::cleanPath(QDir(directory).absolutePath()).split(QLatin1Char('/'));
    QString path;
    for (const QString &part : parts) {
        path += (path.isEmpty() || path.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"))
                + part;
        if (path.isEmpty())
            path = QStringLiteral("/");
        const QFileInfo info(path);
        if (info.exists() && !info.isDir())
            return wavformat::systemReason(ENOTDIR);
        if (info.exists())
            continue;
        // Trying again is what tells why.
#ifdef Q_OS_UNIX
        if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0)
            return wavformat::systemReason(errno);
#else
        if (!QDir().mkdir(path))
            break;
#endif
    }
    return wavformat::systemReason(EACCES);
}

} // namespace

QString writeDemo(const QString &directory, int seconds)
{
    if (!QDir().mkpath(directory))
        return QStringLiteral("Could not create %1: %2").arg(directory, creationFailure(directory));
    const DemoRecording demo = makeDemoRecording(seconds);

    QByteArray recording = wavformat::canonicalHeader(1, 16384, qint64(demo.samples.size()) * 4);
    recording.reserve(recording.size() + int(demo.samples.size() * 4));
    for (std::int32_t s : demo.samples) {
        uchar b[4];
        qToLittleEndian(s, b);
        recording.append(reinterpret_cast<const char *>(b), 4);
    }
    const QByteArray marker = markerfile::bytes(demo.marker);
    // Both files or neither: a failure at the template keeps the
    // recording that was there.
    const QDir dir(directory);
    const QStringList names{dir.filePath(QStringLiteral("recording.wav")),
                            dir.filePath(QStringLiteral("marker.dat"))};
    const QByteArray *contents[] = {&recording, &marker};
    for (const QString &name : names) {
        const QString refusal = resultfiles::refusal(name, {});
        if (!refusal.isEmpty())
            return refusal;
    }
    resultfiles::removeLeftovers(names);
    resultfiles::ResultFile files[] = {resultfiles::ResultFile(names[0]),
                                       resultfiles::ResultFile(names[1])};
    for (int i = 0; i < 2; ++i) {
        if (!files[i].start() || files[i].write(*contents[i]) != contents[i]->size())
            return files[i].errorText();
    }
    return resultfiles::commitAll({&files[0], &files[1]});
}
