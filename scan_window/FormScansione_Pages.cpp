// The page store and the page view: showing, paging through, rotating, deleting pages and
// zooming the view. Pages are references to images in the component's buffer.
#include "acquisition/ScanComponent.h"
#include "common/VbConvert.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"

#include <QLabel>
#include <QPixmap>
#include <cmath>

namespace {

/// The number in a page Tag; an empty or unconvertible Tag counts as 0.
int tagNumber(const QString& tag) {
    return toInt16(tag).value_or(0);
}

} // namespace

std::optional<int16_t> FormScansione::imageIndexOfPage(int16_t n) const {
    const std::optional<int> k = Pagine.imageOf(n);
    if (!k)
        return std::nullopt;
    return int16_t(*k);
}

void FormScansione::releaseImages(const QVector<int>& images) {
    // Their files leave the session cache, so that it holds about one document's pages
    // however many batches the session scans; not an operation of the log.
    if (VSTSCAN)
        VSTSCAN->ReleaseImages(images);
}

void FormScansione::clearView() {
    ImgPreview->setPixmap(QPixmap());
}

void FormScansione::MostraPagina(int16_t n) {
    const std::optional<int32_t> images = tryCall(&ScanComponent::ImageCount);
    if (!images || n < 1 || n > *images)
        return;
    // The bound above is the component's image count; a page number the store does not
    // hold (all pages deleted while the images remain) shows nothing and changes nothing.
    const std::optional<int16_t> k = imageIndexOfPage(n);
    if (!k)
        return;
    clearView();
    const QImage picture = tryCall(&ScanComponent::ImagePicture, *k).value_or(QImage());
    if (!picture.isNull())
        ImgPreview->setPixmap(QPixmap::fromImage(picture));
    setImgPreviewTag(QString::number(n));
    setWindowTitle(formTag() + QStringLiteral(" - Pag. ") + imgPreviewTag());
}

void FormScansione::PaginaSuccessiva() {
    const int n = tagNumber(imgPreviewTag()) + 1;
    MostraPagina(int16_t(n <= Pagine.count() ? n : 1));
}

void FormScansione::PaginaPrecedente() {
    const int n = tagNumber(imgPreviewTag()) - 1;
    MostraPagina(int16_t(n >= 1 ? n : Pagine.count()));
}

void FormScansione::RuotaPagina() {
    const int n = tagNumber(imgPreviewTag());
    if (n <= 0)
        return;
    if (const std::optional<int16_t> k = imageIndexOfPage(int16_t(n)))
        tryCall(&ScanComponent::RotateImage, *k, 180);
    MostraPagina(int16_t(n));
}

void FormScansione::EliminaPagina() {
    const std::optional<int16_t> n = toInt16(imgPreviewTag());
    if (!n)
        return;
    if (!(*n > 0 && *n <= Pagine.count()))
        return;
    Pagine.removePage(*n);
    if (Pagine.count() < 1) {
        setImgPreviewTag(QString());
        clearView();
        setWindowTitle(formTag());
        return;
    }
    setImgPreviewTag(QStringLiteral("1"));
    MostraPagina(1);
}

void FormScansione::AnnullaScansione() {
    if (!pagesMayGo(QStringLiteral("Annullare la scansione? Le %1 pagine acquisite andranno perse.")))
        return;
    Pagine.clear();
    unloadWindow();
}

void FormScansione::Form_Resize() {
    const QRect frame = twipsOf(PicImage);
    placeTwips(ImgPreview, 0, 0, frame.width(), frame.height());
    // Halves to even, as the integer division of the zoom steps always was.
    PassoZoomX = int32_t(std::nearbyint(frame.width() / 5.0));
    PassoZoomY = int32_t(std::nearbyint(frame.height() / 5.0));
}

void FormScansione::IngrandisciVista() {
    const QRect view = twipsOf(ImgPreview);
    const int64_t width = int64_t(view.width()) + PassoZoomX;
    const int64_t height = int64_t(view.height()) + PassoZoomY;
    // No limit of its own; only what a widget can be (and a twips value can hold).
    if (width > int64_t(QWIDGETSIZE_MAX) * 15 / 2 || height > int64_t(QWIDGETSIZE_MAX) * 15 / 2)
        return;
    placeTwips(ImgPreview, view.left(), view.top(), int(width), int(height));
}

void FormScansione::RiduciVista() {
    const QRect view = twipsOf(ImgPreview);
    const int width = view.width() - PassoZoomX;
    const int height = view.height() - PassoZoomY;
    // A step below nothing is refused: the view keeps its size and can be zoomed in again.
    if (width < 0 || height < 0)
        return;
    placeTwips(ImgPreview, view.left(), view.top(), width, height);
}
