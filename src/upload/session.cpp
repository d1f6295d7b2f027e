#include "upload/session.h"

#include "app/waits.h"
#include "upload/commands.h"
#include "upload/dispatch.h"
#include "upload/proof.h"

namespace corvantel {

UploadSessions& uploadSessions(App& app) { return static_cast<UploadSessions&>(*app.uploadSessions); }

void resetUploadDialogue(UploadSession& u) {
    resetControlDialogue(u);
    u.uploadTransferPhase = false;
    u.uploadVerdictPending = false;
    u.uploadStoreCommand.clear();
}

const bool& UploadSession::running() const { return app.s.uploadRunning; }
Task<> UploadSession::handleReply() { return uploadHandleReply(*this); }
Task<> UploadSession::loginStep() { return uploadLoginStep(*this); }
bool UploadSession::proofWanted() const { return uploadProofWanted(app); }
bool UploadSession::moving() const { return uploadStep >= 22; }
void UploadSession::errorRetry() {
    if (app.uploadErrorRetryHook) app.uploadErrorRetryHook(uploadSessions(app).uploadFileIndex);
}

UploadSession& uploadSession(App& app) { return uploadSessions(app)[0]; }

const UploadSession& uploadSession(const App& app) {
    return static_cast<const UploadSession&>(*static_cast<const UploadSessions&>(*app.uploadSessions).all.front());
}

}  // namespace corvantel
