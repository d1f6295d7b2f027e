#include "app/ftps.h"

#include "app/app_state.h"

namespace corvantel {

platform::TlsSettings tlsSettings(const App& app, const std::string& host) {
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    return {name, app.s.tlsCaFile};
}

platform::TlsSettings dataTlsSettings(const App& app, const std::string& host) {
    platform::TlsSettings settings = tlsSettings(app, host);
    settings.cutIsError = true;
    return settings;
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
            // Whatever follows the 234 before the handshake would be taken
            // for the first protected reply: anything received beyond it
            // (a reply, a blank line, part of a line) fails the session.
            // The endpoint refuses to start TLS over bytes it holds too.
            if (!job.assembler.empty() || job.assembler.bytesAfterLastReply() != 0 ||
                job.control.bytesAvailable() != 0) {
                job.problem = "Bytes followed the TLS answer";
                return TlsStep::Failed;
            }
            job.assembler.clear();
            job.phase = TlsPhase::Handshake;
            job.control.startTls(tlsSettings(app, job.host), nullptr);
            return TlsStep::Handled;
        case TlsPhase::Handshake:
            return TlsStep::Handled;  // replies wait for the handshake
        case TlsPhase::Secure:
            if (app.trace) app.trace(std::string(job.name) + ": control connection on " + job.control.tlsVersion());
            return TlsStep::Proceed;
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
            if (replyCode(reply)[0] != '2') {
                job.problem = "TLS refused for data";
                return TlsStep::Failed;
            }
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
        case platform::neterr::TlsDataPeerChanged: return "Certificate differs from the control connection's";
        case platform::neterr::TlsCut: return "TLS data stream cut";
        default: return {};
    }
}

bool dataTlsFailure(const TlsJob& job, int number) {
    namespace e = platform::neterr;
    // The peer is not who it should be. A handshake that merely broke (the
    // server closed a data connection it no longer needs, say) or a cut
    // stream only fails what used the connection.
    if (number != e::TlsNotTrusted && number != e::TlsNameMismatch && number != e::TlsDataPeerChanged) return false;
    if (job.problem.empty()) job.problem = "Data connection: " + tlsErrorText(number);
    return true;
}

}  // namespace corvantel
