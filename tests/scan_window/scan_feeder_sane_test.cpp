// The scan window on SANE's own test backend: a feeder batch becomes numbered pages, and a
// jammed read is reported while the next scan still works.
#include "acquisition/VstScan.h"
#include "acquisition_sane/SaneDevice.h"
#include "acquisition_sane/SaneLayer.h"
#include "acquisition_sane/SaneTestSupport.h"
#define SCAN_FIXTURE_HAS_PRINTTO
#include "scan_session_fixture.h"

#include <QTest>
#include <atomic>

namespace {

/// The opened SANE device, with a switch that makes its next acquisition read a jam.
class JammableDevice : public ScanDevice {
public:
    JammableDevice(std::unique_ptr<ScanDevice> inner, std::atomic<bool>& jamNext)
        : m_inner(std::move(inner)), m_jamNext(jamNext) {}
    QVector<uint16_t> capabilityIds() const override { return m_inner->capabilityIds(); }
    std::optional<Capability> capability(uint16_t id) const override {
        return m_inner->capability(id);
    }
    DeviceStatus setCapability(uint16_t id, double value) override {
        return m_inner->setCapability(id, value);
    }
    DeviceStatus setImageLayout(double l, double t, double r, double b) override {
        return m_inner->setImageLayout(l, t, r, b);
    }
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override {
        // Nothing else touches the device while it acquires, so the option can be set here.
        // A jam lasts one acquisition: the next one reads normally, as after the user has
        // cleared the paper path.
        if (auto* sane = dynamic_cast<SaneDevice*>(m_inner.get()))
            sane->setOption("read-return-value", m_jamNext.exchange(false)
                                                     ? QStringLiteral("SANE_STATUS_JAMMED")
                                                     : QStringLiteral("Default"));
        return m_inner->acquire(request, sink);
    }
    void cancel() override { m_inner->cancel(); }

private:
    std::unique_ptr<ScanDevice> m_inner;
    std::atomic<bool>& m_jamNext;
};

class JammableLayer : public DeviceLayer {
public:
    explicit JammableLayer(std::atomic<bool>& jamNext) : m_jamNext(jamNext) {}
    DeviceStatus start() override {
        const DeviceStatus st = m_sane.start();
        pinSaneBackends();
        return st;
    }
    void stop() override { m_sane.stop(); }
    QVector<DeviceInfo> devices() const override { return m_sane.devices(); }
    std::unique_ptr<ScanDevice> open(const QString& id) override {
        return std::make_unique<JammableDevice>(m_sane.open(id), m_jamNext);
    }

private:
    SaneLayer m_sane;
    std::atomic<bool>& m_jamNext;
};

class SaneSessionTest : public ScanSessionTest {
protected:
    std::atomic<bool> jamNext{false};

    void SetUp() override {
        qputenv("SCANSIONE_SANE", "1");
        ASSERT_TRUE(qEnvironmentVariableIsSet("SANE_CONFIG_DIR"))
            << "SANE_CONFIG_DIR must point at tests/sane";
        store->values["DefaultSource"] = "0"; // the backend lists two test devices
    }

    Outcome runSane(const std::function<void(FormScansione&)>& body) {
        WindowServices s = services();
        const QString cache = folder();
        s.createComponent = [this, cache]() -> std::unique_ptr<ScanComponent> {
            std::vector<std::unique_ptr<DeviceLayer>> layers;
            layers.push_back(std::make_unique<JammableLayer>(jamNext));
            return std::make_unique<VstScan>(std::move(layers), cache);
        };
        Outcome out;
        FormScansione form(s);
        QObject::connect(&form, &FormScansione::sessionShown, &form, [&] {
            QTimer::singleShot(0, &form, [&] {
                out.bodyRan = true;
                body(form);
                if (form.isVisible())
                    form.ImgButtons_Click(6);
            });
        });
        int16_t openDoc = 0;
        out.files = form.EseguiScansione(&record, out.code, openDoc);
        return out;
    }

    static bool scan(FormScansione& form) {
        bool ended = false;
        auto c = QObject::connect(form.component(), &ScanComponent::PostScan, &form,
                                  [&](int32_t flag) { ended = ended || flag != 0; });
        form.ImgButtons_Click(1);
        const bool ok = QTest::qWaitFor([&] { return ended; }, 60000);
        QObject::disconnect(c);
        return ok;
    }
};

TEST_F(SaneSessionTest, FeederBatchOfTenBecomesPagesOneToTen) {
    store->values["AutoADF"] = "TRUE";
    record.PixelType = "GRAY";
    QString map;
    QString caption;
    const Outcome out = runSane([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        map = pageMap(form);
        caption = form.windowTitle();
    });
    ASSERT_TRUE(out.bodyRan) << out.code.toStdString();
    QStringList expected;
    for (int n = 1; n <= 10; ++n)
        expected << QStringLiteral("PAG_%1=I%2").arg(n).arg(n - 1);
    EXPECT_EQ(map, expected.join(','));
    EXPECT_TRUE(caption.endsWith(" - Pag. 1")) << caption.toStdString();
    // The feeder running empty after the tenth sheet is the batch's normal end.
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(SaneSessionTest, JammedReadShowsTheMessageAndTheNextScanWorks) {
    record.PixelType = "GRAY";
    QString afterJam, afterNext;
    const Outcome out = runSane([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        jamNext = true;
        ASSERT_TRUE(scan(form));
        afterJam = pageMap(form);
        ASSERT_TRUE(scan(form));
        afterNext = pageMap(form);
    });
    ASSERT_TRUE(out.bodyRan) << out.code.toStdString();
    EXPECT_EQ(afterJam, "PAG_1=I0");
    EXPECT_EQ(afterNext, "PAG_1=I0,PAG_2=I1");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().startsWith("ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 6\r\n"))
        << messages.first().toStdString();
}

} // namespace
