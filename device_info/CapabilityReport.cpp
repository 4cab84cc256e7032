#include "device_info/CapabilityReport.h"

#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include "common/VbConvert.h"

#include <array>
#include <cmath>
#include <limits>

namespace {

const QString kLineEnd = QStringLiteral("\r\n");
const QString kSectionEnd = QStringLiteral("\r\n\r\n");
const QChar kTab = QLatin1Char('\t');
const QString kRule = QString(38, QLatin1Char('='));

// TWAIN capability ids and their constant names, in the order the lookup walks them. The ids
// are the standard's values; the table is kept in rising id order so that a misplaced or
// mistyped row shows up in the ordering check of the tests.
constexpr std::array<CapabilityName, 124> kCapabilityNames{{
    {0x0001, "CAP_XFERCOUNT"},
    {0x0100, "ICAP_COMPRESSION"},
    {0x0101, "ICAP_PIXELTYPE"},
    {0x0102, "ICAP_UNITS"},
    {0x0103, "ICAP_XFERMECH"},
    {0x1000, "CAP_AUTHOR"},
    {0x1001, "CAP_CAPTION"},
    {0x1002, "CAP_FEEDERENABLED"},
    {0x1003, "CAP_FEEDERLOADED"},
    {0x1004, "CAP_TIMEDATE"},
    {0x1005, "CAP_SUPPORTEDCAPS"},
    {0x1006, "CAP_EXTENDEDCAPS"},
    {0x1007, "CAP_AUTOFEED"},
    {0x1008, "CAP_CLEARPAGE"},
    {0x1009, "CAP_FEEDPAGE"},
    {0x100A, "CAP_REWINDPAGE"},
    {0x100B, "CAP_INDICATORS"},
    {0x100C, "CAP_SUPPORTEDCAPSEXT"},
    {0x100D, "CAP_PAPERDETECTABLE"},
    {0x100E, "CAP_UICONTROLLABLE"},
    {0x100F, "CAP_DEVICEONLINE"},
    {0x1010, "CAP_AUTOSCAN"},
    {0x1011, "CAP_THUMBNAILSENABLED"},
    {0x1012, "CAP_DUPLEX"},
    {0x1013, "CAP_DUPLEXENABLED"},
    {0x1014, "CAP_ENABLEDSUIONLY"},
    {0x1015, "CAP_CUSTOMDSDATA"},
    {0x1016, "CAP_ENDORSER"},
    {0x1017, "CAP_JOBCONTROL"},
    {0x1018, "CAP_ALARMS"},
    {0x1019, "CAP_ALARMVOLUME"},
    {0x101A, "CAP_AUTOMATICCAPTURE"},
    {0x101B, "CAP_TIMEBEFOREFIRSTCAPTURE"},
    {0x101C, "CAP_TIMEBETWEENCAPTURES"},
    {0x101D, "CAP_CLEARBUFFERS"},
    {0x101E, "CAP_MAXBATCHBUFFERS"},
    {0x101F, "CAP_DEVICETIMEDATE"},
    {0x1020, "CAP_POWERSUPPLY"},
    {0x1021, "CAP_CAMERAPREVIEWUI"},
    {0x1022, "CAP_DEVICEEVENT"},
    {0x1024, "CAP_SERIALNUMBER"},
    {0x1026, "CAP_PRINTER"},
    {0x1027, "CAP_PRINTERENABLED"},
    {0x1028, "CAP_PRINTERINDEX"},
    {0x1029, "CAP_PRINTERMODE"},
    {0x102A, "CAP_PRINTERSTRING"},
    {0x102B, "CAP_PRINTERSUFFIX"},
    {0x102C, "CAP_LANGUAGE"},
    {0x102D, "CAP_FEEDERALIGNMENT"},
    {0x102E, "CAP_FEEDERORDER"},
    {0x1030, "CAP_REACQUIREALLOWED"},
    {0x1032, "CAP_BATTERYMINUTES"},
    {0x1033, "CAP_BATTERYPERCENTAGE"},
    {0x1100, "ICAP_AUTOBRIGHT"},
    {0x1101, "ICAP_BRIGHTNESS"},
    {0x1103, "ICAP_CONTRAST"},
    {0x1104, "ICAP_CUSTHALFTONE"},
    {0x1105, "ICAP_EXPOSURETIME"},
    {0x1106, "ICAP_FILTER"},
    {0x1107, "ICAP_FLASHUSED"},
    {0x1108, "ICAP_GAMMA"},
    {0x1109, "ICAP_HALFTONES"},
    {0x110A, "ICAP_HIGHLIGHT"},
    {0x110C, "ICAP_IMAGEFILEFORMAT"},
    {0x110D, "ICAP_LAMPSTATE"},
    {0x110E, "ICAP_LIGHTSOURCE"},
    {0x1110, "ICAP_ORIENTATION"},
    {0x1111, "ICAP_PHYSICALWIDTH"},
    {0x1112, "ICAP_PHYSICALHEIGHT"},
    {0x1113, "ICAP_SHADOW"},
    {0x1114, "ICAP_FRAMES"},
    {0x1116, "ICAP_XNATIVERESOLUTION"},
    {0x1117, "ICAP_YNATIVERESOLUTION"},
    {0x1118, "ICAP_XRESOLUTION"},
    {0x1119, "ICAP_YRESOLUTION"},
    {0x111A, "ICAP_MAXFRAMES"},
    {0x111B, "ICAP_TILES"},
    {0x111C, "ICAP_BITORDER"},
    {0x111D, "ICAP_CCITTKFACTOR"},
    {0x111E, "ICAP_LIGHTPATH"},
    {0x111F, "ICAP_PIXELFLAVOR"},
    {0x1120, "ICAP_PLANARCHUNKY"},
    {0x1121, "ICAP_ROTATION"},
    {0x1122, "ICAP_SUPPORTEDSIZES"},
    {0x1123, "ICAP_THRESHOLD"},
    {0x1124, "ICAP_XSCALING"},
    {0x1125, "ICAP_YSCALING"},
    {0x1126, "ICAP_BITORDERCODES"},
    {0x1127, "ICAP_PIXELFLAVORCODES"},
    {0x1128, "ICAP_JPEGPIXELTYPE"},
    {0x112A, "ICAP_TIMEFILL"},
    {0x112B, "ICAP_BITDEPTH"},
    {0x112C, "ICAP_BITDEPTHREDUCTION"},
    {0x112D, "ICAP_UNDEFINEDIMAGESIZE"},
    {0x112E, "ICAP_IMAGEDATASET"},
    {0x112F, "ICAP_EXTIMAGEINFO"},
    {0x1130, "ICAP_MINIMUMHEIGHT"},
    {0x1131, "ICAP_MINIMUMWIDTH"},
    {0x1136, "ICAP_FLIPROTATION"},
    {0x1137, "ICAP_BARCODEDETECTIONENABLED"},
    {0x1138, "ICAP_SUPPORTEDBARCODETYPES"},
    {0x1139, "ICAP_BARCODEMAXSEARCHPRIORITIES"},
    {0x113A, "ICAP_BARCODESEARCHPRIORITIES"},
    {0x113B, "ICAP_BARCODESEARCHMODE"},
    {0x113C, "ICAP_BARCODEMAXRETRIES"},
    {0x113D, "ICAP_BARCODETIMEOUT"},
    {0x113E, "ICAP_ZOOMFACTOR"},
    {0x113F, "ICAP_PATCHCODEDETECTIONENABLED"},
    {0x1140, "ICAP_SUPPORTEDPATCHCODETYPES"},
    {0x1141, "ICAP_PATCHCODEMAXSEARCHPRIORITIES"},
    {0x1142, "ICAP_PATCHCODESEARCHPRIORITIES"},
    {0x1143, "ICAP_PATCHCODESEARCHMODE"},
    {0x1144, "ICAP_PATCHCODEMAXRETRIES"},
    {0x1145, "ICAP_PATCHCODETIMEOUT"},
    {0x1146, "ICAP_FLASHUSED2"},
    {0x1147, "ICAP_IMAGEFILTER"},
    {0x1148, "ICAP_NOISEFILTER"},
    {0x1149, "ICAP_OVERSCAN"},
    {0x1150, "ICAP_AUTOMATICBORDERDETECTION"},
    {0x1151, "ICAP_AUTOMATICDESKEW"},
    {0x1152, "ICAP_AUTOMATICROTATE"},
    {0x1153, "ICAP_JPEGQUALITY"},
    {0x1201, "ACAP_AUDIOFILEFORMAT"},
    {0x1202, "ACAP_XFERMECH"},
}};

constexpr std::array<const char*, 6> kUnitNames{"inches", "centimeters", "picas",
                                                "points", "twips",       "pixels"};
constexpr std::array<const char*, 10> kPixelTypeNames{"BW",   "GRAY", "RGB",  "PALETTE", "CMY",
                                                      "CMYK", "YUV",  "YUVK", "CIEXYZ",  "LAB"};
// Code 8 has no name of its own in the report and falls to "Other" like unknown codes.
constexpr std::array<const char*, 17> kPageSizeNames{
    "None",     "A4LETTER",    "B5LETTER", "USLETTER", "USLEGAL", "A5", "B4", "B6", nullptr,
    "USLEDGER", "USEXECUTIVE", "A3",       "B3",       "A6",      "C4", "C5", "C6"};

template <std::size_t N>
QString nameAt(const std::array<const char*, N>& names, int64_t code, const QString& other) {
    if (code < 0 || code >= static_cast<int64_t>(N) || names[code] == nullptr)
        return other;
    return QString::fromLatin1(names[code]);
}

/// A current value that the report takes as a 16-bit integer; a value that does not fit is
/// an error of the report, not something to wrap into another code.
int16_t toReportInt16(int64_t value, const char* what) {
    if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max())
        throw ScanError(QStringLiteral("%1 %2 does not fit a 16-bit integer")
                            .arg(QLatin1String(what))
                            .arg(value));
    return static_cast<int16_t>(value);
}

/// One entry of the capability id list: it must be a whole number within 32 bits.
int32_t toCapabilityId(double value) {
    if (!std::isfinite(value) || std::trunc(value) != value ||
        value < double(std::numeric_limits<int32_t>::min()) ||
        value > double(std::numeric_limits<int32_t>::max()))
        throw ScanError(QStringLiteral("capability id %1 is not a 32-bit whole number").arg(value));
    return static_cast<int32_t>(value);
}

/// Element j of the item list; a count that promises more items than the list holds is an
/// error rather than a read past its end.
double itemAt(const QVector<double>& items, int64_t j) {
    if (j < 0 || j >= items.size())
        throw ScanError(QStringLiteral("capability item %1 missing: the list holds %2 items")
                            .arg(j)
                            .arg(items.size()));
    return items.at(j);
}

/// "Current ...: name" and "Supported ...: names" of units, pixel types and page sizes;
/// nothing but the message when the component reports the current value as -1.
template <typename ReadCurrent, typename ReadList>
void appendNamedSection(QString& text, ScanComponent& scanner, const ReportMessage& message,
                        const char* what, const QString& failurePrompt, const QString& currentLabel,
                        const QString& listLabel, QString (*name)(int64_t), ReadCurrent readCurrent,
                        ReadList readList) {
    const int16_t current = toReportInt16(readCurrent(), what);
    if (current == -1) {
        message(failurePrompt + scanner.LastErrorText());
        return;
    }
    text += currentLabel + name(current) + kLineEnd;
    const QVector<int32_t> supported = readList();
    QString list = listLabel;
    if (scanner.LastErrorCode() == 0) {
        for (int32_t code : supported)
            list += name(code) + QLatin1Char(' ');
    }
    text += list + kSectionEnd;
}

void appendResolutions(QString& text, ScanComponent& scanner, const ReportMessage& message) {
    const int16_t current = toReportInt16(scanner.Resolution(), "resolution");
    // The component reports a resolution it cannot read as 0, not as -1.
    if (current == 0) {
        message(QStringLiteral("Can't get resolution: ") + scanner.LastErrorText());
        return;
    }
    text += QStringLiteral("Current resolution: ") + numberText(current) + QStringLiteral(" dpi") +
            kLineEnd;
    const QVector<int32_t> supported = scanner.SupportedResolutions();
    QString list = QStringLiteral("Supported resolutions: ");
    if (scanner.LastErrorCode() == 0) {
        if (scanner.CapContainer() == 3) {
            list += QStringLiteral("min =") + numberText(scanner.CapMin()) +
                    QStringLiteral(" dpi, max =") + numberText(scanner.CapMax()) +
                    QStringLiteral(" dpi, step size =") + numberText(scanner.CapStep()) +
                    QStringLiteral(" dpi");
        } else {
            for (int32_t dpi : supported)
                list += numberText(dpi) + QLatin1Char(' ');
            list += QStringLiteral("dpi");
        }
    }
    text += list + kSectionEnd;
}

/// The ids that CAP_SUPPORTEDCAPS lists, at most kCapabilityIdSlots of them.
QVector<int32_t> listedCapabilityIds(ScanComponent& scanner) {
    scanner.setCapability(twain::CAP_SUPPORTEDCAPS);
    scanner.setCapContainer(twain::Enumeration);
    if (scanner.CapGet() != 1)
        return {};
    const int16_t count = toReportInt16(scanner.CapItemCount(), "capability count");
    if (count < 1)
        return {};
    // The id table has a fixed number of places; a longer list abandons the report rather
    // than writing past the table.
    if (count > kCapabilityIdSlots)
        throw ScanError(QStringLiteral("the source lists %1 capabilities, more than the %2 "
                                       "the report can hold")
                            .arg(count)
                            .arg(kCapabilityIdSlots));
    const QVector<double> items = scanner.CapItems();
    QVector<int32_t> ids;
    ids.reserve(count);
    for (int j = 0; j < count; ++j)
        ids << toCapabilityId(itemAt(items, j));
    return ids;
}

QString itemListLine(ScanComponent& scanner) {
    QString line = numberText(scanner.CapValue()) + kTab;
    const int32_t count = scanner.CapItemCount();
    line += numberText(count);
    const QVector<double> items = count > 0 ? scanner.CapItems() : QVector<double>();
    for (int64_t j = 0; j < count; ++j)
        line += numberText(itemAt(items, j)) + QLatin1Char(' ');
    return line;
}

/// The lines of one supported capability: one for every container kind the component
/// delivers when asked for it, then an empty line.
void appendCapability(QString& text, ScanComponent& scanner, int32_t id) {
    const QString name = NomeCapacita(id);
    for (int32_t kind = 1; kind <= 4; ++kind) {
        scanner.setCapContainer(kind);
        scanner.CapGet();
        if (scanner.CapContainer() != kind)
            continue;
        QString line = name + kTab;
        switch (kind) {
        case 1:
            line += QStringLiteral(" O ") + kTab + numberText(scanner.CapValue()) + kTab +
                    QLatin1Char('\'') + scanner.CapText() + QLatin1Char('\'');
            break;
        case 2:
        case 4:
            line += (kind == 2 ? QStringLiteral(" A ") : QStringLiteral(" E ")) + kTab +
                    itemListLine(scanner);
            break;
        case 3:
            line += QStringLiteral(" R ") + kTab;
            for (double v : {scanner.CapValue(), scanner.CapDefault(), scanner.CapMin(),
                             scanner.CapMax(), scanner.CapStep()})
                line += numberText(v) + kTab;
            break;
        }
        text += line + kLineEnd;
    }
    text += kLineEnd;
}

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

std::span<const CapabilityName> capabilityNames() {
    return kCapabilityNames;
}

QString InfoDispositivo(ScanComponent& VSTSCAN, const ReportMessage& message) {
    // A source that is already open belongs to a running acquisition: leave it alone.
    if (VSTSCAN.DataSourceOpen() != 0)
        return QString();
    VSTSCAN.OpenDataSource();

    QString text = kRule + kSectionEnd;
    text +=
        QStringLiteral("Device name: ") + VSTSCAN.SourceName(VSTSCAN.SourceIndex()) + kSectionEnd;

    appendNamedSection(
        text, VSTSCAN, message, "unit of measure",
        QStringLiteral("Can't get current unit of measure: "),
        QStringLiteral("Current unit of measure: "), QStringLiteral("Supported units of measure: "),
        NomeUnitaMisura, [&] { return VSTSCAN.Unit(); }, [&] { return VSTSCAN.SupportedUnits(); });
    appendNamedSection(
        text, VSTSCAN, message, "pixel type", QStringLiteral("Can't get current pixel type: "),
        QStringLiteral("Current pixel type: "), QStringLiteral("Supported pixel types: "),
        NomeTipoPixel, [&] { return VSTSCAN.ImagePixelType(); },
        [&] { return VSTSCAN.SupportedPixelTypes(); });
    appendResolutions(text, VSTSCAN, message);
    appendNamedSection(
        text, VSTSCAN, message, "page size", QStringLiteral("Can't get page size: "),
        QStringLiteral("Current page size: "), QStringLiteral("Supported page sizes: "),
        NomeFormatoPagina, [&] { return VSTSCAN.PageSize(); },
        [&] { return VSTSCAN.SupportedPageSizes(); });

    text += kRule + kSectionEnd;
    text += QStringLiteral("Device capabilities:") + kSectionEnd;

    for (int32_t id : listedCapabilityIds(VSTSCAN)) {
        VSTSCAN.setCapability(id);
        if (VSTSCAN.CapSupported() == 0)
            continue;
        appendCapability(text, VSTSCAN, id);
    }

    VSTSCAN.CloseDataSource();
    return trimBlanks(text);
}

QString NomeUnitaMisura(int64_t code) {
    return nameAt(kUnitNames, code, QString());
}

QString NomeTipoPixel(int64_t code) {
    return nameAt(kPixelTypeNames, code, QString());
}

QString NomeFormatoPagina(int64_t code) {
    return nameAt(kPageSizeNames, code, QStringLiteral("Other"));
}

QString NomeCapacita(int64_t id) {
    for (const CapabilityName& row : kCapabilityNames) {
        if (row.id == id)
            return QString::fromLatin1(row.name);
    }
    return QStringLiteral("Custom capability (") + numberText(double(id)) + QLatin1Char(')');
}
