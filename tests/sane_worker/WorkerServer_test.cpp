// The worker's refusals, without a backend: a request it cannot serve is answered in the shape
// of that request's own answer, so that the component reads the status in it instead of taking
// the answer for garbage and killing the worker.
#include "sane_worker/WorkerServer.h"
#include "worker_process/SaneStatus.h"
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace workerproto;

namespace {

/// The status of an answer read as `Reply`; nullopt when it is not one.
using ReadStatus = std::function<std::optional<DeviceStatus>(const QByteArray&)>;
template <typename Reply> ReadStatus as() {
    return [](const QByteArray& body) -> std::optional<DeviceStatus> {
        const std::optional<Reply> reply = sane::decode<Reply>(body);
        return reply ? std::optional<DeviceStatus>(reply->status) : std::nullopt;
    };
}

struct Refusal {
    const char* name;
    QByteArray request; // id 1
    Kind answer;
    ReadStatus read;
    int32_t code;
};

TEST(WorkerServer, ARefusalHasTheShapeOfItsRequestsAnswer) {
    constexpr int32_t kInval = 4; // SANE's invalid argument
    const Refusal refusals[] = {
        {"Start with a byte too many", sane::encode(sane::Start(), 1).u8(0).message(), Kind::Reply,
         as<sane::StartReply>(), kInval},
        {"Open before Start", sane::encode(sane::Open{QStringLiteral("test:0")}, 1).message(),
         Kind::Reply, as<sane::OpenReply>(), sanestatus::NotStarted},
        {"CapabilityIds of no device", sane::encode(sane::CapabilityIds{9}, 1).message(),
         Kind::Reply, as<sane::CapabilityIdsReply>(), kInval},
        {"GetCapability of no device", sane::encode(sane::GetCapability{9, 0x1118}, 1).message(),
         Kind::Reply, as<sane::GetCapabilityReply>(), kInval},
        {"SetOption of no device", sane::encode(sane::SetOption{9, "mode", "Gray"}, 1).message(),
         Kind::Reply, as<sane::StatusReply>(), kInval},
        {"SetLimits of zero", sane::encode(sane::SetLimits{9, 0, 1, 1}, 1).message(), Kind::Reply,
         as<sane::StatusReply>(), kInval},
        {"Acquire on no device", sane::encode(sane::Acquire{9, {}}, 1).message(), Kind::End,
         as<sane::EndEvent>(), kInval},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        std::thread serving([socket = ends[1]] { WorkerServer(socket).run(); });
        ASSERT_TRUE(sendMessage(ends[0], r.request));
        MessageStream stream(kFromWorker);
        QList<Message> got; // Hello, then the answer
        QString error;
        for (Message m; got.size() < 2 && error.isEmpty();) {
            if (stream.next(m, error)) {
                got << m;
                continue;
            }
            pollfd p{ends[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 ||
                stream.receive(ends[0], true) != MessageStream::Read::Data)
                break;
        }
        ::shutdown(ends[0], SHUT_RDWR); // the component goes: the server ends
        serving.join();
        ::alarm(0); // the server's bound on its own end, for a worker process
        ::close(ends[0]);
        ::close(ends[1]);
        EXPECT_EQ(got.size(), 2) << error.toStdString();
        if (got.size() != 2)
            continue;
        EXPECT_EQ(got[1].kind, r.answer);
        EXPECT_EQ(got[1].id, 1u);
        const std::optional<DeviceStatus> status = r.read(got[1].body);
        EXPECT_TRUE(status.has_value()) << "not the answer of its request";
        if (status) {
            EXPECT_EQ(status->code, r.code) << status->text.toStdString();
        }
    }
}

} // namespace
