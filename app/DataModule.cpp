#include "app/DataModule.h"

#include <QTimer>

#include "classlib/DB.h"
#include "engine/access/ORQMain.h"

namespace tilo {

TDataModule1* DataModule1 = nullptr;
std::string TDataModule1::DefaultDataFolder;

TDataModuleReportHook& TDataModuleReportHook::operator=(TDataModuleTextEvent Event) {
    FEvent = std::move(Event);
    return *this;
}
void TDataModuleReportHook::operator()(const std::string& Text, bool Held) {
    if (FEvent) FEvent(Text);
    else if (Held) FHeld.push_back(Text);
}

TDataModule1::TDataModule1(classlib::TComponent* AOwner) : classlib::TComponent(AOwner) { DataModule1 = this; }
TDataModule1::~TDataModule1() {
    if (DataModule1 == this) DataModule1 = nullptr;
}
void TDataModule1::DataModuleCreate() {}
void TDataModule1::FindStationsByArea(const std::string&, const std::string&, int32_t, int32_t&, int32_t&,
                                      std::string& Station) { Station = "UNID"; }
void TDataModule1::FindStationByUniqueId(const std::string&, std::string&, std::string&, int32_t, int32_t&,
                                         std::string& Station) { Station = "UNID"; }
void TDataModule1::FindStationByIdText(char, const std::string&, int32_t, std::string& Station, int32_t&,
                                       std::string&) { Station = "UNID"; }
bool TDataModule1::KeywordsInText(const std::string&, const std::string&) { return false; }
void TDataModule1::GetStationPosition(const std::string&, double& Lat, double& Lon) { Lat = Lon = 0; }
void TDataModule1::GetIdKeywords(const std::string&, const std::string&, const std::string&, const std::string&,
                                 classlib::TStrings&) {}
void TDataModule1::GetUniqueKeywords(const std::string&, const std::string&, const std::string&, const std::string&,
                                     classlib::TStrings&) {}
void TDataModule1::SetIdKeywords(const std::string&, const std::string&, const std::string&, const std::string&,
                                 const std::string&) {}
void TDataModule1::SetUniqueKeywords(const std::string&, const std::string&, const std::string&, const std::string&,
                                     const std::string&) {}
void TDataModule1::JoinKeywords(const classlib::TStrings&, std::string& Text) { Text.clear(); }
bool TDataModule1::LocateStation(const std::string&, const std::string&, const std::string&, const std::string&) {
    return false;
}
void TDataModule1::FormatStationLine(const std::string&, const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, std::string& Line) { Line.clear(); }
void TDataModule1::LoadExclusionList(QListWidget&) {}

std::string StationText(classlib::TDataSet&) { return {}; }

}  // namespace tilo
