// The SANE layer against a scanner shared over the network: SANE's own saned exports the test
// backend on a loopback address and the layer reaches it through SANE's net backend, as an
// office reaches the scanner hanging on another machine.
#include "NetScan.h"
#include "SaneTestSupport.h"
#include "acquisition/ScanComponent.h"
#include "default_wiring/DefaultComponent.h"
#include "worker_process/SaneStatus.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include "support/PixelTypes.h"
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>

using namespace twain;

namespace {

/// Processor time this process and the SANE worker `worker` have used, in seconds: a busy
/// wait in either counts.
double cpuSeconds(pid_t worker) {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    double seconds = double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(worker));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields 14 and 15, user and system time in clock ticks, after the parenthesised name.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            seconds += double(fields[11].toLongLong() + fields[12].toLongLong()) /
                       double(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

/// A sink that does something to the server once the second page is on its way, and keeps
/// the time and the processor time used from then on.
class SecondPageSink : public RecordingSink {
public:
    SecondPageSink(pid_t worker, std::function<void()> act)
        : worker(worker), m_act(std::move(act)) {}
    void progress(int64_t bytes, int64_t expected) override {
        RecordingSink::progress(bytes, expected);
        if (bytes > 0 && images.size() == 1 && !since.isValid()) {
            m_act();
            since.start();
            cpuAt = cpuSeconds(worker);
        }
    }
    const pid_t worker;
    QElapsedTimer since; ///< valid once the act is done
    double cpuAt = 0;

private:
    std::function<void()> m_act;
};

class SaneNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.ok()) << m_server.error().toStdString();
        const DeviceStatus st = m_layer.start();
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
    }
    void TearDown() override {
        m_device.reset();
        m_layer.stop();
    }

    SaneWorkerDevice& open(int n = 0) {
        m_device = m_layer.open(m_server.device(n));
        return dynamic_cast<SaneWorkerDevice&>(*m_device);
    }

    void set(SaneWorkerDevice& d, uint16_t cap, double value) {
        const DeviceStatus st = d.setCapability(cap, value);
        ASSERT_TRUE(st.ok()) << std::hex << cap << std::dec << " = " << value << ": "
                             << st.text.toStdString();
    }
    void setOption(SaneWorkerDevice& d, const char* name, const QString& value) {
        const DeviceStatus st = d.setOption(name, value);
        ASSERT_TRUE(st.ok()) << name << ": " << st.text.toStdString();
    }

    /// A slow colour feeder batch: each A4 page at 100 dpi takes about a second to arrive.
    void slowColourBatch(SaneWorkerDevice& d) {
        set(d, ICAP_PIXELTYPE, RGB);
        set(d, ICAP_XRESOLUTION, 100);
        set(d, ICAP_SUPPORTEDSIZES, A4);
        set(d, CAP_FEEDERENABLED, 1);
        setOption(d, "read-delay", "yes");
        setOption(d, "read-delay-duration", "20000");
    }

    SanedServer m_server;
    SaneWorkerLayer m_layer;
    std::unique_ptr<ScanDevice> m_device;
};

TEST_F(SaneNetTest, ListsTheExportedDevicesWithTheTestBackendsCapabilities) {
    QStringList ids;
    for (const DeviceInfo& info : m_layer.devices())
        ids << info.id;
    EXPECT_EQ(ids, (QStringList{m_server.device(0), m_server.device(1)}));
    SaneWorkerDevice& d = open();
    EXPECT_EQ(d.capability(ICAP_PIXELTYPE)->items, (QVector<double>{BW, Gray, RGB}));
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->max, 1200);
    EXPECT_EQ(d.capability(CUSTOM_FEEDERPRESENT)->current, 1);
    EXPECT_TRUE(d.capability(ICAP_SUPPORTEDSIZES)->items.contains(A3));
}

// The net backend refuses every call after an option change that reloads the options until
// the descriptors are read again: settings made after the mode must still reach the device.
TEST_F(SaneNetTest, SettingsAfterAModeChangeReachTheDevice) {
    SaneWorkerDevice& d = open();
    set(d, ICAP_PIXELTYPE, RGB); // the test backend reloads its options on a mode change
    set(d, ICAP_XRESOLUTION, 150);
    set(d, ICAP_SUPPORTEDSIZES, A4);
    set(d, CAP_FEEDERENABLED, 1);
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->current, 150);
    EXPECT_EQ(d.capability(ICAP_SUPPORTEDSIZES)->current, A4);

    RecordingSink sink;
    const DeviceStatus st = d.acquire(acquireRequest(true), sink);
    EXPECT_TRUE(st.ok()) << st.text.toStdString();
    ASSERT_EQ(sink.images.size(), 10); // the test backend's feeder holds ten
    for (const QImage& page : sink.images) {
        EXPECT_EQ(page.format(), QImage::Format_RGB888);
        EXPECT_NEAR(page.width(), 210 / 25.4 * 150, 2);
        EXPECT_NEAR(page.height(), 297 / 25.4 * 150, 2);
    }
}

TEST_F(SaneNetTest, ColourGreyAndBlackAndWhiteAtTwoResolutions) {
    SaneWorkerDevice& d = open();
    set(d, ICAP_SUPPORTEDSIZES, A5);
    struct Case {
        int type;
        int dpi;
    };
    for (const Case& c : {Case{RGB, 75}, Case{Gray, 75}, Case{BW, 75}, Case{BW, 150},
                          Case{Gray, 150}, Case{RGB, 150}}) {
        SCOPED_TRACE(QStringLiteral("type %1, %2 dpi").arg(c.type).arg(c.dpi).toStdString());
        set(d, ICAP_PIXELTYPE, c.type);
        set(d, ICAP_XRESOLUTION, c.dpi);
        RecordingSink sink;
        AcquireRequest one;
        one.maxImages = 1;
        ASSERT_TRUE(d.acquire(one, sink).ok());
        ASSERT_EQ(sink.images.size(), 1);
        EXPECT_EQ(sink.images[0].format(), pageFormatOf(c.type));
        EXPECT_NEAR(sink.images[0].width(), 148 / 25.4 * c.dpi, 2);
    }
}

TEST_F(SaneNetTest, AnEmptyFeederIsReported) {
    SaneWorkerDevice& d = open();
    set(d, CAP_FEEDERENABLED, 1);
    setOption(d, "read-return-value", "SANE_STATUS_NO_DOCS");
    RecordingSink sink;
    EXPECT_EQ(d.acquire(acquireRequest(true), sink).code, 7);
    EXPECT_TRUE(sink.images.isEmpty());
}

TEST_F(SaneNetTest, AJamMidBatchKeepsTheEarlierPages) {
    SaneWorkerDevice& d = open();
    set(d, CAP_FEEDERENABLED, 1);
    RecordingSink sink;
    sink.onImage = [&d](int n) {
        if (n == 3)
            d.setOption("read-return-value", QStringLiteral("SANE_STATUS_JAMMED"));
        return true;
    };
    EXPECT_EQ(d.acquire(acquireRequest(true), sink).code, 6);
    EXPECT_EQ(sink.images.size(), 3);
}

// saned stopped while a page is on its way: the data connection closes. The worker must not
// spin on a descriptor that keeps polling readable, nor end by SIGPIPE when the cancel writes
// to the closed control connection.
TEST_F(SaneNetTest, TheServerStoppedMidPageEndsTheBatchKeepingEarlierPages) {
    SaneWorkerDevice& d = open();
    slowColourBatch(d);
    SecondPageSink sink(d.workerPid(), [this] { m_server.kill(); });
    const DeviceStatus st = d.acquire(acquireRequest(true), sink);
    ASSERT_TRUE(sink.since.isValid()) << "the second page never started";
    EXPECT_EQ(st.code, 9) << st.text.toStdString();
    EXPECT_TRUE(st.text.startsWith("Errore di ingresso/uscita")) << st.text.toStdString();
    EXPECT_EQ(sink.images.size(), 1);
    EXPECT_LT(sink.since.elapsed(), 15000); // seen closed, not waited out at the 25 s stall
    EXPECT_LT(cpuSeconds(sink.worker) - sink.cpuAt, 1.0);
}

TEST_F(SaneNetTest, TheServerStoppedBetweenSheetsEndsTheBatchKeepingEarlierPages) {
    SaneWorkerDevice& d = open();
    set(d, CAP_FEEDERENABLED, 1);
    RecordingSink sink;
    sink.onImage = [this](int n) {
        if (n == 2)
            m_server.kill();
        return true;
    };
    QElapsedTimer timer;
    timer.start();
    const DeviceStatus st = d.acquire(acquireRequest(true), sink);
    EXPECT_EQ(st.code, 9) << st.text.toStdString();
    EXPECT_EQ(sink.images.size(), 2);
    EXPECT_LT(timer.elapsed(), 20000); // seen closed, not waited out at the 25 s stall
}

// The network gone mid-page: the connections stay open and nothing comes. The layer waits
// without taking the processor, gives up at its stall limit, and does not hang on the cancel
// that the silent server would never answer; the device then says it is unusable.
TEST_F(SaneNetTest, ASilentServerEndsThePageAtTheStallLimitWithoutBusyWaiting) {
    SaneWorkerDevice& d = open();
    slowColourBatch(d);
    d.setStallTimeoutMs(2000);
    d.setCancelWaitMs(500, 500);
    SecondPageSink sink(d.workerPid(), [this] { m_server.pause(); });
    const DeviceStatus st = d.acquire(acquireRequest(true), sink);
    ASSERT_TRUE(sink.since.isValid()) << "the second page never started";
    const qint64 waited = sink.since.elapsed();
    const double cpu = cpuSeconds(sink.worker) - sink.cpuAt;
    EXPECT_EQ(st.code, 9) << st.text.toStdString();
    EXPECT_EQ(sink.images.size(), 1);
    EXPECT_GE(waited, 2000);
    EXPECT_LT(waited, 20000); // the test's stall bound, not the 25 s default
    EXPECT_LT(cpu / (waited / 1000.0), 0.05) << cpu << " s of processor in " << waited << " ms";
    // Its cancel is still inside the net backend: the worker has ended rather than go on
    // with a device in that state.
    EXPECT_TRUE(processGone(sink.worker, 5000));

    // Once the network is back, the next use of the device brings a fresh worker with the
    // device as it was set.
    m_server.resume();
    RecordingSink next;
    const DeviceStatus again = d.acquire(acquireRequest(), next);
    EXPECT_TRUE(again.ok()) << again.text.toStdString();
    ASSERT_EQ(next.images.size(), 1);
    EXPECT_EQ(next.images[0].format(), QImage::Format_RGB888);
    EXPECT_NEAR(next.images[0].width(), 210 / 25.4 * 100, 2);
    EXPECT_NE(d.workerPid(), sink.worker);

    // Closing and stopping do not wait on the worker (whose close bound is 5 s).
    QElapsedTimer closing;
    closing.start();
    m_device.reset();
    m_layer.stop();
    EXPECT_LT(closing.elapsed(), 2500);
}

// saned gone between opening and programming: each setting says the connection is closed,
// never "not supported", through the component as the window reads it.
TEST(SaneNetComponent, ASettingAfterTheServerWentReportsTheClosedConnection) {
    SanedServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    const QByteArray oldSane = qgetenv("SCANSIONE_SANE");
    qputenv("SCANSIONE_SANE", "1");
    QTemporaryDir cache;
    auto scan = createDefaultComponent(cache.path());
    qputenv("SCANSIONE_SANE", oldSane);
    ASSERT_EQ(scan->OpenSourceManager(), 1) << scan->LastErrorText().toStdString();
    scan->setSourceIndex(0);
    ASSERT_EQ(scan->OpenDataSource(), 1) << scan->LastErrorText().toStdString();
    server.kill();
    scan->setImagePixelType(RGB);
    EXPECT_EQ(scan->LastErrorCode(), 9) << scan->LastErrorText().toStdString();
    scan->setResolution(150);
    EXPECT_EQ(scan->LastErrorCode(), 9) << scan->LastErrorText().toStdString();
    // The net backend may crash the worker on the first setting (libsane-net frees a bad
    // pointer when its server is gone): then the worker's loss is what is said.
    const QString text = scan->LastErrorText();
    EXPECT_TRUE(text == "Errore di ingresso/uscita: connessione chiusa" ||
                text.startsWith("Errore di ingresso/uscita: connessione con lo scanner persa ("))
        << text.toStdString();
    scan->CloseDataSource();
    scan->CloseSourceManager();
}

} // namespace
