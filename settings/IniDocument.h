#pragma once
#include "common/RegularFile.h"
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <functional>
#include <optional>
#include <utility>

class ScanSettings;

/// An INI file held in memory as its text, read and written on the private-profile rules:
/// section and key names compared case-insensitively, the first section and the first key of
/// a name win, blanks around names and values ignored, one pair of surrounding quotes
/// removed from a value. Every line that is not touched by a write is written back as it was.
/// Lines are found by scanning the text when asked, never kept one object a line, so a file of
/// millions of short lines costs about its own size twice and no more.
/// Not thread-safe; each instance belongs to one thread.
class IniDocument {
public:
    /// The most bytes read from one file. A settings file is a few hundred bytes; anything
    /// bigger than this is not one, and reading it whole would only let a huge or growing file
    /// stall the program. Beyond the bound the rest of the file is ignored for reading and
    /// the file is never rewritten (a rewrite would lose the unread part).
    static constexpr qsizetype maxFileBytes = 4 * 1024 * 1024;

    /// How the bytes of a document were read, and are written back.
    enum class Encoding { Utf8, Utf8Bom, Windows1252, Utf16LeBom, Utf16BeBom };

    /// The document of `bytes`: UTF-16 after its BOM (little or big endian), UTF-8 when they
    /// are valid UTF-8 (a leading BOM is skipped and kept for writing), otherwise
    /// Windows-1252.
    static IniDocument fromBytes(const QByteArray& bytes);

    /// Outcome of reading a file from disk.
    using LoadStatus = FileReadStatus;

    /// Reads the file at `path` without blocking: only a regular file (or, when `followLinks`,
    /// a link to one) is opened, with O_NONBLOCK. A file bigger than maxFileBytes loads its
    /// first maxFileBytes up to the last complete line and reports TooBig.
    static IniDocument load(const QString& path, LoadStatus* status = nullptr,
                            bool followLinks = true);

    /// The key names of the first section named `section`, in file order, as the file
    /// writes them; empty when there is no such section.
    QStringList keys(const QString& section) const;

    /// Calls `visit` with the name and the value of each key of the first section named
    /// `section`, in file order, until it returns false. The views point into the document.
    void forEachKey(const QString& section,
                    const std::function<bool(QStringView name, QStringView value)>& visit) const;

    /// The whole value of the first key named `key` in the first section named `section`,
    /// or std::nullopt when there is none.
    std::optional<QString> value(const QString& section, const QString& key) const;

    /// Every key of the first section named `section` with its value, the first occurrence of
    /// a name winning, indexed by the case-folded name: one pass for a whole section's lookups.
    QHash<QString, QString> sectionValues(const QString& section) const;

    /// Whether a section named `section` exists.
    bool hasSection(const QString& section) const;

    /// The number (from 1) of the first line that starts a header of `section` but does not
    /// close it ("[MAIN" without "]"), or 0 when there is none.
    qsizetype unclosedHeaderLine(const QString& section) const;

    /// How the document was read.
    Encoding encoding() const { return m_encoding; }

    /// Whether the bytes looked like UTF-16 without a BOM (NUL in every other byte): such a
    /// file is not read as UTF-16, since nothing marks its byte order.
    bool looksLikeUtf16WithoutBom() const { return m_utf16WithoutBom; }

    /// Sets `key` to `value` in `section`: the key's line is replaced in place, a missing key
    /// is added at the end of its section, a missing section at the end of the document.
    /// Returns false, changing nothing, when a name or the value could not be written as one
    /// line (empty or malformed names, CR, LF or NUL characters).
    bool setValue(const QString& section, const QString& key, const QString& value);

    /// The document as bytes: UTF-16 with its BOM when it was read so, otherwise UTF-8 (with
    /// the BOM it had).
    QByteArray toBytes() const;

    /// Reads `path` for rewriting, applies `values` to `section` and replaces the file
    /// atomically (a temporary file in the same folder, then rename), so a failure at any
    /// point leaves the old file whole. A link, a non-regular file or a file bigger than
    /// maxFileBytes at the path is left alone. Returns true when the file was replaced.
    static bool writeValues(const QString& path, const QString& section,
                            const QList<std::pair<QString, QString>>& values);

private:
    /// Where the first section of a name lies: its header line starts at `header`, its body
    /// runs from `body` to `end` (the start of the next header, or the end of the text).
    struct Range {
        qsizetype header = 0;
        qsizetype body = 0;
        qsizetype end = 0;
    };
    static IniDocument decode(const QByteArray& bytes, bool cutToWholeLines);
    std::optional<Range> sectionRange(const QString& section) const;
    QString lineEnd() const;

    QString m_text;
    Encoding m_encoding = Encoding::Utf8;
    bool m_utf16WithoutBom = false;
};

/// The key list as the profile function's 4096-character buffer fills: names are taken
/// while they fit whole, each with its terminator, plus the list's final terminator.
class KeyListBuffer {
public:
    enum class Outcome { Taken, Skipped, Full };
    /// Offers the next name of the list.
    Outcome offer(QStringView name);

private:
    qsizetype m_used = 1; // the terminator that ends the list
    bool m_full = false;
};

/// The key list as the 4096-character buffer of the profile function delivers it: names are
/// kept while they fit whole, each with its terminator, plus the list's final terminator.
/// A name that would only fit in part is dropped with all that follow, so a truncated name
/// can never be taken for another key; a name too long for the buffer even alone is skipped,
/// so one line of junk does not hide the keys after it.
QStringList keysThroughBuffer(const QStringList& keys);

/// A value as the 256-character buffer delivers it: cut to 255 characters (never inside a
/// surrogate pair), and the empty text when it reads literally "Error: key not defined".
QString valueThroughBuffer(const QString& value);

/// The key names of `section` of `document` as the 4096-character buffer delivers them.
QStringList keysThroughBuffer(const IniDocument& document, const QString& section);

/// One thing that loading the settings could not read or use.
struct SettingsWarning {
    QString text;
    /// For a number that did not convert: the upper-cased INI key of the field, which kept
    /// `kept`. Empty for faults of the file itself.
    QString key;
    qint64 kept = 0;
};

/// Loads the fields of `record` from section "MAIN" of `document` by the rules of ReadIni.
/// When `warnings` is given, what could not be used is added to it: a missing section (or
/// one whose header is not closed, or a file that looks like UTF-16 without a BOM) and
/// numbers that do not convert. `fileName` names the file in the texts.
void loadScanSettings(ScanSettings& record, const IniDocument& document,
                      QList<SettingsWarning>* warnings = nullptr,
                      const QString& fileName = QString());
