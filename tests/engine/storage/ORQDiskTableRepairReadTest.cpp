// The full repair's read of a disk table: the record page index rebuilt from the pages on
// every open, held in the reading session's private pages, never committed, and not a byte
// of the file written.
#include <gtest/gtest.h>

#include <cmath>

#include "DiskTableFixture.h"

namespace {

using namespace disktable;
using namespace orq;

constexpr int64_t Page0 = 380;
constexpr int32_t PageSize = 4096;

// Code raised by F, 0 when none.
int32_t Code(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

int32_t PrivatePagesOf(TORQDiskPageManager& Pm, int32_t SessionID) {
    TORQSortedPageList* own = Pm.PrivateList(SessionID);
    int32_t n = 0;
    for (int32_t i = 0; own != nullptr && i < own->Count(); ++i)
        if (TORQDiskPageManager::IsPrivatePage(own->Items(i)->PageNo)) ++n;
    return n;
}

// A file whose last commit was cut off: the index and state name all Rows rows, but the
// last record page of the table came back without its records (its slot bitmap as a page
// never written holds it) and the state byte says a commit was being written. Answers the
// number of rows still on the other pages.
int32_t MakeHalfWrittenCommit(const std::string& Name, int32_t Rows) {
    int32_t perPage = 0, tableID = -1;
    {
        Connection c(Name, false);
        CreateLogTable(c);
        Cursor log(c, "NAVTEXLOG");
        for (int32_t i = 0; i < Rows; ++i) {
            log.FillLog(i, "");
            EXPECT_TRUE(log.Append());
        }
        const int32_t r = log.Disk->DiskRecordManager()->StoredRecordSize();
        perPage = static_cast<int32_t>(std::trunc((PageSize - 40 - 1) / (r + 0.125)));
        tableID = log.Disk->TableID;
    }
    const std::vector<uint8_t> bytes = disktest::ReadAll(Name);
    int64_t last = -1;
    for (int64_t p = 1; Page0 + (p + 1) * PageSize <= static_cast<int64_t>(bytes.size()); ++p) {
        const uint8_t* page = bytes.data() + Page0 + p * PageSize;
        const int32_t owner = static_cast<int32_t>(page[22] | page[23] << 8 | page[24] << 16 | page[25] << 24);
        if (std::memcmp(page, "ORQP", 4) == 0 && (page[8] | page[9] << 8) == 10 && owner == tableID) last = p;
    }
    EXPECT_GT(last, 0);
    disktest::Patch(Name, Page0 + last * PageSize + 40, std::vector<uint8_t>(static_cast<size_t>((perPage + 7) / 8), 0));
    disktest::Patch(Name, 42, {1});
    return Rows - Rows % perPage;
}

class DiskTableRepairRead : public ::testing::TestWithParam<bool> {};

TEST_P(DiskTableRepairRead, AHalfWrittenCommitReadsWholeWithoutAByteWritten) {
    const bool multiUser = GetParam();
    DbFile f;
    const int32_t kept = MakeHalfWrittenCommit(f.Name, 100);
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, 100) << "the last page held rows";
    std::vector<int64_t> expected;
    for (int32_t i = 0; i < kept; ++i) expected.push_back(i);

    Connection c(f.Name, multiUser);
    ASSERT_EQ(c.S.MultiUser != 0, multiUser);
    c.Db->SetRecoveryMode(1);
    TORQDiskPageManager& pm = *c.Db->DiskPageManager();
    const std::vector<uint8_t> before = disktest::ReadAll(f.Name);
    {
        // Through the stored index the cut-off page is met as one without records.
        Cursor stored(c, "NAVTEXLOG");
        EXPECT_EQ(Code([&] { stored.Walk(""); }), 20143);
    }
    {
        // The index that only breaks when read is not what the repair-when-broken kind
        // looks at; the repair read rebuilds always.
        Cursor read(c, "NAVTEXLOG", false, TORQDiskTableData::RepairRead);
        EXPECT_EQ(read.Walk(""), expected);
        EXPECT_EQ(read.Disk->GetPhysicalRecordCount(&read), kept);
        read.ResetToEnd();
        ASSERT_EQ(read.Disk->GetRecord(&read, gmPrior), grOK);
        EXPECT_EQ(read.Minute(), kept - 1) << "backwards too";
        EXPECT_GT(PrivatePagesOf(pm, c.S.SessionID), 0) << "the rebuilt index lives in the session's own pages";
        // Another session cannot read through pages it does not own.
        ExtraSession other(c);
        EXPECT_EQ(Code([&] { Cursor second(c, "NAVTEXLOG", false, 0, &other.S); }), 20209);
        EXPECT_EQ(read.Walk(""), expected) << "the rebuilt view stays";
        // Nothing of it can be committed: refused before the state byte is touched.
        EXPECT_EQ(Code([&] { pm.CommitSession(c.S.SessionID); }), 31463);
        EXPECT_EQ(disktest::ReadAll(f.Name), before);
    }
    EXPECT_EQ(PrivatePagesOf(pm, c.S.SessionID), 0) << "the pages go with the table's last cursor";
    EXPECT_EQ(disktest::ReadAll(f.Name), before) << "the file being repaired is never written";
    {
        Cursor stored(c, "NAVTEXLOG");
        EXPECT_EQ(Code([&] { stored.Walk(""); }), 20143) << "nothing was committed";
    }
    EXPECT_EQ(disktest::ReadAll(f.Name), before);
}

INSTANTIATE_TEST_SUITE_P(Modes, DiskTableRepairRead, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& I) { return I.param ? "MultiUser" : "SingleUser"; });

}  // namespace
