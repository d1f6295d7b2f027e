// The headless report: the summary line of each run and, on a terminal, the
// updating line of the file in flight.

#include "frontend/status_printer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "support/session_fixture.h"

namespace corvantel::testing {
namespace {

TEST(Report, ByteTexts) {
    const std::pair<std::int64_t, const char*> rows[] = {
        {0, "0 B"},           {999, "999 B"},     {1000, "1.0 kB"},      {4200, "4.2 kB"},
        {999949, "999.9 kB"}, {999950, "1.0 MB"}, {48200000, "48.2 MB"}, {1073741824, "1.1 GB"},
    };
    for (auto& [bytes, text] : rows) EXPECT_EQ(byteText(bytes), text) << bytes;
    RunSummary run{JobKind::Upload, 12, 1, 48200000, 3.1, false};
    EXPECT_EQ(summaryText(run), "upload: 12 passed, 1 failed, 48.2 MB in 3.1 s (15.5 MB/s)");
    run.sessionFailed = true;
    EXPECT_EQ(summaryText(run), "upload: 12 passed, 1 failed, 48.2 MB in 3.1 s (15.5 MB/s), session failed");
}

using ReportSession = SessionTest;

// Runs body with a printer of these options writing to memory, and puts
// what it printed in printed.
void printWhile(App& app, const PrinterOptions& options, const std::function<void()>& body, std::string& printed) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    {
        StatusPrinter printer(app, out, options);
        body();
    }
    std::fclose(out);
    printed.assign(text, size);
    std::free(text);
}

// A server's name that is not UTF-8 and holds an escape sequence is passed
// on in a valid JSON line, its bad byte replaced and the escape quoted.
TEST_F(ReportSession, JsonLinesStayValidWhateverTheServerSends) {
    PrinterOptions options;
    options.json = true;
    std::string printed;
    ASSERT_NO_FATAL_FAILURE(printWhile(
        app(), options,
        [&] { app().events.fileJudged({JobKind::Download, "a\xff\x1b[2J.jpg", false, -1, "server: 550 No"}); },
        printed));
    ASSERT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
    const auto e = nlohmann::json::parse(printed, nullptr, false);
    ASSERT_TRUE(e.is_object()) << printed;
    EXPECT_EQ(e["event"], "file");
    EXPECT_EQ(e["name"], "a\xef\xbf\xbd\x1b[2J.jpg");
    EXPECT_TRUE(e["size"].is_null());
    EXPECT_EQ(e["reason"], "server: 550 No");
}

// What a run's end says, from the events alone: a note is not a failure,
// a resumed file counts only the bytes that moved, numbers are rounded.
TEST_F(ReportSession, RunEndSaysWhatHappened) {
    struct Row {
        const char* name;
        std::int64_t from;  // a kept part's bytes (a resumed download)
        bool note, fileFails;
        const char* result;
        std::int64_t bytes, rate;
    };
    const Row rows[] = {
        {"plain", 0, false, false, "ok", 5000, 49020},
        {"note", 0, true, false, "ok", 5000, 49020},
        {"resumed", 3000, false, false, "ok", 2000, 19608},
        {"noteAndFailure", 0, true, true, "failed", 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        double now = 10.0;
        std::vector<RunSummary> runs;
        PrinterOptions options;
        options.json = true;
        options.seconds = [&] { return now; };
        options.runEnded = [&](const RunSummary& r) { runs.push_back(r); };
        std::string printed;
        ASSERT_NO_FATAL_FAILURE(printWhile(
            app(), options,
            [&] {
                auto& e = app().events;
                e.sessionStarted(JobKind::Download);
                e.fileStarted(JobKind::Download, "a.jpg", row.from);
                if (row.note) e.noteLogged(JobKind::Download, "Not Verified: the server offers no SIZE and no checksum");
                now = 10.102;
                e.fileJudged(
                    {JobKind::Download, "a.jpg", !row.fileFails, 5000, row.fileFails ? "checksum mismatch" : ""});
                e.sessionEnded(JobKind::Download);
            },
            printed));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].ok(), std::string(row.result) == "ok");
        EXPECT_EQ(runs[0].notes.size(), row.note ? 1u : 0u);
        // Printed as the decimal it is, not 0.10200000000000001.
        EXPECT_NE(printed.find("\"seconds\":0.102,"), std::string::npos) << printed;
        const std::string last = printed.substr(printed.rfind('\n', printed.size() - 2) + 1);
        const auto end = nlohmann::json::parse(last, nullptr, false);
        ASSERT_TRUE(end.is_object()) << printed;
        EXPECT_EQ(end["event"], "session-end");
        EXPECT_EQ(end["result"], row.result);
        EXPECT_EQ(end["bytes"], row.bytes);
        EXPECT_EQ(end["rate"], row.rate);
        ASSERT_TRUE(end["notes"].is_array());
        EXPECT_EQ(end["notes"].size(), row.note ? 1u : 0u);
        // The note is told as a note, never as an error.
        EXPECT_EQ(printed.find("\"event\":\"error\""), std::string::npos) << printed;
        EXPECT_EQ(printed.find("\"event\":\"note\"") != std::string::npos, row.note) << printed;
    }
}

// Whole runs: a verified download from a server that offers no proof notes
// it and is ok, as its exit status says; a resumed file counts only the
// bytes it fetched.
TEST_F(ReportSession, NotedAndResumedRunsAreOk) {
    std::FILE* out = std::fopen("/dev/null", "w");
    ASSERT_NE(out, nullptr);
    std::vector<RunSummary> runs;
    {
        PrinterOptions options;
        options.json = true;
        options.runEnded = [&](const RunSummary& r) { runs.push_back(r); };
        StatusPrinter printer(app(), out, options);
        server.features = {};
        w().ai_verify.onChoose();
        download();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_NE(dir.read("err_dload.log").find("Not Verified"), std::string::npos);
        EXPECT_EQ(runs[0].notes.size(), 1u);
        EXPECT_TRUE(runs[0].ok());
        EXPECT_EQ(runs[0].bytes, 4200);
        EXPECT_EQ(app().outcomeStatus(), 0);
        // A part of a.jpg kept from the same copy: 1234 bytes are there.
        server.features = {"SIZE", "MDTM"};
        server.mdtm["a.jpg"] = "20260101000000";
        server.files["a.jpg"][0] = 'A';  // another file: fetched again
        s().downloadDupeCheck = false;
        dir.write(".a.jpg.r3000-1767225600-Kept01.corvantel-part", server.files["a.jpg"].substr(0, 1234));
        w().ai_resume.onChoose();
        download();
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
        EXPECT_TRUE(runs[1].ok());
        EXPECT_EQ(runs[1].passed, 2);
        EXPECT_EQ(runs[1].bytes, 3000 - 1234 + 1200);
    }
    std::fclose(out);
}

// A whole download on the virtual clock, as a terminal shows it.
TEST_F(ReportSession, TerminalShowsProgressThenTheSummary) {
    std::vector<RunSummary> runs;
    PrinterOptions options;
    options.progress = true;
    options.seconds = [this] { return static_cast<double>(plat.nowMs()) / 1000; };
    options.runEnded = [&](const RunSummary& r) { runs.push_back(r); };
    std::string printed;
    ASSERT_NO_FATAL_FAILURE(printWhile(
        app(), options,
        [&] {
            const auto ms = download();
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_TRUE(runs[0].ok());
            EXPECT_EQ(runs[0].passed, 2);
            EXPECT_EQ(runs[0].bytes, 4200);
            EXPECT_DOUBLE_EQ(runs[0].seconds, static_cast<double>(ms) / 1000);
        },
        printed));
    EXPECT_NE(printed.find("\rdownload a.jpg: 3.0 kB of 3.0 kB (100%), "), std::string::npos) << printed;
    EXPECT_NE(printed.find("\rdownload b.jpg: 1.2 kB of 1.2 kB (100%)"), std::string::npos) << printed;
    // The line is cleared before the next status line; it is drawn at most
    // four times a second.
    EXPECT_NE(printed.find("\r\x1b[K2026/"), std::string::npos) << printed;
    EXPECT_LE(std::count(printed.begin(), printed.end(), '\r'), 4 * runs[0].seconds + 4) << printed;
    EXPECT_EQ(summaryText(runs[0]).rfind("download: 2 passed, 0 failed, 4.2 kB in ", 0), 0u);
    EXPECT_NE(printed.find(" AM " + summaryText(runs[0]) + "\n"), std::string::npos) << printed;
}

// Over two connections the job's totals lead the line: files judged, the
// bytes of those that passed, files in flight.
TEST_F(ReportSession, TerminalShowsTheJobsTotalsWithMoreConnections) {
    PrinterOptions options;
    options.progress = true;
    options.seconds = [this] { return static_cast<double>(plat.nowMs()) / 1000; };
    s().parallelConnections = 2;
    server.maxConnections = 2;
    std::string printed;
    ASSERT_NO_FATAL_FAILURE(printWhile(app(), options, [&] { download(); }, printed));
    // (Both files start before either is judged.)
    EXPECT_NE(printed.find("\rdownload (0 done, 0 B; 2 in flight) b.jpg: "), std::string::npos) << printed;
    EXPECT_NE(printed.find("\rdownload (1 done, 3.0 kB; 1 in flight) b.jpg: 1.2 kB of 1.2 kB"), std::string::npos)
        << printed;
}

}  // namespace
}  // namespace corvantel::testing
