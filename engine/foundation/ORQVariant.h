// TORQVariant: the engine's single value object, a base data type code, the value's
// bytes in that type's in-memory layout, and a Null marker.
//
// Invariants:
// - The value is Null when the marker is set or there is no buffer.
// - An owned buffer is an engine memory block of exactly DataSize bytes, released when
//   the object is cleared, retyped or destroyed; a referenced buffer (IsReference) is
//   never freed, resized or written in place.
// - Text holds its terminator in DataSize (8-bit: length + 1, wide: 2 x length + 2);
//   setting empty text leaves the value Null.
// - A typed object keeps its type: the typed setters convert into it, and only an
//   untyped object (type 0) takes the setter's type. SetDataType, CastTo, Clear,
//   Assign, SetData and LoadFromStream change the type.
// - Logical values store 0 for false and 0xFFFF for true (1 when set from a
//   class-library boolean variant); any non-zero value reads as true.
// Stream form: type byte, null byte (0 value, 255 Null), then for a value its Int32
// size and exactly that many bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "classlib/DateUtils.h"
#include "classlib/Variant.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

class TORQStream;

class TORQVariant {
public:
    explicit TORQVariant(uint8_t DataType = 0) : FDataType(DataType) {}
    virtual ~TORQVariant();
    TORQVariant(const TORQVariant&) = delete;
    TORQVariant& operator=(const TORQVariant&) = delete;

    uint8_t DataType() const { return FDataType; }
    int32_t DataSize() const { return FDataSize; }
    void* Data() const { return FData; }
    bool IsReference() const { return FIsReference; }
    uint8_t NullMarker() const { return FNullMarker; }

    void Clear(uint8_t DataType = 0);
    void SetNull() { FNullMarker = 255; }
    // The form callers pass a type to: the type is not applied, the value only becomes Null.
    void SetNull(uint8_t /*DataType*/) { SetNull(); }
    bool IsNull() const { return FNullMarker != 0 || FData == nullptr; }
    void CheckNotNull() const;  // 30016 "Value is Null"

    // Null: only the type changes. Otherwise CastTo; a failed conversion leaves a Null
    // of the new type.
    void SetDataType(uint8_t NewType);
    // Converts in place; on failure the object is unchanged and the error passes.
    void CastTo(uint8_t NewType);
    void Assign(const TORQVariant& Source, bool CopyData);
    void SetData(void* Buffer, int32_t Size, uint8_t DataType, bool Copy);
    // False when Null or empty text; 20056 when BufferSize (not -1) is below DataSize.
    bool CopyToBuffer(void* Buffer, int32_t BufferSize) const;
    int32_t GetStringLength() const;  // characters of non-Null text, else -1

    bool IsNumeric() const { return IsNumericBaseType(FDataType); }
    bool IsString() const { return IsStringBaseType(FDataType); }
    bool IsWideString() const { return IsWideStringBaseType(FDataType); }
    bool IsBlob() const { return IsBlobBaseType(FDataType); }
    bool IsDateTime() const { return IsDateTimeBaseType(FDataType); }

    void SaveToStream(TORQStream& Stream) const;
    // Sizes read from the stream are checked: negative, or not the width of a
    // fixed-size type, 10185; beyond the stream 10186; text without its terminator is
    // refused (10186) and leaves the object Null.
    void LoadFromStream(TORQStream& Stream);

    // ValuePtr points at a value of ValueType; for text types (1-4) at a pointer to
    // zero-terminated text.
    void SetValue(const void* ValuePtr, uint8_t ValueType);
    // Value points at a value of ValueType; for 1, 3 and 18 at a std::string, for 2
    // and 4 at a std::u16string. Non-text types of a Null value: 30016; text of a Null
    // value is empty.
    void GetValue(void* Value, uint8_t ValueType) const;

    void SetAsShortInt(int8_t V) { SetFixed(&V, bdtShortInt); }
    void SetAsSmallInt(int16_t V) { SetFixed(&V, bdtSmallInt); }
    void SetAsInteger(int32_t V) { SetFixed(&V, bdtInteger); }
    void SetAsLargeInt(int64_t V) { SetFixed(&V, bdtLargeInt); }
    void SetAsByte(uint8_t V) { SetFixed(&V, bdtByte); }
    void SetAsWord(uint16_t V) { SetFixed(&V, bdtWord); }
    void SetAsCardinal(uint32_t V) { SetFixed(&V, bdtCardinal); }
    void SetAsString(std::string_view V);
    void SetAsWideString(std::u16string_view V);
    void SetAsSingle(float V) { SetFixed(&V, bdtSingle); }
    void SetAsDouble(double V) { SetFixed(&V, bdtDouble); }
    void SetAsExtended(long double V);
    void SetAsDays(int32_t V) { SetFixed(&V, bdtDate); }
    void SetAsDate(classlib::TDateTime V) { SetAsDays(DateTimeToDays(V)); }
    void SetAsMilliseconds(int32_t V) { SetFixed(&V, bdtTime); }
    void SetAsTime(classlib::TDateTime V) { SetAsMilliseconds(TimeToMilliseconds(V)); }
    void SetAsTimeStamp(const TORQTimeStamp& V);
    void SetAsDateTime(classlib::TDateTime V) { SetAsTimeStamp(DateTimeToTimeStamp(V)); }
    void SetAsBoolean(bool V) {  // stores 0xFFFF for true
        // An owned logical value is overwritten where it stands.
        if (FDataType == bdtBoolean && FData != nullptr && !FIsReference && FDataSize == 2) {
            const uint16_t w = V ? 0xFFFF : 0;
            std::memcpy(FData, &w, 2);
            FNullMarker = 0;
            return;
        }
        SetBooleanValue(V);
    }
    void SetAsCurrency(double V) { SetFixed(&V, bdtCurrency); }

    int8_t GetAsShortInt() const { return Get<int8_t>(bdtShortInt); }
    int16_t GetAsSmallInt() const { return Get<int16_t>(bdtSmallInt); }
    int32_t GetAsInteger() const { return Get<int32_t>(bdtInteger); }
    int64_t GetAsLargeInt() const { return Get<int64_t>(bdtLargeInt); }
    uint8_t GetAsByte() const { return Get<uint8_t>(bdtByte); }
    uint16_t GetAsWord() const { return Get<uint16_t>(bdtWord); }
    uint32_t GetAsCardinal() const { return Get<uint32_t>(bdtCardinal); }
    std::string GetAsString() const;
    std::u16string GetAsWideString() const;
    float GetAsSingle() const { return Get<float>(bdtSingle); }
    double GetAsDouble() const { return Get<double>(bdtDouble); }
    long double GetAsExtended() const;
    int32_t GetAsDays() const { return Get<int32_t>(bdtDate); }
    classlib::TDateTime GetAsDate() const { return DaysToDateTime(GetAsDays()); }
    int32_t GetAsMilliseconds() const { return Get<int32_t>(bdtTime); }
    classlib::TDateTime GetAsTime() const { return MillisecondsToTime(GetAsMilliseconds()); }
    TORQTimeStamp GetAsTimeStamp() const;
    classlib::TDateTime GetAsDateTime() const { return TimeStampToDateTime(GetAsTimeStamp()); }
    bool GetAsBoolean() const {
        if (FDataType == bdtBoolean && FNullMarker == 0 && FData != nullptr && FDataSize >= 2) {
            uint16_t w;
            std::memcpy(&w, FData, 2);
            return w != 0;
        }
        return Get<uint16_t>(bdtBoolean) != 0;
    }
    double GetAsCurrency() const { return Get<double>(bdtCurrency); }

    // By the variant's type code; other codes raise 30113.
    void SetAsVariant(const classlib::Variant& V);
    // Null gives a null variant; types without a variant form raise 30114.
    classlib::Variant GetAsVariant() const;

    // The object is the left operand and takes the result; Other is unchanged.
    void Negate();
    void Add(const TORQVariant& Other);
    // Self - Other in one step, so that an integer difference that fits is never refused
    // for a negation that does not (x - minimum); Null on either side gives Null.
    void Subtract(const TORQVariant& Other);
    void Multiply(const TORQVariant& Other);
    void Divide(const TORQVariant& Other);
    // 0 equal, 1 less, 2 greater; with RawResult also 3 (self Null), 4 (Other Null),
    // 5 (both), which otherwise become 1, 2 and 0.
    int32_t Compare(const TORQVariant& Other, bool RawResult, bool IgnoreCase, bool UseOtherLength) const;

private:
    template <typename T>
    T Get(uint8_t type) const {
        T v{};
        GetFixed(&v, type);
        return v;
    }
    // SetValue for the fixed-size types and for text (Text is the characters themselves).
    void SetFixed(const void* ValuePtr, uint8_t ValueType);
    void SetText(const void* Text, uint8_t ValueType);
    void SetBooleanValue(bool V);
    // GetValue for the fixed-size types, 8-bit text (and BLOB bytes), and wide text.
    void GetFixed(void* Value, uint8_t ValueType) const;
    void GetText(std::string& Value, uint8_t ValueType) const;
    void GetWide(std::u16string& Value) const;
    void TakeBlock(void* Block, int32_t Size);
    const void* SourceForConversion() const;
    void Arithmetic(const TORQVariant& Other, char Op);

    uint8_t FDataType = 0;
    int32_t FDataSize = 0;
    void* FData = nullptr;
    bool FIsReference = false;
    uint8_t FNullMarker = 255;
};

}  // namespace orq
