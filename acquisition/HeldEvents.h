#pragma once
#include <QObject>
#include <deque>
#include <functional>

/// Keeps a component's own events out of its calls. A call made on the owner's thread may
/// wait on a device or a dialog while the event loop runs (a SANE call does, every few
/// milliseconds, so that the window repaints); without this, an image, the end of an
/// acquisition or a page file's result that arrives meanwhile would be handled there, and
/// reach the window as PostScan in the middle of its own OpenDataSource or capability call.
///
/// Each call of the component counts itself in for its lifetime (Call). An event that
/// arrives while a call is under way, or while earlier ones are still held, is kept; once
/// no call is under way the events kept are handled in order, one per turn of the event
/// loop, so that none of them runs inside the call that has just returned.
///
/// Threading: owner thread only.
class HeldEvents {
public:
    /// `owner` is the component: the queued handling runs in its thread and is dropped with it.
    explicit HeldEvents(QObject& owner) : m_owner(owner) {}
    Q_DISABLE_COPY(HeldEvents)

    /// Counts a call of the component in, from construction to destruction (calls nest).
    class Call {
    public:
        explicit Call(HeldEvents& events) : m_events(events) { ++m_events.m_depth; }
        ~Call() {
            if (--m_events.m_depth == 0)
                m_events.scheduleFlush();
        }
        Q_DISABLE_COPY(Call)

    private:
        HeldEvents& m_events;
    };

    /// Handles `event` now when no call is under way and nothing is held; keeps it otherwise.
    void deliver(std::function<void()> event);
    /// Hands `event` to deliver() from the event loop: never inside the caller.
    void post(std::function<void()> event);
    /// True while a call of the component is under way.
    bool inCall() const { return m_depth > 0; }

private:
    void scheduleFlush();
    void handleNext();

    QObject& m_owner;
    int m_depth = 0;
    bool m_flushQueued = false;
    std::deque<std::function<void()>> m_held;
};
