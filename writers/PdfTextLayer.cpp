#include "writers/PdfTextLayer.h"
#include "writers/WriterSupport.h"

#include <QByteArray>
#include <QtEndian>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The font's design, in its 1000 units an em: every glyph is empty and half an em wide, the
// line 800 up and 200 down, so that a reader's selection of a word covers its line's height.
constexpr int kUnitsPerEm = 1000;
constexpr int kAdvance = 500;
constexpr int kAscent = 800;
constexpr int kDescent = -200;
constexpr auto kFontName = "ScansioneTestoInvisibile";
// The least gap left between two words of a line, in ems: readers take less for no space.
constexpr double kWordGap = 0.2;

// --- The font program: a TrueType font of two empty glyphs ---------------------------------

class BigEndian {
public:
    BigEndian& u16(int v) {
        const uint16_t be = qToBigEndian(uint16_t(v));
        m_bytes.append(reinterpret_cast<const char*>(&be), 2);
        return *this;
    }
    BigEndian& u32(uint32_t v) {
        const uint32_t be = qToBigEndian(v);
        m_bytes.append(reinterpret_cast<const char*>(&be), 4);
        return *this;
    }
    BigEndian& tag(const char* t) {
        m_bytes.append(t, 4);
        return *this;
    }
    BigEndian& bytes(const QByteArray& b) {
        m_bytes.append(b);
        return *this;
    }
    const QByteArray& data() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

uint32_t tableChecksum(const QByteArray& table) {
    QByteArray padded = table;
    padded.append((4 - padded.size() % 4) % 4, '\0');
    uint32_t sum = 0;
    for (qsizetype i = 0; i < padded.size(); i += 4)
        sum += qFromBigEndian<uint32_t>(padded.constData() + i);
    return sum;
}

QByteArray nameTable() {
    const QString names[] = {QString(),
                             QString::fromLatin1(kFontName),
                             QStringLiteral("Regular"),
                             QString(),
                             QString::fromLatin1(kFontName),
                             QString(),
                             QString::fromLatin1(kFontName)};
    const int ids[] = {1, 2, 4, 6};
    QByteArray strings;
    BigEndian records;
    for (int id : ids) {
        QByteArray utf16;
        for (QChar c : names[id])
            utf16.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xff));
        records.u16(3).u16(1).u16(0x409).u16(id).u16(int(utf16.size())).u16(int(strings.size()));
        strings.append(utf16);
    }
    BigEndian table;
    const int count = int(std::size(ids));
    table.u16(0).u16(count).u16(6 + 12 * count).bytes(records.data()).bytes(strings);
    return table.data();
}

QByteArray fontProgram() {
    struct Table {
        const char* tag;
        QByteArray data;
    };
    BigEndian head;
    head.u32(0x00010000).u32(0x00010000).u32(0 /* checkSumAdjustment, below */).u32(0x5F0F3CF5);
    head.u16(0x000B).u16(kUnitsPerEm).u32(0).u32(0).u32(0).u32(0); // flags, em, created, modified
    head.u16(0).u16(kDescent).u16(kAdvance).u16(kAscent);          // the glyphs' box
    head.u16(0).u16(8).u16(2).u16(0).u16(0); // style, smallest size, direction, short loca, format
    BigEndian hhea;
    hhea.u32(0x00010000).u16(kAscent).u16(kDescent).u16(0).u16(kAdvance);
    hhea.u16(0).u16(0).u16(kAdvance).u16(1).u16(0).u16(0); // bearings, extent, caret
    hhea.u16(0).u16(0).u16(0).u16(0).u16(0).u16(2);        // reserved, metric format, 2 metrics
    BigEndian maxp;
    maxp.u32(0x00010000).u16(2); // two glyphs: .notdef and the empty one every CID shows
    for (int i = 0; i < 13; ++i)
        maxp.u16(i == 4 ? 2 : 0); // maxZones 2, every other limit 0
    BigEndian hmtx;
    hmtx.u16(kAdvance).u16(0).u16(kAdvance).u16(0);
    BigEndian loca;
    loca.u16(0).u16(0).u16(0); // both glyphs empty: no outline bytes at all
    BigEndian cmap;            // a Unicode map with only its closing segment: no code has a glyph
    cmap.u16(0).u16(1).u16(3).u16(1).u32(12);
    cmap.u16(4).u16(24).u16(0).u16(2).u16(2).u16(0).u16(0);
    cmap.u16(0xFFFF).u16(0).u16(0xFFFF).u16(1).u16(0);
    // Version 1 of the OS/2 metrics; fsType 0: the font may be embedded without restriction.
    BigEndian os2;
    os2.u16(1).u16(kAdvance).u16(400).u16(5).u16(0); // version, width, weight, class, fsType
    os2.u16(650).u16(600).u16(0).u16(75).u16(650).u16(600).u16(0).u16(350); // sub-, superscripts
    os2.u16(50).u16(250);                                                   // strikeout
    os2.u16(0);                                                             // family class
    os2.bytes(QByteArray(10, '\0'));                                        // PANOSE
    os2.u32(0).u32(0).u32(0).u32(0).tag("SCAN");                           // Unicode ranges, vendor
    os2.u16(0x40).u16(0x20).u16(0xFFFF).u16(kAscent).u16(kDescent).u16(0); // regular, chars, typo
    os2.u16(kAscent).u16(-kDescent).u32(1).u32(0); // Windows metrics, Latin 1
    BigEndian post;
    post.u32(0x00030000).u32(0).u16(-100).u16(50).u32(1).u32(0).u32(0).u32(0).u32(0);
    // Sorted by tag, as the table directory must be.
    Table tables[] = {{"OS/2", os2.data()},  {"cmap", cmap.data()}, {"glyf", QByteArray()},
                      {"head", head.data()}, {"hhea", hhea.data()}, {"hmtx", hmtx.data()},
                      {"loca", loca.data()}, {"maxp", maxp.data()}, {"name", nameTable()},
                      {"post", post.data()}};
    const int count = int(std::size(tables));
    int power = 1, log2 = 0;
    while (power * 2 <= count) {
        power *= 2;
        ++log2;
    }
    BigEndian directory;
    directory.u32(0x00010000).u16(count).u16(power * 16).u16(log2).u16(count * 16 - power * 16);
    QByteArray body;
    uint32_t offset = uint32_t(12 + 16 * count);
    qsizetype headAt = 0;
    for (const Table& t : tables) {
        directory.tag(t.tag).u32(tableChecksum(t.data)).u32(offset).u32(uint32_t(t.data.size()));
        if (std::string(t.tag) == "head")
            headAt = qsizetype(offset);
        QByteArray padded = t.data;
        padded.append((4 - padded.size() % 4) % 4, '\0');
        body.append(padded);
        offset += uint32_t(padded.size());
    }
    QByteArray font = directory.data() + body;
    const uint32_t adjustment = qToBigEndian(uint32_t(0xB1B0AFBA - tableChecksum(font)));
    std::memcpy(font.data() + headAt + 8, &adjustment, 4);
    return font;
}

// --- PDF helpers ------------------------------------------------------------------------------

using writer::pdfNumber;

QPDFObjectHandle flateStream(QPDF& pdf, const QByteArray& data) {
    QPDFObjectHandle stream = pdf.newStream();
    // qCompress puts the length before the zlib stream FlateDecode reads.
    const QByteArray zlib = qCompress(data, 9).mid(4);
    stream.replaceStreamData(zlib.toStdString(), QPDFObjectHandle::newName("/FlateDecode"),
                             QPDFObjectHandle::newNull());
    return stream;
}

// CIDs are UTF-16 code units, so one map of every code unit to itself serves all documents;
// each range keeps its high byte, as a CMap range must.
QByteArray hex4(int v) {
    return QByteArray::number(v | 0x10000, 16).toUpper().mid(1);
}

QByteArray toUnicodeMap() {
    std::vector<int> highs;
    for (int high = 0; high < 256; ++high)
        if (high < 0xD8 || high > 0xDF) // surrogates: never drawn alone
            highs.push_back(high);
    QByteArray map = "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
                     "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                     "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
                     "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    // A bfrange section holds at most 100 entries.
    for (size_t at = 0; at < highs.size(); at += 100) {
        const size_t count = std::min<size_t>(100, highs.size() - at);
        map += QByteArray::number(qulonglong(count)) + " beginbfrange\n";
        for (size_t i = at; i < at + count; ++i) {
            const int low = highs[i] << 8;
            map += '<' + hex4(low) + "> <" + hex4(low | 0xFF) + "> <" + hex4(low) + ">\n";
        }
        map += "endbfrange\n";
    }
    map += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
    return map;
}

QPDFObjectHandle makeFont(QPDF& pdf) {
    const std::string name = std::string("/") + kFontName;
    // Every CID shows glyph 1, the empty one.
    QByteArray cidToGid(65536 * 2, '\0');
    for (int cid = 0; cid < 65536; ++cid)
        cidToGid[cid * 2 + 1] = 1;
    QPDFObjectHandle fontFile = flateStream(pdf, fontProgram());
    fontFile.getDict().replaceKey("/Length1", QPDFObjectHandle::newInteger(fontProgram().size()));

    QPDFObjectHandle descriptor = QPDFObjectHandle::parse(
        "<< /Type /FontDescriptor /FontName " + name + " /Flags 5 /FontBBox [0 " +
        std::to_string(kDescent) + " " + std::to_string(kAdvance) + " " + std::to_string(kAscent) +
        "] /ItalicAngle 0 /Ascent " + std::to_string(kAscent) + " /Descent " +
        std::to_string(kDescent) + " /CapHeight " + std::to_string(kAscent) + " /StemV 80 >>");
    descriptor.replaceKey("/FontFile2", fontFile);
    // All 65536 CIDs are in the font (each maps to glyph 1).
    descriptor.replaceKey("/CIDSet", flateStream(pdf, QByteArray(65536 / 8, char(0xFF))));

    QPDFObjectHandle cidFont = QPDFObjectHandle::parse(
        "<< /Type /Font /Subtype /CIDFontType2 /BaseFont " + name +
        " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >>"
        " /DW " +
        std::to_string(kAdvance) + " /W [0 65535 " + std::to_string(kAdvance) + "] >>");
    cidFont.replaceKey("/FontDescriptor", pdf.makeIndirectObject(descriptor));
    cidFont.replaceKey("/CIDToGIDMap", flateStream(pdf, cidToGid));

    QPDFObjectHandle font = QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type0 /BaseFont " +
                                                    name + " /Encoding /Identity-H >>");
    font.replaceKey("/DescendantFonts",
                    QPDFObjectHandle::newArray({pdf.makeIndirectObject(cidFont)}));
    font.replaceKey("/ToUnicode", flateStream(pdf, toUnicodeMap()));
    return pdf.makeIndirectObject(font);
}

// The word's text as the font's codes: its UTF-16 code units (`units` of them, the space
// after it aside), characters beyond the Basic Multilingual Plane left out (the font's CMap
// has no pairs for them; Italian text has none).
QByteArray codesOf(const QString& text, int& units) {
    QByteArray hex = "<";
    units = 0;
    for (QChar c : text) {
        if (c.isSurrogate() || c.unicode() == 0)
            continue;
        hex += hex4(c.unicode());
        ++units;
    }
    // A space after each word: readers break words at a space whatever the gap, and words
    // fitted to boxes that touch (a speck joined to a word) would run together without it.
    return hex + "0020>";
}

} // namespace

struct PdfTextLayer::Impl {
    explicit Impl(QPDF& p) : pdf(p) {}
    QPDF& pdf;
    QPDFObjectHandle font; ///< made for the first page with words, shared by the others
};

PdfTextLayer::PdfTextLayer(QPDF& pdf) : d(std::make_unique<Impl>(pdf)) {}

PdfTextLayer::~PdfTextLayer() = default;

int PdfTextLayer::addToPage(QPDFPageObjectHelper& page, QSizeF pageSizePoints, QSize imagePixels,
                            const OcrWords& words) {
    return addToPage(page, QRectF(QPointF(0, 0), pageSizePoints), imagePixels, words);
}

int PdfTextLayer::addToPage(QPDFPageObjectHelper& page, QRectF imagePoints, QSize imagePixels,
                            const OcrWords& words) {
    if (imagePixels.isEmpty() || imagePoints.isEmpty())
        return 0;
    const double sx = imagePoints.width() / imagePixels.width();
    const double sy = imagePoints.height() / imagePixels.height();
    const QRect image(QPoint(0, 0), imagePixels);
    // Page coordinates: points, origin bottom-left; the image's top edge is at y + height.
    const double top = imagePoints.y() + imagePoints.height();
    auto toPage = [&](QPointF p) {
        return QPointF(imagePoints.x() + p.x() * sx, top - p.y() * sy);
    };

    // Each word placed along its line: from its origin, `to - from` points long.
    struct Placed {
        QByteArray codes;
        int units = 0;
        int line = 0;
        QPointF p1, dir;
        double from = 0, to = 0, size = 0;
    };
    std::vector<Placed> placed;
    for (const OcrWord& w : words) {
        Placed p;
        p.codes = codesOf(w.text, p.units);
        if (p.units == 0 || !image.contains(w.box))
            continue;
        p.line = w.line;
        p.p1 = toPage(w.baseStart);
        p.dir = toPage(w.baseEnd) - p.p1;
        const double length = std::hypot(p.dir.x(), p.dir.y());
        p.dir = length > 0 ? p.dir / length : QPointF(1, 0);
        // The word's extent along its baseline: its box's corners projected on the line.
        bool first = true;
        for (QPointF corner :
             {w.box.topLeft(), w.box.topRight() + QPoint(1, 0), w.box.bottomLeft() + QPoint(0, 1),
              w.box.bottomRight() + QPoint(1, 1)}) {
            const QPointF c = toPage(corner) - p.p1;
            const double along = c.x() * p.dir.x() + c.y() * p.dir.y();
            p.from = first ? along : std::min(p.from, along);
            p.to = first ? along : std::max(p.to, along);
            first = false;
        }
        const double height = (w.lineHeight > 0 ? w.lineHeight : w.box.height()) * sy;
        p.size = std::max(1.0, height * kUnitsPerEm / (kAscent - kDescent));
        placed.push_back(std::move(p));
    }
    if (placed.empty())
        return 0;
    // Boxes that touch (a speck read as part of a word) would make readers join two words
    // into one when they rebuild the text's spaces from the gaps: a word ends a little before
    // the next on its line begins, unless that would take most of it.
    for (size_t i = 0; i + 1 < placed.size(); ++i) {
        Placed& p = placed[i];
        const Placed& next = placed[i + 1];
        if (next.line != p.line || next.p1 != p.p1)
            continue;
        const double end = next.from - kWordGap * p.size;
        if (end < p.to && end - p.from > (p.to - p.from) / 2)
            p.to = end;
    }

    if (!d->font.isInitialized())
        d->font = makeFont(d->pdf);
    QPDFObjectHandle resources = page.getAttribute("/Resources", true);
    if (!resources.isDictionary()) {
        resources = QPDFObjectHandle::newDictionary();
        page.getObjectHandle().replaceKey("/Resources", resources);
    }
    QPDFObjectHandle fonts = resources.getKey("/Font");
    fonts = fonts.isDictionary() ? fonts.shallowCopy() : QPDFObjectHandle::newDictionary();
    // A name of the page's own is kept; ours takes the first free one.
    std::string name = "/FTxt";
    for (int n = 1; fonts.hasKey(name) && !(fonts.getKey(name).isSameObjectAs(d->font)); ++n)
        name = "/FTxt" + std::to_string(n);
    fonts.replaceKey(name, d->font);
    resources.replaceKey("/Font", fonts);

    auto num = [](double v) { return QByteArray::fromStdString(pdfNumber(v)); };
    QByteArray content = "Q\nBT\n3 Tr\n";
    QByteArray size; // the font size set last: a line's words share theirs
    for (const Placed& p : placed) {
        const QPointF origin = p.p1 + p.dir * p.from;
        const double natural = p.units * p.size * kAdvance / kUnitsPerEm;
        const double scale = std::clamp(100.0 * (p.to - p.from) / natural, 1.0, 10000.0);
        if (num(p.size) != size) {
            size = num(p.size);
            content += QByteArray::fromStdString(name) + ' ' + size + " Tf ";
        }
        const QByteArray c = QByteArray::fromStdString(pdfNumber(p.dir.x(), 4));
        const QByteArray s = QByteArray::fromStdString(pdfNumber(p.dir.y(), 4));
        const QByteArray minusS = QByteArray::fromStdString(pdfNumber(-p.dir.y(), 4));
        content += QByteArray::fromStdString(pdfNumber(scale, 1)) + " Tz " + c + ' ' + s + ' ' +
                   minusS + ' ' + c + ' ' + num(origin.x()) + ' ' + num(origin.y()) + " Tm " +
                   p.codes + " Tj\n";
    }
    content += "ET\n";

    page.addPageContents(d->pdf.newStream("q\n"), true);
    page.addPageContents(flateStream(d->pdf, content), false);
    return int(placed.size());
}
