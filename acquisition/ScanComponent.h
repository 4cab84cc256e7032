#pragma once
#include "common/Export.h"
#include "common/OcrWord.h"
#include <QDateTime>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

/// The most images one acquisition delivers: the limit a component starts with, and the one
/// the scan window sets at the start of a session and of every feeder batch.
inline constexpr int32_t kSessionImageLimit = 99;

/// The pages of an earlier session of this user that ended without closing (killed, or the
/// machine went down), as a component can give them back.
struct InterruptedSession {
    QString id;      ///< names it in recoverSession/discardSession
    QDateTime saved; ///< when its pages were last changed (UTC)
    int32_t pages = 0;
};

/// The words read on one image, as the image is turned now, for the text layer of a PDF.
struct ImageText {
    enum class State {
        None,    ///< not to be read: no languages set, or an index out of range
        Waiting, ///< queued or being read
        Read,    ///< read: `words` (possibly none, for a page without text)
        Failed,  ///< could not be read: `error` says why (the page is written without text)
    };
    State state = State::None;
    OcrWords words;    ///< in the pixels of the image as it is turned now
    QSize pixels;      ///< the image's size in pixels, which the word boxes refer to
    QString languages; ///< the languages it was read in ("ita", "ita+eng")
    QString error;     ///< for Failed: why, in Italian, for the scan log (a missing language
                       ///< names the Debian package that brings it)
};

/// What the component does on its own to the images of a feeder batch before delivering
/// them. All off (the default): the images as the scanner gives them, byte for byte.
struct PageCleanup {
    bool leaveOutBlankSides = false; ///< a blank side is not delivered at all
    bool turnUpsideDown = false;     ///< a page whose text is upside down is turned 180 degrees
    bool straighten = false;         ///< a page scanned askew is turned straight
};

/// The acquisition component as the scan window drives it (the window's VSTSCAN). The
/// operations keep the names of the component's contract: a readable value is a getter of
/// that name, a writable one adds setName(). Values are TWAIN codes; answers meaning "yes"
/// are exactly 1.
///
/// Threading: every call is made on the thread that owns the object and returns without
/// waiting on the device; images arrive later as PostScan signals on that thread.
///
/// Errors: a call that fails outright throws ScanError. LastErrorCode/LastErrorText describe
/// the latest operation that can fail (setters, actions, CapGet/CapSet, the end of an
/// acquisition): 0 and "" after one that succeeded. Plain reads of state (ImageCount,
/// DataSourceOpen, ImagePicture, the Cap value readers) leave them as they are.
class SCANSIONE_EXPORT ScanComponent : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ScanComponent() override = default;

    // --- Device ---------------------------------------------------------------------
    /// Starts the device layers and lists the sources; 0 when no layer could start.
    virtual int32_t OpenSourceManager() = 0;
    virtual void CloseSourceManager() = 0;
    /// Opens the selected source; 1 when it is open.
    virtual int32_t OpenDataSource() = 0;
    /// Closes the selected source (cancelling a running acquisition); 1 when it was open.
    virtual int32_t CloseDataSource() = 0;
    /// Non-zero while the source is open, i.e. while further images can arrive.
    virtual int32_t DataSourceOpen() const = 0;
    virtual int32_t StartOptionA() const = 0;
    virtual void setStartOptionA(int32_t value) = 0;
    virtual int32_t StartOptionB() const = 0;
    virtual void setStartOptionB(int32_t value) = 0;

    // --- Sources, indexed from 0 ---------------------------------------------------
    virtual int32_t SourceCount() const = 0;
    /// Throws ScanError for an index out of range.
    virtual QString SourceName(int32_t index) const = 0;
    virtual int32_t SourceIndex() const = 0;
    /// Throws ScanError for an index out of range; the selection is then unchanged.
    virtual void setSourceIndex(int32_t index) = 0;
    /// The component's own dialog listing the sources; Cancel keeps the selection.
    /// Returns 1 when the user picked one.
    virtual int32_t SelectSource() = 0;

    // --- Acquisition ---------------------------------------------------------------
    virtual int32_t TransferMode() const = 0;
    virtual void setTransferMode(int32_t mode) = 0;
    /// One acquisition delivers no more images than this.
    virtual int32_t ImageLimit() const = 0;
    virtual void setImageLimit(int32_t limit) = 0;
    virtual int32_t FeederEnabled() const = 0;
    virtual void setFeederEnabled(int32_t value) = 0;
    virtual int32_t AutoFeed() const = 0;
    virtual void setAutoFeed(int32_t value) = 0;
    virtual int32_t FeederPresent() = 0;
    virtual int32_t PaperDetectable() = 0;
    virtual int32_t FeederLoaded() = 0;
    virtual int32_t DuplexSupported() = 0;
    virtual int32_t DuplexEnabled() const = 0;
    virtual void setDuplexEnabled(int32_t value) = 0;
    /// Starts an acquisition on the open source and returns at once; images follow as
    /// PostScan(0), the end as one PostScan with a non-zero flag. 1 when started.
    virtual int32_t Acquire() = 0;

    // --- Settings ------------------------------------------------------------------
    virtual int32_t ImagePixelType() = 0;
    virtual void setImagePixelType(int32_t type) = 0;
    virtual int32_t Resolution() = 0;
    virtual void setResolution(int32_t dpi) = 0;
    virtual int32_t Unit() = 0;
    virtual void setUnit(int32_t unit) = 0;
    virtual int32_t PageSize() = 0;
    virtual void setPageSize(int32_t size) = 0;
    virtual int32_t JpegQuality() const = 0;
    virtual void setJpegQuality(int32_t quality) = 0;
    virtual int32_t TiffCompression() const = 0;
    virtual void setTiffCompression(int32_t compression) = 0;
    virtual float Brightness() = 0;
    virtual void setBrightness(float value) = 0;
    virtual float BrightnessMin() = 0;
    virtual float BrightnessMax() = 0;
    virtual float Contrast() = 0;
    virtual void setContrast(float value) = 0;
    virtual float ContrastMin() = 0;
    virtual float ContrastMax() = 0;
    virtual int32_t ScanOptionA() const = 0;
    virtual void setScanOptionA(int32_t value) = 0;
    virtual int32_t ScanOptionB() const = 0;
    virtual void setScanOptionB(int32_t value) = 0;
    virtual int32_t ScanOptionC() const = 0;
    virtual void setScanOptionC(int32_t value) = 0;
    /// The lists select their capability for the Cap readers: after SupportedResolutions,
    /// CapContainer reads 3 and CapMin/CapMax/CapStep describe a range of resolutions.
    virtual QVector<int32_t> SupportedResolutions() = 0;
    virtual QVector<int32_t> SupportedUnits() = 0;
    virtual QVector<int32_t> SupportedPixelTypes() = 0;
    virtual QVector<int32_t> SupportedPageSizes() = 0;
    /// The scan frame in the current unit; 1 when the device took it.
    virtual int32_t SetImageLayout(float left, float top, float right, float bottom) = 0;

    // --- Generic capability interface ----------------------------------------------
    /// Selects the capability (TWAIN id) the Cap calls work on.
    virtual int32_t Capability() const = 0;
    virtual void setCapability(int32_t id) = 0;
    /// 1 when the open (or selected) source supports the selected capability.
    virtual int32_t CapSupported() = 0;
    /// Set before CapGet/CapSet: the container kind wanted (1 one value, 2 array, 3 range,
    /// 4 enumeration). Read after CapGet: the kind actually delivered.
    virtual int32_t CapContainer() const = 0;
    virtual void setCapContainer(int32_t kind) = 0;
    virtual double CapValue() const = 0;
    virtual void setCapValue(double value) = 0;
    virtual QString CapText() const = 0;
    virtual double CapDefault() const = 0;
    virtual double CapMin() const = 0;
    virtual double CapMax() const = 0;
    virtual double CapStep() const = 0;
    virtual int32_t CapItemCount() const = 0;
    virtual QVector<double> CapItems() const = 0;
    /// Reads the selected capability; 1 when read.
    virtual int32_t CapGet() = 0;
    /// Sets the selected capability to CapValue; 1 when set.
    virtual int32_t CapSet() = 0;

    // --- Images, indexed from 0 in order of arrival ---------------------------------
    virtual int32_t ImageCount() const = 0;
    /// A screen-sized preview of the image; a null image for an index out of range.
    virtual QImage ImagePicture(int32_t index) const = 0;
    /// Turns the image by a multiple of 90 degrees; 1 when done.
    virtual int32_t RotateImage(int32_t index, int32_t degrees) = 0;
    /// Writes the image to `path` in the format of its extension (.jpg, .tif, .bmp).
    /// Throws ScanError when the file cannot be written whole.
    virtual int32_t SaveImage(int32_t index, const QString& path) = 0;
    virtual int32_t TiffMultiPage() const = 0;
    virtual void setTiffMultiPage(int32_t value) = 0;
    /// The document "Conferma" will write ("JPEG", "TIFF", "PDF"; any other text: none), so
    /// that a component can prepare each page's file while it scans. Only a hint: SaveImage
    /// writes the same bytes whether or not it was given. The default ignores it.
    virtual void setDocumentFormat(const QString& format) { Q_UNUSED(format); }
    /// The images at `indices` are no longer wanted (no page refers to them): the component
    /// may let go of them (their files, their memory). The other images keep their indices;
    /// ImageCount does not change. Leaves the status as it is; never throws. The default
    /// keeps every image.
    virtual void ReleaseImages(const QVector<int32_t>& indices) { Q_UNUSED(indices); }

    // --- Text recognition and page clean-up ---------------------------------------------
    /// Reads the words of every image in `languages` (tesseract codes joined by "+"), in the
    /// background beside the acquisition: the images already held and those to come, and an
    /// image again after it is turned. Empty: nothing is read (what was read is dropped).
    /// The default reads nothing.
    virtual void setTextLanguages(const QString& languages) { Q_UNUSED(languages); }
    /// The words of image `index` as far as they are read. The default: State::None.
    virtual ImageText imageText(int32_t index) const {
        Q_UNUSED(index);
        return {};
    }
    /// Reads image `index` before any other still waiting (the document is being written
    /// and waits for it). The default does nothing.
    virtual void readTextFirst(int32_t index) { Q_UNUSED(index); }
    /// What the component does to the images of the acquisitions to come.
    virtual void setPageCleanup(const PageCleanup& cleanup) { Q_UNUSED(cleanup); }

    // --- Status ----------------------------------------------------------------------
    virtual int32_t LastErrorCode() const = 0;
    virtual QString LastErrorText() const = 0;
    /// Why device layers did not start at the latest OpenSourceManager: one text for each
    /// layer that failed, in listing order; empty when every layer started. It succeeds
    /// when one layer starts, so this is where the others' failures remain to be told
    /// (a broken virtual-scanner file beside a working SANE); LastErrorCode keeps only the
    /// outcome of the call.
    virtual QStringList layerFailures() const { return {}; }

    // --- Interrupted sessions ----------------------------------------------------------
    /// The document's pages as the window holds them: image indices, page 1 first. A
    /// component that keeps its images on disk records them, so that the pages can be given
    /// back after a crash. The default ignores it.
    virtual void setDocumentPages(const QVector<int32_t>& images) { Q_UNUSED(images); }
    /// Earlier sessions of this user whose process is gone and whose pages can be given back,
    /// newest first. They are kept for this component until recovered, discarded or the
    /// component ends (then they stay for a later session). The default has none.
    virtual QList<InterruptedSession> interruptedSessions() { return {}; }
    /// Adds the pages of the interrupted session `id` as new images at the end of the
    /// buffer, in their page order and as they were turned; the earlier session's folder
    /// goes. Returns how many images were added (pages that cannot be read are left out).
    virtual int32_t recoverSession(const QString& id) {
        Q_UNUSED(id);
        return 0;
    }
    /// Removes the pages of the interrupted session `id`. True when they were removed.
    virtual bool discardSession(const QString& id) {
        Q_UNUSED(id);
        return false;
    }
    /// The session ends without its document, and nobody is there to write it (a run
    /// without a person whose output failed): the pages are kept as an interrupted session's
    /// are, for a later session to give back, instead of going with the component. From now
    /// on the record of the pages and their images stay as they are. Returns how many pages
    /// are kept. The default keeps none.
    virtual int32_t keepPagesForRecovery() { return 0; }

Q_SIGNALS:
    /// flag 0: one image has been transferred (ImageCount already counts it);
    /// any other value: the acquisition has ended (DataSourceOpen is then 0).
    void PostScan(int32_t flag);
    /// The words of image `index` are read, or failed to be (imageText says which).
    void ImageTextReady(int32_t index);
    /// The component did something to the images of the acquisition under way on its own
    /// (a blank side left out, a page turned or straightened): `operation` and `detail` are
    /// the scan log's, e.g. "pagina bianca" and "foglio 3 retro". Emitted before the
    /// PostScan of the image it concerns; a side left out has no PostScan.
    void PageCleaned(const QString& operation, const QString& detail);
};
