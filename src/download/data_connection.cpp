#include "download/data_connection.h"

#include "app/app_state.h"
#include "download/session.h"
#include "app/data_setup.h"
#include "app/ftps.h"
#include "app/waits.h"

namespace corvantel {

using platform::Endpoint;

// A listing larger than this is cut: it bounds what a server can make us hold.
static constexpr std::size_t maxListingBytes = 64u << 20;

void installDownloadDataHandlers(DownloadSession& d) {
    auto& l = d.data;
    l.onConnectionRequest = [&d](std::int64_t id) {
        auto& e = d.data;
        App& app = d.app;
        if (!acceptServerData(app, dataJob(d), id, "download")) return;
        if (e.state() == Endpoint::Connected) d.dataAccepted = true;
        secureAcceptedData(dataJob(d));
        if (app.trace) app.trace("download data connection " + std::to_string(id) + " accepted, state " + std::to_string(e.state()));
    };
    l.onDataArrival = [&d](std::int64_t) { d.strand.spawn(downloadDataArrival(d)); };
    // The server has sent all it will on this connection: close our side
    // too. Servers that wait for that close before they send their final
    // reply (an empty listing, say) then answer at once.
    l.onClose = [&d] {
        auto& e = d.data;
        if (e.state() == Endpoint::Closing) e.close();
    };
    l.onError = [&d](int n, const std::string&) {
        auto& s = d.app.s;
        if (!s.downloadRunning) return;
        // A broken data connection spoils the file being fetched, whatever
        // its size says.
        if (d.downloadDataIsFile && d.downloadStep >= 12) d.downloadFileSpoiled = true;
        if (dataTlsFailure(tlsJob(d), n)) d.downloadFailed = true;
        if (n > 1000 && n < 12000 && !s.sessionAborting) retryAfterError(d);
    };
}

Task<> downloadDataArrival(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    auto& w = app.w;
    d.downloadWaitSeconds = 0;
    if (s.shuttingDown) co_return;
    d.downloadDataBuffer = d.data.getData();
    if (d.downloadStep == 11) d.downloadWaitSeconds -= 3;
    if (d.downloadDataIsFile) {
        if (d.downloadDataBuffer.empty()) co_return;
        d.downloadBytes += static_cast<std::int64_t>(d.downloadDataBuffer.size());
        w.fText6.setText(std::to_string(d.downloadBytes));
        if (d.downloadStatedSize > 0) {
            std::int64_t pct = static_cast<std::int64_t>(static_cast<double>(d.downloadBytes) /
                                                         static_cast<double>(d.downloadStatedSize) * 100.0);
            w.Text13.setText(std::to_string(pct) + " %");
        }
        // More than the server announced: the file cannot be what it said.
        if (d.downloadExpectedSize >= 0 && d.downloadBytes > d.downloadExpectedSize) {
            d.downloadFileSpoiled = true;
            d.data.close();
            co_return;
        }
        if (!d.file.write(d.downloadDataBuffer)) d.downloadFileSpoiled = true;
        d.digest.update(d.downloadDataBuffer);
        d.downloadIdleTicks = 0;
        co_return;
    }
    // The whole arrival is listing text: no name in it is taken for a
    // marker where the listing would begin.
    // Each arrival is added at the end: collecting a listing costs time in
    // proportion to its size, however small its pieces.
    // fText5 shows what the job holds.
    auto& listing = downloadSessions(app).downloadListing;
    const std::size_t held = listing.size();
    if (held < maxListingBytes) {
        const std::string piece = d.downloadDataBuffer.size() <= maxListingBytes - held
                                      ? d.downloadDataBuffer
                                      : d.downloadDataBuffer.substr(0, maxListingBytes - held);
        listing += piece;
        w.fText5.append(piece);
    }
    // One wait serves a whole listing: later arrivals only add their text and
    // restart the quiet count, so the nesting stays flat.
    if (d.listingWait) co_return;
    d.listingWait = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{d.listingWait};
    co_await sessionTimedWait(
        d,
        [&] { return !(d.downloadWaitSeconds < 5 && (d.downloadStep == 7 || d.downloadStep == 11)); },
        false);
    if (d.data.state() != Endpoint::Closed && (d.downloadStep == 7 || d.downloadStep == 11))
        d.data.close();
}

}  // namespace corvantel
