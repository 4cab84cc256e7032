#pragma once
#include <QString>

#include <tiffio.h>

#include <memory>

// libtiff as the writers open it (internal to writers/): errors collected per file instead of
// printed, files written through procedures that keep the system error of a failed write.
namespace tifffile {

// libtiff reports through handlers; each open file gets its own, so the message of a
// failing call ends up in the ScanError instead of on stderr.
struct Messages {
    QString last;
    int systemError = 0; ///< errno of the write that failed, 0 when none did
    int fd = -1;         ///< the descriptor of a file opened for writing (see openFd)
};

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

/// Open options whose handlers collect the messages of one file into `messages`.
std::unique_ptr<TIFFOpenOptions, OptionsFree> options(Messages* messages);

/// Opens descriptor `fd` (a duplicate of it: ours stays ours) as TIFF `path` in `mode`; a file
/// opened to be written goes through our write procedures, and `messages` must outlive it.
/// Null on failure.
TiffPtr openFd(int fd, const QString& path, const char* mode, Messages* messages);

/// The last message of a file, or a general one when libtiff left none.
QString detail(const Messages& m);

/// Throws the ScanError of a failed libtiff call, with the system error of a failed write.
[[noreturn]] void throwTiffWriteError(const QString& path, const Messages& m);

} // namespace tifffile
