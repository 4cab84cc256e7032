#pragma once
#include <QString>
#include <cstdint>

// The names of the files a document write leaves behind only when it is interrupted: made
// here, and recognised here by the sweep of such leftovers at the next start, so that the two
// can never drift apart.
namespace tempnames {

/// A writer's temporary file for `fileName` (no folder): ".<fileName>.<hex of random>.part".
QString partName(const QString& fileName, uint32_t random);

/// The window's staged file for `fileName` (no folder): ".<stem>.<8 hex digits>.part.<ext>",
/// the extension kept last since the component writes by extension (".<name>.<8 hex>.part"
/// for a name without one).
QString stagedName(const QString& fileName, uint32_t random);

/// The PDF route's page image file of image `image`: "pag_<image>.pdfimg".
QString pdfPageImageName(int image);

/// True for a name (no folder) that partName, stagedName or pdfPageImageName makes.
bool isLeftover(const QString& fileName);

} // namespace tempnames
