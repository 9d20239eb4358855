#include "app/AudioPump.h"

#include <QSocketNotifier>

#include "decoder/UWavein4.h"

namespace tilo {

TAudioPump::TAudioPump(TWaveIn& WaveIn, QObject* Parent) : QObject(Parent), FWaveIn(WaveIn) {
    FRetry.setSingleShot(true);
    connect(&FRetry, &QTimer::timeout, this, [this] { Pump(); });
}

TAudioPump::~TAudioPump() { Disarm(); }

void TAudioPump::Disarm() {
    for (QSocketNotifier* n : FNotifiers) {
        n->setEnabled(false);
        // A notifier may be the one whose activation is running now.
        n->deleteLater();
    }
    FNotifiers.clear();
    FWatched.clear();
}

namespace {

bool SameDescriptors(const std::vector<pollfd>& A, const std::vector<pollfd>& B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (A[i].fd != B[i].fd || A[i].events != B[i].events) return false;
    return true;
}

}  // namespace

void TAudioPump::Rearm() {
    if (!FWaveIn.Recording()) {
        Disarm();
        FRetry.stop();
        return;
    }
    const std::vector<pollfd> fds = FWaveIn.PollDescriptors();
    if (!SameDescriptors(fds, FWatched)) {
        Disarm();
        for (const pollfd& p : fds) {
            if (p.events & POLLIN) FNotifiers.push_back(new QSocketNotifier(p.fd, QSocketNotifier::Read, this));
            if (p.events & POLLOUT) FNotifiers.push_back(new QSocketNotifier(p.fd, QSocketNotifier::Write, this));
        }
        for (QSocketNotifier* n : FNotifiers)
            connect(n, &QSocketNotifier::activated, this, [this] { Pump(); });
        FWatched = fds;
    }
    for (QSocketNotifier* n : FNotifiers) n->setEnabled(true);
    const int32_t retry = FWaveIn.RetryAfterMs();
    if (retry >= 0) FRetry.start(retry);
    else FRetry.stop();
}

void TAudioPump::Pump() {
    // HandleEvents hands buffers to the modem and the decoder, which may serve events
    // (a prompt); a notifier firing meanwhile must not read into the ring again.
    if (FInPump) return;
    FInPump = true;
    for (QSocketNotifier* n : FNotifiers) n->setEnabled(false);
    if (FWaveIn.Recording()) {
        std::vector<pollfd> fds = FWaveIn.PollDescriptors();
        for (pollfd& p : fds) p.revents = 0;
        if (!fds.empty()) ::poll(fds.data(), fds.size(), 0);
        FWaveIn.HandleEvents(fds);
    }
    FInPump = false;
    Rearm();
}

int32_t TAudioPump::EnabledNotifiers() const {
    int32_t n = 0;
    for (const QSocketNotifier* s : FNotifiers)
        if (s->isEnabled()) ++n;
    return n;
}

}  // namespace tilo
