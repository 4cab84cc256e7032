#pragma once
#include <QString>
#include <QStringList>

/// What a named destination takes: one document file (PDF, TIFF) or a folder of page files
/// (JPEG).
enum class DestinationKind { File, Folder };

/// Why `destination` cannot take a document of `kind`, checked before anything is scanned
/// (Italian, for standard error); empty when it can. Without `force` a file already there
/// (for a folder: a page file pag_<n>.jpg) is a reason. A missing folder is fine when it can
/// be made. Thread-safe (reads the file system only).
QString destinationProblem(const QString& destination, DestinationKind kind, bool force);

/// The outcome of placeDocument.
struct Placement {
    QStringList paths; ///< the final paths, absolute, in the order of the produced files
    QString error;     ///< why nothing was placed; empty on success
};

/// Moves the produced files (in the working folder) to `destination`: all of them or none.
/// Each file is first staged under a hidden temporary name beside its final one (a hard link
/// on the same file system, else a copy flushed to disk), and only when every file is staged
/// are they renamed into place; so a final name holds either its earlier file or the whole
/// new one, never part of one. Without `force` an existing file is never replaced, even one
/// that appeared after destinationProblem(). On success the sources are removed and, for a
/// folder with `force`, page files pag_<n>.jpg of an earlier document that this one does not
/// replace are removed too, so the folder holds one document. On failure the sources stay
/// where they are and nothing new remains at the destination. Thread-safe (file system only).
Placement placeDocument(const QStringList& produced, const QString& destination,
                        DestinationKind kind, bool force);
