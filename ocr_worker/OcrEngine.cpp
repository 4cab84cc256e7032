#include "ocr_worker/OcrEngine.h"
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>
#include <memory>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>
#include <vector>

namespace {

constexpr auto kDebianDataPath = "/usr/share/tesseract-ocr/5/tessdata";
// A page beyond this (A3 at 1200 dpi is 14,000 × 20,000) is not a scan: refused before
// tesseract allocates for it.
constexpr int64_t kMaxPixels = 400'000'000;

int bytesPerPixelOf(OcrPixelFormat format) {
    switch (format) {
    case OcrPixelFormat::Mono:
        return 0; // tesseract's code for one bit a pixel
    case OcrPixelFormat::Gray8:
        return 1;
    case OcrPixelFormat::Rgb24:
        return 3;
    }
    return -1;
}

} // namespace

bool validPixels(const OcrPixels& page) {
    if (!page.data || page.width <= 0 || page.height <= 0 ||
        int64_t(page.width) * page.height > kMaxPixels)
        return false;
    switch (page.format) {
    case OcrPixelFormat::Mono:
        return page.bytesPerLine >= (int64_t(page.width) + 7) / 8;
    case OcrPixelFormat::Gray8:
        return page.bytesPerLine >= page.width;
    case OcrPixelFormat::Rgb24:
        return page.bytesPerLine >= int64_t(page.width) * 3;
    }
    return false;
}

QString tessDataFolder(const QString& dataPath) {
    return dataPath.isEmpty()
               ? qEnvironmentVariable("TESSDATA_PREFIX", QString::fromLatin1(kDebianDataPath))
               : dataPath;
}

struct OcrEngine::Api {
    tesseract::TessBaseAPI tess;
};

QString ocrLanguagePackage(const QString& code) {
    return QStringLiteral("tesseract-ocr-") +
           code.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
}

OcrEngine::OcrEngine(const QString& dataPath)
    : m_api(std::make_unique<Api>()), m_dataPath(tessDataFolder(dataPath)) {}

OcrEngine::~OcrEngine() = default;

QString OcrEngine::load(const QString& languages) {
    if (languages == m_loaded)
        return QString();
    // Codes name files in the data folder: nothing but a code may reach the path.
    static const QRegularExpression code(QStringLiteral("^(script/)?[A-Za-z0-9_]+$"));
    const QStringList codes = languages.split(QLatin1Char('+'));
    for (const QString& c : codes) {
        if (!code.match(c).hasMatch())
            return QStringLiteral("Lingua OCR non valida: «%1»").arg(languages);
        if (!QFileInfo(m_dataPath + QLatin1Char('/') + c + QStringLiteral(".traineddata")).isFile())
            return QStringLiteral("Lingua OCR «%1» non installata: la porta il pacchetto %2")
                .arg(c, ocrLanguagePackage(c));
    }
    m_loaded.clear();
    const QByteArray path = QFileInfo(m_dataPath).absoluteFilePath().toLocal8Bit();
    if (m_api->tess.Init(path.constData(), languages.toLatin1().constData(),
                         tesseract::OEM_LSTM_ONLY) != 0)
        return QStringLiteral("Dati della lingua OCR «%1» illeggibili in %2")
            .arg(languages, m_dataPath);
    m_api->tess.SetPageSegMode(tesseract::PSM_AUTO);
    m_loaded = languages;
    return QString();
}

OcrResult OcrEngine::recognise(const OcrPixels& page, const QString& languages, int timeLimitMs) {
    OcrResult result;
    const int bpp = bytesPerPixelOf(page.format);
    if (bpp < 0 || !validPixels(page)) {
        result.error = QStringLiteral("Pagina non valida per l'OCR (%1 × %2, %3 byte per riga)")
                           .arg(page.width)
                           .arg(page.height)
                           .arg(page.bytesPerLine);
        return result;
    }
    result.error = load(languages.isEmpty() ? QStringLiteral("ita") : languages);
    if (!result.ok())
        return result;

    tesseract::TessBaseAPI& tess = m_api->tess;
    std::vector<uint8_t> inverted;
    const uint8_t* data = page.data;
    if (page.format == OcrPixelFormat::Mono) {
        // Tesseract takes a set bit for white.
        inverted.resize(size_t(page.bytesPerLine) * size_t(page.height));
        for (size_t i = 0; i < inverted.size(); ++i)
            inverted[i] = uint8_t(~page.data[i]);
        data = inverted.data();
    }
    tess.SetImage(data, page.width, page.height, bpp, page.bytesPerLine);
    if (page.dpi > 0)
        tess.SetSourceResolution(page.dpi);
    tesseract::ETEXT_DESC monitor;
    monitor.set_deadline_msecs(timeLimitMs);
    const bool failed = tess.Recognize(&monitor) != 0;
    if (failed || monitor.deadline_exceeded()) {
        tess.Clear();
        result.error =
            failed && !monitor.deadline_exceeded()
                ? QStringLiteral("Riconoscimento del testo non riuscito")
                : QStringLiteral("Riconoscimento del testo oltre %1 s").arg(timeLimitMs / 1000.0);
        return result;
    }
    std::unique_ptr<tesseract::ResultIterator> it(tess.GetIterator());
    int line = -1;
    if (it) {
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE))
                ++line;
            if (it->Empty(tesseract::RIL_WORD))
                continue;
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
            OcrWord w;
            w.text = QString::fromUtf8(text.get()).trimmed();
            if (w.text.isEmpty())
                continue;
            int l, t, r, b;
            it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b);
            w.box = QRect(QPoint(l, t), QPoint(r - 1, b - 1));
            int x1, y1, x2, y2;
            if (it->Baseline(tesseract::RIL_TEXTLINE, &x1, &y1, &x2, &y2)) {
                w.baseStart = QPointF(x1, y1);
                w.baseEnd = QPointF(x2, y2);
            } else {
                w.baseStart = QPointF(l, b);
                w.baseEnd = QPointF(r, b);
            }
            // y grows downwards in pixels: a line rising to the right ends higher up.
            w.angle = std::atan2(w.baseStart.y() - w.baseEnd.y(), w.baseEnd.x() - w.baseStart.x()) *
                      180.0 / M_PI;
            float rowHeight = 0, descenders = 0, ascenders = 0;
            it->RowAttributes(&rowHeight, &descenders, &ascenders);
            w.lineHeight = rowHeight > 0 ? rowHeight : b - t;
            w.line = std::max(line, 0);
            w.confidence = it->Confidence(tesseract::RIL_WORD);
            result.words.push_back(std::move(w));
        } while (it->Next(tesseract::RIL_WORD));
    }
    it.reset();
    tess.Clear(); // the page's image and results, not the language
    return result;
}
