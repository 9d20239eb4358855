#include "app/MesUtilD4.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLocale>
#include <QPointer>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tilo {

namespace {

// Watches the application object for a quit request. A quit leaves the event loop only
// when control returns to it, so a Delay running inside a handler must see the request
// itself to let the program end promptly.
class TQuitWatcher : public QObject {
public:
    explicit TQuitWatcher(QCoreApplication* App) : QObject(App) {
        App->installEventFilter(this);
        connect(App, &QCoreApplication::aboutToQuit, this, [this] { FQuitting = false; });
    }
    bool Quitting() const { return FQuitting; }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == QCoreApplication::instance() && Event->type() == QEvent::Quit) FQuitting = true;
        return false;
    }

private:
    bool FQuitting = false;
};

TQuitWatcher* Watcher() {
    static QPointer<TQuitWatcher> watcher;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return nullptr;
    if (!watcher || watcher->parent() != app) watcher = new TQuitWatcher(app);
    return watcher;
}

}  // namespace

std::string ApplicationFolder() {
    std::string folder;
    if (const char* home = std::getenv("TILO_HOME"); home && *home) {
        folder = home;
    } else {
        std::error_code ec;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        folder = ec ? std::filesystem::current_path(ec).string() : exe.parent_path().string();
    }
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

void MesUtilD4Start() {
    std::error_code ec;  // silent: start-up reports a missing LOG folder itself
    std::filesystem::create_directories(ApplicationFolder() + "LOG", ec);
}

void FixFormatSettings() {
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(QLocale::c());
    Watcher();
}

bool ApplicationTerminating() {
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()) return true;
    TQuitWatcher* w = Watcher();
    return w && w->Quitting();
}

void Delay(uint32_t Milliseconds) {
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + std::chrono::milliseconds(Milliseconds);
    Watcher();
    do {
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until && !ApplicationTerminating());
}

void SplitToken(std::string& Text, char Separator, std::string& Token) {
    Token.clear();
    if (Text.empty()) return;
    const std::size_t at = Text.find(Separator);
    if (at == std::string::npos) {
        Token = std::move(Text);
        Text.clear();
        return;
    }
    Token = Text.substr(0, at);
    Text.erase(0, at + 1);
}

void DeleteChar(std::string& Text, char C) {
    const std::size_t at = Text.find(C);
    if (at != std::string::npos) Text.erase(at, 1);
}

int32_t CountChar(char C, std::string_view Text) {
    int32_t n = 0;
    for (char c : Text) n += c == C;
    return n;
}

}  // namespace tilo
