// What every part of the dataset framework shares: the dataset error and its raise
// helper, the enumerations of states, modes, options and events, record buffers and
// bookmarks, and the SQL timestamp record with its date-time conversions.
//
// The enumerations keep the class library's order: callers compare and store them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DateUtils.h"
#include "classlib/FieldTypes.h"
#include "classlib/SysUtils.h"

namespace classlib {

// Misuse of a dataset, a field, a definition or a parameter.
class EDatabaseError : public Exception { using Exception::Exception; };

// A failed update of a provider's delta: the message and context of the failure, its
// error code, the code of the failure before it, and the message of the exception that
// caused it.
class EUpdateError : public EDatabaseError {
public:
    EUpdateError(std::string Message, std::string Context, int32_t ErrorCode, int32_t PreviousError,
                 std::string OriginalMessage)
        : EDatabaseError(std::move(Message)), Context(std::move(Context)), ErrorCode(ErrorCode),
          PreviousError(PreviousError), OriginalMessage(std::move(OriginalMessage)) {}
    std::string Context;
    int32_t ErrorCode;
    int32_t PreviousError;
    std::string OriginalMessage;
};

// Raises EDatabaseError with Message, prefixed "Name: " when Component has a name.
[[noreturn]] void DatabaseError(std::string_view Message, const TComponent* Component = nullptr);
[[noreturn]] void DatabaseErrorFmt(std::string_view Fmt, std::initializer_list<FormatArg> Args,
                                   const TComponent* Component = nullptr);

enum TDataSetState : uint8_t {
    dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue,
    dsInternalCalc, dsOpening
};

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum TResyncModeFlag : uint8_t { rmExact = 1, rmCenter = 2 };
enum TUpdateKind : uint8_t { ukModify, ukInsert, ukDelete };
enum TUpdateAction : uint8_t { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };
enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

enum TDataEvent : uint8_t {
    deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange,
    deUpdateRecord, deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange,
    deFocusControl
};

// Option sets are bit masks of these flags.
using TIndexOptions = uint8_t;
enum : TIndexOptions {
    ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8, ixExpression = 16,
    ixNonMaintained = 32
};
using TFilterOptions = uint8_t;
enum : TFilterOptions { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TLocateOptions = uint8_t;
enum : TLocateOptions { loCaseInsensitive = 1, loPartialKey = 2 };

// A record buffer is raw bytes laid out by the dataset that allocated it.
using TRecordBuffer = uint8_t*;
// A bookmark: BookmarkSize bytes; empty means none.
using TBookmark = std::vector<uint8_t>;

// The SQL timestamp record; Fractions are milliseconds. All zero is a blank value.
struct TSQLTimeStamp {
    int16_t Year = 0;
    uint16_t Month = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint32_t Fractions = 0;
    friend bool operator==(const TSQLTimeStamp&, const TSQLTimeStamp&) = default;
};
static_assert(sizeof(TSQLTimeStamp) == 16, "the record is 16 bytes with no padding");

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime Value);
// A blank record is 0; a record outside the calendar raises EConvertError.
TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& Value);

}  // namespace classlib
