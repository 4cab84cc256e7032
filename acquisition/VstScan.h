#pragma once
#include "acquisition/HeldEvents.h"
#include "acquisition/ScanComponent.h"
#include "acquisition/SessionImages.h"
#include "acquisition/SessionRecovery.h"
#include "acquisition/SourceManager.h"
#include "component_base/ComponentErrors.h"
#include "component_base/DeviceLayer.h"
#include "component_base/PageServices.h"
#include <QSizeF>
#include <memory>
#include <optional>
#include <vector>

class AcquisitionRunner;
class ComponentDialogs;
struct AcquireOutcome;

/// The acquisition component: a façade over its sources (SourceManager), its acquisitions
/// (AcquisitionRunner, one worker thread that owns the device while it acquires) and the
/// session's images (SessionImages). Each operation checks the state, hands the work to one
/// of them and sets the status.
///
/// Threading: every operation is called on the thread that owns the object (the window's);
/// none of them waits on a running acquisition. Images and the end of an acquisition arrive
/// as PostScan on that thread, never inside an operation: one that waits on a device or a
/// dialog runs the event loop meanwhile (the window repaints), and what the component hears
/// then is held and handled after the outermost operation has returned (HeldEvents).
/// Destroying the component in the middle of an acquisition cancels it, waits for the worker
/// to let go of the device, and removes the session cache; no event of that acquisition is
/// delivered afterwards.
class VstScan : public ScanComponent {
    Q_OBJECT
public:
    /// `layers` in listing order (SANE first, then virtual scanners); `cacheParent` is the
    /// folder that holds the session cache of full-resolution pages (the working folder);
    /// `dialogs` show the search, the source choice and the progress (null: headless, where
    /// nothing is shown and SelectSource keeps the selection).
    VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
            std::shared_ptr<ComponentDialogs> dialogs = nullptr, QObject* parent = nullptr);
    /// The same, with the page workers it uses: `services.textReader` reads the images'
    /// words once setTextLanguages asks for them.
    VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
            PageServices services, std::shared_ptr<ComponentDialogs> dialogs = nullptr,
            QObject* parent = nullptr);
    ~VstScan() override;

    /// Starts every layer on a helper thread while the caller's event loop keeps running (the
    /// dialogs show the search); 1 when at least one layer started, or when there is no layer
    /// at all (no source then), 0 when every layer failed. LastErrorCode/Text hold the first
    /// layer's failure either way, so a layer left out (SANE's worker missing) says why.
    int32_t OpenSourceManager() override;
    /// Closes the source (cancelling an acquisition) and stops the layers; a layer whose
    /// device the worker still holds is stopped as soon as the worker lets go.
    void CloseSourceManager() override;
    /// Opens the selected source; 1 when it is open (also when it already was).
    int32_t OpenDataSource() override;
    /// Closes the source. A running acquisition is cancelled: its further images are dropped
    /// and one end event PostScan(1) follows. 1 when a source was open.
    int32_t CloseDataSource() override;
    /// 1 while the source is open (from OpenDataSource to the end of the next acquisition).
    int32_t DataSourceOpen() const override { return m_sources.device() ? 1 : 0; }
    /// Kept and read back; no effect on the acquisition (a switch of the original contract
    /// that the window only turns off).
    int32_t StartOptionA() const override { return m_startOptionA; }
    /// See StartOptionA.
    void setStartOptionA(int32_t value) override { keep(m_startOptionA, value); }
    /// See StartOptionA.
    int32_t StartOptionB() const override { return m_startOptionB; }
    /// See StartOptionA.
    void setStartOptionB(int32_t value) override { keep(m_startOptionB, value); }

    /// Number of sources listed by OpenSourceManager.
    int32_t SourceCount() const override { return m_sources.count(); }
    /// Throws ScanError for an index out of range.
    QString SourceName(int32_t index) const override { return m_sources.name(index); }
    /// The selected source; -1 when there is none.
    int32_t SourceIndex() const override { return m_sources.selected(); }
    /// Throws ScanError for an index out of range or while an acquisition runs; selecting
    /// another source closes the open one.
    void setSourceIndex(int32_t index) override;
    /// The dialogs' source choice; 1 when the user picked one, 0 on Cancel or without a
    /// person (the selection is then unchanged).
    int32_t SelectSource() override;

    /// 0 (native transfer) is the only mode; any other value is refused (BadValue).
    int32_t TransferMode() const override { return 0; }
    /// See TransferMode.
    void setTransferMode(int32_t mode) override;
    /// Images one acquisition delivers at most; an image beyond it is refused and the
    /// acquisition ends with componentError::ImageLimit. Images of earlier acquisitions do
    /// not count.
    int32_t ImageLimit() const override { return m_imageLimit; }
    /// A negative limit is refused (BadValue).
    void setImageLimit(int32_t limit) override;
    /// 1 when the next acquisition is a feeder batch.
    int32_t FeederEnabled() const override { return m_feederEnabled; }
    /// Switches the feeder; refused (NotSupported) with 1 on a source without a feeder.
    void setFeederEnabled(int32_t value) override {
        setSwitch(twain::CAP_FEEDERENABLED, value, m_feederEnabled);
    }
    /// The source's automatic feed switch.
    int32_t AutoFeed() const override { return m_autoFeed; }
    /// See AutoFeed; refused on a source without it unless the value is 0.
    void setAutoFeed(int32_t value) override { setSwitch(twain::CAP_AUTOFEED, value, m_autoFeed); }
    /// 1 when the open source has a feeder.
    int32_t FeederPresent() override;
    /// 1 when the open source can tell whether paper is in the feeder.
    int32_t PaperDetectable() override;
    /// 1 when paper is in the feeder.
    int32_t FeederLoaded() override;
    /// The source's duplex kind: 0 none, 1 one pass, 2 two passes.
    int32_t DuplexSupported() override;
    /// 1 when duplex is on.
    int32_t DuplexEnabled() const override { return m_duplexEnabled; }
    /// Any non-zero value turns duplex on; refused on a source without duplex.
    void setDuplexEnabled(int32_t value) override {
        setSwitch(twain::CAP_DUPLEXENABLED, value, m_duplexEnabled);
    }
    /// Starts an acquisition on the worker and returns at once: 1 when started, 0 when no
    /// source is open or one is already running (Busy also until the previous one's end has
    /// been sent, which waits for its page files and for the operations under way). The end always
    /// comes as PostScan(1). When the session cache has no room for a page at the programmed
    /// resolution, pixel type and frame (or cannot take the pages a failed write left in memory),
    /// the acquisition ends at once with that error (DiskFull) and no image; when the cache fails
    /// in the middle of a batch, it ends with that error after the images delivered so far.
    int32_t Acquire() override;

    /// The current pixel type; -1 (with an error) when it cannot be read.
    int32_t ImagePixelType() override;
    /// Sets ICAP_PIXELTYPE.
    void setImagePixelType(int32_t type) override { setDeviceValue(twain::ICAP_PIXELTYPE, type); }
    /// The current resolution in dpi; 0 (with an error) when it cannot be read.
    int32_t Resolution() override;
    /// Sets both the horizontal and the vertical resolution.
    void setResolution(int32_t dpi) override;
    /// The current unit; -1 (with an error) when it cannot be read.
    int32_t Unit() override;
    /// Sets ICAP_UNITS (the unit of SetImageLayout).
    void setUnit(int32_t unit) override { setDeviceValue(twain::ICAP_UNITS, unit); }
    /// The current page size code; -1 (with an error) when it cannot be read.
    int32_t PageSize() override;
    /// Sets ICAP_SUPPORTEDSIZES: the frame becomes that page (the last of page size and
    /// layout wins).
    void setPageSize(int32_t size) override;
    /// Quality of the JPEG files SaveImage writes (1..100; 0 = the writer's default).
    int32_t JpegQuality() const override { return m_images.writeOptions().jpegQuality; }
    /// Values outside 0..100 are refused.
    void setJpegQuality(int32_t quality) override;
    /// TIFF Compression tag of the files SaveImage writes: 0, 1, 4, 5, 7 or 8.
    int32_t TiffCompression() const override { return m_images.writeOptions().tiffCompression; }
    /// Other values are refused.
    void setTiffCompression(int32_t compression) override;
    /// ICAP_BRIGHTNESS; 0 with an error when it cannot be read.
    float Brightness() override;
    /// Sets ICAP_BRIGHTNESS.
    void setBrightness(float value) override { setDeviceValue(twain::ICAP_BRIGHTNESS, value); }
    /// Lower end of the brightness range.
    float BrightnessMin() override { return rangeOf(twain::ICAP_BRIGHTNESS).first; }
    /// Upper end of the brightness range.
    float BrightnessMax() override { return rangeOf(twain::ICAP_BRIGHTNESS).second; }
    /// ICAP_CONTRAST; 0 with an error when it cannot be read.
    float Contrast() override;
    /// Sets ICAP_CONTRAST.
    void setContrast(float value) override { setDeviceValue(twain::ICAP_CONTRAST, value); }
    /// Lower end of the contrast range.
    float ContrastMin() override { return rangeOf(twain::ICAP_CONTRAST).first; }
    /// Upper end of the contrast range.
    float ContrastMax() override { return rangeOf(twain::ICAP_CONTRAST).second; }
    /// Kept and read back, no effect (switches the window only turns off).
    int32_t ScanOptionA() const override { return m_scanOptionA; }
    /// See ScanOptionA.
    void setScanOptionA(int32_t value) override { keep(m_scanOptionA, value); }
    /// See ScanOptionA.
    int32_t ScanOptionB() const override { return m_scanOptionB; }
    /// See ScanOptionA.
    void setScanOptionB(int32_t value) override { keep(m_scanOptionB, value); }
    /// See ScanOptionA.
    int32_t ScanOptionC() const override { return m_scanOptionC; }
    /// See ScanOptionA.
    void setScanOptionC(int32_t value) override { keep(m_scanOptionC, value); }
    /// The resolutions offered (a range is listed value by value); selects ICAP_XRESOLUTION
    /// for the Cap readers.
    QVector<int32_t> SupportedResolutions() override {
        return supportedList(twain::ICAP_XRESOLUTION);
    }
    /// The units offered; selects ICAP_UNITS.
    QVector<int32_t> SupportedUnits() override { return supportedList(twain::ICAP_UNITS); }
    /// The pixel types offered; selects ICAP_PIXELTYPE.
    QVector<int32_t> SupportedPixelTypes() override { return supportedList(twain::ICAP_PIXELTYPE); }
    /// The page sizes offered; selects ICAP_SUPPORTEDSIZES.
    QVector<int32_t> SupportedPageSizes() override {
        return supportedList(twain::ICAP_SUPPORTEDSIZES);
    }
    /// The scan frame in the current unit; 1 when the device took it.
    int32_t SetImageLayout(float left, float top, float right, float bottom) override;

    /// The capability the Cap calls work on.
    int32_t Capability() const override { return m_cap.id; }
    /// Selects a capability; the values read by an earlier CapGet are cleared.
    void setCapability(int32_t id) override;
    /// 1 when the selected capability is supported (CAP_INDICATORS always is).
    int32_t CapSupported() override;
    /// Before CapGet the kind asked for; after it the kind delivered.
    int32_t CapContainer() const override { return m_cap.container; }
    /// See CapContainer.
    void setCapContainer(int32_t kind) override { m_cap.container = kind; }
    /// After CapGet the current value; set it before CapSet.
    double CapValue() const override { return m_cap.value; }
    /// See CapValue.
    void setCapValue(double value) override { m_cap.value = value; }
    /// The text form of the current value (or the device's text).
    QString CapText() const override;
    /// The default value read by CapGet.
    double CapDefault() const override { return m_cap.read ? m_cap.read->defaultValue : 0; }
    /// Range minimum read by CapGet.
    double CapMin() const override { return m_cap.read ? m_cap.read->min : 0; }
    /// Range maximum read by CapGet.
    double CapMax() const override { return m_cap.read ? m_cap.read->max : 0; }
    /// Range step read by CapGet.
    double CapStep() const override { return m_cap.read ? m_cap.read->step : 0; }
    /// Number of items (array, enumeration) read by CapGet.
    int32_t CapItemCount() const override {
        return m_cap.read ? int32_t(m_cap.read->items.size()) : 0;
    }
    /// The items read by CapGet.
    QVector<double> CapItems() const override {
        return m_cap.read ? m_cap.read->items : QVector<double>();
    }
    /// Reads the selected capability in its own container kind; 1 when read.
    int32_t CapGet() override;
    /// Sets the selected capability to CapValue; 1 when set.
    int32_t CapSet() override;

    /// Images acquired in this session, released ones included.
    int32_t ImageCount() const override { return m_images.count(); }
    /// Removes the images' page files and prepared files from the session cache and drops
    /// their pixels; ImagePicture of such an index is null, RotateImage and SaveImage refuse
    /// it (BadIndex).
    void ReleaseImages(const QVector<int32_t>& indices) override {
        const HeldEvents::Call call(m_events);
        m_images.release(indices);
    }
    /// The preview (fits within 1000x1400); null for an index out of range.
    QImage ImagePicture(int32_t index) const override { return m_images.preview(index); }
    /// Turns the full-resolution image by a multiple of 90 degrees (negative allowed).
    int32_t RotateImage(int32_t index, int32_t degrees) override;
    /// Writes the full-resolution image; throws ScanError when it cannot be written whole
    /// or the index is out of range. A page already encoded for this write in the
    /// background is moved into place (or, as a further TIFF page, copied) instead.
    int32_t SaveImage(int32_t index, const QString& path) override;
    /// "JPEG", "TIFF" or "PDF": each page is encoded in the background, as it arrives and
    /// after a rotation, into the file SaveImage will write for that document (a .jpg, a
    /// .tif page, a .pdfimg for the PDF writer) with the current JpegQuality and
    /// TiffCompression; any other text stops that. Leaves the status as it is.
    void setDocumentFormat(const QString& format) override;
    /// 1: a .tif save adds a page, except the first save of a path in this component's life,
    /// which starts the file afresh.
    int32_t TiffMultiPage() const override { return m_tiffMultiPage; }
    /// See TiffMultiPage.
    void setTiffMultiPage(int32_t value) override {
        m_tiffMultiPage = value;
        clearStatus();
    }

    /// Reads every image's words in `languages` on a thread of the component's own, beside
    /// the encoder, from its full-resolution pixels; an image is read again once turned, and
    /// all of them after a change of languages. Each image's words go into a words file in
    /// the session cache and leave with its other files. Empty (the default): no reading, no
    /// thread, no file. Without a text reader every image fails with "riconoscimento del
    /// testo non disponibile". Leaves the status.
    void setTextLanguages(const QString& languages) override {
        const HeldEvents::Call call(m_events);
        m_images.setTextLanguages(languages);
    }
    /// The words of image `index` as read for it as it is turned now.
    ImageText imageText(int32_t index) const override { return m_images.imageText(index); }
    /// Moves image `index` before the other images still to be read. Leaves the status.
    void readTextFirst(int32_t index) override {
        const HeldEvents::Call call(m_events);
        m_images.readTextFirst(index);
    }

    /// Recorded in the session cache's manifest (with the page files as they are now), so
    /// that a later session can give the pages back after a crash. Leaves the status.
    void setDocumentPages(const QVector<int32_t>& images) override {
        m_recovery.setDocumentPages(images);
    }
    /// Caches of this user's earlier sessions beside this one, whose lock nobody holds, with
    /// a manifest naming page files that are there; those without are removed silently.
    QList<InterruptedSession> interruptedSessions() override { return m_recovery.sessions(); }
    /// Moves the session's page files into this cache as new images (page order, turns
    /// kept); unreadable ones are left out. Leaves the status.
    int32_t recoverSession(const QString& id) override { return m_recovery.recover(id); }
    /// Removes the session's folder. Leaves the status.
    bool discardSession(const QString& id) override { return m_recovery.discard(id); }
    /// Writes the pages held in memory into the cache as far as it takes them, records the
    /// pages and leaves the cache behind. Leaves the status.
    int32_t keepPagesForRecovery() override { return m_recovery.keep(); }

    /// Code of the latest operation's outcome (0 = none).
    int32_t LastErrorCode() const override { return m_status.code; }
    /// Text of the latest operation's outcome ("" = none).
    QString LastErrorText() const override { return m_status.text; }
    /// The failures of the layers that did not start, each its text (or its code when it
    /// has none).
    QStringList layerFailures() const override;

    /// The session cache folder (empty when it could not be made). For tests and tools.
    QString cacheFolder() const { return m_images.cacheFolder(); }
    /// Images whose file for the document format is ready. For tests and tools.
    int preparedCount() const { return m_images.preparedCount(); }
    /// True when no page file or encoding is queued or under way. For tests and tools.
    bool imagesSettled() const { return m_images.settled(); }
    /// Bytes of page pixels in memory rather than in the cache. For tests and tools.
    qint64 bytesInMemory() const { return m_images.bytesInMemory(); }
    /// True when no image's words are queued or being read. For tests and tools.
    bool textSettled() const { return m_images.textSettled(); }

private:
    void setStatus(const DeviceStatus& status) { m_status = status; }
    void clearStatus() { m_status = {}; }
    /// Stores a value the component only keeps and reads back.
    void keep(int32_t& option, int32_t value) {
        option = value;
        clearStatus();
    }
    /// Sets `error` as the status and returns `result`: the failing exit of an operation.
    template <typename T> T fail(componentError::Code error, T result);
    bool deviceReady();
    std::optional<::Capability> capabilityOf(uint16_t id) const;
    double currentOf(uint16_t id, double fallback) const;
    /// The current value of a capability as the named getters read it: `fallback` (with an
    /// error) when no source is ready or it lacks the capability.
    template <typename T> T readCurrent(uint16_t id, T fallback);
    /// A sensor or feature the window only asks about: 0, without an error, when the device
    /// lacks it.
    double readSensor(uint16_t id);
    bool setDeviceValue(uint16_t id, double value);
    /// Sets a feeder or duplex switch; a source without it refuses only switching it on.
    void setSwitch(uint16_t id, int32_t value, int32_t& kept);
    QVector<int32_t> supportedList(uint16_t id);
    /// The lowest and highest value of a capability (0, 0 with an error when unreadable).
    std::pair<float, float> rangeOf(uint16_t id);
    void stopLayersWhenIdle();
    void onEnded(const AcquireOutcome& outcome);
    /// A page file is written (ok) or failed: a running acquisition stops at a failure, and
    /// an ended one reports it.
    void onPageFile(const DeviceStatus& result);
    /// Sends the end of the acquisition once every page file it handed the encoder is
    /// written (or failed).
    void endWhenStored();
    /// Sends the end of an acquisition that ends without the worker's word (closed, or
    /// refused before it started) from the event loop, with `status` as the last error
    /// (nullopt: the status stays as the caller leaves it).
    void postEnd(const std::optional<DeviceStatus>& status);
    /// Bytes of one page at the programmed resolution, pixel type and frame, as the cache
    /// stores it.
    qint64 programmedPageBytes() const;

    // Destroyed in reverse: the runner lets go of the device before the sources stop their
    // layers, and both before the images' cache folder goes.
    std::shared_ptr<ComponentDialogs> m_dialogs;
    SessionImages m_images;
    SessionRecovery m_recovery{m_images};
    SourceManager m_sources;
    std::unique_ptr<AcquisitionRunner> m_runner;

    int32_t m_startOptionA = 0, m_startOptionB = 0;
    int32_t m_scanOptionA = 0, m_scanOptionB = 0, m_scanOptionC = 0;
    int32_t m_imageLimit = kSessionImageLimit;
    int32_t m_feederEnabled = 0, m_autoFeed = 0, m_duplexEnabled = 0;
    bool m_indicators = false;
    int32_t m_tiffMultiPage = 0;
    /// The end of an acquisition whose page files are still being written (or whose end
    /// waits for the operation under way).
    std::optional<DeviceStatus> m_pendingEnd;
    /// Ends postEnd() has queued and not yet sent.
    int m_endsOnTheirWay = 0;
    /// The frame SetImageLayout set last, in inches; empty once a page size replaced it.
    QSizeF m_layoutInches;

    /// The generic capability interface: the capability selected, what a caller sets before
    /// CapSet, and what the latest CapGet (or list) read.
    struct CapCursor {
        int32_t id = 0;
        int32_t container = twain::OneValue;
        double value = 0;
        std::optional<::Capability> read;
    } m_cap;

    DeviceStatus m_status;
    /// The runner's and the images' events while an operation is under way. Last, so that
    /// what it holds (pages and their memory) goes before everything else.
    HeldEvents m_events{*this};
};
