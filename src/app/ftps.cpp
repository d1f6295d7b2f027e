#include "app/ftps.h"

#include "app/app_state.h"

namespace corvantel {

TlsJob downloadTlsJob(App& app) {
    auto& s = app.s;
    return {s.downloadTls, s.downloadTlsPhase, s.downloadTlsProblem, *app.w.ftpclient1, app.w.Text1.text(),
            [&app](const std::string& c) { return app.sendDownloadHook && app.sendDownloadHook(c); }};
}

TlsJob uploadTlsJob(App& app) {
    auto& s = app.s;
    return {s.uploadTls, s.uploadTlsPhase, s.uploadTlsProblem, *app.w.ftpclient1a, app.w.Text3.text(),
            [&app](const std::string& c) { return app.sendUploadHook && app.sendUploadHook(c); }};
}

platform::TlsSettings tlsSettings(const App& app, const std::string& host) {
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    return {name, app.s.tlsCaFile};
}

TlsStep tlsBeforeLogin(App& app, const TlsJob& job, const std::string& reply) {
    if (!job.on) return TlsStep::Proceed;
    switch (job.phase) {
        case TlsPhase::Off:
            job.phase = TlsPhase::AuthSent;
            job.send("AUTH TLS");
            return TlsStep::Handled;
        case TlsPhase::AuthSent:
            if (replyCode(reply) != "234") {
                job.problem = "TLS refused";
                return TlsStep::Failed;
            }
            job.phase = TlsPhase::Handshake;
            job.control.startTls(tlsSettings(app, job.host), nullptr);
            return TlsStep::Handled;
        case TlsPhase::Handshake:
            return TlsStep::Handled;  // replies wait for the handshake
        default:
            return TlsStep::Proceed;
    }
}

TlsStep tlsAfterLogin(App&, const TlsJob& job, const std::string& reply) {
    if (!job.on) return TlsStep::Proceed;
    switch (job.phase) {
        case TlsPhase::Secure:
            job.phase = TlsPhase::PbszSent;
            job.send("PBSZ 0");
            return TlsStep::Handled;
        case TlsPhase::PbszSent:
            job.phase = TlsPhase::ProtSent;
            job.send("PROT P");
            return TlsStep::Handled;
        case TlsPhase::ProtSent:
            if (replyCode(reply)[0] != '2') {
                job.problem = "TLS refused for data";
                return TlsStep::Failed;
            }
            job.phase = TlsPhase::Ready;
            return TlsStep::Proceed;
        default:
            return TlsStep::Proceed;
    }
}

std::string tlsErrorText(int number) {
    switch (number) {
        case platform::neterr::TlsFailed: return "TLS failed";
        case platform::neterr::TlsNotTrusted: return "Certificate not trusted";
        case platform::neterr::TlsNameMismatch: return "Certificate names another host";
        default: return {};
    }
}

}  // namespace corvantel
