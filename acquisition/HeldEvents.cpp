#include "acquisition/HeldEvents.h"
#include <QMetaObject>

void HeldEvents::deliver(std::function<void()> event) {
    if (m_depth == 0 && m_held.empty()) {
        event();
        return;
    }
    m_held.push_back(std::move(event));
    scheduleFlush();
}

void HeldEvents::post(std::function<void()> event) {
    QMetaObject::invokeMethod(
        &m_owner, [this, event = std::move(event)]() mutable { deliver(std::move(event)); },
        Qt::QueuedConnection);
}

void HeldEvents::scheduleFlush() {
    if (m_depth > 0 || m_flushQueued || m_held.empty())
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(
        &m_owner, [this] { handleNext(); }, Qt::QueuedConnection);
}

void HeldEvents::handleNext() {
    m_flushQueued = false;
    // A call began after the flush was queued (a nested loop runs it): wait for its end,
    // which queues the flush again.
    if (m_depth > 0 || m_held.empty())
        return;
    std::function<void()> event = std::move(m_held.front());
    m_held.pop_front();
    // One event a turn, as Qt would deliver them had they not been held: an event handler
    // that runs a loop of its own (a message box) lets the next one in, as before.
    scheduleFlush();
    event();
}
