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

// The file at `path` as the loader uses it: at most maxFileBytes, and when the bound cuts it,
// only its complete lines, since the cut line could be a value without its end.
RegularFile readRaw(const QString& path, bool followLinks) {
    RegularFile raw = readRegularFile(path, IniDocument::maxFileBytes, followLinks);
    if (raw.status == IniDocument::LoadStatus::TooBig) {
        const qsizetype lastEnd =
            std::max(raw.bytes.lastIndexOf('\n'), raw.bytes.lastIndexOf('\r'));
        raw.bytes.truncate(lastEnd < 0 ? 0 : lastEnd + 1);
    }
    return raw;
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
    IniDocument document;
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF")) {
        document.m_bom = true;
        body.remove(0, 3);
    }
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(body);
    if (utf8.hasError()) {
        text = fromWindows1252(bytes);
        document.m_bom = false;
    }

    // Lines end at CR LF, LF or a lone CR (files from old editors); each line keeps its own
    // terminator so that lines a write does not touch are written back byte for byte.
    qsizetype start = 0;
    const qsizetype size = text.size();
    while (start < size) {
        qsizetype stop = start;
        while (stop < size && text[stop] != u'\n' && text[stop] != u'\r')
            ++stop;
        QString end;
        qsizetype next = stop;
        if (stop < size && text[stop] == u'\r' && stop + 1 < size && text[stop + 1] == u'\n') {
            end = QStringLiteral("\r\n");
            next = stop + 2;
        } else if (stop < size) {
            end = QString(text[stop]);
            next = stop + 1;
        }
        document.m_lines.append(parseLine(text.mid(start, stop - start), end));
        start = next;
    }
    return document;
}

IniDocument IniDocument::load(const QString& path, LoadStatus* status, bool followLinks) {
    const RegularFile raw = readRaw(path, followLinks);
    if (status)
        *status = raw.status;
    if (raw.status != LoadStatus::Loaded && raw.status != LoadStatus::TooBig)
        return IniDocument();
    return fromBytes(raw.bytes);
}

IniDocument::Line IniDocument::parseLine(QString text, QString end) {
    Line line;
    line.end = std::move(end);
    const QString trimmed = trimBlanks(text).toString();
    line.text = std::move(text);
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close > 0) {
            line.kind = Kind::Section;
            line.name = trimBlanks(QStringView(trimmed).mid(1, close - 1)).toString();
        }
        return line;
    }
    if (trimmed.startsWith(u';'))
        return line;
    const qsizetype equals = trimmed.indexOf(u'=');
    if (equals <= 0)
        return line;
    QString key = trimBlanks(QStringView(trimmed).left(equals)).toString();
    // A key name with a NUL could not travel through the NUL-separated key list; such a line
    // is unusable and skipped. A NUL inside a value is kept.
    if (key.isEmpty() || key.contains(QChar(0)))
        return line;
    QString value = trimBlanks(QStringView(trimmed).mid(equals + 1)).toString();
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == u'"' || value.front() == u'\''))
        value = value.mid(1, value.size() - 2);
    line.kind = Kind::Key;
    line.name = std::move(key);
    line.value = std::move(value);
    return line;
}

std::optional<std::pair<qsizetype, qsizetype>>
IniDocument::sectionRange(const QString& section) const {
    const QString wanted = trimBlanks(section).toString();
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind != Kind::Section || !sameName(m_lines[i].name, wanted))
            continue;
        qsizetype last = i + 1;
        while (last < m_lines.size() && m_lines[last].kind != Kind::Section)
            ++last;
        return std::make_pair(i, last);
    }
    return std::nullopt;
}

QStringList IniDocument::keys(const QString& section) const {
    QStringList names;
    const auto range = sectionRange(section);
    if (!range)
        return names;
    for (qsizetype i = range->first + 1; i < range->second; ++i)
        if (m_lines[i].kind == Kind::Key)
            names.append(m_lines[i].name);
    return names;
}

std::optional<QString> IniDocument::value(const QString& section, const QString& key) const {
    const auto range = sectionRange(section);
    if (!range)
        return std::nullopt;
    const QString wanted = trimBlanks(key).toString();
    for (qsizetype i = range->first + 1; i < range->second; ++i)
        if (m_lines[i].kind == Kind::Key && sameName(m_lines[i].name, wanted))
            return m_lines[i].value;
    return std::nullopt;
}

QHash<QString, QString> IniDocument::sectionValues(const QString& section) const {
    QHash<QString, QString> values;
    const auto range = sectionRange(section);
    if (!range)
        return values;
    for (qsizetype i = range->first + 1; i < range->second; ++i)
        if (m_lines[i].kind == Kind::Key) {
            const QString folded = m_lines[i].name.toCaseFolded();
            if (!values.contains(folded))
                values.insert(folded, m_lines[i].value);
        }
    return values;
}

QString IniDocument::lineEnd() const {
    for (const Line& line : m_lines)
        if (!line.end.isEmpty())
            return line.end;
    return QStringLiteral("\n");
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
        for (qsizetype i = range->first + 1; i < range->second; ++i) {
            Line& line = m_lines[i];
            if (line.kind == Kind::Key && sameName(line.name, keyName)) {
                // The name keeps the spelling of the file; only the value changes.
                m_lines[i] = parseLine(line.name + u'=' + encodeValue(value), line.end);
                return true;
            }
        }
        // After the section's last non-blank line, so blank lines before the next section stay
        // where they are.
        qsizetype at = range->second;
        while (at > range->first + 1 && trimBlanks(m_lines[at - 1].text).isEmpty())
            --at;
        if (m_lines[at - 1].end.isEmpty())
            m_lines[at - 1].end = end;
        m_lines.insert(at, parseLine(keyName + u'=' + encodeValue(value), end));
        return true;
    }

    if (!m_lines.isEmpty()) {
        if (m_lines.back().end.isEmpty())
            m_lines.back().end = end;
        if (!trimBlanks(m_lines.back().text).isEmpty())
            m_lines.append(parseLine(QString(), end));
    }
    m_lines.append(parseLine(u'[' + sectionName + u']', end));
    m_lines.append(parseLine(keyName + u'=' + encodeValue(value), end));
    return true;
}

QByteArray IniDocument::toBytes() const {
    QString text;
    for (const Line& line : m_lines) {
        text += line.text;
        text += line.end;
    }
    QByteArray bytes = m_bom ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    bytes += text.toUtf8();
    return bytes;
}

bool IniDocument::writeValues(const QString& path, const QString& section,
                              const QList<std::pair<QString, QString>>& values) {
    // Links are not followed for writing: the file that is read is the file that is replaced.
    const RegularFile raw = readRaw(path, false);
    if (raw.status != LoadStatus::Loaded && raw.status != LoadStatus::Missing)
        return false;
    IniDocument document = fromBytes(raw.bytes);
    for (const auto& [key, value] : values)
        if (!document.setValue(section, key, value))
            return false;
    return replaceFile(path, document.toBytes(),
                       raw.status == LoadStatus::Loaded ? &raw.info : nullptr);
}

QStringList keysThroughBuffer(const QStringList& keys) {
    constexpr qsizetype bufferLength = 4096;
    QStringList fitting;
    qsizetype used = 1; // the terminator that ends the list
    for (const QString& key : keys) {
        if (key.size() + 2 > bufferLength)
            continue;
        used += key.size() + 1;
        if (used > bufferLength)
            break;
        fitting.append(key);
    }
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
