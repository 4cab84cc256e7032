#pragma once
// Pages of known Italian text rendered at a scanner's resolution, with the box of every word,
// for the tests of text recognition and of the PDF text layer.
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLineF>
#include <QPainter>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTransform>
#include <cmath>
#include <map>
#include <random>
#include <vector>

/// The text of the pages: everyday office Italian, with accented words in plenty.
inline const QString& italianText() {
    static const QString text = QStringLiteral(
        "La Società cooperativa di Modena comunica ai soci che l'assemblea ordinaria si terrà "
        "lunedì prossimo presso la sede sociale. Perché la riunione sia valida è necessaria "
        "la presenza della metà più uno degli iscritti. All'ordine del giorno: approvazione "
        "del bilancio, nomina del collegio sindacale e attività previste per il prossimo "
        "anno. La qualità del servizio offerto alla città dipende anche dalla puntualità "
        "dei pagamenti: si prega quindi di versare la quota entro venerdì. Chi non potrà "
        "partecipare può delegare un altro socio con una lettera firmata. Il presidente "
        "ringrazia tutti per la collaborazione e ricorda che gli uffici resteranno chiusi "
        "nei giorni festivi. Però il servizio clienti risponderà comunque al telefono dalle "
        "nove alle diciotto, così come già avviene durante l'estate. Per ulteriori "
        "informazioni rivolgersi alla segreteria amministrativa, aperta dal martedì al "
        "sabato, oppure scrivere al nostro indirizzo di posta elettronica.");
    return text;
}

/// A word as drawn: its text, its box in the page's pixels, its baseline (from its start to
/// its end) and the number of its line.
struct DrawnWord {
    QString text;
    QRect box;
    QLineF baseline;
    int line = 0;
    int lineHeight = 0;
};

struct ItalianPage {
    QImage image; ///< Grayscale8, or Mono with a set bit black
    std::vector<DrawnWord> words;
    int dpi = 300;
};

enum class PageKind { Sans, Serif, Degraded, BlackAndWhite };

/// An A4 page at `dpi` with italianText() in 11-point `family`, left-aligned in lines that
/// wrap at the margin; the truth boxes are the words' font-metric boxes.
inline ItalianPage renderItalianPage(const QString& family, int dpi = 300) {
    ItalianPage page;
    page.dpi = dpi;
    const int width = int(std::lround(8.27 * dpi)), height = int(std::lround(11.69 * dpi));
    page.image = QImage(width, height, QImage::Format_Grayscale8);
    page.image.fill(255);
    QFont font(family);
    font.setPixelSize(int(std::lround(11.0 / 72 * dpi)));
    QPainter painter(&page.image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    const QFontMetrics metrics(font);
    const int margin = dpi, lineStep = int(metrics.lineSpacing() * 1.3);
    const int space = metrics.horizontalAdvance(QLatin1Char(' '));
    int x = margin, baseline = margin + metrics.ascent(), line = 0;
    for (const QString& word : italianText().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int advance = metrics.horizontalAdvance(word);
        if (x + advance > width - margin) {
            x = margin;
            baseline += lineStep;
            ++line;
        }
        painter.drawText(x, baseline, word);
        page.words.push_back({word,
                              QRect(x, baseline - metrics.ascent(), advance, metrics.height()),
                              QLineF(x, baseline, x + advance, baseline), line, metrics.height()});
        x += advance + space;
    }
    return page;
}

/// The turn by `degrees` counter-clockwise as seen (Qt's angles run clockwise) about the
/// centre of a page of `size`.
inline QTransform turnAboutCentre(QSize size, double degrees) {
    QTransform turn;
    turn.translate(size.width() / 2.0, size.height() / 2.0)
        .rotate(-degrees)
        .translate(-size.width() / 2.0, -size.height() / 2.0);
    return turn;
}

/// `img` (Grayscale8) drawn through `turn` on a white page of its size.
inline QImage turnedOnWhite(const QImage& img, const QTransform& turn) {
    QImage turned(img.size(), QImage::Format_Grayscale8);
    turned.fill(255);
    QPainter painter(&turned);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setTransform(turn);
    painter.drawImage(0, 0, img);
    painter.end();
    return turned;
}

/// A page of `kind`: sans or serif as rendered; Degraded blurred, specked and turned by
/// 1.5 degrees (its truth boxes turned with it); BlackAndWhite the sans page at 1 bit.
inline ItalianPage italianPage(PageKind kind, int dpi = 300) {
    ItalianPage page = renderItalianPage(kind == PageKind::Serif ? QStringLiteral("DejaVu Serif")
                                                                 : QStringLiteral("DejaVu Sans"),
                                         dpi);
    if (kind == PageKind::BlackAndWhite) {
        QImage mono(page.image.size(), QImage::Format_Mono);
        mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        for (int y = 0; y < mono.height(); ++y) {
            const uchar* grey = page.image.constScanLine(y);
            for (int x = 0; x < mono.width(); ++x)
                mono.setPixel(x, y, grey[x] < 128 ? 1 : 0);
        }
        page.image = mono;
    } else if (kind == PageKind::Degraded) {
        QImage& img = page.image;
        QImage blurred = img.copy();
        for (int y = 1; y + 1 < img.height(); ++y)
            for (int x = 1; x + 1 < img.width(); ++x) {
                int sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        sum += img.constScanLine(y + dy)[x + dx];
                blurred.scanLine(y)[x] = uchar(sum / 9);
            }
        std::mt19937 random(7);
        std::uniform_int_distribution<int> px(0, img.width() - 3), py(0, img.height() - 3);
        for (int i = 0; i < 3000; ++i) {
            const int x = px(random), y = py(random);
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx)
                    blurred.scanLine(y + dy)[x + dx] = 40;
        }
        const QTransform turn = turnAboutCentre(img.size(), 1.5);
        img = turnedOnWhite(blurred, turn);
        for (DrawnWord& w : page.words) {
            w.box = turn.mapRect(w.box);
            w.baseline = turn.map(w.baseline);
        }
    }
    return page;
}

/// A word as compared: without the punctuation around it.
inline QString bareWord(const QString& word) {
    static const QRegularExpression edges(QStringLiteral("^[^\\w]+|[^\\w]+$"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    return QString(word).remove(edges);
}

/// The share of the truth's words (by count, punctuation aside) found among `read`, and the
/// accented words of the truth that `read` lacks.
struct Recall {
    double share = 0;
    QStringList missingAccented;
};

inline Recall recallOf(const std::vector<DrawnWord>& truth, const QStringList& read) {
    std::map<QString, int> found;
    for (const QString& w : read)
        for (const QString& part :
             w.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
            ++found[bareWord(part)];
    Recall r;
    int matched = 0;
    for (const DrawnWord& w : truth) {
        const QString bare = bareWord(w.text);
        if (found[bare] > 0) {
            --found[bare];
            ++matched;
        } else if (bare.contains(QRegularExpression(QStringLiteral("[àèéìòù]")))) {
            r.missingAccented << bare;
        }
    }
    r.share = truth.empty() ? 0 : double(matched) / double(truth.size());
    return r;
}

/// The accented words of the truth (the ones whose loss matters most).
inline int accentedWords(const std::vector<DrawnWord>& truth) {
    int n = 0;
    for (const DrawnWord& w : truth)
        n += bareWord(w.text).contains(QRegularExpression(QStringLiteral("[àèéìòù]"))) ? 1 : 0;
    return n;
}
