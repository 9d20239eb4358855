#include "QtTestApp.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/MesUtilD4.h"
#include "app/TiloApplication.h"

namespace tilo_test {

namespace {

std::string GNumericBefore;
QChar GQtPointBefore;
std::filesystem::path GTempRoot;

// Machines often lack the compiled form of a non-English locale. Tests must run under
// one (a comma locale is what FixFormatSettings guards against), so compile it once
// into the build folder from the system's locale sources when it is missing.
void ProvideLocale() {
    const char* lang = std::getenv("LANG");
    if (!lang || !*lang || std::setlocale(LC_ALL, "")) {
        std::setlocale(LC_ALL, "C");
        return;
    }
    const std::string name = lang;  // e.g. de_DE.UTF-8
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) return;
    const std::filesystem::path root = std::filesystem::path(TILO_BINARY_DIR) / "locale";
    if (!std::filesystem::exists(root / name)) {
        const std::filesystem::path work = root / ("build." + std::to_string(::getpid()));
        std::filesystem::create_directories(work);
        const std::string cmd = "localedef -i " + name.substr(0, dot) + " -f " + name.substr(dot + 1) + " '" +
                                (work / name).string() + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0 || std::filesystem::exists(work / name / "LC_NUMERIC")) {
            std::error_code ec;
            std::filesystem::rename(work / name, root / name, ec);  // another test process may have won
        }
        std::error_code ec;
        std::filesystem::remove_all(work, ec);
    }
    ::setenv("LOCPATH", root.c_str(), 1);
    std::setlocale(LC_ALL, "C");
}

class TQtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ProvideLocale();
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        FApp = new tilo::TTiloApplication(argc, argv);
        GNumericBefore = std::setlocale(LC_NUMERIC, nullptr);
        GQtPointBefore = QLocale().decimalPoint().at(0);
        tilo::FixFormatSettings();
    }
    void TearDown() override {
        delete FApp;
        std::error_code ec;
        if (!GTempRoot.empty()) std::filesystem::remove_all(GTempRoot, ec);
    }

private:
    QApplication* FApp = nullptr;
};

[[maybe_unused]] testing::Environment* const GEnvironment = testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

const std::string& NumericLocaleBeforeFix() { return GNumericBefore; }
QChar QtDecimalPointBeforeFix() { return GQtPointBefore; }

std::string TempFolder() {
    static int n = 0;
    if (GTempRoot.empty()) {
        // Made afresh, never named by the process id alone: a run killed before its
        // teardown leaves its folder, and a later process given the same id would find
        // the old databases in it.
        std::string pattern = (std::filesystem::temp_directory_path() / "tilo_app_test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        GTempRoot = pattern;
    }
    const std::filesystem::path dir = GTempRoot / std::to_string(++n);
    std::filesystem::create_directories(dir);
    return dir.string();
}

void SaveGrab(const QImage& Image, const std::string& Name) {
    const std::filesystem::path dir = std::filesystem::path(TILO_BINARY_DIR) / "grabs";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / (Name + ".png")).string();
    EXPECT_TRUE(Image.save(QString::fromStdString(path), "PNG")) << path;
}

}  // namespace tilo_test
