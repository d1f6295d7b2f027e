#include "app/app_state.h"

#include "app/dialogs.h"
#include "app/fields.h"
#include "app/text.h"
#include "app/settings.h"

namespace corvantel {

using platform::Endpoint;
namespace files = platform::files;

App::App(platform::Platform& platform, std::string baseDir)
    : plat(platform), loop(platform.loop()), w(platform), baseDir_(std::move(baseDir)) {
    // After every event, the sessions' steps whose wait is over go on.
    loop.setAfterEvent([this] {
        if (downloadSessions) downloadSessions->poll();
        if (uploadSessions) uploadSessions->poll();
    });
    form3 = std::make_unique<WorkPathDialog>(*this);
    form4 = std::make_unique<AboutBox>(*this);

    // The window as it is created, before any handler is attached.
    w.setCaption("Ftp Corvantel");
    const std::pair<platform::Label*, const char*> captions[] = {
        {&w.Label1, "Host Name / IP"}, {&w.Label2, "USER"},         {&w.Label3, "PASS"},
        {&w.Label4, "Path"},           {&w.Label5, "Pattern"},      {&w.Label6, "Downloads"},
        {&w.Label7, "Uploads"},        {&w.Label8, "Dupe Chk"},     {&w.Label9, "Download at"},
        {&w.Label10, "Upload at"},     {&w.Label11, "Not Set"},     {&w.Label12, "Not Set"},
        {&w.Label13, "Port"},          {&w.Label14, "Bytes Rec"},   {&w.Label16, "Bytes Sent"},
        {&w.Label17, "Retries"},       {&w.Label18, "Last Download on"},
        {&w.Label19, "Last Upload on"},
    };
    for (auto& [label, text] : captions) label->setCaption(text);
    w.fText6.setText("0");
    w.fText6b.setText("0");
    w.Text11.setText("0");
    w.Text12.setText("0");
    w.ai_nlst.setChecked(true);
    w.ai_bin.setChecked(true);

    w.onCloseRequest = [this] { requestClose(); };
}

App::~App() { loop.setAfterEvent(nullptr); }

static std::string errorLine(App& app, const std::string& message) {
    auto t = app.now();
    return message + " " + platform::fmt::slashDate(t) + " at " + platform::fmt::hhmmssAmPm(t) + "\r\n";
}

// A log that cannot be written loses its line; the session's outcome and the
// program are not affected.
void appendDownloadError(App& app, const std::string& message) {
    files::append(app.ownFile("err_dload.log"), errorLine(app, message));
    notify(app.events.errorLogged, JobKind::Download, message);
}

void appendUploadError(App& app, const std::string& message) {
    files::append(app.ownFile("err_upload.log"), errorLine(app, message));
    notify(app.events.errorLogged, JobKind::Upload, message);
}

void appendDownloadNote(App& app, const std::string& message) {
    files::append(app.ownFile("err_dload.log"), errorLine(app, message));
    notify(app.events.noteLogged, JobKind::Download, message);
}

void appendUploadNote(App& app, const std::string& message) {
    files::append(app.ownFile("err_upload.log"), errorLine(app, message));
    notify(app.events.noteLogged, JobKind::Upload, message);
}

std::string App::ownFile(const std::string& name) const { return workDirPrefix(baseDir_) + "/" + name; }

std::string App::workFile(const std::string& name) const { return workDirPrefix(s.workPath) + "/" + name; }

static std::string patherLine(const std::string& path) { return path + "\r\n"; }

void App::startUp() {
    s.transferType = "TYPE I";
    s.fileSizeCheck = false;
    w.Timerg->setEnabled(false);
    w.Timerf->setEnabled(false);
    s.deleteAfterDownload = w.ai_del.checked();
    s.deleteAfterUpload = w.ai_del2.checked();
    s.downloadRunning = s.uploadRunning = s.shuttingDown = s.exitNow = false;
    s.recallPassword = s.sessionAborting = false;
    w.ftpclient1->close();
    w.Timer3->setEnabled(false);
    w.Timer4->setEnabled(false);
    if (loadDownloadRecords) loadDownloadRecords();
    if (loadUploadRecords) loadUploadRecords();
    s.downloadActiveText = s.uploadActiveText = "InActive";
    s.downloadLastRunDate = s.uploadLastRunDate = "20000101";
    s.downloadDupeCheck = s.uploadDupeCheck = true;
    w.Check3.setChecked(true);
    w.Check4.setChecked(true);

    w.Text1.setText(defaultHostName);
    w.fText3.setText("anonymous");
    w.fText4.setText(defaultAnonymousPassword);
    w.Text2.setText("/tmp");
    w.Text7.setText("*.jpg");
    w.Text9.setText("21");
    w.Text3.setText(defaultHostName);
    w.Text4.setText("anonymous");
    w.Text5.setText(defaultAnonymousPassword);
    w.Text6.setText("/tmp");
    w.Text8.setText("*.txt");
    w.Text10.setText("21");

    const std::string cwd = baseDir_;
    const std::string pather = ownFile("pather.log");
    if (!files::exists(pather)) files::writeWhole(pather, patherLine(cwd));
    std::string path;
    if (auto text = files::readAll(pather, 1 << 20)) {
        FieldReader reader(*text);
        if (auto first = reader.next()) path = *first;
    }
    s.workPath = path;
    if (s.workPath.empty() || !files::isDirectory(s.workPath)) s.workPath = cwd;
    w.File2.setPath(s.workPath);
    w.Label15.setCaption("Working Path is " + s.workPath);

    if (files::exists(ownFile("values.log"))) loadSettings(*this);

    s.downloadHour = "1";
    s.downloadAmPm = "AM";
    s.uploadHour = "3";
    s.uploadAmPm = "AM";

    w.ftpclient1->close();
    w.ftpclient2->close();
    w.ftpclient1a->close();
    w.ftpclient3->close();
}

bool App::closeAllowed() const {
    return w.caption() == idleCaption || (!s.downloadRunning && !s.uploadRunning) || s.exitNow;
}

void App::requestClose(int status) {
    if (!closeAllowed()) {
        w.minimise();
        return;
    }
    shutDown(status);
}

void App::chooseExitNow(int status) {
    s.shuttingDown = true;
    s.exitNow = true;
    requestClose(status);
}

void App::shutDown(int status) {
    s.shuttingDown = true;
    w.Timer1->setEnabled(false);
    w.Timerf->setEnabled(false);
    w.Timer2->setEnabled(false);
    Endpoint* all[] = {w.ftpclient1.get(), w.ftpclient2.get(), w.ftpclient1a.get(), w.ftpclient3.get()};
    for (auto* e : all) e->close();
    loop.waitUntil([&] {
        for (auto* e : all)
            if (e->state() != Endpoint::Closed) return false;
        return true;
    });
    // A download cut off here is never finished: its partial file goes and
    // nothing is recorded for it.
    if (discardDownloadInFlight) discardDownloadInFlight();
    if (closeUploadInFlight) closeUploadInFlight();
    saveSettings(*this);
    files::writeWhole(ownFile("pather.log"), patherLine(s.workPath));
    loop.endProgram(status);
}

int App::outcomeStatus() const { return (s.failedSessions > 0 || s.failedFiles > 0) ? 1 : 0; }

}  // namespace corvantel
