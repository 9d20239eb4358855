// The least of component streaming the components need: a filer to which a persistent
// object declares the entries it keeps beyond its properties (DefineProperties), a
// writer that writes those entries to a stream, and a reader that hands each entry read
// back to the object that declared it.
//
// The entries are bytes in a stream, little-endian, written value by value:
//   entry  := name value             name := uint8 length, then that many bytes
//   entries end with a zero byte (an empty name)
//   value  := one tag byte (TValueType), then:
//     vaInt32: int32; vaInt64: int64; vaDouble: 8 bytes of the IEEE double;
//     vaString: uint32 length + bytes; vaWString: uint32 count + UTF-16 units;
//     vaBinary: uint32 length + bytes; vaFalse, vaTrue, vaNull: nothing;
//     vaList: values until vaEnd; vaCollection: items until vaEnd, each item an entry
//     list (entries, then the zero byte).
// A reader refuses a tag it does not expect, a length beyond the stream and an entry no
// object declares (EReadError), so a damaged stream never fills an object with garbage.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/SysUtils.h"
#include "classlib/Variant.h"

namespace classlib {

enum class TValueType : uint8_t {
    vaEnd = 0, vaList = 1, vaInt32 = 2, vaInt64 = 3, vaDouble = 4, vaString = 5, vaWString = 6,
    vaBinary = 7, vaFalse = 8, vaTrue = 9, vaNull = 10, vaCollection = 11
};

class TReader;
class TWriter;

class TFiler {
public:
    explicit TFiler(TStream& Stream) : FStream(Stream) {}
    virtual ~TFiler() = default;

    // An entry written through WriteData when HasData, and read back through ReadData.
    virtual void DefineProperty(const std::string& Name, const std::function<void(TReader&)>& ReadData,
                                const std::function<void(TWriter&)>& WriteData, bool HasData) = 0;
    // The same for raw bytes, which the entry's functions read or write as a stream.
    virtual void DefineBinaryProperty(const std::string& Name, const std::function<void(TStream&)>& ReadData,
                                      const std::function<void(TStream&)>& WriteData, bool HasData) = 0;

    // The object the one being written inherits its values from (an inherited form's),
    // or nil; an entry equal to the ancestor's is not written.
    const TPersistent* Ancestor = nullptr;

protected:
    TStream& FStream;
};

class TWriter : public TFiler {
public:
    using TFiler::TFiler;
    // Every entry Instance declares and has data for, then the end of the entries.
    void WriteProperties(TPersistent& Instance);

    void DefineProperty(const std::string& Name, const std::function<void(TReader&)>& ReadData,
                        const std::function<void(TWriter&)>& WriteData, bool HasData) override;
    void DefineBinaryProperty(const std::string& Name, const std::function<void(TStream&)>& ReadData,
                              const std::function<void(TStream&)>& WriteData, bool HasData) override;

    void WriteInteger(int64_t Value);
    void WriteDouble(double Value);
    void WriteString(const std::string& Value);
    void WriteBoolean(bool Value);
    // Empty, null, integers, floating types (currency and dates as doubles), booleans and
    // strings; an array or another type raises EWriteError.
    void WriteVariant(const Variant& Value);
    void WriteListBegin() { WriteTag(TValueType::vaList); }
    void WriteListEnd() { WriteTag(TValueType::vaEnd); }
    void WriteCollectionBegin() { WriteTag(TValueType::vaCollection); }
    void WriteCollectionEnd() { WriteTag(TValueType::vaEnd); }
    // An item of a collection: the item's entries through WriteItem, then their end.
    void WriteItem(const std::function<void(TWriter&)>& WriteEntries);
    // One named entry inside an item.
    void WriteName(const std::string& Name);
    void WriteEntriesEnd();

private:
    void WriteTag(TValueType Tag);
    void WriteBytes(const void* Data, std::size_t Count);
    void WriteUInt32(uint32_t Value);
};

class TReader : public TFiler {
public:
    using TFiler::TFiler;
    // Reads entries to their end, each through the entry of that name Instance declares.
    void ReadProperties(TPersistent& Instance);

    void DefineProperty(const std::string& Name, const std::function<void(TReader&)>& ReadData,
                        const std::function<void(TWriter&)>& WriteData, bool HasData) override;
    void DefineBinaryProperty(const std::string& Name, const std::function<void(TStream&)>& ReadData,
                              const std::function<void(TStream&)>& WriteData, bool HasData) override;

    int64_t ReadInteger();
    double ReadDouble();
    std::string ReadString();
    bool ReadBoolean();
    Variant ReadVariant();
    void ReadListBegin() { ReadTag(TValueType::vaList); }
    // True (and consumed) at the end of a list or collection.
    bool EndOfList();
    void ReadCollectionBegin() { ReadTag(TValueType::vaCollection); }
    // The next entry name of an item, "" at the item's end.
    std::string ReadName();

private:
    TValueType NextTag();
    void ReadTag(TValueType Expected);
    void ReadBytes(void* Data, std::size_t Count);
    uint32_t ReadLength();

    std::string FPropName;  // the entry being read
    bool FPropRead = false;
    TPersistent* FInstance = nullptr;
};

}  // namespace classlib
