#include "upload/commands.h"

#include "app/app_state.h"
#include "app/text.h"
#include "download/commands.h"
#include "app/waits.h"
#include "upload/dispatch.h"

namespace corvantel {

using platform::Endpoint;

void reopenUploadListener(App& app) {
    auto& l = *app.w.ftpclient3;
    if (l.state() != Endpoint::Closed) l.close();
    app.loop.waitUntil([&] { return l.state() == Endpoint::Closed; });
    if (l.state() != Endpoint::Listening) listenForData(l, *app.w.ftpclient1a);
}

std::string buildUploadPortArgument(App& app) {
    app.s.dataListenPort = app.w.ftpclient3->localPort();
    return portArgument(app.w.ftpclient1a->localIP(), app.s.dataListenPort);
}

void uploadLoginStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.sessionAborting = false;
    if (w.ftpclient1a->state() != Endpoint::Connected || s.uploadFailed) return;
    auto send = [&](const std::string& text) {
        if (!sendUploadCommand(app, text)) s.uploadFailed = true;
    };
    switch (s.uploadStep) {
        case 0:
            s.uploadPwdSent = false;
            s.uploadStep = 1;
            reopenUploadListener(app);
            send("USER " + w.Text4.text());
            break;
        case 1:
            s.uploadStep = 2;
            send("PASS " + w.Text5.text());
            break;
        case 2: {
            const std::string r = toLowerAscii(s.uploadReply);
            bool refused = false;
            for (const char* word : {"denied", "530", "incorrect", "invalid"})
                if (r.find(word) != std::string::npos) refused = true;
            if (refused) {
                s.uploadFailed = true;
            } else {
                ++s.uploadStep;
                send("CWD " + w.Text6.text());
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
            s.uploadPortArgument = buildUploadPortArgument(app);
            send("PORT " + s.uploadPortArgument);
            break;
        case 6:
            s.uploadStep = 7;
            send((w.ai_nlst.checked() ? "NLST " : "LIST ") + w.Text8.text());
            break;
        default:
            break;
    }
}

void uploadListingStep(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    if (w.ftpclient1a->state() != Endpoint::Connected || s.uploadFailed) return;
    auto send = [&](const std::string& text) {
        if (!sendUploadCommand(app, text)) s.uploadFailed = s.uploadControlLost = true;
    };
    switch (s.uploadStep) {
        case 8:
            uploadTimedWait(app, [&] { return s.uploadWaitSeconds >= 5 || (s.quickWaits && uploadDataClosed(app)); });
            s.uploadStep = 9;
            reopenUploadListener(app);
            send("TYPE A");
            s.uploadTransferPhase = false;
            break;
        case 9:
            s.uploadStep = 12;
            s.uploadPortArgument = buildUploadPortArgument(app);
            send("PORT " + s.uploadPortArgument);
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
