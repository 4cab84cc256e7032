// The main of every test executable: a QApplication on the offscreen platform (set before
// it exists), and a listener that fails a test which leaves a top-level window behind.
#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>
#include <cstdlib>

namespace {
class TopLevelLeakCheck : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QStringList leaked;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            // A window of ours still alive, or any window (a message box, a dialog) still
            // shown, is a leak; Qt's own hidden helpers (tool tips, menus) are not.
            const QString cls = QString::fromLatin1(w->metaObject()->className());
            if (w->isVisible() || !cls.startsWith(QLatin1Char('Q')))
                leaked << cls + QLatin1Char(' ') + w->objectName();
        }
        if (!leaked.isEmpty())
            ADD_FAILURE() << info.name() << " leaked top-level windows: "
                          << leaked.join(", ").toStdString();
    }
};
} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new TopLevelLeakCheck);
    return RUN_ALL_TESTS();
}
