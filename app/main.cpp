// The receiver program. Entry in this order: into the application folder (made when
// missing), the units' start and the engine's, the single-instance lock, the
// application object, the prompt and dialog services, the main window, the message
// store and the about box; then the loop; then the reverse. The lock is released last,
// after the databases are closed and the engine stopped, so that a quick restart never
// meets files still held by this run.
//
// SIGTERM, SIGINT and SIGHUP and a logout from the desktop run the shutdown steps once,
// without the question: a receiver stopped from a terminal or a service manager still
// saves its tuning. Without any display (no DISPLAY, no WAYLAND_DISPLAY, no
// QT_QPA_PLATFORM) the program runs on the offscreen platform and says so.
#include <QSessionManager>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "app/DataModule.h"
#include "app/MesUtilD4.h"
#include "app/Prompts.h"
#include "app/QtUserInterface.h"
#include "app/TiloApplication.h"
#include "app/U_Main.h"
#include "app/uAbout.h"
#include "engine/access/ORQMain.h"
#include "platform/SingleInstance.h"

namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char c = 's';
    (void)!::write(SignalPipe[1], &c, 1);
    errno = saved;
}

bool Unset(const char* Name) {
    const char* v = std::getenv(Name);
    return !v || !*v;
}

bool IsOffscreen() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

// Standard error's line of a failure that ends the program.
void Fail(const std::string& Text) { std::fprintf(stderr, "tilo: %s\n", Text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    using namespace tilo;
    const std::string folder = ApplicationFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (::chdir(folder.c_str()) != 0) {
        Fail("cannot use the application folder " + folder + ": " + std::strerror(errno));
        return 1;
    }
    // The databases, the queue and the settings are all written here: a folder that
    // refuses a new file is named with the system's reason before anything fails on it.
    {
        char probe[] = ".tilo-write-probe-XXXXXX";
        const int fd = ::mkstemp(probe);
        if (fd < 0) {
            Fail("Cannot write in folder " + folder + ": " + std::strerror(errno));
            return 1;
        }
        ::close(fd);
        ::unlink(probe);
    }
    MesUtilD4Start();
    orq::StartEngine();

    TSingleInstance instance;
    switch (instance.Acquire()) {
        case TSingleInstance::Acquired: break;
        case TSingleInstance::Held:
            if (::isatty(STDERR_FILENO)) std::fputc('\a', stderr);
            std::fputs("Tilo is already running.\n", stderr);
            orq::StopEngine();
            return 0;
        case TSingleInstance::Refused:
            Fail(instance.Error());
            orq::StopEngine();
            return 1;
    }

    const bool noDisplay = Unset("DISPLAY") && Unset("WAYLAND_DISPLAY") && Unset("QT_QPA_PLATFORM");
    const char* noDisplayLine = "no display found (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset): running on "
                                "the offscreen platform";
    if (noDisplay) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::fprintf(stderr, "tilo: %s\n", noDisplayLine);
    }

    int status = 0;
    {
        TTiloApplication app(argc, argv);
        FixFormatSettings();
        TQtPrompts prompts;
        TPrompts* previousPrompts = SetPrompts(&prompts);
        TQtUserInterface ui;
        orq::TORQUserInterface* previousUi = orq::SetUserInterface(&ui);
        {
            auto frmMain = std::make_unique<TfrmMain>();
            ui.OnException = [main = frmMain.get()](std::exception_ptr E) {
                try {
                    std::rethrow_exception(E);
                } catch (const std::exception& e) {
                    main->AppEvntException("TfrmMain", &e);
                } catch (...) {
                    main->AppEvntException("TfrmMain", nullptr);
                }
            };
            if (noDisplay) frmMain->SysLog(noDisplayLine);
            // The message store: provisioning, then both databases open. A failure ends
            // the program with its message; the box is left out where no one could see
            // it and it would hold the program for ever.
            std::unique_ptr<TDataModule1> dataModule;
            try {
                dataModule = std::make_unique<TDataModule1>();
            } catch (const std::exception& e) {
                Fail(std::string("cannot open the message store: ") + e.what());
                if (!IsOffscreen()) ui.ShowError(e.what());
                status = 1;
            } catch (...) {
                Fail("cannot open the message store");
                if (!IsOffscreen()) ui.ShowError("cannot open the message store");
                status = 1;
            }
            if (dataModule) {
                frmMain->DataModule1 = dataModule.get();
                auto frmAbout = std::make_unique<TFrmAbout>(frmMain.get());
                frmMain->FrmAbout = frmAbout.get();

                // The signals reach the loop through a pipe; a handler itself does nothing else.
                std::unique_ptr<QSocketNotifier> signalNotifier;
                if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
                    signalNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
                    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [main = frmMain.get()] {
                        char buf[16];
                        while (::read(SignalPipe[0], buf, sizeof buf) > 0) {
                        }
                        main->FormCloseQuery(false);
                        QCoreApplication::quit();
                    });
                    struct sigaction sa{};
                    sa.sa_handler = OnSignal;
                    sigemptyset(&sa.sa_mask);
                    sa.sa_flags = SA_RESTART;
                    for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &sa, nullptr);
                }
                // A logout: the session manager asks the program to save, then ends it.
                QObject::connect(&app, &QGuiApplication::commitDataRequest,
                                 [main = frmMain.get()](QSessionManager&) { main->FormCloseQuery(false); });
                QObject::connect(&app, &QCoreApplication::aboutToQuit,
                                 [main = frmMain.get()] { main->FormCloseQuery(false); });

                if (QScreen* screen = QGuiApplication::primaryScreen())
                    frmMain->FitToScreen(screen->availableGeometry());
                frmMain->show();
                status = app.exec();

                for (int s : {SIGTERM, SIGINT, SIGHUP}) ::signal(s, SIG_DFL);
                signalNotifier.reset();
                frmMain->FrmAbout = nullptr;
                frmAbout.reset();
                ui.OnException = nullptr;
                // The store reports to the window: it goes quiet before the window goes,
                // and goes after it, as the grids hold its data sources.
                dataModule->FOnMessage = nullptr;
                dataModule->FOnStationText = nullptr;
                frmMain->DataModule1 = nullptr;
                frmMain.reset();
                dataModule.reset();
            }
            ui.OnException = nullptr;
        }
        orq::SetUserInterface(previousUi);
        SetPrompts(previousPrompts);
    }
    for (int& fd : SignalPipe)
        if (fd >= 0) ::close(fd);
    orq::StopEngine();
    instance.Release();
    return status;
}
