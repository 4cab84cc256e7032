// A SANE configuration with no backend at all. A process of its own: SANE reads
// SANE_CONFIG_DIR once per process, at the first sane_init.
#include "acquisition_sane/SaneLayer.h"
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(SaneNoDevices, NoBackendMeansAnEmptyListAndAWorkingLayer) {
    QTemporaryDir config;
    QFile dll(config.filePath(QStringLiteral("dll.conf")));
    ASSERT_TRUE(dll.open(QIODevice::WriteOnly));
    dll.close();
    qputenv("SANE_CONFIG_DIR", config.path().toUtf8());
    SaneLayer layer;
    const DeviceStatus st = layer.start();
    EXPECT_TRUE(st.ok()) << st.text.toStdString();
    EXPECT_TRUE(layer.devices().isEmpty());
    EXPECT_ANY_THROW(layer.open(QStringLiteral("nosuchbackend:0")));
}
