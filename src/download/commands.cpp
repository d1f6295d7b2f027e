#include "download/commands.h"

#include "app/app_state.h"
#include "app/text.h"
#include "download/dispatch.h"
#include "download/proof.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

void resetDownloadListener(App& app) {
    resetDataEndpoint(app, downloadDataJob(app));
    app.s.downloadDataAccepted = false;
}

void sendDownloadDataSetup(App& app) {
    const auto job = downloadDataJob(app);
    job.send(dataSetupCommand(app, job, app.s.downloadPortArgument));
}

Task<DataReady> downloadDataReady(App& app) {
    const DataReady ready =
        co_await takeSetupAnswer(app, downloadDataJob(app), app.s.downloadAnswered, app.s.downloadReply);
    if (app.s.passiveMode && ready != DataReady::Asked) app.s.downloadDataAccepted = ready == DataReady::Yes;
    co_return ready;
}

// No data connection for the listing: the session fails as it does when a
// server answers the listing with 425.
static void listingConnectionFailed(App& app) {
    auto& s = app.s;
    if (s.downloadSocketError == 0) s.downloadSocketError = 1;
    s.downloadFailed = true;
}

// The login has gone through: with proven transfers the server is asked
// what it offers, then the session goes to its directory.
static Task<> afterLogin(App& app) {
    auto& s = app.s;
    s.downloadStep = 3;
    if (downloadProofWanted(app)) {
        s.downloadProof = co_await askProofSession(downloadControlJob(app));
        if (downloadSessionEnding(app) || s.downloadFailed) co_return;
    }
    if (!sendDownloadCommand(app, "CWD " + app.w.Text2.text())) s.downloadFailed = true;
}

// In: on with FTPS's PBSZ and PROT, or straight to the directory.
static Task<> loggedIn(App& app) {
    if (tlsAfterLogin(app, downloadTlsJob(app), app.s.downloadReply) == TlsStep::Proceed) co_await afterLogin(app);
}

static void loginRefused(App& app) {
    auto& s = app.s;
    s.downloadFailed = true;
    s.downloadTarget = "done";
    s.downloadOver = true;
}

Task<> downloadLoginStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.sessionAborting = false;
    if (w.ftpclient1->state() != Endpoint::Connected || s.downloadFailed) co_return;
    // A command that finds the control connection down fails the session.
    auto send = [&](const std::string& text) {
        if (!sendDownloadCommand(app, text)) s.downloadFailed = true;
    };
    switch (s.downloadStep) {
        case 0:
            // With FTPS the greeting is answered by AUTH TLS, and USER goes
            // out once the control connection is secure.
            if (auto t = tlsBeforeLogin(app, downloadTlsJob(app), s.downloadReply); t != TlsStep::Proceed) {
                if (t == TlsStep::Failed) s.downloadFailed = true;
                break;
            }
            s.stepCommandSent = false;
            s.downloadStep = 1;
            resetDownloadListener(app);
            send("USER " + w.fText3.text());
            break;
        case 1:
            s.downloadStep = 2;
            switch (loginReply(s.downloadReply, true)) {
                case LoginReply::NeedPassword: send("PASS " + w.fText4.text()); break;
                case LoginReply::LoggedIn: co_await loggedIn(app); break;
                case LoginReply::Refused: loginRefused(app); break;
                case LoginReply::Unavailable: s.downloadFailed = s.downloadControlLost = true; break;
            }
            break;
        case 2: {
            if (s.downloadTlsPhase == TlsPhase::PbszSent || s.downloadTlsPhase == TlsPhase::ProtSent) {
                // The answers to PBSZ and PROT: once both are in, CWD.
                auto t = tlsAfterLogin(app, downloadTlsJob(app), s.downloadReply);
                if (t == TlsStep::Failed) s.downloadFailed = true;
                if (t != TlsStep::Proceed) break;
                co_await afterLogin(app);
                break;
            }
            s.downloadFailed = false;
            switch (loginReply(s.downloadReply, false)) {
                case LoginReply::LoggedIn: co_await loggedIn(app); break;
                case LoginReply::Unavailable: s.downloadFailed = s.downloadControlLost = true; break;
                default: loginRefused(app); break;
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
            sendDownloadDataSetup(app);
            break;
        case 6: {
            const DataReady ready = co_await downloadDataReady(app);
            if (ready == DataReady::Asked) break;
            if (ready == DataReady::No) {
                listingConnectionFailed(app);
                break;
            }
            w.fText5.setText("");
            s.downloadStep = 7;
            if (w.ai_nlst.checked())
                send(s.downloadListFallback ? "NLST" : "NLST " + w.Text7.text());
            else if (s.downloadListFallback)
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
        for (auto& name : platform::files::splitLines(app.w.fText5.text()))
            if (!namesNoFile(name)) return true;
        return false;
    }
    parseListListing(app, app.w.fText5.text());
    return app.w.Combo1.count() > 0;
}

// The files begin (after the listing's TYPE A has been answered). The data
// connection asked for here carries nothing: in passive mode (where a
// server may wait for it to be opened) and with quick waits none is asked
// for, and the first file starts at once.
static Task<> startFiles(App& app) {
    auto& s = app.s;
    s.stepCommandSent = false;
    s.downloadStep = 12;
    if (s.passiveMode || s.quickWaits) {
        const bool next = co_await selectNextDownload(app);
        if (next)
            co_await retrievalStep(app);
        else
            co_await finishListing(app);
        co_return;
    }
    sendDownloadDataSetup(app);
}

Task<> downloadListingStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (w.ftpclient1->state() != Endpoint::Connected || s.downloadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!sendDownloadCommand(app, text)) s.downloadFailed = s.downloadControlLost = true;
    };
    switch (s.downloadStep) {
        case 8:
            s.downloadListingTime = app.plat.clock().utcSeconds();
        {
            // The listing's final reply has come; with quick waits its
            // quiet wait ends once the listing connection is over: opened
            // and closed (its 150 and 226 may come before the server has
            // connected), or never to come, for a refused listing.
            const bool refused = s.downloadReply.empty() || s.downloadReply[0] != '2';
            co_await downloadTimedWait(app, [&] {
                return s.downloadWaitSeconds >= 5 ||
                       (s.quickWaits && downloadDataClosed(app) && (s.downloadDataAccepted || refused));
            });
        }
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
            s.downloadDataIsFile = false;
            // With quick waits a TYPE that changes nothing is not sent.
            if (s.quickWaits && s.downloadType == "TYPE A") {
                co_await startFiles(app);
                break;
            }
            send("TYPE A");
            break;
        case 9:
            co_await startFiles(app);
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
