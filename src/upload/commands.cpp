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

bool uploadPassiveReady(UploadSession& u) {
    App& app = u.app;
    return !app.s.passiveMode || u.data.state() == Endpoint::Connected;
}

Task<> uploadLoginStep(UploadSession& u) {
    App& app = u.app;
    auto& w = app.w;
    if (co_await loginOpening(u)) co_return;
    auto send = [&](const std::string& text) {
        if (!u.send(text)) u.uploadFailed = true;
    };
    switch (u.uploadStep) {
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
            sendDataSetup(u);
            break;
        case 6: {
            const DataReady ready = co_await dataReady(u);
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
            resetListener(u);
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
            sendDataSetup(u);
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
