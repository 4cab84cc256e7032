// Pages encoded in the background for the document: whatever was prepared, and whenever
// "Conferma" comes, the files are byte for byte what the component writes without preparing;
// what was prepared before a rotation or a change of settings is never used; pixels wait in
// memory only within the budget, and a page whose cache file fails stays in memory.
#include "VirtualFixture.h"
#include "acquisition/ImageBuffer.h"
#include "support/Documents.h"
#include <QDir>
#include <QFileInfo>
#include <functional>

using namespace twain;

namespace {

const QByteArray kFlatbed = R"("name":"Piano","pixelTypes":["BW","GRAY","RGB"],
    "resolutions":[100],"pageSizes":["A5"])";

class PreparedPages : public VirtualFixture {
protected:
    /// Three images, one of each kind (1-bit, grey, colour), from the flatbed.
    void acquireEachKind() {
        openScanner(kFlatbed);
        for (int32_t type : {BW, Gray, RGB}) {
            if (m_scan->DataSourceOpen() == 0) {
                ASSERT_EQ(m_scan->OpenDataSource(), 1);
            }
            m_scan->setImagePixelType(type);
            ASSERT_EQ(runAcquisition().images, 1);
        }
    }

    QString file(const QString& name) const { return m_dir.filePath(name); }

    /// The three images written as "Conferma" writes `format`, in a page order that is not
    /// the images' own, into files named after `tag`.
    QByteArray document(const QString& format, const QString& tag,
                        const QString& pageFiles = QStringLiteral("pdfimg")) {
        return writeDocument(*m_scan, format, file(tag), {2, 0, 1}, pageFiles);
    }

    /// The same document as the component writes it without preparing anything, the PDF's
    /// pages going to the writer as bitmaps as they used to.
    QByteArray unprepared(const QString& format, const QString& tag) {
        m_scan->setDocumentFormat(QString());
        EXPECT_EQ(m_scan->preparedCount(), 0);
        return document(format, tag, QStringLiteral("bmp"));
    }
};

struct Settings {
    const char* format;
    int32_t jpegQuality;
    int32_t tiffCompression;
};

class PreparedDocument : public PreparedPages, public ::testing::WithParamInterface<Settings> {};

TEST_P(PreparedDocument, IsByteForByteWhatTheComponentWritesUnprepared) {
    const Settings s = GetParam();
    const QString format = QLatin1String(s.format);
    acquireEachKind();
    m_scan->setJpegQuality(s.jpegQuality);
    m_scan->setTiffCompression(s.tiffCompression);
    ASSERT_TRUE(settle());

    // "Conferma" while every page is still being encoded: the encoder has them all, and no
    // result has come back yet (none can without the event loop).
    m_scan->setDocumentFormat(format);
    EXPECT_EQ(m_scan->preparedCount(), 0);
    const QByteArray whileEncoding = document(format, QStringLiteral("busy"));

    // "Conferma" with every page ready.
    m_scan->setDocumentFormat(QString());
    m_scan->setDocumentFormat(format);
    ASSERT_TRUE(settle());
    ASSERT_EQ(m_scan->preparedCount(), 3);
    const QByteArray ready = document(format, QStringLiteral("ready"));
    // They were used, not silently passed over: moved into place, the TIFF's later pages
    // copied from theirs (a file that fails is dropped and the page encoded afresh).
    EXPECT_EQ(m_scan->preparedCount(), format == QLatin1String("TIFF") ? 2 : 0);

    const QByteArray plain = unprepared(format, QStringLiteral("plain"));
    EXPECT_EQ(ready, plain);
    EXPECT_EQ(whileEncoding, plain);
}

INSTANTIATE_TEST_SUITE_P(Formats, PreparedDocument,
                         ::testing::Values(Settings{"JPEG", 0, 0}, Settings{"JPEG", 85, 0},
                                           Settings{"TIFF", 0, 0}, Settings{"TIFF", 0, 1},
                                           Settings{"TIFF", 0, 4}, Settings{"TIFF", 0, 5},
                                           Settings{"TIFF", 40, 7}, Settings{"TIFF", 0, 8},
                                           Settings{"PDF", 0, 0}, Settings{"PDF", 50, 0}));

struct Change {
    const char* what;
    Settings before;
    std::function<void(VstScan&)> apply;
};

class ChangeAfterPreparing : public PreparedPages, public ::testing::WithParamInterface<Change> {
protected:
    void SetUp() override {
        const Settings s = GetParam().before;
        acquireEachKind();
        m_scan->setJpegQuality(s.jpegQuality);
        m_scan->setTiffCompression(s.tiffCompression);
        m_scan->setDocumentFormat(QLatin1String(s.format));
        ASSERT_TRUE(settle());
        ASSERT_EQ(m_scan->preparedCount(), 3);
        GetParam().apply(*m_scan);
    }
    QString format() const { return QLatin1String(GetParam().before.format); }
};

TEST_P(ChangeAfterPreparing, WhatWasPreparedBeforeIsNeverWritten) {
    // At once, before the encoder has caught up with the change.
    const QByteArray now = document(format(), QStringLiteral("now"));
    EXPECT_EQ(now, unprepared(format(), QStringLiteral("plain")));
}

TEST_P(ChangeAfterPreparing, EveryPageIsPreparedAgain) {
    ASSERT_TRUE(settle());
    EXPECT_EQ(m_scan->preparedCount(), 3);
    // Nothing is left of what the change made useless: three page files, three prepared.
    const QStringList cache = QDir(m_scan->cacheFolder()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(cache.size(), 6) << cache.join(' ').toStdString();
    const QByteArray later = document(format(), QStringLiteral("later"));
    EXPECT_EQ(later, unprepared(format(), QStringLiteral("plain")));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangeAfterPreparing,
    ::testing::Values(
        Change{"colour page turned", {"JPEG", 75, 0}, [](VstScan& s) { s.RotateImage(2, 90); }},
        Change{"1-bit page turned", {"PDF", 0, 0}, [](VstScan& s) { s.RotateImage(0, -90); }},
        Change{"quality lowered", {"JPEG", 75, 0}, [](VstScan& s) { s.setJpegQuality(40); }},
        Change{"compression changed", {"TIFF", 0, 5}, [](VstScan& s) { s.setTiffCompression(8); }},
        Change{"document format changed",
               {"PDF", 0, 0},
               [](VstScan& s) { s.setDocumentFormat(QStringLiteral("TIFF")); }}),
    [](const auto& info) {
        return QString::fromLatin1(info.param.what)
            .replace(QLatin1Char(' '), QLatin1Char('_'))
            .remove(QLatin1Char('-'))
            .toStdString();
    });

TEST_F(PreparedPages, AReadyFileThatCannotBeMovedIsWrittenAfreshLikeAnyOther) {
    acquireEachKind();
    m_scan->setDocumentFormat(QStringLiteral("JPEG"));
    ASSERT_TRUE(settle());
    ASSERT_EQ(m_scan->preparedCount(), 3);
    EXPECT_THROW(m_scan->SaveImage(1, file(QStringLiteral("no/such/folder/p.jpg"))), ScanError);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::WriteFailed);
    ASSERT_EQ(m_scan->SaveImage(1, file(QStringLiteral("p.jpg"))), 1);
    const QByteArray written = contents(file(QStringLiteral("p.jpg")));
    m_scan->setDocumentFormat(QString());
    ASSERT_EQ(m_scan->SaveImage(1, file(QStringLiteral("q.jpg"))), 1);
    EXPECT_EQ(written, contents(file(QStringLiteral("q.jpg"))));
}

TEST_F(PreparedPages, APageWhoseCacheFileFailsStaysInMemoryAndIsStillSaved) {
    openScanner(kFlatbed);
    m_scan->setImagePixelType(RGB); // 583 x 827 x 3 bytes: far beyond the limit below
    withFileSizeLimit(1 << 20, [&] {
        ASSERT_EQ(runAcquisition().images, 1);
        ASSERT_TRUE(settle());
    });
    EXPECT_TRUE(QDir(m_scan->cacheFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    ASSERT_EQ(m_scan->SaveImage(0, file(QStringLiteral("kept.bmp"))), 1);
    EXPECT_EQ(QImage(file(QStringLiteral("kept.bmp"))).size(), QSize(583, 827));
}

TEST(MemoryBudget, PixelsWaitInMemoryOnlyWithinTheBudget) {
    QTemporaryDir dir;
    QImage image(200, 100, QImage::Format_RGB888);
    image.fill(Qt::gray);
    const qint64 bytes = 200 * 3 * 100;
    auto budget = std::make_shared<MemoryBudget>(bytes * 5 / 2);
    const auto store = [&](const char* name) {
        return storePage(image, dir.filePath(QLatin1String(name)), budget.get());
    };
    StoredPage a = store("a.raw");
    const StoredPage b = store("b.raw");
    for (const StoredPage* waiting : {static_cast<const StoredPage*>(&a), &b}) {
        EXPECT_FALSE(waiting->pixels.isNull());
        EXPECT_TRUE(waiting->cachePath.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(waiting->pendingPath)); // someone else writes it
    }
    // No room for a third: it is written at once.
    const StoredPage c = store("c.raw");
    EXPECT_TRUE(c.pixels.isNull());
    EXPECT_TRUE(QFileInfo::exists(c.cachePath));
    EXPECT_EQ(budget->used(), 2 * bytes);
    {
        // A copy on its way to the encoder holds the memory as long as it lives.
        const StoredPage copy = a;
        a = StoredPage();
        EXPECT_EQ(budget->used(), 2 * bytes);
    }
    EXPECT_EQ(budget->used(), bytes);
    EXPECT_FALSE(store("d.raw").pixels.isNull());
}

} // namespace
