#include "marker.h"

#include "dsp/templateanalysis.h"
#include "wav/format/reading.h"
#include "wav/format/regularfile.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace markerfile {

std::vector<double> read(QIODevice *device)
{
    std::vector<double> values;
    if (!device || !device->isOpen())
        return values;
    const qint64 stored = device->size() / 8;
    const qint64 wanted = std::min<qint64>(stored, dsp::analysis::kWindow);
    device->seek(0);
    const QByteArray raw = wavformat::read(*device, wanted * 8);
    values.reserve(std::size_t(raw.size() / 8));
    for (qint64 i = 0; i + 8 <= raw.size(); i += 8) {
        const quint64 bits = qFromLittleEndian<quint64>(raw.constData() + i);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        values.push_back(value);
    }
    return values;
}

QByteArray bytes(const std::vector<double> &values)
{
    QByteArray out(int(values.size() * 8), Qt::Uninitialized);
    for (std::size_t i = 0; i < values.size(); ++i) {
        quint64 bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        qToLittleEndian(bits, out.data() + 8 * i);
    }
    return out;
}

bool open(QFile &file)
{
    return wavformat::isRegularFile(file.fileName()) && file.open(QIODevice::ReadOnly);
}

} // namespace markerfile
