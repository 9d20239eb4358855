// orq-sqltest: runs SQL conformance scripts by hand, on MEMORY and on a disk database
// in a scratch folder (or on one of them), and prints every failure with its file and
// line. Exit status 0 when every record passed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "SQLScriptRunner.h"
#include "engine/access/ORQMain.h"

int main(int argc, char** argv) {
    std::vector<sqltest::TEngine> engines = {sqltest::TEngine::Memory, sqltest::TEngine::Disk};
    std::vector<std::string> scripts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--memory") == 0) engines = {sqltest::TEngine::Memory};
        else if (std::strcmp(argv[i], "--disk") == 0) engines = {sqltest::TEngine::Disk};
        else scripts.emplace_back(argv[i]);
    }
    if (scripts.empty()) {
        std::fprintf(stderr, "usage: orq-sqltest [--memory|--disk] SCRIPT...\n");
        return 2;
    }
    char folder[] = "/tmp/orq-sqltest-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    int failures = 0, records = 0;
    for (const std::string& s : scripts) {
        for (sqltest::TEngine e : engines) {
            orq::StartEngine();
            const sqltest::TResult r = sqltest::RunScriptFile(s, e, folder);
            orq::StopEngine();
            records += r.Records;
            for (const sqltest::TFailure& f : r.Failures) {
                std::printf("[%s] %s\n", sqltest::EngineName(e), sqltest::FormatFailure(f).c_str());
                ++failures;
            }
        }
    }
    const std::string db = std::string(folder) + "/SQLTEST.ORQ";
    std::remove(db.c_str());
    rmdir(folder);
    std::printf("%d records, %d failures\n", records, failures);
    return failures == 0 ? 0 : 1;
}
