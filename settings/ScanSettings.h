#pragma once
#include "common/Export.h"
#include "common/VbBool.h"
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

/// The settings record of one scan session. Fields are public and unchecked; ReadIni loads
/// them from section "MAIN" of the settings INI file, WriteIni stores them back.
///
/// Keys added after the first twelve fields are reached through accessors whose values live
/// behind one private pointer: a further key then changes neither the record's size nor the
/// layout a host was compiled against.
class SCANSIONE_EXPORT ScanSettings {
public:
    /// The record for the fixed INI path (or the file named by SCANSIONE_INI).
    ScanSettings();
    /// The record for the INI file at `iniPath` (hosts and tests).
    explicit ScanSettings(const QString& iniPath);
    ScanSettings(const ScanSettings& other);
    ScanSettings(ScanSettings&& other) noexcept;
    ScanSettings& operator=(const ScanSettings& other);
    ScanSettings& operator=(ScanSettings&& other) noexcept;
    ~ScanSettings();

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
    /// Stores the ten fields that have an INI key into section "MAIN", and the later keys
    /// that are set or that the file already has.
    void WriteIni();

    /// INI key "PDFA": the PDF/A conformance of a PDF document, "1b" or "2b" in any letter
    /// case; empty (the default) writes the plain PDF, and so does any other value, which
    /// the document output reports.
    QString PDFA() const;
    /// INI key "OCR": "1" gives a PDF document a text layer of the words read on its pages;
    /// absent, empty or any other value, none.
    QString OCR() const;
    /// INI key "LinguaOCR": the languages the pages are read in, tesseract codes joined by
    /// "+"; empty (the default) reads Italian ("ita").
    QString LinguaOCR() const;
    /// INI key "PagineBianche": "1" leaves the blank sides of a feeder batch out.
    QString PagineBianche() const;
    /// INI key "RuotaAutomatica": "1" turns a page whose text is upside down by 180 degrees.
    QString RuotaAutomatica() const;
    /// INI key "Raddrizza": "1" straightens a page scanned askew.
    QString Raddrizza() const;

    /// Set the value of the key of the same name above, unchecked like the fields.
    void setPDFA(const QString& value);
    void setOCR(const QString& value);
    void setLinguaOCR(const QString& value);
    void setPagineBianche(const QString& value);
    void setRuotaAutomatica(const QString& value);
    void setRaddrizza(const QString& value);

    /// What the latest ReadIni of this record could not read or use, one Italian text each,
    /// in the order found, control characters shown escaped: a file cut at the read bound, a
    /// file without a usable "MAIN" section (defaults kept), a number that did not convert
    /// (the field kept its value). A number's text is left out once the field holds another
    /// value. Empty when everything was read, or when ReadIni was not called.
    QStringList readWarnings() const;

    /// The INI file this record reads and writes.
    QString iniPath() const { return iniFilePath; }

    /// The fixed path: the Windows constant on Windows builds, /etc/scansione/scanner.ini
    /// elsewhere, or SCANSIONE_INI when that is set.
    static QString defaultIniPath();

private:
    struct LaterKeys;
    LaterKeys& laterKeys();
    /// The value a later key's accessors read and set: one member of LaterKeys.
    using LaterValue = QString LaterKeys::*;
    QString laterValue(LaterValue key) const;
    void setLaterValue(LaterValue key, const QString& value);

    QString iniFilePath;
    std::unique_ptr<LaterKeys> m_later; // null: every later key at its default
};
