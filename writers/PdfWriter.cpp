#include "writers/PdfWriter.h"

#include "component_base/ComponentErrors.h"
#include "writers/ImageWriters.h"
#include "writers/PdfArchive.h"
#include "component_base/ScanError.h"
#include "writers/PdfPageImage.h"
#include "writers/PdfTextLayer.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"

#include <qpdf/Buffer.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <QDateTime>

#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double pointsPerMm = 72.0 / 25.4;

using writer::pdfNumber;

// The encoded bytes, copied once into the buffer qpdf keeps until the file is written.
std::shared_ptr<Buffer> toBuffer(const QByteArray& bytes) {
    auto buffer = std::make_shared<Buffer>(size_t(bytes.size()));
    std::memcpy(buffer->getBuffer(), bytes.constData(), size_t(bytes.size()));
    return buffer;
}

// QPDFWriter's output straight into our temporary file, every write checked.
class FdPipeline : public Pipeline {
public:
    FdPipeline(int fd, const QString& path)
        : Pipeline("scansione-output", nullptr), m_fd(fd), m_path(path) {}
    void write(unsigned char const* data, size_t len) override {
        writer::writeAll(m_fd, data, len, m_path);
    }
    void finish() override {}

private:
    int m_fd;
    QString m_path;
};

[[noreturn]] void rethrowAsScanError(const QString& what) {
    try {
        throw;
    } catch (const ScanError&) {
        throw;
    } catch (const std::exception& e) {
        throw ScanError(what + QStringLiteral(": ") + QString::fromLocal8Bit(e.what()),
                        componentError::WriteFailed);
    }
}

} // namespace

struct PdfWriter::Impl {
    struct Image {
        QPDFObjectHandle xobject;
    };
    struct Page {
        double width = 0;    // points
        double height = 0;   // points
        std::string content; // the image drawn over the page
        std::map<std::string, QPDFObjectHandle> xobjects;
        // The words laid over it, drawn once the page exists; none on a page of images only,
        // which keeps its one content stream.
        struct Text {
            OcrWords words;
            QSize pixels;
            QRectF points; // lower-left corner and size
        };
        std::vector<Text> texts;
        bool failed = false; // its image could not be loaded or drawn: left out of the file
    };
    enum class State { Open, Written, Failed };

    int32_t jpegQuality = kPdfJpegQuality;
    PdfConformance conformance = PdfConformance::Plain;
    QString colourProfile = pdfa::defaultColourProfile();
    QString outputPath;
    int32_t documentMode = 0;
    QPDF pdf;
    std::unique_ptr<PdfTextLayer> textLayer; // made for the first page with words
    std::vector<Image> images;
    std::optional<Page> page;
    int32_t pagesAdded = 0;
    int32_t pagesKept = 0;
    State state = State::Open;
    int32_t result = 0;

    Impl() { pdf.emptyPDF(); }

    void requireOpen(const char* call) const {
        if (state != State::Open)
            throw ScanError(
                QStringLiteral("%1: the document is already finished").arg(QLatin1String(call)),
                componentError::BadValue);
    }

    void finishPage() {
        if (!page)
            return;
        Page p = std::move(*page);
        page.reset();
        if (p.failed)
            return;
        QPDFObjectHandle image = pdf.newStream(p.content);
        QPDFObjectHandle page = pdf.makeIndirectObject(pageDictionary(p, image));
        if (!p.texts.empty()) {
            try {
                if (!textLayer)
                    textLayer = std::make_unique<PdfTextLayer>(pdf);
                QPDFPageObjectHelper helper(page);
                for (const Page::Text& t : p.texts)
                    textLayer->addToPage(helper, t.points, t.pixels, t.words);
            } catch (const std::exception&) {
                // Words that cannot be laid cost the page its text, never the page: it is
                // made again as it would be without them.
                page = pdf.makeIndirectObject(pageDictionary(p, image));
            }
        }
        QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
        ++pagesKept;
    }

    /// The page of `p` showing its image through the content stream `image`.
    QPDFObjectHandle pageDictionary(const Page& p, const QPDFObjectHandle& image) const {
        QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
        for (const auto& [name, ref] : p.xobjects)
            xobjects.replaceKey(name, ref);
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        resources.replaceKey("/XObject", xobjects);
        QPDFObjectHandle dict = QPDFObjectHandle::newDictionary();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        dict.replaceKey("/MediaBox", QPDFObjectHandle::parse("[0 0 " + pdfNumber(p.width) + " " +
                                                             pdfNumber(p.height) + "]"));
        dict.replaceKey("/Resources", resources);
        dict.replaceKey("/Contents", image);
        return dict;
    }

    QPDFObjectHandle xobjectOf(const tiffpages::PdfImage& image) {
        QPDFObjectHandle stream = pdf.newStream();
        QPDFObjectHandle dict = stream.getDict();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
        dict.replaceKey("/Width", QPDFObjectHandle::newInteger(image.width));
        dict.replaceKey("/Height", QPDFObjectHandle::newInteger(image.height));
        if (image.coding == tiffpages::PdfImage::Coding::G4) {
            dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
            dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(1));
            // The strip codes black pixels as the fax code's black runs, which the decoder's
            // default (BlackIs1 false) turns into 0 = black in DeviceGray: no Decode array.
            QPDFObjectHandle parms = QPDFObjectHandle::newDictionary();
            parms.replaceKey("/K", QPDFObjectHandle::newInteger(-1));
            parms.replaceKey("/Columns", QPDFObjectHandle::newInteger(image.width));
            parms.replaceKey("/Rows", QPDFObjectHandle::newInteger(image.height));
            stream.replaceStreamData(toBuffer(image.data),
                                     QPDFObjectHandle::newName("/CCITTFaxDecode"), parms);
        } else {
            dict.replaceKey("/ColorSpace",
                            QPDFObjectHandle::newName(image.grey ? "/DeviceGray" : "/DeviceRGB"));
            dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
            stream.replaceStreamData(toBuffer(image.data), QPDFObjectHandle::newName("/DCTDecode"),
                                     QPDFObjectHandle::newNull());
        }
        return stream;
    }

    /// The image of the file at `path` as the PDF embeds it. A page image the component
    /// prepared at this writer's quality is taken as it stands; any other bitmap is decoded
    /// and encoded here.
    tiffpages::PdfImage imageOf(const QString& path) const {
        if (std::optional<tiffpages::PdfImage> ready = tiffpages::readPdfImage(path)) {
            if (ready->coding == tiffpages::PdfImage::Coding::G4 || ready->quality == jpegQuality)
                return std::move(*ready);
        }
        return tiffpages::pdfImage(readImageFile(path), jpegQuality);
    }

    int32_t write() {
        if (outputPath.isEmpty())
            throw ScanError(QStringLiteral("PDF: nessun file di destinazione"),
                            componentError::WriteFailed);
        // Before the temporary file: without its profile a PDF/A document is not written at all.
        QByteArray profile;
        if (conformance != PdfConformance::Plain)
            profile = pdfa::readColourProfile(colourProfile, conformance);
        writer::TempFile file(outputPath);
        try {
            if (conformance != PdfConformance::Plain)
                pdfa::describeDocument(pdf, conformance, profile, QDateTime::currentDateTime());
            FdPipeline out(file.fd(), outputPath);
            QPDFWriter w(pdf);
            w.setOutputPipeline(&out);
            // Image data goes out exactly as encoded: G4 and JPEG bytes are never re-coded.
            w.setStreamDataMode(qpdf_s_preserve);
            if (conformance != PdfConformance::Plain)
                pdfa::configureWriter(w, conformance);
            w.write();
        } catch (...) {
            rethrowAsScanError(outputPath);
        }
        file.commit();
        return 1;
    }
};

PdfWriter::PdfWriter(int32_t jpegQuality) : d(std::make_unique<Impl>()) {
    d->jpegQuality = jpegQuality > 0 ? std::min(jpegQuality, 100) : kPdfJpegQuality;
}

PdfWriter::~PdfWriter() = default;

QString PdfWriter::OutputPath() const {
    return d->outputPath;
}

void PdfWriter::setOutputPath(const QString& path) {
    d->outputPath = path;
}

int32_t PdfWriter::DocumentMode() const {
    return d->documentMode;
}

void PdfWriter::setDocumentMode(int32_t mode) {
    d->documentMode = mode;
}

void PdfWriter::BeginDocument(const QString&) {
    d->requireOpen("BeginDocument");
}

int32_t PdfWriter::AddPage(double width, double height) {
    d->requireOpen("AddPage");
    if (!(width > 0) || !(height > 0) || width > 5000 || height > 5000)
        throw ScanError(
            QStringLiteral("AddPage: page size %1 × %2 mm out of range").arg(width).arg(height),
            componentError::BadValue);
    d->finishPage();
    d->page = Impl::Page{};
    d->page->width = width * pointsPerMm;
    d->page->height = height * pointsPerMm;
    return ++d->pagesAdded;
}

int32_t PdfWriter::AddImageFile(const QString& path) {
    d->requireOpen("AddImageFile");
    try {
        // Only the encoded bytes stay: the pixels go as soon as this call returns.
        QPDFObjectHandle xobject = d->pdf.makeIndirectObject(d->xobjectOf(d->imageOf(path)));
        d->images.push_back({xobject});
        return int32_t(d->images.size());
    } catch (...) {
        if (d->page)
            d->page->failed = true;
        rethrowAsScanError(path);
    }
}

void PdfWriter::DrawImage(int32_t id, double x, double y, double width, double height) {
    d->requireOpen("DrawImage");
    if (!d->page)
        throw ScanError(QStringLiteral("DrawImage: nessuna pagina iniziata"),
                        componentError::BadValue);
    if (id < 1 || id > int32_t(d->images.size())) {
        d->page->failed = true;
        throw ScanError(QStringLiteral("DrawImage: immagine %1 inesistente").arg(id),
                        componentError::BadValue);
    }
    const std::string name = "/Im" + std::to_string(id);
    d->page->xobjects[name] = d->images[size_t(id - 1)].xobject;
    // (x, y) is the image's top-left corner measured from the bottom of the page; PDF's
    // image space puts the image's lower-left corner at the translation.
    const double w = width * pointsPerMm;
    const double h = height * pointsPerMm;
    d->page->content += "q " + pdfNumber(w) + " 0 0 " + pdfNumber(h) + " " + pdfNumber(x * pointsPerMm) +
                        " " + pdfNumber(y * pointsPerMm - h) + " cm " + name + " Do Q\n";
}

void PdfWriter::DrawPageText(const OcrWords& words, QSize imagePixels, double x, double y,
                             double width, double height) {
    d->requireOpen("DrawPageText");
    if (!d->page)
        throw ScanError(QStringLiteral("DrawPageText: nessuna pagina iniziata"),
                        componentError::BadValue);
    if (!(width > 0) || !(height > 0) || !std::isfinite(x) || !std::isfinite(y) ||
        !std::isfinite(width) || !std::isfinite(height))
        throw ScanError(
            QStringLiteral("DrawPageText: rettangolo %1 × %2 mm senza area").arg(width).arg(height),
            componentError::BadValue);
    if (words.empty() || imagePixels.isEmpty())
        return;
    // (x, y) is the top-left corner measured from the bottom, as for DrawImage.
    const double w = width * pointsPerMm;
    const double h = height * pointsPerMm;
    d->page->texts.push_back(
        {words, imagePixels, QRectF(x * pointsPerMm, y * pointsPerMm - h, w, h)});
}

void PdfWriter::EndPage(const QString&) {
    if (d->state != Impl::State::Open)
        return;
    d->finishPage();
}

void PdfWriter::setConformance(PdfConformance conformance) {
    d->conformance = conformance;
}

PdfConformance PdfWriter::conformance() const {
    return d->conformance;
}

void PdfWriter::setColourProfile(const QString& path) {
    d->colourProfile = path;
}

int32_t PdfWriter::EndDocument() {
    // A second call (the document output's clean-up after an error) neither writes again nor
    // throws again for a fault already reported.
    if (d->state == Impl::State::Written)
        return d->result;
    if (d->state == Impl::State::Failed)
        return 0;
    d->finishPage();
    if (d->pagesKept == 0) {
        // Only the clean-up after a failing first page gets here: a file without pages is
        // no document (readers refuse it), so nothing is written and nothing is thrown.
        d->state = Impl::State::Failed;
        return 0;
    }
    try {
        d->result = d->write();
        d->state = Impl::State::Written;
        // The document lives on in the file; the encoded pages need not stay in memory.
        d->images.clear();
        return d->result;
    } catch (...) {
        d->state = Impl::State::Failed;
        throw;
    }
}
