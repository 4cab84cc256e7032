// AppendLine and the working folder: the two helpers that put files on disk.
#include "common/AppendLine.h"
#include "common/WorkingFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// Each test gets its own TMPDIR, XDG_STATE_HOME and HOME, and leaves the previous values
// behind it as they were.
class WorkingFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        ASSERT_TRUE(m_home.isValid());
        for (const char* name : kVariables)
            m_saved.push_back(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name))
                                                              : std::nullopt);
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("state"))));
        qputenv("HOME", QFile::encodeName(m_home.path()));
        m_private = m_tmp.path() + QStringLiteral("/scansione-") + QString::number(::geteuid());
        m_state = m_home.filePath(QStringLiteral("state/scansione"));
    }
    void TearDown() override {
        for (size_t i = 0; i < std::size(kVariables); ++i) {
            if (m_saved[i])
                qputenv(kVariables[i], *m_saved[i]);
            else
                qunsetenv(kVariables[i]);
        }
    }

    static void expectPrivate(const QString& folder) {
        struct stat info {};
        ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &info), 0) << folder.toStdString();
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        EXPECT_EQ(info.st_uid, ::geteuid());
    }

    static constexpr const char* kVariables[] = {"TMPDIR", "XDG_STATE_HOME", "HOME"};
    QTemporaryDir m_tmp;
    QTemporaryDir m_home;
    QString m_private;
    QString m_state;
    std::vector<std::optional<QByteArray>> m_saved;
};

TEST_F(WorkingFolderTest, CreatesThePrivateFolderWithMode0700) {
    const mode_t previous = ::umask(0);
    const QString folder = workingFolder();
    ::umask(previous);
    EXPECT_EQ(folder, m_private + u'/');
    expectPrivate(m_private);
    // Used again: the existing folder passes the checks.
    EXPECT_EQ(privateTemporaryFolder(), m_private + u'/');
}

TEST_F(WorkingFolderTest, RestrictiveUmaskStillGivesAUsableFolder) {
    const mode_t previous = ::umask(0777);
    const QString folder = privateTemporaryFolder();
    const QString state = privateStateFolder();
    ::umask(previous);
    ASSERT_EQ(folder, m_private + u'/');
    ASSERT_EQ(state, m_state + u'/');
    EXPECT_EQ(AppendLine(QStringLiteral("x"), folder + QStringLiteral("Scanlog.log")), 0);
    EXPECT_EQ(AppendLine(QStringLiteral("x"), state + QStringLiteral("Scanlog.log")), 0);
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

namespace spoil {

// Ways to make a private folder at `path` unusable.
void link(const QString& path) {
    static QTemporaryDir target; // a folder that would pass every other check
    ASSERT_EQ(::chmod(QFile::encodeName(target.path()).constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(target.path(), path));
}
void mode(const QString& path, mode_t mode) {
    ASSERT_TRUE(QDir().mkpath(path));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
}
void groupWritable(const QString& path) {
    mode(path, 0770);
}
void otherReadable(const QString& path) {
    mode(path, 0705);
}
void otherOwner(const QString& path) {
    mode(path, 0700);
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 12345, 12345), 0);
}
void file(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

} // namespace spoil

// An unusable temporary folder falls back to the private state folder, and an unusable state
// folder too to none at all: never to the program's folder, which others may write.
TEST_F(WorkingFolderTest, UnsafeFoldersFallBackToTheStateFolderThenToNone) {
    struct Case {
        const char* what;
        void (*spoil)(const QString&);
    };
    const Case cases[] = {
        {"planted link", spoil::link},
        {"group-writable folder", spoil::groupWritable},
        {"other-readable folder", spoil::otherReadable},
        {"another user's folder", spoil::otherOwner},
        {"file in its place", spoil::file},
    };
    const QString programFolder = QCoreApplication::applicationDirPath() + u'/';
    for (const Case& c : cases) {
        if (c.spoil == spoil::otherOwner && ::geteuid() != 0)
            continue; // giving a folder to another user needs root
        SCOPED_TRACE(c.what);
        QDir(m_private).removeRecursively();
        QFile::remove(m_private);
        QDir(m_state).removeRecursively();
        QFile::remove(m_state);

        c.spoil(m_private);
        EXPECT_EQ(privateTemporaryFolder(), QString());
        EXPECT_EQ(workingFolder(), m_state + u'/');
        expectPrivate(m_state);

        QDir(m_state).removeRecursively();
        c.spoil(m_state);
        EXPECT_EQ(workingFolder(), QString());
        EXPECT_NE(workingFolder(), programFolder);
    }
}

TEST_F(WorkingFolderTest, StateFolderIsUnderHomeWithoutXdgStateHome) {
    const QString fromHome = m_home.filePath(QStringLiteral(".local/state/scansione"));
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()) + "/does/not/exist");
    for (const QByteArray& state : {QByteArray(), QByteArray("relative/state")}) {
        if (state.isEmpty())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", state);
        EXPECT_EQ(workingFolder(), fromHome + u'/') << state.constData();
        expectPrivate(fromHome);
    }
    // A missing home folder is not made: there is no folder then.
    qputenv("HOME", QFile::encodeName(m_home.filePath(QStringLiteral("nobody"))));
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(workingFolder(), QString());
    EXPECT_FALSE(QFileInfo::exists(m_home.filePath(QStringLiteral("nobody"))));
}

} // namespace
