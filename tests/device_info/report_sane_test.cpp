// The capability report of SANE's test backend, through the real component and SANE layer.
#include "acquisition/ScanComponent.h"
#include "default_wiring/DefaultComponent.h"
#include "device_info/CapabilityReport.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SaneReport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cache.isValid());
        ASSERT_STREQ(std::getenv("SCANSIONE_SANE"), "1") << "run through CTest";
        ASSERT_NE(std::getenv("SANE_CONFIG_DIR"), nullptr) << "run through CTest";
        component = createDefaultComponent(cache.path());
        ASSERT_TRUE(component);
        ASSERT_EQ(component->OpenSourceManager(), 1) << component->LastErrorText().toStdString();
        ASSERT_GE(component->SourceCount(), 1);
        component->setSourceIndex(0);
    }
    void TearDown() override {
        if (component)
            component->CloseSourceManager();
    }

    QString run() {
        return InfoDispositivo(*component, [this](const QString& p) { messages << p; });
    }

    /// The line of the report that starts with `label`, without its line end.
    static QString lineStarting(const QString& report, const QString& label) {
        for (const QString& line : report.split(QStringLiteral("\r\n")))
            if (line.startsWith(label))
                return line;
        return QString();
    }

    QTemporaryDir cache;
    std::unique_ptr<ScanComponent> component;
    QStringList messages;
};

TEST_F(SaneReport, DescribesTheTestBackend) {
    const QString report = run();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(messages.isEmpty()) << messages.join(" | ").toStdString();

    const QString name = component->SourceName(0);
    EXPECT_TRUE(name.contains(QLatin1String("frontend-tester"))) << name.toStdString();
    EXPECT_TRUE(report.startsWith(QString(38, QLatin1Char('=')) + "\r\n\r\nDevice name: " + name +
                                  "\r\n\r\n"))
        << report.left(200).toStdString();

    // The backend's configuration: 1 to 1200 dpi in steps of 1, 50 dpi and Gray at start.
    EXPECT_EQ(lineStarting(report, "Current resolution:"), "Current resolution:  50 dpi");
    EXPECT_EQ(lineStarting(report, "Supported resolutions:"),
              "Supported resolutions: min = 1 dpi, max = 1200 dpi, step size = 1 dpi");
    EXPECT_EQ(lineStarting(report, "Current pixel type:"), "Current pixel type: GRAY");
    const QString types = lineStarting(report, "Supported pixel types: ");
    EXPECT_TRUE(types.contains("GRAY ")) << types.toStdString();
    EXPECT_TRUE(types.contains("RGB ")) << types.toStdString();

    // The normal path leaves the source as it found it: closed.
    EXPECT_EQ(component->DataSourceOpen(), 0);
}

TEST_F(SaneReport, CapabilityLinesHaveTheirShape) {
    const QString report = run();
    const qsizetype at = report.indexOf("Device capabilities:\r\n\r\n");
    ASSERT_GE(at, 0);
    const QStringList lines = report.mid(at + 24).split(QStringLiteral("\r\n"), Qt::KeepEmptyParts);
    // name TAB mark TAB values: one value, array, range or enumeration.
    const QRegularExpression shape(
        QStringLiteral("^(CAP_|ICAP_|ACAP_|Custom capability \\()[^\\t]*\\t (O|A|R|E) \\t.+"));
    int capabilityLines = 0;
    for (const QString& line : lines) {
        if (line.isEmpty())
            continue;
        EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
        ++capabilityLines;
    }
    EXPECT_GT(capabilityLines, 0);
    const QString xres = lineStarting(report, "ICAP_XRESOLUTION\t");
    EXPECT_TRUE(xres.contains("\t 50\t")) << "ICAP_XRESOLUTION line: " << xres.toStdString();
}

TEST_F(SaneReport, AnOpenSourceIsLeftAlone) {
    ASSERT_EQ(component->OpenDataSource(), 1);
    EXPECT_EQ(run(), QString());
    EXPECT_NE(component->DataSourceOpen(), 0);
    component->CloseDataSource();
}

} // namespace
