#include "engine/storage/ORQDefinitions.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

namespace {

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int64_t BytesLeft(TORQStream& Stream) { return Stream.Size() - Stream.Position(); }

// Fixed-width little-endian transfers through the checked stream functions.
void WriteU8(TORQStream& Stream, uint8_t Value, int32_t Code) { WriteStreamChecked(&Value, 1, Stream, Code); }
void WriteI32(TORQStream& Stream, int32_t Value, int32_t Code) {
    uint8_t b[4];
    const auto v = static_cast<uint32_t>(Value);
    for (int k = 0; k < 4; ++k) b[k] = static_cast<uint8_t>(v >> (8 * k));
    WriteStreamChecked(b, 4, Stream, Code);
}
void WriteI64(TORQStream& Stream, int64_t Value, int32_t Code) {
    uint8_t b[8];
    const auto v = static_cast<uint64_t>(Value);
    for (int k = 0; k < 8; ++k) b[k] = static_cast<uint8_t>(v >> (8 * k));
    WriteStreamChecked(b, 8, Stream, Code);
}
uint8_t ReadU8(TORQStream& Stream, int32_t Code) {
    uint8_t v = 0;
    ReadStreamChecked(&v, 1, Stream, Code);
    return v;
}
int32_t ReadI32(TORQStream& Stream, int32_t Code) {
    uint8_t b[4];
    ReadStreamChecked(b, 4, Stream, Code);
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(b[k]) << (8 * k);
    return static_cast<int32_t>(v);
}
int64_t ReadI64(TORQStream& Stream, int32_t Code) {
    uint8_t b[8];
    ReadStreamChecked(b, 8, Stream, Code);
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= static_cast<uint64_t>(b[k]) << (8 * k);
    return static_cast<int64_t>(v);
}

[[noreturn]] void RaiseBadCount(int32_t Code, int64_t Count, TORQStream& Stream) {
    RaiseNativeFmt(Code, "Invalid count in stream: %d. Position = %d, Stream size = %d",
                   {Count, Stream.Position(), Stream.Size()});
}

// A name as its count byte and characters (definition headers, index columns).
void WriteName(TORQStream& Stream, const std::string& Name, std::string_view What, int32_t CountCode,
               int32_t BytesCode) {
    CheckName(Name, What);
    WriteU8(Stream, static_cast<uint8_t>(Name.size()), CountCode);
    WriteStreamChecked(Name.data(), static_cast<int64_t>(Name.size()), Stream, BytesCode);
}
std::string ReadName(TORQStream& Stream, int32_t CountCode, int32_t BytesCode) {
    const uint8_t length = ReadU8(Stream, CountCode);
    std::string name(length, '\0');
    ReadStreamChecked(name.data(), length, Stream, BytesCode);
    return name;
}

// A whole short string (its length byte, then the characters) behind a count C = length + 1
// of one byte (NOT NULL, CHECK) or four (UNIQUE, PRIMARY KEY).
void WriteShortString(TORQStream& Stream, const std::string& Name, bool WideCount, std::string_view What,
                      int32_t CountCode, int32_t BytesCode) {
    // Length + 1 must fit the one-byte count: 254 characters there, 255 otherwise.
    CheckName(Name, What, WideCount ? MaxNameLength : MaxNameLength - 1);
    const auto length = static_cast<uint8_t>(Name.size());
    if (WideCount) WriteI32(Stream, length + 1, CountCode);
    else WriteU8(Stream, static_cast<uint8_t>(length + 1), CountCode);
    std::string bytes(1, static_cast<char>(length));
    bytes += Name;
    WriteStreamChecked(bytes.data(), static_cast<int64_t>(bytes.size()), Stream, BytesCode);
}
std::string ReadShortString(TORQStream& Stream, bool WideCount, int32_t CountCode, int32_t BytesCode) {
    int32_t count = WideCount ? ReadI32(Stream, CountCode) : ReadU8(Stream, CountCode);
    if (count < 0 || count > MaxNameLength + 1) RaiseBadCount(CountCode, count, Stream);
    if (count > BytesLeft(Stream)) RaiseBadCount(BytesCode, count, Stream);
    if (count == 0) return {};
    std::string bytes(static_cast<std::size_t>(count), '\0');
    ReadStreamChecked(bytes.data(), count, Stream, BytesCode);
    const auto length = static_cast<uint8_t>(bytes[0]);
    // The length byte may not claim characters the count did not carry.
    if (length > count - 1)
        RaiseNativeFmt(BytesCode, "Invalid name in stream: length %d in %d bytes", {length, count});
    return bytes.substr(1, length);
}

struct ConstraintCodes {
    int32_t Ids[3];
    int32_t Names[6];  // count and bytes of the reserved, table and target names
};
// NOT NULL and CHECK codes, write and read.
constexpr ConstraintCodes NotNullWrite{{10240, 10241, 10242}, {10243, 10244, 10245, 10246, 10247, 10248}};
constexpr ConstraintCodes NotNullRead{{10249, 10250, 10251}, {10252, 10253, 10254, 10255, 10256, 10257}};
constexpr ConstraintCodes CheckWrite{{10227, 10228, 10229}, {10221, 10222, 10223, 10224, 10225, 10226}};
constexpr ConstraintCodes CheckRead{{10230, 10231, 10232}, {10233, 10234, 10235, 10236, 10237, 10238}};
constexpr ConstraintCodes UniqueWrite{{30313, 30314, 30318}, {30315, 30316, 30317, 30318, 30323, 30324}};
constexpr ConstraintCodes UniqueRead{{30303, 30304, 30317}, {30305, 30306, 30307, 30308, 30321, 30322}};

void SaveReferences(const TORQConstraintDef& Def, TORQStream& Stream, bool WideCount, const ConstraintCodes& C) {
    Def.TORQMetaObjectDef::SaveToStream(Stream);
    WriteI32(Stream, Def.ReservedID, C.Ids[0]);
    WriteI32(Stream, Def.TableID, C.Ids[1]);
    WriteI32(Stream, Def.TargetID, C.Ids[2]);
    WriteShortString(Stream, Def.ReservedName, WideCount, "Reserved name", C.Names[0], C.Names[1]);
    WriteShortString(Stream, Def.TableName, WideCount, "Table name", C.Names[2], C.Names[3]);
    WriteShortString(Stream, Def.TargetName, WideCount, "Constraint target name", C.Names[4], C.Names[5]);
}

void LoadReferences(TORQConstraintDef& Def, TORQStream& Stream, bool WideCount, const ConstraintCodes& C) {
    Def.TORQMetaObjectDef::LoadFromStream(Stream);
    Def.ReservedID = ReadI32(Stream, C.Ids[0]);
    Def.TableID = ReadI32(Stream, C.Ids[1]);
    Def.TargetID = ReadI32(Stream, C.Ids[2]);
    Def.ReservedName = ReadShortString(Stream, WideCount, C.Names[0], C.Names[1]);
    Def.TableName = ReadShortString(Stream, WideCount, C.Names[2], C.Names[3]);
    Def.TargetName = ReadShortString(Stream, WideCount, C.Names[4], C.Names[5]);
}

template <typename T>
const T* As(const TORQMetaObjectDef& Source) {
    return dynamic_cast<const T*>(&Source);
}

}  // namespace

// ---------------------------------------------------------------------------------

bool SameName(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (FoldAscii(A[i]) != FoldAscii(B[i])) return false;
    return true;
}

void CheckName(std::string_view Name, std::string_view What, int32_t MaxLength) {
    if (static_cast<int64_t>(Name.size()) <= MaxLength) return;
    std::string shown(Name.substr(0, 32));
    RaiseNativeFmt(30340, "%s '%s...' is too long: %d characters, at most %d allowed",
                   {What, shown, static_cast<int64_t>(Name.size()), MaxLength});
}

std::string FitName(std::string Name) {
    if (Name.size() > static_cast<std::size_t>(MaxNameLength)) Name.resize(MaxNameLength);
    return Name;
}

// ---------------------------------------------------------------------------------
// TORQMetaObjectDef

void TORQMetaObjectDef::Assign(const TORQMetaObjectDef& Source) {
    Name = Source.Name;
    ObjectID = Source.ObjectID;
}

void TORQMetaObjectDef::LoadFromStream(TORQStream& Stream) {
    Name = ReadName(Stream, 10166, 10167);
    ObjectID = ReadI32(Stream, 10169);
}

void TORQMetaObjectDef::CheckNames() const { CheckName(Name, "Name"); }

void TORQMetaObjectDef::SaveToStream(TORQStream& Stream) const {
    CheckNames();
    WriteName(Stream, Name, "Name", 10164, 10165);
    WriteI32(Stream, ObjectID, 10168);
}

// ---------------------------------------------------------------------------------
// TORQFieldDef

TORQFieldDef::~TORQFieldDef() = default;

void TORQFieldDef::SetDataType(uint8_t NewFieldType, int32_t NewSize) {
    const uint8_t base = AdvancedToBaseFieldType(NewFieldType);
    if (base == 0) RaiseNativeFmt(30007, "Unsupported data type '%s'", {AdvancedFieldTypeName(NewFieldType)});
    FieldType = NewFieldType;
    BaseType = base;
    Size = NewSize;
    CalculateSizes();
}

void TORQFieldDef::CalculateSizes() {
    MemorySize = GetDataTypeValueSize(BaseType, Size);
    DataSize = IsBlobBaseType(BaseType) ? 6 : MemorySize;
}

void TORQFieldDef::RebuildDefaultExpression() {
    DefaultExpression.reset();
    // Only a text can be an expression, and only the SQL layer can tell; before it is
    // installed (or for any other default) the value stays a literal.
    if (DefaultValue.IsNull() || !DefaultValue.IsString() || !HasExpressionFactory()) return;
    if (!IsDefaultValueExpression(DefaultValue)) return;
    std::unique_ptr<TORQBaseExpression> expression = CreateExpression();
    if (expression->TryParseValueExpression(DefaultValue.GetAsString())) DefaultExpression = std::move(expression);
}

void TORQFieldDef::Assign(const TORQMetaObjectDef& Source) {
    TORQMetaObjectDef::Assign(Source);
    const TORQFieldDef* s = As<TORQFieldDef>(Source);
    if (s == nullptr) return;
    BaseType = s->BaseType;
    FieldType = s->FieldType;
    Size = s->Size;
    DataSize = s->DataSize;
    MemorySize = s->MemorySize;
    DataOffset = s->DataOffset;
    MemoryOffset = s->MemoryOffset;
    DefaultValue.Assign(s->DefaultValue, true);
    BlobCompressionAlgorithm = s->BlobCompressionAlgorithm;
    BlobCompressionMode = s->BlobCompressionMode;
    BlobBlockSize = s->BlobBlockSize;
    AutoincIncrement = s->AutoincIncrement;
    AutoincInitialValue = s->AutoincInitialValue;
    AutoincMinValue = s->AutoincMinValue;
    AutoincMaxValue = s->AutoincMaxValue;
    AutoincCycled = s->AutoincCycled;
    RebuildDefaultExpression();
}

void TORQFieldDef::SaveToStream(TORQStream& Stream) const {
    TORQMetaObjectDef::SaveToStream(Stream);
    WriteU8(Stream, BaseType, 10170);
    WriteU8(Stream, FieldType, 10171);
    WriteI32(Stream, Size, 10172);
    if (IsBlobBaseType(BaseType)) {
        WriteU8(Stream, BlobCompressionAlgorithm, 10175);
        WriteU8(Stream, BlobCompressionMode, 10176);
        WriteI32(Stream, BlobBlockSize, 10177);
    }
    WriteI64(Stream, AutoincIncrement, 30412);
    WriteI64(Stream, AutoincInitialValue, 30413);
    WriteI64(Stream, AutoincMinValue, 30414);
    WriteI64(Stream, AutoincMaxValue, 30415);
    WriteU8(Stream, AutoincCycled, 30416);
    DefaultValue.SaveToStream(Stream);
}

void TORQFieldDef::LoadFromStream(TORQStream& Stream) {
    TORQMetaObjectDef::LoadFromStream(Stream);
    BaseType = ReadU8(Stream, 10187);
    FieldType = ReadU8(Stream, 10188);
    Size = ReadI32(Stream, 10189);
    // A negative length would give the field no room (or negative room) in a record.
    if (Size < 0) RaiseNativeFmt(10189, "Invalid field size in stream: %d", {Size});
    BlobCompressionAlgorithm = 0;
    BlobCompressionMode = 0;
    BlobBlockSize = DefaultBlobBlockSize;
    if (IsBlobBaseType(BaseType)) {
        BlobCompressionAlgorithm = ReadU8(Stream, 10192);
        BlobCompressionMode = ReadU8(Stream, 10193);
        BlobBlockSize = ReadI32(Stream, 10194);
    }
    AutoincIncrement = ReadI64(Stream, 30407);
    AutoincInitialValue = ReadI64(Stream, 30408);
    AutoincMinValue = ReadI64(Stream, 30409);
    AutoincMaxValue = ReadI64(Stream, 30410);
    AutoincCycled = ReadU8(Stream, 30411);
    DefaultValue.LoadFromStream(Stream);
    CalculateSizes();
    RebuildDefaultExpression();
}

// ---------------------------------------------------------------------------------
// TORQIndexDef

void TORQIndexDef::Assign(const TORQMetaObjectDef& Source) {
    TORQMetaObjectDef::Assign(Source);
    const TORQIndexDef* s = As<TORQIndexDef>(Source);
    if (s == nullptr) return;
    IndexType = s->IndexType;
    Columns = s->Columns;
    Unique = s->Unique;
    Primary = s->Primary;
    RootPage = s->RootPage;
    Temporary = s->Temporary;
    OwnerSessionID = s->OwnerSessionID;
    RecordStamp = s->RecordStamp;
    Restricted = s->Restricted;
    RestrictionNo = s->RestrictionNo;
}

void TORQIndexDef::SetColumnCount(int32_t Count) { Columns.resize(static_cast<std::size_t>(std::max(Count, 0))); }

void TORQIndexDef::SetColumns(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                              const std::vector<std::string>& Cases) {
    const auto n = static_cast<int64_t>(FieldNames.size());
    if (n != static_cast<int64_t>(Orders.size()))
        RaiseNativeFmt(10278, "Error - different list lengths. L1 = %d, L2 = %d", {n, static_cast<int64_t>(Orders.size())});
    if (n != static_cast<int64_t>(Cases.size()))
        RaiseNativeFmt(10279, "Error - different list lengths. L1 = %d, L2 = %d", {n, static_cast<int64_t>(Cases.size())});
    std::vector<TORQIndexColumn> columns(FieldNames.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        columns[i].FieldName = FieldNames[i];
        columns[i].Descending = Orders[i] == "DESC" ? 1 : 0;
        columns[i].CaseInsensitive = Cases[i] == "NO_CASE" ? 1 : 0;
        columns[i].MaxIndexedSize = DefaultMaxIndexedSize;
    }
    Columns = std::move(columns);
}

void TORQIndexDef::CheckNames() const {
    TORQMetaObjectDef::CheckNames();
    for (const TORQIndexColumn& c : Columns) CheckName(c.FieldName, "Index column name");
}

void TORQIndexDef::SaveToStream(TORQStream& Stream) const {
    TORQMetaObjectDef::SaveToStream(Stream);
    WriteU8(Stream, IndexType, 10344);
    WriteU8(Stream, Unique, 10345);
    WriteU8(Stream, Primary, 10346);
    WriteI32(Stream, GetColumnCount(), 10347);
    WriteI32(Stream, RootPage, 10348);
    for (const TORQIndexColumn& c : Columns) {
        WriteName(Stream, c.FieldName, "Index column name", 10354, 10355);
        WriteU8(Stream, c.Descending, 10356);
        WriteU8(Stream, c.CaseInsensitive, 10357);
        WriteI32(Stream, c.MaxIndexedSize, 20169);
    }
}

void TORQIndexDef::LoadFromStream(TORQStream& Stream) {
    TORQMetaObjectDef::LoadFromStream(Stream);
    IndexType = ReadU8(Stream, 10349);
    Unique = ReadU8(Stream, 10350);
    Primary = ReadU8(Stream, 10351);
    const int32_t count = ReadI32(Stream, 10352);
    RootPage = ReadI32(Stream, 10353);
    // Every column takes at least one byte: more columns than bytes left is damage.
    if (count < 0 || count > BytesLeft(Stream)) RaiseBadCount(10352, count, Stream);
    std::vector<TORQIndexColumn> columns;
    for (int32_t i = 0; i < count; ++i) {
        TORQIndexColumn c;
        c.FieldName = ReadName(Stream, 10358, 10359);
        c.Descending = ReadU8(Stream, 10360);
        c.CaseInsensitive = ReadU8(Stream, 10361);
        c.MaxIndexedSize = ReadI32(Stream, 20168);
        columns.push_back(std::move(c));
    }
    Columns = std::move(columns);
    Temporary = 0;
}

// ---------------------------------------------------------------------------------
// Constraints

void TORQConstraintDef::Assign(const TORQMetaObjectDef& Source) {
    TORQMetaObjectDef::Assign(Source);
    const TORQConstraintDef* s = As<TORQConstraintDef>(Source);
    if (s == nullptr) return;
    ConstraintType = s->ConstraintType;
    ReservedName = s->ReservedName;
    ReservedID = s->ReservedID;
    TableName = s->TableName;
    TableID = s->TableID;
    TargetName = s->TargetName;
    TargetID = s->TargetID;
}

void TORQConstraintDef::CheckNames() const {
    TORQMetaObjectDef::CheckNames();
    // NOT NULL and CHECK store length + 1 in one byte.
    const int32_t most = ConstraintType == ctNotNull || ConstraintType == ctCheck ? MaxNameLength - 1 : MaxNameLength;
    CheckName(ReservedName, "Reserved name", most);
    CheckName(TableName, "Table name", most);
    CheckName(TargetName, "Constraint target name", most);
}

void TORQConstraintDefNotNull::SaveToStream(TORQStream& Stream) const {
    SaveReferences(*this, Stream, false, NotNullWrite);
}

void TORQConstraintDefNotNull::LoadFromStream(TORQStream& Stream) {
    LoadReferences(*this, Stream, false, NotNullRead);
}

void TORQConstraintDefCheck::Assign(const TORQMetaObjectDef& Source) {
    TORQConstraintDef::Assign(Source);
    const TORQConstraintDefCheck* s = As<TORQConstraintDefCheck>(Source);
    if (s == nullptr) return;
    MinValue.Assign(s->MinValue, true);
    MaxValue.Assign(s->MaxValue, true);
}

void TORQConstraintDefCheck::SaveToStream(TORQStream& Stream) const {
    SaveReferences(*this, Stream, false, CheckWrite);
    MinValue.SaveToStream(Stream);
    MaxValue.SaveToStream(Stream);
}

void TORQConstraintDefCheck::LoadFromStream(TORQStream& Stream) {
    LoadReferences(*this, Stream, false, CheckRead);
    MinValue.LoadFromStream(Stream);
    MaxValue.LoadFromStream(Stream);
}

void TORQConstraintDefUnique::Assign(const TORQMetaObjectDef& Source) {
    TORQConstraintDef::Assign(Source);
    const TORQConstraintDefUnique* s = As<TORQConstraintDefUnique>(Source);
    if (s == nullptr) return;
    Columns = s->Columns;
}

void TORQConstraintDefUnique::CheckNames() const {
    TORQConstraintDef::CheckNames();
    for (const TORQConstraintColumn& c : Columns) CheckName(c.FieldName, "Constraint column name");
}

void TORQConstraintDefUnique::SaveToStream(TORQStream& Stream) const {
    SaveReferences(*this, Stream, true, UniqueWrite);
    WriteI32(Stream, static_cast<int32_t>(Columns.size()), 30319);
    for (const TORQConstraintColumn& c : Columns) {
        WriteI32(Stream, c.FieldID, 30320);
        WriteShortString(Stream, c.FieldName, true, "Constraint column name", 30321, 30322);
    }
}

void TORQConstraintDefUnique::LoadFromStream(TORQStream& Stream) {
    LoadReferences(*this, Stream, true, UniqueRead);
    const int32_t count = ReadI32(Stream, 30309);
    if (count < 0 || count > BytesLeft(Stream)) RaiseBadCount(30309, count, Stream);
    std::vector<TORQConstraintColumn> columns;
    for (int32_t i = 0; i < count; ++i) {
        TORQConstraintColumn c;
        c.FieldID = ReadI32(Stream, 30310);
        c.FieldName = ReadShortString(Stream, true, 30311, 30312);
        columns.push_back(std::move(c));
    }
    Columns = std::move(columns);
}

// ---------------------------------------------------------------------------------
// TORQMetaObjectDefs

TORQMetaObjectDef* TORQMetaObjectDefs::InternalAddCreated() {
    RaiseNativeFmt(30339, "The method '%s' not overrided in class '%s'", {"InternalAddCreated", "TORQMetaObjectDefs"});
}

void TORQMetaObjectDefs::LoadFromStream(TORQStream&) {}
void TORQMetaObjectDefs::SaveToStream(TORQStream&) const {}

void TORQMetaObjectDefs::Assign(const TORQMetaObjectDefs& Source) {
    if (&Source == this) return;
    Clear();
    for (int32_t i = 0; i < Source.GetCount(); ++i) {
        const TORQMetaObjectDef& item = *Source.Item(i);
        if (IndexOfName(item.Name) >= 0) RaiseNativeFmt(10424, "Duplicate field name %s", {item.Name});
        InternalAddCreated()->Assign(item);
    }
}

void TORQMetaObjectDefs::Move(int32_t CurIndex, int32_t NewIndex) {
    if (CurIndex == NewIndex) return;
    TORQMetaObjectDef* item = FItems.Extract(CurIndex);
    try {
        FItems.Insert(NewIndex, item);
    } catch (...) {
        FItems.Insert(CurIndex, item);
        throw;
    }
}

void TORQMetaObjectDefs::Clear() {
    while (GetCount() > 0) Delete(0);
}

int32_t TORQMetaObjectDefs::IndexOfName(std::string_view Name) const {
    for (int32_t i = 0; i < FItems.Count(); ++i)
        if (SameName(FItems[i]->Name, Name)) return i;
    return -1;
}

int32_t TORQMetaObjectDefs::IndexOfID(int32_t ID) const {
    for (int32_t i = 0; i < FItems.Count(); ++i)
        if (FItems[i]->ObjectID == ID) return i;
    return -1;
}

TORQMetaObjectDef* TORQMetaObjectDefs::FindByID(int32_t ID) const {
    const int32_t i = IndexOfID(ID);
    return i < 0 ? nullptr : FItems[i];
}

void TORQMetaObjectDefs::CheckNames() const {
    for (int32_t i = 0; i < FItems.Count(); ++i) FItems[i]->CheckNames();
}

int32_t TORQMetaObjectDefs::ReadCount(TORQStream& Stream, int32_t ReadCode) {
    const int32_t count = ReadI32(Stream, ReadCode);
    if (count < 0 || count > BytesLeft(Stream)) RaiseBadCount(ReadCode, count, Stream);
    return count;
}

void TORQMetaObjectDefs::ReplaceItems(std::vector<std::unique_ptr<TORQMetaObjectDef>> Loaded) {
    Clear();
    for (auto& item : Loaded) AddItem(item.release());
    LoadedCount = static_cast<int32_t>(Loaded.size());
}

// ---------------------------------------------------------------------------------
// TORQFieldDefs

TORQMetaObjectDef* TORQFieldDefs::InternalAddCreated() {
    auto* def = new TORQFieldDef;
    AddItem(def);
    return def;
}

TORQFieldDef* TORQFieldDefs::FindByName(std::string_view Name) const {
    const int32_t i = IndexOfName(Name);
    return i < 0 ? nullptr : GetItem(i);
}

void TORQFieldDefs::SaveToStream(TORQStream& Stream) const {
    CheckNames();
    WriteI32(Stream, GetCount(), 10158);
    for (int32_t i = 0; i < GetCount(); ++i) GetItem(i)->SaveToStream(Stream);
}

void TORQFieldDefs::LoadFromStream(TORQStream& Stream) {
    const int32_t count = ReadCount(Stream, 10159);
    std::vector<std::unique_ptr<TORQMetaObjectDef>> loaded;
    for (int32_t i = 0; i < count; ++i) {
        auto def = std::make_unique<TORQFieldDef>();
        def->LoadFromStream(Stream);
        loaded.push_back(std::move(def));
    }
    ReplaceItems(std::move(loaded));
}

void TORQFieldDefs::CalculateOffsets() {
    int32_t dataOffset = GetNullBitmapSize();
    int32_t memoryOffset = dataOffset;
    for (int32_t i = 0; i < GetCount(); ++i) {
        TORQFieldDef* f = GetItem(i);
        f->DataOffset = dataOffset;
        f->MemoryOffset = memoryOffset;
        dataOffset += f->DataSize;
        memoryOffset += f->MemorySize;
    }
}

int32_t TORQFieldDefs::GetMemoryRecordSize() const {
    int32_t size = GetNullBitmapSize();
    for (int32_t i = 0; i < GetCount(); ++i) size += GetItem(i)->MemorySize;
    return size;
}

int32_t TORQFieldDefs::GetRecordDataSize() const {
    int32_t size = GetNullBitmapSize();
    for (int32_t i = 0; i < GetCount(); ++i) size += GetItem(i)->DataSize;
    return size;
}

// ---------------------------------------------------------------------------------
// TORQIndexDefs

TORQMetaObjectDef* TORQIndexDefs::InternalAddCreated() {
    auto* def = new TORQIndexDef;
    AddItem(def);
    return def;
}

void TORQIndexDefs::SetItem(int32_t Index, TORQIndexDef* NewItem) {
    if (Index < 0 || Index >= GetCount()) {
        delete NewItem;
        throw std::out_of_range("TORQIndexDefs::SetItem");
    }
    Delete(Index);
    Insert(Index, NewItem);
}

TORQIndexDef* TORQIndexDefs::FindByName(std::string_view Name) const {
    const int32_t i = IndexOfName(Name);
    return i < 0 ? nullptr : GetItem(i);
}

void TORQIndexDefs::SaveToStream(TORQStream& Stream) const {
    CheckNames();
    int32_t permanent = 0;
    for (int32_t i = 0; i < GetCount(); ++i)
        if (GetItem(i)->Temporary == 0) ++permanent;
    WriteI32(Stream, permanent, 10343);
    for (int32_t i = 0; i < GetCount(); ++i)
        if (GetItem(i)->Temporary == 0) GetItem(i)->SaveToStream(Stream);
}

void TORQIndexDefs::LoadFromStream(TORQStream& Stream) {
    const int32_t count = ReadCount(Stream, 10159);
    std::vector<std::unique_ptr<TORQMetaObjectDef>> loaded;
    for (int32_t i = 0; i < count; ++i) {
        auto def = std::make_unique<TORQIndexDef>();
        def->LoadFromStream(Stream);
        loaded.push_back(std::move(def));
    }
    ReplaceItems(std::move(loaded));
}

int32_t TORQIndexDefs::FindIndexForFields(const std::vector<std::string>& FieldNames,
                                          const std::vector<std::string>& Orders,
                                          const std::vector<std::string>& Cases, const TORQFieldDefs& FieldDefs,
                                          int32_t SessionID) const {
    const auto n = static_cast<int64_t>(FieldNames.size());
    if (n != static_cast<int64_t>(Orders.size()))
        RaiseNativeFmt(10276, "Error - different list lengths. L1 = %d, L2 = %d", {n, static_cast<int64_t>(Orders.size())});
    if (n != static_cast<int64_t>(Cases.size()))
        RaiseNativeFmt(10277, "Error - different list lengths. L1 = %d, L2 = %d", {n, static_cast<int64_t>(Cases.size())});
    for (int32_t k = 0; k < GetCount(); ++k) {
        const TORQIndexDef& index = *GetItem(k);
        if (index.GetColumnCount() < n) continue;
        if (index.Temporary != 0 && index.OwnerSessionID != SessionID) continue;
        bool serves = true;
        for (std::size_t i = 0; serves && i < FieldNames.size(); ++i) {
            const TORQIndexColumn& column = index.Columns[i];
            if (!SameName(column.FieldName, FieldNames[i])) {
                serves = false;
            } else if (Orders[i] == "ASC") {
                serves = column.Descending == 0;
            } else if (Orders[i] == "DESC") {
                serves = column.Descending != 0;
            }
            if (!serves) break;
            if (Cases[i] == "NO_CASE") {
                serves = column.CaseInsensitive != 0;
            } else if (Cases[i] == "CASE") {
                const TORQFieldDef* field = FieldDefs.FindByName(FieldNames[i]);
                if (field != nullptr && (IsStringBaseType(field->BaseType) || IsWideStringBaseType(field->BaseType)))
                    serves = column.CaseInsensitive == 0;
            }
        }
        if (serves) return index.ObjectID;
    }
    return -1;
}

// ---------------------------------------------------------------------------------
// TORQConstraintDefs

TORQMetaObjectDef* TORQConstraintDefs::InternalAddCreated() {
    // A constraint is made by kind (AddNotNull, AddCheck, AddPrimary, AddUnique).
    RaiseNativeFmt(30339, "The method '%s' not overrided in class '%s'", {"InternalAddCreated", "TORQConstraintDefs"});
}

std::unique_ptr<TORQConstraintDef> TORQConstraintDefs::CreateOfType(uint8_t Type) {
    switch (Type) {
        case ctPrimaryKey: return std::make_unique<TORQConstraintDefPrimary>();
        case ctUnique: return std::make_unique<TORQConstraintDefUnique>();
        case ctNotNull: return std::make_unique<TORQConstraintDefNotNull>();
        case ctCheck: return std::make_unique<TORQConstraintDefCheck>();
        default: RaiseNativeFmt(30316, "Unknown Constraint Type: '%d'", {Type});
    }
}

template <typename T>
static T* AddConstraint(TORQConstraintDefs& Defs) {
    auto* def = new T;
    Defs.AddItem(def);
    return def;
}

TORQConstraintDefNotNull* TORQConstraintDefs::AddNotNull() { return AddConstraint<TORQConstraintDefNotNull>(*this); }
TORQConstraintDefCheck* TORQConstraintDefs::AddCheck() { return AddConstraint<TORQConstraintDefCheck>(*this); }
TORQConstraintDefPrimary* TORQConstraintDefs::AddPrimary() { return AddConstraint<TORQConstraintDefPrimary>(*this); }
TORQConstraintDefUnique* TORQConstraintDefs::AddUnique() { return AddConstraint<TORQConstraintDefUnique>(*this); }

void TORQConstraintDefs::Assign(const TORQMetaObjectDefs& Source) {
    if (&Source == this) return;
    Clear();
    for (int32_t i = 0; i < Source.GetCount(); ++i) {
        const auto* item = dynamic_cast<const TORQConstraintDef*>(Source.Item(i));
        const uint8_t type = item != nullptr ? item->ConstraintType : 1;
        if (type != ctPrimaryKey && type != ctUnique && type != ctNotNull && type != ctCheck)
            RaiseNative(30035, "Not implemented yet");
        std::unique_ptr<TORQConstraintDef> def = CreateOfType(type);
        def->Assign(*item);
        AddItem(def.release());
    }
}

void TORQConstraintDefs::SaveToStream(TORQStream& Stream) const {
    CheckNames();
    WriteI32(Stream, GetCount(), 10158);
    for (int32_t i = 0; i < GetCount(); ++i) {
        const TORQConstraintDef& def = *GetItem(i);
        WriteU8(Stream, def.ConstraintType, 10219);
        def.SaveToStream(Stream);
    }
}

void TORQConstraintDefs::LoadFromStream(TORQStream& Stream) {
    const int32_t count = ReadCount(Stream, 10159);
    std::vector<std::unique_ptr<TORQMetaObjectDef>> loaded;
    for (int32_t i = 0; i < count; ++i) {
        std::unique_ptr<TORQConstraintDef> def = CreateOfType(ReadU8(Stream, 10220));
        def->LoadFromStream(Stream);
        loaded.push_back(std::move(def));
    }
    ReplaceItems(std::move(loaded));
}

// ---------------------------------------------------------------------------------
// Constraints implied by indexes

TORQConstraintDefUnique* IndexDefToConstraintDefs(const TORQIndexDef& IndexDef, TORQConstraintDefs& Constraints) {
    TORQConstraintDefUnique* def;
    std::string name;
    if (IndexDef.Primary != 0) {
        def = Constraints.AddPrimary();
        name = "C_PK";
    } else if (IndexDef.Unique != 0) {
        def = Constraints.AddUnique();
        name = "C_Unique";
    } else {
        return nullptr;
    }
    def->TargetName = IndexDef.Name;
    def->TargetID = IndexDef.ObjectID;
    for (const TORQIndexColumn& c : IndexDef.Columns) {
        name += "$";
        name += c.FieldName;
        TORQConstraintColumn column;
        column.FieldName = c.FieldName;
        def->Columns.push_back(column);
    }
    def->Name = FitName(std::move(name));
    return def;
}

}  // namespace orq
