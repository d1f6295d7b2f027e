#include "upload/commands.h"

#include "app/app_state.h"
#include "upload/session.h"
#include "app/text.h"
#include "app/data_setup.h"
#include "app/waits.h"
#include "upload/dispatch.h"
#include "upload/proof.h"

namespace corvantel {

using platform::Endpoint;

void reopenUploadListener(UploadSession& u) {
    App& app = u.app; resetDataEndpoint(app, dataJob(u)); }

void sendUploadDataSetup(UploadSession& u) {
    App& app = u.app;
    const auto job = dataJob(u);
    job.send(dataSetupCommand(app, job, u.uploadPortArgument));
}

Task<DataReady> uploadDataReady(UploadSession& u) {
    App& app = u.app;
    return takeSetupAnswer(app, dataJob(u), u.answered, u.uploadReply);
}

bool uploadPassiveReady(UploadSession& u) {
    App& app = u.app;
    return !app.s.passiveMode || u.data.state() == Endpoint::Connected;
}

// The login has gone through: with proven transfers the server is asked
// what it offers, then the session goes to its directory.
static Task<> afterLogin(UploadSession& u) {
    App& app = u.app;
    ++u.uploadStep;
    if (uploadProofWanted(app)) {
        u.proof = co_await askProofSession(controlJob(u));
        if (sessionEnding(u) || u.uploadFailed) co_return;
    }
    if (!u.send("CWD " + app.w.Text6.text())) u.uploadFailed = true;
}

// In: on with FTPS's PBSZ and PROT, or straight to the directory.
static Task<> loggedIn(UploadSession& u) {
    App& app = u.app;
    if (tlsAfterLogin(app, tlsJob(u), u.uploadReply) == TlsStep::Proceed) co_await afterLogin(u);
}

Task<> uploadLoginStep(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    auto& w = app.w;
    s.sessionAborting = false;
    if (u.control.state() != Endpoint::Connected || u.uploadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!u.send(text)) u.uploadFailed = true;
    };
    switch (u.uploadStep) {
        case 0:
            if (auto t = tlsBeforeLogin(app, tlsJob(u), u.uploadReply); t != TlsStep::Proceed) {
                if (t == TlsStep::Failed) u.uploadFailed = true;
                break;
            }
            u.uploadPwdSent = false;
            u.uploadStep = 1;
            reopenUploadListener(u);
            send("USER " + w.Text4.text());
            break;
        case 1:
            u.uploadStep = 2;
            switch (loginReply(u.uploadReply, true)) {
                case LoginReply::NeedPassword: send("PASS " + w.Text5.text()); break;
                case LoginReply::LoggedIn: co_await loggedIn(u); break;
                case LoginReply::Refused: u.uploadFailed = true; break;
                case LoginReply::Unavailable: u.uploadFailed = u.controlLost = true; break;
            }
            break;
        case 2: {
            if (u.tlsPhase == TlsPhase::PbszSent || u.tlsPhase == TlsPhase::ProtSent) {
                auto t = tlsAfterLogin(app, tlsJob(u), u.uploadReply);
                if (t == TlsStep::Failed) u.uploadFailed = true;
                if (t != TlsStep::Proceed) break;
                co_await afterLogin(u);
                break;
            }
            switch (loginReply(u.uploadReply, false)) {
                case LoginReply::LoggedIn: co_await loggedIn(u); break;
                case LoginReply::Unavailable: u.uploadFailed = u.controlLost = true; break;
                default: u.uploadFailed = true; break;
            }
            break;
        }
        case 3:
            if (u.uploadPwdSent) break;
            u.uploadPwdSent = true;
            send("PWD");
            break;
        case 4:
            // A further connection sends from the first's list of files.
            if (u.helper) {
                u.uploadStep = 12;
                break;
            }
            u.uploadStep = 5;
            send("TYPE A");
            u.uploadTransferPhase = false;
            break;
        case 5:
            u.uploadStep = 6;
            sendUploadDataSetup(u);
            break;
        case 6: {
            const DataReady ready = co_await uploadDataReady(u);
            if (ready == DataReady::Asked) break;
            if (ready == DataReady::No) {
                // No data connection for the listing: as a 425 answer.
                if (u.uploadSocketError == 0) u.uploadSocketError = 1;
                u.uploadFailed = true;
                break;
            }
            u.uploadStep = 7;
            send((w.ai_nlst.checked() ? "NLST " : "LIST ") + w.Text8.text());
            break;
        }
        default:
            break;
    }
}

Task<> uploadListingStep(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    if (u.control.state() != Endpoint::Connected || u.uploadFailed) co_return;
    auto send = [&](const std::string& text) {
        if (!u.send(text)) u.uploadFailed = u.controlLost = true;
    };
    switch (u.uploadStep) {
        case 8:
            co_await sessionTimedWait(u,
                                     [&] { return u.uploadWaitSeconds >= 5 || (s.quickWaits && dataClosed(u)); });
            u.uploadStep = 9;
            reopenUploadListener(u);
            u.uploadTransferPhase = false;
            // With quick waits: no TYPE that changes nothing, and no data
            // connection that nothing uses; the files begin.
            if (s.quickWaits && u.type == "TYPE A") {
                u.uploadStep = 12;
                break;
            }
            send("TYPE A");
            break;
        case 9:
            u.uploadStep = 12;
            // No data connection that nothing uses (see the download job).
            if (s.passiveMode || s.quickWaits) break;
            sendUploadDataSetup(u);
            break;
        case 10:
            u.uploadStep = 11;
            send("NLST gw*.dat");
            break;
        default:
            break;
    }
}

}  // namespace corvantel
