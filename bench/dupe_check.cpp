// The duplicate check over a long history: a listing of N names that were
// all fetched before (plus one new name) is walked by the download
// selection, with the history read from filename2.log as at start-up.
// Prints the CPU time taken; the bar is under 1 s for 100,000 names.
//
//   bench_dupe_check [N]

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/app_state.h"
#include "program/program.h"
#include "download/selection.h"
#include "download/session.h"
#include "platform/fake/fake_platform.h"
#include "platform/files.h"

namespace {

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvantel;
    const long n = argc > 1 ? std::atol(argv[1]) : 100000;
    char tmpl[] = "/tmp/corvantel-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 2;
    const std::string dir = tmpl;
    std::string history, listing;
    for (long i = 0; i < n; ++i) {
        std::string name = "file" + std::to_string(i) + ".jpg";
        history += name + "\r\n";
        listing += name + "\r\n";
    }
    listing += "new.jpg\r\n";
    platform::files::writeWhole(dir + "/filename2.log", history);

    platform::fake::FakePlatform plat;
    Program app(plat, dir);
    const double t0 = cpuSeconds();
    app.startUp();
    const double loaded = cpuSeconds();
    downloadSessions(app).downloadListing = listing;
    auto& d = downloadSession(app);
    d.downloadStep = 12;
    downloadSessions(app).downloadNameCursor = 1;
    int chosen = 0;
    for (;;) {
        d.downloadNextDue = true;
        if (!runStep(d.strand, app.loop, selectNextDownload(d))) break;
        ++chosen;
    }
    const double walked = cpuSeconds();
    std::filesystem::remove_all(dir);
    std::printf("names already fetched: %ld, chosen: %d (expected 1)\n", n, chosen);
    std::printf("read history: %.3f s CPU, checked listing: %.3f s CPU, total %.3f s (bar: under 1 s)\n",
                loaded - t0, walked - loaded, walked - t0);
    return chosen == 1 && walked - t0 < 1.0 ? 0 : 1;
}
