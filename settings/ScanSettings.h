#pragma once
#include "common/Export.h"
#include "common/VbBool.h"
#include <QString>
#include <cstdint>

/// The settings record of one scan session. Fields are public and unchecked; ReadIni loads
/// them from section "MAIN" of the settings INI file, WriteIni stores them back.
class SCANSIONE_EXPORT ScanSettings {
public:
    /// The record for the fixed INI path (or the file named by SCANSIONE_INI).
    ScanSettings();
    /// The record for the INI file at `iniPath` (hosts and tests).
    explicit ScanSettings(const QString& iniPath);

    /// 16-bit Boolean (VbTrue, VbFalse): show the progress window while acquiring.
    int16_t ViewProgress = VbTrue;
    QString ResultFormat = QStringLiteral("PDF");
    QString PixelType = QStringLiteral("BW");
    int32_t Risoluzione = 0;
    int16_t BitColoreGreyLevel = 0;
    int16_t BWThreshold = 0;
    int16_t JpegQualityTiffCompression = 0;
    int16_t Luminosita = 0;
    int16_t Contrasto = 0;
    QString Pagina;
    QString area;
    /// 16-bit Boolean: VbTrue when the INI file existed when the record was read, else
    /// VbFalse.
    int16_t settingsAvailable = VbFalse;

    /// Loads the fields from section "MAIN"; unknown keys and unconvertible numbers are skipped.
    void ReadIni();
    /// Stores the ten fields that have an INI key into section "MAIN".
    void WriteIni();

    /// The INI file this record reads and writes.
    QString iniPath() const { return iniFilePath; }

    /// The fixed path: the Windows constant on Windows builds, /etc/scansione/scanner.ini
    /// elsewhere, or SCANSIONE_INI when that is set.
    static QString defaultIniPath();

private:
    QString iniFilePath;
};
