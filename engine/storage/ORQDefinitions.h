// A table's schema inside the storage engine: field, index and constraint definitions,
// their owning collections, the record layout the field collection computes, and the
// byte form in which the table layer keeps all three in a table's metadata.
//
// Rules kept here:
// - Every name comparison in storage goes through SameName (ASCII case folding only; never
//   the locale), so a name matches the same way on every machine.
// - A name holds at most 255 characters (one length byte on disk). A longer name is
//   refused (30340) when it is checked on entering a table and whenever a definition is
//   saved; the NOT NULL and CHECK layout stores length + 1 in one byte, so there the
//   table, target and reserved names hold at most 254. Generated names are cut with
//   FitName. SaveToStream never writes a count that does not fit its field.
// - Counts read from a stream are never trusted with an allocation: collection, column
//   and name counts are checked against the bytes left and refused with the element's
//   read code.
// - Collections own their items; Assign copies. Temporary indexes are never saved. A
//   collection changes only when its whole stream was read.
// - A field's DefaultExpression exists only for a non-Null text default that the SQL
//   layer recognises as an expression (NOW()), and only while an expression factory is
//   installed; otherwise the default stays a literal. The stored bytes never depend on it.
//
// Byte layout (little-endian; "name" is a count byte and the characters):
//   definition header   name, ObjectID i32
//   field               header, BaseType u8, FieldType u8, Size i32,
//                       [BLOB base types 18-20: algorithm u8, mode u8, block size i32],
//                       increment i64, initial i64, min i64, max i64, cycled u8,
//                       DefaultValue (variant stream form)
//   index column        name, Descending u8, CaseInsensitive u8, MaxIndexedSize i32
//   index               header, IndexType u8, Unique u8, Primary u8, column count i32,
//                       RootPage i32, columns
//   NOT NULL / CHECK    header, ReservedID, TableID, TargetID i32; per name (reserved,
//                       table, target) u8 C = length + 1 and the short string (length
//                       byte first); CHECK then MinValue, MaxValue (variant form)
//   UNIQUE / PRIMARY    header, the three ids, per name i32 C and the short string;
//                       column count i32; per column field id i32, i32 C, short string
//   collections         i32 count then the items; indexes count only permanent ones;
//                       constraints prefix each item with its type byte
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/foundation/ORQVariant.h"

namespace orq {

class TORQStream;

inline constexpr int32_t MaxNameLength = 255;
inline constexpr int32_t DefaultBlobBlockSize = 102400;
inline constexpr int32_t DefaultMaxIndexedSize = 20;

// Equal names under ASCII case folding; other bytes compare exactly.
bool SameName(std::string_view A, std::string_view B);
// Refuses (30340) a name longer than MaxLength characters; What says whose name it is.
void CheckName(std::string_view Name, std::string_view What, int32_t MaxLength = MaxNameLength);
// A generated name cut to MaxNameLength characters.
std::string FitName(std::string Name);

// ---------------------------------------------------------------------------------
// Definitions

class TORQMetaObjectDef {
public:
    TORQMetaObjectDef() = default;
    virtual ~TORQMetaObjectDef() = default;
    TORQMetaObjectDef(const TORQMetaObjectDef&) = delete;
    TORQMetaObjectDef& operator=(const TORQMetaObjectDef&) = delete;

    // Copies what Source has of this class's data (name and id at least).
    virtual void Assign(const TORQMetaObjectDef& Source);
    // The definition header; children read and write their own data after it.
    virtual void LoadFromStream(TORQStream& Stream);
    // Checks every name first (CheckNames), so a refused name leaves nothing written.
    virtual void SaveToStream(TORQStream& Stream) const;
    // Refuses (30340) any name of the definition that its stored form cannot hold.
    virtual void CheckNames() const;

    std::string Name;
    int32_t ObjectID = -1;
};

class TORQFieldDef : public TORQMetaObjectDef {
public:
    TORQFieldDef() = default;
    ~TORQFieldDef() override;

    void Assign(const TORQMetaObjectDef& Source) override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;

    // Sets the advanced type and its base type (30007 for a type without one) and the sizes.
    void SetDataType(uint8_t FieldType, int32_t Size);
    // MemorySize from the base type and Size; DataSize 6 for BLOB base types.
    void CalculateSizes();
    // Frees DefaultExpression and makes it again when DefaultValue is an expression text.
    void RebuildDefaultExpression();

    uint8_t BaseType = 0;
    uint8_t FieldType = 0;
    int32_t Size = 0;
    int32_t DataSize = 0;
    int32_t MemorySize = 0;
    int32_t DataOffset = 0;
    int32_t MemoryOffset = 0;
    int32_t BaseFieldNo = 0;  // not copied by Assign
    TORQVariant DefaultValue;
    std::unique_ptr<TORQBaseExpression> DefaultExpression;
    uint8_t BlobCompressionAlgorithm = 0;
    uint8_t BlobCompressionMode = 0;
    int32_t BlobBlockSize = DefaultBlobBlockSize;
    int64_t AutoincIncrement = 1;
    int64_t AutoincInitialValue = 0;
    int64_t AutoincMinValue = 0;
    int64_t AutoincMaxValue = INT64_MAX;
    uint8_t AutoincCycled = 0;
};

struct TORQIndexColumn {
    std::string FieldName;
    uint8_t Descending = 0;
    uint8_t CaseInsensitive = 0;
    int32_t MaxIndexedSize = DefaultMaxIndexedSize;
};

class TORQIndexDef : public TORQMetaObjectDef {
public:
    void Assign(const TORQMetaObjectDef& Source) override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;
    void CheckNames() const override;

    int32_t GetColumnCount() const { return static_cast<int32_t>(Columns.size()); }
    TORQIndexColumn& GetColumn(int32_t Index) { return Columns.at(static_cast<std::size_t>(Index)); }
    const TORQIndexColumn& GetColumn(int32_t Index) const { return Columns.at(static_cast<std::size_t>(Index)); }
    // Grows with default columns or drops the surplus.
    void SetColumnCount(int32_t Count);
    // One column per name: "DESC" makes it descending, "NO_CASE" case-insensitive (both
    // exact); lengths differing from FieldNames raise 10278 (Orders) and 10279 (Cases).
    void SetColumns(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                    const std::vector<std::string>& Cases);

    uint8_t IndexType = 0;
    std::vector<TORQIndexColumn> Columns;
    uint8_t Unique = 0;
    uint8_t Primary = 0;
    int32_t RootPage = -1;
    uint8_t Temporary = 0;  // never saved
    int32_t OwnerSessionID = -1;
    int32_t RecordStamp = 0;
    // Restricts the SQL layer's use of the index at its first column to scans whose
    // restriction value equals RestrictionNo; copied, never saved.
    uint8_t Restricted = 0;
    int32_t RestrictionNo = -1;
};

// Constraint kinds.
enum : uint8_t { ctPrimaryKey = 0, ctUnique = 2, ctNotNull = 3, ctCheck = 4 };

class TORQConstraintDef : public TORQMetaObjectDef {
public:
    void Assign(const TORQMetaObjectDef& Source) override;
    void CheckNames() const override;

    uint8_t ConstraintType = 0;
    std::string ReservedName;
    int32_t ReservedID = 0;
    std::string TableName;
    int32_t TableID = 0;
    std::string TargetName;
    int32_t TargetID = 0;

protected:
    explicit TORQConstraintDef(uint8_t Type) : ConstraintType(Type) {}
};

class TORQConstraintDefNotNull : public TORQConstraintDef {
public:
    TORQConstraintDefNotNull() : TORQConstraintDef(ctNotNull) {}
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;
};

class TORQConstraintDefCheck : public TORQConstraintDef {
public:
    TORQConstraintDefCheck() : TORQConstraintDef(ctCheck) {}
    void Assign(const TORQMetaObjectDef& Source) override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;

    TORQVariant MinValue;  // Null: no bound
    TORQVariant MaxValue;
};

struct TORQConstraintColumn {
    std::string FieldName;
    int32_t FieldID = 0;
};

class TORQConstraintDefUnique : public TORQConstraintDef {
public:
    TORQConstraintDefUnique() : TORQConstraintDef(ctUnique) {}
    void Assign(const TORQMetaObjectDef& Source) override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;
    void CheckNames() const override;

    std::vector<TORQConstraintColumn> Columns;

protected:
    explicit TORQConstraintDefUnique(uint8_t Type) : TORQConstraintDef(Type) {}
};

class TORQConstraintDefPrimary : public TORQConstraintDefUnique {
public:
    TORQConstraintDefPrimary() : TORQConstraintDefUnique(ctPrimaryKey) {}
};

// ---------------------------------------------------------------------------------
// Collections (positions from 0)

class TORQMetaObjectDefs {
public:
    TORQMetaObjectDefs() : FItems(true) {}
    virtual ~TORQMetaObjectDefs() = default;
    TORQMetaObjectDefs(const TORQMetaObjectDefs&) = delete;
    TORQMetaObjectDefs& operator=(const TORQMetaObjectDefs&) = delete;

    virtual int32_t GetCount() const { return FItems.Count(); }
    // Takes ownership; returns the position.
    virtual int32_t AddItem(TORQMetaObjectDef* Item) { return FItems.Add(Item); }
    // A new item of the collection's class, appended; 30339 in the base.
    virtual TORQMetaObjectDef* InternalAddCreated();
    virtual void LoadFromStream(TORQStream& Stream);
    virtual void SaveToStream(TORQStream& Stream) const;
    // Copies Source's items; a name met twice raises 10424.
    virtual void Assign(const TORQMetaObjectDefs& Source);
    virtual void Delete(int32_t Index) { FItems.Delete(Index); }
    virtual void Insert(int32_t Index, TORQMetaObjectDef* Item) { FItems.Insert(Index, Item); }
    virtual void Move(int32_t CurIndex, int32_t NewIndex);
    virtual void Clear();

    TORQMetaObjectDef* Item(int32_t Index) const { return FItems[Index]; }
    int32_t IndexOfName(std::string_view Name) const;
    int32_t IndexOfID(int32_t ID) const;
    TORQMetaObjectDef* FindByID(int32_t ID) const;
    // Every item's CheckNames: what a table runs on definitions that enter it.
    void CheckNames() const;

    int32_t LoadedCount = 0;

protected:
    // The count read by LoadFromStream, refused (ReadCode) when negative or larger than
    // the bytes left in the stream.
    int32_t ReadCount(TORQStream& Stream, int32_t ReadCode);
    // Replaces the items by Loaded once a whole stream was read, so a failed load leaves
    // the collection as it was.
    void ReplaceItems(std::vector<std::unique_ptr<TORQMetaObjectDef>> Loaded);

private:
    TORQSortedStringPtrArray<TORQMetaObjectDef> FItems;
};

class TORQFieldDefs : public TORQMetaObjectDefs {
public:
    TORQMetaObjectDef* InternalAddCreated() override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;

    TORQFieldDef* Add() { return static_cast<TORQFieldDef*>(InternalAddCreated()); }
    TORQFieldDef* GetItem(int32_t Index) const { return static_cast<TORQFieldDef*>(Item(Index)); }
    TORQFieldDef* FindByName(std::string_view Name) const;

    // Null bitmap of ceil(N / 8) bytes, then the fields packed in order in both forms.
    void CalculateOffsets();
    int32_t GetNullBitmapSize() const { return (GetCount() + 7) / 8; }
    int32_t GetMemoryRecordSize() const;
    int32_t GetRecordDataSize() const;
};

class TORQIndexDefs : public TORQMetaObjectDefs {
public:
    TORQMetaObjectDef* InternalAddCreated() override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;

    TORQIndexDef* Add() { return static_cast<TORQIndexDef*>(InternalAddCreated()); }
    TORQIndexDef* GetItem(int32_t Index) const { return static_cast<TORQIndexDef*>(Item(Index)); }
    // Frees the old item and puts Item (owned from now on) in its place.
    void SetItem(int32_t Index, TORQIndexDef* Item);
    TORQIndexDef* FindByName(std::string_view Name) const;

    // The ObjectID of the first index whose leading columns serve the lists (names; "ASC"
    // or "DESC"; "CASE" or "NO_CASE", other words impose nothing), skipping temporary
    // indexes of other sessions; -1 when none. Lengths differing from FieldNames raise
    // 10276 (Orders) and 10277 (Cases).
    int32_t FindIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                               const std::vector<std::string>& Cases, const TORQFieldDefs& FieldDefs,
                               int32_t SessionID) const;
    bool HasIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                           const std::vector<std::string>& Cases, const TORQFieldDefs& FieldDefs,
                           int32_t SessionID) const {
        return FindIndexForFields(FieldNames, Orders, Cases, FieldDefs, SessionID) != -1;
    }
};

class TORQConstraintDefs : public TORQMetaObjectDefs {
public:
    TORQMetaObjectDef* InternalAddCreated() override;
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) const override;
    // Copies by kind (30035 for an unknown one), without the duplicate-name check.
    void Assign(const TORQMetaObjectDefs& Source) override;

    TORQConstraintDefNotNull* AddNotNull();
    TORQConstraintDefCheck* AddCheck();
    TORQConstraintDefPrimary* AddPrimary();
    TORQConstraintDefUnique* AddUnique();
    TORQConstraintDef* GetItem(int32_t Index) const { return static_cast<TORQConstraintDef*>(Item(Index)); }
    // A new, unlisted definition of that kind; 30316 for a kind the engine does not know.
    static std::unique_ptr<TORQConstraintDef> CreateOfType(uint8_t Type);
};

// The constraint an index implies, appended to Constraints: a primary-key constraint for
// a primary index, else a unique one for a unique index, else nothing (nil). It targets
// the index (name and ObjectID), takes its column names in order and is named "C_PK" or
// "C_Unique" followed by "$" and each column name, cut to 255 characters. Object id and
// field ids are left for the table to assign.
TORQConstraintDefUnique* IndexDefToConstraintDefs(const TORQIndexDef& IndexDef, TORQConstraintDefs& Constraints);

}  // namespace orq
