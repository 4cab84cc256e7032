// End to end on the real component and the virtual scanner: acquisition faults as the window
// shows them, and the documents of "Conferma" judged by third-party tools.
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "support/Documents.h"
#include "support/PdfaChecks.h"
#include "support/PrivateDisk.h"
#include "support/ScanSession.h"
#include "support/TestTools.h"

#include <QDir>
#include <QHash>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <optional>
#include <sys/resource.h>

namespace {

class VirtualSession : public ScanSessionTest {
protected:
    QString json;
    QString cacheParent; ///< where the component makes its session cache; empty: folder()

    /// One virtual scanner; `extra` is spliced into its JSON object.
    void scanner(const QString& extra) {
        json = tmp.filePath("virtual.json");
        QFile f(json);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral(
                    R"({"scanners": [{"name": "Virtuale", "pixelTypes": ["BW", "GRAY", "RGB"],
            "resolutions": [50, 60, 70, 80, 90, 100, 150, 300], "pageSizes": ["A4", "A5", "A3"] %1}]})")
                    .arg(extra)
                    .toUtf8());
    }

    /// Runs a session on the virtual scanner, with the window's own component dialogs, and
    /// writes PDF documents with the real writer.
    Outcome runReal(const std::function<void(FormScansione&)>& body) {
        const QString path = json;
        const QString cache = cacheParent.isEmpty() ? folder() : cacheParent;
        component = [path, cache](std::shared_ptr<ComponentDialogs> dialogs) {
            std::vector<std::unique_ptr<DeviceLayer>> layers;
            layers.push_back(std::make_unique<VirtualScannerLayer>(path));
            return std::make_unique<VstScan>(std::move(layers), cache, std::move(dialogs));
        };
        pdfWriter = [](int32_t quality) { return std::make_unique<PdfWriter>(quality); };
        return run(body);
    }

    /// The virtual scanner of `extra`, set to grey A5 pages at 50 dpi written as `format`:
    /// small pages, quick to scan and to write.
    void smallGreyPages(const char* format, const QString& extra = QString()) {
        scanner(extra);
        record.ResultFormat = format;
        record.PixelType = "GRAY";
        record.Pagina = "A5";
        record.Risoluzione = 50;
    }

    static QString tool(const QString& program, const QStringList& args) {
        return runTool(program, args, 60000).output;
    }

    static VstScan& real(FormScansione& form) { return *qobject_cast<VstScan*>(form.component()); }

    /// The session cache's files matching `pattern`, once the encoder has written them.
    static QStringList cacheFiles(FormScansione& form, const QString& pattern) {
        VstScan& scan = real(form);
        EXPECT_TRUE(QTest::qWaitFor([&] { return scan.imagesSettled(); }, 30000));
        return QDir(scan.cacheFolder()).entryList({pattern}, QDir::Files);
    }
};

// The image limit bounds one batch; the images no page reaches leave the cache, the others
// keep their indices.
TEST_F(VirtualSession, SecondFullFeederBatchDeliversItsPagesAndTheCacheHoldsOneDocument) {
    smallGreyPages("JPEG",
                   R"(, "feeder": {"present": true, "paperDetectable": true, "sheets": 99})");
    answer = true; // the second batch replaces the first
    runReal([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        ASSERT_EQ(form.pages().count(), 99);
        ASSERT_TRUE(scan(form));
        EXPECT_EQ(form.pages().count(), 99);
        EXPECT_EQ(form.pages().imageOf(1), 99);
        EXPECT_EQ(form.pages().imageOf(99), 197);
        EXPECT_EQ(form.component()->ImageCount(), 198);
        EXPECT_EQ(cacheFiles(form, "*.raw").size(), 99);
        EXPECT_LE(cacheFiles(form, "prepared-*").size(), 99);
        EXPECT_TRUE(form.component()->ImagePicture(98).isNull());
        EXPECT_FALSE(form.component()->ImagePicture(99).isNull());
    });
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(VirtualSession, ReplacedAndDeletedPagesLeaveTheCacheOthersKeepTheirIndices) {
    smallGreyPages("TIFF");
    const Outcome out = runReal([&](FormScansione& form) {
        for (int k = 0; k < 3; ++k)
            ASSERT_TRUE(scan(form));
        form.ImgButtons_Click(FormScansione::cmdAvanti); // page 2
        bool ended = false;
        QObject::connect(form.component(), &ScanComponent::PostScan, &form,
                         [&](int32_t flag) { ended = ended || flag != 0; });
        form.ImgButtons_Click(FormScansione::cmdSostituisci); // page 2 becomes I3
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000));
        ASSERT_EQ(form.imgPreviewTag(), "1");
        form.ImgButtons_Click(FormScansione::cmdElimina); // page 1 (I0) goes
        ASSERT_EQ(pageMap(form), "PAG_1=I3,PAG_2=I2");

        ScanComponent& dev = *form.component();
        EXPECT_EQ(dev.ImageCount(), 4);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(dev.ImagePicture(k).isNull(), k < 2) << "image " << k;
        EXPECT_EQ(cacheFiles(form, "*.raw").size(), 2);
        EXPECT_LE(cacheFiles(form, "prepared-*").size(), 2);
        form.ImgButtons_Click(FormScansione::cmdConferma);
    });
    ASSERT_TRUE(out.files);
    const QString info = tool("tiffinfo", {folder() + "scandoc.tif"});
    EXPECT_EQ(info.count("TIFF Directory at offset"), 2) << info.toStdString();
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(VirtualSession, ErrorAfterThirdPageOfBatchKeepsThreePages) {
    scanner(R"(, "feeder": {"present": true, "paperDetectable": true, "sheets": 6},
               "faults": {"errorAfterPage": {"page": 3, "code": 9, "text": "Errore di comunicazione"}})");
    record.Risoluzione = 50;
    QString map;
    runReal([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        map = pageMap(form);
        EXPECT_EQ(form.imgPreviewTag(), "1");
    });
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I2");
    EXPECT_EQ(
        messages,
        QStringList{"ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 9\r\nErrore di comunicazione"});
}

TEST_F(VirtualSession, JamInTheMiddleOfAPageAddsNoHalfPage) {
    scanner(R"(, "feeder": {"present": true, "paperDetectable": true, "sheets": 5},
               "faults": {"jamOnPage": {"page": 2}})");
    record.Risoluzione = 50;
    QString map;
    int images = -1;
    runReal([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        map = pageMap(form);
        images = form.component()->ImageCount();
    });
    EXPECT_EQ(map, "PAG_1=I0");
    EXPECT_EQ(images, 1);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().startsWith("ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 6\r\n"));
}

TEST_F(VirtualSession, SourceThatFailsToOpenScansNothingAndSaysWhy) {
    scanner(R"(, "faults": {"openFails": true})");
    QStringList log;
    runReal([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        QTest::qWait(200);
        EXPECT_EQ(form.pages().count(), 0);
        EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    });
    EXPECT_EQ(messages, QStringList{"ERRORE|Impossibile aprire lo scanner \"Virtuale\": "
                                    "Accesso allo scanner negato"});
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(VirtualSession, ThreePagesAsJpegNamedByPage) {
    smallGreyPages("JPEG");
    const Outcome out = runReal([&](FormScansione& form) {
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(scan(form));
        form.ImgButtons_Click(5); // delete page 1: pages are images 1, 2, 3
        form.ImgButtons_Click(0);
    });
    ASSERT_TRUE(out.files);
    ASSERT_EQ(*out.files, (QStringList{folder() + "pag_1.jpg", folder() + "pag_2.jpg",
                                       folder() + "pag_3.jpg"}));
    for (const QString& path : *out.files) {
        QImageReader reader(path);
        EXPECT_EQ(reader.format(), "jpeg") << path.toStdString();
        EXPECT_TRUE(reader.canRead());
    }
    EXPECT_FALSE(QFile::exists(folder() + "pag_4.jpg"));
}

TEST_F(VirtualSession, ThreePagesAsOneTiff) {
    scanner("");
    record.ResultFormat = "TIFF";
    record.Risoluzione = 50;
    record.Pagina = "A4";
    const Outcome out = runReal([&](FormScansione& form) {
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(scan(form));
        form.ImgButtons_Click(0);
    });
    ASSERT_TRUE(out.files);
    ASSERT_EQ(*out.files, QStringList{folder() + "scandoc.tif"});
    const QString info = tool("tiffinfo", {folder() + "scandoc.tif"});
    EXPECT_EQ(info.count("TIFF Directory at offset"), 3) << info.toStdString();
}

TEST_F(VirtualSession, PdfPagesInPageOrderAfterReplacementAndDeletion) {
    scanner("");
    record.ResultFormat = "PDF";
    record.PixelType = "GRAY";
    record.Pagina = "A4";
    // Image k is scanned at 50 + 10k dpi, so its pixel size tells it apart in the PDF.
    const Outcome out = runReal([&](FormScansione& form) {
        for (int k = 0; k < 3; ++k) {
            record.Risoluzione = 50 + 10 * k;
            ASSERT_TRUE(scan(form));
        }
        ASSERT_EQ(form.imgPreviewTag(), "1");
        record.Risoluzione = 80;
        ASSERT_TRUE(scan(form)); // appended as page 4 = I3
        form.ImgButtons_Click(2);
        form.ImgButtons_Click(2);
        form.ImgButtons_Click(2); // page 4
        form.ImgButtons_Click(3); // page 3
        ASSERT_EQ(form.imgPreviewTag(), "3");
        form.ImgButtons_Click(5); // delete page 3 (I2): pages I0, I1, I3
        form.ImgButtons_Click(2); // page 2
        record.Risoluzione = 90;
        bool ended = false;
        QObject::connect(form.component(), &ScanComponent::PostScan, &form,
                         [&](int32_t flag) { ended = ended || flag != 0; });
        form.ImgButtons_Click(4); // replace page 2 by I4: pages I0, I4, I3
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000));
        ASSERT_EQ(pageMap(form), "PAG_1=I0,PAG_2=I4,PAG_3=I3");
        form.ImgButtons_Click(0);
    });
    ASSERT_TRUE(out.files);
    const QString pdf = folder() + "scandoc.pdf";
    ASSERT_EQ(*out.files, QStringList{pdf});
    EXPECT_TRUE(QDir(folder()).entryList({"pag_*.pdfimg"}).isEmpty());

    const QString info = tool("pdfinfo", {pdf});
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+3\\b"))) << info.toStdString();
    EXPECT_TRUE(info.contains(QRegularExpression("Page size:\\s+595\\.\\d* x 841\\.\\d* pts")))
        << info.toStdString();

    // pdfimages -list: page, num, type, width, height, ...; one image per page.
    const QStringList rows = tool("pdfimages", {"-list", pdf}).split('\n', Qt::SkipEmptyParts);
    QStringList widths;
    for (const QString& row : rows.mid(2)) {
        const QStringList cols = row.simplified().split(' ');
        if (cols.size() > 4)
            widths << cols.at(0) + ':' + cols.at(3);
    }
    const auto a4Width = [](int dpi) { return QString::number(qRound(8.27 * dpi)); };
    const QStringList expected{"1:" + a4Width(50), "2:" + a4Width(90), "3:" + a4Width(80)};
    ASSERT_EQ(widths.size(), 3) << rows.join('\n').toStdString();
    // Allow one pixel of rounding in the scanner's page width.
    for (int i = 0; i < 3; ++i) {
        const int got = widths.at(i).section(':', 1).toInt();
        const int want = expected.at(i).section(':', 1).toInt();
        EXPECT_EQ(widths.at(i).section(':', 0, 0), QString::number(i + 1));
        EXPECT_NEAR(got, want, 1) << "page " << i + 1;
    }
    EXPECT_EQ(tool("qpdf", {"--check", pdf}).contains("No syntax or stream encoding errors"), true);
}

class ConfermaRoutes : public VirtualSession, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConfermaRoutes, WriteWhatTheComponentWritesWithoutPreparingPages) {
    const QString format = QLatin1String(GetParam());
    scanner("");
    record.ResultFormat = format;
    record.Pagina = "A4";
    record.Risoluzione = 100;
    QByteArray written, plain;
    const Outcome out = runReal([&](FormScansione& form) {
        for (const char* kind : {"BW", "GRAY", "RGB"}) {
            record.PixelType = kind;
            ASSERT_TRUE(scan(form));
        }
        // "Conferma" right after the last page: with whatever the encoder has done by then.
        form.ImgButtons_Click(0);
        if (format == QLatin1String("JPEG")) {
            for (int n = 1; n <= 3; ++n)
                written += contents(folder() + QStringLiteral("pag_%1.jpg").arg(n));
        } else {
            written = format == QLatin1String("PDF") ? pdfContents(folder() + "scandoc.pdf")
                                                     : contents(folder() + "scandoc.tif");
        }
        // The same pages from the component, which is still there, with nothing prepared and
        // the PDF's pages handed over as bitmaps, as the document output used to.
        ScanComponent& dev = *form.component();
        dev.setDocumentFormat(QString());
        plain = writeDocument(dev, format, folder() + "plain", {0, 1, 2}, QStringLiteral("bmp"));
    });
    ASSERT_TRUE(out.files);
    EXPECT_EQ(out.files->size(), format == QLatin1String("JPEG") ? 3 : 1);
    EXPECT_FALSE(written.isEmpty());
    EXPECT_EQ(written, plain);
}

INSTANTIATE_TEST_SUITE_P(Formats, ConfermaRoutes, ::testing::Values("JPEG", "TIFF", "PDF"));

struct PdfaCase {
    const char* name;
    const char* value;   ///< the settings' PDFA
    int part;            ///< the PDF/A part written; 0: the plain PDF
    const char* profile; ///< the writer's colour profile; null: its default
    const char* failure; ///< the message "Conferma" shows; null: the document is written
    int logged;          ///< times the scan log says the value was not understood
};

class ConfermaPdfa : public VirtualSession, public ::testing::WithParamInterface<PdfaCase> {};

TEST_P(ConfermaPdfa, WritesTheConformanceAskedForWithThePagesOfThePlainPdf) {
    const PdfaCase& c = GetParam();
    scanner("");
    record.ResultFormat = "PDF";
    record.Pagina = "A4";
    record.Risoluzione = 100;
    record.setPDFA(QString::fromLatin1(c.value));
    QByteArray plain;
    const Outcome out = runReal([&](FormScansione& form) {
        if (c.profile) {
            pdfWriter = [&c](int32_t quality) {
                auto w = std::make_unique<PdfWriter>(quality);
                w->setColourProfile(QString::fromLatin1(c.profile));
                return w;
            };
        }
        for (const char* kind : {"BW", "GRAY", "RGB"}) {
            record.PixelType = kind;
            ASSERT_TRUE(scan(form));
        }
        form.ImgButtons_Click(0);
        EXPECT_EQ(form.isVisible(), c.failure != nullptr);
        plain = writeDocument(*form.component(), "PDF", folder() + "plain", {0, 1, 2});
    });
    const QString pdf = folder() + "scandoc.pdf";
    if (c.failure) {
        EXPECT_FALSE(out.files && !out.files->isEmpty());
        EXPECT_FALSE(QFile::exists(pdf));
        ASSERT_FALSE(messages.isEmpty());
        EXPECT_TRUE(messages.last().contains(QString::fromUtf8(c.failure)))
            << messages.last().toStdString();
    } else if (c.part == 0) {
        EXPECT_EQ(pdfContents(pdf), plain);
    } else {
        const ToolResult verdict = checkPdfa(pdf, c.part, folder() + "plain.pdf");
        EXPECT_EQ(verdict.exitCode, 0) << verdict.output.toStdString();
        expectOpensEverywhere(pdf, c.part);
    }
    const QString entry = QStringLiteral("OPERAZIONE PDFA ") + QString::fromLatin1(c.value);
    EXPECT_EQ(logLines().count(entry), c.logged) << logLines().join('\n').toStdString();
    if (c.logged) {
        EXPECT_EQ(logLines().last(),
                  "-1 - valore non riconosciuto (1b o 2b): scritto un PDF non PDF/A");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Values, ConfermaPdfa, ::testing::Values(
    PdfaCase{"Empty", "", 0, nullptr, nullptr, 0},
    PdfaCase{"Unknown", "3u", 0, nullptr, nullptr, 1},
    PdfaCase{"OneB", "1b", 1, nullptr, nullptr, 0},
    PdfaCase{"TwoBUpperCase", "2B", 2, nullptr, nullptr, 0},
    PdfaCase{"NoProfile", "2b", 2, "/nonexistent/sRGB.icc", "Impossibile salvare il documento: "
             "profilo colore sRGB /nonexistent/sRGB.icc: non trovato o illeggibile (pacchetto icc-profiles-free)", 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

enum class DiskFault { SizeLimit, FullAtFirstPage, FullMidway, ReadOnly };

struct DocumentFault {
    const char* format;
    DiskFault fault;
    const char* reason; ///< the message after "Impossibile salvare il documento: "
};

std::string faultName(const ::testing::TestParamInfo<DocumentFault>& info) {
    static const char* const names[] = {"SizeLimit", "FullAtFirstPage", "FullMidway", "ReadOnly"};
    return std::string(info.param.format) + "_" + names[int(info.param.fault)];
}

// Real faults under the real component: a file size limit (EFBIG) here, a full disk (ENOSPC)
// and a read-only folder (EROFS) on a tmpfs of the test's own (see PrivateDisk.h). The window
// must keep its pages, say why, leave the earlier documents as they were and nothing else,
// and write the whole document once the cause is gone.
class FailedDocument : public VirtualSession, public ::testing::WithParamInterface<DocumentFault> {
protected:
    static QByteArray bytes(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

TEST_P(FailedDocument, NothingIsLostAndTheRetryWritesItWhole) {
    const DocumentFault c = GetParam();
    const QString disk = privateDisk();
    if (c.fault != DiskFault::SizeLimit && disk.isEmpty())
        GTEST_SKIP() << "runs on a private disk, through PrivateDisk.FullAndReadOnlyFolders";
    // Each case in a folder of its own; the disk is shared by the cases of one child.
    const QString target = (c.fault == DiskFault::SizeLimit ? folder() : disk + '/') +
                           QString::fromStdString(faultName({c, 0})) + '/';
    ASSERT_TRUE(QDir().mkpath(target));
    const auto removeTarget = qScopeGuard([&] { QDir(target).removeRecursively(); });
    const QString format = c.format;
    scanner("");
    record.ResultFormat = format;
    record.PixelType = "GRAY";
    record.Pagina = "A4";
    QHash<QString, QByteArray> earlier;
    const Outcome out = runReal([&](FormScansione& form) {
        // Page 1 small, pages 2 and 3 large: room between the two lets page 1 be written and
        // stops the output at page 2.
        for (int dpi : {50, 100, 100}) {
            record.Risoluzione = dpi;
            ASSERT_TRUE(scan(form));
        }
        const QString probe = folder() + "probe." +
                              (format == "PDF"    ? "pdfimg"
                               : format == "TIFF" ? "tif"
                                                  : "jpg");
        qint64 small = 0, large = 0;
        for (int k : {0, 1}) {
            QFile::remove(probe);
            form.component()->SaveImage(k, probe);
            (k == 0 ? small : large) = QFileInfo(probe).size();
        }
        QFile::remove(probe);
        ASSERT_GT(large, small * 3 / 2);

        // An earlier session's documents.
        for (const QString& name : format == "JPEG"   ? QStringList{"pag_1.jpg", "pag_2.jpg"}
                                   : format == "TIFF" ? QStringList{"scandoc.tif"}
                                                      : QStringList{"scandoc.pdf"}) {
            QFile f(target + name);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            earlier[name] = "earlier " + name.toUtf8();
            f.write(earlier[name]);
        }

        folderOverride = target;
        const QString filler = disk + "/filler";
        {
            std::optional<FileSizeLimit> limit;
            switch (c.fault) {
            case DiskFault::SizeLimit:
                limit.emplace(rlim_t((small + large) / 2));
                ASSERT_TRUE(limit->active());
                break;
            case DiskFault::FullAtFirstPage:
                ASSERT_TRUE(fillDisk(disk, filler, 0));
                break;
            case DiskFault::FullMidway:
                ASSERT_TRUE(fillDisk(disk, filler, small + large / 2));
                break;
            case DiskFault::ReadOnly:
                ASSERT_EQ(runTool("mount", {"-o", "remount,ro", disk}).exitCode, 0);
                break;
            }
            form.ImgButtons_Click(FormScansione::cmdConferma);
        }
        QFile::remove(filler);
        if (c.fault == DiskFault::ReadOnly) {
            ASSERT_EQ(runTool("mount", {"-o", "remount,rw", disk}).exitCode, 0);
        }

        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.pages().count(), 3);
        EXPECT_TRUE(form.producedFiles().isEmpty());
        EXPECT_EQ(
            messages,
            QStringList{QStringLiteral("ERRORE|Impossibile salvare il documento: ") + c.reason});
        for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
            // Untouched; the PDF route deletes the earlier document before it starts.
            const bool gone = format == "PDF" && !QFile::exists(target + it.key());
            if (!gone) {
                EXPECT_EQ(bytes(target + it.key()), it.value()) << it.key().toStdString();
            }
        }
        EXPECT_TRUE(leftovers(target).isEmpty()) << leftovers(target).join(' ').toStdString();

        form.ImgButtons_Click(FormScansione::cmdConferma);
        EXPECT_FALSE(form.isVisible());
    });
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(leftovers(target).isEmpty()) << leftovers(target).join(' ').toStdString();
    if (format == "JPEG") {
        ASSERT_EQ(*out.files,
                  (QStringList{target + "pag_1.jpg", target + "pag_2.jpg", target + "pag_3.jpg"}));
        for (const QString& path : *out.files) {
            const ToolResult id = runTool("identify", {path});
            EXPECT_EQ(id.exitCode, 0) << id.output.toStdString();
            EXPECT_TRUE(id.output.contains(" JPEG ")) << id.output.toStdString();
        }
    } else if (format == "TIFF") {
        ASSERT_EQ(*out.files, QStringList{target + "scandoc.tif"});
        const ToolResult info = runTool("tiffinfo", {target + "scandoc.tif"});
        EXPECT_EQ(info.exitCode, 0);
        EXPECT_EQ(info.output.count("TIFF Directory at offset"), 3) << info.output.toStdString();
    } else {
        ASSERT_EQ(*out.files, QStringList{target + "scandoc.pdf"});
        const QString info = tool("pdfinfo", {target + "scandoc.pdf"});
        EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+3\\b"))) << info.toStdString();
        EXPECT_TRUE(tool("qpdf", {"--check", target + "scandoc.pdf"})
                        .contains("No syntax or stream encoding errors"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedDocument,
    ::testing::Values(DocumentFault{"JPEG", DiskFault::SizeLimit, "file troppo grande"},
                      DocumentFault{"TIFF", DiskFault::SizeLimit, "file troppo grande"},
                      DocumentFault{"PDF", DiskFault::SizeLimit, "file troppo grande"},
                      DocumentFault{"JPEG", DiskFault::FullAtFirstPage, "spazio su disco esaurito"},
                      DocumentFault{"TIFF", DiskFault::FullAtFirstPage, "spazio su disco esaurito"},
                      DocumentFault{"PDF", DiskFault::FullAtFirstPage, "spazio su disco esaurito"},
                      DocumentFault{"JPEG", DiskFault::FullMidway, "spazio su disco esaurito"},
                      DocumentFault{"TIFF", DiskFault::FullMidway, "spazio su disco esaurito"},
                      DocumentFault{"PDF", DiskFault::FullMidway, "spazio su disco esaurito"},
                      DocumentFault{"JPEG", DiskFault::ReadOnly, "permesso negato"},
                      DocumentFault{"TIFF", DiskFault::ReadOnly, "permesso negato"},
                      DocumentFault{"PDF", DiskFault::ReadOnly, "permesso negato"}),
    faultName);

// A session cache on a disk that is full before the batch, or fills in the middle of it: the
// acquisition ends with the reason in the window's message, keeps the pages delivered before
// (all of them written by "Conferma" once there is room) and leaves no more in memory than
// the encoder's allowance, instead of carrying on into memory without a word.
enum class CacheFault { FullBefore, FillsMidway };

class CacheDisk : public VirtualSession, public ::testing::WithParamInterface<CacheFault> {};

TEST_P(CacheDisk, AcquisitionEndsWithTheReasonAndKeepsItsPages) {
    const QString disk = privateDisk();
    if (disk.isEmpty())
        GTEST_SKIP() << "runs on a private disk, through PrivateDisk.FullCacheDisk";
    const bool before = GetParam() == CacheFault::FullBefore;
    // More pages than memory may hold for the encoder (64 MiB): the batch must stop.
    constexpr int kSheets = 40;
    scanner(
        QStringLiteral(R"(, "feeder": {"present": true, "paperDetectable": true, "sheets": %1})")
            .arg(kSheets));
    record.ResultFormat = "TIFF";
    record.PixelType = "RGB";
    record.Pagina = "A4";
    record.Risoluzione = 100; // about 3 MB a page; a batch needs two and 4 MB more to start
    cacheParent = disk;
    const QString filler = disk + "/filler";
    const auto removeFiller = qScopeGuard([&] { QFile::remove(filler); });
    int pages = -1;
    const Outcome out = runReal([&](FormScansione& form) {
        ASSERT_TRUE(fillDisk(disk, filler, (before ? 8 : 16) << 20));
        ASSERT_TRUE(scan(form));
        pages = form.pages().count();
        EXPECT_EQ(form.component()->ImageCount(), pages);
        EXPECT_LE(real(form).bytesInMemory(), qint64(64 + 3) << 20);
        QFile::remove(filler);
        if (pages > 0)
            form.ImgButtons_Click(FormScansione::cmdConferma);
    });
    ASSERT_EQ(messages.size(), 1) << messages.join('\n').toStdString();
    EXPECT_TRUE(messages.first().startsWith(
        "ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 1013\r\nSpazio su disco esaurito: "))
        << messages.first().toStdString();
    if (before) {
        EXPECT_EQ(pages, 0);
        return;
    }
    EXPECT_GT(pages, 0);
    EXPECT_LT(pages, kSheets);
    ASSERT_TRUE(out.files);
    const QString info = tool("tiffinfo", {folder() + "scandoc.tif"});
    EXPECT_EQ(info.count("TIFF Directory at offset"), pages) << info.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cache, CacheDisk,
                         ::testing::Values(CacheFault::FullBefore, CacheFault::FillsMidway),
                         [](const auto& info) {
                             return std::string(info.param == CacheFault::FullBefore
                                                    ? "FullBefore"
                                                    : "FillsMidway");
                         });

TEST(PrivateDisk, FullCacheDisk) {
    expectAllPassOnPrivateDisk(QStringLiteral("Cache/CacheDisk.*"), 24 * 1024, 2);
}

TEST(PrivateDisk, FullAndReadOnlyFolders) {
    expectAllPassOnPrivateDisk(QStringLiteral("Faults/FailedDocument.*/*_Full*:"
                                              "Faults/FailedDocument.*/*_ReadOnly"),
                               16 * 1024, 9);
}

} // namespace
