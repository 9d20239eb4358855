// The disk engine's page types and their names, as messages show them. The numbers are
// stored in every page header (uint16 at offset 8) and never change meaning.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orq {

inline constexpr uint16_t ptUnknown = 0;
inline constexpr uint16_t ptEmpty = 1;
inline constexpr uint16_t ptEAM = 2;
inline constexpr uint16_t ptPFS = 3;
inline constexpr uint16_t ptFileSystemDirectory = 4;
inline constexpr uint16_t ptActiveSessionList = 5;
inline constexpr uint16_t ptTableList = 6;
inline constexpr uint16_t ptTableLocks = 7;
inline constexpr uint16_t ptTableMetaData = 8;
inline constexpr uint16_t ptTableMostUpdated = 9;
inline constexpr uint16_t ptTableRecord = 10;
inline constexpr uint16_t ptTableBlob = 11;
inline constexpr uint16_t ptTableIndex = 12;
inline constexpr uint16_t MaxPageType = 12;

inline constexpr std::array<std::string_view, MaxPageType + 1> PageTypeNames = {
    "Unknown Page",      "Empty Page",         "EAM Page",          "PFS Page",
    "FileSystemDirectory Page", "ActiveSessionList Page", "TableList Page", "TableLocks Page",
    "TableMetaData Page", "TableMostUpdated Page", "TableRecord Page", "TableBlob Page",
    "TableIndex Page"};

}  // namespace orq
