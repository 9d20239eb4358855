// What the data-access and SQL layers call in the storage layer, named once: this file
// stops compiling when one of those services is renamed, dropped or changes its kind.
#include <gtest/gtest.h>

#include <type_traits>

#include "engine/storage/ORQConstraints.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQFieldManager.h"
#include "engine/storage/ORQMemEngine.h"
#include "engine/storage/ORQTempEngine.h"

using namespace orq;

namespace {

template <auto Member>
constexpr bool IsMethod = std::is_member_function_pointer_v<decltype(Member)>;

template <auto Member>
constexpr bool IsField = std::is_member_object_pointer_v<decltype(Member)>;

// The cursor: the 46 overridable operations and the services with base code.
static_assert(IsMethod<&TORQCursor::CreateTable> && IsMethod<&TORQCursor::DeleteTable> &&
              IsMethod<&TORQCursor::EmptyTable> && IsMethod<&TORQCursor::RenameTable> &&
              IsMethod<&TORQCursor::InitFieldDefs> && IsMethod<&TORQCursor::OpenTable> &&
              IsMethod<&TORQCursor::CloseTable> && IsMethod<&TORQCursor::LockTableData> &&
              IsMethod<&TORQCursor::UnlockTableData> && IsMethod<&TORQCursor::LockTable> &&
              IsMethod<&TORQCursor::UnlockTable> && IsMethod<&TORQCursor::RenameField> &&
              IsMethod<&TORQCursor::GetIndexDefs> && IsMethod<&TORQCursor::AddIndex> &&
              IsMethod<&TORQCursor::DeleteIndex> && IsMethod<&TORQCursor::DeleteAllIndexes> &&
              IsMethod<&TORQCursor::CreateTemporaryIndex> && IsMethod<&TORQCursor::HasIndexForFields> &&
              IsMethod<&TORQCursor::CopyFieldValue> && IsMethod<&TORQCursor::InitRecord> &&
              IsMethod<&TORQCursor::FreeRecordBuffer> && IsMethod<&TORQCursor::GetRecordCount> &&
              IsMethod<&TORQCursor::GetRecord> && IsMethod<&TORQCursor::SetRecNo> &&
              IsMethod<&TORQCursor::GetRecNo> && IsMethod<&TORQCursor::First> && IsMethod<&TORQCursor::Last> &&
              IsMethod<&TORQCursor::BeginInsert> && IsMethod<&TORQCursor::Edit> &&
              IsMethod<&TORQCursor::CancelRecord> && IsMethod<&TORQCursor::PostRecord> &&
              IsMethod<&TORQCursor::DeleteRecord> && IsMethod<&TORQCursor::SetTemporaryIndex> &&
              IsMethod<&TORQCursor::SetFilter> && IsMethod<&TORQCursor::CancelFilter> &&
              IsMethod<&TORQCursor::Locate> && IsMethod<&TORQCursor::GotoBookmark> &&
              IsMethod<&TORQCursor::FindKey> && IsMethod<&TORQCursor::OpenBlob> &&
              IsMethod<&TORQCursor::CloseBlob> && IsMethod<&TORQCursor::FreeBlobs> &&
              IsMethod<&TORQCursor::GetLastAutoincValue> && IsMethod<&TORQCursor::BeginUpdateBatch> &&
              IsMethod<&TORQCursor::CommitBatch> && IsMethod<&TORQCursor::RollbackBatch> &&
              IsMethod<&TORQCursor::CheckConstraints>);
static_assert(IsMethod<&TORQCursor::SetIndexName> && IsMethod<&TORQCursor::ResetRecordBitmap> &&
              IsMethod<&TORQCursor::CancelRange> && IsMethod<&TORQCursor::SetRange> &&
              IsMethod<&TORQCursor::SavePosition> && IsMethod<&TORQCursor::RestorePosition> &&
              IsMethod<&TORQCursor::FreePosition> && IsMethod<&TORQCursor::AllocRecordBuffer> &&
              IsMethod<&TORQCursor::AllocRecordIDBuffer> && IsMethod<&TORQCursor::ClearRecordBuffer> &&
              IsMethod<&TORQCursor::GetFieldData> && IsMethod<&TORQCursor::SetFieldData> &&
              IsMethod<&TORQCursor::GetFieldValue> && IsMethod<&TORQCursor::SetFieldValue> &&
              IsMethod<&TORQCursor::SetProjection> && IsMethod<&TORQCursor::SetFilterExpression> &&
              IsMethod<&TORQCursor::ResetToBeginning> && IsMethod<&TORQCursor::LockTableForSession> &&
              IsMethod<&TORQCursor::UnlockTableForSession> && IsMethod<&TORQCursor::SessionInTransaction> &&
              IsMethod<&TORQCursor::HasActiveRecordBitmap>);
static_assert(IsField<&TORQCursor::Projected> && IsField<&TORQCursor::TableName> && IsField<&TORQCursor::IndexName> &&
              IsField<&TORQCursor::IndexID> && IsField<&TORQCursor::Session> && IsField<&TORQCursor::CurrentRecord> &&
              IsField<&TORQCursor::OldRecord> && IsField<&TORQCursor::RecordBitmap> &&
              IsField<&TORQCursor::IndexPositionCache> && IsField<&TORQCursor::UpdateBatch> &&
              IsField<&TORQCursor::CurrentRecordID> && IsField<&TORQCursor::Bof> && IsField<&TORQCursor::Eof> &&
              IsField<&TORQCursor::OnFilterRecord> && IsField<&TORQCursor::TableData>);

// The session's 17 operations and its fields.
static_assert(IsMethod<&TORQBaseSession::GetConnected> && IsMethod<&TORQBaseSession::SetConnected> &&
              IsMethod<&TORQBaseSession::GetRecoveryMode> && IsMethod<&TORQBaseSession::SetRecoveryMode> &&
              IsMethod<&TORQBaseSession::CreateDatabase> && IsMethod<&TORQBaseSession::DropDatabase> &&
              IsMethod<&TORQBaseSession::SetDatabaseName> && IsMethod<&TORQBaseSession::GetTablesList> &&
              IsMethod<&TORQBaseSession::TableExists> && IsMethod<&TORQBaseSession::SetNamedObject> &&
              IsMethod<&TORQBaseSession::FindNamedObjectByName> && IsMethod<&TORQBaseSession::FindNamedObjectByID> &&
              IsMethod<&TORQBaseSession::DeleteNamedObject> && IsMethod<&TORQBaseSession::StartTransaction> &&
              IsMethod<&TORQBaseSession::Commit> && IsMethod<&TORQBaseSession::Rollback> &&
              IsMethod<&TORQBaseSession::FlushBuffers>);
static_assert(IsField<&TORQBaseSession::SessionID> && IsField<&TORQBaseSession::InTransaction> &&
              IsField<&TORQBaseSession::MultiUser> && IsField<&TORQBaseSession::NeedsRepair> &&
              IsField<&TORQBaseSession::Password> && IsField<&TORQBaseSession::DatabaseData>);
static_assert(std::is_class_v<TORQSessionComponentManager>);

// The database objects.
static_assert(IsMethod<&TORQDatabaseData::Lock> && IsMethod<&TORQDatabaseData::Unlock> &&
              IsMethod<&TORQDatabaseData::ConnectSession> && IsMethod<&TORQDatabaseData::DisconnectSession> &&
              IsMethod<&TORQDatabaseData::FreeIfUnused> && IsMethod<&TORQDatabaseData::GetTablesList> &&
              IsMethod<&TORQDatabaseData::CreateDatabase> && IsMethod<&TORQDatabaseData::FindTableData> &&
              IsMethod<&TORQDatabaseData::GetTableData> && IsMethod<&TORQDatabaseData::Commit> &&
              IsMethod<&TORQDatabaseData::Rollback> && IsMethod<&TORQDatabaseData::FlushBuffers> &&
              IsMethod<&TORQDatabaseData::TableExists>);
static_assert(std::is_base_of_v<TORQDatabaseData, TORQDiskDatabaseData> &&
              std::is_base_of_v<TORQDatabaseData, TORQMemoryDatabaseData> &&
              std::is_base_of_v<TORQDatabaseData, TORQTemporaryDatabaseData>);
static_assert(IsMethod<&TORQDiskDatabaseData::IsEncrypted> && IsMethod<&TORQDiskDatabaseData::GetRecoveryMode> &&
              IsMethod<&TORQDiskDatabaseData::SetRecoveryMode> &&
              IsMethod<&TORQDiskDatabaseData::ShrinkDatabaseFile> && IsMethod<&TORQDiskDatabaseData::IsMultiUser> &&
              IsMethod<&TORQDiskPageManager::GetHeaderBuffer>);

// The table data, the disk table's own services, and the managers the layers reach.
static_assert(IsMethod<&TORQTableData::Lock> && IsMethod<&TORQTableData::Unlock> &&
              IsMethod<&TORQTableData::CreateTable> && IsMethod<&TORQTableData::DeleteTable> &&
              IsMethod<&TORQTableData::EmptyTable> && IsMethod<&TORQTableData::RenameTable> &&
              IsMethod<&TORQTableData::AddCursor> && IsMethod<&TORQTableData::RemoveCursor> &&
              IsMethod<&TORQTableData::RenameField> && IsMethod<&TORQTableData::AddIndex> &&
              IsMethod<&TORQTableData::DeleteIndex> && IsMethod<&TORQTableData::DropTemporaryIndexes> &&
              IsMethod<&TORQTableData::CreateTemporaryIndex> && IsMethod<&TORQTableData::HasIndexForFields> &&
              IsMethod<&TORQTableData::GetRecord> && IsMethod<&TORQTableData::FindRecord> &&
              IsMethod<&TORQTableData::GotoRecord> && IsMethod<&TORQTableData::SetRecNo> &&
              IsMethod<&TORQTableData::GetRecNo> && IsMethod<&TORQTableData::GetRecordCount> &&
              IsMethod<&TORQTableData::FreeRecordBlobs> && IsMethod<&TORQTableData::CreateBlobStream> &&
              IsMethod<&TORQTableData::StoreBlobStream> && IsMethod<&TORQTableData::FreeBlob> &&
              IsMethod<&TORQTableData::InsertRecord> && IsMethod<&TORQTableData::UpdateRecord> &&
              IsMethod<&TORQTableData::DeleteRecord> && IsMethod<&TORQTableData::GetLastAutoincValue> &&
              IsMethod<&TORQTableData::CommitSessionPages> && IsMethod<&TORQTableData::RollbackSessionPages>);
static_assert(std::is_base_of_v<TORQTableData, TORQDiskTableData> && IsField<&TORQDiskTableData::Repair> &&
              IsMethod<&TORQDiskTableData::SetTableLock> && IsMethod<&TORQDiskTableData::ReleaseTableLock> &&
              IsMethod<&TORQDiskTableData::LockRecord> && IsMethod<&TORQDiskTableData::UnlockRecord> &&
              IsMethod<&TORQDiskTableData::ReadMostUpdatedFile> && IsMethod<&TORQDiskTableData::ClearRecordBlobs> &&
              IsMethod<&TORQDiskTableData::FreeIfUnused>);
static_assert(std::is_same_v<decltype(&TORQDiskTableData::SetTableLock),
                             bool (TORQDiskTableData::*)(int32_t, uint8_t, uint8_t, int32_t, int32_t)>);
static_assert(std::is_same_v<decltype(&TORQDiskTableData::ReleaseTableLock),
                             void (TORQDiskTableData::*)(int32_t, uint8_t, uint8_t)>);
static_assert(std::is_same_v<decltype(&TORQDiskTableData::ReadMostUpdatedFile), void (TORQDiskTableData::*)(int32_t)>);
static_assert(IsMethod<&TORQBaseConstraintManager::CheckRecord> &&
              IsMethod<&TORQBaseFieldManager::RecordBuffersEqual> &&
              IsMethod<&TORQBaseFieldManager::ApplyDefaults> &&
              IsMethod<&TORQBaseFieldManager::ApplyAutoincValues>);

// The definitions.
static_assert(IsMethod<static_cast<TORQFieldDef* (TORQFieldDefs::*)()>(&TORQFieldDefs::Add)> &&
              IsMethod<&TORQFieldDefs::GetItem> && IsMethod<&TORQFieldDefs::FindByName> &&
              IsMethod<&TORQFieldDefs::GetMemoryRecordSize> && IsMethod<&TORQFieldDef::SetDataType>);
static_assert(IsMethod<static_cast<TORQIndexDef* (TORQIndexDefs::*)()>(&TORQIndexDefs::Add)> &&
              IsMethod<&TORQIndexDefs::FindByName> && IsMethod<&TORQIndexDef::GetColumnCount> &&
              IsMethod<&TORQIndexDef::SetColumnCount> && IsMethod<&TORQConstraintDefs::AddNotNull> &&
              IsMethod<&TORQConstraintDefs::AddCheck> && IsMethod<&TORQConstraintDefs::AddPrimary> &&
              IsMethod<&TORQConstraintDefs::AddUnique> && IsMethod<&TORQConstraintDefs::GetItem> &&
              IsMethod<&TORQMetaObjectDefs::IndexOfName> && IsMethod<&TORQMetaObjectDefs::IndexOfID>);
static_assert(std::is_same_v<decltype(&BuffersEqual), bool (*)(const void*, const void*, int64_t)>);

}  // namespace

// The checks above run at compile time; this names the file in the test list.
TEST(StorageServices, EveryServiceTheUpperLayersCallIsDeclared) { SUCCEED(); }
