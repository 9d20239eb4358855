// TTiloApplication: the receiver's QApplication, carrying the two application-wide
// events. Every event passes OnMessage first (it may consume it); every exception
// that escapes a handler during delivery is caught here and handed to OnException,
// and the program goes on: the handler that raised stopped at the raise, nothing else
// is disturbed. Without an OnException the failure goes to standard error.
#pragma once

#include <QApplication>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace tilo {

class TTiloApplication : public QApplication {
    Q_OBJECT

public:
    TTiloApplication(int& Argc, char** Argv);

    bool notify(QObject* Receiver, QEvent* Event) override;

    // True when the event was consumed.
    std::function<bool(QObject* Receiver, QEvent* Event)> OnMessage;
    // Sender is the receiving object's class name; E is nil for an exception that is
    // not a std::exception.
    std::function<void(const std::string& Sender, const std::exception* E)> OnException;

    // The running TTiloApplication, nil when the application is of another class.
    static TTiloApplication* Instance();

private:
    void Report(const std::string& Sender, const std::exception* E);
};

// The class name of an object without its namespaces ("EORQException", "TfrmMain").
std::string ClassNameOf(const std::type_info& Type);
// "EXCEPTION trapped @" + the low 32 bits of E's address as 8 upper-case hexadecimal
// digits + " " + SenderClass + " " + the message + " " + E's class name.
std::string ExceptionLine(const std::string& SenderClass, const std::exception* E);

}  // namespace tilo
