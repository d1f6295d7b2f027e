#include "download/data_connection.h"

#include "app/app_state.h"
#include "app/data_setup.h"
#include "app/ftps.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

// A listing larger than this is cut: it bounds what a server can make us hold.
static constexpr std::size_t maxListingBytes = 64u << 20;

void installDownloadDataHandlers(App& app) {
    auto& l = *app.w.ftpclient2;
    l.onConnectionRequest = [&app](std::int64_t id) {
        auto& e = *app.w.ftpclient2;
        if (!acceptServerData(app, downloadDataJob(app), id, "download")) return;
        if (e.state() == Endpoint::Connected) app.s.downloadDataAccepted = true;
        secureAcceptedData(downloadDataJob(app));
        if (app.trace) app.trace("download data connection " + std::to_string(id) + " accepted, state " + std::to_string(e.state()));
    };
    l.onDataArrival = [&app](std::int64_t) { app.downloadStrand.spawn(downloadDataArrival(app)); };
    // The server has sent all it will on this connection: close our side
    // too. Servers that wait for that close before they send their final
    // reply (an empty listing, say) then answer at once.
    l.onClose = [&app] {
        auto& e = *app.w.ftpclient2;
        if (e.state() == Endpoint::Closing) e.close();
    };
    l.onError = [&app](int n, const std::string&) {
        auto& s = app.s;
        if (!s.downloadRunning) return;
        // A broken data connection spoils the file being fetched, whatever
        // its size says.
        if (s.downloadDataIsFile && s.downloadStep >= 12) s.downloadFileSpoiled = true;
        if (dataTlsFailure(downloadTlsJob(app), n)) s.downloadFailed = true;
        if (n > 1000 && n < 12000 && !s.sessionAborting) downloadErrorRetry(app);
    };
}

Task<> downloadDataArrival(App& app) {
    auto& s = app.s;
    auto& w = app.w;
    s.downloadWaitSeconds = 0;
    if (s.shuttingDown) co_return;
    s.downloadDataBuffer = w.ftpclient2->getData();
    if (s.downloadStep == 11) s.downloadWaitSeconds -= 3;
    if (s.downloadDataIsFile) {
        if (s.downloadDataBuffer.empty()) co_return;
        s.downloadBytes += static_cast<std::int64_t>(s.downloadDataBuffer.size());
        w.fText6.setText(std::to_string(s.downloadBytes));
        if (s.downloadStatedSize > 0) {
            std::int64_t pct = static_cast<std::int64_t>(static_cast<double>(s.downloadBytes) /
                                                         static_cast<double>(s.downloadStatedSize) * 100.0);
            w.Text13.setText(std::to_string(pct) + " %");
        }
        // More than the server announced: the file cannot be what it said.
        if (s.downloadExpectedSize >= 0 && s.downloadBytes > s.downloadExpectedSize) {
            s.downloadFileSpoiled = true;
            w.ftpclient2->close();
            co_return;
        }
        if (!app.downloadFile.write(s.downloadDataBuffer)) s.downloadFileSpoiled = true;
        s.downloadDigest.update(s.downloadDataBuffer);
        s.downloadIdleTicks = 0;
        co_return;
    }
    // The whole arrival is listing text: no name in it is taken for a
    // marker where the listing would begin.
    // Each arrival is added at the end: collecting a listing costs time in
    // proportion to its size, however small its pieces.
    const std::size_t held = w.fText5.text().size();
    if (held < maxListingBytes) {
        if (s.downloadDataBuffer.size() <= maxListingBytes - held)
            w.fText5.append(s.downloadDataBuffer);
        else
            w.fText5.append(s.downloadDataBuffer.substr(0, maxListingBytes - held));
    }
    // One wait serves a whole listing: later arrivals only add their text and
    // restart the quiet count, so the nesting stays flat.
    if (s.downloadListingWait) co_return;
    s.downloadListingWait = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{s.downloadListingWait};
    co_await downloadTimedWait(
        app,
        [&] { return !(s.downloadWaitSeconds < 5 && (s.downloadStep == 7 || s.downloadStep == 11)); },
        false);
    if (w.ftpclient2->state() != Endpoint::Closed && (s.downloadStep == 7 || s.downloadStep == 11))
        w.ftpclient2->close();
}

}  // namespace corvantel
