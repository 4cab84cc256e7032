// "Conferma" on the fake component: the files each format writes and lists, the order of the
// PDF writer's calls, the deletes before writing, and every failure path closing the window.
#include "acquisition/ScanError.h"
#include "support/ScanSession.h"

#include <QDir>
#include <QRegularExpression>

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

    Outcome confirm(int pages) {
        return run([&](FormScansione& form) {
            scanPages(form, pages);
            form.ImgButtons_Click(0);
            EXPECT_FALSE(form.isVisible());
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
    EXPECT_EQ(saved, expected);
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
        calls = fake->calls.filter(QRegularExpression("^(TiffMultiPage=|SaveImage)"));
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

TEST_F(OutputTest, OldPdfIsDeletedEvenWhenTheNewOneFails) {
    record.ResultFormat = "PDF";
    QFile old(folder() + "scandoc.pdf");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("%PDF-1.4 old session");
    old.close();
    failOnSave = 1;
    const Outcome out = confirm(2);
    EXPECT_FALSE(QFile::exists(folder() + "scandoc.pdf"));
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
}

struct DiskFullCase {
    const char* format;
    int failOn;
    QStringList listed; ///< file names listed
};

class DiskFills : public OutputTest, public ::testing::WithParamInterface<DiskFullCase> {};

TEST_P(DiskFills, StopsAtTheFailingPage) {
    const DiskFullCase c = GetParam();
    record.ResultFormat = c.format;
    failOnSave = c.failOn;
    const Outcome out = confirm(3);
    ASSERT_TRUE(out.files);
    QStringList expected;
    for (const QString& name : c.listed)
        expected << folder() + name;
    EXPECT_EQ(*out.files, expected);
    EXPECT_EQ(saved.size(), c.failOn); // nothing after the failing page
}

INSTANTIATE_TEST_SUITE_P(Formats, DiskFills,
                         ::testing::Values(DiskFullCase{"JPEG", 3, {"pag_1.jpg", "pag_2.jpg"}},
                                           DiskFullCase{"JPEG", 1, {}}, DiskFullCase{"TIFF", 2, {}},
                                           DiskFullCase{"PDF", 2, {}}));

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
    const Outcome out = confirm(3);
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
    const Outcome out = confirm(1);
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_TRUE(pdfCalls.isEmpty());
    EXPECT_TRUE(saved.isEmpty());
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
