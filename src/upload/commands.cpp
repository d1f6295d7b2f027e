#include "upload/commands.h"

#include "app/app_state.h"
#include "app/text.h"
#include "app/data_setup.h"
#include "app/waits.h"
#include "upload/dispatch.h"
#include "upload/proof.h"

namespace corvantel {

using platform::Endpoint;

void reopenUploadListener(App& app) { resetDataEndpoint(app, uploadDataJob(app)); }

void sendUploadDataSetup(App& app) {
    const auto job = uploadDataJob(app);
    job.send(dataSetupCommand(app, job, app.s.uploadPortArgument));
}

Task<DataReady> uploadDataReady(App& app) {
    return takeSetupAnswer(app, uploadDataJob(app), app.s.uploadAnswered, app.s.uploadReply);
}

bool uploadPassiveReady(App& app) {
    return !app.s.passiveMode || app.w.ftpclient3->state() == Endpoint::Connected;
}

// The login has gone through: with proven transfers the server is asked
// what it offers, then the session goes to its directory.
static Task<> afterLogin(App& app) {
    auto& s = app.s;
    ++s.uploadStep;
    if (uploadProofWanted(app)) {
        s.uploadProof = co_await askProofSession(uploadControlJob(app));
        if (uploadSessionEnding(app) || s.uploadFailed) co_return;
    }
    if (!sendUploadCommand(app, "CWD " + app.w.Text6.text())) s.uploadFailed = true;
}

// In: on with FTPS's PBSZ and PROT, or straight to the directory.
static Task<> loggedIn(App& app) {
    if (tlsAfterLogin(app, uploadTlsJob(app), app.s.uploadReply) == TlsStep::Proceed) co_await afterLogin(app);
}

Task<> uploadLoginStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.sessionAborting = false;
    if (w.ftpclient1a->state() != Endpoint::Connected || s.uploadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!sendUploadCommand(app, text)) s.uploadFailed = true;
    };
    switch (s.uploadStep) {
        case 0:
            if (auto t = tlsBeforeLogin(app, uploadTlsJob(app), s.uploadReply); t != TlsStep::Proceed) {
                if (t == TlsStep::Failed) s.uploadFailed = true;
                break;
            }
            s.uploadPwdSent = false;
            s.uploadStep = 1;
            reopenUploadListener(app);
            send("USER " + w.Text4.text());
            break;
        case 1:
            s.uploadStep = 2;
            switch (loginReply(s.uploadReply, true)) {
                case LoginReply::NeedPassword: send("PASS " + w.Text5.text()); break;
                case LoginReply::LoggedIn: co_await loggedIn(app); break;
                case LoginReply::Refused: s.uploadFailed = true; break;
                case LoginReply::Unavailable: s.uploadFailed = s.uploadControlLost = true; break;
            }
            break;
        case 2: {
            if (s.uploadTlsPhase == TlsPhase::PbszSent || s.uploadTlsPhase == TlsPhase::ProtSent) {
                auto t = tlsAfterLogin(app, uploadTlsJob(app), s.uploadReply);
                if (t == TlsStep::Failed) s.uploadFailed = true;
                if (t != TlsStep::Proceed) break;
                co_await afterLogin(app);
                break;
            }
            switch (loginReply(s.uploadReply, false)) {
                case LoginReply::LoggedIn: co_await loggedIn(app); break;
                case LoginReply::Unavailable: s.uploadFailed = s.uploadControlLost = true; break;
                default: s.uploadFailed = true; break;
            }
            break;
        }
        case 3:
            if (s.uploadPwdSent) break;
            s.uploadPwdSent = true;
            send("PWD");
            break;
        case 4:
            s.uploadStep = 5;
            send("TYPE A");
            s.uploadTransferPhase = false;
            break;
        case 5:
            s.uploadStep = 6;
            sendUploadDataSetup(app);
            break;
        case 6: {
            const DataReady ready = co_await uploadDataReady(app);
            if (ready == DataReady::Asked) break;
            if (ready == DataReady::No) {
                // No data connection for the listing: as a 425 answer.
                if (s.uploadSocketError == 0) s.uploadSocketError = 1;
                s.uploadFailed = true;
                break;
            }
            s.uploadStep = 7;
            send((w.ai_nlst.checked() ? "NLST " : "LIST ") + w.Text8.text());
            break;
        }
        default:
            break;
    }
}

Task<> uploadListingStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (w.ftpclient1a->state() != Endpoint::Connected || s.uploadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!sendUploadCommand(app, text)) s.uploadFailed = s.uploadControlLost = true;
    };
    switch (s.uploadStep) {
        case 8:
            co_await uploadTimedWait(app,
                                     [&] { return s.uploadWaitSeconds >= 5 || (s.quickWaits && uploadDataClosed(app)); });
            s.uploadStep = 9;
            reopenUploadListener(app);
            s.uploadTransferPhase = false;
            // With quick waits: no TYPE that changes nothing, and no data
            // connection that nothing uses; the files begin.
            if (s.quickWaits && s.uploadType == "TYPE A") {
                s.uploadStep = 12;
                break;
            }
            send("TYPE A");
            break;
        case 9:
            s.uploadStep = 12;
            // No data connection that nothing uses (see the download job).
            if (s.passiveMode || s.quickWaits) break;
            sendUploadDataSetup(app);
            break;
        case 10:
            s.uploadStep = 11;
            send("NLST gw*.dat");
            break;
        default:
            break;
    }
}

}  // namespace corvantel
