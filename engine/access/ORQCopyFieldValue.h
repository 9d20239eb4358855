// CopyFieldValue: one dataset field's value into another, the step that copies records
// between tables (table copy, restructure, query results into a table).
//
// The source field's type decides the form its value is read in; the target converts
// it on writing, so a value the target cannot hold fails there with the conversion or
// range error of the field classes instead of being stored altered. A Null source makes
// the target Null. Between two BLOB fields (BLOB, memo, graphic) the bytes pass from
// the source dataset's read stream to the target dataset's write stream block by block,
// and a stream that takes fewer bytes than it is given raises (EDatabaseError).
#pragma once

#include "classlib/DBFields.h"

namespace orq {

void CopyFieldValue(classlib::TField& Source, classlib::TField& Target);

}  // namespace orq
