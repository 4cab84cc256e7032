// The invisible text layer over page images, from words whose boxes are known exactly, judged
// by poppler (pdftotext, its word boxes, pdffonts), qpdf --check, mupdf and Ghostscript.
#include "component_base/ScanError.h"
#include "support/ItalianPages.h"
#include "support/PdfaChecks.h"
#include "support/SearchablePdf.h"
#include "writers/PdfTextLayer.h"

#include <QFile>
#include <QRawFont>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <cmath>
#include <map>

namespace {

OcrWords wordsOf(const ItalianPage& page) {
    OcrWords words;
    for (const DrawnWord& d : page.words) {
        OcrWord w;
        w.box = d.box;
        w.baseStart = d.baseline.p1();
        w.baseEnd = d.baseline.p2();
        w.angle = -d.baseline.angle() < -180 ? 360 - d.baseline.angle() : -d.baseline.angle();
        w.lineHeight = d.lineHeight;
        w.line = d.line;
        w.text = d.text;
        words.push_back(w);
    }
    return words;
}

struct PdfWord {
    QString text;
    QRectF box; // points, origin top-left, as pdftotext -bbox gives them
};

std::vector<PdfWord> pdfBoxes(const QString& pdf, int page) {
    const QString out = pdf + QStringLiteral(".html");
    EXPECT_EQ(runTool(QStringLiteral("pdftotext"),
                      {QStringLiteral("-bbox"), QStringLiteral("-f"), QString::number(page),
                       QStringLiteral("-l"), QString::number(page), pdf, out})
                  .exitCode,
              0);
    static const QRegularExpression word(
        QStringLiteral("<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" "
                       "yMax=\"([\\d.]+)\">([^<]*)</word>"));
    std::vector<PdfWord> words;
    for (auto m = word.globalMatch(QString::fromUtf8(contents(out))); m.hasNext();) {
        const auto w = m.next();
        words.push_back({w.captured(5).replace(QStringLiteral("&apos;"), QStringLiteral("'")),
                         QRectF(QPointF(w.captured(1).toDouble(), w.captured(2).toDouble()),
                                QPointF(w.captured(3).toDouble(), w.captured(4).toDouble()))});
    }
    return words;
}

std::string bytesOf(QPDFObjectHandle stream, bool decoded = false) {
    const std::shared_ptr<Buffer> raw =
        decoded ? stream.getStreamData() : stream.getRawStreamData();
    return std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize());
}

// The bytes of every stream a page draws with: its images' as stored, its content streams'
// decoded (qpdf compresses a content stream it writes).
std::map<std::string, std::string> pageStreams(const QString& pdf) {
    QPDF doc;
    doc.processFile(pdf.toLocal8Bit().constData());
    std::map<std::string, std::string> streams;
    int k = 0;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
        for (auto& [name, image] : page.getImages())
            streams[std::to_string(k) + name] = bytesOf(image);
        int c = 0;
        for (QPDFObjectHandle& content : page.getPageContents())
            streams[std::to_string(k) + "content" + std::to_string(c++)] = bytesOf(content, true);
        ++k;
    }
    return streams;
}

class PdfTextLayerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

// Upright grey, black and white at another resolution, and a turned page: every word comes
// back from pdftotext with its accents, each on its box, over image bytes left as they were,
// with one embedded font for the whole document, in a file qpdf, mupdf and Ghostscript accept.
TEST_F(PdfTextLayerTest, WordsLieOnTheirBoxesOverUntouchedImages) {
    const std::vector<ItalianPage> pages = {italianPage(PageKind::Sans, 300),
                                            italianPage(PageKind::BlackAndWhite, 200),
                                            italianPage(PageKind::Degraded, 300)};
    std::vector<QImage> images;
    std::vector<OcrWords> words;
    std::vector<QSize> pixels;
    for (const ItalianPage& p : pages) {
        images.push_back(p.image);
        words.push_back(wordsOf(p));
        pixels.push_back(p.image.size());
    }
    words.push_back({}); // a fourth page without words
    images.push_back(pages[0].image);
    pixels.push_back(pages[0].image.size());
    const QString plain = path(QStringLiteral("immagini.pdf"));
    const QString searchable = path(QStringLiteral("testo.pdf"));
    writeImagePdf(dir, images, plain);
    const std::vector<int> drawn = addTextLayer(plain, searchable, words, pixels);
    ASSERT_EQ(drawn.size(), 4u);

    for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(drawn[i], int(pages[i].words.size()));
        // On the turned page poppler cuts a word where its slanting glyphs have climbed half a
        // point from the first one, so a few long words come back in two pieces.
        const bool turned = i == 2;
        const Recall r = recallOf(pages[i].words, pdfWords(searchable, int(i) + 1));
        EXPECT_GE(r.share, turned ? 0.95 : 1.0);
        EXPECT_TRUE(r.missingAccented.isEmpty()) << r.missingAccented.join(' ').toStdString();
        const double scale = 595.28 / pages[i].image.width(); // points a pixel
        const std::vector<PdfWord> boxes = pdfBoxes(searchable, int(i) + 1);
        if (!turned) {
            ASSERT_EQ(boxes.size(), pages[i].words.size());
        }
        // pdftotext lists words in reading order; a turned page's lines may come out in
        // another order, so each word is matched with the nearest truth word of its text.
        int far = 0;
        for (const PdfWord& b : boxes) {
            EXPECT_TRUE(QRectF(0, 0, 595.28, 841.89).contains(b.box)) << b.text.toStdString();
            double nearest = -1;
            for (const DrawnWord& t : pages[i].words)
                if (t.text == b.text) {
                    const QPointF c = QRectF(t.box).center() * scale - b.box.center();
                    nearest = nearest < 0 ? std::hypot(c.x(), c.y())
                                          : std::min(nearest, std::hypot(c.x(), c.y()));
                }
            if (nearest < 0) {
                EXPECT_TRUE(turned) << b.text.toStdString(); // only a piece matches no word
                continue;
            }
            far += nearest >= 3.0 ? 1 : 0; // points between a word's box and its truth
        }
        // A piece of a cut word may match a word of its text elsewhere.
        EXPECT_LE(far, turned ? int(boxes.size()) / 20 : 0);
    }
    EXPECT_EQ(drawn[3], 0);
    EXPECT_TRUE(pdfWords(searchable).contains(QStringLiteral("Società")));

    // The plain document's streams are all still there, byte for byte; only text was added.
    const auto before = pageStreams(plain), after = pageStreams(searchable);
    for (const auto& [name, bytes] : before) {
        if (name.find("content") == std::string::npos) {
            EXPECT_EQ(after.at(name), bytes) << name;
        }
    }
    for (int k : {0, 1, 2})
        EXPECT_EQ(after.at(std::to_string(k) + "content1"),
                  before.at(std::to_string(k) + "content0"));
    EXPECT_EQ(after.at("3content0"), before.at("3content0"));
    EXPECT_EQ(after.count("3content1"), 0u);

    EXPECT_EQ(runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), searchable}).exitCode, 0);
    const ToolResult fonts = runTool(QStringLiteral("pdffonts"), {searchable});
    ASSERT_EQ(fonts.exitCode, 0);
    const QStringList fontLines = fonts.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(2);
    ASSERT_EQ(fontLines.size(), 1) << fonts.output.toStdString(); // one font, shared by the pages
    EXPECT_TRUE(fontLines[0].contains(
        QRegularExpression(QStringLiteral("CID TrueType\\s+Identity-H\\s+yes\\s+no\\s+yes"))))
        << fontLines[0].toStdString(); // embedded, not subset-named, with a ToUnicode map

    // Readers that load the font program to draw the page find nothing wrong with it.
    for (const auto& [program, args] : std::vector<std::pair<QString, QStringList>>{
             {QStringLiteral("pdftoppm"),
              {QStringLiteral("-r"), QStringLiteral("20"), searchable, path(QStringLiteral("r"))}},
             {QStringLiteral("mutool"),
              {QStringLiteral("draw"), QStringLiteral("-r"), QStringLiteral("20"),
               QStringLiteral("-o"), path(QStringLiteral("m%d.png")), searchable}},
             {QStringLiteral("gs"),
              {QStringLiteral("-q"), QStringLiteral("-dBATCH"), QStringLiteral("-dNOPAUSE"),
               QStringLiteral("-sDEVICE=nullpage"), searchable}}}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            continue;
        const ToolResult r = runTool(program, args);
        EXPECT_EQ(r.exitCode, 0) << program.toStdString();
        // mutool names each page it draws and warns that it was built without colour management.
        const QStringList complaints =
            r.output.split(QLatin1Char('\n'))
                .filter(QRegularExpression(QStringLiteral("error|font|warning(?!: ICC support)"),
                                           QRegularExpression::CaseInsensitiveOption));
        EXPECT_TRUE(complaints.isEmpty())
            << program.toStdString() << ": " << r.output.toStdString();
    }
    // The embedded font program itself, as FreeType (through Qt) reads it.
    QPDF doc;
    doc.processFile(searchable.toLocal8Bit().constData());
    QPDFObjectHandle font = QPDFPageDocumentHelper(doc)
                                .getAllPages()
                                .front()
                                .getObjectHandle()
                                .getKey("/Resources")
                                .getKey("/Font")
                                .getKey("/FTxt");
    QPDFObjectHandle cid = font.getKey("/DescendantFonts").getArrayItem(0);
    const std::string program = bytesOf(cid.getKey("/FontDescriptor").getKey("/FontFile2"), true);
    const QRawFont raw(QByteArray::fromStdString(program), 12);
    ASSERT_TRUE(raw.isValid());
    EXPECT_EQ(raw.familyName(), QStringLiteral("ScansioneTestoInvisibile"));
    EXPECT_EQ(raw.unitsPerEm(), 1000);
    EXPECT_EQ(cid.getKey("/FontDescriptor").getKey("/CIDSet").isStream(), true);

    const qint64 added = QFile(searchable).size() - QFile(plain).size();
    std::printf("text layer: %lld bytes for %zu pages of about %zu words\n", added, pages.size(),
                pages[0].words.size());
}

// --- The writer's own route: DrawPageText over the rectangle DrawImage filled --------------

struct WriterPage {
    ItalianPage page;
    QRectF mm;         // where DrawImage and DrawPageText put it: x, y from the bottom, w, h
    bool words = true; // given its words
};

/// Writes `pages` with the writer as `conformance`, their words laid when `withText`; with
/// `emptyText` each page is given an empty word list instead. EndDocument's result.
int32_t writeWithText(const QTemporaryDir& dir, const std::vector<WriterPage>& pages,
                      const QString& pdf, PdfConformance conformance, bool withText,
                      bool emptyText = false) {
    PdfWriter w;
    w.setConformance(conformance);
    w.setOutputPath(pdf);
    w.BeginDocument(QString());
    w.setDocumentMode(4);
    int k = 0;
    for (const WriterPage& p : pages) {
        const QString file = dir.filePath(QStringLiteral("pagina_%1.png").arg(k++));
        EXPECT_TRUE(p.page.image.save(file));
        w.AddPage(210, 297);
        const QRectF& r = p.mm;
        w.DrawImage(w.AddImageFile(file), r.x(), r.y(), r.width(), r.height());
        if (emptyText)
            w.DrawPageText({}, p.page.image.size(), r.x(), r.y(), r.width(), r.height());
        else if (withText && p.words)
            w.DrawPageText(wordsOf(p.page), p.page.image.size(), r.x(), r.y(), r.width(),
                           r.height());
        w.EndPage(QString());
    }
    return w.EndDocument();
}

class WriterText : public PdfTextLayerTest, public ::testing::WithParamInterface<PdfConformance> {};

// A whole page, a page left without words, and a black and white page drawn into a smaller
// rectangle: the words come back from pdftotext with their accents, each on its box inside
// its image, over page images byte for byte those of the document without text; the PDF/A
// clauses hold with the text, as pikepdf, qpdf and poppler judge them.
TEST_P(WriterText, WordsLieOnTheirImageWhichStaysAsItWas) {
    const std::vector<WriterPage> pages = {
        {italianPage(PageKind::Sans, 100), QRectF(0, 297, 210, 297)},
        {italianPage(PageKind::Serif, 100), QRectF(0, 297, 210, 297), false},
        {italianPage(PageKind::BlackAndWhite, 150), QRectF(15, 280, 180, 254.57)}};
    const QString plain = path(QStringLiteral("senza_testo.pdf"));
    const QString searchable = path(QStringLiteral("con_testo.pdf"));
    ASSERT_EQ(writeWithText(dir, pages, plain, PdfConformance::Plain, false), 1);
    ASSERT_EQ(writeWithText(dir, pages, searchable, GetParam(), true), 1);

    constexpr double pt = 72.0 / 25.4;
    for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(i);
        const ItalianPage& p = pages[i].page;
        const QStringList read = pdfWords(searchable, int(i) + 1);
        if (!pages[i].words) {
            EXPECT_TRUE(read.isEmpty());
            continue;
        }
        const Recall r = recallOf(p.words, read);
        EXPECT_EQ(r.share, 1.0);
        EXPECT_TRUE(r.missingAccented.isEmpty()) << r.missingAccented.join(' ').toStdString();
        // The image's rectangle in pdftotext's points (origin top-left).
        const QRectF mm = pages[i].mm;
        const QRectF image(mm.x() * pt, (297 - mm.y()) * pt, mm.width() * pt, mm.height() * pt);
        const double scale = image.width() / p.image.width();
        const std::vector<PdfWord> boxes = pdfBoxes(searchable, int(i) + 1);
        ASSERT_EQ(boxes.size(), p.words.size());
        for (size_t j = 0; j < boxes.size(); ++j) {
            EXPECT_TRUE(image.adjusted(-0.5, -0.5, 0.5, 0.5).contains(boxes[j].box))
                << boxes[j].text.toStdString();
            const QPointF truth = image.topLeft() + QRectF(p.words[j].box).center() * scale;
            const QPointF off = truth - boxes[j].box.center();
            EXPECT_LT(std::hypot(off.x(), off.y()), 3.0) << boxes[j].text.toStdString();
        }
    }
    EXPECT_TRUE(pdfWords(searchable).contains(QStringLiteral("Società")));

    const auto before = pageStreams(plain), after = pageStreams(searchable);
    for (const auto& [name, bytes] : before) {
        if (name.find("content") == std::string::npos) {
            EXPECT_EQ(after.at(name), bytes) << name;
        }
    }
    EXPECT_EQ(after.count("1content1"), 0u); // the page without words keeps its one stream
    const ToolResult check =
        runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), searchable});
    EXPECT_EQ(check.exitCode, 0) << check.output.toStdString();
    if (GetParam() != PdfConformance::Plain) {
        const int part = GetParam() == PdfConformance::PdfA1b ? 1 : 2;
        const ToolResult verdict = checkPdfa(searchable, part, plain);
        EXPECT_EQ(verdict.exitCode, 0) << verdict.output.toStdString();
        expectOpensEverywhere(searchable, part);
    }
}

INSTANTIATE_TEST_SUITE_P(Conformances, WriterText,
                         ::testing::Values(PdfConformance::Plain, PdfConformance::PdfA1b,
                                           PdfConformance::PdfA2b));

// Pages given no words are written byte for byte as a writer that was never asked writes
// them; text for no page, or over a rectangle without area, is refused.
TEST_F(PdfTextLayerTest, WriterWithoutWordsWritesTheDocumentOfToday) {
    const std::vector<WriterPage> pages = {
        {italianPage(PageKind::Sans, 60), QRectF(0, 297, 210, 297)}};
    const QString never = path(QStringLiteral("mai.pdf"));
    const QString empty = path(QStringLiteral("vuoto.pdf"));
    ASSERT_EQ(writeWithText(dir, pages, never, PdfConformance::Plain, false), 1);
    ASSERT_EQ(writeWithText(dir, pages, empty, PdfConformance::Plain, false, true), 1);
    EXPECT_EQ(pdfContents(empty), pdfContents(never));

    PdfWriter w;
    const OcrWords words = wordsOf(pages[0].page);
    EXPECT_THROW(w.DrawPageText(words, QSize(10, 10), 0, 297, 210, 297), ScanError);
    w.AddPage(210, 297);
    for (const QRectF& r :
         {QRectF(0, 297, 0, 297), QRectF(0, 297, 210, -1), QRectF(0, std::nan(""), 210, 297)})
        EXPECT_THROW(w.DrawPageText(words, QSize(10, 10), r.x(), r.y(), r.width(), r.height()),
                     ScanError);
}

} // namespace
