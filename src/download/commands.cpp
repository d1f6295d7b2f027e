#include "download/commands.h"

#include "app/app_state.h"
#include "download/session.h"
#include "app/text.h"
#include "download/dispatch.h"
#include "download/proof.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

// No data connection for the listing: the session fails as it does when a
// server answers the listing with 425.
static void listingConnectionFailed(DownloadSession& d) {
    if (d.downloadSocketError == 0) d.downloadSocketError = 1;
    d.downloadFailed = true;
}

// The files begin (after the listing's TYPE A has been answered).
static Task<> startFiles(DownloadSession& d);

Task<> downloadLoginStep(DownloadSession& d) {
    App& app = d.app;
    auto& w = app.w;
    if (co_await loginOpening(d)) co_return;
    // A command that finds the control connection down fails the session.
    auto send = [&](const std::string& text) {
        if (!d.send(text)) d.downloadFailed = true;
    };
    switch (d.downloadStep) {
        case 4:
            // A further connection takes files from the first's listing.
            if (d.helper) {
                co_await startFiles(d);
                break;
            }
            d.downloadStep = 5;
            send("TYPE A");
            d.downloadDataIsFile = false;
            break;
        case 5:
            d.downloadStep = 6;
            sendDataSetup(d);
            break;
        case 6: {
            const DataReady ready = co_await dataReady(d);
            if (ready == DataReady::Asked) break;
            if (ready == DataReady::No) {
                listingConnectionFailed(d);
                break;
            }
            downloadSessions(app).downloadListing.clear();
            w.fText5.setText("");
            d.downloadStep = 7;
            if (w.ai_nlst.checked())
                send(d.downloadListFallback ? "NLST" : "NLST " + w.Text7.text());
            else if (d.downloadListFallback)
                send("LIST");
            else
                send("LIST " + w.Text7.text() + " " + toUpperAscii(w.Text7.text()));
            break;
        }
        default:
            break;
    }
}

// Whether the listing received names at least one file.
static bool listingNamesFiles(App& app) {
    if (app.w.ai_nlst.checked()) {
        for (auto& name : platform::files::splitLines(downloadSessions(app).downloadListing))
            if (!namesNoFile(name)) return true;
        return false;
    }
    parseListListing(app, downloadSessions(app).downloadListing);
    return !downloadSessions(app).downloadEntries.empty();
}

// The files begin (after the listing's TYPE A has been answered). The data
// connection asked for here carries nothing: in passive mode (where a
// server may wait for it to be opened) and with quick waits none is asked
// for, and the first file starts at once.
static Task<> startFiles(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    if (!d.helper) startFurtherConnections(downloadSessions(app));
    d.stepCommandSent = false;
    d.downloadStep = 12;
    if (s.passiveMode || s.quickWaits) {
        const bool next = co_await selectNextDownload(d);
        if (next)
            co_await retrievalStep(d);
        else
            co_await finishListing(d);
        co_return;
    }
    sendDataSetup(d);
}

Task<> downloadListingStep(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    if (d.control.state() != Endpoint::Connected || d.downloadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!d.send(text)) d.downloadFailed = d.controlLost = true;
    };
    switch (d.downloadStep) {
        case 8:
            downloadSessions(app).downloadListingTime = app.plat.clock().utcSeconds();
        {
            // The listing's final reply has come; with quick waits its
            // quiet wait ends once the listing connection is over: opened
            // and closed (its 150 and 226 may come before the server has
            // connected), or never to come, for a refused listing.
            const bool refused = d.downloadReply.empty() || d.downloadReply[0] != '2';
            co_await sessionTimedWait(d, [&] {
                return d.downloadWaitSeconds >= 5 ||
                       (s.quickWaits && dataClosed(d) && (d.dataAccepted || refused));
            });
        }
            if (!d.downloadListFallback && !w.Text7.text().empty() && !listingNamesFiles(app)) {
                // Many servers take "LIST *.jpg *.JPG" as one pattern and
                // list nothing, and some refuse a pattern after NLST: ask
                // once more for the whole directory, and apply the pattern
                // here.
                d.downloadListFallback = true;
                d.downloadStep = 5;
                resetListener(d);
                send("TYPE A");
                d.downloadDataIsFile = false;
                break;
            }
            d.downloadStep = 9;
            resetListener(d);
            d.downloadDataIsFile = false;
            // With quick waits a TYPE that changes nothing is not sent.
            if (s.quickWaits && d.type == "TYPE A") {
                co_await startFiles(d);
                break;
            }
            send("TYPE A");
            break;
        case 9:
            co_await startFiles(d);
            break;
        case 10:
            d.downloadStep = 11;
            d.stepCommandSent = true;
            send("NLST gw*.dat");
            break;
        default:
            break;
    }
}

}  // namespace corvantel
