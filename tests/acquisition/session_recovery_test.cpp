// Caches left by sessions that did not end: which are stale, what a new session gets back
// from them, and the sweep of interrupted document writes from the working folder.
#include "VirtualFixture.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionCache.h"
#include "acquisition/SessionManifest.h"
#include <QDir>
#include <QFileInfo>
#include <optional>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void touch(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

TEST(StaleCaches, AreToldFromLiveOnesByTheirLockNotTheirPid) {
    QTemporaryDir parent;
    QDir dir(parent.path());
    QImage page(8, 8, QImage::Format_Grayscale8);
    page.fill(128);
    ASSERT_TRUE(rawImage::write(page, dir.filePath("outside.raw")));
    // A pid that surely no longer runs: a child that has exited and been reaped; and one that
    // runs, as a reused pid would.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const pid_t running = ::getppid();
    struct Row {
        const char* name;
        pid_t pid;
        bool held; // its session holds the lock
        std::optional<QStringList> manifest;
        QStringList files;
        int offered; // pages offered; -1 not offered and left, -2 removed
    };
    const QList<Row> rows = {
        {"dead00", child, false, QStringList{"p2.raw", "p1.raw"}, {"p1.raw", "p2.raw"}, 2},
        {"reused", running, false, QStringList{"p1.raw"}, {"p1.raw"}, 1},
        {"live00", running, true, QStringList{"p1.raw"}, {"p1.raw"}, -1},
        {"nolist", child, false, std::nullopt, {"p1.raw"}, -2},
        {"nopage", running, false, QStringList{"gone.raw"}, {}, -2},
        {"cutcut", running, false, QStringList{"cut.raw"}, {"cut.raw"}, -2},
        {"escape", running, false, QStringList{"../outside.raw", ".pagine.manifest"}, {}, -2},
        // No manifest and a running pid: a session just begun, or an older version's.
        {"young0", running, false, std::nullopt, {"p1.raw"}, -1},
    };
    std::vector<std::unique_ptr<HeldLock>> liveLocks;
    QHash<QString, const Row*> byPath;
    for (const Row& row : rows) {
        const QString path =
            dir.absoluteFilePath(QStringLiteral("cache-%1-%2").arg(row.pid).arg(row.name));
        ASSERT_TRUE(dir.mkdir(path));
        byPath.insert(path, &row);
        for (const QString& file : row.files) {
            if (file == "cut.raw")
                touch(QDir(path).filePath(file), "SCNPAGE1 and nothing more");
            else
                ASSERT_TRUE(rawImage::write(page, QDir(path).filePath(file)));
        }
        if (row.manifest) {
            ASSERT_TRUE(sessionManifest::write(path, *row.manifest));
        }
        if (row.held) {
            liveLocks.push_back(std::make_unique<HeldLock>(path));
            ASSERT_TRUE(liveLocks.back()->isHeld());
        }
    }

    const QList<SessionCache::Interrupted> found = SessionCache::claimInterrupted(parent.path());
    QHash<QString, int> offered;
    for (const SessionCache::Interrupted& cache : found)
        offered.insert(cache.path, int(cache.pageFiles.size()));
    for (auto it = byPath.cbegin(); it != byPath.cend(); ++it) {
        const Row& row = **it;
        SCOPED_TRACE(row.name);
        if (row.offered >= 0) {
            EXPECT_EQ(offered.value(it.key(), -1), row.offered);
        } else {
            EXPECT_FALSE(offered.contains(it.key()));
            EXPECT_EQ(QFileInfo::exists(it.key()), row.offered == -1);
        }
    }
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("outside.raw")));
    // Claimed caches stay locked for the claimer: a second start sees them as live.
    EXPECT_TRUE(SessionCache::claimInterrupted(parent.path()).isEmpty());
}

/// A session on the virtual feeder whose cache is left behind as a kill leaves it.
class InterruptedSessionTest : public VirtualFixture {
protected:
    QStringList expected; ///< the pages' full images, saved as BMP, page 1 first

    void SetUp() override {
        openScanner(R"("name":"Piano","pixelTypes":["RGB"],"resolutions":[50],
                       "pageSizes":["A5"],"feeder":{"present":true,"sheets":3})");
        m_scan->setImagePixelType(twain::RGB);
        m_scan->setResolution(50);
        m_scan->setFeederEnabled(1);
        ASSERT_EQ(runAcquisition().images, 3);
        // Pages in another order than the images, one of them turned.
        ASSERT_EQ(m_scan->RotateImage(1, 90), 1);
        m_scan->setDocumentPages({2, 1, 0});
        ASSERT_TRUE(settle());
        for (int n = 0; n < 3; ++n) {
            expected << m_dir.filePath(QStringLiteral("expected-%1.bmp").arg(n));
            ASSERT_EQ(m_scan->SaveImage(QVector<int>{2, 1, 0}[n], expected.last()), 1);
        }
        // What a kill leaves: the folder with nobody holding its lock.
        left = m_dir.filePath(QStringLiteral("cache-%1-killed").arg(::getppid()));
        ASSERT_TRUE(QDir().mkdir(left));
        const QDir cache(m_scan->cacheFolder());
        for (const QString& name : cache.entryList(QDir::Files | QDir::Hidden))
            ASSERT_TRUE(QFile::copy(cache.filePath(name), QDir(left).filePath(name)));
        m_scan.reset();
        makeComponent(oneScanner(R"("name":"Piano","resolutions":[50],"pageSizes":["A5"])"));
    }

    QString left;
};

TEST_F(InterruptedSessionTest, RecoveredPagesComeBackInOrderAndTurned) {
    const QList<InterruptedSession> sessions = m_scan->interruptedSessions();
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_EQ(sessions[0].pages, 3);
    EXPECT_LE(sessions[0].saved.secsTo(QDateTime::currentDateTimeUtc()), 60);
    ASSERT_EQ(m_scan->recoverSession(sessions[0].id), 3);
    ASSERT_EQ(m_scan->ImageCount(), 3);
    for (int n = 0; n < 3; ++n) {
        const QString got = m_dir.filePath(QStringLiteral("got-%1.bmp").arg(n));
        ASSERT_EQ(m_scan->SaveImage(n, got), 1);
        EXPECT_EQ(QImage(got), QImage(expected[n])) << "page " << n + 1;
    }
    EXPECT_FALSE(QFileInfo::exists(left));
}

TEST_F(InterruptedSessionTest, DiscardedPagesGoAndAreNotOfferedAgain) {
    const QList<InterruptedSession> sessions = m_scan->interruptedSessions();
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_TRUE(m_scan->discardSession(sessions[0].id));
    EXPECT_FALSE(QFileInfo::exists(left));
    EXPECT_EQ(m_scan->ImageCount(), 0);
    m_scan.reset();
    makeComponent(oneScanner(R"("name":"Piano","resolutions":[50],"pageSizes":["A5"])"));
    EXPECT_TRUE(m_scan->interruptedSessions().isEmpty());
}

TEST_F(InterruptedSessionTest, UnreadablePageIsLeftOutAndTheOthersKeepTheirOrder) {
    const auto manifest = sessionManifest::read(left);
    ASSERT_TRUE(manifest);
    QFile cut(QDir(left).filePath(manifest->pageFiles[1])); // page 2 cut short
    ASSERT_TRUE(cut.resize(cut.size() / 2));
    const QList<InterruptedSession> sessions = m_scan->interruptedSessions();
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_EQ(sessions[0].pages, 2);
    ASSERT_EQ(m_scan->recoverSession(sessions[0].id), 2);
    for (int n : {0, 1}) {
        const QString got = m_dir.filePath(QStringLiteral("got-%1.bmp").arg(n));
        ASSERT_EQ(m_scan->SaveImage(n, got), 1);
        EXPECT_EQ(QImage(got), QImage(expected[n == 0 ? 0 : 2]));
    }
}

/// A cache a killed session left under `parent`: its manifest names the first `listed` of
/// `whole` acquired page files, and one more page file was cut short by the kill.
QString killedCache(const QString& parent, int listed, int whole) {
    const QString path = QDir(parent).filePath(QStringLiteral("cache-%1-killed").arg(::getppid()));
    QDir().mkdir(path);
    QImage image(6, 4, QImage::Format_Grayscale8);
    QStringList names;
    for (int sheet = 0; sheet < whole; ++sheet) {
        image.fill(sheet);
        names << QStringLiteral("page-7-%1.raw").arg(sheet);
        EXPECT_TRUE(rawImage::write(image, QDir(path).filePath(names.last())));
    }
    touch(QDir(path).filePath(QStringLiteral("page-7-%1.raw").arg(whole)), "SCNPAGE1 cut");
    EXPECT_TRUE(sessionManifest::write(path, names.mid(0, listed)));
    return path;
}

TEST(InterruptedCache, PagesWholeBeyondTheManifestComeBackInTheirAcquisitionOrder) {
    QTemporaryDir parent;
    const QString path = killedCache(parent.path(), 2, 12);
    const QList<SessionCache::Interrupted> found = SessionCache::claimInterrupted(parent.path());
    ASSERT_EQ(found.size(), 1);
    QStringList sheets;
    for (const QString& file : found[0].pageFiles)
        sheets << QString::number(rawImage::read(file).constScanLine(0)[0]);
    EXPECT_EQ(sheets.join(' ').toStdString(), "0 1 2 3 4 5 6 7 8 9 10 11");
}

TEST(InterruptedCache, TemporariesOfUnfinishedWritesGoWhenItIsClaimed) {
    QTemporaryDir parent;
    const QString path = killedCache(parent.path(), 2, 2);
    const QStringList temporaries = {".page-7-2.raw.1a2b3c.part", ".pagine.manifest.tmp"};
    for (const QString& name : temporaries)
        touch(QDir(path).filePath(name), "x");
    ASSERT_EQ(SessionCache::claimInterrupted(parent.path()).size(), 1);
    for (const QString& name : temporaries)
        EXPECT_FALSE(QFileInfo::exists(QDir(path).filePath(name))) << name.toStdString();
    EXPECT_TRUE(sessionManifest::read(path));
}

TEST(SessionCacheRemoval, TheManifestGoesBeforeAnyPageItNames) {
    QTemporaryDir parent;
    auto cache = std::make_unique<SessionCache>(parent.path());
    ASSERT_TRUE(cache->isValid());
    // The manifest written before its pages: the order a listing of the folder gives varies
    // with the file system, the removal's must not depend on it.
    QStringList names;
    for (int sheet = 0; sheet < 10; ++sheet)
        names << QStringLiteral("page-1-%1.raw").arg(sheet);
    ASSERT_TRUE(sessionManifest::write(cache->path(), names));
    for (const QString& name : names)
        ASSERT_TRUE(
            rawImage::write(QImage(4, 4, QImage::Format_Mono), QDir(cache->path()).filePath(name)));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(cache->path()).constData(), IN_DELETE),
              0);
    cache.reset();
    QStringList removed;
    alignas(inotify_event) char events[16384];
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0)
            removed << QString::fromLocal8Bit(event->name);
        at += ssize_t(sizeof(inotify_event) + event->len);
    }
    ::close(watch);
    ASSERT_EQ(removed.size(), 11);
    EXPECT_EQ(removed.first().toStdString(), sessionManifest::kFileName);
}

struct Leftover {
    const char* name;
    bool ours;
};

class PartialWriteSweep : public ::testing::Test {
protected:
    QTemporaryDir folder;
    const QList<Leftover> files = {
        {".scandoc.pdf.1a2b3c4d.part", true},        // the component's temporary
        {".scandoc.0123abcd.part.tif", true},        // the window's staged file
        {"..pag_1.0123abcd.part.jpg.9f.part", true}, // the component writing a staged file
        {"pag_12.pdfimg", true},
        {"scandoc.pdf", false},
        {".scandoc.pdf.part", false},
        {"notes.part", false},
        {"pag_x.pdfimg", false},
    };

    void SetUp() override {
        for (const Leftover& f : files)
            touch(folder.filePath(f.name), "x");
        // Named like ours, but a link and a folder: neither is a file we wrote.
        ASSERT_TRUE(
            QFile::link(folder.filePath("scandoc.pdf"), folder.filePath(".link.1a2b3c4d.part")));
        ASSERT_TRUE(QDir(folder.path()).mkdir("pag_2.pdfimg"));
    }
    void expectLeftovers(bool swept) {
        for (const Leftover& f : files)
            EXPECT_EQ(QFileInfo::exists(folder.filePath(f.name)), !(f.ours && swept)) << f.name;
        EXPECT_TRUE(QFileInfo(folder.filePath(".link.1a2b3c4d.part")).isSymLink());
        EXPECT_TRUE(QFileInfo(folder.filePath("pag_2.pdfimg")).isDir());
    }
};

TEST_F(PartialWriteSweep, OnlyOurLeftoversGoAtStart) {
    SessionCache cache(folder.path());
    ASSERT_TRUE(cache.isValid());
    expectLeftovers(true);
}

TEST_F(PartialWriteSweep, NothingGoesWhileAnotherSessionLives) {
    auto live = std::make_unique<SessionCache>(folder.path());
    for (const Leftover& f : files) // written by the live session after its start
        touch(folder.filePath(f.name), "x");
    {
        SessionCache second(folder.path());
        ASSERT_TRUE(second.isValid());
        expectLeftovers(false);
    }
    live.reset();
    SessionCache later(folder.path());
    expectLeftovers(true);
}

} // namespace
