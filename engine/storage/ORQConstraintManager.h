// A table's constraint manager: it owns the table's constraint definitions. Checking
// records against them, binding and naming constraints belong here too and join this
// class with the record bitmap.
#pragma once

#include "engine/storage/ORQDefinitions.h"

namespace orq {

class TORQStream;
class TORQTableData;

class TORQBaseConstraintManager {
public:
    explicit TORQBaseConstraintManager(TORQTableData* TableData) : TableData(TableData) {}
    virtual ~TORQBaseConstraintManager() = default;
    TORQBaseConstraintManager(const TORQBaseConstraintManager&) = delete;
    TORQBaseConstraintManager& operator=(const TORQBaseConstraintManager&) = delete;

    void LoadFromStream(TORQStream& Stream) { ConstraintDefs.LoadFromStream(Stream); }
    void SaveToStream(TORQStream& Stream) const { ConstraintDefs.SaveToStream(Stream); }

    TORQConstraintDefs ConstraintDefs;
    TORQTableData* TableData;  // the owner
};

}  // namespace orq
