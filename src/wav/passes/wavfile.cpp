#include "wavfile.h"

#include "wav/format/header.h"
#include "wav/format/reading.h"
#include "wav/results/names.h"
#include "wav/results/resultfile.h"
#include "wav/results/resultfiles.h"

#include <QDir>

namespace {

QString deviceName(const QIODevice *device)
{
    if (const auto *file = qobject_cast<const QFileDevice *>(device))
        return WavFile::shownName(file);
    return QStringLiteral("the file");
}

} // namespace

QString WavFile::shownName(const QFileDevice *file)
{
    if (const auto *result = dynamic_cast<const resultfiles::ResultFile *>(file))
        return resultfiles::displayName(result->name());
    return resultfiles::displayName(file->fileName());
}

WavFile::WavFile(QObject *parent) : QFile(parent) {}

WavFile::~WavFile() = default;

bool WavFile::openRead(const QString &fileName)
{
    close();
    checkedBytes = -1;
    setFileName(fileName);
    if (exists() && !resultfiles::isRegular(fileName))
        return false;
    if (!open(QIODevice::ReadOnly))
        return false;
    checkedBytes = size();
    return wavformat::parseHeader(*this, format, headerBytes, &dataBytes);
}

bool WavFile::openWrite(const QString &fileName)
{
    close();
    checkedBytes = -1;
    setFileName(fileName);
    return open(QIODevice::ReadWrite | QIODevice::Truncate);
}

qint64 WavFile::passBytes(const QIODevice *device) const
{
    return device == this && checkedBytes >= 0 ? checkedBytes : device->size();
}

bool WavFile::hasAnalysisFormat() const
{
    return wavformat::isAnalysisFormat(format);
}

bool WavFile::failRead(const QIODevice *device)
{
    const QString failure = wavformat::readFailure(*device);
    passError = wavformat::couldNotRead(
        deviceName(device),
        failure.isEmpty() ? QStringLiteral("it ended early or became unreadable") : failure);
    return false;
}

bool WavFile::failWrite(QIODevice *device, int writeErrno)
{
    passError = resultfiles::couldNotWrite(deviceName(device),
                                           resultfiles::writeFailure(*device, writeErrno));
    return false;
}

