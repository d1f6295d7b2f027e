// The main window's handlers: menu commands, the dupe-check boxes, the
// double-click shortcuts and the change handling of every job field.
//
// A field's change handling may rewrite the field itself (trim, port rule,
// anonymous rule). Each such rewrite is a change of its own and runs the
// handling again, nested, before the outer run goes on; the nested run finds
// the text already normalised, assigns nothing, and the chain ends.

#include "app/fields.h"

#include <cstdlib>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/text.h"

namespace corvantel {

namespace {

using platform::CheckBox;
using platform::MenuItem;
using platform::TextBox;

// Leading and trailing spaces go; inner spaces stay.
std::string trimSpaces(const std::string& text) {
    std::size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    std::size_t e = text.find_last_not_of(' ');
    return text.substr(b, e - b + 1);
}

void trimField(TextBox& field) {
    if (!field.text().empty()) field.setText(trimSpaces(field.text()));
}

// While the job's user is exactly "anonymous" its password is the default
// address; any other text put there is replaced at once.
void anonymousRule(const TextBox& user, TextBox& password) {
    if (user.text() == "anonymous") password.setText(defaultAnonymousPassword);
}

// A port field always holds a number.
void portRule(TextBox& port) {
    if (!isNumeric(port.text())) port.setText("21");
}

// Retries run from 0 to 4; a number outside that range becomes 1, a text
// that is not a number is left for the user to correct.
void retriesRule(TextBox& retries) {
    if (!isNumeric(retries.text())) return;
    // The value is taken as written, so a number too large for a double
    // still counts as greater than 4 instead of as 0.
    const std::string t = trimBlanks(retries.text());
    const double v = std::strtod(t.c_str(), nullptr);
    if (v > 4 || v < 0) retries.setText("1");
}

void flip(MenuItem& item) { item.setChecked(!item.checked()); }

void openTimeDialog(App& app, bool download) {
    app.s.timeDialogMode = download;
    if (app.openTimeDialog) app.openTimeDialog();
}

enum class Rule { None, Anonymous, Port };

}  // namespace

void checkDownloadFields(App& app) {
    auto& w = app.w;
    for (const TextBox* f : {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9}) {
        if (f->text().empty()) {
            w.Timer1->setEnabled(false);
            w.Check1.setChecked(false);
            return;
        }
    }
}

void checkUploadFields(App& app) {
    auto& w = app.w;
    for (const TextBox* f : {&w.Text3, &w.Text4, &w.Text5, &w.Text6, &w.Text8, &w.Text10}) {
        if (f->text().empty()) {
            w.Timer2->setEnabled(false);
            w.Check2.setChecked(false);
            return;
        }
    }
}

void installWindowHandlers(App& app) {
    auto& w = app.w;
    auto& s = app.s;

    // Schedules menu.
    w.ai_down.onChoose = [&app] { openTimeDialog(app, true); };
    w.ai_up.onChoose = [&app] { openTimeDialog(app, false); };
    w.ai_hr.onChoose = [&w] { flip(w.ai_hr); };
    w.ai_exit.onChoose = [&app] { app.chooseExitNow(); };

    // Options menu.
    w.ai_path.onChoose = [&app] { app.form3->open(); };
    w.ai_pass.onChoose = [&w, &s] {
        flip(w.ai_pass);
        s.recallPassword = w.ai_pass.checked();
    };
    w.ai_del.onChoose = [&w, &s] {
        flip(w.ai_del);
        s.deleteAfterDownload = w.ai_del.checked();
    };
    w.ai_del2.onChoose = [&w, &s] {
        flip(w.ai_del2);
        s.deleteAfterUpload = w.ai_del2.checked();
    };
    w.ai_dstamp.onChoose = [&w] { flip(w.ai_dstamp); };
    w.ai_ustamp.onChoose = [&w] { flip(w.ai_ustamp); };
    w.ai_fsize.onChoose = [&w, &s] {
        flip(w.ai_fsize);
        s.fileSizeCheck = w.ai_fsize.checked();
    };
    w.ai_list.onChoose = [&w] {
        w.ai_list.setChecked(true);
        w.ai_nlst.setChecked(false);
    };
    w.ai_nlst.onChoose = [&w] {
        w.ai_list.setChecked(false);
        w.ai_nlst.setChecked(true);
    };
    w.ai_bin.onChoose = [&w, &s] {
        s.transferType = "TYPE I";
        w.ai_bin.setChecked(true);
        w.ai_asc.setChecked(false);
    };
    w.ai_asc.onChoose = [&w, &s] {
        s.transferType = "TYPE A";
        w.ai_bin.setChecked(false);
        w.ai_asc.setChecked(true);
    };
    w.ai_pasv.onChoose = [&w, &s] {
        flip(w.ai_pasv);
        s.passiveMode = w.ai_pasv.checked();
    };
    // A job speaks FTPS or SFTP, not both: ticking one unticks the other.
    auto transport = [&w, &s](bool download, bool sftp) {
        auto& tls = download ? w.ai_dtls : w.ai_utls;
        auto& ssh = download ? w.ai_dsftp : w.ai_usftp;
        flip(sftp ? ssh : tls);
        if ((sftp ? ssh : tls).checked()) (sftp ? tls : ssh).setChecked(false);
        (download ? s.downloadTls : s.uploadTls) = tls.checked();
        (download ? s.downloadSftp : s.uploadSftp) = ssh.checked();
    };
    w.ai_dtls.onChoose = [transport] { transport(true, false); };
    w.ai_utls.onChoose = [transport] { transport(false, false); };
    w.ai_dsftp.onChoose = [transport] { transport(true, true); };
    w.ai_usftp.onChoose = [transport] { transport(false, true); };
    w.ai_quick.onChoose = [&w, &s] {
        flip(w.ai_quick);
        s.quickWaits = w.ai_quick.checked();
    };
    w.ai_verify.onChoose = [&w, &s] {
        flip(w.ai_verify);
        s.verifyTransfers = w.ai_verify.checked();
    };
    // Settled files only: the seconds given with --settle, else a minute.
    w.ai_settle.onChoose = [&w, &s] {
        flip(w.ai_settle);
        s.settleSeconds = w.ai_settle.checked() ? s.settleChoice : 0;
    };
    w.ai_resume.onChoose = [&w, &s] {
        flip(w.ai_resume);
        s.resumeDownloads = w.ai_resume.checked();
    };
    w.ai_utemp.onChoose = [&w, &s] {
        flip(w.ai_utemp);
        s.uploadTempName = w.ai_utemp.checked();
    };
    // More connections per job: the number given with --parallel, else 4.
    w.ai_parallel.onChoose = [&w, &s] {
        flip(w.ai_parallel);
        s.parallelConnections = w.ai_parallel.checked() ? s.parallelChoice : 1;
    };
    w.ai_about.onChoose = [&app] { app.form4->open(); };

    // The dupe-check boxes are mirrored into the state the sessions read.
    w.Check3.onChange = [&w, &s] { s.downloadDupeCheck = w.Check3.checked(); };
    w.Check4.onChange = [&w, &s] { s.uploadDupeCheck = w.Check4.checked(); };

    // Double-click shortcuts.
    w.Label11.onDoubleClick = [&app] { openTimeDialog(app, true); };
    w.Label12.onDoubleClick = [&app] { openTimeDialog(app, false); };
    w.Label15.onDoubleClick = [&app] { app.form3->open(); };

    // Job fields: trim, then the field's rule, then the job's check.
    auto jobField = [&app](TextBox& field, Rule rule, TextBox* user, TextBox* password, bool download) {
        field.onChange = [&app, &field, rule, user, password, download] {
            trimField(field);
            if (rule == Rule::Anonymous) anonymousRule(*user, *password);
            if (rule == Rule::Port) portRule(field);
            if (download)
                checkDownloadFields(app);
            else
                checkUploadFields(app);
        };
    };
    jobField(w.Text1, Rule::None, nullptr, nullptr, true);
    jobField(w.fText3, Rule::Anonymous, &w.fText3, &w.fText4, true);
    jobField(w.fText4, Rule::Anonymous, &w.fText3, &w.fText4, true);
    jobField(w.Text2, Rule::None, nullptr, nullptr, true);
    jobField(w.Text7, Rule::None, nullptr, nullptr, true);
    jobField(w.Text9, Rule::Port, nullptr, nullptr, true);
    jobField(w.Text3, Rule::None, nullptr, nullptr, false);
    jobField(w.Text4, Rule::Anonymous, &w.Text4, &w.Text5, false);
    jobField(w.Text5, Rule::Anonymous, &w.Text4, &w.Text5, false);
    jobField(w.Text6, Rule::None, nullptr, nullptr, false);
    jobField(w.Text8, Rule::None, nullptr, nullptr, false);
    jobField(w.Text10, Rule::Port, nullptr, nullptr, false);

    // Retries: no trim and no check.
    w.Text11.onChange = [&w] { retriesRule(w.Text11); };
    w.Text12.onChange = [&w] { retriesRule(w.Text12); };
}

}  // namespace corvantel
