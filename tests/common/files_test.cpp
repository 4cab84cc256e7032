// AppendLine and the working folder: the two helpers that put files on disk.
#include "common/AppendLine.h"
#include "common/WorkingFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

class AppendLineTest : public ::testing::Test {
protected:
    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
};

TEST_F(AppendLineTest, CreatesThenAppendsLinesEndedByCrLf) {
    const QString log = path("Scanlog.log");
    EXPECT_EQ(AppendLine(QStringLiteral("OPERAZIONE IMPOSTO LUMINOSITA 120"), log), 0);
    EXPECT_EQ(AppendLine(QStringLiteral("-1 - VALORE FUORI RANGE"), log), 0);
    EXPECT_EQ(AppendLine(QString(), log), 0);
    EXPECT_EQ(contents(log),
              QByteArray("OPERAZIONE IMPOSTO LUMINOSITA 120\r\n-1 - VALORE FUORI RANGE\r\n\r\n"));
}

TEST_F(AppendLineTest, KeepsWhatTheFileHeld) {
    const QString log = path("old.log");
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("earlier\r\n");
    file.close();
    EXPECT_EQ(AppendLine(QString::fromUtf8("qualit\u00e0"), log), 0);
    EXPECT_EQ(contents(log), QByteArray("earlier\r\nqualit\xc3\xa0\r\n"));
}

TEST_F(AppendLineTest, FailuresReturnTheErrorNumberAndWriteNothing) {
    const QString missing = path("no-such-folder/Scanlog.log");
    EXPECT_EQ(AppendLine(QStringLiteral("line"), missing), ENOENT);
    EXPECT_FALSE(QFileInfo::exists(path("no-such-folder")));

    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("adir")));
    EXPECT_EQ(AppendLine(QStringLiteral("line"), path("adir")), EISDIR);

    EXPECT_NE(AppendLine(QStringLiteral("line"), QString()), 0);
    EXPECT_NE(AppendLine(QStringLiteral("line"), path("bad") + QChar(0) + QStringLiteral("name")),
              0);
    EXPECT_FALSE(QFileInfo::exists(path("bad")));
}

// Each test gets its own TMPDIR and leaves the previous value behind it as it was.
class WorkingFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_saved = qgetenv("TMPDIR");
        m_hadTmpdir = qEnvironmentVariableIsSet("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        m_private = m_tmp.path() + QStringLiteral("/scansione-") + QString::number(::geteuid());
    }
    void TearDown() override {
        if (m_hadTmpdir)
            qputenv("TMPDIR", m_saved);
        else
            qunsetenv("TMPDIR");
    }
    static QString programFolder() { return QCoreApplication::applicationDirPath() + u'/'; }

    QTemporaryDir m_tmp;
    QString m_private;
    QByteArray m_saved;
    bool m_hadTmpdir = false;
};

TEST_F(WorkingFolderTest, CreatesThePrivateFolderWithMode0700) {
    const mode_t previous = ::umask(0);
    const QString folder = workingFolder();
    ::umask(previous);
    EXPECT_EQ(folder, m_private + u'/');
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(m_private).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    // Used again: the existing folder passes the checks.
    EXPECT_EQ(privateTemporaryFolder(), m_private + u'/');
}

TEST_F(WorkingFolderTest, RestrictiveUmaskStillGivesAUsableFolder) {
    const mode_t previous = ::umask(0777);
    const QString folder = privateTemporaryFolder();
    ::umask(previous);
    ASSERT_EQ(folder, m_private + u'/');
    EXPECT_EQ(AppendLine(QStringLiteral("x"), folder + QStringLiteral("Scanlog.log")), 0);
}

TEST_F(WorkingFolderTest, TrailingSlashesOfTmpdirAreDropped) {
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()) + "///");
    EXPECT_EQ(workingFolder(), m_private + u'/');
}

TEST_F(WorkingFolderTest, WithoutTmpdirUsesSlashTmp) {
    qunsetenv("TMPDIR");
    const QString folder = privateTemporaryFolder();
    // Another user may own /tmp/scansione-<uid> on a shared machine; then it is refused.
    if (!folder.isEmpty()) {
        EXPECT_EQ(folder, QStringLiteral("/tmp/scansione-") + QString::number(::geteuid()) + u'/');
    }
    qputenv("TMPDIR", "relative/path");
    EXPECT_EQ(privateTemporaryFolder(), folder);
}

// Every kind of unsafe folder makes the program fall back to its own folder.
TEST_F(WorkingFolderTest, RefusesAPlantedLink) {
    QTemporaryDir target;
    ASSERT_EQ(::chmod(QFile::encodeName(target.path()).constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(target.path(), m_private));
    EXPECT_EQ(privateTemporaryFolder(), QString());
    EXPECT_EQ(workingFolder(), programFolder());
}

TEST_F(WorkingFolderTest, RefusesAGroupWritableFolder) {
    ASSERT_TRUE(QDir().mkdir(m_private));
    ASSERT_EQ(::chmod(QFile::encodeName(m_private).constData(), 0770), 0);
    EXPECT_EQ(workingFolder(), programFolder());
    ASSERT_EQ(::chmod(QFile::encodeName(m_private).constData(), 0705), 0);
    EXPECT_EQ(workingFolder(), programFolder());
}

TEST_F(WorkingFolderTest, RefusesAFolderOwnedByAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    ASSERT_TRUE(QDir().mkdir(m_private));
    ASSERT_EQ(::chmod(QFile::encodeName(m_private).constData(), 0700), 0);
    ASSERT_EQ(::chown(QFile::encodeName(m_private).constData(), 12345, 12345), 0);
    EXPECT_EQ(workingFolder(), programFolder());
}

TEST_F(WorkingFolderTest, RefusesAFileInPlaceOfTheFolder) {
    QFile file(m_private);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(workingFolder(), programFolder());
}

TEST_F(WorkingFolderTest, MissingTmpdirFallsBack) {
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()) + "/does/not/exist");
    EXPECT_EQ(workingFolder(), programFolder());
    EXPECT_TRUE(workingFolder().endsWith(u'/'));
}

} // namespace
