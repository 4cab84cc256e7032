// Scanner programming: the device is set up from the session's settings record before every
// acquisition, one log line (and the device's answer) per setting sent.
#include "acquisition/ScanComponent.h"
#include "common/ShownText.h"
#include "component_base/TwainCodes.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "settings/ScanSettings.h"
#include "settings/SettingsWarnings.h"

#include <QCheckBox>
#include <algorithm>
#include <limits>

using namespace twain;

namespace {

// An area field beyond single precision ("1e300") would make the float conversion undefined;
// the device refuses such a frame anyway, so hand it the largest single instead.
float toSingle(double value) {
    constexpr double largest = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(value, -largest, largest));
}

const QString separatorLine = QStringLiteral("-------------------------");
const QString outOfRange = QStringLiteral("VALORE FUORI RANGE");

} // namespace

std::optional<int32_t> FormScansione::pageSizeCode(const QString& pagina) {
    if (pagina == QLatin1String("A3"))
        return A3;
    if (pagina == QLatin1String("A4"))
        return A4;
    if (pagina == QLatin1String("A5"))
        return A5;
    return std::nullopt;
}

int16_t FormScansione::ImpostaParametriScanner() {
    // Without a session there is nothing to program; the callers treat this like a source
    // that would not open.
    if (!VSTSCAN || !scanSetting)
        return VbFalse;
    ScanComponent& dev = *VSTSCAN;
    const ScanSettings& s = *scanSetting;

    if (dev.DataSourceOpen() != 0)
        return VbTrue;
    if (dev.OpenDataSource() != 1)
        return VbFalse;

    // The device's answer to the step just made, read right after its calls.
    const auto log = [this, &dev](const QString& operation) {
        const int32_t code = dev.LastErrorCode();
        const QString text = dev.LastErrorText();
        ScriviLog(operation, code, text);
    };
    // Sends a one-value capability only where the source declares it; true when sent.
    const auto setCapability = [&dev](int32_t id, float value) {
        dev.setCapability(id);
        if (dev.CapSupported() != 1)
            return false;
        dev.setCapContainer(OneValue);
        dev.setCapValue(value);
        dev.CapSet();
        return true;
    };
    // Brightness and contrast are sent only inside the device's range, both ends included.
    const auto setInRange = [this, &log](const QString& operation, int16_t setting, float minimum,
                                         float maximum, const std::function<void(float)>& set) {
        const float value = static_cast<float>(setting);
        if (minimum <= value && value <= maximum) {
            set(value);
            log(operation);
        } else {
            ScriviLog(operation, -1, outOfRange);
        }
    };

    log(separatorLine);
    log(QStringLiteral("IMPOSTO PARAMETRI SCANNER"));

    dev.setTransferMode(0);
    log(QStringLiteral("IMPOSTO TRANSFERMODE NATIVO"));

    const bool progress = s.ViewProgress != 0;
    if (setCapability(CAP_INDICATORS, progress ? 1.0f : 0.0f))
        log(QStringLiteral("VISUALIZZA PROGRESS WINDOW ") + booleanText(progress));

    if (s.PixelType == QLatin1String("BW")) {
        dev.setImagePixelType(BW);
        log(QStringLiteral("IMPOSTO SCANSIONE BW"));
        if (s.BWThreshold > 0) {
            setCapability(ICAP_THRESHOLD, static_cast<float>(s.BWThreshold));
            log(QStringLiteral("IMPOSTO SOGLIA BW ") + decimalText(s.BWThreshold));
        }
    } else if (s.PixelType == QLatin1String("GRAY")) {
        dev.setImagePixelType(Gray);
        log(QStringLiteral("IMPOSTO SCANSIONE LIVELLO GRIGI"));
        if (s.BitColoreGreyLevel > 0) {
            setCapability(ICAP_BITDEPTH, static_cast<float>(s.BitColoreGreyLevel));
            log(QStringLiteral("IMPOSTO BIT LIVELLO GRIGI ") + decimalText(s.BitColoreGreyLevel));
        }
    } else {
        dev.setImagePixelType(RGB);
        log(QStringLiteral("IMPOSTO SCANSIONE A COLORI"));
        if (s.BitColoreGreyLevel > 0) {
            setCapability(ICAP_BITDEPTH, static_cast<float>(s.BitColoreGreyLevel));
            log(QStringLiteral("IMPOSTO BIT COLORI ") + decimalText(s.BitColoreGreyLevel));
        }
    }

    if (s.JpegQualityTiffCompression > 0) {
        if (s.ResultFormat == QLatin1String("JPEG")) {
            dev.setJpegQuality(s.JpegQualityTiffCompression);
            log(QStringLiteral("IMPOSTO QUALITA JPEG ") +
                decimalText(s.JpegQualityTiffCompression));
        } else if (s.ResultFormat == QLatin1String("TIFF")) {
            dev.setTiffCompression(s.JpegQualityTiffCompression);
            log(QStringLiteral("IMPOSTO COMPRESSIONE TIFF ") +
                decimalText(s.JpegQualityTiffCompression));
        }
    }
    // Not a device setting (no log line): what the pages will be written as, so that the
    // component can encode each one while the scanner works on the next.
    dev.setDocumentFormat(s.ResultFormat);

    if (s.Luminosita > 0) {
        const float minimum = dev.BrightnessMin();
        const float maximum = dev.BrightnessMax();
        setInRange(QStringLiteral("IMPOSTO LUMINOSITA ") + decimalText(s.Luminosita), s.Luminosita,
                   minimum, maximum, [&dev](float v) { dev.setBrightness(v); });
    }
    if (s.Contrasto > 0) {
        const float minimum = dev.ContrastMin();
        const float maximum = dev.ContrastMax();
        setInRange(QStringLiteral("IMPOSTO CONTRASTO ") + decimalText(s.Contrasto), s.Contrasto,
                   minimum, maximum, [&dev](float v) { dev.setContrast(v); });
    }

    dev.setScanOptionA(0);
    dev.setScanOptionB(0);
    dev.setScanOptionC(0);

    // Only "," separates the fields; the log keeps the fields as written.
    const QStringList fields = s.area.isEmpty() ? QStringList() : s.area.split(QLatin1Char(','));
    if (fields.size() >= 2) {
        dev.setUnit(Centimeters);
        log(QStringLiteral("IMPOSTO UNITA DI MISURA CM"));
        const auto right = toSingle(lenientNumber(fields.at(0)));
        const auto bottom = toSingle(lenientNumber(fields.at(1)));
        dev.SetImageLayout(0, 0, right, bottom);
        log(QStringLiteral("IMPOSTO AREA SCANSIONE ") + shownText(fields.at(0)) + QLatin1Char('-') +
            shownText(fields.at(1)));
    }

    if (const auto size = pageSizeCode(s.Pagina)) {
        dev.setPageSize(*size);
        log(QStringLiteral("IMPOSTO PAGINA ") + s.Pagina);
    }

    if (s.Risoluzione != 0) {
        dev.setResolution(s.Risoluzione);
        log(QStringLiteral("IMPOSTO RISOLUZIONE ") + decimalText(s.Risoluzione));
    }

    if (dev.DuplexSupported() == 1) {
        if (chkFronteRetro)
            chkFronteRetro->setVisible(true);
    } else {
        if (chkFronteRetro)
            chkFronteRetro->setVisible(false);
        if (m_services.userSettings)
            m_services.userSettings->remove(QStringLiteral("ScanFronteRetro"));
    }

    ScriviLog(separatorLine, 0, QString());
    writeNotices(settingsWarnings(s) + unusedSettings(s));
    return VbTrue;
}

QStringList FormScansione::unusedSettings(const ScanSettings& s) {
    QStringList notices;
    const bool mono = s.PixelType == QLatin1String("BW");
    const QString kind = s.PixelType == QLatin1String("GRAY")
                             ? QStringLiteral("a livelli di grigio")
                             : QStringLiteral("a colori");
    if (s.ResultFormat == QLatin1String("TIFF") && s.JpegQualityTiffCompression == 4 && !mono)
        notices.append(QStringLiteral("compressione TIFF 4 (CCITT G4) solo per pagine in bianco "
                                      "e nero: le pagine %1 sono scritte con 5 (LZW)")
                           .arg(kind));
    if (s.ResultFormat == QLatin1String("TIFF") && s.JpegQualityTiffCompression == 7 && mono)
        notices.append(QStringLiteral("compressione TIFF 7 (JPEG) non vale per pagine in bianco "
                                      "e nero: sono scritte con 4 (CCITT G4)"));
    if (!s.Pagina.isEmpty() && !pageSizeCode(s.Pagina))
        notices.append(QStringLiteral("impostazione Pagina=%1 non usata: vale A3, A4 o A5")
                           .arg(shownText(s.Pagina)));
    if (!s.area.isEmpty() && !s.area.contains(QLatin1Char(',')))
        notices.append(QStringLiteral("impostazione Area=%1 non usata: servono larghezza e "
                                      "altezza in cm separate da una virgola")
                           .arg(shownText(s.area)));
    if (s.ResultFormat != QLatin1String("PDF") && s.ResultFormat != QLatin1String("TIFF") &&
        s.ResultFormat != QLatin1String("JPEG"))
        notices.append(QStringLiteral("impostazione Formato=%1 non riconosciuta (PDF, TIFF o "
                                      "JPEG): nessun documento da scrivere")
                           .arg(shownText(s.ResultFormat)));
    return notices;
}
