// "Conferma" on the fake component: the files each format writes and lists, the order of the
// PDF writer's calls, the deletes before writing, and every failure keeping the window open
// with its pages and the earlier documents as they were.
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "support/ScanSession.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <optional>
#include <utility>

namespace {

class OutputTest : public ScanSessionTest {
protected:
    /// Files SaveImage was asked to write, in order.
    QStringList saved;
    /// SaveImage fails (throws) on this call number (1-based), 0 never.
    int failOnSave = 0;

    void SetUp() override {
        prepare = [this](FakeScanComponent& f) {
            f.onSave = [this](int32_t index, const QString& path) {
                saved << path;
                if (failOnSave && saved.size() == failOnSave)
                    throw ScanError(QStringLiteral("disco pieno"));
                QFile out(path);
                ASSERT_TRUE(out.open(QIODevice::Append));
                out.write(QByteArray::number(index) + ';');
            };
        };
    }

    /// The final names of the files SaveImage was given: a document is written under hidden
    /// temporary names (".pag_1.<hex>.part.jpg") and renamed once complete.
    static QStringList finalNames(QStringList paths) {
        static const QRegularExpression staged(R"(/\.([^/]+)\.[0-9a-f]{8}\.part\.(\w+)(\)?)$)");
        for (QString& p : paths)
            p.replace(staged, "/\\1.\\2\\3");
        return paths;
    }

    /// Scans `pages` pages and confirms them; the window closes, or stays when the output
    /// fails (`closes` false).
    Outcome confirm(int pages, bool closes = true) {
        return run([&](FormScansione& form) {
            scanPages(form, pages);
            form.ImgButtons_Click(0);
            EXPECT_NE(form.isVisible(), closes);
        });
    }
};

TEST_F(OutputTest, JpegOneFilePerPageNamedByPageNumber) {
    record.ResultFormat = "JPEG";
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 4);
        form.ImgButtons_Click(2); // page 2
        form.ImgButtons_Click(5); // delete it: pages are images 0, 2, 3
        form.ImgButtons_Click(0);
    });
    const QStringList expected{folder() + "pag_1.jpg", folder() + "pag_2.jpg",
                               folder() + "pag_3.jpg"};
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, expected);
    EXPECT_EQ(finalNames(saved), expected);
    QFile second(folder() + "pag_2.jpg");
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_EQ(second.readAll(), "2;"); // page 2 holds image 2
    EXPECT_EQ(out.code, "");
}

TEST_F(OutputTest, TiffOneFileEachSavePrecededByMultiPage) {
    record.ResultFormat = "TIFF";
    QStringList calls;
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        fake->calls.clear();
        form.ImgButtons_Click(0);
        calls = finalNames(fake->calls.filter(QRegularExpression("^(TiffMultiPage=|SaveImage)")));
    });
    const QString tif = folder() + "scandoc.tif";
    EXPECT_EQ(calls, (QStringList{"TiffMultiPage=1", "SaveImage(0," + tif + ")", "TiffMultiPage=1",
                                  "SaveImage(1," + tif + ")", "TiffMultiPage=1",
                                  "SaveImage(2," + tif + ")"}));
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{tif});
}

TEST_F(OutputTest, PdfWriterCallsInOrderWithImageIndexBitmaps) {
    record.ResultFormat = "PDF";
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        // Page 1 replaced by image 3: pages are images 3, 1, 2.
        form.ImgButtons_Click(4);
        fake->values["DataSourceOpen"] = 0;
        deliverPages(1);
        form.ImgButtons_Click(0);
    });
    const QString pdf = folder() + "scandoc.pdf";
    QStringList expected{"OutputPath=" + pdf, "BeginDocument()", "DocumentMode=4"};
    int page = 0;
    for (int k : {3, 1, 2}) {
        ++page;
        expected << "AddPage(210,297)"
                 << "AddImageFile(" + folder() + QStringLiteral("pag_%1.pdfimg)").arg(k)
                 << QStringLiteral("DrawImage(%1,0,297,210,297)").arg(100 + page) << "EndPage()";
    }
    expected << "EndDocument";
    EXPECT_EQ(pdfCalls, expected);
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{pdf});
    // The page images existed while their page was built and are gone now.
    EXPECT_TRUE(QDir(folder()).entryList({"pag_*"}).isEmpty());
}

class OtherFormats : public OutputTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OtherFormats, NothingWrittenWindowCloses) {
    record.ResultFormat = GetParam();
    const Outcome out = confirm(2);
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_TRUE(saved.isEmpty());
    EXPECT_TRUE(pdfCalls.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Texts, OtherFormats, ::testing::Values("jpeg", "BMP", "", "Pdf", " PDF"));

class EmptyStore : public OutputTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EmptyStore, NothingWrittenWindowCloses) {
    record.ResultFormat = GetParam();
    QFile old(folder() + "scandoc.pdf");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    const Outcome out = confirm(0);
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_TRUE(saved.isEmpty());
    EXPECT_TRUE(pdfCalls.isEmpty());
    // With no page the PDF route is not entered: an older document stays.
    EXPECT_TRUE(QFile::exists(folder() + "scandoc.pdf"));
}

INSTANTIATE_TEST_SUITE_P(Formats, EmptyStore, ::testing::Values("JPEG", "TIFF", "PDF"));

enum class Fault {
    SaveThrows,
    SaveWritesNothing,
    DirectoryAppears,
    EndDocumentThrows,
    EndDocumentWritesNothing
};

struct FailedCase {
    const char* format;
    Fault fault;
    int onSave;         ///< the SaveImage call (1-based) that fails or makes the fault
    int32_t code;       ///< the failing call's ScanError code
    const char* reason; ///< what the message says after "Impossibile salvare il documento: "
};

void PrintTo(const FailedCase& c, std::ostream* os) {
    *os << c.format << " fault " << int(c.fault) << " at save " << c.onSave;
}

class FailedOutput : public OutputTest, public ::testing::WithParamInterface<FailedCase> {
protected:
    /// Earlier documents in the folder, by name, with their contents.
    QHash<QString, QByteArray> earlier;

    void plant(const QString& name, const QByteArray& bytes) {
        QFile f(folder() + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        earlier[name] = bytes;
    }
    QByteArray contents(const QString& name) const {
        QFile f(folder() + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }
};

TEST_P(FailedOutput, WindowStaysWithItsPagesAndConfirmsOnceMended) {
    const FailedCase c = GetParam();
    record.ResultFormat = c.format;
    const QString format = c.format;
    if (format == "JPEG") {
        plant("pag_1.jpg", "old 1");
        plant("pag_2.jpg", "old 2");
        plant("pag_4.jpg", "old 4");
    } else if (format == "TIFF") {
        plant("scandoc.tif", "old document");
    } else {
        plant("scandoc.pdf", "%PDF-1.4 old document");
    }
    bool faulty = true;
    int writers = 0;
    pdfWriter = [&](int32_t) -> std::unique_ptr<PdfWriter> {
        struct Failing : RecordingPdfWriter {
            using RecordingPdfWriter::RecordingPdfWriter;
            std::optional<Fault> fault;
            int32_t EndDocument() override {
                RecordingPdfWriter::EndDocument();
                const std::optional<Fault> now = std::exchange(fault, std::nullopt);
                if (now == Fault::EndDocumentThrows)
                    throw ScanError("disco pieno", componentError::DiskFull);
                return now == Fault::EndDocumentWritesNothing ? 0 : 1;
            }
        };
        auto w = std::make_unique<Failing>(pdfCalls);
        if (++writers == 1)
            w->fault = c.fault;
        return w;
    };
    const QString blocked = folder() + "pag_3.jpg";
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        fake->onSave = [&](int32_t index, const QString& path) {
            saved << path;
            if (faulty && saved.size() == c.onSave) {
                if (c.fault == Fault::SaveThrows)
                    throw ScanError("disco pieno", c.code);
                if (c.fault == Fault::SaveWritesNothing)
                    return;
                if (c.fault == Fault::DirectoryAppears) {
                    ASSERT_TRUE(QDir().mkpath(blocked + "/inside"));
                }
            }
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write(QByteArray::number(index) + ';');
        };
        form.ImgButtons_Click(FormScansione::cmdConferma);

        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.pages().count(), 3);
        EXPECT_TRUE(form.producedFiles().isEmpty());
        EXPECT_TRUE(button(form, FormScansione::cmdConferma)->isEnabled());
        EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages.first().startsWith("ERRORE|Impossibile salvare il documento: "))
            << messages.first().toStdString();
        EXPECT_TRUE(messages.first().contains(c.reason)) << messages.first().toStdString();
        for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
            // The PDF route deletes the old document before it starts the new one.
            if (it.key() == "scandoc.pdf")
                EXPECT_FALSE(QFile::exists(folder() + it.key()));
            else
                EXPECT_EQ(contents(it.key()), it.value()) << it.key().toStdString();
        }
        if (c.fault == Fault::DirectoryAppears)
            EXPECT_TRUE(QFileInfo(blocked).isDir());
        else
            EXPECT_FALSE(QFile::exists(blocked));
        EXPECT_TRUE(leftovers(folder()).isEmpty()) << leftovers(folder()).join(' ').toStdString();

        // The cause mended, "Conferma" again writes the whole document and ends the session.
        faulty = false;
        QDir(blocked).removeRecursively();
        saved.clear();
        form.ImgButtons_Click(FormScansione::cmdConferma);
        EXPECT_FALSE(form.isVisible());
    });
    ASSERT_TRUE(out.files);
    if (format == "JPEG") {
        EXPECT_EQ(*out.files, (QStringList{folder() + "pag_1.jpg", folder() + "pag_2.jpg",
                                           folder() + "pag_3.jpg"}));
        EXPECT_EQ(contents("pag_2.jpg"), "1;");
        EXPECT_EQ(contents("pag_4.jpg"), "old 4"); // not part of this document: left alone
    } else if (format == "TIFF") {
        EXPECT_EQ(*out.files, QStringList{folder() + "scandoc.tif"});
        EXPECT_EQ(contents("scandoc.tif"), "0;1;2;");
    } else {
        EXPECT_EQ(*out.files, QStringList{folder() + "scandoc.pdf"});
    }
    EXPECT_TRUE(leftovers(folder()).isEmpty()) << leftovers(folder()).join(' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FailedOutput,
    ::testing::Values(
        FailedCase{"JPEG", Fault::SaveWritesNothing, 2, 0, "il file non è stato scritto"},
        FailedCase{"JPEG", Fault::DirectoryAppears, 3, 0, "esiste una cartella con questo nome"},
        FailedCase{"TIFF", Fault::SaveThrows, 2, -1, "disco pieno"},
        FailedCase{"PDF", Fault::EndDocumentThrows, 0, 0, "spazio su disco esaurito"},
        FailedCase{"PDF", Fault::EndDocumentWritesNothing, 0, 0, "PDF non è stato scritto"}));

TEST_F(OutputTest, PdfCleanUpEndsTheWriterAndLeavesNoPartialFiles) {
    record.ResultFormat = "PDF";
    failOnSave = 2;
    // The recording writer leaves a file behind at EndDocument, as the real one does.
    pdfWriter = [this](int32_t) -> std::unique_ptr<PdfWriter> {
        struct Writing : RecordingPdfWriter {
            using RecordingPdfWriter::RecordingPdfWriter;
            QString path;
            void setOutputPath(const QString& p) override {
                path = p;
                RecordingPdfWriter::setOutputPath(p);
            }
            int32_t EndDocument() override {
                QFile f(path);
                if (f.open(QIODevice::WriteOnly))
                    f.write("%PDF-1.7 one page");
                return RecordingPdfWriter::EndDocument();
            }
        };
        return std::make_unique<Writing>(pdfCalls);
    };
    const Outcome out = confirm(3, false);
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    // Page 2 failed after AddPage: the page is ended and the document finished.
    ASSERT_GE(pdfCalls.size(), 3);
    EXPECT_EQ(pdfCalls.mid(pdfCalls.size() - 3),
              (QStringList{"AddPage(210,297)", "EndPage()", "EndDocument"}));
    EXPECT_FALSE(QFile::exists(folder() + "scandoc.pdf"));
    EXPECT_TRUE(QDir(folder()).entryList({"pag_*.pdfimg"}).isEmpty());
}

TEST_F(OutputTest, PdfFileThatCannotBeDeletedWritesNothing) {
    record.ResultFormat = "PDF";
    // A directory in the way cannot be removed as a file.
    ASSERT_TRUE(QDir(folder()).mkpath("scandoc.pdf/inside"));
    const Outcome out = confirm(1, false);
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().contains("impossibile eliminare il file"))
        << messages.first().toStdString();
    EXPECT_TRUE(pdfCalls.isEmpty());
    EXPECT_TRUE(saved.isEmpty());
}

TEST_F(OutputTest, NoWorkingFolderIsSaidAndTheWindowStays) {
    record.ResultFormat = "TIFF";
    WindowServices s = services();
    s.workingFolder = [] { return QString(); };
    FormScansione form(s);
    const Outcome out = runOn(
        form,
        [&](FormScansione& f) {
            scanPages(f, 1);
            f.ImgButtons_Click(0);
            EXPECT_TRUE(f.isVisible());
            EXPECT_EQ(f.pages().count(), 1);
        },
        &record);
    EXPECT_TRUE(saved.isEmpty());
    EXPECT_EQ(messages, QStringList{"ERRORE|Impossibile salvare il documento: nessuna cartella "
                                    "di lavoro privata"});
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
}

TEST_F(OutputTest, WorkingFolderIsTakenAfresh) {
    record.ResultFormat = "TIFF";
    QTemporaryDir other;
    int asked = 0;
    const Outcome out = run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(1);
        // The folder changes between the session start and the confirmation.
        folderOverride = other.path() + '/';
        asked = 1;
        form.ImgButtons_Click(0);
    });
    ASSERT_EQ(asked, 1);
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{other.path() + "/scandoc.tif"});
}

TEST_F(OutputTest, HourglassDuringOutputDefaultAfter) {
    record.ResultFormat = "JPEG";
    Qt::CursorShape during = Qt::ArrowCursor, after = Qt::WaitCursor;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(1);
        fake->onSave = [&](int32_t, const QString&) { during = form.cursor().shape(); };
        form.ImgButtons_Click(0);
        after = form.cursor().shape();
    });
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(after, Qt::ArrowCursor);
}

} // namespace
