#pragma once
#include "common/RegularFile.h"
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

class ScanSettings;

/// An INI file held in memory as its lines, read and written on the private-profile rules:
/// section and key names compared case-insensitively, the first section and the first key of
/// a name win, blanks around names and values ignored, one pair of surrounding quotes
/// removed from a value. Every line that is not touched by a write is written back as it was.
/// Not thread-safe; each instance belongs to one thread.
class IniDocument {
public:
    /// The most bytes read from one file. A settings file is a few hundred bytes; anything
    /// bigger than this is not one, and reading it whole would only let a huge or growing file
    /// stall the program. Beyond the bound the rest of the file is ignored for reading and
    /// the file is never rewritten (a rewrite would lose the unread part).
    static constexpr qsizetype maxFileBytes = 4 * 1024 * 1024;

    /// The document of `bytes`: UTF-8 when they are valid UTF-8 (a leading BOM is skipped and
    /// kept for writing), otherwise Windows-1252.
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

    /// The whole value of the first key named `key` in the first section named `section`,
    /// or std::nullopt when there is none.
    std::optional<QString> value(const QString& section, const QString& key) const;

    /// Every key of the first section named `section` with its value, the first occurrence of
    /// a name winning, indexed by the case-folded name: one pass for a whole section's lookups.
    QHash<QString, QString> sectionValues(const QString& section) const;

    /// Sets `key` to `value` in `section`: the key's line is replaced in place, a missing key
    /// is added at the end of its section, a missing section at the end of the document.
    /// Returns false, changing nothing, when a name or the value could not be written as one
    /// line (empty or malformed names, CR, LF or NUL characters).
    bool setValue(const QString& section, const QString& key, const QString& value);

    /// The document as UTF-8 bytes.
    QByteArray toBytes() const;

    /// Reads `path` for rewriting, applies `values` to `section` and replaces the file
    /// atomically (a temporary file in the same folder, then rename), so a failure at any
    /// point leaves the old file whole. A link, a non-regular file or a file bigger than
    /// maxFileBytes at the path is left alone. Returns true when the file was replaced.
    static bool writeValues(const QString& path, const QString& section,
                            const QList<std::pair<QString, QString>>& values);

private:
    enum class Kind { Other, Section, Key };
    struct Line {
        QString text;
        QString end; // the line's own terminator: "\r\n", "\n" or "" for the last line
        Kind kind = Kind::Other;
        QString name;  // section or key name, blanks removed
        QString value; // key lines: the value, blanks and one pair of quotes removed
    };

    static Line parseLine(QString text, QString end);
    /// Index range [first, last) of the lines of the first section named `section`, or
    /// std::nullopt when there is none; `first` is the header line.
    std::optional<std::pair<qsizetype, qsizetype>> sectionRange(const QString& section) const;
    QString lineEnd() const;

    QList<Line> m_lines;
    bool m_bom = false;
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

/// Loads the fields of `record` from section "MAIN" of `document` by the rules of ReadIni.
void loadScanSettings(ScanSettings& record, const IniDocument& document);
