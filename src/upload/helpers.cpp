// What an upload connection does as one of the further connections
// --parallel opens (their life is app/connections.h's): they send from the
// first session's list of local files.

#include <string>

#include "app/app_state.h"
#include "app/connections.h"
#include "upload/dispatch.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/transfer_log.h"

namespace corvantel {

std::string UploadSession::portField() const { return app.w.Text10.text(); }

void UploadSession::installHandlers() { installUploadSessionHandlers(*this); }

void UploadSession::freshConnection() {
    resetUploadDialogue(*this);
    uploadFileStarted = false;
    uploadVerdictGiven = false;
}

Task<> UploadSession::windDown(bool gone, Requeue& requeue) {
    // Its file in flight (sent in part, no verdict) goes back to the list
    // once, then fails; one waiting for the server's confirmation fails.
    if (gone && uploadFileStarted && !uploadVerdictGiven && !uploadVerdictPending &&
        requeue.giveBack(uploadFileName)) {
        uploadFileStarted = false;
        if (app.trace) app.trace(label + ": lost; " + uploadFileName + " goes back to the list");
    }
    failPendingUpload(*this);
    co_return;
}

void UploadSession::closeFile() { file.close(); }

void UploadSession::failLeftover(const std::string& name) {
    // The first session's own file is kept as it was.
    const std::string own = uploadFileName;
    const std::int64_t length = uploadFileLength;
    const bool started = uploadFileStarted, given = uploadVerdictGiven, pending = uploadVerdictPending;
    uploadFileName = name;
    uploadFileLength = 0;
    logUploadResult(*this, "fail");
    uploadFileName = own;
    uploadFileLength = length;
    uploadFileStarted = started;
    uploadVerdictGiven = given;
    uploadVerdictPending = pending;
}

}  // namespace corvantel
