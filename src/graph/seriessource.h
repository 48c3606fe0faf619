#pragma once

#include <QDateTime>
#include <QString>

#include <QFileDevice>

#include <cstdint>
#include <memory>
#include <vector>

class QIODevice;

/// Where the graphs view takes its windows of the three display series
/// (filtered signal, asymmetrical and symmetrical component) from.
class SeriesSource
{
public:
    virtual ~SeriesSource() = default;
    /// Samples in each series.
    virtual std::int64_t length() const = 0;
    /// Copies `count` display rows from series index `start` of each series
    /// into `x`, `asym` and `sym`; the range lies inside the series. False
    /// when the rows cannot be had (the buffers may then hold anything).
    virtual bool read(std::int64_t start, int count, int *x, int *asym, int *sym) = 0;
};

/// The three series held whole in memory.
class MemorySeries : public SeriesSource
{
public:
    MemorySeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym);
    std::int64_t length() const override;
    bool read(std::int64_t start, int count, int *x, int *asym, int *sym) override;

private:
    std::vector<int> seriesX, seriesAsym, seriesSym;
};

/// The series of a Draw read from two open devices, as the result files are
/// being written: the filtered signal from `processed`'s words from byte
/// `processedOffset`, the components from `stereo`'s frames from byte
/// `stereoOffset`. The devices are not owned.
class DeviceSeries : public SeriesSource
{
public:
    DeviceSeries(QIODevice *processed, qint64 processedOffset, QIODevice *stereo,
                 qint64 stereoOffset, std::int64_t samples);
    std::int64_t length() const override { return samples; }
    bool read(std::int64_t start, int count, int *x, int *asym, int *sym) override;

    /// Turns `count` words and frames into the three series' rows.
    static void toRows(const char *words, const char *frames, int count, int *x, int *asym,
                       int *sym);

private:
    QIODevice *processed;
    qint64 processedOffset;
    QIODevice *stereo;
    qint64 stereoOffset;
    std::int64_t samples;
};

/// The series of a finished Draw, read from its result files only when a
/// window is needed: the filtered signal from the processed file's words,
/// the components from the stereo file's frames. A file is open only while
/// a window is read, so the next command can replace it. A file whose size
/// or modification time is no longer what it was when the object was made
/// gives no rows.
class ResultFileSeries : public SeriesSource
{
public:
    /// `processed` holds one word per sample from byte `processedOffset`,
    /// `stereo` one two-word frame per sample from byte `stereoOffset`.
    /// `keep` (may be null) is a file the series owns, such as a scratch
    /// copy that `stereo` names; it goes when the series goes.
    ResultFileSeries(const QString &processed, qint64 processedOffset, const QString &stereo,
                     qint64 stereoOffset, std::int64_t samples,
                     std::unique_ptr<QFileDevice> keep = nullptr);
    ~ResultFileSeries() override;
    std::int64_t length() const override { return samples; }
    bool read(std::int64_t start, int count, int *x, int *asym, int *sym) override;

private:
    struct Watched
    {
        QString path;
        qint64 offset;
        qint64 size;
        QDateTime modified;
    };
    /// The bytes of `file` from `at`, or nothing when it is not as it was.
    static QByteArray readUnchanged(const Watched &file, qint64 at, qint64 bytes);

    Watched processedFile;
    Watched stereoFile;
    std::int64_t samples;
    std::unique_ptr<QFileDevice> kept;
};
