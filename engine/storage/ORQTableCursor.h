// TORQTableCursor: the minimal concrete cursor the storage layer uses on its own, bound
// directly to a table data object (no session lookup, no cursor factory); index
// building reads a table's records through it.
//
// Rules kept here:
// - While open the cursor is registered with its table data and owns CurrentRecord, a
//   full record buffer of the engine memory manager.
// - Registration, unregistration and every record read run under the table data's lock
//   (the owning database's), released on every path.
// - CloseTable is the explicit close that reports what freeing finds; the destructor
//   closes without raising.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQCursor.h"

namespace orq {

class TORQTableData;

class TORQTableCursor : public TORQCursor {
public:
    TORQTableCursor() = default;
    ~TORQTableCursor() override;

    using TORQCursor::OpenTable;
    // Registers with TableData, builds the field definitions and allocates
    // CurrentRecord; nothing when already open on it, 10260 when open on another.
    void OpenTable(TORQTableData& TableData);
    void CloseTable() override;
    void LockTableData() override;
    void UnlockTableData() override;
    void InitFieldDefs() override;
    void InitRecord(uint8_t* Buffer, bool ApplyDefaults) override;
    uint8_t GetRecord(uint8_t Mode) override;
    void First() override;
    void Last() override;

    std::string_view ClassName() const override { return "TORQTableCursor"; }

private:
    void Release() noexcept;

    TORQMemoryBlock FRecord;
};

}  // namespace orq
