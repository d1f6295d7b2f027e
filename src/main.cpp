// corvantel: the desktop window, or with --headless the same engine with its
// status printed on standard output.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "app/app_state.h"
#include "program/program.h"
#include "frontend/options.h"
#include "frontend/session_hook.h"
#include "frontend/status_printer.h"
#include "gui/main_window.h"
#include "platform/files.h"
#include "platform/qt/qt_platform.h"
#include "schedule/schedule.h"

using namespace corvantel;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    char c = 1;
    [[maybe_unused]] auto r = ::write(signalPipe[1], &c, 1);
}

// SIGTERM and SIGINT close the program as "eXit Now!" does.
void installSignalHandlers(App& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [&app] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        app.chooseExitNow(0);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = parseOptions(args, error);
    if (!options) {
        std::fprintf(stderr, "corvantel: %s\n", error.c_str());
        return 2;
    }
    for (auto& w : options->warnings) std::fprintf(stderr, "corvantel: warning: %s\n", w.c_str());
    if (options->help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::fputs(versionText().c_str(), stdout);
        return 0;
    }

    std::unique_ptr<QCoreApplication> qapp = options->headless ? std::make_unique<QCoreApplication>(argc, argv)
                                                               : gui::makeApplication(argc, argv);
    platform::qt::QtPlatform platform(platform::qt::QtPlatform::timeScaleFromEnvironment());
    Program app(platform, platform::files::currentDirectory());

    std::unique_ptr<StatusPrinter> printer;
    std::unique_ptr<gui::MainWindow> window;
    if (options->headless) {
        PrinterOptions report;
        report.json = options->json;
        // The updating progress line is for a person at a terminal, never
        // for a file, a pipe or the journal.
        report.progress = ::isatty(STDOUT_FILENO) == 1;
        if (!options->onSession.empty())
            report.runEnded = [command = options->onSession](const RunSummary& run) {
                std::string error;
                if (!startSessionHook(command, run, error)) std::fprintf(stderr, "corvantel: %s\n", error.c_str());
            };
        printer = std::make_unique<StatusPrinter>(app, stdout, std::move(report));
    }
    else
        window = std::make_unique<gui::MainWindow>(app);

    if (const char* t = std::getenv("CORVANTEL_TRACE"); t && *t && std::string(t) != "0")
        app.trace = [](const std::string& line) {
            // Real seconds (not program time), so a trace also times the dialogue.
            timespec ts{};
            ::clock_gettime(CLOCK_REALTIME, &ts);
            std::fprintf(stderr, "%lld.%06ld %s\n", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000, line.c_str());
        };
    app.startUp();
    applyOptions(app, *options);
    guardSecrets(app, *options);
    installSignalHandlers(app);

    const Options opts = *options;
    if (opts.once) {
        app.onJobFinished = [&app, opts] {
            if (!onceSatisfied(app, opts)) return;
            // Close from the top of the loop, once the job's handler has returned.
            app.loop.post([&app] { app.requestClose(app.outcomeStatus()); });
        };
    }
    if (!opts.runNow.empty()) {
        app.loop.post([&app, opts] {
            for (auto& job : opts.runNow) {
                if (job == "download")
                    startDownloadNow(app);
                else
                    startUploadNow(app);
            }
        });
    } else if (opts.once && !opts.armDownload && !opts.armUpload) {
        app.loop.post([&app] { app.requestClose(app.outcomeStatus()); });
    }
    if (window) window->show();
    return qapp->exec();
}
