#include "batch/commandline.h"

#include "batch/console.h"
#include "batch/numbers.h"
#include "wav/format/reading.h"
#include "wav/passes/matchfiles.h"
#include "wav/results/resultfiles.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

/// The command line as the user gave it, decoded as file names are. Names
/// that do not survive decoding are put into `undecodable` with the bytes as
/// given, shown with escapes.
QStringList decodedArguments(int argc, char *argv[], QHash<QString, QString> &undecodable)
{
    QStringList arguments;
#ifdef Q_OS_WIN
    // Windows hands over UTF-16: every name decodes.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    Q_UNUSED(undecodable);
    int count = 0;
    if (LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        LocalFree(wide);
    }
#else
    for (int i = 0; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        const QString name = QFile::decodeName(raw);
        if (QFile::encodeName(name) != raw) {
            QString shown;
            for (const char byte : raw) {
                const uchar b = uchar(byte);
                shown += b == '\\'                 ? QStringLiteral("\\\\")
                         : b >= 0x20 && b < 0x7f ? QString(QChar(b))
                                                 : QStringLiteral("\\x%1").arg(b, 2, 16, QChar('0'));
            }
            undecodable.insert(name, shown);
        }
        arguments << name;
    }
#endif
    return arguments;
}

#ifdef Q_OS_WIN
/// cmd hands a pattern over as it was typed: `*` and `?` in the last part of
/// a recording's name are expanded here, as Windows console programs do, to
/// the files that match, in the order of their names. No Windows name holds
/// either character. Answers the pattern that matches no file, if any.
QString expandWildcards(QStringList &paths)
{
    QStringList expanded;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QString pattern = info.fileName();
        if (!pattern.contains(QLatin1Char('*')) && !pattern.contains(QLatin1Char('?'))) {
            expanded << path;
            continue;
        }
        const QStringList names = QDir(info.path()).entryList(
            {pattern}, QDir::Files | QDir::System, QDir::Name | QDir::IgnoreCase);
        if (names.isEmpty())
            return path;
        const QString folder = path.left(path.size() - pattern.size()); // as typed
        for (const QString &name : names)
            expanded << folder + name;
    }
    paths = expanded;
    return QString();
}
#endif

/// One option of the help text; `value` names its argument, if it takes one.
struct OptionText
{
    const char *name;
    const char *value;
    const char *description;
};

const OptionText kOptions[] = {
    {"draw", nullptr, "Also run the analysis."},
    {"marker", "file", "The template (default: marker.dat)."},
    {"blocks", nullptr, "Also write <name>_blocks.csv, one row per overview column."},
    {"png", nullptr, "Also write <name>_graph.png, the final graph."},
    {"jobs", "n", "Recordings processed at once (default: the number of cores)."},
    {"make-demo", "dir", "Write a 60-second demo recording and its marker.dat into <dir>."},
    {"list", "file",
     "Also process the recordings listed in <file>, one path a line; blank and # lines are "
     "skipped, relative paths are taken from the list's folder."},
    {"shard", "I/N", "Process only the recordings whose position (from 0) modulo N is I."},
    {"matches", nullptr,
     "Also write <name>_matches.csv, one row per match: time_s, sample, block, strength, "
     "correlation."},
    {"labels", nullptr, "Also write <name>_labels.txt, one label per match (start, end, label)."},
    {"match-by", "statistic",
     "What a match is a peak of: 'detector' (default) or 'correlation' (|r|)."},
    {"threshold", "k",
     "A detector match exceeds the median of the block maxima by k times their median "
     "absolute deviation (default: 8)."},
    {"threshold-value", "v",
     "A match exceeds v instead: a detector value, or with --match-by correlation an |r| "
     "between 0 and 1 (default there: 0.7)."},
    {"skip-done", nullptr,
     "Skip a recording whose results all exist and are newer than it and the template; its "
     "line says 'skipped'."},
};

void defineOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Filters each recording (a 16384 Hz, 32-bit WAV file) into <name>_output.wav, as\n"
        "File > Open does, and with --draw analyses it into <name>_stereo.wav, as\n"
        "Graph > Draw does. <name> is the path less its last four characters.\n\n"
        "Prints one line per recording, tab-separated: path, 'ok' or the error, samples,\n"
        "peak block, change ('-' without --draw), seconds, and with --matches the number\n"
        "of matches. Exit status: 0 when every\n"
        "recording succeeded or was skipped, 1 when any failed, 2 on a usage error.\n\n"
        "For many recordings: --list reads them from a file, --shard I/N takes every\n"
        "N-th of them from the I-th on (counting from 0), so that N runs share one list,\n"
        "and --skip-done leaves out those whose results are already up to date."));
    // "-name" is one unknown option, not a row of single letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    for (const OptionText &text : kOptions) {
        QCommandLineOption option(QString::fromLatin1(text.name),
                                  QString::fromLatin1(text.description));
        if (text.value)
            option.setValueName(QString::fromLatin1(text.value));
        if (option.names().first() == QLatin1String("marker"))
            option.setDefaultValue(QStringLiteral("marker.dat"));
        else if (option.names().first() == QLatin1String("jobs"))
            option.setDefaultValue(
                QString::number(std::clamp(QThread::idealThreadCount(), 1, kMaxJobs)));
        parser.addOption(option);
    }
    parser.addPositionalArgument(QStringLiteral("recordings"),
                                 QStringLiteral("The WAV files to process."),
                                 QStringLiteral("RECORDING.wav..."));
}

/// A template named on the command line must be there; the default one may
/// be missing (the empty template).
int checkMarker(const QCommandLineParser &parser, BatchCommand &command)
{
    const QString &marker = command.options.marker;
    if (!parser.isSet(QStringLiteral("marker")))
        return -1;
    if (command.undecodable.contains(marker))
        return usageError(QStringLiteral("--marker: %1 is not a valid file name here")
                              .arg(command.undecodable[marker]));
    if (!QFileInfo::exists(marker)) {
        const QString lookup = wavformat::lookupFailure(marker);
        return usageError(lookup.isEmpty() || QFileInfo(marker).symLinkTarget().isEmpty()
                              ? QStringLiteral("--marker: %1 does not exist").arg(marker)
                              : QStringLiteral("--marker: %1: %2").arg(marker, lookup));
    }
    if (!resultfiles::isRegular(marker))
        return usageError(QStringLiteral("--marker: %1 is not a regular file").arg(marker));
    return -1;
}

/// The options of the matches and labels; -1 when they are good.
int readMatchOptions(const QCommandLineParser &parser, BatchOptions &options)
{
    using dsp::matches::Statistic;
    options.matches = parser.isSet(QStringLiteral("matches"));
    options.labels = parser.isSet(QStringLiteral("labels"));
    const bool byGiven = parser.isSet(QStringLiteral("match-by"));
    const bool kGiven = parser.isSet(QStringLiteral("threshold"));
    const bool valueGiven = parser.isSet(QStringLiteral("threshold-value"));
    if ((options.matches || options.labels) && !options.draw)
        return usageError(QStringLiteral("--matches and --labels need --draw"));
    if ((byGiven || kGiven || valueGiven) && !options.matches && !options.labels)
        return usageError(
            QStringLiteral("--match-by, --threshold and --threshold-value need --matches or "
                           "--labels"));
    dsp::matches::Threshold &threshold = options.threshold;
    const QString by = parser.value(QStringLiteral("match-by"));
    if (byGiven && by != QLatin1String("detector") && by != QLatin1String("correlation"))
        return usageError(QStringLiteral("--match-by takes detector or correlation"));
    if (by == QLatin1String("correlation")) {
        threshold.by = Statistic::Correlation;
        threshold.absolute = true;
        threshold.value = dsp::matches::Threshold::kDefaultCorrelation;
        if (kGiven)
            return usageError(QStringLiteral(
                "--threshold is for --match-by detector; give the |r| with --threshold-value"));
    }
    if (kGiven && valueGiven)
        return usageError(QStringLiteral("give --threshold or --threshold-value, not both"));
    const QString option = kGiven ? QStringLiteral("threshold") : QStringLiteral("threshold-value");
    if (kGiven || valueGiven) {
        const QString error =
            matchfiles::parseValue(parser.value(option), threshold.by, threshold.value);
        if (!error.isEmpty())
            return usageError(QStringLiteral("--%1: %2").arg(option, error));
        threshold.absolute = valueGiven;
    }
    return -1;
}

/// The options of a run over recordings, checked in the order of their
/// messages.
int readRunOptions(const QCommandLineParser &parser, BatchCommand &command)
{
    BatchOptions &options = command.options;
    options.draw = parser.isSet(QStringLiteral("draw"));
    options.blocks = parser.isSet(QStringLiteral("blocks"));
    options.png = parser.isSet(QStringLiteral("png"));
    options.marker = parser.value(QStringLiteral("marker"));
    options.skipDone = parser.isSet(QStringLiteral("skip-done"));
    const int markerStatus = checkMarker(parser, command);
    if (markerStatus >= 0)
        return markerStatus;
    if (!parseWholeNumber(parser.value(QStringLiteral("jobs")), command.jobs, kMaxJobs)
        || command.jobs < 1)
        return usageError(QStringLiteral("--jobs takes a whole number from 1 to %1").arg(kMaxJobs));
    if ((options.blocks || options.png) && !options.draw)
        return usageError(QStringLiteral("--blocks and --png need --draw"));
    const int matchStatus = readMatchOptions(parser, options);
    if (matchStatus >= 0)
        return matchStatus;
    command.paths = parser.positionalArguments();
#ifdef Q_OS_WIN
    const QString unmatched = expandWildcards(command.paths);
    if (!unmatched.isEmpty())
        return usageError(QStringLiteral("no file matches %1").arg(unmatched));
#endif
    if (parser.isSet(QStringLiteral("list"))) {
        command.listFile = parser.value(QStringLiteral("list"));
        const QString error =
            readRecordingList(parser.value(QStringLiteral("list")), command.paths);
        if (!error.isEmpty())
            return usageError(error);
    } else if (command.paths.isEmpty()) {
        return usageError(QStringLiteral("no recording given"));
    }
    if (parser.isSet(QStringLiteral("shard"))
        && !parseShard(parser.value(QStringLiteral("shard")), command.shard))
        return usageError(QStringLiteral("--shard takes I/N, whole numbers with 0 <= I < N"));
    return -1;
}

} // namespace

int usageError(const QString &message)
{
    console::print(
        stderr, QStringLiteral("quorvane-batch: %1\nTry 'quorvane-batch --help'.\n").arg(message));
    return kExitUsage;
}

int parseCommandLine(int argc, char *argv[], BatchCommand &command)
{
    QCommandLineParser parser;
    defineOptions(parser);
    if (!parser.parse(decodedArguments(argc, argv, command.undecodable)))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    if (parser.isSet(QStringLiteral("make-demo"))) {
        command.demo = true;
        command.demoDir = parser.value(QStringLiteral("make-demo"));
        if (command.undecodable.contains(command.demoDir))
            return usageError(QStringLiteral("--make-demo: %1 is not a valid file name here")
                                  .arg(command.undecodable[command.demoDir]));
        return -1;
    }
    return readRunOptions(parser, command);
}
