#include "upload/session.h"

#include "app/waits.h"
#include "upload/dispatch.h"

namespace corvantel {

void UploadSessions::poll() {
    // As the download job's: polled again while any session went on.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < all.size(); ++i) again = all[i]->strand.poll() || again;
    }
}

UploadSessions& uploadSessions(App& app) { return static_cast<UploadSessions&>(*app.uploadSessions); }

void resetUploadDialogue(UploadSession& u) {
    resetControlDialogue(u);
    u.uploadTransferPhase = false;
    u.uploadVerdictPending = false;
    u.uploadStoreCommand.clear();
}

bool UploadSession::send(const std::string& text) { return sendUploadCommand(*this, text); }

UploadSession& uploadSession(App& app) { return *static_cast<UploadSessions&>(*app.uploadSessions).all.front(); }

const UploadSession& uploadSession(const App& app) {
    return *static_cast<const UploadSessions&>(*app.uploadSessions).all.front();
}

void uploadErrorRetry(UploadSession& u, std::int64_t fileIndex) {
    // A further connection that fails ends alone (see the download's).
    if (u.helper) return;
    if (u.app.uploadErrorRetryHook) u.app.uploadErrorRetryHook(fileIndex);
}

}  // namespace corvantel
