// TAudioPump: runs a sound-card reader (TWaveIn) on the UI thread's event loop. One
// QSocketNotifier per descriptor the reader asks to be watched; when one fires, the
// descriptors are polled with timeout 0 and HandleEvents gets what poll returned, so the
// source translates the events itself. When the reader asks for a call-back without a
// descriptor (a suspended device being resumed), a single-shot timer gives it one.
//
// The descriptors are read again after every HandleEvents and on Rearm (after the
// reader was stopped, opened again and started). While the reader does not record,
// no notifier is enabled: an unpaced file's descriptor stays readable at its end, and a
// notifier on it would spin the loop.
#pragma once

#include <QObject>
#include <QTimer>

#include <poll.h>

#include <cstdint>
#include <vector>

class QSocketNotifier;

namespace tilo {

class TWaveIn;

class TAudioPump : public QObject {
    Q_OBJECT

public:
    explicit TAudioPump(TWaveIn& WaveIn, QObject* Parent = nullptr);
    ~TAudioPump() override;

    // Watches what the reader asks for now.
    void Rearm();
    // One round as a notifier's activation runs it: poll, HandleEvents, Rearm.
    void Pump();

    int32_t EnabledNotifiers() const;
    bool RetryPending() const { return FRetry.isActive(); }

private:
    void Disarm();
    TWaveIn& FWaveIn;
    std::vector<QSocketNotifier*> FNotifiers;
    std::vector<pollfd> FWatched;  // what the notifiers were made for
    QTimer FRetry;
    bool FInPump = false;
};

}  // namespace tilo
