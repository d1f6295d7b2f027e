#pragma once
// A test fixture for whole sessions: the application on the fake platform,
// both jobs pointed at the scripted server, which holds a.jpg (3000 bytes)
// and b.jpg (1200 bytes). TEST_TRACE=1 prints the FTP dialogue.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_state.h"
#include "platform/files.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {

class SessionTest : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = std::string(3000, 'a');
        server.files["b.jpg"] = std::string(1200, 'b');
        start();
        fillJobs();
        w().Text8.setText("*.txt");
        if (std::getenv("TEST_TRACE"))
            app().trace = [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); };
    }
    // Runs one job; returns the program time it took.
    std::int64_t download() {
        const auto t0 = plat.nowMs();
        startDownloadNow(app());
        return plat.nowMs() - t0;
    }
    std::int64_t upload() {
        const auto t0 = plat.nowMs();
        startUploadNow(app());
        return plat.nowMs() - t0;
    }
    // Commands the server received that start with prefix.
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(server.commands.begin(), server.commands.end(),
                                              [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    }
    // Lines of a zone log (dl_file_size.log, fileupl.log) whose name field is
    // name and that say result.
    int lines(const std::string& log, const std::string& name, const std::string& result) {
        int n = 0;
        for (auto& l : platform::files::splitLines(dir.read(log))) {
            const std::size_t end = 28 + name.size();
            if (l.compare(28, name.size(), name) == 0 && l.size() > end && (l[end] == ' ' || l[end] == '\0') &&
                l.find(result) != std::string::npos)
                ++n;
        }
        return n;
    }

    FakeFtpServer server{plat};
};

}  // namespace corvantel::testing
