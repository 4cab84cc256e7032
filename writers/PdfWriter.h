#pragma once
#include "common/Export.h"
#include "common/OcrWord.h"
#include <QSize>
#include <QString>
#include <cstdint>
#include <memory>

/// What a PDF document claims to be: the plain PDF, or an archival PDF/A-1b or PDF/A-2b
/// (same page images, plus the metadata and output intent those ask for).
enum class PdfConformance { Plain, PdfA1b, PdfA2b };

/// The PDF writer of the component's library. Pages are added with AddPage, their bitmap
/// with AddImageFile and DrawImage, in millimetres; 1-bit bitmaps become CCITT G4 images,
/// grey and colour ones JPEG. The file counts as complete only after EndDocument, which
/// writes it; until then nothing at OutputPath looks like a finished document.
/// Not thread-safe: one writer is used from one thread at a time.
class SCANSIONE_EXPORT PdfWriter {
public:
    /// `jpegQuality` is the component's JPEG quality; 0 chooses 85.
    explicit PdfWriter(int32_t jpegQuality = 0);
    virtual ~PdfWriter();

    /// The file EndDocument writes (a link there is replaced, never followed).
    virtual QString OutputPath() const;
    /// Names the file EndDocument writes; nothing is created before EndDocument.
    virtual void setOutputPath(const QString& path);
    /// The document mode as set; every mode writes the same kind of document.
    virtual int32_t DocumentMode() const;
    /// Sets the document mode (4 in the document output).
    virtual void setDocumentMode(int32_t mode);
    /// Starts the document; `info` is not used. Throws ScanError after EndDocument.
    virtual void BeginDocument(const QString& info);
    /// Starts a page of `width` × `height` millimetres; returns its 1-based number.
    virtual int32_t AddPage(double width, double height);
    /// Loads an image file for drawing; returns its id. A page image the component wrote as
    /// .pdfimg at this writer's JPEG quality goes into the document as it stands; any other
    /// bitmap is decoded and encoded. Throws ScanError when unreadable.
    virtual int32_t AddImageFile(const QString& path);
    /// Draws image `id` with its top-left corner at (x, y), y measured from the bottom.
    virtual void DrawImage(int32_t id, double x, double y, double width, double height);
    /// Ends the current page (none open: nothing happens); a page whose image failed to load
    /// or draw is left out, without a second exception for that fault; after EndDocument
    /// it does nothing, so the clean-up after an error can always call it.
    virtual void EndPage(const QString& info);
    /// Writes the file; returns 1 when written, 0 (writing nothing) when no page was finished
    /// or an earlier EndDocument already failed. Throws ScanError when it cannot be written.
    virtual int32_t EndDocument();
    /// Lays `words`, read on an image of `imagePixels`, as invisible text over the rectangle
    /// of the current page that DrawImage gave that image (same arguments, millimetres): a
    /// reader finds, selects and copies them while the page shows only the image. Drawn in a
    /// content stream of its own with one font for the whole document, at EndPage; the page's
    /// image is untouched. No words: nothing at all is added (no font, no stream). Throws
    /// ScanError with no page started, after EndDocument, or for a rectangle without area.
    virtual void DrawPageText(const OcrWords& words, QSize imagePixels, double x, double y,
                              double width, double height);

    /// Writes the document as `conformance` (Plain by default: the file is then what it
    /// always was). Takes effect at EndDocument.
    void setConformance(PdfConformance conformance);
    PdfConformance conformance() const;
    /// The sRGB ICC profile a PDF/A document embeds as its output intent; by default the one
    /// Debian's icc-profiles-free installs. When it is missing or unusable, EndDocument of a
    /// PDF/A document throws ScanError and writes nothing.
    void setColourProfile(const QString& path);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
