// Measures the CPU time used by a long idle wait on the Qt platform: a
// 10-second deadline timer (interval from the first argument, in ms), a
// listening endpoint and an idle connected pair, while waitUntil blocks.
// A wait must sleep in the dispatcher's poll, so the figure should stay far
// below 10 ms.

#include <QCoreApplication>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/qt/qt_platform.h"

using corvantel::platform::Endpoint;
using corvantel::platform::qt::QtPlatform;

namespace {

double cpuMs(const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int waitMs = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (waitMs <= 0) {
        std::fprintf(stderr, "usage: %s [wait in ms]\n", argv[0]);
        return 2;
    }
    QtPlatform platform;
    auto& loop = platform.loop();

    // Idle sockets being watched must cost nothing either.
    auto listener = platform.makeEndpoint();
    auto server = platform.makeEndpoint();
    auto client = platform.makeEndpoint();
    listener->onConnectionRequest = [&](std::int64_t id) { server->accept(id); };
    bool connected = false;
    client->onConnect = [&] { connected = true; };
    listener->setLocalPort(0);
    listener->listen();
    client->setRemoteHost("127.0.0.1");
    client->setRemotePort(listener->localPort());
    client->connect();
    loop.waitUntil([&] {
        return (connected && server->state() == Endpoint::Connected) || client->state() == Endpoint::Error;
    });
    if (client->state() != Endpoint::Connected) {
        std::fprintf(stderr, "could not connect over loopback\n");
        return 1;
    }

    auto deadline = platform.makeTimer();
    bool due = false;
    deadline->setInterval(waitMs);
    deadline->onTick = [&] {
        due = true;
        deadline->setEnabled(false);
    };

    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = std::chrono::steady_clock::now();
    deadline->setEnabled(true);
    loop.waitUntil([&] { return due; });
    const auto t1 = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &after);

    const double elapsedMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    const double usedMs = cpuMs(after) - cpuMs(before);
    std::printf("wait of %d ms: woke after %.1f ms, CPU used %.3f ms (goal: under 10 ms)\n", waitMs, elapsedMs,
                usedMs);
    client->close();
    server->close();
    listener->close();
    return usedMs < 10.0 ? 0 : 1;
}
