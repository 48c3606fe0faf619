#include "journal.h"

#include "wav/results/fileops.h"
#include "wav/results/names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

namespace resultfiles::journal {

namespace {

const QByteArray kMagic = "quorvane results journal 1";
const QByteArray kEnd = "end";

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

} // namespace

QString Entry::backup() const
{
    return target + backupSuffix();
}

QByteArray encode(const std::vector<Entry> &entries)
{
    // Names are written as hexadecimal bytes: any name, one line each.
    QByteArray bytes =
        kMagic + ' ' + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + '\n';
    for (const Entry &entry : entries)
        bytes += QFile::encodeName(entry.target).toHex() + (entry.hadOld ? " 1\n" : " 0\n");
    return bytes + kEnd + '\n';
}

bool decode(const QByteArray &bytes, std::vector<Entry> &entries)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || !(lines.first() + ' ').startsWith(kMagic + ' ')
        || lines.last() != QByteArray()
        || lines.at(lines.size() - 2) != kEnd)
        return false;
    for (int i = 1; i < lines.size() - 2; ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (fields.size() != 2 || (fields[1] != "0" && fields[1] != "1"))
            return false;
        entries.push_back({QFile::decodeName(QByteArray::fromHex(fields[0])), fields[1] == "1"});
    }
    return true;
}

void rollBack(const std::vector<Entry> &entries)
{
    QString reason;
    for (const Entry &entry : entries) {
        if (QFileInfo::exists(entry.backup())) {
            // A backup that is a second name of the result itself (nothing
            // replaced it yet) stays where it is: it is removed after.
            fileops::rename(entry.backup(), entry.target, reason);
            fileops::remove(entry.backup(), reason);
        } else if (!entry.hadOld) {
            fileops::remove(entry.target, reason);
        }
    }
}

QStringList paths(const std::vector<Entry> &entries)
{
    QStringList journals;
    QStringList folders;
    for (const Entry &entry : entries) {
        const QString folder = QFileInfo(entry.target).absolutePath();
        if (folders.contains(folder, kNameCase))
            continue;
        folders << folder;
        journals << entry.target + journalSuffix();
    }
    return journals;
}

void remove(const std::vector<Entry> &entries)
{
    QString reason;
    for (const QString &path : paths(entries))
        if (fileops::remove(path, reason))
            fileops::syncFolder(QFileInfo(path).absolutePath(), reason);
}

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

} // namespace

void recover(const QString &folder, const QStringList &targets)
{
    const QDir dir(folder);
    const QStringList journals = dir.entryList({QStringLiteral("*") + journalSuffix()},
                                               QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : journals) {
        const QString path = dir.filePath(name);
        const QByteArray bytes = contents(path);
        std::vector<Entry> entries;
        const bool whole = decode(bytes, entries);
        QString reason;
        if (!whole) {
            // Cut short while it was written: nothing had moved yet.
            if (targets.contains(path.chopped(journalSuffix().size()), kNameCase)
                && fileops::remove(path, reason))
                fileops::syncFolder(folder, reason);
            continue;
        }
        bool ours = false;
        for (const Entry &entry : entries)
            ours = ours || targets.contains(entry.target, kNameCase);
        if (!ours)
            continue;
        // A further journal counts only while the first one of the same
        // commit is there; else the set was finished (or rolled back) and it
        // is a leftover.
        const QString first = paths(entries).front();
        if (first.compare(path, kNameCase) != 0 && contents(first) != bytes) {
            if (fileops::remove(path, reason))
                fileops::syncFolder(folder, reason);
            continue;
        }
        rollBack(entries);
        for (const Entry &entry : entries)
            fileops::syncFolder(QFileInfo(entry.target).absolutePath(), reason);
        remove(entries);
    }
}

} // namespace resultfiles::journal
