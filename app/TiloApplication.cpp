#include "app/TiloApplication.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace tilo {

TTiloApplication::TTiloApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

TTiloApplication* TTiloApplication::Instance() { return qobject_cast<TTiloApplication*>(QCoreApplication::instance()); }

std::string ClassNameOf(const std::type_info& Type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(Type.name(), nullptr, nullptr, &status),
                                                     std::free);
    std::string name = status == 0 && demangled ? demangled.get() : Type.name();
    // Drop the namespaces, but not a "::" inside template arguments.
    const std::size_t angle = name.find('<');
    const std::size_t colons = name.rfind("::", angle == std::string::npos ? std::string::npos : angle);
    if (colons != std::string::npos) name.erase(0, colons + 2);
    return name;
}

std::string ExceptionLine(const std::string& SenderClass, const std::exception* E) {
    char address[16];
    std::snprintf(address, sizeof address, "%08X",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(E) & 0xFFFFFFFFu));
    const std::string message = E ? E->what() : "";
    const std::string kind = E ? ClassNameOf(typeid(*E)) : "Exception";
    return "EXCEPTION trapped @" + std::string(address) + " " + SenderClass + " " + message + " " + kind;
}

bool TTiloApplication::notify(QObject* Receiver, QEvent* Event) {
    std::exception_ptr failure;
    try {
        if (OnMessage && OnMessage(Receiver, Event)) return true;
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        failure = std::current_exception();
    }
    const std::string sender = Receiver ? ClassNameOf(typeid(*Receiver)) : std::string();
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& E) {
        Report(sender, &E);
    } catch (...) {
        Report(sender, nullptr);
    }
    return false;
}

void TTiloApplication::Report(const std::string& Sender, const std::exception* E) {
    // The logger itself must not let a second failure out of the event loop.
    try {
        if (OnException) {
            OnException(Sender, E);
            return;
        }
    } catch (...) {
    }
    std::fprintf(stderr, "%s\n", ExceptionLine(Sender, E).c_str());
}

}  // namespace tilo
