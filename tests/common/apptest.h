#pragma once

// Helpers of the suites that drive the application's window or run
// quorvane-batch (QUORVANE_BATCH names the program).

#include "app/mainwindow.h"

#include <QAction>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <map>

namespace apptest {

/// The window's action whose text is `text`, or null.
inline QAction *action(MainWindow &window, const QString &text)
{
    for (QAction *a : window.findChildren<QAction *>())
        if (a->text() == text)
            return a;
    return nullptr;
}

/// Keeps every settings store of the test in `dir`, away from the user's.
inline void useTemporarySettings(const QString &dir)
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
}

#ifdef QUORVANE_BATCH
/// What one run of quorvane-batch did; exitCode is -1 unless it exited.
struct BatchRun
{
    bool exitedNormally = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    /// Standard output as text: on Windows the program's manifest makes
    /// UTF-8 its code page, whatever the test's own is.
    QString text() const
    {
#ifdef Q_OS_WIN
        return QString::fromUtf8(out).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
#else
        return QString::fromLocal8Bit(out);
#endif
    }

    /// The lines on stdout, without the final empty one.
    QStringList lines() const
    {
        QStringList all = text().split('\n');
        if (!all.isEmpty() && all.last().isEmpty())
            all.removeLast();
        return all;
    }

    /// The status field of each result line, by path.
    std::map<QString, QString> statuses() const
    {
        std::map<QString, QString> found;
        for (const QString &line : text().split('\n', Qt::SkipEmptyParts)) {
            const QStringList fields = line.split('\t');
            found[fields.value(0)] = fields.value(1);
        }
        return found;
    }
};

/// Runs `program` with `arguments` in `workDir`, with $B naming the batch
/// program in its environment.
inline BatchRun runProgram(const QString &program, const QStringList &arguments,
                           const QString &workDir)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("B"), QStringLiteral(QUORVANE_BATCH));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    BatchRun run;
    if (!process.waitForFinished(-1))
        return run;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    if (run.exitedNormally)
        run.exitCode = process.exitCode();
    return run;
}

/// Runs quorvane-batch in `workDir`; with `fileLimit` > 0 under a file size
/// limit of that many KiB, which stands in for a full disk.
inline BatchRun runBatch(const QStringList &args, const QString &workDir, int fileLimit = 0)
{
    if (fileLimit <= 0)
        return runProgram(QStringLiteral(QUORVANE_BATCH), args, workDir);
    return runProgram(
        QStringLiteral("/bin/bash"),
        QStringList{"-c", QStringLiteral("ulimit -f %1; trap '' XFSZ; exec \"$@\"").arg(fileLimit),
                    "bash", QStringLiteral(QUORVANE_BATCH)}
            + args,
        workDir);
}

/// Runs `program`; for "bash", `args` joined is its command line, with $B
/// the batch program.
inline BatchRun runBatch(const QStringList &args, const QString &workDir, const QString &program)
{
    return runProgram(program, program == "bash" ? QStringList{"-c", args.join(' ')} : args,
                      workDir);
}
#endif

} // namespace apptest
