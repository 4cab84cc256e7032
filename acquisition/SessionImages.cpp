#include "acquisition/SessionImages.h"
#include "acquisition/ComponentErrors.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/ScanError.h"
#include "acquisition/SessionCache.h"
#include <QDir>
#include <QFileInfo>

using componentError::status;

SessionImages::SessionImages(const QString& cacheParent)
    : m_cache(std::make_unique<SessionCache>(cacheParent)) {
    if (!m_cache->isValid())
        qWarning("Scansione: no session cache (%s); pages are kept in memory",
                 qUtf8Printable(m_cache->error()));
}

// The buffer's pages go before the folder that holds their files.
SessionImages::~SessionImages() = default;

QString SessionImages::cacheFolder() const {
    return m_cache->path();
}

DeviceStatus SessionImages::rotate(int index, int degrees) {
    if (index < 0 || index >= m_buffer.count())
        return status(componentError::BadIndex, QString::number(index));
    if (degrees % 90 != 0)
        return status(componentError::BadValue,
                      QStringLiteral("rotazione di %1 gradi").arg(degrees));
    if (degrees % 360 == 0)
        return {};
    QString error;
    const QImage full = m_buffer.full(index, &error);
    if (full.isNull())
        return status(componentError::ReadFailed, error);
    const QImage turned = rawImage::rotated(full, degrees);
    if (turned.isNull())
        return status(componentError::ReadFailed, QStringLiteral("memoria insufficiente"));
    const QString path =
        cacheFolder().isEmpty()
            ? QString()
            : QDir(cacheFolder())
                  .filePath(QStringLiteral("turned-%1-%2.raw").arg(index).arg(++m_rotations));
    m_buffer.replace(index, storePage(turned, path));
    return {};
}

DeviceStatus SessionImages::save(int index, const QString& path, ImageWriteOptions options,
                                 bool tiffMultiPage) {
    if (index < 0 || index >= m_buffer.count())
        return status(componentError::BadIndex, QString::number(index));
    QString error;
    const QImage image = m_buffer.full(index, &error);
    if (image.isNull())
        return status(componentError::ReadFailed, error);
    const QString key = QFileInfo(path).absoluteFilePath();
    const bool tiff = path.endsWith(QLatin1String(".tif"), Qt::CaseInsensitive) ||
                      path.endsWith(QLatin1String(".tiff"), Qt::CaseInsensitive);
    options.tiffAppend = tiff && tiffMultiPage && m_writtenPaths.contains(key);
    try {
        writeImageFile(image, path, options);
    } catch (const ScanError& e) {
        // A full disk, a size limit or a refused permission keeps its code: the window tells
        // the user which.
        return status(componentError::isWriteFailure(e.code()) ? componentError::Code(e.code())
                                                               : componentError::WriteFailed,
                      e.text());
    }
    m_writtenPaths.insert(key);
    return {};
}
