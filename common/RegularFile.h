#pragma once
#include <QByteArray>
#include <QString>

#include <sys/stat.h>

/// What readRegularFile found at a path.
enum class FileReadStatus { Loaded, Missing, NotRegularFile, TooBig, Unreadable };

/// A file read by readRegularFile.
struct RegularFile {
    FileReadStatus status = FileReadStatus::Missing;
    /// Loaded: the whole file. TooBig: its first `maxBytes` bytes. Otherwise empty.
    QByteArray bytes;
    /// The opened file's owner, group and mode (Loaded and TooBig), for a rewrite that keeps
    /// them.
    struct stat info {};
    /// errno of a Missing or Unreadable result.
    int error = 0;
};

/// Reads the file at `path` without blocking and without growing past `maxBytes`: only a
/// regular file (or, when `followLinks`, a link to one) is opened, with O_NONBLOCK, and what
/// was opened is checked again with fstat, so a FIFO, a device or a directory is refused
/// without ever being read. A file bigger than `maxBytes` gives TooBig with its first
/// `maxBytes` bytes. Thread-safe (no shared state).
RegularFile readRegularFile(const QString& path, qsizetype maxBytes, bool followLinks = true);

/// Why `file` was not loaded, as a short text for a message (empty when it was loaded);
/// `maxBytes` is the bound it was read with.
QString readFailureText(const RegularFile& file, qsizetype maxBytes);
