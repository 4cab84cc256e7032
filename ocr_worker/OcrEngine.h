#pragma once
#include "common/OcrWord.h"
#include "ocr_worker/OcrProtocol.h"
#include <QString>
#include <cstdint>
#include <memory>

/// A page's full-resolution pixels as the scanner gave them. Not owned: they must stay valid
/// for the call they are passed to.
struct OcrPixels {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    int dpi = 0; ///< 0 when unknown (the recogniser then guesses from the text's size)
    OcrPixelFormat format = OcrPixelFormat::Gray8;
};

/// True when `page` has pixels of a known format, each row long enough for its width, and is
/// no larger than a scan can be (A3 at 1200 dpi): anything else is refused before tesseract
/// or leptonica allocates for it.
bool validPixels(const OcrPixels& page);

/// The folder of tesseract's data: `dataPath` when given, else TESSDATA_PREFIX from the
/// environment, else Debian's folder.
QString tessDataFolder(const QString& dataPath);

/// The text recogniser of one worker session: it holds tesseract with the language data
/// loaded, so that a page costs only its recognition, and loads data again only when the
/// language asked for changes. Tesseract runs on the calling thread only, one thread in all,
/// provided the process was started with OMP_THREAD_LIMIT=1 in its environment (tesseract's
/// OpenMP reads it once, before main; on two cores its default threads fight each other and
/// a page takes three times as long). Not thread-safe; this links libtesseract, so only the
/// OCR worker program (and its tests) may use it.
class OcrEngine {
public:
    /// `dataPath`: the folder of the *.traineddata files; empty takes TESSDATA_PREFIX from the
    /// environment, else Debian's folder.
    explicit OcrEngine(const QString& dataPath = QString());
    ~OcrEngine();
    OcrEngine(const OcrEngine&) = delete;
    OcrEngine& operator=(const OcrEngine&) = delete;

    /// Reads `page` in `languages` (tesseract codes joined by '+', e.g. "ita" or "ita+eng";
    /// empty means "ita"). A language whose data is not installed, a malformed code or bad
    /// pixel geometry gives an error and no words; a missing language names the Debian
    /// package that brings it. With `timeLimitMs` above 0, recognition that takes longer
    /// stops and gives an error instead of words (tesseract checks its clock between words,
    /// so this bounds a slow page, not a hung one: that takes the worker's end).
    OcrResult recognise(const OcrPixels& page, const QString& languages, int timeLimitMs = 0);

    /// The folder the language data is read from.
    QString dataPath() const { return m_dataPath; }

private:
    QString load(const QString& languages);
    struct Api;
    std::unique_ptr<Api> m_api;
    QString m_dataPath;
    QString m_loaded; ///< the languages tesseract holds now; empty when none
};

/// The Debian package holding tesseract's data for language `code` ("chi_sim" →
/// "tesseract-ocr-chi-sim").
QString ocrLanguagePackage(const QString& code);
