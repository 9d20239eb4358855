#include "classlib/DBCommon.h"

#include <cmath>

namespace classlib {

void DatabaseError(std::string_view Message, const TComponent* Component) {
    if (Component != nullptr && !Component->Name().empty())
        throw EDatabaseError(Component->Name() + ": " + std::string(Message));
    throw EDatabaseError(std::string(Message));
}

void DatabaseErrorFmt(std::string_view Fmt, std::initializer_list<FormatArg> Args, const TComponent* Component) {
    DatabaseError(Format(Fmt, Args), Component);
}

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime Value) {
    TSQLTimeStamp ts;
    uint16_t y, m, d, h, n, s, z;
    DecodeDate(Value, y, m, d);
    DecodeTime(Value, h, n, s, z);
    ts.Year = static_cast<int16_t>(y);
    ts.Month = m;
    ts.Day = d;
    ts.Hour = h;
    ts.Minute = n;
    ts.Second = s;
    ts.Fractions = z;
    return ts;
}

TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& Value) {
    if (Value == TSQLTimeStamp{}) return 0;
    TDateTime date, time;
    if (Value.Year < 1 || !TryEncodeDate(static_cast<uint16_t>(Value.Year), Value.Month, Value.Day, date) ||
        Value.Fractions > 999 ||
        !TryEncodeTime(Value.Hour, Value.Minute, Value.Second, static_cast<uint16_t>(Value.Fractions), time))
        throw EConvertError("Invalid SQL timestamp value");
    // Before 1899-12-30 the time of day counts away from zero, as in every TDateTime.
    return date < 0 ? date - time : date + time;
}

}  // namespace classlib
