#include "download/commands.h"

#include "app/app_state.h"
#include "app/text.h"
#include "download/dispatch.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

void resetDownloadListener(App& app) {
    auto& l = *app.w.ftpclient2;
    if (l.state() != Endpoint::Closed) l.close();
    app.loop.waitUntil([&] { return l.state() == Endpoint::Closed; });
    app.s.downloadDataAccepted = false;
    if (l.state() != Endpoint::Listening) listenForData(l, *app.w.ftpclient1);
}

void listenForData(Endpoint& listener, const Endpoint& control) {
    // Only the interface the server talks to us on: the data port is not
    // offered to every network the machine is on.
    listener.setLocalHost(control.state() == Endpoint::Connected ? control.localIP() : std::string());
    listener.setLocalPort(0);
    listener.listen();
}

std::string portArgument(const std::string& localIP, std::int32_t port) {
    std::string parts[4];
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t dot = localIP.find('.', start);
        if (dot == std::string::npos) {
            parts[i] = localIP.substr(start);
            start = localIP.size();
            continue;
        }
        parts[i] = localIP.substr(start, dot - start);
        start = dot + 1;
    }
    parts[3] = trimBlanks(start < localIP.size() ? localIP.substr(start) : std::string());
    return parts[0] + "," + parts[1] + "," + parts[2] + "," + parts[3] + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256);
}

std::string buildPortArgument(App& app) {
    app.s.dataListenPort = app.w.ftpclient2->localPort();
    return portArgument(app.w.ftpclient1->localIP(), app.s.dataListenPort);
}

void downloadLoginStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.sessionAborting = false;
    if (w.ftpclient1->state() != Endpoint::Connected || s.downloadFailed) return;
    // A command that finds the control connection down fails the session.
    auto send = [&](const std::string& text) {
        if (!sendDownloadCommand(app, text)) s.downloadFailed = true;
    };
    switch (s.downloadStep) {
        case 0:
            s.stepCommandSent = false;
            s.downloadStep = 1;
            resetDownloadListener(app);
            send("USER " + w.fText3.text());
            break;
        case 1:
            s.downloadStep = 2;
            send("PASS " + w.fText4.text());
            break;
        case 2: {
            s.downloadFailed = false;
            const std::string r = toLowerAscii(s.downloadReply);
            bool refused = false;
            for (const char* word : {"denied", "530", "incorrect", "invalid"})
                if (r.find(word) != std::string::npos) refused = true;
            if (refused) {
                s.downloadFailed = true;
                s.downloadTarget = "done";
            } else {
                s.downloadStep = 3;
                send("CWD " + w.Text2.text());
            }
            break;
        }
        case 3:
            if (s.stepCommandSent) break;
            s.stepCommandSent = true;
            send("PWD");
            break;
        case 4:
            s.downloadStep = 5;
            send("TYPE A");
            s.downloadDataIsFile = false;
            break;
        case 5:
            s.downloadStep = 6;
            s.downloadPortArgument = buildPortArgument(app);
            send("PORT " + s.downloadPortArgument);
            break;
        case 6:
            w.fText5.setText("");
            s.downloadStep = 7;
            if (w.ai_nlst.checked())
                send(s.downloadListFallback ? "NLST" : "NLST " + w.Text7.text());
            else if (s.downloadListFallback)
                send("LIST");
            else
                send("LIST " + w.Text7.text() + " " + toUpperAscii(w.Text7.text()));
            break;
        default:
            break;
    }
}

// Whether the listing received names at least one file.
static bool listingNamesFiles(App& app) {
    if (app.w.ai_nlst.checked()) {
        for (auto& name : platform::files::splitLines(app.w.fText5.text()))
            if (!namesNoFile(name)) return true;
        return false;
    }
    parseListListing(app, app.w.fText5.text());
    return app.w.Combo1.count() > 0;
}

void downloadListingStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (w.ftpclient1->state() != Endpoint::Connected || s.downloadFailed) return;
    auto send = [&](const std::string& text) {
        if (!sendDownloadCommand(app, text)) s.downloadFailed = s.downloadControlLost = true;
    };
    switch (s.downloadStep) {
        case 8:
            // The listing's final reply has come; with quick waits its
            // quiet wait ends once the listing connection is over.
            downloadTimedWait(app,
                              [&] { return s.downloadWaitSeconds >= 5 || (s.quickWaits && downloadDataClosed(app)); });
            if (!s.downloadListFallback && !w.Text7.text().empty() && !listingNamesFiles(app)) {
                // Many servers take "LIST *.jpg *.JPG" as one pattern and
                // list nothing, and some refuse a pattern after NLST: ask
                // once more for the whole directory, and apply the pattern
                // here.
                s.downloadListFallback = true;
                s.downloadStep = 5;
                resetDownloadListener(app);
                send("TYPE A");
                s.downloadDataIsFile = false;
                break;
            }
            s.downloadStep = 9;
            resetDownloadListener(app);
            send("TYPE A");
            s.downloadDataIsFile = false;
            break;
        case 9:
            s.stepCommandSent = false;
            s.downloadStep = 12;
            s.downloadPortArgument = buildPortArgument(app);
            send("PORT " + s.downloadPortArgument);
            break;
        case 10:
            s.downloadStep = 11;
            s.stepCommandSent = true;
            send("NLST gw*.dat");
            break;
        default:
            break;
    }
}

}  // namespace corvantel
