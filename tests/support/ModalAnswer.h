#pragma once
#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>

/// Answers the next modal dialog that opens: polls QApplication::activeModalWidget() and
/// hands it to `answer` (which typically reads its text and closes it). Use before the call
/// that opens the dialog; the poll stops after the first dialog or after `timeoutMs`.
inline void answerNextModal(std::function<void(QWidget*)> answer, int timeoutMs = 10000) {
    auto* timer = new QTimer;
    auto elapsed = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, answer, timeoutMs] {
        *elapsed += 10;
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(w);
        } else if (*elapsed > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}
