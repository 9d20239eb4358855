// Advanced field and index definitions, and the converters between a table's three
// structure forms: the class library's TFieldDefs / TIndexDefs (what a dataset shows),
// the storage engine's TORQFieldDefs / TORQIndexDefs / TORQConstraintDefs (what a table
// is created and opened with), and between them the advanced lists here, which carry
// everything the engine needs (defaults, bounds, autoincrement and BLOB settings,
// index column options) in a form a program edits.
//
// Rules kept here:
// - Every converter clears its destination first and then walks its source in order,
//   so the destination's order is the source's.
// - A converter that fails leaves its destination partly filled. Callers must not use
//   a destination after a failed conversion: rebuild it or discard it.
// - Types map through the foundation's SQL type table, first matching row; a type the
//   table lacks, in either direction, raises 30289 "Unknown DataType: '%s'". Round trips
//   through the class library are therefore not identities: WIDESTRING comes back as
//   WIDECHAR, SHORTINT as SMALLINT, BYTE as WORD, CARDINAL and AUTOINCLARGEINT as
//   LARGEINT, the other auto-increment types as AUTOINC, SINGLE and EXTENDED as FLOAT,
//   WIDEMEMO as BLOB.
// - Field-name lists of an index ("Fields", "DescFields", "CaseInsFields") and the
//   indexed sizes are separated by ';' or ','. Names in them and FieldDefExists compare
//   after the engine's 8-bit upper-casing; the advanced lists' Find and Delete compare
//   with the engine's collation ignoring case.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DBDefs.h"
#include "engine/access/ORQSessions.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDefinitions.h"

namespace classlib {
class TDataSet;
}

namespace orq {

// ---------------------------------------------------------------------------------
// Advanced field definitions

class TORQAdvFieldDef {
public:
    TORQAdvFieldDef() = default;
    TORQAdvFieldDef(const TORQAdvFieldDef&) = delete;
    TORQAdvFieldDef& operator=(const TORQAdvFieldDef&) = delete;

    // Copies every field; the three values get data of their own.
    void Assign(const TORQAdvFieldDef& Source);

    std::string Name;
    int32_t ObjectID = -1;  // -1 for a field the engine has not stored yet
    uint8_t DataType = 0;   // advanced field type
    bool Required = false;
    int32_t Size = 0;       // length of sized types, 0 otherwise
    TORQVariant DefaultValue;  // Null: none; a text may be a value expression
    TORQVariant MinValue;      // either bound not Null makes a check constraint
    TORQVariant MaxValue;
    int64_t AutoincIncrement = 1;
    int64_t AutoincInitialValue = 0;
    int64_t AutoincMinValue = 0;
    int64_t AutoincMaxValue = INT64_MAX;
    bool AutoincCycled = false;
    uint8_t BlobCompressionAlgorithm = 0;  // 0 none, 1 ZLIB, 2 BZIP, 3 PPM
    uint8_t BlobCompressionMode = 0;       // 1..9, the algorithm's level
    int32_t BlobBlockSize = DefaultBlobBlockSize;
};

class TORQAdvFieldDefs {
public:
    TORQAdvFieldDefs() = default;
    TORQAdvFieldDefs(const TORQAdvFieldDefs&) = delete;
    TORQAdvFieldDefs& operator=(const TORQAdvFieldDefs&) = delete;

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TORQAdvFieldDef* GetItem(int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }
    // Appends a definition with the defaults.
    TORQAdvFieldDef* Add();
    // Removes the first definition named Name (ignoring case); 30349 when there is none.
    void Delete(std::string_view Name);
    // The first definition named Name (ignoring case), or nullptr.
    TORQAdvFieldDef* Find(std::string_view Name) const;
    void Clear() { FItems.clear(); }
    void Assign(const TORQAdvFieldDefs& Source);

private:
    std::vector<std::unique_ptr<TORQAdvFieldDef>> FItems;
};

// ---------------------------------------------------------------------------------
// Advanced index definitions

class TORQAdvIndexDef {
public:
    TORQAdvIndexDef() = default;
    TORQAdvIndexDef(const TORQAdvIndexDef&) = delete;
    TORQAdvIndexDef& operator=(const TORQAdvIndexDef&) = delete;

    void Assign(const TORQAdvIndexDef& Source);

    std::string Name;
    std::string Fields;         // field names separated by ';' or ','
    std::string DescFields;     // the descending ones; empty: the options decide
    std::string CaseInsFields;  // the case-insensitive ones; empty: the options decide
    classlib::TIndexOptions Options = 0;
    std::string MaxIndexedSizes;  // one integer per column, ';'-separated; empty: 20 each
    bool Temporary = false;
};

class TORQAdvIndexDefs {
public:
    explicit TORQAdvIndexDefs(classlib::TDataSet* ADataSet = nullptr) : FDataSet(ADataSet) {}
    TORQAdvIndexDefs(const TORQAdvIndexDefs&) = delete;
    TORQAdvIndexDefs& operator=(const TORQAdvIndexDefs&) = delete;

    classlib::TDataSet* DataSet() const { return FDataSet; }
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TORQAdvIndexDef* GetItem(int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }
    TORQAdvIndexDef* Add();
    void Clear() { FItems.clear(); }
    // Copies Source's definitions; with SkipTemporary leaves out those marked
    // Temporary and those whose upper-cased name contains "TEMPORARY".
    void Assign(const TORQAdvIndexDefs& Source, bool SkipTemporary);

private:
    classlib::TDataSet* FDataSet;
    std::vector<std::unique_ptr<TORQAdvIndexDef>> FItems;
};

// ---------------------------------------------------------------------------------
// Converters (each clears its destination, then walks the source in order)

// Name (cut to 255 characters), type and size.
void FieldDefsToEngineFieldDefs(const classlib::TFieldDefs& Source, TORQFieldDefs& Dest);
// Name, type, size and Required.
void AdvFieldDefsToFieldDefs(const TORQAdvFieldDefs& Source, classlib::TFieldDefs& Dest);
void FieldDefsToAdvFieldDefs(const classlib::TFieldDefs& Source, TORQAdvFieldDefs& Dest);

// The engine definitions a table is created with: every field with its type, BLOB
// settings (a block size of 0 or below becomes 102400), autoincrement settings and
// default; unless Temporary, a not-null constraint for each Required field and a check
// constraint for each field with a bound; then the key constraints that IndexDefs imply.
void AdvFieldDefsToEngineDefs(const TORQAdvFieldDefs& AdvFieldDefs, TORQFieldDefs& FieldDefs,
                              const TORQIndexDefs& IndexDefs, bool Temporary, TORQConstraintDefs& ConstraintDefs);

// Names, types and sizes (sized types other than GUID; others 0); Required from the
// not-null constraints, except on auto-increment fields.
void EngineFieldDefsToFieldDefs(const TORQFieldDefs& FieldDefs, const TORQConstraintDefs& ConstraintDefs,
                                classlib::TFieldDefs& Dest);

// Everything an engine field carries; Required and the bounds from the not-null and
// check constraints, whose field is found by object id in IdFields and stands at the
// same position in Dest (30032 and 30031 when it is not there); key constraints are
// passed over, any other kind raises 30039.
void EngineFieldDefsToAdvFieldDefs(const TORQFieldDefs& FieldDefs, const TORQFieldDefs& IdFields,
                                   const TORQConstraintDefs& ConstraintDefs, TORQAdvFieldDefs& Dest);

// Name, fields, descending and case-insensitive fields, options.
void AdvIndexDefsToIndexDefs(const TORQAdvIndexDefs& Source, classlib::TIndexDefs& Dest);
// The same; no indexed sizes, not temporary.
void IndexDefsToAdvIndexDefs(const classlib::TIndexDefs& Source, TORQAdvIndexDefs& Dest);

// Fills IndexDef from the parts of an index:
// - an empty Name raises 20048, empty Fields 20049, a field FieldDefs lacks 20050;
// - a column is descending when DescFields names its field, or when DescFields is
//   empty and Options hold ixDescending; case-insensitive likewise;
// - a column's indexed size is the entry at its position in MaxIndexedSizes, 20 when
//   the list is empty or shorter; an entry that is not an integer raises 30904.
void BuildEngineIndexDef(TORQIndexDef& IndexDef, const std::string& Name, const std::string& Fields,
                         const classlib::TFieldDefs& FieldDefs, const std::string& MaxIndexedSizes,
                         const std::string& CaseInsFields, const std::string& DescFields, bool Temporary,
                         classlib::TIndexOptions Options);
void AdvIndexDefsToEngineIndexDefs(const TORQAdvIndexDefs& Source, const classlib::TFieldDefs& FieldDefs,
                                   TORQIndexDefs& Dest);

// Lists joined by ';'; options unique and primary only.
void EngineIndexDefToAdvIndexDef(const TORQIndexDef& IndexDef, TORQAdvIndexDef& Dest);
void EngineIndexDefsToAdvIndexDefs(const TORQIndexDefs& Source, TORQAdvIndexDefs& Dest);

// Whether FieldDefs holds a definition named Name after upper-casing both.
bool FieldDefExists(const classlib::TFieldDefs& FieldDefs, std::string_view Name);

}  // namespace orq
