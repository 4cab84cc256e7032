#pragma once
#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include <QHash>
#include <QImage>
#include <QStringList>
#include <QVariant>
#include <functional>

/// A scripted stand-in for the acquisition component. Every call is recorded in `calls` in
/// order: a getter or action as its name ("DataSourceOpen", "Acquire"), a setter as
/// "Name=value" ("ImagePixelType=2", "Brightness=120"), a call with arguments as
/// "Name(a,b)" ("SourceName(0)", "SetImageLayout(0,0,21,29.7)").
/// Answers come from `values` (keyed by the getter's name); a setter stores into the same
/// map, so a getter reads back what was set. `errors` sets LastErrorCode/LastErrorText after
/// a call of that name (setters as "setName"), `throwing` makes a call throw ScanError, and
/// `onCall` runs for every recorded call.
class FakeScanComponent : public ScanComponent {
    Q_OBJECT
public:
    struct Error {
        int32_t code;
        QString text;
    };
    struct Cap {
        int32_t container = 1; // what CapGet delivers
        double value = 0, def = 0, min = 0, max = 0, step = 0;
        QString text{};
        QVector<double> items{};
        bool supported = true;
    };

    FakeScanComponent();

    mutable QStringList calls;
    QHash<QString, QVariant> values;
    QHash<QString, Error> errors;
    QSet<QString> throwing;
    QHash<int32_t, Cap> caps;
    QVector<QImage> images;
    /// The indices handed to ReleaseImages, in order (not in `calls`: the window's other
    /// calls are checked in order, and a release is no operation of theirs).
    QVector<int32_t> released;
    /// Text recognition and page clean-up as the window asks for them (not in `calls` either):
    /// each setTextLanguages value, each setPageCleanup, each readTextFirst index in order.
    /// imageText answers from `texts` (State::None for an image not in it), or throws when
    /// `throwing` holds "imageText".
    QStringList textLanguages;
    QVector<PageCleanup> cleanups;
    QVector<int32_t> readFirst;
    QHash<int32_t, ImageText> texts;
    /// Runs for readTextFirst after it is recorded (answer at once, ...).
    std::function<void(int32_t index)> onReadFirst;
    QStringList sourceNames{QStringLiteral("Fake scanner")};
    std::function<void(const QString& call)> onCall;
    /// Runs for SaveImage after it is recorded (write a file, throw, ...).
    std::function<void(int32_t index, const QString& path)> onSave;

    /// Calls recorded with this name (getter/action name, "Name=..." or "Name(...)").
    QStringList callsNamed(const QString& name) const;
    /// Appends an image to the buffer and emits PostScan(0).
    void deliver(const QImage& image = QImage());
    /// Closes the source, sets the error state and emits PostScan(flag).
    void finish(int32_t code = 0, const QString& text = QString(), int32_t flag = 1);

    int32_t OpenSourceManager() override;
    void CloseSourceManager() override;
    int32_t OpenDataSource() override;
    int32_t CloseDataSource() override;
    int32_t DataSourceOpen() const override;
    int32_t StartOptionA() const override;
    void setStartOptionA(int32_t value) override;
    int32_t StartOptionB() const override;
    void setStartOptionB(int32_t value) override;
    int32_t SourceCount() const override;
    QString SourceName(int32_t index) const override;
    int32_t SourceIndex() const override;
    void setSourceIndex(int32_t index) override;
    int32_t SelectSource() override;
    int32_t TransferMode() const override;
    void setTransferMode(int32_t mode) override;
    int32_t ImageLimit() const override;
    void setImageLimit(int32_t limit) override;
    int32_t FeederEnabled() const override;
    void setFeederEnabled(int32_t value) override;
    int32_t AutoFeed() const override;
    void setAutoFeed(int32_t value) override;
    int32_t FeederPresent() override;
    int32_t PaperDetectable() override;
    int32_t FeederLoaded() override;
    int32_t DuplexSupported() override;
    int32_t DuplexEnabled() const override;
    void setDuplexEnabled(int32_t value) override;
    int32_t Acquire() override;
    int32_t ImagePixelType() override;
    void setImagePixelType(int32_t type) override;
    int32_t Resolution() override;
    void setResolution(int32_t dpi) override;
    int32_t Unit() override;
    void setUnit(int32_t unit) override;
    int32_t PageSize() override;
    void setPageSize(int32_t size) override;
    int32_t JpegQuality() const override;
    void setJpegQuality(int32_t quality) override;
    int32_t TiffCompression() const override;
    void setTiffCompression(int32_t compression) override;
    float Brightness() override;
    void setBrightness(float value) override;
    float BrightnessMin() override;
    float BrightnessMax() override;
    float Contrast() override;
    void setContrast(float value) override;
    float ContrastMin() override;
    float ContrastMax() override;
    int32_t ScanOptionA() const override;
    void setScanOptionA(int32_t value) override;
    int32_t ScanOptionB() const override;
    void setScanOptionB(int32_t value) override;
    int32_t ScanOptionC() const override;
    void setScanOptionC(int32_t value) override;
    QVector<int32_t> SupportedResolutions() override;
    QVector<int32_t> SupportedUnits() override;
    QVector<int32_t> SupportedPixelTypes() override;
    QVector<int32_t> SupportedPageSizes() override;
    int32_t SetImageLayout(float left, float top, float right, float bottom) override;
    int32_t Capability() const override;
    void setCapability(int32_t id) override;
    int32_t CapSupported() override;
    int32_t CapContainer() const override;
    void setCapContainer(int32_t kind) override;
    double CapValue() const override;
    void setCapValue(double value) override;
    QString CapText() const override;
    double CapDefault() const override;
    double CapMin() const override;
    double CapMax() const override;
    double CapStep() const override;
    int32_t CapItemCount() const override;
    QVector<double> CapItems() const override;
    int32_t CapGet() override;
    int32_t CapSet() override;
    int32_t ImageCount() const override;
    QImage ImagePicture(int32_t index) const override;
    void ReleaseImages(const QVector<int32_t>& indices) override { released += indices; }
    int32_t RotateImage(int32_t index, int32_t degrees) override;
    int32_t SaveImage(int32_t index, const QString& path) override;
    void setTextLanguages(const QString& languages) override { textLanguages << languages; }
    ImageText imageText(int32_t index) const override {
        if (throwing.contains(QStringLiteral("imageText")))
            throw ScanError(QStringLiteral("componente non raggiungibile"));
        return texts.value(index);
    }
    void readTextFirst(int32_t index) override {
        readFirst << index;
        if (onReadFirst)
            onReadFirst(index);
    }
    void setPageCleanup(const PageCleanup& cleanup) override { cleanups << cleanup; }
    /// Sets the text of image `index` and says so, as the component does once it is read.
    void textRead(int32_t index, const ImageText& text) {
        texts[index] = text;
        Q_EMIT ImageTextReady(index);
    }
    int32_t TiffMultiPage() const override;
    void setTiffMultiPage(int32_t value) override;
    int32_t LastErrorCode() const override;
    QString LastErrorText() const override;

private:
    /// Records the call, applies `errors`/`throwing`, runs onCall.
    void record(const QString& name, const QString& entry, bool operation) const;
    void recordSet(const QString& name, const QVariant& value);
    int32_t intValue(const QString& name, int32_t fallback = 0) const;
    float floatValue(const QString& name, float fallback = 0) const;
    const Cap* selectedCap() const;

    mutable int32_t m_errorCode = 0;
    mutable QString m_errorText;
    int32_t m_selectedCap = 0;
    int32_t m_requestedContainer = 0;
    int32_t m_deliveredContainer = 0;
    double m_capValue = 0;
};
