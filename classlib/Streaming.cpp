#include "classlib/Streaming.h"

#include <cstring>

namespace classlib {

// ---- TWriter ----

void TWriter::WriteBytes(const void* Data, std::size_t Count) {
    FStream.WriteBuffer(Data, static_cast<int64_t>(Count));
}

void TWriter::WriteTag(TValueType Tag) {
    const uint8_t b = static_cast<uint8_t>(Tag);
    WriteBytes(&b, 1);
}

void TWriter::WriteUInt32(uint32_t Value) {
    const uint8_t b[4] = {uint8_t(Value), uint8_t(Value >> 8), uint8_t(Value >> 16), uint8_t(Value >> 24)};
    WriteBytes(b, 4);
}

void TWriter::WriteName(const std::string& Name) {
    if (Name.empty() || Name.size() > 255) throw EWriteError("Invalid entry name '" + Name + "'");
    const uint8_t n = static_cast<uint8_t>(Name.size());
    WriteBytes(&n, 1);
    WriteBytes(Name.data(), Name.size());
}

void TWriter::WriteEntriesEnd() {
    const uint8_t zero = 0;
    WriteBytes(&zero, 1);
}

void TWriter::WriteProperties(TPersistent& Instance) {
    Instance.DefineProperties(*this);
    WriteEntriesEnd();
}

void TWriter::DefineProperty(const std::string& Name, const std::function<void(TReader&)>&,
                             const std::function<void(TWriter&)>& WriteData, bool HasData) {
    if (!HasData || !WriteData) return;
    WriteName(Name);
    WriteData(*this);
}

void TWriter::DefineBinaryProperty(const std::string& Name, const std::function<void(TStream&)>&,
                                   const std::function<void(TStream&)>& WriteData, bool HasData) {
    if (!HasData || !WriteData) return;
    // The bytes go to a buffer first: their length comes before them.
    TMemoryStream bytes;
    WriteData(bytes);
    if (bytes.Size() > int64_t{UINT32_MAX}) throw EWriteError("Entry '" + Name + "' is too large");
    WriteName(Name);
    WriteTag(TValueType::vaBinary);
    WriteUInt32(static_cast<uint32_t>(bytes.Size()));
    if (bytes.Size() > 0) WriteBytes(bytes.Data().data(), bytes.Data().size());
}

void TWriter::WriteInteger(int64_t Value) {
    if (Value >= INT32_MIN && Value <= INT32_MAX) {
        WriteTag(TValueType::vaInt32);
        const uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(Value));
        WriteUInt32(v);
        return;
    }
    WriteTag(TValueType::vaInt64);
    const uint64_t v = static_cast<uint64_t>(Value);
    WriteUInt32(static_cast<uint32_t>(v));
    WriteUInt32(static_cast<uint32_t>(v >> 32));
}

void TWriter::WriteDouble(double Value) {
    WriteTag(TValueType::vaDouble);
    uint64_t bits;
    std::memcpy(&bits, &Value, sizeof bits);
    WriteUInt32(static_cast<uint32_t>(bits));
    WriteUInt32(static_cast<uint32_t>(bits >> 32));
}

void TWriter::WriteString(const std::string& Value) {
    if (Value.size() > UINT32_MAX) throw EWriteError("String too long to write");
    WriteTag(TValueType::vaString);
    WriteUInt32(static_cast<uint32_t>(Value.size()));
    WriteBytes(Value.data(), Value.size());
}

void TWriter::WriteBoolean(bool Value) { WriteTag(Value ? TValueType::vaTrue : TValueType::vaFalse); }

void TWriter::WriteVariant(const Variant& Value) {
    switch (Value.VarType()) {
        case varEmpty: case varNull: WriteTag(TValueType::vaNull); return;
        case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
        case varLongWord: case varInt64: WriteInteger(Value.AsInt64()); return;
        case varSingle: case varDouble: case varCurrency: case varDate: WriteDouble(Value.AsDouble()); return;
        case varBoolean: WriteBoolean(Value.AsBoolean()); return;
        case varString: WriteString(Value.AsString()); return;
        case varOleStr: {
            const std::u16string& s = Value.AsOleStr();
            if (s.size() > UINT32_MAX) throw EWriteError("String too long to write");
            WriteTag(TValueType::vaWString);
            WriteUInt32(static_cast<uint32_t>(s.size()));
            for (char16_t c : s) {
                const uint8_t b[2] = {uint8_t(c), uint8_t(c >> 8)};
                WriteBytes(b, 2);
            }
            return;
        }
        default: throw EWriteError("Cannot write a variant of type " + std::to_string(Value.VarType()));
    }
}

void TWriter::WriteItem(const std::function<void(TWriter&)>& WriteEntries) {
    WriteEntries(*this);
    WriteEntriesEnd();
}

// ---- TReader ----

void TReader::ReadBytes(void* Data, std::size_t Count) {
    if (Count == 0) return;
    if (FStream.Read(Data, static_cast<int64_t>(Count)) != static_cast<int64_t>(Count))
        throw EReadError("Stream read error");
}

uint32_t TReader::ReadLength() {
    uint8_t b[4];
    ReadBytes(b, 4);
    const uint32_t n = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    if (int64_t{n} > FStream.Size() - FStream.Position()) throw EReadError("Stream read error");
    return n;
}

TValueType TReader::NextTag() {
    uint8_t b = 0;
    ReadBytes(&b, 1);
    if (b > static_cast<uint8_t>(TValueType::vaCollection)) throw EReadError("Invalid property value");
    return static_cast<TValueType>(b);
}

void TReader::ReadTag(TValueType Expected) {
    if (NextTag() != Expected) throw EReadError("Invalid property value");
}

std::string TReader::ReadName() {
    uint8_t n = 0;
    ReadBytes(&n, 1);
    std::string name(n, '\0');
    ReadBytes(name.data(), n);
    return name;
}

void TReader::ReadProperties(TPersistent& Instance) {
    for (;;) {
        FPropName = ReadName();
        if (FPropName.empty()) return;
        FPropRead = false;
        Instance.DefineProperties(*this);
        if (!FPropRead)
            throw EReadError("Error reading " + Instance.ClassName() + "." + FPropName + ": Property " +
                             FPropName + " does not exist");
    }
}

void TReader::DefineProperty(const std::string& Name, const std::function<void(TReader&)>& ReadData,
                             const std::function<void(TWriter&)>&, bool) {
    if (FPropRead || Name != FPropName || !ReadData) return;
    FPropRead = true;
    ReadData(*this);
}

void TReader::DefineBinaryProperty(const std::string& Name, const std::function<void(TStream&)>& ReadData,
                                   const std::function<void(TStream&)>&, bool) {
    if (FPropRead || Name != FPropName || !ReadData) return;
    FPropRead = true;
    ReadTag(TValueType::vaBinary);
    const uint32_t n = ReadLength();
    TMemoryStream bytes;
    if (n > 0) {
        std::vector<uint8_t> buffer(n);
        ReadBytes(buffer.data(), n);
        bytes.WriteBuffer(buffer.data(), n);
        bytes.SetPosition(0);
    }
    ReadData(bytes);
}

int64_t TReader::ReadInteger() {
    const TValueType tag = NextTag();
    uint8_t b[8] = {};
    if (tag == TValueType::vaInt32) {
        ReadBytes(b, 4);
        return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
    }
    if (tag != TValueType::vaInt64) throw EReadError("Invalid property value");
    ReadBytes(b, 8);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return static_cast<int64_t>(v);
}

double TReader::ReadDouble() {
    ReadTag(TValueType::vaDouble);
    uint8_t b[8];
    ReadBytes(b, 8);
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | b[i];
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::string TReader::ReadString() {
    ReadTag(TValueType::vaString);
    std::string s(ReadLength(), '\0');
    ReadBytes(s.data(), s.size());
    return s;
}

bool TReader::ReadBoolean() {
    const TValueType tag = NextTag();
    if (tag != TValueType::vaTrue && tag != TValueType::vaFalse) throw EReadError("Invalid property value");
    return tag == TValueType::vaTrue;
}

Variant TReader::ReadVariant() {
    const int64_t at = FStream.Position();
    const TValueType tag = NextTag();
    switch (tag) {
        case TValueType::vaNull: return Variant::Null();
        case TValueType::vaTrue: return Variant::FromBoolean(true);
        case TValueType::vaFalse: return Variant::FromBoolean(false);
        case TValueType::vaInt32: case TValueType::vaInt64: case TValueType::vaDouble: case TValueType::vaString:
            FStream.SetPosition(at);
            if (tag == TValueType::vaDouble) return Variant::FromDouble(ReadDouble());
            if (tag == TValueType::vaString) return Variant::FromString(ReadString());
            {
                const int64_t v = ReadInteger();
                return tag == TValueType::vaInt32 ? Variant::FromInteger(static_cast<int32_t>(v)) : Variant::FromInt64(v);
            }
        case TValueType::vaWString: {
            std::u16string s;
            uint8_t c[4];
            ReadBytes(c, 4);
            const uint32_t n = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 | uint32_t(c[3]) << 24;
            if (int64_t{n} * 2 > FStream.Size() - FStream.Position()) throw EReadError("Stream read error");
            s.resize(n);
            for (char16_t& u : s) {
                uint8_t b[2];
                ReadBytes(b, 2);
                u = static_cast<char16_t>(b[0] | b[1] << 8);
            }
            return Variant::FromOleStr(std::move(s));
        }
        default: throw EReadError("Invalid property value");
    }
}

bool TReader::EndOfList() {
    const int64_t at = FStream.Position();
    if (NextTag() == TValueType::vaEnd) return true;
    FStream.SetPosition(at);
    return false;
}

}  // namespace classlib
