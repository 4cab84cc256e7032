// The image buffer: raw page files that read back exactly, rotation of every buffer format,
// the private session cache and the removal of caches left by crashed runs, and the image
// operations (rotate, save, multi-page TIFF) on acquired pages.
#include "VirtualFixture.h"
#include "acquisition/ImageBuffer.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionCache.h"
#include <QDir>
#include <QFileInfo>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

namespace {

// A test image whose every pixel differs from its neighbours, in a buffer format.
QImage patterned(QImage::Format format, int w, int h) {
    QImage img(w, h, format);
    if (format == QImage::Format_Mono)
        img.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (format == QImage::Format_Mono)
                img.setPixel(x, y, uint((x * 7 + y * 3) % 5 == 0));
            else
                img.setPixelColor(x, y, QColor((x * 37) % 256, (y * 91) % 256, (x * y) % 256));
        }
    }
    img.setDotsPerMeterX(11811);
    img.setDotsPerMeterY(5906);
    return img;
}

bool samePixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.format() != b.format())
        return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y))
                return false;
        }
    }
    return true;
}

int tiffPages(const QString& path) {
    TIFF* t = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!t)
        return -1;
    const int n = TIFFNumberOfDirectories(t);
    TIFFClose(t);
    return n;
}

const QImage::Format kFormats[] = {QImage::Format_Mono, QImage::Format_Grayscale8,
                                   QImage::Format_Grayscale16, QImage::Format_RGB888,
                                   QImage::Format_RGBX64};

} // namespace

TEST(RawImageFile, EveryBufferFormatReadsBackExactly) {
    QTemporaryDir dir;
    for (QImage::Format f : kFormats) {
        const QImage img = patterned(f, 37, 11); // odd width: lines are not word-aligned
        const QString path = dir.filePath(QStringLiteral("p%1.raw").arg(int(f)));
        QString error;
        ASSERT_TRUE(rawImage::write(img, path, &error)) << error.toStdString();
        const QImage back = rawImage::read(path, &error);
        ASSERT_FALSE(back.isNull()) << error.toStdString();
        EXPECT_TRUE(samePixels(img, back)) << "format " << int(f);
        EXPECT_EQ(back.dotsPerMeterX(), 11811);
        EXPECT_EQ(back.dotsPerMeterY(), 5906);
        EXPECT_EQ(back.colorTable(), img.colorTable());
    }
}

TEST(RawImageFile, DamagedFilesAreRefusedWithAReason) {
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.raw"));
    ASSERT_TRUE(rawImage::write(patterned(QImage::Format_RGB888, 20, 20), good));
    QFile in(good);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    in.close();

    struct Case {
        const char* name;
        QByteArray content;
    };
    QByteArray badFormat = bytes;
    badFormat[16] = char(99);
    const Case cases[] = {{"empty", {}},
                          {"truncated", bytes.left(bytes.size() - 1)},
                          {"longer", bytes + "x"},
                          {"not a page", QByteArray(200, 'z')},
                          {"unknown format", badFormat}};
    for (const Case& c : cases) {
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.content);
        f.close();
        QString error;
        EXPECT_TRUE(rawImage::read(path, &error).isNull()) << c.name;
        EXPECT_FALSE(error.isEmpty()) << c.name;
    }
    QString error;
    EXPECT_TRUE(rawImage::read(dir.filePath(QStringLiteral("missing")), &error).isNull());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(rawImage::write(patterned(QImage::Format_RGB888, 2, 2),
                                 dir.filePath(QStringLiteral("no/such/dir/x.raw")), &error));
}

TEST(RawImageFile, RotationMovesEachPixelWhereAClockwiseTurnPutsIt) {
    for (QImage::Format f : kFormats) {
        const QImage img = patterned(f, 13, 6);
        const int w = img.width(), h = img.height();
        for (int degrees : {90, 180, 270, -90, 450}) {
            const QImage r = rawImage::rotated(img, degrees);
            ASSERT_EQ(r.format(), f);
            const int q = ((degrees / 90) % 4 + 4) % 4;
            ASSERT_EQ(r.size(), q % 2 ? QSize(h, w) : QSize(w, h));
            bool ok = true;
            for (int y = 0; y < h && ok; ++y) {
                for (int x = 0; x < w && ok; ++x) {
                    const QPoint to = q == 1   ? QPoint(h - 1 - y, x)
                                      : q == 2 ? QPoint(w - 1 - x, h - 1 - y)
                                               : QPoint(y, w - 1 - x);
                    ok = r.pixel(to) == img.pixel(x, y);
                }
            }
            EXPECT_TRUE(ok) << "format " << int(f) << " degrees " << degrees;
            if (q % 2) {
                EXPECT_EQ(r.dotsPerMeterX(), img.dotsPerMeterY());
                EXPECT_EQ(r.dotsPerMeterY(), img.dotsPerMeterX());
            }
        }
        EXPECT_TRUE(samePixels(rawImage::rotated(rawImage::rotated(img, 90), -90), img));
    }
}

TEST(ImagePreview, FitsTheScreenBoxKeepingTheShapeAndTheContent) {
    // A4 at 300 dpi, left half black, right half white.
    QImage page(2480, 3508, QImage::Format_RGB888);
    page.fill(Qt::white);
    for (int y = 0; y < page.height(); ++y)
        std::fill(page.scanLine(y), page.scanLine(y) + 1240 * 3, uchar(0));
    const QImage a4 = makePreview(page);
    EXPECT_LE(a4.width(), 1000);
    EXPECT_LE(a4.height(), 1400);
    EXPECT_GT(a4.height(), 1000); // screen-sized, not a thumbnail
    EXPECT_NEAR(double(a4.height()) / a4.width(), 3508.0 / 2480, 0.01);
    EXPECT_EQ(a4.pixelColor(10, 10), QColor(Qt::black));
    EXPECT_EQ(a4.pixelColor(a4.width() - 10, 10), QColor(Qt::white));

    const QImage landscape = makePreview(QImage(3508, 2480, QImage::Format_Grayscale8));
    EXPECT_LE(landscape.width(), 1000);
    EXPECT_NEAR(double(landscape.width()) / landscape.height(), 3508.0 / 2480, 0.01);
    EXPECT_EQ(landscape.format(), QImage::Format_Grayscale8);

    QImage mono(300, 200, QImage::Format_Mono);
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    mono.fill(1);
    const QImage small = makePreview(mono);
    EXPECT_EQ(small.size(), QSize(300, 200));
    EXPECT_EQ(small.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(small.pixelColor(5, 5), QColor(Qt::black)); // the colour table is honoured

    // Slivers narrower or shorter than a block: the blocks end with the page, and a plain
    // page stays plain (nothing outside its rows is read or averaged in).
    for (const QSize size : {QSize(3, 20000), QSize(20000, 2), QSize(1001, 1401)}) {
        QImage sliver(size, QImage::Format_RGB888);
        sliver.fill(QColor(200, 100, 50));
        const QImage shrunk = makePreview(sliver);
        EXPECT_LE(shrunk.width(), 1000);
        EXPECT_LE(shrunk.height(), 1400);
        EXPECT_EQ(shrunk.pixelColor(0, 0), QColor(200, 100, 50)) << size.width();
        EXPECT_EQ(shrunk.pixelColor(shrunk.width() - 1, shrunk.height() - 1), QColor(200, 100, 50));
    }
}

// Each way a page is stored, and the encoder's report on a page waiting for its file, ends
// in its own state, with the pixels in memory exactly while no page file holds them.
TEST(StoredPage, EveryWayOfStoringEndsInItsOwnState) {
    QTemporaryDir dir;
    const QImage image = patterned(QImage::Format_Grayscale8, 30, 20);
    const auto budget = std::make_shared<MemoryBudget>(1 << 20);
    const QString unwritable = dir.filePath(QStringLiteral("no/such/dir/p.raw"));
    const DeviceStatus refused{componentError::DiskFull, QStringLiteral("pieno")};
    struct Row {
        const char* name;
        StoredPage page;
        PageFileState state;
        int32_t failure;
    };
    const auto reported = [&](const DeviceStatus& written) {
        StoredPage page = storePage(image, dir.filePath(QStringLiteral("w.raw")), budget.get());
        if (written.ok()) {
            EXPECT_TRUE(rawImage::write(image, page.pendingPath));
        }
        page.pendingWritten(written);
        return page;
    };
    const QList<Row> rows = {
        {"no cache", storePage(image, QString()), PageFileState::InMemory, 0},
        {"waiting", storePage(image, dir.filePath("a.raw"), budget.get()), PageFileState::Writing,
         0},
        {"written", storePage(image, dir.filePath("b.raw")), PageFileState::OnDisk, 0},
        {"refused", storePage(image, unwritable), PageFileState::Failed,
         componentError::WriteFailed},
        {"reported written", reported({}), PageFileState::OnDisk, 0},
        {"reported refused", reported(refused), PageFileState::Failed, componentError::DiskFull},
        {"recovered", storedPageOnDisk(image, dir.filePath("b.raw")), PageFileState::OnDisk, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.page.fileState(), row.state);
        EXPECT_EQ(row.page.failure.code, row.failure);
        EXPECT_EQ(row.page.pixels.isNull(), row.state == PageFileState::OnDisk);
        const componentError::Result<QImage> back = row.page.image();
        ASSERT_TRUE(back) << back.status().text.toStdString();
        EXPECT_TRUE(samePixels(*back, image));
    }
}

TEST(SessionCacheFolder, IsPrivateHoldsThePagesAndIsRemovedAtTheEnd) {
    QTemporaryDir parent;
    QString path;
    {
        SessionCache cache(parent.path());
        ASSERT_TRUE(cache.isValid()) << cache.error().toStdString();
        path = cache.path();
        EXPECT_TRUE(
            QFileInfo(path).fileName().startsWith(QStringLiteral("cache-%1-").arg(::getpid())));
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_TRUE(rawImage::write(patterned(QImage::Format_Grayscale8, 4, 4),
                                    QDir(path).filePath(QStringLiteral("p.raw"))));
    }
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(SessionCacheFolder, MissingParentGivesAClearError) {
    QTemporaryDir parent;
    SessionCache cache(parent.filePath(QStringLiteral("absent")));
    EXPECT_FALSE(cache.isValid());
    EXPECT_TRUE(cache.error().contains(QLatin1String("absent")));
}

TEST(SessionCacheFolder, StaleCachesOfDeadRunsAreRemovedOthersLeftAlone) {
    QTemporaryDir parent;
    QDir dir(parent.path());
    // A pid that surely no longer runs: a child that has exited and been reaped.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);

    const QString dead = QStringLiteral("cache-%1-abcDEF").arg(child);
    const QString alive = QStringLiteral("cache-%1-abcDEF").arg(::getppid());
    const QString mine = QStringLiteral("cache-%1-xyz123").arg(::getpid());
    const QString unrelated = QStringLiteral("cache-notapid");
    for (const QString& name : {dead, alive, mine, unrelated}) {
        ASSERT_TRUE(dir.mkdir(name));
        QFile f(dir.filePath(name + QStringLiteral("/page.raw")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    // A link named like a dead run's cache, pointing at a folder that must survive.
    QTemporaryDir target;
    const QString link = QStringLiteral("cache-%1-link00").arg(child);
    ASSERT_TRUE(QFile::link(target.path(), dir.filePath(link)));

    {
        SessionCache cache(parent.path()); // a new start cleans up
        ASSERT_TRUE(cache.isValid());
        EXPECT_FALSE(dir.exists(dead));
        EXPECT_TRUE(dir.exists(alive));
        EXPECT_TRUE(dir.exists(mine));
        EXPECT_TRUE(dir.exists(unrelated));
        EXPECT_TRUE(QFileInfo(dir.filePath(link)).isSymLink());
        EXPECT_TRUE(QDir(target.path()).exists());
    }
}

class BufferOperations : public VirtualFixture {
protected:
    void SetUp() override {
        openScanner(R"("name":"Piano","pixelTypes":["BW","GRAY","RGB"],"resolutions":[50,100],
                       "pageSizes":["A5"],"feeder":{"present":true,"sheets":3})");
        m_scan->setImagePixelType(twain::RGB);
        m_scan->setResolution(50);
        m_scan->setFeederEnabled(1);
        ASSERT_EQ(runAcquisition().images, 3);
        ASSERT_TRUE(settle());
    }
    QString file(const char* name) { return m_dir.filePath(QString::fromLatin1(name)); }
};

TEST_F(BufferOperations, FullResolutionPixelsLiveInTheSessionCache) {
    const QDir cache(m_scan->cacheFolder());
    ASSERT_TRUE(cache.exists());
    EXPECT_EQ(cache.entryList(QDir::Files).size(), 3);
    // A5 at 50 dpi, colour, written raw: no encoder in between.
    for (const QFileInfo& f : cache.entryInfoList(QDir::Files))
        EXPECT_GT(f.size(), 291 * 413 * 3);
}

TEST_F(BufferOperations, RotateTurnsPreviewAndSavedImageAndRejectsOddAngles) {
    const QSize before = m_scan->ImagePicture(1).size();
    ASSERT_EQ(m_scan->RotateImage(1, 90), 1);
    EXPECT_EQ(m_scan->ImagePicture(1).size(), before.transposed());
    ASSERT_EQ(m_scan->SaveImage(1, file("r.bmp")), 1);
    EXPECT_EQ(QImage(file("r.bmp")).size(), QSize(413, 291));
    ASSERT_EQ(m_scan->RotateImage(1, -90), 1);
    EXPECT_EQ(m_scan->ImagePicture(1).size(), before);
    EXPECT_EQ(m_scan->RotateImage(1, 180), 1);
    EXPECT_EQ(m_scan->LastErrorCode(), 0);

    EXPECT_EQ(m_scan->RotateImage(1, 45), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::BadValue);
    EXPECT_EQ(m_scan->RotateImage(3, 90), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::BadIndex);
    EXPECT_EQ(m_scan->RotateImage(-1, 90), 0);
    // The other images are untouched, and the cache holds no orphan of the rotations.
    EXPECT_EQ(m_scan->ImagePicture(0).size(), before);
    ASSERT_TRUE(settle());
    EXPECT_EQ(QDir(m_scan->cacheFolder()).entryList(QDir::Files).size(), 3);
}

TEST_F(BufferOperations, TiffMultiPageAppendsButTheFirstWriteStartsAfresh) {
    const QString tif = file("scandoc.tif");
    ASSERT_EQ(m_scan->SaveImage(0, tif), 1);
    ASSERT_EQ(tiffPages(tif), 1);
    // Same component: with TiffMultiPage 1 each later save adds a page.
    m_scan->setTiffMultiPage(1);
    ASSERT_EQ(m_scan->SaveImage(1, tif), 1);
    ASSERT_EQ(m_scan->SaveImage(2, tif), 1);
    EXPECT_EQ(tiffPages(tif), 3);

    // Another path written for the first time in this component's life starts afresh even
    // though a file is there already.
    const QString other = file("other.tif");
    m_scan->setTiffMultiPage(0);
    ASSERT_EQ(m_scan->SaveImage(0, other), 1);
    ASSERT_EQ(m_scan->SaveImage(1, other), 1); // without multi-page: replaced
    EXPECT_EQ(tiffPages(other), 1);
}

TEST_F(BufferOperations, FirstMultiPageWriteOfAnOldFileReplacesIt) {
    const QString tif = file("old.tif");
    ASSERT_EQ(m_scan->SaveImage(0, tif), 1);
    ASSERT_EQ(tiffPages(tif), 1);
    // A second component (the next session) writes the same path: it starts the file anew.
    openScanner(R"("name":"Piano","resolutions":[50],"pageSizes":["A5"])");
    ASSERT_EQ(runAcquisition().images, 1);
    m_scan->setTiffMultiPage(1);
    ASSERT_EQ(m_scan->SaveImage(0, tif), 1);
    EXPECT_EQ(tiffPages(tif), 1);
    ASSERT_EQ(m_scan->SaveImage(0, tif), 1);
    EXPECT_EQ(tiffPages(tif), 2);
}

TEST_F(BufferOperations, SaveFailuresThrowAndSetTheError) {
    EXPECT_THROW(m_scan->SaveImage(0, file("no/such/folder/x.jpg")), ScanError);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::WriteFailed);
    EXPECT_THROW(m_scan->SaveImage(0, file("x.gif")), ScanError);
    EXPECT_THROW(m_scan->SaveImage(7, file("x.jpg")), ScanError);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::BadIndex);
    EXPECT_FALSE(QFileInfo::exists(file("x.jpg")));
    // A failed save does not count as the path's first write.
    ASSERT_EQ(m_scan->SaveImage(0, file("ok.jpg")), 1);
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(QImage(file("ok.jpg")).size(), QSize(291, 413));
}

TEST_F(BufferOperations, ALostCacheFileIsAReadErrorNotACrash) {
    for (const QFileInfo& f : QDir(m_scan->cacheFolder()).entryInfoList(QDir::Files))
        QFile::remove(f.filePath());
    EXPECT_THROW(m_scan->SaveImage(0, file("gone.bmp")), ScanError);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::ReadFailed);
    EXPECT_EQ(m_scan->RotateImage(0, 90), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::ReadFailed);
    // The preview is in memory and still there.
    EXPECT_FALSE(m_scan->ImagePicture(0).isNull());
}
