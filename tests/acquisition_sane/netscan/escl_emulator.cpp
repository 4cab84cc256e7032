// An eSCL (AirScan) scanner on loopback, for the tests and benchmarks that reach network
// scanners through sane-airscan. It serves what sane-airscan asks of a real device:
//
//   GET    /eSCL/ScannerCapabilities       platen and feeder (simplex, duplex), Gray8 and RGB24
//   GET    /eSCL/ScannerStatus             device and feeder state (loaded, empty, jammed)
//   POST   /eSCL/ScanJobs                  201 with the job's Location
//   GET    /eSCL/ScanJobs/<n>/NextDocument one page (JPEG or PNG), 404 when the job is done
//   DELETE /eSCL/ScanJobs/<n>              the job is dropped
//
// Each page shows its sheet and side as text and as a row of black and white cells at the top
// (see tests/acquisition_sane/netscan/NetScan.h), so that order and sides can be checked by
// a person and by a test alike. Faults are chosen on the command line:
//
//   escl_emulator [--address 127.0.0.1] [--port 0] [--sheets 3] [--format jpeg|png]
//                 [--jam-after K] [--stop-mid-page K] [--stop-after K]
//
// --jam-after K: a feeder job jams after K images; --stop-mid-page K: the emulator sends half
// of its K-th image and exits, as a scanner switched off mid-page; --stop-after K: it exits
// right after its K-th image, between sheets. The first line on standard output is
// "PORT <n>", the port it listens on.
#include <QBuffer>
#include <QCommandLineParser>
#include <QFont>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QTcpServer>
#include <QTcpSocket>
#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

struct Options {
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    int sheets = 3;
    QByteArray format = "jpeg";
    int jamAfter = -1;
    int stopMidPage = -1;
    int stopAfter = -1;
};

struct Job {
    bool feeder = false;
    bool duplex = false;
    bool colour = true;
    int resolution = 300;
    int width = 2480, height = 3508; // in 1/300 inch, as eSCL gives them
    int delivered = 0;
    int sheetsLeft = 0;
    bool backPending = false; // the front of the current sheet went out, its back is next
    int sheet = 0;            // the sheet being scanned, from 1
};

const char* const kNamespaces = R"(xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" )"
                                R"(xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm")";

QByteArray inputCaps(const char* element, int maxHeight, const QByteArray& mime) {
    QByteArray resolutions;
    for (int dpi : {75, 100, 150, 200, 300, 600})
        resolutions += QStringLiteral("<scan:DiscreteResolution><scan:XResolution>%1</scan:"
                                      "XResolution><scan:YResolution>%1</scan:YResolution></"
                                      "scan:DiscreteResolution>")
                           .arg(dpi)
                           .toUtf8();
    return QStringLiteral("<scan:%1><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2550</"
                          "scan:MaxWidth><scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>%2</"
                          "scan:MaxHeight><scan:SettingProfiles><scan:SettingProfile>"
                          "<scan:ColorModes><scan:ColorMode>Grayscale8</scan:ColorMode>"
                          "<scan:ColorMode>RGB24</scan:ColorMode></scan:ColorModes>"
                          "<scan:DocumentFormats><pwg:DocumentFormat>%3</pwg:DocumentFormat>"
                          "</scan:DocumentFormats><scan:SupportedResolutions>"
                          "<scan:DiscreteResolutions>%4</scan:DiscreteResolutions>"
                          "</scan:SupportedResolutions></scan:SettingProfile>"
                          "</scan:SettingProfiles></scan:%1>")
        .arg(QLatin1String(element))
        .arg(maxHeight)
        .arg(QString::fromLatin1(mime), QString::fromUtf8(resolutions))
        .toUtf8();
}

/// The code a page carries in its cells: sheet and side.
int pageCode(int sheet, bool back) {
    return sheet * 2 + (back ? 1 : 0);
}

QImage renderPage(const Job& job, bool back) {
    const int w = std::max(1, job.width * job.resolution / 300);
    const int h = std::max(1, job.height * job.resolution / 300);
    QImage page(w, h, QImage::Format_RGB888);
    page.fill(Qt::white);
    QPainter p(&page);
    // The cells: a black guard, eight bits of the code (most significant first), a black guard,
    // between 10% and 90% of the width and 4% to 10% of the height.
    const int code = pageCode(job.sheet, back);
    const double cell = w * 0.8 / 10;
    for (int i = 0; i < 10; ++i) {
        const bool black = i == 0 || i == 9 || (code >> (8 - i)) & 1;
        if (black)
            p.fillRect(QRectF(w * 0.1 + i * cell, h * 0.04, cell, h * 0.06), Qt::black);
    }
    // A band in the side's colour: red on a front, green on a back.
    p.fillRect(QRectF(w * 0.1, h * 0.12, w * 0.8, h * 0.04),
               back ? QColor(30, 160, 30) : QColor(200, 30, 30));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(6, h / 40));
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRectF(w * 0.1, h * 0.18, w * 0.8, h * 0.05), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Foglio %1 %2 - %3 dpi")
                   .arg(job.sheet)
                   .arg(back ? QStringLiteral("retro") : QStringLiteral("fronte"))
                   .arg(job.resolution));
    font.setPixelSize(std::max(8, h / 5));
    p.setFont(font);
    p.drawText(QRectF(0, h * 0.3, w, h * 0.4), Qt::AlignCenter,
               QStringLiteral("%1%2").arg(job.sheet).arg(back ? QStringLiteral("R") : QString()));
    p.end();
    return job.colour ? page : page.convertToFormat(QImage::Format_Grayscale8);
}

class Emulator : public QObject {
public:
    explicit Emulator(Options options) : m_options(std::move(options)) {
        connect(&m_server, &QTcpServer::newConnection, this, &Emulator::accept);
    }

    bool listen() { return m_server.listen(QHostAddress(m_options.address), m_options.port); }
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Request {
        QByteArray method, path, body;
        bool close = false;
    };

    void accept() {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_pending.remove(socket);
                socket->deleteLater();
            });
        }
    }

    void read(QTcpSocket* socket) {
        QByteArray& buffer = m_pending[socket];
        buffer += socket->readAll();
        for (;;) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            Request r;
            r.method = first.value(0);
            r.path = first.value(1);
            qsizetype length = 0;
            for (const QByteArray& line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name == "content-length")
                    length = value.toLongLong();
                else if (name == "connection" && value.toLower() == "close")
                    r.close = true;
            }
            if (buffer.size() < end + 4 + length)
                return;
            r.body = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            handle(socket, r);
        }
    }

    static void send(QTcpSocket* socket, int status, const QByteArray& reason,
                     const QByteArray& type, const QByteArray& body, const Request& r,
                     const QByteArray& extra = {}) {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
        if (!type.isEmpty())
            head += "Content-Type: " + type + "\r\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extra;
        head += r.close ? "Connection: close\r\n\r\n" : "\r\n";
        socket->write(head + body);
        if (r.close)
            socket->disconnectFromHost();
    }

    void handle(QTcpSocket* socket, const Request& r) {
        if (r.method == "GET" && r.path == "/eSCL/ScannerCapabilities")
            return send(socket, 200, "OK", "text/xml", capabilities(), r);
        if (r.method == "GET" && r.path == "/eSCL/ScannerStatus")
            return send(socket, 200, "OK", "text/xml", status(), r);
        if (r.method == "POST" && r.path == "/eSCL/ScanJobs")
            return createJob(socket, r);
        const QList<QByteArray> parts = r.path.split('/'); // "", eSCL, ScanJobs, n, NextDocument
        if (parts.size() >= 4 && parts[1] == "eSCL" && parts[2] == "ScanJobs" &&
            m_jobs.contains(parts[3].toInt())) {
            const int id = parts[3].toInt();
            if (r.method == "GET" && parts.value(4) == "NextDocument")
                return nextDocument(socket, r, id);
            if (r.method == "DELETE") {
                m_jobs.remove(id);
                return send(socket, 200, "OK", {}, {}, r);
            }
        }
        send(socket, 404, "Not Found", {}, {}, r);
    }

    QByteArray capabilities() const {
        const QByteArray mime = m_options.format == "png" ? "image/png" : "image/jpeg";
        return QByteArray(R"(<?xml version="1.0" encoding="UTF-8"?>)") +
               "<scan:ScannerCapabilities " + kNamespaces +
               "><pwg:Version>2.63</pwg:Version><pwg:MakeAndModel>Scansione eSCL di prova"
               "</pwg:MakeAndModel><pwg:SerialNumber>0001</pwg:SerialNumber>"
               "<scan:Manufacturer>Scansione</scan:Manufacturer><scan:Platen>" +
               inputCaps("PlatenInputCaps", 3508, mime) + "</scan:Platen><scan:Adf>" +
               inputCaps("AdfSimplexInputCaps", 4200, mime) +
               inputCaps("AdfDuplexInputCaps", 4200, mime) +
               "<scan:FeederCapacity>50</scan:FeederCapacity></scan:Adf>"
               "</scan:ScannerCapabilities>";
    }

    QByteArray status() const {
        return QByteArray(R"(<?xml version="1.0" encoding="UTF-8"?>)") + "<scan:ScannerStatus " +
               kNamespaces + "><pwg:Version>2.63</pwg:Version><pwg:State>" +
               (m_jobs.isEmpty() ? "Idle" : "Processing") + "</pwg:State><scan:AdfState>" +
               m_adfState + "</scan:AdfState></scan:ScannerStatus>";
    }

    void createJob(QTcpSocket* socket, const Request& r) {
        Job job;
        QXmlStreamReader xml(r.body);
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QStringView name = xml.name();
            if (name == QLatin1String("InputSource"))
                job.feeder = xml.readElementText() == QLatin1String("Feeder");
            else if (name == QLatin1String("Duplex"))
                job.duplex = xml.readElementText() == QLatin1String("true");
            else if (name == QLatin1String("ColorMode"))
                job.colour = xml.readElementText() == QLatin1String("RGB24");
            else if (name == QLatin1String("XResolution"))
                job.resolution = xml.readElementText().toInt();
            else if (name == QLatin1String("Width"))
                job.width = xml.readElementText().toInt();
            else if (name == QLatin1String("Height"))
                job.height = xml.readElementText().toInt();
        }
        if (job.resolution <= 0 || job.width <= 0 || job.height <= 0)
            return send(socket, 409, "Conflict", {}, {}, r);
        job.sheetsLeft = job.feeder ? m_options.sheets : 1;
        m_adfState = job.feeder && job.sheetsLeft == 0 ? "ScannerAdfEmpty" : "ScannerAdfLoaded";
        const int id = ++m_lastJob;
        m_jobs.insert(id, job);
        const QByteArray location = "http://" + m_options.address.toUtf8() + ':' +
                                    QByteArray::number(port()) + "/eSCL/ScanJobs/" +
                                    QByteArray::number(id);
        send(socket, 201, "Created", {}, {}, r, "Location: " + location + "\r\n");
    }

    void nextDocument(QTcpSocket* socket, const Request& r, int id) {
        Job& job = m_jobs[id];
        if (job.feeder && m_options.jamAfter >= 0 && job.delivered >= m_options.jamAfter) {
            m_adfState = "ScannerAdfJam";
            return send(socket, 503, "Service Unavailable", {}, {}, r);
        }
        if (!job.backPending && job.sheetsLeft == 0) {
            if (job.feeder)
                m_adfState = "ScannerAdfEmpty";
            return send(socket, 404, "Not Found", {}, {}, r);
        }
        bool back = false;
        if (job.backPending) {
            back = true;
            job.backPending = false;
        } else {
            --job.sheetsLeft;
            ++job.sheet;
            job.backPending = job.feeder && job.duplex;
        }
        QByteArray image;
        QBuffer buffer(&image);
        buffer.open(QIODevice::WriteOnly);
        renderPage(job, back).save(&buffer, m_options.format == "png" ? "PNG" : "JPG", 90);
        ++job.delivered;
        const int served = ++m_served;
        const QByteArray type = m_options.format == "png" ? "image/png" : "image/jpeg";
        if (served == m_options.stopMidPage) {
            // Headers announcing the whole page, half of it, and the scanner is gone.
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type +
                          "\r\nContent-Length: " + QByteArray::number(image.size()) + "\r\n\r\n" +
                          image.left(image.size() / 2));
            finish(socket);
        }
        send(socket, 200, "OK", type, image, r);
        if (served == m_options.stopAfter)
            finish(socket);
    }

    [[noreturn]] static void finish(QTcpSocket* socket) {
        socket->flush();
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->waitForBytesWritten(2000);
        std::fflush(stdout);
        std::_Exit(0); // like a device switched off: no goodbye on any connection
    }

    Options m_options;
    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QHash<int, Job> m_jobs;
    QByteArray m_adfState = "ScannerAdfLoaded";
    int m_lastJob = 0;
    int m_served = 0;
};

std::optional<Options> parse(const QStringList& arguments) {
    Options o;
    // The whole-number options, each with the field it sets; the field's default is the
    // option's.
    const struct {
        const char* name;
        const char* description;
        const char* valueName;
        int Options::*field;
    } numbers[] = {{"sheets", "sheets", "n", &Options::sheets},
                   {"jam-after", "images", "k", &Options::jamAfter},
                   {"stop-mid-page", "image", "k", &Options::stopMidPage},
                   {"stop-after", "image", "k", &Options::stopAfter}};
    QCommandLineParser parser;
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("address"),
                                     QStringLiteral("ip"), o.address);
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("port"),
                                  QStringLiteral("n"), QString::number(o.port));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("jpeg or png"),
                                    QStringLiteral("f"), QString::fromLatin1(o.format));
    parser.addOptions({address, port, format});
    for (const auto& n : numbers)
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(n.name), QString::fromLatin1(n.description),
                               QString::fromLatin1(n.valueName), QString::number(o.*n.field)));
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return std::nullopt;
    }
    o.address = parser.value(address);
    o.port = quint16(parser.value(port).toUInt());
    o.format = parser.value(format).toLatin1();
    for (const auto& n : numbers)
        o.*n.field = parser.value(QString::fromLatin1(n.name)).toInt();
    if (o.format != "jpeg" && o.format != "png") {
        std::fprintf(stderr, "--format: jpeg or png\n");
        return std::nullopt;
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // fonts for the page text
    const std::optional<Options> options = parse(app.arguments());
    if (!options)
        return 2;
    Emulator emulator(*options);
    if (!emulator.listen()) {
        std::fprintf(stderr, "cannot listen on %s:%u\n", qPrintable(options->address),
                     unsigned(options->port));
        return 1;
    }
    std::printf("PORT %u\n", unsigned(emulator.port()));
    std::fflush(stdout);
    return app.exec();
}
