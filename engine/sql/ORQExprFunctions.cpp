#include "engine/sql/ORQExprFunctions.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQExprText.h"

namespace orq {

[[noreturn]] void RaiseUnknownOperator(int32_t Code, uint8_t Operator);

// ---------------------------------------------------------------------------------
// TORQExprNodeStringFunction

void TORQExprNodeStringFunction::CopyAsText(int32_t Index, TORQVariant& Target) {
    Target.Assign(Child(Index)->GetValue(), true);
    if (!Target.IsString()) Target.CastTo(bdtVarChar);
}

TORQVariant& TORQExprNodeStringFunction::GetValue() {
    switch (Operator) {
        case doConcat:
            CopyAsText(0, Value);
            for (int32_t i = 1; i < ChildCount(); ++i) Value.Add(Child(i)->GetValue());
            return Value;
        case doUpper:
        case doLower:
        case doTrim:
        case doLTrim:
        case doRTrim: {
            CopyAsText(0, Value);
            if (Value.IsNull()) return Value;
            const uint8_t t = Value.DataType();
            if (Value.IsWideString()) {
                const std::u16string s = Value.GetAsWideString();
                std::u16string r;
                switch (Operator) {
                    case doUpper: r = UnicodeUpperCase(s); break;
                    case doLower: r = UnicodeLowerCase(s); break;
                    case doTrim: r = TrimWideText(s); break;
                    case doLTrim: r = TrimLeftWideText(s); break;
                    default: r = TrimRightWideText(s); break;
                }
                Value.Clear(t);
                Value.SetAsWideString(r);
            } else {
                const std::string s = Value.GetAsString();
                std::string r;
                switch (Operator) {
                    case doUpper: r = AnsiUpperCase(s); break;
                    case doLower: r = EngineLowerCase(s); break;
                    case doTrim: r = TrimText(s); break;
                    case doLTrim: r = TrimLeftText(s); break;
                    default: r = TrimRightText(s); break;
                }
                Value.Clear(t);
                Value.SetAsString(r);
            }
            return Value;
        }
        case doLength: {
            TORQVariant text;
            CopyAsText(0, text);
            if (Value.DataType() != bdtInteger) Value.Clear(bdtInteger);
            Value.SetAsInteger(text.IsNull() ? 0 : text.GetStringLength());
            return Value;
        }
        case doPos: {
            TORQVariant needle, haystack;
            CopyAsText(0, needle);
            CopyAsText(1, haystack);
            // A plain needle in wide text is widened, a wide one in plain text narrowed.
            std::size_t at = std::string::npos;
            if (haystack.IsWideString()) {
                const std::u16string n = ValueAsWideText(needle);
                if (!n.empty()) at = ValueAsWideText(haystack).find(n);
            } else {
                const std::string n = ValueAsText(needle);
                if (!n.empty()) at = ValueAsText(haystack).find(n);
            }
            if (Value.DataType() != bdtInteger) Value.Clear(bdtInteger);
            Value.SetAsInteger(at == std::string::npos ? 0 : static_cast<int32_t>(at) + 1);
            return Value;
        }
        case doSubstring: {
            CopyAsText(0, Value);
            if (Value.IsNull()) return Value;
            TORQVariant& startValue = Child(1)->GetValue();
            if (startValue.IsNull() || (ChildCount() > 2 && Child(2)->GetValue().IsNull())) {
                Value.SetNull();
                return Value;
            }
            // A start below 1 starts at 1; a negative length gives the empty text.
            const int64_t start = std::max<int64_t>(startValue.GetAsInteger(), 1);
            const int64_t length = ChildCount() > 2 ? Child(2)->GetValue().GetAsInteger() : Value.GetStringLength();
            const uint8_t t = Value.DataType();
            auto cut = [&](auto s) {
                const auto n = static_cast<int64_t>(s.size());
                if (start > n || length <= 0) return decltype(s)();
                return s.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(std::min(length, n)));
            };
            if (Value.IsWideString()) {
                const std::u16string r = cut(Value.GetAsWideString());
                Value.Clear(t);
                Value.SetAsWideString(r);
            } else {
                const std::string r = cut(Value.GetAsString());
                Value.Clear(t);
                Value.SetAsString(r);
            }
            return Value;
        }
        default: RaiseUnknownOperator(30131, Operator);
    }
}

uint8_t TORQExprNodeStringFunction::GetDataType() {
    switch (Operator) {
        case doLength:
        case doPos: return aftInteger;
        case doUpper:
        case doLower:
        case doTrim:
        case doLTrim:
        case doRTrim:
        case doSubstring: {
            const uint8_t t = Child(0)->GetDataType();
            if (IsStringAdvancedType(t)) return t;
            const uint8_t b = AdvancedToBaseFieldType(t);
            if (b == bdtClob) return aftVarChar;
            if (b == bdtWideClob) return aftWideVarChar;
            return t;
        }
        default: return TORQExprNode::GetDataType();
    }
}

int32_t TORQExprNodeStringFunction::GetDataSize() {
    switch (Operator) {
        case doConcat: {
            const uint8_t t = GetDataType();
            int64_t size = 0;
            for (int32_t i = 0; i < ChildCount(); ++i) {
                TORQExprNode* c = Child(i);
                if (c->GetDataType() != t && dynamic_cast<TORQExprNodeCast*>(c) == nullptr) {
                    std::unique_ptr<TORQExprNode>& child = Children.at(static_cast<std::size_t>(i));
                    child = std::make_unique<TORQExprNodeCast>(std::move(child), nullptr, t);
                }
                size += Child(i)->GetDataSize();
            }
            return static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
        }
        case doUpper:
        case doLower:
        case doTrim:
        case doLTrim:
        case doRTrim: return Child(0)->GetDataSize();
        case doSubstring: {
            const int32_t size = Child(0)->GetDataSize();
            if (size != 0 || !IsStringAdvancedType(GetDataType())) return size;
            return ChildCount() > 2 ? Child(2)->GetValue().GetAsInteger() : 4096;
        }
        default: return 0;
    }
}

// ---------------------------------------------------------------------------------
// TORQExprNodeDateFunction

classlib::TDateTime LocalNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return classlib::EncodeDate(static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                                static_cast<uint16_t>(local.tm_mday)) +
           classlib::EncodeTime(static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min),
                                static_cast<uint16_t>(std::min(local.tm_sec, 59)), static_cast<uint16_t>(ms));
}

TORQExprNodeDateFunction::TORQExprNodeDateFunction(uint8_t Operator, const std::string& Picture,
                                                   std::unique_ptr<TORQExprNode> Argument)
    : TORQExprNode(Operator, 1, 0, std::move(Argument)), Formatter(std::make_unique<TDateFormater>(Picture)) {}

TORQExprNodeDateFunction::TORQExprNodeDateFunction(uint8_t Operator, std::unique_ptr<TORQExprNode> Argument,
                                                   uint8_t DatePart)
    : TORQExprNode(Operator, 1, 0, std::move(Argument)), DatePart(DatePart) {}

namespace {

void SetTyped(TORQVariant& Value, uint8_t Type, classlib::TDateTime DateTime) {
    Value.Clear(Type);
    switch (Type) {
        case bdtDate: Value.SetAsDate(DateTime); break;
        case bdtTime: Value.SetAsTime(DateTime); break;
        default: Value.SetAsDateTime(DateTime); break;
    }
}

// A date, time or timestamp (or a value that converts to a timestamp) as a TDateTime:
// a TIME is the fraction of day 0, a DATE a whole day.
classlib::TDateTime AsDateTime(const TORQVariant& Value) {
    switch (Value.DataType()) {
        case bdtTime: return Value.GetAsTime();
        case bdtDate: return Value.GetAsDate();
        default: return Value.GetAsDateTime();
    }
}

}  // namespace

TORQVariant& TORQExprNodeDateFunction::GetValue() {
    switch (Operator) {
        case doCurrentTimestamp: SetTyped(Value, bdtTimeStamp, LocalNow()); return Value;
        case doCurrentDate: SetTyped(Value, bdtDate, LocalNow()); return Value;
        case doCurrentTime: SetTyped(Value, bdtTime, LocalNow()); return Value;
        case doToDate: {
            TORQVariant& arg = Child(0)->GetValue();
            if (arg.IsNull() || Formatter == nullptr) {
                Value.Clear(bdtTimeStamp);
                return Value;
            }
            const classlib::TDateTime dt = Formatter->ParseDateTime(ValueAsText(arg));
            const bool noDays = std::trunc(dt) == 0;
            const bool noTime = dt - std::trunc(dt) == 0;
            uint8_t type = bdtTimeStamp;
            if (noDays && noTime) {
                // Midnight of day 0 says nothing about which part was meant: the picture does.
                type = AdvancedToBaseFieldType(Formatter->GetResultType());
            } else if (noDays) {
                type = bdtTime;
            } else if (noTime) {
                type = bdtDate;
            }
            SetTyped(Value, type, dt);
            return Value;
        }
        case doToString: {
            TORQVariant& arg = Child(0)->GetValue();
            Value.Clear(bdtVarChar);
            if (arg.IsNull() || Formatter == nullptr) return Value;
            Value.SetAsString(Formatter->FormatDateTime(AsDateTime(arg)));
            return Value;
        }
        case doExtract: {
            TORQVariant& arg = Child(0)->GetValue();
            if (arg.IsNull()) {
                Value.Clear(bdtWord);
                return Value;
            }
            const classlib::TDateTime dt = AsDateTime(arg);
            uint16_t part;
            if (DatePart >= dpHour) {
                uint16_t h, n, s, ms;
                classlib::DecodeTime(dt, h, n, s, ms);
                part = DatePart == dpHour ? h : DatePart == dpMinute ? n : s;
            } else {
                uint16_t y, m, d;
                classlib::DecodeDate(dt, y, m, d);
                part = DatePart == dpYear ? y : DatePart == dpMonth ? m : d;
            }
            if (Value.DataType() != bdtWord) Value.Clear(bdtWord);
            Value.SetAsWord(part);
            return Value;
        }
        default: RaiseUnknownOperator(30130, Operator);
    }
}

uint8_t TORQExprNodeDateFunction::GetDataType() {
    switch (Operator) {
        case doCurrentTimestamp: return aftDateTime;
        case doCurrentDate: return aftDate;
        case doCurrentTime: return aftTime;
        case doToDate: return Formatter != nullptr ? Formatter->GetResultType() : uint8_t{aftDateTime};
        case doToString: return aftVarChar;
        case doExtract: return aftWord;
        default: RaiseUnknownOperator(30287, Operator);
    }
}

int32_t TORQExprNodeDateFunction::GetDataSize() {
    return Operator == doToString && Formatter != nullptr ? Formatter->GetMaxLength() : 0;
}

// ---------------------------------------------------------------------------------
// TORQExprNodeSystem

TORQExprNodeSystem::TORQExprNodeSystem(uint8_t Operator, uint8_t InMemory, std::string FieldName,
                                       std::string TableName, const std::string& DatabaseName,
                                       const std::string& SessionName)
    : TORQExprNode(Operator), TableName(std::move(TableName)), FieldName(std::move(FieldName)), InMemory(InMemory) {
    if (Operator != doLastAutoinc) return;
    auto table = std::make_unique<TORQTable>();
    table->SetSessionName(SessionName);
    table->SetDatabaseName(DatabaseName);
    table->SetTableName(this->TableName);
    table->SetInMemory(InMemory != 0);
    table->SetReadOnly(true);
    table->Open();
    const TORQAdvFieldDef* def = table->AdvFieldDefs().Find(this->FieldName);
    if (def == nullptr) RaiseNativeFmt(30337, "Field '%s' not found", {this->FieldName});
    FieldType = def->DataType;
    Table = std::move(table);
}

TORQExprNodeSystem::~TORQExprNodeSystem() {
    if (!Table) return;
    try {
        Table->Close();
    } catch (...) {
        // Freeing a node never raises.
    }
}

TORQVariant& TORQExprNodeSystem::GetValue() {
    switch (Operator) {
        case doRowNum:
            RowCounter = static_cast<int32_t>(static_cast<uint32_t>(RowCounter) + 1u);
            if (Value.DataType() != bdtInteger) Value.Clear(bdtInteger);
            Value.SetAsInteger(RowCounter);
            return Value;
        case doLastAutoinc:
            if (Value.DataType() != bdtLargeInt) Value.Clear(bdtLargeInt);
            Value.SetAsLargeInt(Table->GetLastAutoincValue(FieldName));
            return Value;
        default: RaiseUnknownOperator(30338, Operator);
    }
}

uint8_t TORQExprNodeSystem::GetDataType() {
    switch (Operator) {
        case doRowNum: return aftInteger;
        case doLastAutoinc: return FieldType;
        default: RaiseUnknownOperator(30338, Operator);
    }
}

}  // namespace orq
