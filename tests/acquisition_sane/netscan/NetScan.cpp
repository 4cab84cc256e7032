#include "NetScan.h"
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr quint16 kSanePort = 6566; // the services entry sane-port, which the net backend uses

bool writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

} // namespace

// --- ServerProcess ---------------------------------------------------------------------------

ServerProcess::~ServerProcess() {
    kill();
}

bool ServerProcess::start(const QString& program, const QStringList& args,
                          const QProcessEnvironment& env) {
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_process.start(program, args);
    if (!m_process.waitForStarted(5000)) {
        m_error = program + QStringLiteral(": ") + m_process.errorString();
        return false;
    }
    m_group = m_process.processId();
    return true;
}

void ServerProcess::signal(int sig) {
    if (m_group > 0)
        ::kill(pid_t(-m_group), sig);
}

void ServerProcess::kill() {
    if (m_group <= 0)
        return;
    signal(SIGKILL); // also wakes a stopped group
    m_process.waitForFinished(5000);
    m_group = 0;
}

QByteArray ServerProcess::readLine(int ms) {
    QElapsedTimer t;
    t.start();
    while (!m_process.canReadLine() && t.elapsed() < ms && running())
        m_process.waitForReadyRead(int(std::max<qint64>(1, ms - t.elapsed())));
    return m_process.canReadLine() ? m_process.readLine().trimmed() : QByteArray();
}

// --- SanedServer -----------------------------------------------------------------------------

SanedServer::SanedServer() {
    const QString server = m_dir.path();
    const QString client = ::clientConfigDir();
    QFile conf(QStringLiteral(SANE_TEST_CONF));
    if (!conf.open(QIODevice::ReadOnly) ||
        !writeFile(server + QStringLiteral("/test.conf"), conf.readAll()) ||
        !writeFile(server + QStringLiteral("/dll.conf"), "test\n") ||
        !writeFile(server + QStringLiteral("/saned.conf"), "127.0.0.0/8\n") ||
        !writeFile(client + QStringLiteral("/dll.conf"), "net\n")) {
        m_error = QStringLiteral("configurazione non scritta in ") + m_dir.path();
        return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), server);
    // The whole of 127.0.0.0/8 reaches loopback; each server takes an address of its own, so
    // that tests running side by side never share port 6566.
    QRandomGenerator random(quint32(::getpid()) ^ QRandomGenerator::global()->generate());
    for (int attempt = 0; attempt < 20 && !m_ok; ++attempt) {
        m_address = QStringLiteral("127.%1.%2.%3")
                        .arg(100 + random.bounded(100))
                        .arg(random.bounded(1, 255))
                        .arg(random.bounded(1, 255));
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress(m_address), kSanePort))
                continue;
        }
        if (!m_process.start(QStringLiteral("/usr/sbin/saned"),
                             {QStringLiteral("-l"), QStringLiteral("-e"), QStringLiteral("-d"),
                              QStringLiteral("0"), QStringLiteral("-b"), m_address},
                             env)) {
            m_error = m_process.error();
            return;
        }
        // Ready once it accepts a connection; gone when it could not bind after all.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000 && m_process.running() && !m_ok) {
            QTcpSocket probe;
            probe.connectToHost(m_address, kSanePort);
            m_ok = probe.waitForConnected(200);
            if (!m_ok)
                QThread::msleep(20);
        }
        if (!m_ok)
            m_process.kill();
    }
    if (!m_ok) {
        m_error = QStringLiteral("saned non parte su 127.x.y.z");
        return;
    }
    if (!writeFile(client + QStringLiteral("/net.conf"),
                   "connect_timeout = 5\n" + m_address.toUtf8() + '\n')) {
        m_ok = false;
        m_error = QStringLiteral("net.conf non scritto");
    }
}

QString SanedServer::clientConfigDir() const {
    return ::clientConfigDir();
}

void SanedServer::pause() {
    m_process.signal(SIGSTOP);
}

void SanedServer::resume() {
    m_process.signal(SIGCONT);
}

// --- EsclServer ------------------------------------------------------------------------------

EsclServer::EsclServer(const QStringList& options) {
    if (!m_process.start(QStringLiteral(ESCL_EMULATOR), options)) {
        m_error = m_process.error();
        return;
    }
    const QByteArray line = m_process.readLine(10000);
    if (!line.startsWith("PORT ")) {
        m_error = QStringLiteral("escl_emulator: ") + QString::fromUtf8(line);
        return;
    }
    m_url = QStringLiteral("http://127.0.0.1:%1/eSCL").arg(QString::fromUtf8(line.mid(5)));
    // sane-airscan also reads /etc/sane.d/airscan.conf after this one; discovery stays off
    // as long as that file does not switch it on.
    const QByteArray conf = "[devices]\n\"" + QByteArray(kName) + "\" = " + m_url.toUtf8() +
                            "\n\n[options]\ndiscovery = disable\n";
    const QString client = ::clientConfigDir();
    m_ok = writeFile(client + QStringLiteral("/dll.conf"), "airscan\n") &&
           writeFile(client + QStringLiteral("/airscan.conf"), conf);
    if (!m_ok)
        m_error = QStringLiteral("configurazione non scritta in ") + client;
}

QString EsclServer::clientConfigDir() const {
    return ::clientConfigDir();
}

// --- The client's configuration ------------------------------------------------------------

QString clientConfigDir() {
    static QTemporaryDir dir;
    static const bool pointed = [] {
        qputenv("SANE_CONFIG_DIR", dir.path().toLocal8Bit());
        return true;
    }();
    (void)pointed;
    return dir.path();
}

// --- PageMark --------------------------------------------------------------------------------

std::optional<PageMark> readPageMark(const QImage& page) {
    if (page.width() < 20 || page.height() < 20)
        return std::nullopt;
    // Ten cells from 10% to 90% of the width, 4% to 10% of the height: guard, 8 bits, guard.
    const double cell = page.width() * 0.8 / 10;
    const int y = int(page.height() * 0.07);
    auto dark = [&](int i) {
        return qGray(page.pixel(int(page.width() * 0.1 + (i + 0.5) * cell), y)) < 128;
    };
    if (!dark(0) || !dark(9))
        return std::nullopt;
    int code = 0;
    for (int i = 1; i <= 8; ++i)
        code = code * 2 + (dark(i) ? 1 : 0);
    return PageMark{code / 2, (code & 1) != 0};
}
