// The information window: its design layout, a long report readable through the scroll bars,
// and "Esci" ending the modal display.
#include "device_info/frmShowScanInfo.h"
#include "support/ModalAnswer.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QPlainTextEdit* textBox(QWidget* w) {
    return w->findChild<QPlainTextEdit*>(QStringLiteral("txtTextInfo"));
}
QPushButton* closeButton(QWidget* w) {
    return w->findChild<QPushButton*>(QStringLiteral("cmdChiudi"));
}

/// A report far longer and wider than the box, with the report's own line ends and tabs.
QString longReport() {
    QString text;
    for (int i = 0; i < 200; ++i)
        text += QStringLiteral("ICAP_ROW_%1\t R \t 300\t 200\t 75\t 1200\t 1\t%2\r\n")
                    .arg(i)
                    .arg(QString(300, QLatin1Char('x')));
    return text;
}

/// Closes any modal window still open after `ms`, so a broken window fails the test
/// instead of hanging it.
void guardModal(QObject* context, bool& timedOut, int ms = 8000) {
    QTimer::singleShot(ms, context, [&timedOut] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timedOut = true;
            w->close();
        }
    });
}

TEST(InfoWindow, DesignLayoutInPixelsOfTheTwipsLayout) {
    frmShowScanInfo form;
    EXPECT_EQ(form.windowTitle(), "INFO");
    EXPECT_EQ(form.size(), QSize(706, 496));
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window must not be resizable";

    QPlainTextEdit* text = textBox(&form);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->geometry(), QRect(8, 8, 689, 433));
    EXPECT_EQ(text->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_NE(text->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_NE(text->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(text->toPlainText().isEmpty());

    QPushButton* button = closeButton(&form);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Esci");
    EXPECT_EQ(button->geometry(), QRect(288, 456, 121, 33));

    // Tab order: the text box first, then the button.
    EXPECT_TRUE(text->focusPolicy() & Qt::TabFocus);
    EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus);
    QWidget* next = text->nextInFocusChain();
    while (next != button && next != text && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    EXPECT_EQ(next, button);
}

TEST(InfoWindow, ShowsALongReportModallyAndEsciClosesIt) {
    const QString report = longReport();
    frmShowScanInfo form;
    bool answered = false;
    bool timedOut = false;
    answerNextModal([&](QWidget* modal) {
        answered = true;
        EXPECT_EQ(modal, &form);
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.isModal());
        QPlainTextEdit* text = textBox(&form);
        // The box holds the report unchanged: its lines, tabs and all.
        QString shown = text->toPlainText();
        QString expected = report;
        expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(text->document()->blockCount(), 201);
        // Long and wide: both scroll bars have somewhere to go, and no line was wrapped.
        EXPECT_GT(text->verticalScrollBar()->maximum(), 0);
        EXPECT_GT(text->horizontalScrollBar()->maximum(), 0);
        EXPECT_TRUE(text->horizontalScrollBar()->isVisible());
        EXPECT_TRUE(text->verticalScrollBar()->isVisible());
        EXPECT_EQ(text->document()->firstBlock().layout()->lineCount(), 1);
        QTest::mouseClick(closeButton(&form), Qt::LeftButton);
    });
    guardModal(&form, timedOut);
    form.MostraInfo(report);
    EXPECT_TRUE(answered);
    EXPECT_FALSE(timedOut) << "Esci did not close the window";
    EXPECT_FALSE(form.isVisible());
}

} // namespace
