#include "settings/ScanSettings.h"

#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "settings/IniDocument.h"

#include <QDebug>
#include <QFile>

#include <sys/stat.h>

namespace {

const QString mainSection = QStringLiteral("MAIN");

// Linux has no hidden or system attribute, so "a file that the directory lookup finds" is an
// existing regular file; stat follows a link, so a link counts when it leads to one.
bool settingsFileExists(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    return !name.isEmpty() && !name.contains('\0') && ::stat(name.constData(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

template <typename Field, typename Convert>
void assignNumber(Field& field, const QString& value, Convert convert) {
    // A value that does not convert leaves the field as it was.
    if (const auto number = convert(value))
        field = *number;
}

const QString pdfaKey = QStringLiteral("PDFA");

} // namespace

/// The values of the keys that came after the record's twelve fields, with their defaults.
struct ScanSettings::LaterKeys {
    QString pdfa;
};

ScanSettings::ScanSettings() : ScanSettings(defaultIniPath()) {}

ScanSettings::ScanSettings(const QString& iniPath) : iniFilePath(iniPath) {
    settingsAvailable = toVbBool(settingsFileExists(iniFilePath));
}

ScanSettings::ScanSettings(const ScanSettings& other)
    : ViewProgress(other.ViewProgress), ResultFormat(other.ResultFormat),
      PixelType(other.PixelType), Risoluzione(other.Risoluzione),
      BitColoreGreyLevel(other.BitColoreGreyLevel), BWThreshold(other.BWThreshold),
      JpegQualityTiffCompression(other.JpegQualityTiffCompression), Luminosita(other.Luminosita),
      Contrasto(other.Contrasto), Pagina(other.Pagina), area(other.area),
      settingsAvailable(other.settingsAvailable), iniFilePath(other.iniFilePath),
      m_later(other.m_later ? std::make_unique<LaterKeys>(*other.m_later) : nullptr) {}

ScanSettings::ScanSettings(ScanSettings&& other) noexcept = default;

ScanSettings& ScanSettings::operator=(const ScanSettings& other) {
    if (this != &other) {
        ScanSettings copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ScanSettings& ScanSettings::operator=(ScanSettings&& other) noexcept = default;

ScanSettings::~ScanSettings() = default;

ScanSettings::LaterKeys& ScanSettings::laterKeys() {
    if (!m_later)
        m_later = std::make_unique<LaterKeys>();
    return *m_later;
}

QString ScanSettings::PDFA() const {
    return m_later ? m_later->pdfa : QString();
}

void ScanSettings::setPDFA(const QString& value) {
    laterKeys().pdfa = value;
}

QString ScanSettings::defaultIniPath() {
    const QString fromEnvironment = qEnvironmentVariable("SCANSIONE_INI");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifdef _WIN32
    return QStringLiteral("C:\\Programmi\\Applicazioni\\Eseguibili\\Componenti\\scanner.ini");
#else
    return QStringLiteral("/etc/scansione/scanner.ini");
#endif
}

void loadScanSettings(ScanSettings& record, const IniDocument& document) {
    // The table order decides which field a name belongs to; the names are compared
    // upper-cased, so the file's letter case does not matter.
    enum Field {
        Pagina,
        Area,
        Tipo,
        Bit,
        Soglia,
        Qualita,
        Risoluzione,
        Formato,
        Contrasto,
        Luminosita
    };
    static const QString names[] = {
        QStringLiteral("PAGINA"),           QStringLiteral("AREA"),
        QStringLiteral("TIPOSCANSIONE"),    QStringLiteral("BITPERPIXEL"),
        QStringLiteral("SOGLIABIANCONERO"), QString::fromUtf8("QUALIT\u00c0JPEG"),
        QStringLiteral("RISOLUZIONE"),      QStringLiteral("FORMATO"),
        QStringLiteral("CONTRASTO"),        QStringLiteral("LUMINOSITA")};

    // The keys that came after the ten, each with the accessor that takes its text.
    static const std::pair<QString, void (ScanSettings::*)(const QString&)> laterKeys[] = {
        {QStringLiteral("PDFA"), &ScanSettings::setPDFA}};

    const QStringList keys = keysThroughBuffer(document.keys(mainSection));
    const QHash<QString, QString> values = document.sectionValues(mainSection);
    for (const QString& key : keys) {
        // NFC first, so an "à" written as "a" plus a combining accent is still recognised.
        const QString upper = key.normalized(QString::NormalizationForm_C).toUpper();
        int field = -1;
        for (int i = 0; i < int(std::size(names)); ++i) {
            if (upper == names[i]) {
                field = i;
                break;
            }
        }
        if (field < 0) {
            for (const auto& [name, set] : laterKeys) {
                if (upper == name) {
                    (record.*set)(valueThroughBuffer(values.value(key.toCaseFolded())));
                    break;
                }
            }
            continue;
        }
        // The value is looked up by the name exactly as the file writes it.
        const QString value = valueThroughBuffer(values.value(key.toCaseFolded()));
        switch (field) {
        case Pagina:
            record.Pagina = value;
            break;
        case Area:
            record.area = value;
            break;
        case Tipo:
            record.PixelType = value;
            break;
        case Formato:
            record.ResultFormat = value;
            break;
        case Bit:
            assignNumber(record.BitColoreGreyLevel, value, toInt16);
            break;
        case Soglia:
            assignNumber(record.BWThreshold, value, toInt16);
            break;
        case Qualita:
            assignNumber(record.JpegQualityTiffCompression, value, toInt16);
            break;
        case Contrasto:
            assignNumber(record.Contrasto, value, toInt16);
            break;
        case Luminosita:
            assignNumber(record.Luminosita, value, toInt16);
            break;
        case Risoluzione:
            assignNumber(record.Risoluzione, value, toInt32);
            break;
        }
    }
}

void ScanSettings::ReadIni() {
    // One read of the file serves the key list and every value: reading it again per key
    // would make a large file cost its size times the number of keys.
    loadScanSettings(*this, IniDocument::load(iniFilePath));
}

void ScanSettings::WriteIni() {
    QList<std::pair<QString, QString>> values = {
        {QStringLiteral("Pagina"), Pagina},
        {QStringLiteral("Area"), area},
        {QStringLiteral("TipoScansione"), PixelType},
        {QStringLiteral("BitPerPixel"), decimalText(BitColoreGreyLevel)},
        {QStringLiteral("SogliaBiancoNero"), decimalText(BWThreshold)},
        {QString::fromUtf8("Qualit\u00e0JPEG"), decimalText(JpegQualityTiffCompression)},
        {QStringLiteral("Risoluzione"), decimalText(Risoluzione)},
        {QStringLiteral("Formato"), ResultFormat},
        {QStringLiteral("Luminosita"), decimalText(Luminosita)},
        {QStringLiteral("Contrasto"), decimalText(Contrasto)},
    };
    // A later key goes into the file only when it is set, or to empty one the file has, so a
    // record that uses none writes the ten keys alone.
    if (!PDFA().isEmpty() || IniDocument::load(iniFilePath).value(mainSection, pdfaKey).has_value())
        values.append({pdfaKey, PDFA()});
    // All ten keys go into the file in one replacement, so a failure never leaves a record
    // half old and half new. A value that cannot be a single line (CR, LF, NUL) is refused
    // and the file is left as it was.
    if (!IniDocument::writeValues(iniFilePath, mainSection, values))
        qWarning() << "ScanSettings: could not write the settings into" << iniFilePath;
}
