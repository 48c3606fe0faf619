#pragma once

#include "batch/batchjob.h"
#include "batch/recordinglist.h"

#include <QHash>
#include <QString>
#include <QStringList>

/// What the command line asks for, checked.
struct BatchCommand
{
    /// --make-demo: write the demo into `demoDir` and nothing else.
    bool demo = false;
    QString demoDir;

    BatchOptions options;
    int jobs = 1;
    /// The recordings given and listed, in their order, before the shard.
    QStringList paths;
    /// The --list file, when one is given.
    QString listFile;
    Shard shard;
    /// Names whose bytes are no valid name in the system's encoding, each
    /// with those bytes as shown in messages (printable ASCII, else \xNN).
    QHash<QString, QString> undecodable;
};

/// The most recordings processed at once: each takes a thread and its
/// open files.
constexpr int kMaxJobs = 1024;

/// Exit statuses besides 0.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

/// Prints a usage error to standard error and answers kExitUsage.
int usageError(const QString &message);

/// Reads the command line into `command`. Answers -1 to go on, or the exit
/// status to end with: a usage error is printed and answers kExitUsage.
/// --help and --version print and end the program here.
int parseCommandLine(int argc, char *argv[], BatchCommand &command);
