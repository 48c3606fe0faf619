#pragma once

#include <QByteArray>
#include <QString>

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

/// The journal's contents for `entries`.
QByteArray encode(const std::vector<Entry> &entries);
/// The entries of a journal's contents; false for one that is not whole
/// (cut short by a crash while it was written: nothing was moved yet).
bool decode(const QByteArray &bytes, std::vector<Entry> &entries);

/// Takes every result of `entries` back: an earlier file returns from its
/// backup, a result that had none is removed. The journal stays.
void rollBack(const std::vector<Entry> &entries);

/// Rolls back every set whose journal lies in `folder` and lists one of
/// `targets` (absolute, after links), or that is not whole and lies beside
/// one of them; removes those journals.
void recover(const QString &folder, const QStringList &targets);

} // namespace resultfiles::journal
