#pragma once
#include <QString>
#include <cstdint>
#include <memory>

/// The PDF writer of the component's library. Pages are added with AddPage, their bitmap
/// with AddImageFile and DrawImage, in millimetres; 1-bit bitmaps become CCITT G4 images,
/// grey and colour ones JPEG. The file counts as complete only after EndDocument, which
/// writes it; until then nothing at OutputPath looks like a finished document.
class PdfWriter {
public:
    /// `jpegQuality` is the component's JPEG quality; 0 chooses 85.
    explicit PdfWriter(int32_t jpegQuality = 0);
    virtual ~PdfWriter();

    virtual QString OutputPath() const;
    virtual void setOutputPath(const QString& path);
    virtual int32_t DocumentMode() const;
    virtual void setDocumentMode(int32_t mode);
    virtual void BeginDocument(const QString& info);
    /// Starts a page of `width` × `height` millimetres; returns its 1-based number.
    virtual int32_t AddPage(double width, double height);
    /// Loads an image file for drawing; returns its id. Throws ScanError when unreadable.
    virtual int32_t AddImageFile(const QString& path);
    /// Draws image `id` with its top-left corner at (x, y), y measured from the bottom.
    virtual void DrawImage(int32_t id, double x, double y, double width, double height);
    virtual void EndPage(const QString& info);
    /// Writes the file; returns 1 when written, 0 (writing nothing) when no page was finished
    /// or an earlier EndDocument already failed. Throws ScanError when it cannot be written.
    virtual int32_t EndDocument();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
