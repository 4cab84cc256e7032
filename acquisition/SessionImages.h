#pragma once
#include "acquisition/DeviceLayer.h"
#include "acquisition/ImageBuffer.h"
#include "acquisition/ImageWriters.h"
#include <QSet>
#include <memory>

class SessionCache;

/// The images of one component's session: the buffer of acquired pages with its cache
/// folder, and what the component does to them (turn, write to a file).
///
/// Threading: owner thread only (the worker writes page files into cacheFolder(), never
/// the buffer).
class SessionImages {
public:
    /// The session cache is made under `cacheParent` (the working folder); without one the
    /// pages are kept in memory.
    explicit SessionImages(const QString& cacheParent);
    ~SessionImages();

    /// The session cache folder; empty when it could not be made.
    QString cacheFolder() const;
    /// Images acquired in this session.
    int count() const { return m_buffer.count(); }
    /// The preview of image `index`; null for an index out of range.
    QImage preview(int index) const { return m_buffer.preview(index); }
    /// Adds an acquired image at the next index.
    void append(StoredPage page) { m_buffer.append(std::move(page)); }

    /// Turns the full-resolution image by a multiple of 90 degrees (negative allowed); the
    /// index keeps pointing at it. Ok, or why not (bad index, bad angle, unreadable page).
    DeviceStatus rotate(int index, int degrees);
    /// Writes the full-resolution image to `path` in the format of its extension. With
    /// `tiffMultiPage` a .tif gains a page, except at the first write of that path in this
    /// session, which starts the file afresh. Ok, or why the file was not written whole.
    DeviceStatus save(int index, const QString& path, ImageWriteOptions options,
                      bool tiffMultiPage);

private:
    std::unique_ptr<SessionCache> m_cache;
    ImageBuffer m_buffer;
    quint64 m_rotations = 0;
    QSet<QString> m_writtenPaths;
};
