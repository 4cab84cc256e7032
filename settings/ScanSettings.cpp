#include "settings/ScanSettings.h"

#include "common/ShownText.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "settings/IniDocument.h"
#include "settings/SettingsWarnings.h"

#include <QDebug>
#include <QFile>

#include <limits>

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

const QString mainHeader = QStringLiteral("[MAIN]");

// A value that does not convert leaves the field as it was, and is said when it was meant
// to be a number (an empty value just leaves the key unset).
template <typename Field, typename Convert>
void assignNumber(Field& field, const QString& key, const QString& value, Convert convert,
                  QList<SettingsWarning>* warnings) {
    if (const auto number = convert(value)) {
        field = *number;
        return;
    }
    if (!warnings || trimBlanks(value).isEmpty())
        return;
    warnings->append(
        {QStringLiteral("impostazione %1=%2 non usata: serve un numero intero da %3 a %4 "
                        "(resta %5)")
             .arg(shownText(key), shownText(value), decimalText(std::numeric_limits<Field>::min()),
                  decimalText(std::numeric_limits<Field>::max()), decimalText(field)),
         key.normalized(QString::NormalizationForm_C).toUpper(), qint64(field)});
}

// Why the section could not be used, in the texts of loadScanSettings.
QString missingSectionText(const IniDocument& document, const QString& fileName) {
    const QString file = shownText(fileName);
    const QString outcome =
        QStringLiteral("nessuna impostazione letta, valgono quelle predefinite");
    if (document.looksLikeUtf16WithoutBom())
        return QStringLiteral("il file delle impostazioni %1 sembra testo UTF-16 senza BOM, "
                              "di cui non si conosce l'ordine dei byte: %2 (salvarlo in UTF-8 "
                              "o in UTF-16 con BOM)")
            .arg(file, outcome);
    if (const qsizetype line = document.unclosedHeaderLine(mainSection))
        return QStringLiteral("il file delle impostazioni %1 apre la sezione %2 alla riga %3 "
                              "senza chiuderla con \"]\": %4")
            .arg(file, mainHeader.chopped(1), decimalText(line), outcome);
    return QStringLiteral("il file delle impostazioni %1 non ha la sezione %2: %3")
        .arg(file, mainHeader, outcome);
}

// The value a number warning was about, as the record holds it now.
std::optional<qint64> numberField(const ScanSettings& s, const QString& key) {
    if (key == QLatin1String("RISOLUZIONE"))
        return s.Risoluzione;
    if (key == QLatin1String("BITPERPIXEL"))
        return s.BitColoreGreyLevel;
    if (key == QLatin1String("SOGLIABIANCONERO"))
        return s.BWThreshold;
    if (key == QString::fromUtf8("QUALIT\u00c0JPEG"))
        return s.JpegQualityTiffCompression;
    if (key == QLatin1String("LUMINOSITA"))
        return s.Luminosita;
    if (key == QLatin1String("CONTRASTO"))
        return s.Contrasto;
    return std::nullopt;
}

} // namespace

/// The values of the keys that came after the record's twelve fields, with their defaults.
struct ScanSettings::LaterKeys {
    QString pdfa;
    QString ocr;
    QString ocrLanguages;
    QString blankPages;
    QString autoRotate;
    QString straighten;
    /// What the latest ReadIni could not read or use: it travels with the record's copies.
    QList<SettingsWarning> readWarnings;
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

QString ScanSettings::OCR() const {
    return m_later ? m_later->ocr : QString();
}

void ScanSettings::setOCR(const QString& value) {
    laterKeys().ocr = value;
}

QString ScanSettings::LinguaOCR() const {
    return m_later ? m_later->ocrLanguages : QString();
}

void ScanSettings::setLinguaOCR(const QString& value) {
    laterKeys().ocrLanguages = value;
}

QString ScanSettings::PagineBianche() const {
    return m_later ? m_later->blankPages : QString();
}

void ScanSettings::setPagineBianche(const QString& value) {
    laterKeys().blankPages = value;
}

QString ScanSettings::RuotaAutomatica() const {
    return m_later ? m_later->autoRotate : QString();
}

void ScanSettings::setRuotaAutomatica(const QString& value) {
    laterKeys().autoRotate = value;
}

QString ScanSettings::Raddrizza() const {
    return m_later ? m_later->straighten : QString();
}

void ScanSettings::setRaddrizza(const QString& value) {
    laterKeys().straighten = value;
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

QStringList ScanSettings::readWarnings() const {
    QStringList texts;
    if (!m_later)
        return texts;
    for (const SettingsWarning& w : std::as_const(m_later->readWarnings))
        if (w.key.isEmpty() || numberField(*this, w.key) == w.kept)
            texts.append(w.text);
    return texts;
}

void loadScanSettings(ScanSettings& record, const IniDocument& document,
                      QList<SettingsWarning>* warnings, const QString& fileName) {
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
        {QStringLiteral("PDFA"), &ScanSettings::setPDFA},
        {QStringLiteral("OCR"), &ScanSettings::setOCR},
        {QStringLiteral("LINGUAOCR"), &ScanSettings::setLinguaOCR},
        {QStringLiteral("PAGINEBIANCHE"), &ScanSettings::setPagineBianche},
        {QStringLiteral("RUOTAAUTOMATICA"), &ScanSettings::setRuotaAutomatica},
        {QStringLiteral("RADDRIZZA"), &ScanSettings::setRaddrizza}};


    if (warnings && !document.hasSection(mainSection)) {
        warnings->append({missingSectionText(document, fileName), QString(), 0});
        return;
    }

    // The names the key buffer delivers, each with the value of the first key of its name:
    // one pass that stops where the buffer is full, however many lines the file has.
    QStringList keys;
    QHash<QString, QString> values;
    KeyListBuffer buffer;
    document.forEachKey(mainSection, [&](QStringView name, QStringView value) {
        const KeyListBuffer::Outcome outcome = buffer.offer(name);
        if (outcome == KeyListBuffer::Outcome::Taken) {
            keys.append(name.toString());
            const QString folded = keys.back().toCaseFolded();
            if (!values.contains(folded))
                values.insert(folded, value.toString());
        }
        return outcome != KeyListBuffer::Outcome::Full;
    });
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
            assignNumber(record.BitColoreGreyLevel, key, value, toInt16, warnings);
            break;
        case Soglia:
            assignNumber(record.BWThreshold, key, value, toInt16, warnings);
            break;
        case Qualita:
            assignNumber(record.JpegQualityTiffCompression, key, value, toInt16, warnings);
            break;
        case Contrasto:
            assignNumber(record.Contrasto, key, value, toInt16, warnings);
            break;
        case Luminosita:
            assignNumber(record.Luminosita, key, value, toInt16, warnings);
            break;
        case Risoluzione:
            assignNumber(record.Risoluzione, key, value, toInt32, warnings);
            break;
        }
    }
}

void ScanSettings::ReadIni() {
    // One read of the file serves the key list and every value: reading it again per key
    // would make a large file cost its size times the number of keys.
    IniDocument::LoadStatus status = IniDocument::LoadStatus::Missing;
    const IniDocument document = IniDocument::load(iniFilePath, &status);
    QList<SettingsWarning> warnings;
    const QString file = shownText(iniFilePath);
    if (status == IniDocument::LoadStatus::TooBig) {
        const qsizetype mebibytes = IniDocument::maxFileBytes / (1024 * 1024);
        warnings.append({QStringLiteral("il file delle impostazioni %1 supera %2 MiB: oltre i "
                                        "primi %2 MiB non è stato letto")
                             .arg(file, decimalText(mebibytes)),
                         QString(), 0});
    }
    if (status == IniDocument::LoadStatus::Loaded || status == IniDocument::LoadStatus::TooBig) {
        loadScanSettings(*this, document, &warnings, iniFilePath);
    } else if (status == IniDocument::LoadStatus::Unreadable) {
        warnings.append({QStringLiteral("il file delle impostazioni %1 non si può leggere: "
                                        "valgono le impostazioni predefinite")
                             .arg(file),
                         QString(), 0});
    }
    if (m_later || !warnings.isEmpty())
        laterKeys().readWarnings = std::move(warnings);
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
    // record that uses none writes the ten keys alone (and reads the file only when needed).
    static const std::pair<QString, QString (ScanSettings::*)() const> laterValues[] = {
        {QStringLiteral("PDFA"), &ScanSettings::PDFA},
        {QStringLiteral("OCR"), &ScanSettings::OCR},
        {QStringLiteral("LinguaOCR"), &ScanSettings::LinguaOCR},
        {QStringLiteral("PagineBianche"), &ScanSettings::PagineBianche},
        {QStringLiteral("RuotaAutomatica"), &ScanSettings::RuotaAutomatica},
        {QStringLiteral("Raddrizza"), &ScanSettings::Raddrizza}};
    std::optional<IniDocument> file;
    for (const auto& [key, get] : laterValues) {
        const QString value = (this->*get)();
        if (value.isEmpty()) {
            if (!file)
                file = IniDocument::load(iniFilePath);
            if (!file->value(mainSection, key).has_value())
                continue;
        }
        values.append({key, value});
    }
    // All ten keys go into the file in one replacement, so a failure never leaves a record
    // half old and half new. A value that cannot be a single line (CR, LF, NUL) is refused
    // and the file is left as it was.
    if (!IniDocument::writeValues(iniFilePath, mainSection, values))
        qWarning("Scansione: impostazioni non scritte in %s (file non sostituibile, o un valore "
                 "su più righe)",
                 qUtf8Printable(shownText(iniFilePath)));
}
