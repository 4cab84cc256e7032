#include "settings/IniDocument.h"
#include "common/RegularFile.h"
#include "common/VbConvert.h"
#include "common/WriteFully.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five codes it leaves undefined
// map to the C1 controls of the same number, as the platform's own conversion does.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString fromWindows1252(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        *out++ = QChar(code >= 0x80 && code < 0xA0 ? cp1252High[code - 0x80] : char16_t(code));
    }
    return text;
}

bool unsafeInLine(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}

// A value that the reader would change (blanks at its ends, or a pair of surrounding
// quotes) is written inside one more pair of quotes, which the reader removes again.
QString encodeValue(const QString& value) {
    const bool blanksAtEnds = !value.isEmpty() && (isBlank(value.front()) || isBlank(value.back()));
    const bool quoted = value.size() >= 2 && value.front() == value.back() &&
                        (value.front() == u'"' || value.front() == u'\'');
    if (blanksAtEnds || quoted)
        return u'"' + value + u'"';
    return value;
}

enum class Kind { Other, Section, Key };

// One line classified on the private-profile rules; the views point into the line.
struct ParsedLine {
    Kind kind = Kind::Other;
    QStringView name;  // section or key name, blanks removed
    QStringView value; // key lines: the value, blanks and one pair of quotes removed
};

ParsedLine parseLine(QStringView text) {
    ParsedLine line;
    const QStringView trimmed = trimBlanks(text);
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close > 0) {
            line.kind = Kind::Section;
            line.name = trimBlanks(trimmed.mid(1, close - 1));
        }
        return line;
    }
    if (trimmed.startsWith(u';'))
        return line;
    const qsizetype equals = trimmed.indexOf(u'=');
    if (equals <= 0)
        return line;
    const QStringView key = trimBlanks(trimmed.left(equals));
    // A key name with a NUL could not travel through the NUL-separated key list; such a line
    // is unusable and skipped. A NUL inside a value is kept.
    if (key.isEmpty() || key.contains(QChar(0)))
        return line;
    QStringView value = trimBlanks(trimmed.mid(equals + 1));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == u'"' || value.front() == u'\''))
        value = value.mid(1, value.size() - 2);
    line.kind = Kind::Key;
    line.name = key;
    line.value = value;
    return line;
}

// Calls `visit(start, line, next)` for each line of `text` from `from`: `line` without its
// terminator, `next` where the following line starts. Lines end at CR LF, LF or a lone CR
// (files from old editors). Stops when `visit` returns false.
template <typename Visit> void forEachLine(QStringView text, qsizetype from, Visit visit) {
    const qsizetype size = text.size();
    qsizetype start = from;
    while (start < size) {
        qsizetype stop = start;
        while (stop < size && text[stop] != u'\n' && text[stop] != u'\r')
            ++stop;
        qsizetype next = stop;
        if (stop < size)
            next = text[stop] == u'\r' && stop + 1 < size && text[stop + 1] == u'\n' ? stop + 2
                                                                                     : stop + 1;
        if (!visit(start, text.mid(start, stop - start), next))
            return;
        start = next;
    }
}

// ASCII text written as UTF-16 without a BOM has a NUL in nearly every other byte and
// almost none in the others.
bool utf16WithoutBom(const QByteArray& bytes) {
    const qsizetype pairs = std::min<qsizetype>(bytes.size(), 4096) / 2;
    if (pairs < 2)
        return false;
    qsizetype nulEven = 0;
    qsizetype nulOdd = 0;
    for (qsizetype i = 0; i < pairs; ++i) {
        nulEven += bytes[2 * i] == '\0';
        nulOdd += bytes[2 * i + 1] == '\0';
    }
    const auto mostly = [pairs](qsizetype n) { return n * 10 >= pairs * 7; };
    const auto few = [pairs](qsizetype n) { return n * 10 <= pairs; };
    return (mostly(nulOdd) && few(nulEven)) || (mostly(nulEven) && few(nulOdd));
}

// Replaces `path` by a new file holding `bytes`: written beside it under a fresh name, flushed,
// then renamed over it. rename replaces whatever is at the path, a link included, without
// following it, so a link planted between our check and the rename is replaced, never written
// through.
bool replaceFile(const QString& path, const QByteArray& bytes, const struct stat* existing) {
    const QFileInfo info(path);
    const QByteArray name = QFile::encodeName(path);
    QByteArray temp = QFile::encodeName(info.absolutePath()) + "/." +
                      QFile::encodeName(info.fileName()) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;

    bool ok = writeFully(fd, bytes.constData(), bytes.size()) == 0;
    if (ok && existing) {
        // Keep the file's owner and permissions. Restoring the owner needs root; without it
        // the new file belongs to the writer, as with any editor's save. The mode is set after
        // the owner because a change of owner may clear set-id bits.
        const bool ownerKept = ::fchown(fd, existing->st_uid, existing->st_gid) == 0;
        Q_UNUSED(ownerKept);
        ok = ::fchmod(fd, existing->st_mode & 07777) == 0;
    } else if (ok) {
        ok = ::fchmod(fd, 0644) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.constData(), name.constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dir = ::open(QFile::encodeName(info.absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

IniDocument IniDocument::fromBytes(const QByteArray& bytes) {
    return decode(bytes, false);
}

IniDocument IniDocument::decode(const QByteArray& bytes, bool cutToWholeLines) {
    IniDocument document;
    const bool littleEndian = bytes.startsWith("\xFF\xFE");
    if (littleEndian || bytes.startsWith("\xFE\xFF")) {
        document.m_encoding = littleEndian ? Encoding::Utf16LeBom : Encoding::Utf16BeBom;
        // An odd last byte is half a character: a file cut short, dropped.
        const QByteArray body = bytes.mid(2, (bytes.size() - 2) & ~qsizetype(1));
        QStringDecoder utf16(littleEndian ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                             QStringConverter::Flag::Stateless);
        document.m_text = utf16(body);
        if (cutToWholeLines) {
            const qsizetype lastEnd =
                std::max(document.m_text.lastIndexOf(u'\n'), document.m_text.lastIndexOf(u'\r'));
            document.m_text.truncate(lastEnd < 0 ? 0 : lastEnd + 1);
        }
        return document;
    }

    QByteArray cut;
    const QByteArray* source = &bytes;
    if (cutToWholeLines) {
        // Only complete lines: the cut line could be a value without its end. A line end is
        // a whole character in UTF-8 and Windows-1252 alike.
        const qsizetype lastEnd = std::max(bytes.lastIndexOf('\n'), bytes.lastIndexOf('\r'));
        cut = bytes.left(lastEnd < 0 ? 0 : lastEnd + 1);
        source = &cut;
    }
    const bool bom = source->startsWith("\xEF\xBB\xBF");
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    document.m_text = utf8(QByteArrayView(*source).sliced(bom ? 3 : 0));
    document.m_encoding = bom ? Encoding::Utf8Bom : Encoding::Utf8;
    if (utf8.hasError()) {
        document.m_text = fromWindows1252(*source);
        document.m_encoding = Encoding::Windows1252;
    }
    // ASCII in UTF-16 is valid UTF-8 too, NULs and all.
    document.m_utf16WithoutBom = utf16WithoutBom(*source);
    return document;
}

IniDocument IniDocument::load(const QString& path, LoadStatus* status, bool followLinks) {
    const RegularFile raw = readRegularFile(path, maxFileBytes, followLinks);
    if (status)
        *status = raw.status;
    if (raw.status != LoadStatus::Loaded && raw.status != LoadStatus::TooBig)
        return IniDocument();
    return decode(raw.bytes, raw.status == LoadStatus::TooBig);
}

std::optional<IniDocument::Range> IniDocument::sectionRange(const QString& section) const {
    const QString wanted = trimBlanks(section).toString();
    std::optional<Range> found;
    forEachLine(m_text, 0, [&](qsizetype start, QStringView text, qsizetype next) {
        const ParsedLine line = parseLine(text);
        if (line.kind != Kind::Section)
            return true;
        if (found) {
            found->end = start;
            return false;
        }
        if (sameName(line.name.toString(), wanted))
            found = Range{start, next, m_text.size()};
        return true;
    });
    return found;
}

bool IniDocument::hasSection(const QString& section) const {
    return sectionRange(section).has_value();
}

qsizetype IniDocument::unclosedHeaderLine(const QString& section) const {
    const QString wanted = trimBlanks(section).toString();
    qsizetype number = 0;
    qsizetype found = 0;
    forEachLine(m_text, 0, [&](qsizetype, QStringView text, qsizetype) {
        ++number;
        const QStringView trimmed = trimBlanks(text);
        if (trimmed.startsWith(u'[') && !trimmed.contains(u']') &&
            trimBlanks(trimmed.mid(1)).startsWith(wanted, Qt::CaseInsensitive)) {
            found = number;
            return false;
        }
        return true;
    });
    return found;
}

void IniDocument::forEachKey(
    const QString& section,
    const std::function<bool(QStringView name, QStringView value)>& visit) const {
    const auto range = sectionRange(section);
    if (!range)
        return;
    const QStringView body = QStringView(m_text).left(range->end);
    forEachLine(body, range->body, [&](qsizetype, QStringView text, qsizetype) {
        const ParsedLine line = parseLine(text);
        return line.kind != Kind::Key || visit(line.name, line.value);
    });
}

QStringList IniDocument::keys(const QString& section) const {
    QStringList names;
    forEachKey(section, [&names](QStringView name, QStringView) {
        names.append(name.toString());
        return true;
    });
    return names;
}

std::optional<QString> IniDocument::value(const QString& section, const QString& key) const {
    const QString wanted = trimBlanks(key).toString();
    std::optional<QString> found;
    forEachKey(section, [&](QStringView name, QStringView value) {
        if (name.compare(wanted, Qt::CaseInsensitive) != 0)
            return true;
        found = value.toString();
        return false;
    });
    return found;
}

QHash<QString, QString> IniDocument::sectionValues(const QString& section) const {
    QHash<QString, QString> values;
    forEachKey(section, [&values](QStringView name, QStringView value) {
        const QString folded = name.toString().toCaseFolded();
        if (!values.contains(folded))
            values.insert(folded, value.toString());
        return true;
    });
    return values;
}

QString IniDocument::lineEnd() const {
    qsizetype at = 0;
    while (at < m_text.size() && m_text[at] != u'\n' && m_text[at] != u'\r')
        ++at;
    if (at == m_text.size())
        return QStringLiteral("\n");
    if (m_text[at] == u'\r' && at + 1 < m_text.size() && m_text[at + 1] == u'\n')
        return QStringLiteral("\r\n");
    return QString(m_text[at]);
}

bool IniDocument::setValue(const QString& section, const QString& key, const QString& value) {
    const QString sectionName = trimBlanks(section).toString();
    const QString keyName = trimBlanks(key).toString();
    if (sectionName.isEmpty() || unsafeInLine(sectionName) || sectionName.contains(u']'))
        return false;
    if (keyName.isEmpty() || unsafeInLine(keyName) || keyName.contains(u'=') ||
        keyName.startsWith(u'[') || keyName.startsWith(u';'))
        return false;
    if (unsafeInLine(value))
        return false;

    const QString end = lineEnd();
    const auto range = sectionRange(sectionName);
    if (range) {
        // The key's line, or else the end of the section's last non-blank line (the header at
        // least), so blank lines before the next section stay where they are.
        qsizetype keyStart = -1;
        qsizetype keyLength = 0;
        QString keyAsWritten;
        qsizetype afterLast = range->body;
        bool lastEnded = true;
        const QStringView body = QStringView(m_text).left(range->end);
        forEachLine(body, range->header, [&](qsizetype start, QStringView text, qsizetype next) {
            const ParsedLine line = parseLine(text);
            if (start != range->header && line.kind == Kind::Key &&
                sameName(line.name.toString(), keyName)) {
                keyStart = start;
                keyLength = text.size();
                keyAsWritten = line.name.toString();
                return false;
            }
            if (!trimBlanks(text).isEmpty()) {
                afterLast = next;
                lastEnded = next > start + text.size();
            }
            return true;
        });
        if (keyStart >= 0) {
            // The name keeps the spelling of the file; only the value changes.
            m_text.replace(keyStart, keyLength, keyAsWritten + u'=' + encodeValue(value));
            return true;
        }
        const QString added = keyName + u'=' + encodeValue(value) + end;
        m_text.insert(afterLast, lastEnded ? added : end + added);
        return true;
    }

    if (!m_text.isEmpty()) {
        if (m_text.back() != u'\n' && m_text.back() != u'\r')
            m_text += end;
        // The last line, without its terminator: a blank line is added after one with text.
        qsizetype stop = m_text.size() - 1;
        if (m_text[stop] == u'\n' && stop > 0 && m_text[stop - 1] == u'\r')
            --stop;
        qsizetype start = stop;
        while (start > 0 && m_text[start - 1] != u'\n' && m_text[start - 1] != u'\r')
            --start;
        if (!trimBlanks(QStringView(m_text).mid(start, stop - start)).isEmpty())
            m_text += end;
    }
    m_text += u'[' + sectionName + u']' + end + keyName + u'=' + encodeValue(value) + end;
    return true;
}

QByteArray IniDocument::toBytes() const {
    switch (m_encoding) {
    case Encoding::Utf16LeBom:
    case Encoding::Utf16BeBom: {
        const bool little = m_encoding == Encoding::Utf16LeBom;
        QStringEncoder utf16(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        return QByteArray(little ? "\xFF\xFE" : "\xFE\xFF") + QByteArray(utf16(m_text));
    }
    case Encoding::Utf8Bom:
        return QByteArray("\xEF\xBB\xBF") + m_text.toUtf8();
    case Encoding::Utf8:
    case Encoding::Windows1252:
        break;
    }
    return m_text.toUtf8();
}

bool IniDocument::writeValues(const QString& path, const QString& section,
                              const QList<std::pair<QString, QString>>& values) {
    // Links are not followed for writing: the file that is read is the file that is replaced.
    const RegularFile raw = readRegularFile(path, maxFileBytes, false);
    if (raw.status != LoadStatus::Loaded && raw.status != LoadStatus::Missing)
        return false;
    IniDocument document = fromBytes(raw.bytes);
    for (const auto& [key, value] : values)
        if (!document.setValue(section, key, value))
            return false;
    return replaceFile(path, document.toBytes(),
                       raw.status == LoadStatus::Loaded ? &raw.info : nullptr);
}

KeyListBuffer::Outcome KeyListBuffer::offer(QStringView name) {
    constexpr qsizetype bufferLength = 4096;
    // A name that would only fit in part ends the list, so a truncated name can never be
    // taken for another key; one too long for the buffer even alone is skipped, so one line
    // of junk does not hide the keys after it.
    if (m_full)
        return Outcome::Full;
    if (name.size() + 2 > bufferLength)
        return Outcome::Skipped;
    if (m_used + name.size() + 1 > bufferLength) {
        m_full = true;
        return Outcome::Full;
    }
    m_used += name.size() + 1;
    return Outcome::Taken;
}

QStringList keysThroughBuffer(const QStringList& keys) {
    KeyListBuffer buffer;
    QStringList fitting;
    for (const QString& key : keys) {
        const KeyListBuffer::Outcome outcome = buffer.offer(key);
        if (outcome == KeyListBuffer::Outcome::Full)
            break;
        if (outcome == KeyListBuffer::Outcome::Taken)
            fitting.append(key);
    }
    return fitting;
}

QStringList keysThroughBuffer(const IniDocument& document, const QString& section) {
    KeyListBuffer buffer;
    QStringList fitting;
    document.forEachKey(section, [&](QStringView name, QStringView) {
        const KeyListBuffer::Outcome outcome = buffer.offer(name);
        if (outcome == KeyListBuffer::Outcome::Taken)
            fitting.append(name.toString());
        return outcome != KeyListBuffer::Outcome::Full;
    });
    return fitting;
}

QString valueThroughBuffer(const QString& value) {
    constexpr qsizetype kept = 255;
    QString cut = value;
    if (cut.size() > kept) {
        qsizetype length = kept;
        if (cut[length - 1].isHighSurrogate())
            --length;
        cut.truncate(length);
    }
    if (cut == QLatin1String("Error: key not defined"))
        return QString();
    return cut;
}
