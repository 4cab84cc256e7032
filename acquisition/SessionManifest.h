#pragma once
#include "component_base/DeviceLayer.h"
#include <QDateTime>
#include <QStringList>
#include <optional>

// The manifest of a session cache: the document's pages in order, each named by the page file
// that holds its image as it is now (a turned page is a new file, so the turn is in it). It is
// what lets a later session give back the pages of one that was killed or lost its power.
namespace sessionManifest {

/// The manifest's file name inside the cache folder.
inline constexpr char kFileName[] = ".pagine.manifest";

/// What a manifest says: when it was written, and the page files in page order (names inside
/// the cache folder).
struct Contents {
    QDateTime saved;
    QStringList pageFiles;
};

/// Replaces the manifest of `folder` with `pageFiles` (names in the folder, page 1 first),
/// through a temporary file that is synced and renamed over it, the folder synced after: a
/// crash leaves the old manifest or the new one, never a mix. Ok, or why not (the old
/// manifest then stays). Thread-safe for different folders.
DeviceStatus write(const QString& folder, const QStringList& pageFiles);

/// The manifest of `folder`; nullopt when there is none or it is not one. Names that could
/// lead out of the folder (a separator, a leading dot) are dropped. Thread-safe.
std::optional<Contents> read(const QString& folder);

} // namespace sessionManifest
