#include "piecewriter.h"

#include <cerrno>
#include <system_error>

namespace {

constexpr qint64 kPieceBytes = 1 << 20;

} // namespace

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
    const std::size_t at = gathering.size();
    gathering.resize(at + bytes);
    pieceFull = qint64(gathering.size()) >= kPieceBytes - handed % kPieceBytes;
    return gathering.data() + at;
}

void PieceWriter::handOnFullPiece()
{
    pieceFull = false;
    const qint64 toBoundary = kPieceBytes - handed % kPieceBytes;
    waitForWrite();
    // The piece goes, what lies beyond it stays.
    std::swap(writing, gathering);
    gathering.assign(writing.begin() + toBoundary, writing.end());
    writing.resize(std::size_t(toBoundary));
    startWrite();
}

bool PieceWriter::finish()
{
    if (pieceFull)
        handOnFullPiece();
    waitForWrite();
    std::swap(writing, gathering);
    gathering.clear();
    handed += qint64(writing.size());
    write();
    writing.clear();
    knownOk = writeOk;
    return writeOk;
}

void PieceWriter::startWrite()
{
    handed += qint64(writing.size());
    if (inBackground) {
        try {
            pendingWrite = std::async(std::launch::async, [this] { write(); });
            return;
        } catch (const std::system_error &) {
            inBackground = false; // no thread to spare: written here
        }
    }
    write();
    knownOk = writeOk;
}

void PieceWriter::write()
{
    // errno is the writing thread's own: kept with the failure.
    const qint64 bytes = qint64(writing.size());
    if (writeOk && bytes > 0 && file->write(writing.data(), bytes) != bytes) {
        failedErrno = errno;
        writeOk = false;
    }
}

void PieceWriter::waitForWrite()
{
    if (pendingWrite.valid())
        pendingWrite.get();
    knownOk = writeOk;
}
