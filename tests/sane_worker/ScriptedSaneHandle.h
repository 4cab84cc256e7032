#pragma once
// A SANE handle that plays a script instead of calling a backend: the frames a device starts,
// their parameters, and what each read gives (bytes, silence, an error, the user's cancel).
#include "sane_worker/SaneHandle.h"
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

class ScriptedSaneHandle : public SaneHandle {
public:
    /// One answer to a read, given `times` times in a row.
    struct Read {
        SANE_Status status = SANE_STATUS_GOOD;
        int bytes = 0;       ///< of the frame's pattern (at most what the read has room for)
        int silentMs = 0;    ///< the clock moves on this far and the read yields nothing
        bool cancel = false; ///< the user cancels while this read runs
        int times = 1;
    };
    /// One sane_start and what follows it; after the last read, EOF.
    struct Frame {
        SANE_Status start = SANE_STATUS_GOOD;
        SANE_Parameters parameters{};
        std::vector<Read> reads;
    };

    /// Byte `i` of every frame.
    static uint8_t pattern(size_t i) { return uint8_t(i * 7 + i / 253 + 3); }

    explicit ScriptedSaneHandle(std::vector<Frame> script) : m_script(std::move(script)) {}

    /// The script's clock: what the scan loop measures its stall bound on.
    int64_t now() const { return m_now; }
    /// Called when a read carries the user's cancel.
    std::function<void()> onCancel;
    /// While set, cancel() waits until it is cleared (a backend stuck in its cancel).
    void holdCancel(bool hold) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_holdCancel = hold;
        }
        m_released.notify_all();
    }
    int cancels() const { return m_cancels; }

    const SANE_Option_Descriptor* optionDescriptor(SANE_Int) override { return nullptr; }
    SANE_Status controlOption(SANE_Int, SANE_Action, void*, SANE_Int*) override {
        return SANE_STATUS_UNSUPPORTED;
    }
    SANE_Status start() override {
        // Past the script the feeder is empty.
        if (m_next >= m_script.size())
            return SANE_STATUS_NO_DOCS;
        m_frame = &m_script[m_next++];
        m_read = 0;
        m_timesLeft = m_frame->reads.empty() ? 0 : m_frame->reads[0].times;
        m_offset = 0;
        return m_frame->start;
    }
    SANE_Status parameters(SANE_Parameters& p) override {
        p = m_frame->parameters;
        return SANE_STATUS_GOOD;
    }
    SANE_Status read(SANE_Byte* data, SANE_Int maxLength, SANE_Int& length) override {
        length = 0;
        if (m_read >= m_frame->reads.size())
            return SANE_STATUS_EOF;
        const Read r = m_frame->reads[m_read];
        if (--m_timesLeft <= 0 && ++m_read < m_frame->reads.size())
            m_timesLeft = m_frame->reads[m_read].times;
        if (r.cancel && onCancel)
            onCancel();
        m_now += r.silentMs;
        length = std::min(r.bytes, maxLength);
        for (SANE_Int i = 0; i < length; ++i)
            data[i] = pattern(m_offset++);
        return r.status;
    }
    void cancel() override {
        ++m_cancels;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released.wait(lock, [this] { return !m_holdCancel; });
    }
    SANE_Status setIoMode(bool) override { return SANE_STATUS_UNSUPPORTED; }
    SANE_Status selectFd(SANE_Int&) override { return SANE_STATUS_UNSUPPORTED; }

private:
    std::vector<Frame> m_script;
    size_t m_next = 0;
    Frame* m_frame = nullptr;
    size_t m_read = 0;
    int m_timesLeft = 0;
    size_t m_offset = 0;
    int64_t m_now = 0;
    std::atomic<int> m_cancels{0};
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_holdCancel = false; // guarded by m_mutex
};
