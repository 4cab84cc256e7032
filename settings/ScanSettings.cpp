#include "settings/ScanSettings.h"

#include "common/ShownText.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "settings/IniDocument.h"
#include "settings/SettingsWarnings.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <limits>
#include <type_traits>

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

// How a field takes the text of its key: a text as it stands, a number through assignNumber.
using TakeValue = void (*)(ScanSettings& record, const QString& key, const QString& value,
                           QList<SettingsWarning>* warnings);

template <auto field>
void takeText(ScanSettings& record, const QString&, const QString& value, QList<SettingsWarning>*) {
    record.*field = value;
}

template <auto field>
void takeNumber(ScanSettings& record, const QString& key, const QString& value,
                QList<SettingsWarning>* warnings) {
    auto& number = record.*field;
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(number)>, int32_t>)
        assignNumber(number, key, value, toInt32, warnings);
    else
        assignNumber(number, key, value, toInt16, warnings);
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

// The keys that came after the record's fields, as WriteIni spells them (ReadIni takes
// any letter case), each with its accessors.
struct LaterKey {
    QString name;
    QString (ScanSettings::*get)() const;
    void (ScanSettings::*set)(const QString&);
};
const LaterKey laterKeyTable[] = {
    {QStringLiteral("PDFA"), &ScanSettings::PDFA, &ScanSettings::setPDFA},
    {QStringLiteral("OCR"), &ScanSettings::OCR, &ScanSettings::setOCR},
    {QStringLiteral("LinguaOCR"), &ScanSettings::LinguaOCR, &ScanSettings::setLinguaOCR},
    {QStringLiteral("PagineBianche"), &ScanSettings::PagineBianche,
     &ScanSettings::setPagineBianche},
    {QStringLiteral("RuotaAutomatica"), &ScanSettings::RuotaAutomatica,
     &ScanSettings::setRuotaAutomatica},
    {QStringLiteral("Raddrizza"), &ScanSettings::Raddrizza, &ScanSettings::setRaddrizza}};

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

QString ScanSettings::laterValue(LaterValue key) const {
    return m_later ? (*m_later).*key : QString();
}

void ScanSettings::setLaterValue(LaterValue key, const QString& value) {
    laterKeys().*key = value;
}

QString ScanSettings::PDFA() const {
    return laterValue(&LaterKeys::pdfa);
}

QString ScanSettings::OCR() const {
    return laterValue(&LaterKeys::ocr);
}

QString ScanSettings::LinguaOCR() const {
    return laterValue(&LaterKeys::ocrLanguages);
}

QString ScanSettings::PagineBianche() const {
    return laterValue(&LaterKeys::blankPages);
}

QString ScanSettings::RuotaAutomatica() const {
    return laterValue(&LaterKeys::autoRotate);
}

QString ScanSettings::Raddrizza() const {
    return laterValue(&LaterKeys::straighten);
}

void ScanSettings::setPDFA(const QString& value) {
    setLaterValue(&LaterKeys::pdfa, value);
}

void ScanSettings::setOCR(const QString& value) {
    setLaterValue(&LaterKeys::ocr, value);
}

void ScanSettings::setLinguaOCR(const QString& value) {
    setLaterValue(&LaterKeys::ocrLanguages, value);
}

void ScanSettings::setPagineBianche(const QString& value) {
    setLaterValue(&LaterKeys::blankPages, value);
}

void ScanSettings::setRuotaAutomatica(const QString& value) {
    setLaterValue(&LaterKeys::autoRotate, value);
}

void ScanSettings::setRaddrizza(const QString& value) {
    setLaterValue(&LaterKeys::straighten, value);
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
    // The ten fields' keys, upper-cased (the file's letter case does not matter), each with
    // how its field takes the text.
    static const std::pair<QString, TakeValue> fields[] = {
        {QStringLiteral("PAGINA"), takeText<&ScanSettings::Pagina>},
        {QStringLiteral("AREA"), takeText<&ScanSettings::area>},
        {QStringLiteral("TIPOSCANSIONE"), takeText<&ScanSettings::PixelType>},
        {QStringLiteral("BITPERPIXEL"), takeNumber<&ScanSettings::BitColoreGreyLevel>},
        {QStringLiteral("SOGLIABIANCONERO"), takeNumber<&ScanSettings::BWThreshold>},
        {QString::fromUtf8("QUALIT\u00c0JPEG"),
         takeNumber<&ScanSettings::JpegQualityTiffCompression>},
        {QStringLiteral("RISOLUZIONE"), takeNumber<&ScanSettings::Risoluzione>},
        {QStringLiteral("FORMATO"), takeText<&ScanSettings::ResultFormat>},
        {QStringLiteral("CONTRASTO"), takeNumber<&ScanSettings::Contrasto>},
        {QStringLiteral("LUMINOSITA"), takeNumber<&ScanSettings::Luminosita>}};

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
        // The value is looked up by the name exactly as the file writes it.
        const auto value = [&] { return valueThroughBuffer(values.value(key.toCaseFolded())); };
        const auto field = std::find_if(std::begin(fields), std::end(fields),
                                        [&](const auto& f) { return upper == f.first; });
        if (field != std::end(fields)) {
            field->second(record, key, value(), warnings);
            continue;
        }
        for (const LaterKey& later : laterKeyTable) {
            if (upper == later.name.toUpper()) {
                (record.*later.set)(value());
                break;
            }
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
    std::optional<IniDocument> file;
    for (const LaterKey& later : laterKeyTable) {
        const QString& key = later.name;
        const QString value = (this->*later.get)();
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
