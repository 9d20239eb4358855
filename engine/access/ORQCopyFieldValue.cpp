#include "engine/access/ORQCopyFieldValue.h"

#include <memory>

#include "classlib/DB.h"

namespace orq {

using namespace classlib;

namespace {

void CopyBlob(TField& Source, TField& Target) {
    std::unique_ptr<TStream> from = Source.DataSet()->CreateBlobStream(&Source, bmRead);
    // The target stream stores what it was given when it is closed, so it is closed
    // here, before the copy counts as done.
    std::unique_ptr<TStream> to = Target.DataSet()->CreateBlobStream(&Target, bmWrite);
    to->CopyFrom(*from, 0);
}

}  // namespace

void CopyFieldValue(TField& Source, TField& Target) {
    if (Source.IsNull()) {
        Target.Clear();
        return;
    }
    if (Source.IsBlob() && Target.IsBlob()) {
        CopyBlob(Source, Target);
        return;
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
