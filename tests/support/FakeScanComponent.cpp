#include "support/FakeScanComponent.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"

namespace {
QString num(double v) {
    return QString::number(v);
}
} // namespace

FakeScanComponent::FakeScanComponent() {
    values["OpenSourceManager"] = 1;
    values["OpenDataSource"] = 1;
    values["DataSourceOpen"] = 0;
    values["SourceIndex"] = 0;
    values["ImageLimit"] = 0;
    values["BrightnessMin"] = -1000;
    values["BrightnessMax"] = 1000;
    values["ContrastMin"] = -1000;
    values["ContrastMax"] = 1000;
    values["DuplexSupported"] = 0;
    values["Acquire"] = 1;
}

void FakeScanComponent::record(const QString& name, const QString& entry, bool operation) const {
    calls << entry;
    if (operation) {
        m_errorCode = 0;
        m_errorText.clear();
    }
    if (auto it = errors.constFind(name); it != errors.constEnd()) {
        m_errorCode = it->code;
        m_errorText = it->text;
    }
    if (onCall)
        onCall(entry);
    if (throwing.contains(name))
        throw ScanError(QStringLiteral("fake failure in ") + name);
}

void FakeScanComponent::recordSet(const QString& name, const QVariant& value) {
    record(QStringLiteral("set") + name, name + QLatin1Char('=') + value.toString(), true);
    values[name] = value;
}

int32_t FakeScanComponent::intValue(const QString& name, int32_t fallback) const {
    auto it = values.constFind(name);
    return it == values.constEnd() ? fallback : it->toInt();
}

float FakeScanComponent::floatValue(const QString& name, float fallback) const {
    auto it = values.constFind(name);
    return it == values.constEnd() ? fallback : it->toFloat();
}

QStringList FakeScanComponent::callsNamed(const QString& name) const {
    QStringList out;
    for (const QString& c : calls)
        if (c == name || c.startsWith(name + QLatin1Char('=')) ||
            c.startsWith(name + QLatin1Char('(')))
            out << c;
    return out;
}

void FakeScanComponent::deliver(const QImage& image) {
    images << image;
    Q_EMIT PostScan(0);
}

void FakeScanComponent::finish(int32_t code, const QString& text, int32_t flag) {
    values["DataSourceOpen"] = 0;
    m_errorCode = code;
    m_errorText = text;
    Q_EMIT PostScan(flag);
}

#define FAKE_GET(Type, Name, conv)                                                                 \
    Type FakeScanComponent::Name() const {                                                         \
        record(QStringLiteral(#Name), QStringLiteral(#Name), false);                               \
        return conv(QStringLiteral(#Name));                                                        \
    }
#define FAKE_GET_NC(Type, Name, conv)                                                              \
    Type FakeScanComponent::Name() {                                                               \
        record(QStringLiteral(#Name), QStringLiteral(#Name), false);                               \
        return conv(QStringLiteral(#Name));                                                        \
    }
#define FAKE_SET(Type, Name)                                                                       \
    void FakeScanComponent::set##Name(Type value) {                                                \
        recordSet(QStringLiteral(#Name), value);                                                   \
    }
#define FAKE_ACTION(Name)                                                                          \
    int32_t FakeScanComponent::Name() {                                                            \
        record(QStringLiteral(#Name), QStringLiteral(#Name), true);                                \
        return intValue(QStringLiteral(#Name));                                                    \
    }

int32_t FakeScanComponent::OpenSourceManager() {
    record("OpenSourceManager", "OpenSourceManager", true);
    return intValue("OpenSourceManager");
}
void FakeScanComponent::CloseSourceManager() {
    record("CloseSourceManager", "CloseSourceManager", true);
}
int32_t FakeScanComponent::OpenDataSource() {
    record("OpenDataSource", "OpenDataSource", true);
    int32_t r = intValue("OpenDataSource");
    if (r == 1)
        values["DataSourceOpen"] = 1;
    return r;
}
int32_t FakeScanComponent::CloseDataSource() {
    record("CloseDataSource", "CloseDataSource", true);
    int32_t was = intValue("DataSourceOpen");
    values["DataSourceOpen"] = 0;
    return was ? 1 : 0;
}
FAKE_GET(int32_t, DataSourceOpen, intValue)
FAKE_GET(int32_t, StartOptionA, intValue)
FAKE_SET(int32_t, StartOptionA)
FAKE_GET(int32_t, StartOptionB, intValue)
FAKE_SET(int32_t, StartOptionB)

int32_t FakeScanComponent::SourceCount() const {
    record("SourceCount", "SourceCount", false);
    return values.contains("SourceCount") ? intValue("SourceCount") : int32_t(sourceNames.size());
}
QString FakeScanComponent::SourceName(int32_t index) const {
    record("SourceName", QStringLiteral("SourceName(%1)").arg(index), false);
    if (index < 0 || index >= sourceNames.size())
        throw ScanError(QStringLiteral("source index out of range"));
    return sourceNames.at(index);
}
FAKE_GET(int32_t, SourceIndex, intValue)
void FakeScanComponent::setSourceIndex(int32_t index) {
    record("setSourceIndex", QStringLiteral("SourceIndex=%1").arg(index), true);
    if (index < 0 || index >= SourceCount())
        throw ScanError(QStringLiteral("source index out of range"));
    values["SourceIndex"] = index;
}
int32_t FakeScanComponent::SelectSource() {
    record("SelectSource", "SelectSource", true);
    if (values.contains("SelectSourceChoice"))
        values["SourceIndex"] = values.value("SelectSourceChoice");
    return 1;
}

FAKE_GET(int32_t, TransferMode, intValue)
FAKE_SET(int32_t, TransferMode)
FAKE_GET(int32_t, ImageLimit, intValue)
FAKE_SET(int32_t, ImageLimit)
FAKE_GET(int32_t, FeederEnabled, intValue)
FAKE_SET(int32_t, FeederEnabled)
FAKE_GET(int32_t, AutoFeed, intValue)
FAKE_SET(int32_t, AutoFeed)
FAKE_ACTION(FeederPresent)
FAKE_ACTION(PaperDetectable)
FAKE_ACTION(FeederLoaded)
FAKE_ACTION(DuplexSupported)
FAKE_GET(int32_t, DuplexEnabled, intValue)
FAKE_SET(int32_t, DuplexEnabled)
FAKE_ACTION(Acquire)

FAKE_GET_NC(int32_t, ImagePixelType, intValue)
FAKE_SET(int32_t, ImagePixelType)
FAKE_GET_NC(int32_t, Resolution, intValue)
FAKE_SET(int32_t, Resolution)
FAKE_GET_NC(int32_t, Unit, intValue)
FAKE_SET(int32_t, Unit)
FAKE_GET_NC(int32_t, PageSize, intValue)
FAKE_SET(int32_t, PageSize)
FAKE_GET(int32_t, JpegQuality, intValue)
FAKE_SET(int32_t, JpegQuality)
FAKE_GET(int32_t, TiffCompression, intValue)
FAKE_SET(int32_t, TiffCompression)
FAKE_GET_NC(float, Brightness, floatValue)
FAKE_SET(float, Brightness)
FAKE_GET_NC(float, BrightnessMin, floatValue)
FAKE_GET_NC(float, BrightnessMax, floatValue)
FAKE_GET_NC(float, Contrast, floatValue)
FAKE_SET(float, Contrast)
FAKE_GET_NC(float, ContrastMin, floatValue)
FAKE_GET_NC(float, ContrastMax, floatValue)
FAKE_GET(int32_t, ScanOptionA, intValue)
FAKE_SET(int32_t, ScanOptionA)
FAKE_GET(int32_t, ScanOptionB, intValue)
FAKE_SET(int32_t, ScanOptionB)
FAKE_GET(int32_t, ScanOptionC, intValue)
FAKE_SET(int32_t, ScanOptionC)

namespace {
QVector<int32_t> intList(const QVariant& v) {
    QVector<int32_t> out;
    for (const QVariant& e : v.toList())
        out << e.toInt();
    return out;
}
} // namespace

// The lists select their capability, as the real component does, so that the report's
// CapContainer/CapMin/CapMax/CapStep after SupportedResolutions describe the resolutions.
#define FAKE_LIST(Name, capId)                                                                     \
    QVector<int32_t> FakeScanComponent::Name() {                                                   \
        record(QStringLiteral(#Name), QStringLiteral(#Name), true);                                \
        m_selectedCap = capId;                                                                     \
        if (const Cap* c = selectedCap())                                                          \
            m_deliveredContainer = c->container;                                                   \
        return intList(values.value(QStringLiteral(#Name)));                                       \
    }
FAKE_LIST(SupportedResolutions, twain::ICAP_XRESOLUTION)
FAKE_LIST(SupportedUnits, twain::ICAP_UNITS)
FAKE_LIST(SupportedPixelTypes, twain::ICAP_PIXELTYPE)
FAKE_LIST(SupportedPageSizes, twain::ICAP_SUPPORTEDSIZES)

int32_t FakeScanComponent::SetImageLayout(float left, float top, float right, float bottom) {
    record("SetImageLayout",
           QStringLiteral("SetImageLayout(%1,%2,%3,%4)")
               .arg(num(left), num(top), num(right), num(bottom)),
           true);
    return 1;
}

int32_t FakeScanComponent::Capability() const {
    record("Capability", "Capability", false);
    return m_selectedCap;
}
void FakeScanComponent::setCapability(int32_t id) {
    record("setCapability", QStringLiteral("Capability=%1").arg(id), true);
    m_selectedCap = id;
}
const FakeScanComponent::Cap* FakeScanComponent::selectedCap() const {
    auto it = caps.constFind(m_selectedCap);
    return it == caps.constEnd() ? nullptr : &*it;
}
int32_t FakeScanComponent::CapSupported() {
    record("CapSupported", "CapSupported", false);
    const Cap* c = selectedCap();
    return c && c->supported ? 1 : 0;
}
int32_t FakeScanComponent::CapContainer() const {
    record("CapContainer", "CapContainer", false);
    return m_deliveredContainer;
}
void FakeScanComponent::setCapContainer(int32_t kind) {
    record("setCapContainer", QStringLiteral("CapContainer=%1").arg(kind), true);
    m_requestedContainer = kind;
    m_deliveredContainer = kind;
}
double FakeScanComponent::CapValue() const {
    record("CapValue", "CapValue", false);
    const Cap* c = selectedCap();
    return c ? c->value : m_capValue;
}
void FakeScanComponent::setCapValue(double value) {
    record("setCapValue", QStringLiteral("CapValue=%1").arg(num(value)), true);
    m_capValue = value;
}
#define FAKE_CAP_READ(Type, Name, member, fallback)                                                \
    Type FakeScanComponent::Name() const {                                                         \
        record(QStringLiteral(#Name), QStringLiteral(#Name), false);                               \
        const Cap* c = selectedCap();                                                              \
        return c ? c->member : fallback;                                                           \
    }
FAKE_CAP_READ(QString, CapText, text, QString())
FAKE_CAP_READ(double, CapDefault, def, 0)
FAKE_CAP_READ(double, CapMin, min, 0)
FAKE_CAP_READ(double, CapMax, max, 0)
FAKE_CAP_READ(double, CapStep, step, 0)
FAKE_CAP_READ(int32_t, CapItemCount, items.size(), 0)
FAKE_CAP_READ(QVector<double>, CapItems, items, QVector<double>())

int32_t FakeScanComponent::CapGet() {
    record("CapGet", "CapGet", true);
    const Cap* c = selectedCap();
    if (!c)
        return 0;
    m_deliveredContainer = c->container;
    return 1;
}
int32_t FakeScanComponent::CapSet() {
    record("CapSet", "CapSet", true);
    auto it = caps.find(m_selectedCap);
    if (it == caps.end())
        return 0;
    it->value = m_capValue;
    return 1;
}

int32_t FakeScanComponent::ImageCount() const {
    record("ImageCount", "ImageCount", false);
    return values.contains("ImageCount") ? intValue("ImageCount") : int32_t(images.size());
}
QImage FakeScanComponent::ImagePicture(int32_t index) const {
    record("ImagePicture", QStringLiteral("ImagePicture(%1)").arg(index), false);
    return index >= 0 && index < images.size() ? images.at(index) : QImage();
}
int32_t FakeScanComponent::RotateImage(int32_t index, int32_t degrees) {
    record("RotateImage", QStringLiteral("RotateImage(%1,%2)").arg(index).arg(degrees), true);
    if (index >= 0 && index < images.size())
        images[index] = images[index].transformed(QTransform().rotate(degrees));
    return 1;
}
int32_t FakeScanComponent::SaveImage(int32_t index, const QString& path) {
    record("SaveImage", QStringLiteral("SaveImage(%1,%2)").arg(index).arg(path), true);
    if (onSave)
        onSave(index, path);
    return 1;
}
FAKE_GET(int32_t, TiffMultiPage, intValue)
FAKE_SET(int32_t, TiffMultiPage)

int32_t FakeScanComponent::LastErrorCode() const {
    calls << QStringLiteral("LastErrorCode");
    return m_errorCode;
}
QString FakeScanComponent::LastErrorText() const {
    calls << QStringLiteral("LastErrorText");
    return m_errorText;
}
