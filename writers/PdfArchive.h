#pragma once
// What turns the PDF writer's plain document into PDF/A-1b or PDF/A-2b: the document
// information and its XMP mirror, the sRGB output intent, and the file-level rules the
// writer obeys. The page images are not touched: they stay the JPEG and G4 bytes the plain
// document has.
#include "writers/PdfWriter.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

class QPDF;
class QPDFWriter;

namespace pdfa {

/// The conformance the settings value `value` asks for: Plain for an empty value, PdfA1b or
/// PdfA2b for "1b" or "2b" in any letter case, nullopt for anything else.
std::optional<PdfConformance> conformanceOf(const QString& value);

/// The sRGB profile of Debian's icc-profiles-free package, the output intent's default.
QString defaultColourProfile();

/// The ICC profile at `path`, checked to be one an output intent for `conformance` may
/// embed: an RGB profile whose size matches its header, of version 2 for PDF/A-1 (PDF 1.4
/// knows no later one). Throws ScanError with an Italian text naming the file and the
/// package that ships it when it is missing or unusable.
QByteArray readColourProfile(const QString& path, PdfConformance conformance);

/// Makes `pdf` claim `conformance`: the document information (Producer "Scansione" with its
/// version, CreationDate and ModDate at `when` with its time zone), the same values in an
/// unfiltered XMP packet in the catalog with the PDF/A part and conformance level, and an
/// output intent GTS_PDFA1 that embeds `profile`.
void describeDocument(QPDF& pdf, PdfConformance conformance, const QByteArray& profile,
                      const QDateTime& when);

/// Sets what `writer` must do for `conformance`: PDF 1.4 (PDF/A-1) or 1.7 (PDF/A-2) without
/// object streams or cross-reference streams, and an end of line before every endstream.
void configureWriter(QPDFWriter& writer, PdfConformance conformance);

/// The PDF date of `when` (D:YYYYMMDDHHmmSS+HH'mm'), and the same instant as XMP writes it.
QString pdfDate(const QDateTime& when);
QString xmpDate(const QDateTime& when);

} // namespace pdfa
