// The recorder's objects all write to one shared state; a layer object is made once per
// number and handed out again, as a real layer collection does.
#include "platform/MapLinkRecorder.h"

#include <charconv>
#include <cstdio>
#include <map>

namespace tilo {

namespace {

template <typename T>
std::string Shortest(T V) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, V);
    return std::string(text, r.ptr);
}

std::string Int(int32_t V) { return std::to_string(V); }

std::string Colour(int32_t V) {
    char text[16];
    std::snprintf(text, sizeof text, "$%06X", uint32_t(V));
    return text;
}

using TState = TRecordingMapLink::TState;

class TRecordingFont : public IFont {
public:
    TRecordingFont(std::shared_ptr<TState> State, std::string Name) : FState(std::move(State)), FName(std::move(Name)) {}
    int32_t put_Name(const std::u16string& Name) override {
        return FState->Record(FName + ".put_Name(" + MapVariantText(classlib::Variant::FromOleStr(Name)) + ")");
    }
    int32_t put_Size(int64_t Size) override { return FState->Record(FName + ".put_Size(" + std::to_string(Size) + ")"); }

private:
    std::shared_ptr<TState> FState;
    std::string FName;
};

class TRecordingLayer : public IDxMapLayer {
public:
    TRecordingLayer(std::shared_ptr<TState> State, int32_t Index)
        : FState(State), FName("IDxMapLayer[" + Int(Index) + "]"),
          FFont(std::make_shared<TRecordingFont>(State, "IFont[" + Int(Index) + "]")) {}
    int32_t LayerCall09(int32_t Colour) override { return Call("LayerCall09", tilo::Colour(Colour)); }
    int32_t LayerCall11(int32_t Colour) override { return Call("LayerCall11", tilo::Colour(Colour)); }
    int32_t LayerCall15(int32_t Flag) override { return Call("LayerCall15", Int(Flag)); }
    int32_t LayerSetData(const classlib::Variant& Data) override {
        FState->Data.push_back(Data);
        return Call("LayerSetData", MapVariantText(Data));
    }
    int32_t LayerGetFont(std::shared_ptr<IFont>& Font) override {
        const int32_t status = Call("LayerGetFont", "");
        if (status == MapOk) Font = FFont;
        return status;
    }

private:
    int32_t Call(const char* Name, const std::string& Args) { return FState->Record(FName + "." + Name + "(" + Args + ")"); }
    std::shared_ptr<TState> FState;
    std::string FName;
    std::shared_ptr<IFont> FFont;
};

class TRecordingLayers : public IDxMapLayers {
public:
    explicit TRecordingLayers(std::shared_ptr<TState> State) : FState(std::move(State)) {}
    int32_t LayersGetItem(int32_t Index, std::shared_ptr<IDxMapLayer>& Layer) override {
        const int32_t status = FState->Record("IDxMapLayers.LayersGetItem(" + Int(Index) + ")");
        if (status != MapOk) return status;
        std::shared_ptr<IDxMapLayer>& made = FLayers[Index];
        if (!made) made = std::make_shared<TRecordingLayer>(FState, Index);
        Layer = made;
        return MapOk;
    }
    int32_t LayersCall10() override { return FState->Record("IDxMapLayers.LayersCall10()"); }

private:
    std::shared_ptr<TState> FState;
    std::map<int32_t, std::shared_ptr<IDxMapLayer>> FLayers;
};

class TRecordingMap : public IDxMap {
public:
    explicit TRecordingMap(std::shared_ptr<TState> State)
        : FState(State), FLayers(std::make_shared<TRecordingLayers>(State)) {}
    int32_t MapCall11() override { return Call("MapCall11", ""); }
    int32_t MapCall12() override { return Call("MapCall12", ""); }
    int32_t MapCall14(int32_t Flag) override { return Call("MapCall14", Int(Flag)); }
    int32_t MapCall22(float Latitude) override { return Call("MapCall22", Shortest(Latitude)); }
    int32_t MapCall24(float Longitude) override { return Call("MapCall24", Shortest(Longitude)); }
    int32_t MapCall26(int32_t Flag) override { return Call("MapCall26", Int(Flag)); }
    int32_t MapCall28(int32_t Flag) override { return Call("MapCall28", Int(Flag)); }
    int32_t MapCall30(int32_t Flag) override { return Call("MapCall30", Int(Flag)); }
    int32_t MapCall32(int32_t Flag) override { return Call("MapCall32", Int(Flag)); }
    int32_t MapCall41(int32_t Flag) override { return Call("MapCall41", Int(Flag)); }
    int32_t MapGetLayers(std::shared_ptr<IDxMapLayers>& Layers) override {
        const int32_t status = Call("MapGetLayers", "");
        if (status == MapOk) Layers = FLayers;
        return status;
    }

private:
    int32_t Call(const char* Name, const std::string& Args) { return FState->Record(std::string("IDxMap.") + Name + "(" + Args + ")"); }
    std::shared_ptr<TState> FState;
    std::shared_ptr<IDxMapLayers> FLayers;
};

}  // namespace

int32_t TRecordingMapLink::TState::Record(std::string Line) {
    Calls.push_back(std::move(Line));
    return int32_t(Calls.size()) == FailCall ? FailStatus : MapOk;
}

TRecordingMapLink::TRecordingMapLink()
    : FState(std::make_shared<TState>()), FMap(std::make_shared<TRecordingMap>(FState)) {}

void TRecordingMapLink::ClearCalls() {
    FState->Calls.clear();
    FState->Data.clear();
}

void TRecordingMapLink::FailAt(int32_t Call, int32_t Status) {
    FState->FailCall = Call;
    FState->FailStatus = Status;
}

CoAtlas::TFactory TRecordingMapLink::Factory(std::weak_ptr<TRecordingMapLink>* Made) {
    return [Made](std::shared_ptr<IAtlas>& Atlas) {
        auto link = std::make_shared<TRecordingMapLink>();
        if (Made) *Made = link;
        Atlas = link;
        return MapOk;
    };
}

int32_t TRecordingMapLink::AtlasCall08(int32_t Value) { return FState->Record("IAtlas.AtlasCall08(" + Int(Value) + ")"); }
int32_t TRecordingMapLink::AtlasCall10(int32_t Value) { return FState->Record("IAtlas.AtlasCall10(" + Int(Value) + ")"); }
int32_t TRecordingMapLink::AtlasCall16(int32_t Flag) { return FState->Record("IAtlas.AtlasCall16(" + Int(Flag) + ")"); }
int32_t TRecordingMapLink::AtlasCall17() { return FState->Record("IAtlas.AtlasCall17()"); }
int32_t TRecordingMapLink::AtlasCall19(int32_t Flag) { return FState->Record("IAtlas.AtlasCall19(" + Int(Flag) + ")"); }
int32_t TRecordingMapLink::AtlasGetMap(std::shared_ptr<IDxMap>& Map) {
    const int32_t status = FState->Record("IAtlas.AtlasGetMap()");
    if (status == MapOk) Map = FMap;
    return status;
}

std::string MapVariantText(const classlib::Variant& V) {
    using namespace classlib;
    if (V.IsArray()) {
        std::string text = "[";
        if (V.ArrayDimCount() == 1) {
            for (int32_t i = V.ArrayLowBound(1); i <= V.ArrayHighBound(1); ++i) {
                if (i > V.ArrayLowBound(1)) text += ", ";
                text += MapVariantText(V.GetElement({i}));
            }
        } else {
            text += "?dims";
        }
        return text + "]";
    }
    switch (V.VarType()) {
        case varEmpty: return "Empty";
        case varNull: return "Null";
        case varSingle: return Shortest(float(V.AsDouble())) + "f";
        case varDouble: return Shortest(V.AsDouble());
        case varString: return "\"" + V.AsString() + "\"";
        case varOleStr: {
            std::string text = "u\"";
            for (char16_t c : V.AsOleStr()) text += c < 0x100 ? char(c) : '?';
            return text + "\"";
        }
        case varBoolean: return V.AsBoolean() ? "True" : "False";
        case varSmallint: case varInteger: case varShortInt: case varInt64:
            return std::to_string(V.AsInt64()) + "i";
        case varByte: case varWord: case varLongWord:
            return std::to_string(V.AsUInt64()) + "u";
        default: return "?type" + std::to_string(V.VarType());
    }
}

}  // namespace tilo
