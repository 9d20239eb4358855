// A database opened as one of several processes sharing its file, as the multi-process
// SQL tests open it in the parent and in each child.
#pragma once

#include <memory>
#include <string>

#include "engine/access/ORQDatabase.h"

inline std::unique_ptr<orq::TORQDatabase> OpenShared(const std::string& Name, const std::string& Path) {
    auto db = std::make_unique<orq::TORQDatabase>(nullptr);
    db->SetDatabaseName(Name);
    db->SetDatabaseFileName(Path);
    db->MultiUser = true;
    db->SilentMode = true;
    db->Open();
    return db;
}
