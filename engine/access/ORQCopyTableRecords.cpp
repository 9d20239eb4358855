// The rebuilds' record copy between two engine tables: the storage level's page-by-page
// copy (TORQTableCopy) where it gives the table the dataset road would, the dataset road
// (CopyTableData) everywhere else. Compaction, restructure and table copies call this.
#include <algorithm>
#include <cmath>

#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "classlib/SysUtils.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQSessions.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQTableCopy.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

// The open local cursor of an engine table that shows its stored fields as they are.
TORQLocalCursor* PlainCursor(classlib::TDataSet& DataSet) {
    auto* table = dynamic_cast<TORQTable*>(&DataSet);
    if (table == nullptr || !table->Active()) return nullptr;
    auto* cursor = dynamic_cast<TORQLocalCursor*>(table->Cursor());
    if (cursor == nullptr || cursor->TableData == nullptr || cursor->Session == nullptr || cursor->Projected != 0)
        return nullptr;
    return cursor;
}

// The codes of a record a constraint refuses, which a post reports as engine result -8.
bool IsConstraintViolation(int32_t Code) {
    switch (Code) {
        case 30026:
        case 30029:
        case 30030:
        case 30036:
        case 30319:
        case 30320:
        case 30330:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool TORQDataSet::CopyTableRecords(classlib::TDataSet* NameTable, classlib::TDataSet& Source,
                                   classlib::TDataSet& Dest, int32_t ProgressMax, int32_t ProgressMin,
                                   const TORQTableProgressEvent& OnProgress, bool MapByFieldIds, bool IgnoreErrors,
                                   bool& Continue, std::string& Log, bool Batched) {
    auto datasetRoad = [&] {
        return CopyTableData(NameTable, Source, Dest, ProgressMax, ProgressMin, OnProgress, MapByFieldIds,
                             IgnoreErrors, Continue, Log, Batched);
    };
    TORQLocalCursor* from = PlainCursor(Source);
    TORQLocalCursor* to = PlainCursor(Dest);
    // A copy that goes past failing records, or a filtered source, is the dataset's.
    if (IgnoreErrors || from == nullptr || to == nullptr || Source.Filtered() || from->IsFiltered() ||
        from->TableData->FieldManager == nullptr)
        return datasetRoad();
    Source.CheckBrowseMode();
    std::vector<int32_t> map(static_cast<size_t>(from->TableData->FieldManager->FieldDefs.GetCount()), -1);
    for (const TCopyFieldPair& p : CopyFieldPairs(Source, Dest, MapByFieldIds)) {
        // A field of no object is the dataset road's to report.
        if (p.From == nullptr) return datasetRoad();
        const int32_t s = p.From->FieldNo() - 1;
        if (p.From->FieldKind() != classlib::fkData || s < 0 || s >= static_cast<int32_t>(map.size()))
            return datasetRoad();
        if (p.To == nullptr) continue;
        if (p.To->FieldKind() != classlib::fkData || p.To->FieldNo() < 1) return datasetRoad();
        map[static_cast<size_t>(s)] = p.To->FieldNo() - 1;
    }
    TORQTableCopy copy(*from->TableData, from->Session->SessionID, *to->TableData, to->Session, std::move(map));
    std::string why;
    if (!copy.Plan(why)) return datasetRoad();
    // The dataset's own check before a post: a required field left Null.
    std::vector<std::pair<int32_t, classlib::TField*>> required;
    for (int32_t i = 0; i < Dest.Fields().Count(); ++i) {
        classlib::TField* f = Dest.Fields().Fields(i);
        if (f->Required() && !f->ReadOnly() && f->FieldKind() == classlib::fkData && f->FieldNo() > 0)
            required.emplace_back(f->FieldNo() - 1, f);
    }
    if (!required.empty())
        copy.BeforeInsert = [&](const uint8_t* Record) {
            for (const auto& [no, field] : required)
                if (GetBit(Record, no))
                    classlib::DatabaseErrorFmt("Field '%s' must have a value", {field->DisplayName()}, &Dest);
        };

    // The dataset road's steps: after record 1 and every Min(Step, 30) records from there.
    const int64_t count = Source.RecordCount();
    const int64_t span = static_cast<int64_t>(ProgressMax) - ProgressMin;
    const int64_t every = std::max<int64_t>(1, std::min<int64_t>(span == 0 ? 1 : count / span + 1, 30));
    auto progress = [&](int64_t Done, int64_t) {
        if (!OnProgress) return true;
        const int32_t at =
            ProgressMin + (count > 0 ? static_cast<int32_t>(std::nearbyint(static_cast<double>(Done) *
                                                                           static_cast<double>(span) /
                                                                           static_cast<double>(count)))
                                     : 0);
        OnProgress(&Source, at, Continue);
        return Continue;
    };
    try {
        copy.Run(progress, every);
    } catch (const std::exception& e) {
        if (copy.FailedRecord() == 0) throw;
        // A record refused: the line and the error its post would have given.
        std::string text = e.what();
        const auto* engine = dynamic_cast<const EORQException*>(&e);
        const bool constraint = engine != nullptr && IsConstraintViolation(engine->NativeError());
        if (constraint) text = EORQEngineError(-8, text).what();
        std::string tableName = "unknown";
        if (auto* table = dynamic_cast<TORQTable*>(NameTable)) tableName = table->TableName();
        Log += classlib::Format("Error copying table \"%s\". Record #%d was not imported due to error: %s\r\n",
                                {tableName, copy.FailedRecord(), text});
        Log += "\r\n";
        if (constraint) RaiseEngineError(-8, e.what());
        throw;
    }
    if (!copy.Stopped()) return true;
    Log += "Terminated by User.\r\n";
    return false;
}

}  // namespace orq
