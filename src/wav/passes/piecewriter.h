#pragma once

#include <QIODevice>

#include <cstddef>
#include <future>
#include <memory>

/// Writes a pass's output gathered into pieces that end on whole megabytes
/// of the file: the system takes a few large writes into its cache several
/// times faster than many small ones. In the background, a piece is written
/// by a thread of its own while the next one gathers, so that the copying
/// into the system's cache leaves the pass's thread; one write at a time,
/// in order. The file is the writer's alone until finish().
class PieceWriter
{
public:
    explicit PieceWriter(QIODevice *file);
    ~PieceWriter();
    PieceWriter(const PieceWriter &) = delete;
    PieceWriter &operator=(const PieceWriter &) = delete;

    /// Whether pieces are written in the background (before the first).
    void writeInBackground(bool yes) { inBackground = yes; }

    /// `bytes` more at the end, which the caller writes to the place
    /// answered before its next call.
    char *append(std::size_t bytes);

    /// Writes what is still gathered; false when any write failed.
    bool finish();
    /// The errno of the first failed write.
    int writeErrno() const { return failedErrno; }

private:
    /// Hands the full piece on, when what gathers reaches it.
    void handOnFullPiece();
    void startWrite();
    void write();
    void waitForWrite();

    QIODevice *file;
    /// Bytes of the file up to the end of the last piece handed on.
    qint64 handed;
    bool inBackground = false;
    /// Bytes that grow without being zeroed first: every byte is written
    /// before it is read.
    struct Bytes
    {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        std::size_t capacity = 0;

        /// Room for `wanted` bytes in all, what is held kept.
        void reserve(std::size_t wanted);
        /// `count` more at the end; answers where they go.
        char *extend(std::size_t count);
    };
    /// What gathers, and the piece being written.
    Bytes gathering;
    Bytes writing;
    /// Set by the writing thread; read by the pass's thread once the write
    /// has ended.
    bool writeOk = true;
    int failedErrno = 0;
    /// Whether the last append filled a piece, to be handed on first.
    bool pieceFull = false;
    std::future<void> pendingWrite;
};
