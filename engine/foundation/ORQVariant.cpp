#include "engine/foundation/ORQVariant.h"

#include <cmath>
#include <limits>
#include <cstring>

#include "classlib/NumConv.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"

namespace orq {

using namespace classlib;

namespace {

bool IsTextType(uint8_t t) { return IsStringBaseType(t); }

// Types whose value has one fixed size: only these are overwritten in place.
bool IsFixedSize(uint8_t t) { return (t >= bdtShortInt && t <= bdtTimeStamp) || t == bdtBoolean || t == bdtCurrency; }

// Wrapping arithmetic in the unsigned twin of T.
template <typename T>
T WrapAdd(T a, T b) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
}
template <typename T>
T WrapMul(T a, T b) {
    using U = std::make_unsigned_t<T>;
    using W = std::conditional_t<(sizeof(U) < sizeof(unsigned)), unsigned, U>;  // no promotion to int
    return static_cast<T>(static_cast<U>(static_cast<W>(static_cast<U>(a)) * static_cast<W>(static_cast<U>(b))));
}
template <typename T>
T WrapNeg(T a) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(U{0} - static_cast<U>(a)));
}
// Quotient truncated toward zero; minimum / -1 is an overflow.
template <typename T>
T CheckedDiv(T a, T b) {
    if (b == 0) throw EZeroDivide("Division by zero");
    if constexpr (std::is_signed_v<T>) {
        if (b == -1) {
            if (a == std::numeric_limits<T>::min()) RaiseIntegerOverflow();
            return static_cast<T>(-a);
        }
    }
    return static_cast<T>(a / b);
}
// The integer types' sum, difference and product, refused when they leave the type.
template <typename T>
T CheckedInt(T a, T b, char op) {
    T r{};
    bool overflow = false;
    switch (op) {
        case '+': overflow = __builtin_add_overflow(a, b, &r); break;
        case '-': overflow = __builtin_sub_overflow(a, b, &r); break;
        case '*': overflow = __builtin_mul_overflow(a, b, &r); break;
        default: return CheckedDiv(a, b);
    }
    if (overflow) RaiseIntegerOverflow();
    return r;
}

template <typename T>
T Load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[noreturn]] void NotNumeric(int32_t code, const char* op) {
    RaiseNativeFmt(code, "Not numeric argument in numeric operator '%s'", {op});
}

}  // namespace

TORQVariant::~TORQVariant() {
    if (FData && !FIsReference) {
        try {
            GlobalMemoryManager().FreeAndNillMem(FData);
        } catch (...) {
            // A destructor never throws; an overrun found here is lost with the block.
        }
    }
}

void TORQVariant::Clear(uint8_t DataType) {
    if (FData && !FIsReference) GlobalMemoryManager().FreeAndNillMem(FData);
    FData = nullptr;
    FDataType = DataType;
    FDataSize = 0;
    FIsReference = false;
    FNullMarker = 255;
}

void TORQVariant::CheckNotNull() const {
    if (IsNull()) RaiseNative(30016, "Value is Null");
}

void TORQVariant::TakeBlock(void* Block, int32_t Size) {
    FData = Block;
    FDataSize = Size;
    FIsReference = false;
    FNullMarker = 0;
}

const void* TORQVariant::SourceForConversion() const {
    // Conversions take text (and CLOB text) as a pointer to the characters.
    if (IsStringBaseType(FDataType) || FDataType == bdtClob || FDataType == bdtWideClob)
        return static_cast<const void*>(&FData);
    return FData;
}

void TORQVariant::SetDataType(uint8_t NewType) {
    if (IsNull()) {
        if (FData) Clear(NewType);
        else FDataType = NewType;
        return;
    }
    try {
        CastTo(NewType);
    } catch (const EORQException& e) {
        if (e.NativeError() != 30051 && e.NativeError() != 30052) throw;
        Clear(NewType);
    }
}

void TORQVariant::CastTo(uint8_t NewType) {
    if (NewType == FDataType) return;
    if (IsNull()) {
        Clear(NewType);
        return;
    }
    if (FDataType == bdtClob && NewType == bdtVarChar) {
        // The bytes stay as they are and gain a terminator.
        if (FIsReference) {
            void* block = GlobalMemoryManager().AllocMem(int64_t{FDataSize} + 1);
            std::memcpy(block, FData, static_cast<size_t>(FDataSize));
            FData = block;
            FIsReference = false;
        } else {
            GlobalMemoryManager().ReallocMemZeroed(FData, int64_t{FDataSize} + 1);
        }
        ++FDataSize;
        FDataType = bdtVarChar;
        return;
    }
    int32_t size = 0;
    void* block = ConvertValue(SourceForConversion(), FDataSize, FDataType, size, NewType);
    Clear(NewType);
    TakeBlock(block, size);
}

void TORQVariant::Assign(const TORQVariant& Source, bool CopyData) {
    if (&Source == this) return;
    Clear(0);
    FDataType = Source.FDataType;
    FDataSize = Source.FDataSize;
    FNullMarker = Source.FNullMarker;
    FIsReference = !CopyData;
    if (Source.IsNull()) {
        FIsReference = false;
        return;
    }
    if (CopyData) {
        void* block = GlobalMemoryManager().GetMem(Source.FDataSize);
        std::memcpy(block, Source.FData, static_cast<size_t>(Source.FDataSize));
        FData = block;
    } else {
        FData = Source.FData;
    }
}

void TORQVariant::SetData(void* Buffer, int32_t Size, uint8_t DataType, bool Copy) {
    if (!Copy) {
        Clear(0);
        FData = Buffer;
    } else {
        if (!(FData && !FIsReference && FDataSize == Size)) {
            Clear(0);
            FData = GlobalMemoryManager().GetMem(Size);
        }
        std::memcpy(FData, Buffer, static_cast<size_t>(Size));
    }
    FDataType = DataType;
    FDataSize = Size;
    FNullMarker = 0;
    FIsReference = !Copy;
}

bool TORQVariant::CopyToBuffer(void* Buffer, int32_t BufferSize) const {
    if (IsNull()) return false;
    if (BufferSize != -1 && BufferSize < FDataSize) RaiseNative(20056, "Buffer size exceeded");
    if (IsTextType(FDataType) && FDataSize <= 1) return false;
    std::memcpy(Buffer, FData, static_cast<size_t>(FDataSize));
    return true;
}

int32_t TORQVariant::GetStringLength() const {
    if (IsNull() || !IsTextType(FDataType)) return -1;
    return IsWideStringBaseType(FDataType) ? FDataSize / 2 - 1 : FDataSize - 1;
}

void TORQVariant::SaveToStream(TORQStream& Stream) const {
    const uint8_t marker = IsNull() ? 255 : 0;
    WriteStreamChecked(&FDataType, 1, Stream, 10179);
    WriteStreamChecked(&marker, 1, Stream, 10180);
    if (marker != 0) return;
    uint8_t size[4];
    StoreLE32(size, static_cast<uint32_t>(FDataSize));
    WriteStreamChecked(size, 4, Stream, 10181);
    WriteStreamChecked(FData, FDataSize, Stream, 10182);
}

void TORQVariant::LoadFromStream(TORQStream& Stream) {
    Clear(0);
    uint8_t type = 0, marker = 0;
    ReadStreamChecked(&type, 1, Stream, 10183);
    FDataType = type;
    ReadStreamChecked(&marker, 1, Stream, 10184);
    if (marker != 0) return;  // Null
    uint8_t raw[4];
    ReadStreamChecked(raw, 4, Stream, 10185);
    const int32_t size = static_cast<int32_t>(LoadLE32(raw));
    const int64_t position = Stream.Position(), streamSize = Stream.Size();
    // A size read from disk is never trusted with an allocation.
    if (size < 0)
        RaiseNativeFmt(10185, "Invalid value size in stream: %d. Position = %d, Stream size = %d",
                       {size, position, streamSize});
    if (size > streamSize - position)
        RaiseNativeFmt(10186, "Invalid value size in stream: %d. Position = %d, Stream size = %d",
                       {size, position, streamSize});
    if (size == 0) return;  // no bytes: Null
    // A fixed-size value is read, converted and compared at its full width, so a
    // shorter or longer block from the stream would be read past or misread.
    if (IsFixedSize(type) && size != GetDataTypeValueSize(type, 0))
        RaiseNativeFmt(10185, "Invalid value size in stream: %d bytes for type '%s'", {size, BaseFieldTypeName(type)});
    TORQMemoryBlock owned(size);
    ReadStreamChecked(owned.Data(), size, Stream, 10186);
    void* block = owned.Release();
    TakeBlock(block, size);
    // Text must end in its terminator, or every later read of it would run past the block.
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    const bool terminated = IsWideStringBaseType(type)
                                ? size >= 2 && size % 2 == 0 && bytes[size - 2] == 0 && bytes[size - 1] == 0
                                : bytes[size - 1] == 0;
    if (IsTextType(type) && !terminated) {
        Clear(type);
        RaiseNativeFmt(10186, "Invalid text value in stream: no terminator in %d bytes", {size});
    }
}

void TORQVariant::SetValue(const void* ValuePtr, uint8_t ValueType) {
    if (IsTextType(ValueType)) SetText(Load<const void*>(ValuePtr), ValueType);
    else SetFixed(ValuePtr, ValueType);
}

void TORQVariant::SetFixed(const void* ValuePtr, uint8_t ValueType) {
    // An owned value of the same type is overwritten in place, DataSize bytes: the
    // fixed types at their width, bytes (23, 24) at the size they hold.
    const bool bytes = ValueType == bdtBytes || ValueType == bdtVarBytes;
    if (FDataType == ValueType && FData && !FIsReference && FDataSize > 0 &&
        (bytes || (IsFixedSize(ValueType) && FDataSize == GetDataTypeValueSize(ValueType, 0)))) {
        std::memcpy(FData, ValuePtr, static_cast<size_t>(FDataSize));
        FNullMarker = 0;
        return;
    }
    if (FData) Clear(FDataType);
    FIsReference = false;
    if (FDataType == 0) FDataType = ValueType;
    void* block = nullptr;
    int32_t size = 0;
    if (FDataType == ValueType) CopyValueToNewMemory(ValueType, ValuePtr, block, size);
    else block = ConvertValue(ValuePtr, -1, ValueType, size, FDataType);
    TakeBlock(block, size);
}

void TORQVariant::SetText(const void* Text, uint8_t ValueType) {
    if (FData) Clear(FDataType);
    FIsReference = false;
    if (FDataType == 0) FDataType = ValueType;
    if (!Text) return;
    const auto* first = static_cast<const uint8_t*>(Text);
    const bool empty = IsWideStringBaseType(ValueType) ? first[0] == 0 && first[1] == 0 : first[0] == 0;
    if (empty) return;  // empty text leaves the value Null
    void* block = nullptr;
    int32_t size = 0;
    if (FDataType == ValueType) CopyValueToNewMemory(ValueType, Text, block, size);
    else block = ConvertValue(&Text, -1, ValueType, size, FDataType);
    TakeBlock(block, size);
}

void TORQVariant::GetValue(void* Value, uint8_t ValueType) const {
    if (IsWideStringBaseType(ValueType)) GetWide(*static_cast<std::u16string*>(Value));
    else if (IsTextType(ValueType) || ValueType == bdtBlob) GetText(*static_cast<std::string*>(Value), ValueType);
    else GetFixed(Value, ValueType);
}

void TORQVariant::GetFixed(void* Value, uint8_t ValueType) const {
    CheckNotNull();
    // Never more than the caller's value holds.
    const int32_t room = GetDataTypeValueSize(ValueType, 0);
    if (FDataType == ValueType) {
        std::memcpy(Value, FData, static_cast<size_t>(std::min(FDataSize, room)));
        return;
    }
    int32_t size = 0;
    const TORQMemoryBlock c = TORQMemoryBlock::Adopt(ConvertValue(SourceForConversion(), FDataSize, FDataType, size, ValueType));
    std::memcpy(Value, c.Data(), static_cast<size_t>(std::min(size, room)));
}

void TORQVariant::GetText(std::string& Value, uint8_t ValueType) const {
    if (ValueType == bdtBlob) CheckNotNull();
    if (IsNull()) {
        Value.clear();
        return;
    }
    const char* p = static_cast<const char*>(FData);
    if (FDataType == ValueType) {
        if (ValueType == bdtBlob) Value.assign(p, FDataSize > 0 ? FDataSize - 1 : 0);
        else Value.assign(p, ::strnlen(p, static_cast<size_t>(FDataSize)));
        return;
    }
    int32_t size = 0;
    const TORQMemoryBlock c = TORQMemoryBlock::Adopt(ConvertValue(SourceForConversion(), FDataSize, FDataType, size, ValueType));
    Value.assign(reinterpret_cast<const char*>(c.Data()), size > 1 ? size - 1 : 0);
}

void TORQVariant::GetWide(std::u16string& Value) const {
    if (IsNull()) {
        Value.clear();
        return;
    }
    if (IsWideStringBaseType(FDataType)) {
        // Read bytewise: a value referring to a record buffer may start at any address.
        const auto* p = static_cast<const uint8_t*>(FData);
        size_t n = 0;
        while (n < static_cast<size_t>(FDataSize) / 2 && (p[2 * n] != 0 || p[2 * n + 1] != 0)) ++n;
        Value.resize(n);
        std::memcpy(Value.data(), p, n * 2);
        return;
    }
    int32_t size = 0;
    const TORQMemoryBlock c =
        TORQMemoryBlock::Adopt(ConvertValue(SourceForConversion(), FDataSize, FDataType, size, bdtWideVarChar));
    Value.assign(reinterpret_cast<const char16_t*>(c.Data()), size > 2 ? size / 2 - 1 : 0);
}

void TORQVariant::SetAsString(std::string_view V) {
    const std::string s(V);
    SetText(s.c_str(), bdtVarChar);
}

void TORQVariant::SetAsWideString(std::u16string_view V) {
    const std::u16string s(V);
    SetText(s.c_str(), bdtWideVarChar);
}

void TORQVariant::SetAsExtended(long double V) {
    uint8_t b[10];
    PackExtended(V, b);
    SetFixed(b, bdtExtended);
}

void TORQVariant::SetAsTimeStamp(const TORQTimeStamp& V) {
    uint8_t b[8];
    std::memcpy(b, &V.Days, 4);
    std::memcpy(b + 4, &V.Milliseconds, 4);
    SetFixed(b, bdtTimeStamp);
}

void TORQVariant::SetBooleanValue(bool V) {
    const uint16_t w = V ? 0xFFFF : 0;
    SetFixed(&w, bdtBoolean);
}

std::string TORQVariant::GetAsString() const {
    std::string s;
    GetText(s, bdtVarChar);
    return s;
}

std::u16string TORQVariant::GetAsWideString() const {
    std::u16string s;
    GetWide(s);
    return s;
}

long double TORQVariant::GetAsExtended() const {
    uint8_t b[10] = {};
    GetFixed(b, bdtExtended);
    return UnpackExtended(b);
}

TORQTimeStamp TORQVariant::GetAsTimeStamp() const {
    uint8_t b[8] = {};
    GetFixed(b, bdtTimeStamp);
    return TORQTimeStamp{Load<int32_t>(b), Load<int32_t>(b + 4)};
}

void TORQVariant::SetAsVariant(const Variant& V) {
    const TVarType t = V.VarType();
    switch (t) {
        case varEmpty: case varNull: SetNull(); return;
        case varSmallint: SetAsSmallInt(static_cast<int16_t>(V.AsInt64())); return;
        case varInteger: SetAsInteger(static_cast<int32_t>(V.AsInt64())); return;
        case varSingle: SetAsSingle(static_cast<float>(V.AsDouble())); return;
        case varDouble: SetAsDouble(V.AsDouble()); return;
        case varCurrency: SetAsCurrency(V.AsDouble()); return;
        case varDate: SetAsDateTime(V.AsDouble()); return;
        case varOleStr: SetAsWideString(V.AsOleStr()); return;
        case varBoolean: {
            const uint16_t w = V.AsBoolean() ? 1 : 0;  // the variant's true is stored as 1
            SetFixed(&w, bdtBoolean);
            return;
        }
        case varShortInt: SetAsShortInt(static_cast<int8_t>(V.AsInt64())); return;
        case varByte: SetAsByte(static_cast<uint8_t>(V.AsUInt64())); return;
        case varWord: SetAsWord(static_cast<uint16_t>(V.AsUInt64())); return;
        case varLongWord: SetAsCardinal(static_cast<uint32_t>(V.AsUInt64())); return;
        case varInt64: SetAsLargeInt(V.AsInt64()); return;
        default:
            // 256 to 287: the 8-bit string type and its code-page variants.
            if (t >= varString && t <= varString + 31) {
                SetAsString(V.AsString());
                return;
            }
            RaiseNativeFmt(30113, "Unsupported Variant Type %s", {IntToStr(t)});
    }
}

Variant TORQVariant::GetAsVariant() const {
    if (IsNull()) return Variant::Null();
    switch (FDataType) {
        case bdtFixedChar: case bdtVarChar: return Variant::FromString(GetAsString());
        case bdtFixedWideChar: case bdtWideVarChar: return Variant::FromOleStr(GetAsWideString());
        case bdtShortInt: return Variant::FromShortInt(GetAsShortInt());
        case bdtSmallInt: return Variant::FromSmallint(GetAsSmallInt());
        case bdtInteger: return Variant::FromInteger(GetAsInteger());
        case bdtLargeInt: return Variant::FromInt64(GetAsLargeInt());
        case bdtByte: return Variant::FromByte(GetAsByte());
        case bdtWord: return Variant::FromWord(GetAsWord());
        case bdtCardinal: return Variant::FromLongWord(GetAsCardinal());
        case bdtSingle: return Variant::FromDouble(GetAsSingle());
        case bdtDouble: case bdtCurrency: return Variant::FromDouble(Load<double>(FData));
        case bdtExtended: return Variant::FromDouble(static_cast<double>(GetAsExtended()));
        case bdtDate: return Variant::FromDate(GetAsDate());
        case bdtTime: return Variant::FromDate(GetAsTime());
        case bdtTimeStamp: return Variant::FromDate(GetAsDateTime());
        case bdtBoolean: return Variant::FromBoolean(GetAsBoolean());
        case bdtBlob: {
            // The BLOB's bytes (less the terminator its text form carries) as an 8-bit string.
            std::string s;
            GetText(s, bdtBlob);
            return Variant::FromString(std::move(s));
        }
        default:
            RaiseNativeFmt(30114, "Unsupported Variant Type %s", {BaseFieldTypeName(FDataType)});
    }
}

void TORQVariant::Negate() {
    if (IsNull()) return;
    switch (FDataType) {
        // The smallest value of a signed type, and any unsigned value but 0, has no
        // negation in its type.
        case bdtShortInt: SetAsShortInt(CheckedInt<int8_t>(0, GetAsShortInt(), '-')); break;
        case bdtSmallInt: SetAsSmallInt(CheckedInt<int16_t>(0, GetAsSmallInt(), '-')); break;
        case bdtInteger: {
            const int32_t r = CheckedInt<int32_t>(0, GetAsInteger(), '-');
            SetFixed(&r, FDataType);
            break;
        }
        case bdtDate: {
            const int32_t v = Load<int32_t>(FData);
            if (v == INT32_MIN) throw EIntOverflow("Integer overflow");
            const int32_t r = -v;
            SetFixed(&r, FDataType);
            break;
        }
        case bdtLargeInt: SetAsLargeInt(CheckedInt<int64_t>(0, GetAsLargeInt(), '-')); break;
        case bdtByte: SetAsByte(CheckedInt<uint8_t>(0, GetAsByte(), '-')); break;
        case bdtWord: SetAsWord(CheckedInt<uint16_t>(0, GetAsWord(), '-')); break;
        case bdtCardinal: SetAsCardinal(CheckedInt<uint32_t>(0, GetAsCardinal(), '-')); break;
        case bdtSingle: SetAsSingle(-GetAsSingle()); break;
        case bdtDouble: SetAsDouble(-GetAsDouble()); break;
        case bdtExtended: SetAsExtended(-GetAsExtended()); break;
        case bdtCurrency: SetAsCurrency(-GetAsCurrency()); break;
        case bdtBoolean: SetAsBoolean(!GetAsBoolean()); break;
        default:
            RaiseNativeFmt(30123, "Cannot invert value with not numeric type '%s'", {BaseFieldTypeName(FDataType)});
    }
}

void TORQVariant::Add(const TORQVariant& Other) {
    if (Other.IsNull()) {
        if (!IsTextType(FDataType)) SetNull();
        return;
    }
    if (IsNull()) {
        if (IsTextType(FDataType)) Assign(Other, true);
        return;
    }
    Arithmetic(Other, '+');
}

void TORQVariant::Subtract(const TORQVariant& Other) {
    if (Other.IsNull()) {
        SetNull();
        return;
    }
    if (IsNull()) return;
    Arithmetic(Other, '-');
}

void TORQVariant::Multiply(const TORQVariant& Other) {
    if (Other.IsNull()) {
        SetNull();
        return;
    }
    if (IsNull()) return;
    Arithmetic(Other, '*');
}

void TORQVariant::Divide(const TORQVariant& Other) {
    if (Other.IsNull()) {
        SetNull();
        return;
    }
    if (IsNull()) return;
    try {
        Arithmetic(Other, '/');
    } catch (const EORQException&) {
        throw;
    } catch (const std::exception& e) {
        RaiseNativeFmt(30128, "Division error: %s", {e.what()});
    }
}

namespace {

// Date and time parts (day numbers, milliseconds) keep their wrapping arithmetic; the
// integer types are checked (CheckedInt).
template <typename T>
T Apply(T a, T b, char op) {
    if constexpr (std::is_integral_v<T>) {
        switch (op) {
            case '+': return WrapAdd(a, b);
            case '-': return WrapAdd(a, WrapNeg(b));
            case '*': return WrapMul(a, b);
            default: return CheckedDiv(a, b);
        }
    } else {
        switch (op) {
            case '+': return a + b;
            case '-': return a - b;
            case '*': return a * b;
            default:
                if (b == 0) {
                    if (a == 0 || std::isnan(a)) throw EInvalidOp("Invalid floating point operation");
                    throw EZeroDivide("Floating point division by zero");
                }
                return a / b;
        }
    }
}

}  // namespace

void TORQVariant::Arithmetic(const TORQVariant& Other, char Op) {
    const uint8_t t = ResultDataType(FDataType, Other.FDataType, false);
    CastTo(t);  // 0: "Cannot cast from '<type>' to 'Unknown'"
    const int32_t code = Op == '+' ? 30124 : Op == '-' ? 30125 : Op == '*' ? 30126 : 30127;
    const char opText[2] = {Op, 0};
    auto bin = [&](auto getter, auto setter) {
        auto a = (this->*getter)();
        auto b = (Other.*getter)();
        (this->*setter)(Apply(a, b, Op));
    };
    auto checked = [&](auto getter, auto setter) {
        auto a = (this->*getter)();
        auto b = (Other.*getter)();
        (this->*setter)(CheckedInt(a, b, Op));
    };
    switch (t) {
        case bdtFixedChar: case bdtVarChar:
        case bdtFixedWideChar: case bdtWideVarChar:
            if (Op != '+') NotNumeric(code, opText);
            if (IsWideStringBaseType(t)) {
                std::u16string a, b;
                GetWide(a);
                Other.GetWide(b);
                a += b;
                SetText(a.c_str(), t);
            } else {
                std::string a, b;
                GetText(a, t);
                Other.GetText(b, t);
                a += b;
                SetText(a.c_str(), t);
            }
            break;
        case bdtShortInt: checked(&TORQVariant::GetAsShortInt, &TORQVariant::SetAsShortInt); break;
        case bdtSmallInt: checked(&TORQVariant::GetAsSmallInt, &TORQVariant::SetAsSmallInt); break;
        case bdtInteger: checked(&TORQVariant::GetAsInteger, &TORQVariant::SetAsInteger); break;
        case bdtLargeInt: checked(&TORQVariant::GetAsLargeInt, &TORQVariant::SetAsLargeInt); break;
        case bdtByte: checked(&TORQVariant::GetAsByte, &TORQVariant::SetAsByte); break;
        case bdtWord: checked(&TORQVariant::GetAsWord, &TORQVariant::SetAsWord); break;
        case bdtCardinal: checked(&TORQVariant::GetAsCardinal, &TORQVariant::SetAsCardinal); break;
        case bdtSingle: bin(&TORQVariant::GetAsSingle, &TORQVariant::SetAsSingle); break;
        case bdtDouble: bin(&TORQVariant::GetAsDouble, &TORQVariant::SetAsDouble); break;
        case bdtExtended: bin(&TORQVariant::GetAsExtended, &TORQVariant::SetAsExtended); break;
        case bdtCurrency: bin(&TORQVariant::GetAsCurrency, &TORQVariant::SetAsCurrency); break;
        case bdtDate: bin(&TORQVariant::GetAsDays, &TORQVariant::SetAsDays); break;
        case bdtTime: bin(&TORQVariant::GetAsMilliseconds, &TORQVariant::SetAsMilliseconds); break;
        case bdtTimeStamp: {
            const TORQTimeStamp a = GetAsTimeStamp(), b = Other.GetAsTimeStamp();
            TORQTimeStamp r{Apply(a.Days, b.Days, Op), Apply(a.Milliseconds, b.Milliseconds, Op)};
            if (r.Milliseconds > MillisecondsPerDay - 1) {
                r.Days = WrapAdd(r.Days, r.Milliseconds / MillisecondsPerDay);
                r.Milliseconds %= MillisecondsPerDay;
            }
            SetAsTimeStamp(r);
            break;
        }
        case bdtBoolean: SetAsBoolean(GetAsBoolean() || Other.GetAsBoolean()); break;
        default: NotNumeric(code, opText);
    }
}

int32_t TORQVariant::Compare(const TORQVariant& Other, bool RawResult, bool IgnoreCase, bool UseOtherLength) const {
    const int32_t length = UseOtherLength ? Other.GetStringLength() : -1;
    // Text, CLOB and bytes values compare up to their terminator. A CLOB holds none,
    // and bytes or text set from a buffer may lack one: those are compared through a
    // terminated copy, never read past their block.
    std::string copy1, copy2;
    auto bounded = [](const TORQVariant& v, std::string& copy) -> const void* {
        const uint8_t t = v.FDataType;
        if (v.IsNull() || v.FDataSize <= 0 ||
            !(IsStringBaseType(t) || t == bdtClob || t == bdtWideClob || t == bdtBytes))
            return v.FData;
        const char* p = static_cast<const char*>(v.FData);
        const size_t size = static_cast<size_t>(v.FDataSize);
        if (IsWideStringBaseType(t) || t == bdtWideClob) {
            for (size_t k = 0; k + 1 < size; k += 2)
                if (p[k] == 0 && p[k + 1] == 0) return p;
            copy.assign(p, size & ~size_t{1});
            copy.append(2, '\0');
        } else {
            if (std::memchr(p, 0, size)) return p;
            copy.assign(p, size);
        }
        return copy.c_str();
    };
    const int32_t code = CompareValueBuffers(bounded(*this, copy1), bounded(Other, copy2), FDataType, Other.FDataType,
                                             IsNull(), Other.IsNull(), length, IgnoreCase, 1024);
    if (RawResult) return code;
    switch (code) {
        case cmpFirstNull: return cmpLess;
        case cmpSecondNull: return cmpGreater;
        case cmpBothNull: return cmpEqual;
        default: return code;
    }
}

}  // namespace orq
