// The message log's table as the engine tests build it: its ten fields (with their
// numbers) and the date key.
#pragma once

#include <cstdint>
#include <string>

#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDefinitions.h"

namespace logschema {

using namespace orq;

// Field numbers of the message log.
enum : int32_t { fUtc, fFreq, fQual, fLetter, fType, fNumber, fArea, fStation, fText, fDist, fFieldCount };

inline void AddField(TORQFieldDefs& Fields, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQFieldDef* f = Fields.Add();
    f->Name = Name;
    f->SetDataType(Type, Size);
}

inline void LogFields(TORQFieldDefs& Fields) {
    AddField(Fields, "UTCRECEIVED", aftDateTime);
    AddField(Fields, "FREQ", aftInteger);
    AddField(Fields, "SIGQUAL", aftDouble);
    AddField(Fields, "IDLETTER", aftVarChar, 1);
    AddField(Fields, "MSGTYPE", aftVarChar, 1);
    AddField(Fields, "MSGNUMBER", aftVarChar, 4);
    AddField(Fields, "NAVAREA", aftSmallInt);
    AddField(Fields, "STATION", aftVarChar, 75);
    AddField(Fields, "MSGTEXT", aftMemo);
    AddField(Fields, "DIST", aftInteger);
}

// The date key IDX_DT: primary and unique, or (not Unique) neither.
inline void DateIndex(TORQIndexDefs& Indexes, bool Unique = true) {
    TORQIndexDef* d = Indexes.Add();
    d->Name = "IDX_DT";
    d->Primary = Unique ? 1 : 0;
    d->Unique = Unique ? 1 : 0;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = "UTCRECEIVED";
}

}  // namespace logschema
