#include "writers/PdfArchive.h"

#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"

#include <QFile>

#include <qpdf/Buffer.hh>
#include <qpdf/Pl_Buffer.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <cstring>

#ifndef SCANSIONE_VERSION_TEXT
#define SCANSIONE_VERSION_TEXT "0"
#endif

namespace {

const char* const profilePackage = "icc-profiles-free";
// The name colour-managed readers know the profile's viewing condition by.
const char* const srgbCondition = "sRGB IEC61966-2.1";

std::string producer() {
    return std::string("Scansione ") + SCANSIONE_VERSION_TEXT;
}

quint32 bigEndian32(const QByteArray& bytes, int at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

[[noreturn]] void profileFault(const QString& path, const QString& why) {
    throw ScanError(QStringLiteral("profilo colore sRGB %1: %2 (pacchetto %3); il documento "
                                   "PDF/A non è stato scritto")
                        .arg(path, why, QLatin1String(profilePackage)),
                    componentError::ReadFailed);
}

// The profile Flate-compressed: its tone curves shrink to well under half.
std::shared_ptr<Buffer> deflated(const QByteArray& bytes) {
    Pl_Buffer collected("icc");
    Pl_Flate flate("icc-deflate", &collected, Pl_Flate::a_deflate);
    flate.write(reinterpret_cast<const unsigned char*>(bytes.constData()), size_t(bytes.size()));
    flate.finish();
    return collected.getBufferSharedPointer();
}

QString offsetText(const QDateTime& when, const QString& separator, const QString& tail) {
    const int offset = when.offsetFromUtc() / 60;
    const int hours = std::abs(offset) / 60, minutes = std::abs(offset) % 60;
    return QStringLiteral("%1%2%3%4%5")
        .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(hours, 2, 10, QLatin1Char('0'))
        .arg(separator)
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(tail);
}

std::string xmpPacket(PdfConformance conformance, const QDateTime& when) {
    const QString date = pdfa::xmpDate(when);
    const QString part =
        conformance == PdfConformance::PdfA1b ? QStringLiteral("1") : QStringLiteral("2");
    // The packet header carries the UTF-8 byte order mark as its begin attribute and no
    // bytes attribute, as PDF/A wants; the trailing "w" lets an editor rewrite it in place.
    const QString packet =
        QStringLiteral("<?xpacket begin=\"\ufeff\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                       "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                       " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                       "  <rdf:Description rdf:about=\"\"\n"
                       "    xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\"\n"
                       "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
                       "    xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n"
                       "   <pdfaid:part>%1</pdfaid:part>\n"
                       "   <pdfaid:conformance>B</pdfaid:conformance>\n"
                       "   <xmp:CreateDate>%2</xmp:CreateDate>\n"
                       "   <xmp:ModifyDate>%2</xmp:ModifyDate>\n"
                       "   <xmp:MetadataDate>%2</xmp:MetadataDate>\n"
                       "   <pdf:Producer>%3</pdf:Producer>\n"
                       "  </rdf:Description>\n"
                       " </rdf:RDF>\n"
                       "</x:xmpmeta>\n"
                       "<?xpacket end=\"w\"?>")
            .arg(part, date, QString::fromStdString(producer()));
    return packet.toUtf8().toStdString();
}

} // namespace

namespace pdfa {

std::optional<PdfConformance> conformanceOf(const QString& value) {
    if (value.isEmpty())
        return PdfConformance::Plain;
    if (value.compare(QLatin1String("1b"), Qt::CaseInsensitive) == 0)
        return PdfConformance::PdfA1b;
    if (value.compare(QLatin1String("2b"), Qt::CaseInsensitive) == 0)
        return PdfConformance::PdfA2b;
    return std::nullopt;
}

QString defaultColourProfile() {
    return QStringLiteral("/usr/share/color/icc/sRGB.icc");
}

QByteArray readColourProfile(const QString& path, PdfConformance conformance) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        profileFault(path, QStringLiteral("non trovato o illeggibile"));
    // A display profile is a few kilobytes; anything far bigger is not the profile meant.
    const QByteArray bytes = file.read(1024 * 1024 + 1);
    if (bytes.size() < 132 || bytes.size() > 1024 * 1024 ||
        bigEndian32(bytes, 0) != quint32(bytes.size()) || bytes.mid(36, 4) != "acsp")
        profileFault(path, QStringLiteral("non è un profilo ICC"));
    if (bytes.mid(16, 4) != "RGB ")
        profileFault(path, QStringLiteral("non è un profilo RGB"));
    if (conformance == PdfConformance::PdfA1b && (bytes.at(8) < 2 || bytes.at(8) > 3))
        profileFault(path,
                     QStringLiteral("versione %1 non ammessa in PDF/A-1").arg(int(bytes.at(8))));
    return bytes;
}

QString pdfDate(const QDateTime& when) {
    return when.toString(QStringLiteral("'D:'yyyyMMddHHmmss")) +
           offsetText(when, QStringLiteral("'"), QStringLiteral("'"));
}

QString xmpDate(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           offsetText(when, QStringLiteral(":"), QString());
}

void describeDocument(QPDF& pdf, PdfConformance conformance, const QByteArray& profile,
                      const QDateTime& when) {
    // Seconds only: the PDF date has no finer unit, and both copies must say the same.
    const QDateTime at = when.addMSecs(-when.time().msec());
    const std::string date = pdfDate(at).toStdString();

    QPDFObjectHandle info = QPDFObjectHandle::newDictionary();
    info.replaceKey("/Producer", QPDFObjectHandle::newString(producer()));
    info.replaceKey("/CreationDate", QPDFObjectHandle::newString(date));
    info.replaceKey("/ModDate", QPDFObjectHandle::newString(date));
    pdf.getTrailer().replaceKey("/Info", pdf.makeIndirectObject(info));

    QPDFObjectHandle root = pdf.getRoot();
    // Unfiltered, so that a reader that knows nothing of PDF finds the claim in the bytes.
    QPDFObjectHandle metadata = pdf.newStream(xmpPacket(conformance, at));
    metadata.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
    metadata.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
    root.replaceKey("/Metadata", metadata);

    QPDFObjectHandle icc = pdf.newStream();
    icc.replaceStreamData(deflated(profile), QPDFObjectHandle::newName("/FlateDecode"),
                          QPDFObjectHandle::newNull());
    icc.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(3));
    QPDFObjectHandle intent = QPDFObjectHandle::newDictionary();
    intent.replaceKey("/Type", QPDFObjectHandle::newName("/OutputIntent"));
    intent.replaceKey("/S", QPDFObjectHandle::newName("/GTS_PDFA1"));
    intent.replaceKey("/OutputConditionIdentifier", QPDFObjectHandle::newString(srgbCondition));
    intent.replaceKey("/Info", QPDFObjectHandle::newString(srgbCondition));
    intent.replaceKey("/RegistryName", QPDFObjectHandle::newString("http://www.color.org"));
    intent.replaceKey("/DestOutputProfile", icc);
    QPDFObjectHandle intents = QPDFObjectHandle::newArray();
    intents.appendItem(pdf.makeIndirectObject(intent));
    root.replaceKey("/OutputIntents", intents);
}

void configureWriter(QPDFWriter& writer, PdfConformance conformance) {
    writer.setMinimumPDFVersion(conformance == PdfConformance::PdfA1b ? "1.4" : "1.7");
    writer.setObjectStreamMode(qpdf_o_disable);
    writer.setNewlineBeforeEndstream(true);
}

} // namespace pdfa
