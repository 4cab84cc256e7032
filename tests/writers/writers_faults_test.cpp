// Every way writing an image file can fail: a full disk (a file size limit stands in for it,
// as CI runs as root), a planted link, a directory or a missing folder at the target, bad
// arguments and unreadable files. Nothing may be left that looks like a finished file.
#include "component_base/ComponentErrors.h"
#include "writers/ImageWriters.h"
#include "component_base/ScanError.h"
#include "writers/TiffPages.h"
#include "support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace {

QImage page(QImage::Format f, int w = 640, int h = 480, int seed = 1) {
    QImage rgb(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar* line = rgb.scanLine(y);
        for (int x = 0; x < w; ++x) {
            const uint v = uint(x * 7 + y * 13 + seed * 31) * 2654435761u;
            const bool ink = ((x / 3 + y / 5 + seed) % 4) == 0;
            line[3 * x] = ink ? 10 : uchar(v >> 24);
            line[3 * x + 1] = ink ? 10 : uchar(v >> 16);
            line[3 * x + 2] = ink ? 10 : uchar(v >> 8);
        }
    }
    return f == QImage::Format_Mono ? rgb.convertToFormat(f, Qt::ThresholdDither)
                                    : rgb.convertToFormat(f);
}

/// The code of the ScanError `write` throws under a file size limit of `limit` bytes; 0
/// when it does not throw.
int32_t codeUnderLimit(rlim_t limit, const std::function<void()>& write) {
    try {
        withFileSizeLimit(limit, write);
    } catch (const ScanError& e) {
        return e.code();
    }
    return 0;
}

class WriterFaults : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QStringList entries() const {
        QStringList list =
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        list.sort();
        return list;
    }
};

const char* const extensions[] = {"jpg", "tif", "bmp"};

TEST_F(WriterFaults, DiskFullRemovesTheFileAndLeavesNoTemporary) {
    const QImage colour = page(QImage::Format_RGB888);
    for (const char* ext : extensions) {
        SCOPED_TRACE(ext);
        const QString file = path(QStringLiteral("full.") + ext);
        // The code says why, so that the user can be told (libtiff's own writes included).
        EXPECT_EQ(codeUnderLimit(4096,
                                 [&] {
                                     writeImageFile(colour, file, {0, 1, false});
                                 }),
                  componentError::FileTooLarge);
        EXPECT_FALSE(QFileInfo::exists(file));
        EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
    }
}

TEST_F(WriterFaults, DiskFullKeepsTheEarlierFileUnderThatName) {
    for (const char* ext : extensions) {
        SCOPED_TRACE(ext);
        const QString file = path(QStringLiteral("kept.") + ext);
        writeImageFile(page(QImage::Format_Grayscale8, 20, 20), file, {});
        const QByteArray before = contents(file);
        ASSERT_FALSE(before.isEmpty());
        EXPECT_THROW(
            withFileSizeLimit(4096,
                              [&] {
                                  writeImageFile(page(QImage::Format_RGB888), file, {0, 1, false});
                              }),
            ScanError);
        EXPECT_EQ(contents(file), before);
        EXPECT_EQ(entries(), QStringList{QStringLiteral("kept.") + ext});
        QFile::remove(file);
    }
}

TEST_F(WriterFaults, AppendedTiffWhoseThirdPageFailsKeepsTwoGoodPages) {
    const QString file = path(QStringLiteral("scandoc.tif"));
    const QImage first = page(QImage::Format_Mono, 640, 480, 1);
    const QImage second = page(QImage::Format_Grayscale8, 640, 480, 2);
    for (int compression : {0, 1, 5, 7, 8}) {
        SCOPED_TRACE(compression);
        writeImageFile(first, file, {0, compression, false});
        writeImageFile(second, file, {0, compression, true});
        const QByteArray twoPages = contents(file);
        // Room for a few kilobytes more: the third page starts and runs out of space.
        EXPECT_EQ(codeUnderLimit(
                      rlim_t(twoPages.size()) + 3000,
                      [&] {
                          writeImageFile(page(QImage::Format_RGB888), file, {0, compression, true});
                      }),
                  componentError::FileTooLarge);
        EXPECT_EQ(contents(file), twoPages);
        EXPECT_EQ(tiffpages::pageCount(file), 2);
        EXPECT_EQ(tiffpages::readPage(file, 0).convertToFormat(QImage::Format_Grayscale8),
                  first.convertToFormat(QImage::Format_Grayscale8));
        if (compression != 7) {
            EXPECT_EQ(tiffpages::readPage(file, 1), second);
        }
        QProcess info;
        info.start(QStringLiteral("tiffinfo"), {file});
        ASSERT_TRUE(info.waitForFinished());
        EXPECT_EQ(info.exitCode(), 0);
        EXPECT_EQ(QString::fromLocal8Bit(info.readAllStandardOutput())
                      .count(QStringLiteral("TIFF Directory at offset")),
                  2);
        EXPECT_TRUE(info.readAllStandardError().isEmpty());
        // And the file still takes a page once there is room again.
        writeImageFile(page(QImage::Format_RGB888, 64, 64), file, {0, compression, true});
        EXPECT_EQ(tiffpages::pageCount(file), 3);
    }
}

TEST_F(WriterFaults, CopyingAnEncodedPageThatFailsLeavesTheFileAsItWas) {
    const QString file = path(QStringLiteral("scandoc.tif"));
    const QString encoded = path(QStringLiteral("encoded.tif"));
    const QString twoPages = path(QStringLiteral("two.tif"));
    writeImageFile(page(QImage::Format_Grayscale8, 320, 240, 1), file, {0, 5, false});
    writeImageFile(page(QImage::Format_RGB888, 640, 480, 2), encoded, {0, 5, false});
    writeImageFile(page(QImage::Format_Mono), twoPages, {});
    writeImageFile(page(QImage::Format_Mono), twoPages, {0, 0, true});
    const QByteArray before = contents(file);
    const struct {
        const char* what;
        QString source;
        rlim_t room; // bytes the file may grow by; 0 = no limit
    } cases[] = {{"no room for the page", encoded, 3000},
                 {"no room for the directory", encoded, rlim_t(contents(encoded).size()) - 100},
                 {"a source of two pages", twoPages, 0},
                 {"a source that is no TIFF", path(QStringLiteral("none.tif")), 0}};
    QFile none(path(QStringLiteral("none.tif")));
    ASSERT_TRUE(none.open(QIODevice::WriteOnly));
    none.write("II*\0 but nothing a TIFF reader takes");
    none.close();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto copy = [&] { tiffpages::appendEncodedPage(c.source, file); };
        if (c.room > 0)
            EXPECT_THROW(withFileSizeLimit(rlim_t(before.size()) + c.room, copy), ScanError);
        else
            EXPECT_THROW(copy(), ScanError);
        EXPECT_EQ(contents(file), before);
    }
    tiffpages::appendEncodedPage(encoded, file); // and with room it goes in
    EXPECT_EQ(tiffpages::pageCount(file), 2);
}

TEST_F(WriterFaults, FailureWhileLinkingTheNewPageIsUndone) {
    // A limit just past the new page's data lets the strips through and fails the directory
    // write, after libtiff may already have pointed the old last page at the new one.
    const QString file = path(QStringLiteral("link.tif"));
    const QString probe = path(QStringLiteral("probe.tif"));
    const QImage small = page(QImage::Format_Grayscale8, 300, 200, 4);
    writeImageFile(small, file, {0, 1, false});
    writeImageFile(small, probe, {0, 1, false});
    writeImageFile(small, probe, {0, 1, true});
    const QByteArray before = contents(file);
    const qint64 grown = contents(probe).size();
    int failures = 0;
    for (qint64 limit = grown - 60; limit < grown; limit += 6) {
        bool threw = false;
        try {
            withFileSizeLimit(rlim_t(limit), [&] { writeImageFile(small, file, {0, 1, true}); });
        } catch (const ScanError&) {
            threw = true;
        }
        if (threw) {
            ++failures;
            EXPECT_EQ(contents(file), before) << "limit " << limit;
        } else {
            EXPECT_EQ(tiffpages::pageCount(file), 2);
            QFile::remove(file);
            writeImageFile(small, file, {0, 1, false});
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(tiffpages::pageCount(file), 1);
}

TEST_F(WriterFaults, PlantedLinkIsReplacedNeverFollowed) {
    const QString victim = path(QStringLiteral("victim.txt"));
    {
        QFile f(victim);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    for (const char* ext : extensions) {
        SCOPED_TRACE(ext);
        const QString target = path(QStringLiteral("scan.") + ext);
        ASSERT_TRUE(QFile::link(victim, target));
        writeImageFile(page(QImage::Format_Grayscale8, 30, 30), target, {});
        EXPECT_EQ(contents(victim), QByteArray("precious"));
        const QFileInfo info(target);
        EXPECT_FALSE(info.isSymLink());
        EXPECT_TRUE(info.isFile());
        EXPECT_EQ(readImageFile(target).size(), QSize(30, 30));
    }
}

TEST_F(WriterFaults, AppendRefusesAPlantedLink) {
    // Appending means changing the file in place; through a link that would change the file
    // the link names, so the writer refuses.
    const QString real = path(QStringLiteral("other.tif"));
    writeImageFile(page(QImage::Format_Mono, 50, 50), real, {});
    const QByteArray before = contents(real);
    const QString target = path(QStringLiteral("scandoc.tif"));
    ASSERT_TRUE(QFile::link(real, target));
    EXPECT_THROW(writeImageFile(page(QImage::Format_Mono, 50, 50), target, {0, 0, true}),
                 ScanError);
    EXPECT_EQ(contents(real), before);
    EXPECT_TRUE(QFileInfo(target).isSymLink());
}

TEST_F(WriterFaults, DirectoryOrMissingFolderAtTheTargetThrows) {
    for (const char* ext : extensions) {
        for (bool append : {false, true}) {
            SCOPED_TRACE(std::string(ext) + (append ? " append" : ""));
            const QString target = path(QStringLiteral("folder.") + ext);
            ASSERT_TRUE(QDir().mkpath(target));
            EXPECT_THROW(
                writeImageFile(page(QImage::Format_RGB888, 40, 40), target, {0, 0, append}),
                ScanError);
            EXPECT_TRUE(QFileInfo(target).isDir());
            EXPECT_EQ(entries(), QStringList{QStringLiteral("folder.") + ext});
            QDir(target).removeRecursively();

            const QString missing = path(QStringLiteral("no/such/folder/page.") + ext);
            EXPECT_THROW(
                writeImageFile(page(QImage::Format_RGB888, 40, 40), missing, {0, 0, append}),
                ScanError);
            EXPECT_TRUE(entries().isEmpty());
        }
    }
}

TEST_F(WriterFaults, BadArgumentsThrowBeforeAnythingIsWritten) {
    const QImage img = page(QImage::Format_RGB888, 16, 16);
    for (const char* name :
         {"page.png", "page.jpeg", "page.tiff", "page", "page.pdf", "page.jpg.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(writeImageFile(img, path(QString::fromLatin1(name)), {}), ScanError);
    }
    for (int compression : {2, 3, 6, 32773, -1}) {
        SCOPED_TRACE(compression);
        EXPECT_THROW(writeImageFile(img, path(QStringLiteral("c.tif")), {0, compression, false}),
                     ScanError);
    }
    EXPECT_THROW(writeImageFile(QImage(), path(QStringLiteral("null.bmp")), {}), ScanError);
    EXPECT_THROW(writeImageFile(img, QString(), {}), ScanError);
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
    // Upper-case extensions are the same formats.
    writeImageFile(img, path(QStringLiteral("UPPER.JPG")), {});
    writeImageFile(img, path(QStringLiteral("UPPER.TIF")), {});
    EXPECT_EQ(entries().size(), 2);
}

TEST_F(WriterFaults, AppendToAFileThatIsNotATiffLeavesItAlone) {
    const QString file = path(QStringLiteral("scandoc.tif"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("this is not a TIFF file at all");
    }
    const QByteArray before = contents(file);
    EXPECT_THROW(writeImageFile(page(QImage::Format_Mono, 20, 20), file, {0, 0, true}), ScanError);
    EXPECT_EQ(contents(file), before);
}

TEST_F(WriterFaults, UnreadableFilesThrowWhenRead) {
    EXPECT_THROW(readImageFile(path(QStringLiteral("missing.bmp"))), ScanError);
    EXPECT_THROW(readImageFile(dir.path()), ScanError);

    const QString bmp = path(QStringLiteral("cut.bmp"));
    writeImageFile(page(QImage::Format_RGB888, 100, 100), bmp, {});
    QByteArray whole = contents(bmp);
    const struct {
        const char* name;
        QByteArray bytes;
    } broken[] = {{"cut.bmp", whole.left(whole.size() / 2)},
                  {"head.bmp", whole.left(20)},
                  {"cut.tif", QByteArray("II*\0\x08\0\0\0\x05\0", 10)},
                  {"noise.jpg", QByteArray(500, '\x5a')},
                  {"empty.jpg", QByteArray()}};
    for (const auto& b : broken) {
        SCOPED_TRACE(b.name);
        const QString file = path(QString::fromLatin1(b.name));
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(b.bytes);
        f.close();
        EXPECT_THROW(readImageFile(file), ScanError);
    }
    const QString tif = path(QStringLiteral("one.tif"));
    writeImageFile(page(QImage::Format_Mono, 10, 10), tif, {});
    EXPECT_THROW(tiffpages::readPage(tif, 1), ScanError);
    EXPECT_THROW(tiffpages::readPage(tif, -1), ScanError);
}

} // namespace
