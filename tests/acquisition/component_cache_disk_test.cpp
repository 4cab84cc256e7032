// The session cache on a disk of the test's own that fills up (see PrivateDisk.h): pages the
// cache could not take are kept, no acquisition starts while they cannot be written, and
// they go to the cache as soon as there is room.
#include "VirtualFixture.h"
#include "support/PrivateDisk.h"
#include <QDir>
#include <QScopeGuard>

using namespace twain;

namespace {

class CacheDiskFixture : public VirtualFixture {
protected:
    void SetUp() override {
        m_disk = privateDisk();
        if (m_disk.isEmpty())
            GTEST_SKIP() << "runs on a private disk, through PrivateDisk.CacheFillsUp";
        // Ten grey 100 dpi A4 pages of about 1 MB: all of them fit in the memory the encoder
        // may lag behind by, so the device is done before the encoder finds the disk full.
        makeComponent(oneScanner(R"("name":"ADF","pixelTypes":["GRAY"],"resolutions":[100],
            "pageSizes":["A4"],"feeder":{"present":true,"paperDetectable":true,"sheets":10})"),
                      {}, m_disk);
        ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    }

    AcquireRun feederBatch() {
        EXPECT_EQ(m_scan->OpenDataSource(), 1);
        m_scan->setFeederEnabled(1);
        return runAcquisition();
    }

    /// Writes every image off the private disk; true when each one could be.
    bool everyImageReadable() {
        for (int k = 0; k < m_scan->ImageCount(); ++k) {
            const QString bmp = m_dir.filePath(QStringLiteral("image-%1.bmp").arg(k));
            if (m_scan->SaveImage(k, bmp) != 1 || QImage(bmp).isNull())
                return false;
        }
        return true;
    }

    QString m_disk;
};

TEST_F(CacheDiskFixture, PagesTheCacheCouldNotTakeStayUntilItCan) {
    const QString filler = m_disk + QStringLiteral("/filler");
    const auto removeFiller = qScopeGuard([&] { QFile::remove(filler); });
    // Room to start (two pages and 4 MB), not for the batch.
    ASSERT_TRUE(fillDisk(m_disk, filler, qint64(7) << 20));
    const AcquireRun failed = feederBatch();
    ASSERT_TRUE(failed.ended);
    EXPECT_EQ(failed.codeAtEnd, componentError::DiskFull) << failed.textAtEnd.toStdString();
    EXPECT_TRUE(failed.textAtEnd.startsWith(QStringLiteral("Spazio su disco esaurito")));
    ASSERT_GT(failed.images, 0);
    EXPECT_EQ(m_scan->ImageCount(), failed.images);
    ASSERT_TRUE(settle());
    const qint64 kept = m_scan->bytesInMemory();
    EXPECT_GT(kept, 0);

    // Still full: nothing starts, and the pages in memory stay there whole.
    const AcquireRun refused = feederBatch();
    EXPECT_EQ(refused.images, 0);
    EXPECT_EQ(refused.codeAtEnd, componentError::DiskFull);
    EXPECT_EQ(m_scan->bytesInMemory(), kept);
    EXPECT_TRUE(everyImageReadable());

    // Room again: the kept pages go to the cache before the next batch scans.
    QFile::remove(filler);
    const AcquireRun next = feederBatch();
    EXPECT_EQ(next.codeAtEnd, 0) << next.textAtEnd.toStdString();
    EXPECT_GT(next.images, 0);
    ASSERT_TRUE(settle());
    EXPECT_EQ(m_scan->bytesInMemory(), 0);
    EXPECT_TRUE(everyImageReadable());
}

TEST(PrivateDisk, CacheFillsUp) {
    expectAllPassOnPrivateDisk(QStringLiteral("CacheDiskFixture.*"), 24 * 1024, 1);
}

} // namespace
