#pragma once

#include "wav/results/resultfiles.h"

#include <QString>
#include <QTemporaryFile>

#include <vector>

namespace resultfiles {

/// One result file being written: a temporary file "<name>.XXXXXX" beside
/// the file the result reaches, open for reading and writing, that becomes
/// the result only through commitAll(). Removed when dropped uncommitted.
class ResultFile : public QTemporaryFile
{
public:
    explicit ResultFile(const QString &name);
    /// The result's name as given, for messages.
    QString name() const { return resultName; }
    /// Creates the temporary file; false with errorText() set otherwise.
    bool start();
    /// "Could not write <name>: <reason>", after a failed write that left
    /// `writeErrno` (see writeFailure()).
    QString errorText(int writeErrno = 0) const;

private:
    friend QString commitAll(const std::vector<ResultFile *> &files);
    QString resultName;
    QString target;
};

/// Gives every file its result name once all of them are written: flushes
/// each (a late write error fails the whole set with nothing renamed), then
/// moves each over its result. Answers the first failure's message.
QString commitAll(const std::vector<ResultFile *> &files);

} // namespace resultfiles
