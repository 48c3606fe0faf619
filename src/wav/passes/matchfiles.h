#pragma once

#include "dsp/matches.h"
#include "wav/passes/wavfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class QAudioFormat;

/// The match file and the label file of a Draw, shared by every front end,
/// so that each writes them byte for byte alike.
namespace matchfiles {

/// <name>_matches.csv and <name>_labels.txt beside <name>_stereo.wav.
QString matchesName(const QString &baseName);
QString labelsName(const QString &baseName);

/// Where the steps of the processed file parsed as `format`, with its first
/// sample at `headerBytes`, lie in the recording.
dsp::matches::Placement placement(const QAudioFormat &format, qint64 headerBytes);

/// The contents of the two files at `threshold`.
QByteArray csv(const dsp::matches::BlockStore &blocks, const dsp::matches::Threshold &threshold,
               const dsp::matches::Placement &placement);
QByteArray labels(const dsp::matches::BlockStore &blocks,
                  const dsp::matches::Threshold &threshold,
                  const dsp::matches::Placement &placement);

/// Reads a threshold value typed by the user into `value`; empty when it
/// can be used with `by`, else the message saying why not (0, negative,
/// NaN, infinite or no number at all; a correlation of 1 or more), as
/// dsp::matches::parseThreshold().
QString parseValue(const QString &text, dsp::matches::Statistic by, double &value);

/// Keeps every detector block of an analysis in `blocks` and hands all of
/// the analysis on to `listener`.
class BlockKeeper : public AnalysisListener
{
public:
    BlockKeeper(AnalysisListener &listener, dsp::matches::BlockStore &blocks)
        : listener(listener), blocks(blocks)
    {
    }
    void started() override { listener.started(); }
    void detectorColumn(int x, std::int32_t maximum) override
    {
        listener.detectorColumn(x, maximum);
    }
    void detectorBlock(const dsp::DetectorBlock &block) override
    {
        blocks.add(block);
        listener.detectorBlock(block);
    }
    void cumulativeColumn(int x, std::int32_t maximum, std::int32_t minimum) override
    {
        listener.cumulativeColumn(x, maximum, minimum);
    }
    void finished(std::int64_t samples, int block, int change) override
    {
        listener.finished(samples, block, change);
    }

private:
    AnalysisListener &listener;
    dsp::matches::BlockStore &blocks;
};

} // namespace matchfiles
