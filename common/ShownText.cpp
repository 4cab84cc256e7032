#include "common/ShownText.h"

QString shownText(QStringView text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            constexpr char digits[] = "0123456789abcdef";
            shown += QLatin1String("\\x");
            shown += QLatin1Char(digits[code >> 4]);
            shown += QLatin1Char(digits[code & 0xF]);
        } else {
            shown += c;
        }
    }
    return shown;
}

QString shownLines(QStringView text) {
    QString shown;
    shown.reserve(text.size());
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        qsizetype stop = end;
        if (stop > start && end < text.size() && text[stop - 1] == u'\r')
            --stop; // CR LF: the CR belongs to the break
        shown += shownText(text.mid(start, stop - start));
        if (end == text.size())
            break;
        shown += text.mid(stop, end + 1 - stop);
        start = end + 1;
    }
    return shown;
}
