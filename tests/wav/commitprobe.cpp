// Commits a set of results as the batch program does, with its handling of
// interrupts, and sends itself a signal at one step of the commit:
//
//   commitprobe FOLDER SIGNAL STEP NAME...   writes "new NAME" into each
//       result NAME of FOLDER and commits them, sending SIGNAL to the
//       process just before step STEP (its kind goes to standard error)
//   commitprobe FOLDER recover NAME...       what the next run of the same
//       results does first: puts right what an interrupted commit left

#include "batch/interrupts.h"
#include "wav/results/commitguard.h"
#include "wav/results/resultfile.h"

#include <QDir>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 4)
        return 2;
    interrupts::handleInterrupts();
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const bool recover = std::string(argv[2]) == "recover";
    const int first = recover ? 3 : 4;
    QStringList paths;
    for (int i = first; i < argc; ++i)
        paths << dir.filePath(QString::fromLocal8Bit(argv[i]));
    resultfiles::removeLeftovers(paths);
    if (recover)
        return 0;
    interrupts::setCleanupNames(paths);

    const int signalNumber = std::atoi(argv[2]);
    const int at = std::atoi(argv[3]);
    std::vector<std::unique_ptr<resultfiles::ResultFile>> files;
    std::vector<resultfiles::ResultFile *> set;
    for (int i = first; i < argc; ++i) {
        files.push_back(std::make_unique<resultfiles::ResultFile>(paths[i - first]));
        if (!files.back()->start() || files.back()->write(QByteArray("new ") + QByteArray(argv[i])) <= 0)
            return 3;
        set.push_back(files.back().get());
    }
    resultfiles::setFaultPlan([&](int step, const char *kind) {
        if (step == at) {
            std::fprintf(stderr, "%s\n", kind);
            ::kill(::getpid(), signalNumber);
        }
        return false;
    });
    const QString message = resultfiles::commitAll(set);
    if (!message.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(message));
    return interrupts::settle(message.isEmpty() ? 0 : 1);
}
