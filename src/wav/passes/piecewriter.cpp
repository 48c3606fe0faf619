#include "piecewriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

constexpr qint64 kPieceBytes = 1 << 20;

} // namespace

void PieceWriter::Bytes::reserve(std::size_t wanted)
{
    if (wanted <= capacity)
        return;
    std::unique_ptr<char[]> more(new char[wanted]);
    if (size > 0)
        std::memcpy(more.get(), data.get(), size);
    data = std::move(more);
    capacity = wanted;
}

char *PieceWriter::Bytes::extend(std::size_t count)
{
    if (size + count > capacity)
        reserve(std::max(size + count, 2 * capacity));
    char *at = data.get() + size;
    size += count;
    return at;
}

PieceWriter::PieceWriter(QIODevice *file) : file(file), handed(file->pos())
{
    gathering.reserve(2 * kPieceBytes);
    writing.reserve(2 * kPieceBytes);
}

PieceWriter::~PieceWriter()
{
    waitForWrite();
}

char *PieceWriter::append(std::size_t bytes)
{
    if (pieceFull)
        handOnFullPiece();
    char *at = gathering.extend(bytes);
    pieceFull = qint64(gathering.size) >= kPieceBytes - handed % kPieceBytes;
    return at;
}

void PieceWriter::handOnFullPiece()
{
    pieceFull = false;
    const qint64 toBoundary = kPieceBytes - handed % kPieceBytes;
    waitForWrite();
    // The piece goes, what lies beyond it stays.
    std::swap(writing, gathering);
    gathering.size = 0;
    const std::size_t beyond = writing.size - std::size_t(toBoundary);
    std::memcpy(gathering.extend(beyond), writing.data.get() + toBoundary, beyond);
    writing.size = std::size_t(toBoundary);
    startWrite();
}

bool PieceWriter::finish()
{
    if (pieceFull)
        handOnFullPiece();
    waitForWrite();
    // The rest, here and now.
    std::swap(writing, gathering);
    gathering.size = 0;
    inBackground = false;
    startWrite();
    return writeOk;
}

void PieceWriter::startWrite()
{
    handed += qint64(writing.size);
    if (inBackground) {
        try {
            pendingWrite = std::async(std::launch::async, [this] { write(); });
            return;
        } catch (const std::system_error &) {
            inBackground = false; // no thread to spare: written here
        }
    }
    write();
}

void PieceWriter::write()
{
    // errno is the writing thread's own: kept with the failure.
    const qint64 bytes = qint64(writing.size);
    if (writeOk && bytes > 0 && file->write(writing.data.get(), bytes) != bytes) {
        failedErrno = errno;
        writeOk = false;
    }
}

void PieceWriter::waitForWrite()
{
    if (pendingWrite.valid())
        pendingWrite.get();
}
