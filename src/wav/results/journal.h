#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

/// The journal of a commit: the list of the set, on the disk from before
/// the first rename until every result is in place.
namespace resultfiles::journal {

/// One result of a set: the file it replaces (after links) and whether there
/// was an earlier one, kept as "<target>.backup" during the commit.
struct Entry
{
    QString target;
    bool hadOld = false;
    QString backup() const;
};

/// The journal's contents for `entries`, told apart from any other commit's
/// by a random number on its first line.
QByteArray encode(const std::vector<Entry> &entries);
/// The entries of a journal's contents; false for one that is not whole
/// (cut short by a crash while it was written: nothing was moved yet).
bool decode(const QByteArray &bytes, std::vector<Entry> &entries);

/// Where the journals of `entries` lie: "<first result>.commit", then one
/// beside the first result in each further folder of the set, holding the
/// same bytes, so that a later run over any of the results finds the set.
/// The first alone decides: while it exists the set can be rolled back.
QStringList paths(const std::vector<Entry> &entries);

/// Removes the journals of `entries`, the first one first, and puts the
/// removals on the disk.
void remove(const std::vector<Entry> &entries);

/// Takes every result of `entries` back: an earlier file returns from its
/// backup, a result that had none is removed. The journal stays.
void rollBack(const std::vector<Entry> &entries);

/// Rolls back every set whose journal lies in `folder` and lists one of
/// `targets` (absolute, after links), when the set's first journal is still
/// there; removes those journals. A journal that is not whole and lies
/// beside one of `targets` is removed: nothing had moved yet.
void recover(const QString &folder, const QStringList &targets);

} // namespace resultfiles::journal
