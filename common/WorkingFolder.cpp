#include "common/WorkingFolder.h"
#include <atomic>

#include <QByteArray>
#include <QtGlobal>

#include <optional>

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// An absolute path from the environment without its trailing slashes ("" for "/"), or
// nothing: a relative one would make the folder depend on the current directory.
std::optional<QByteArray> absoluteFromEnvironment(const char* name) {
    QByteArray value = qgetenv(name);
    if (value.isEmpty() || !value.startsWith('/') || value.contains('\0'))
        return std::nullopt;
    while (value.endsWith('/'))
        value.chop(1);
    return value;
}

// Makes `folder` if it is missing, then accepts it only as a directory that is not a link,
// is owned by the user and has no group or other permissions.
bool usablePrivateFolder(const QByteArray& folder) {
    const uid_t uid = ::geteuid();
    if (::mkdir(folder.constData(), 0700) == 0) {
        // mkdir applies the umask; the folder must at least be usable by its owner. The
        // parent is sticky (or ours), so nobody else can swap the new folder before this.
        ::chmod(folder.constData(), 0700);
    } else if (errno != EEXIST) {
        return false;
    }
    // lstat, not stat: a link planted at the name is refused even if it points at a folder
    // that would pass every other check.
    struct stat info {};
    if (::lstat(folder.constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// The home folder without its trailing slashes, or nothing.
std::optional<QByteArray> homeFolder() {
    if (const auto home = absoluteFromEnvironment("HOME"))
        return home;
    // The account's own record when HOME is unset or unusable (a service started bare).
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    QByteArray buffer(size > 0 ? size : 16384, Qt::Uninitialized);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), size_t(buffer.size()), &found) != 0 ||
        !found || !found->pw_dir || found->pw_dir[0] != '/')
        return std::nullopt;
    QByteArray home(found->pw_dir);
    while (home.endsWith('/'))
        home.chop(1);
    return home;
}

} // namespace

QString privateTemporaryFolder() {
    const QByteArray base = absoluteFromEnvironment("TMPDIR").value_or("/tmp");
    const QByteArray folder = base + "/scansione-" + QByteArray::number(::geteuid());
    if (!usablePrivateFolder(folder))
        return QString();
    return QString::fromLocal8Bit(folder) + u'/';
}

QString privateStateFolder() {
    // A missing state folder is made with mode 0700, as the XDG base directory rules ask;
    // the home folder itself, or the parent of XDG_STATE_HOME, is never made here.
    QByteArray base;
    if (const auto state = absoluteFromEnvironment("XDG_STATE_HOME")) {
        base = *state;
        ::mkdir(base.constData(), 0700);
    } else {
        const auto home = homeFolder();
        if (!home)
            return QString();
        base = *home + "/.local/state";
        ::mkdir((*home + "/.local").constData(), 0700);
        ::mkdir(base.constData(), 0700);
    }
    const QByteArray folder = base + "/scansione";
    if (!usablePrivateFolder(folder))
        return QString();
    return QString::fromLocal8Bit(folder) + u'/';
}

QString workingFolder() {
    QString folder = privateTemporaryFolder();
    if (folder.isEmpty())
        folder = privateStateFolder();
    // Asked for at every log line and document: said once, not at each.
    static std::atomic_flag warned = ATOMIC_FLAG_INIT;
    if (folder.isEmpty() && !warned.test_and_set())
        qWarning("Scansione: nessuna cartella di lavoro privata (né in TMPDIR né in "
                 "XDG_STATE_HOME o ~/.local/state): il registro della scansione e i documenti "
                 "non vengono scritti");
    return folder;
}
