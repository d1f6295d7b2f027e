#include "targets.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/app_state.h"
#include "program/program.h"
#include "app/settings.h"
#include "app/text.h"
#include "app/ftp_reply.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "download/session.h"
#include "platform/fake/fake_platform.h"
#include "platform/files.h"
#include "schedule/schedule.h"

namespace corvantel::fuzz {

namespace {

// One scratch directory per process, emptied for each input.
const std::string& scratch() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "corvantel-fuzz-XXXXXX").string();
        char* p = ::mkdtemp(tmpl.data());
        return std::string(p ? p : "/tmp");
    }();
    return dir;
}

void clearScratch() {
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(scratch(), ec)) std::filesystem::remove_all(e.path(), ec);
}

}  // namespace

void settingsFiles(const std::uint8_t* data, std::size_t size) {
    clearScratch();
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The first half is the settings file, the rest the work path file.
    const std::size_t cut = text.size() / 2;
    platform::files::writeWhole(scratch() + "/values.log", text.substr(0, cut));
    platform::files::writeWhole(scratch() + "/pather.log", text.substr(cut));
    platform::fake::FakePlatform plat;
    Program app(plat, scratch());
    app.startUp();
    for (auto* f : {&app.w.fText4, &app.w.Text5}) {
        auto stored = encodePassword(f->text(), "bob");
        if (stored) {
            auto back = decodePassword(*stored, "bob");
            if (!back || *back != f->text()) std::abort();  // every stored form reads back
        }
    }
    try {
        app.chooseExitNow();
    } catch (const platform::fake::ProgramEnded&) {
    }
    FieldReader reader(text);
    for (int i = 0; i < 100000 && reader.next(); ++i) {
    }
}

void controlReplies(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ReplyAssembler a;
    // Fed in two pieces, as a network may split it.
    a.feed(text.substr(0, text.size() / 3));
    a.feed(text.substr(text.size() / 3));
    while (auto r = a.next()) {
        if (r->size() > ReplyAssembler::maxReplyBytes + ReplyAssembler::maxLineBytes + 4) std::abort();
        (void)replyCode(*r);
        std::int64_t size = sizeFromRetrReply(*r, false);
        if (size < -1) std::abort();
        (void)sizeFromRetrReply(*r, true);
    }
    // The same bytes as a whole dialogue: a server that answers every
    // command with the next piece of the input.
    clearScratch();
    platform::fake::FakePlatform plat;
    plat.eventLimit = 200000;
    std::size_t pos = 0;
    std::shared_ptr<platform::fake::Peer> control;
    plat.addServer(21, [&](std::shared_ptr<platform::fake::Peer> peer) {
        control = peer;
        auto answer = [&, p = peer.get()] {
            p->takeReceived();
            if (pos >= text.size()) return;
            std::size_t end = text.find('\n', pos);
            end = end == std::string::npos ? text.size() : end + 1;
            p->send(text.substr(pos, end - pos));
            pos = end;
        };
        peer->onReceive = answer;
        answer();
    });
    Program app(plat, scratch());
    app.startUp();
    app.w.Text1.setText("127.0.0.1");
    app.w.Text7.setText("*");
    try {
        startDownloadNow(app);
    } catch (const platform::fake::Stuck&) {
        // An input that keeps the session busy past the event limit is
        // fine; a crash or a sanitizer report is not.
    }
}

void listing(const std::uint8_t* data, std::size_t size) {
    clearScratch();
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::fake::FakePlatform plat;
    Program app(plat, scratch());
    auto& d = downloadSession(app);
    d.downloadStep = 12;
    auto& job = downloadSessions(app);
    job.downloadListing = text;
    job.downloadNameCursor = 1;
    job.downloadedNames.add(text.substr(0, text.size() / 4));
    for (int i = 0; i < 100000; ++i) {
        d.downloadNextDue = true;
        if (!selectNextNlstName(d)) break;
        (void)safeLocalName(d.downloadTarget);
    }
    parseListListing(app, text);
    (void)patternToken(text.substr(0, 64));
}

void numeric(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool n = isNumeric(text);
    double v = numericValue(text);
    if (!n && v != 0.0) std::abort();
    (void)wholeValue(text);
}

bool run(const std::string& name, const std::uint8_t* data, std::size_t size) {
    if (name == "settings")
        settingsFiles(data, size);
    else if (name == "replies")
        controlReplies(data, size);
    else if (name == "listing")
        listing(data, size);
    else if (name == "numeric")
        numeric(data, size);
    else
        return false;
    return true;
}

}  // namespace corvantel::fuzz
