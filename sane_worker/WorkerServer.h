#pragma once
#include "sane_worker/SharedFrameMemory.h"
#include "worker_process/SaneMessages.h"
#include <QHash>
#include <atomic>
#include <memory>
#include <mutex>

class SaneLayer;

/// The worker's end of the protocol (worker_process/WorkerProtocol.h and SaneMessages.h): reads
/// the component's requests from `socket` and runs them on one SaneLayer and the devices it
/// opens.
///
/// Threading: requests run one at a time on the thread of run(); each acquisition runs on a
/// thread of its own, so that a Cancel, the answer to an image and the options set between
/// two images reach the device while it acquires. Messages leave under one lock.
class WorkerServer {
public:
    explicit WorkerServer(int socket);
    ~WorkerServer();
    WorkerServer(const WorkerServer&) = delete;
    WorkerServer& operator=(const WorkerServer&) = delete;

    /// Greets the component and serves it until it closes its end (or the socket fails);
    /// then ends every acquisition and closes every device. The process exit code.
    int run();

private:
    struct Acquisition;
    struct Device;
    class Sink;

    void dispatch(workerproto::Message& message);
    void reply(uint32_t id, const DeviceStatus& status);
    /// Says no to a request of `request` kind with `status`, in the shape of its answer.
    void refuse(workerproto::Kind request, uint32_t id, const DeviceStatus& status);
    void send(const workerproto::Encoder& message, int fd = -1);
    /// The device of `handle` ready for a call: nullptr, with the reply already sent, when
    /// there is none or it is acquiring (options may change only between two images).
    Device* deviceFor(workerproto::Kind request, uint32_t id, uint32_t handle);
    void startAcquisition(uint32_t id, const workerproto::sane::Acquire& start);
    void acquire(std::shared_ptr<Acquisition> acquisition, Device* device);
    void finishAcquisition(Device& device);
    void shutdown();

    int m_socket;
    SharedFrameMemory m_frameMemory; // before the devices: their images live in it
    std::mutex m_sendMutex;
    bool m_sendFailed = false; // guarded by m_sendMutex
    /// Set before the last End of a worker about to end: no request is answered after it, so
    /// that the component's check after that End finds the worker gone, not well.
    std::atomic<bool> m_retiring{false};
    std::unique_ptr<SaneLayer> m_layer;
    QHash<uint32_t, std::shared_ptr<Device>> m_devices;
    uint32_t m_lastHandle = 0;
};
