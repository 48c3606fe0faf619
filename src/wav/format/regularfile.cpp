#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace wavformat {

bool isRegularFile(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo(path).isFile();
#else
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

} // namespace wavformat
