#pragma once
// Real network scanners for the tests, on loopback: SANE's own saned exporting the test
// backend (reached through the net backend), and our eSCL emulator (reached through
// sane-airscan). Each server runs in a process group of its own that dies with the test.
#include <QImage>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <optional>

/// A server program in a process group of its own. The group is killed when this object goes
/// and, should the test process die first, the kernel kills the program (PR_SET_PDEATHSIG).
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    /// Starts `program`; false with error() when it does not start.
    bool start(const QString& program, const QStringList& args,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    /// Sends `sig` to the whole group (saned forks a child per connection).
    void signal(int sig);
    /// SIGKILL to the group, and waits for the program.
    void kill();
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    /// One line of standard output, waiting at most `ms`.
    QByteArray readLine(int ms);
    QString error() const { return m_error; }

private:
    QProcess m_process;
    qint64 m_group = 0;
    QString m_error;
};

/// saned on a free 127.x.y.z address (the net backend always uses port 6566), exporting
/// SANE's test backend configured as tests/sane configures it.
class SanedServer {
public:
    SanedServer();
    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString address() const { return m_address; }
    /// The client's SANE_CONFIG_DIR (clientConfigDir()), now holding only the net backend,
    /// pointing at this server.
    QString clientConfigDir() const;
    /// The SANE name of the exported test device n.
    QString device(int n = 0) const {
        return QStringLiteral("net:%1:test:%2").arg(m_address).arg(n);
    }
    /// SIGKILL: the daemon and its connections are gone at once, as when it is stopped.
    void kill() { m_process.kill(); }
    /// SIGSTOP / SIGCONT: connections stay open and nothing answers, as when the network goes.
    void pause();
    void resume();

private:
    QTemporaryDir m_dir;
    ServerProcess m_process;
    QString m_address;
    bool m_ok = false;
    QString m_error;
};

/// The eSCL emulator (tests/acquisition_sane/netscan/escl_emulator.cpp) on 127.0.0.1.
class EsclServer {
public:
    /// The model sane-airscan lists it under.
    static constexpr const char* kName = "Scansione eSCL";
    /// `options` are the emulator's command-line options (--sheets, --jam-after, ...).
    explicit EsclServer(const QStringList& options = {});
    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    /// The client's SANE_CONFIG_DIR (clientConfigDir()), now holding only sane-airscan with
    /// discovery off and this device.
    QString clientConfigDir() const;
    QString url() const { return m_url; }
    void kill() { m_process.kill(); }

private:
    ServerProcess m_process;
    QString m_url;
    bool m_ok = false;
    QString m_error;
};

/// The one SANE_CONFIG_DIR of this process for reaching the servers above, which the server
/// started last fills; SANE_CONFIG_DIR points at it from the first call on. SANE reads that
/// variable once per process (sanei_config caches it), so the folder stays and its files
/// change: one server at a time per process.
QString clientConfigDir();

/// What a page of the eSCL emulator says it is: its sheet (from 1) and side.
struct PageMark {
    int sheet = 0;
    bool back = false;
    bool operator==(const PageMark& o) const { return sheet == o.sheet && back == o.back; }
};

/// Reads the row of cells the emulator draws at the top of each page, in any pixel type
/// (colour, grey, black and white) and at any resolution; nullopt when there is none.
std::optional<PageMark> readPageMark(const QImage& page);
