// TORQTableCopy: the rebuilds' copy of one disk table's records into a new, empty disk
// table (of the same file or another) at the storage level. The source's record pages are
// read one after the other in page order; each record is turned into the destination's
// layout and written to the next slot of record pages the copy fills in turn; its BLOB
// values move in their stored (compressed) form onto BLOB pages the copy fills in turn;
// its keys go into the destination's indexes as it is placed. No dataset, record buffer
// of a cursor, stream or per-record commit is involved; the pages' own encryption is the
// page managers' business, so files of different passwords and ciphers copy alike.
//
// Rules kept here:
// - A field is copied only into a destination field that holds its value byte for byte:
//   the same base type and memory size, a text no longer than the destination's, a BLOB
//   stored under the same compression algorithm, mode and block size. A copy that needs
//   anything else is refused by Plan before anything is written; the caller takes the
//   dataset road then.
// - What an insert does to a record happens here too: destination fields no source field
//   feeds get their defaults, autoincrement values move the counters, and every constraint
//   is checked unless the destination's are the source's (same fields, same constraints);
//   a failure ends the copy with that constraint's error. A unique key whose index is built
//   from the bottom up (below) is checked there, in one pass over the ordered entries,
//   with the error an insert would have met: the index is empty while records are placed.
// - An index whose keys are a source index's keys byte for byte (the same columns of the
//   same fields, sizes, order and case rules) is built from the bottom up once the records
//   are placed, from the source index's leaves in order: the copy places records in the
//   source's record order, so the new record ids keep that order and no key is compared.
//   Every other index takes each record's keys as it is placed.
// - The destination's pages are committed every CommitEvery pages the copy makes, so
//   memory stays bounded; a failure rolls back what was not committed and passes on, and
//   the caller removes the half-filled table. Pages are never taken across a commit.
// - Progress is reported as records done of the source's count: after record n when
//   (n - 1) is a multiple of the caller's Every, and besides whenever ProgressEveryMs of
//   work passed since the last report (a slow record, the bottom-up builds). The program
//   may use the database inside its progress event: the session's pages then hold the
//   records so far with their record and BLOB page indexes and state. An answer of false
//   ends the copy after the record at hand; what was copied is committed whole.
// - Both tables are single-user, the destination has no cursor of another session and its
//   session is in no transaction (Plan checks).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orq {

class TORQBaseConstraintManager;
class TORQBaseSession;
class TORQDiskTableData;
class TORQTableData;

class TORQTableCopy {
public:
    static constexpr int32_t CommitEvery = 2048;
    static constexpr int32_t ProgressEveryMs = 100;

    // FieldMap[i]: the destination field source field i goes to, -1 for none. DestSession
    // is the session whose pages the destination takes (its autoincrement values noted).
    TORQTableCopy(TORQTableData& Source, int32_t SourceSessionID, TORQTableData& Dest, TORQBaseSession* DestSession,
                  std::vector<int32_t> FieldMap);
    ~TORQTableCopy();

    // Whether the copy can run at the storage level; when not, Why says what stops it.
    bool Plan(std::string& Why);
    // Copies every record; Progress(done, total) answers whether to go on, called after
    // records 1, 1 + Every, 1 + 2 Every, ... (and as the rules say). The number of records
    // copied.
    int64_t Run(const std::function<bool(int64_t Done, int64_t Total)>& Progress, int64_t Every = 30);
    bool Stopped() const { return FStopped; }
    // After a failure: the number (from 1, in the copy's order) of the record whose insert
    // failed, 0 when the failure was no record's.
    int64_t FailedRecord() const { return FFailedRecord; }

    // Runs for each record in the destination's memory form before its autoincrement values
    // and constraints: what it raises refuses the record and ends the copy.
    std::function<void(const uint8_t* Record)> BeforeInsert;

private:
    TORQTableData& FSourceData;
    int32_t FSourceSession;
    TORQTableData& FDestData;
    TORQBaseSession* FDestSession;
    std::vector<int32_t> FFieldMap;
    TORQDiskTableData* FSource = nullptr;
    TORQDiskTableData* FDest = nullptr;
    bool FPlanned = false;
    bool FSameLayout = false;      // identical memory records but for BLOB references
    bool FAllFed = false;          // every destination field has a source field
    bool FCheckConstraints = false;
    bool FHasAutoinc = false;
    bool FStopped = false;
    int64_t FFailedRecord = 0;
    // Destination index id -> the source index id it is built from.
    std::vector<std::pair<int32_t, int32_t>> FBulkIndexes;
    // The constraints checked per record (those no bulk-built index proves).
    std::unique_ptr<TORQBaseConstraintManager> FChecker;
};

}  // namespace orq
