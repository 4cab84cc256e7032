// The scan window on SANE's own test backend: a feeder batch becomes numbered pages, and a
// jammed read is reported while the next scan still works.
#include "acquisition/VstScan.h"
#include "acquisition_sane/SaneTestSupport.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include "support/HookedLayer.h"
#define SCAN_FIXTURE_HAS_PRINTTO
#include "support/ScanSession.h"

#include <QTest>
#include <atomic>
#include <csignal>

namespace {

class SaneSessionTest : public ScanSessionTest {
protected:
    std::atomic<bool> jamNext{false};
    std::atomic<int> killAfterImage{0};
    DeviceHooks hooks{nullptr,
                      // Nothing else touches the device while it acquires, so the option can be set
                      // here. A jam lasts one acquisition: the next one reads normally, as after
                      // the user has cleared the paper path.
                      [this](ScanDevice& device) {
                          if (auto* sane = dynamic_cast<SaneWorkerDevice*>(&device))
                              sane->setOption("read-return-value",
                                              jamNext.exchange(false)
                                                  ? QStringLiteral("SANE_STATUS_JAMMED")
                                                  : QStringLiteral("Default"));
                      },
                      nullptr,
                      // The SANE worker dies (a backend crash, kill -9) right after image n.
                      [this](ScanDevice& device, int n) {
                          if (n == killAfterImage)
                              ::kill(dynamic_cast<SaneWorkerDevice&>(device).workerPid(), SIGKILL);
                      },
                      nullptr};

    void SetUp() override {
        qputenv("SCANSIONE_SANE", "1");
        ASSERT_TRUE(qEnvironmentVariableIsSet("SANE_CONFIG_DIR"))
            << "SANE_CONFIG_DIR must point at tests/sane";
        store->values["DefaultSource"] = "0"; // the backend lists two test devices
        answer = true;                        // each new feeder batch replaces the last
    }

    Outcome runSane(const std::function<void(FormScansione&)>& body) {
        const QString cache = folder();
        component = [this, cache](std::shared_ptr<ComponentDialogs> dialogs) {
            std::vector<std::unique_ptr<DeviceLayer>> layers;
            layers.push_back(
                std::make_unique<HookedLayer>(std::make_unique<SaneWorkerLayer>(), hooks));
            return std::make_unique<VstScan>(std::move(layers), cache, std::move(dialogs));
        };
        return run(body);
    }

    static bool scan(FormScansione& form) { return ScanSessionTest::scan(form, 60000); }
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

// The worker that runs SANE dies between two sheets of a batch: the pages before stay in the
// document, the user reads why, and the next scan starts a fresh worker in the same session.
TEST_F(SaneSessionTest, AWorkerThatDiesMidBatchKeepsThePagesAndTheNextScanWorks) {
    store->values["AutoADF"] = "TRUE";
    record.PixelType = "GRAY";
    killAfterImage = 3;
    QString afterKill, afterNext;
    const Outcome out = runSane([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        afterKill = pageMap(form);
        killAfterImage = 0;
        ASSERT_TRUE(scan(form));
        afterNext = pageMap(form);
    });
    ASSERT_TRUE(out.bodyRan) << out.code.toStdString();
    EXPECT_EQ(afterKill, "PAG_1=I0,PAG_2=I1,PAG_3=I2");
    QStringList ten; // a feeder batch starts the document again: images 3 to 12
    for (int n = 1; n <= 10; ++n)
        ten << QStringLiteral("PAG_%1=I%2").arg(n).arg(n + 2);
    EXPECT_EQ(afterNext, ten.join(','));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.first().startsWith(
        "ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 9\r\nErrore di ingresso/uscita: connessione "
        "con lo scanner persa"))
        << messages.first().toStdString();
}

} // namespace
