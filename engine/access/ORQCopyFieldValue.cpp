#include "engine/access/ORQCopyFieldValue.h"

#include <memory>

#include "classlib/DB.h"

namespace orq {

using namespace classlib;

namespace {

void CopyBlob(TField& Source, TBlobField& Target) {
    std::unique_ptr<TStream> from = Source.DataSet()->CreateBlobStream(&Source, bmRead);
    if (!from) DatabaseErrorFmt("Cannot open BLOB field '%s'", {Source.DisplayName()}, Source.DataSet());
    // Block by block into the target's write stream, refusing a short write.
    Target.LoadFromStream(*from);
}

}  // namespace

void CopyFieldValue(TField& Source, TField& Target) {
    if (Source.IsNull()) {
        Target.Clear();
        return;
    }
    // The cheap question first: the cast costs more than the copy of a small value.
    if (Source.IsBlob()) {
        if (auto* blob = dynamic_cast<TBlobField*>(&Target)) {
            CopyBlob(Source, *blob);
            return;
        }
    }
    switch (Source.DataType()) {
        case ftString:
        case ftFixedChar:
        case ftGuid:
        case ftBlob:
        case ftMemo:
        case ftGraphic:
        case ftFmtMemo:
            Target.SetAsString(Source.AsString());
            break;
        case ftWideString:
            Target.SetAsWideString(Source.AsWideString());
            break;
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
            Target.SetAsInteger(Source.AsInteger());
            break;
        case ftLargeint:
            Target.SetAsLargeInt(Source.AsLargeInt());
            break;
        case ftBoolean:
            Target.SetAsBoolean(Source.AsBoolean());
            break;
        case ftFloat:
        case ftBCD:
            Target.SetAsFloat(Source.AsFloat());
            break;
        case ftCurrency:
            Target.SetAsCurrency(Source.AsCurrency());
            break;
        case ftDate:
        case ftTime:
        case ftDateTime:
            Target.SetAsDateTime(Source.AsDateTime());
            break;
        case ftTimeStamp:
            Target.SetAsSQLTimeStamp(Source.AsSQLTimeStamp());
            break;
        default:
            Target.SetValue(Source.Value());
            break;
    }
}

}  // namespace orq
