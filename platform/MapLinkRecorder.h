// TRecordingMapLink: a map-program back end that draws nothing and records every call
// with its arguments, one line each, in the order made, so that tests can compare what
// the receiver sends with a log written by hand. One log serves the application object
// and every map, layer collection, layer and font it hands out.
//
// Line forms: "IAtlas.AtlasCall16(-1)", "IDxMap.MapCall22(51.5)",
// "IDxMapLayers.LayersGetItem(4)", "IDxMapLayer[4].LayerCall11($00FFFF)",
// "IDxMapLayer[2].LayerSetData([[[2, 51], [-1.25, 50.5]]])", "IFont[4].put_Size(70000)".
// Colours are shown as six hex digits, 4-byte reals and doubles in their shortest exact
// text, 8-bit strings in double quotes, OLE strings as u"...".
//
// FailAt(k) makes the k-th call (counted from 1 over the whole log) return a failure
// status; it is logged like any other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MapLink.h"

namespace tilo {

class TRecordingMapLink : public IAtlas {
public:
    struct TState {
        std::vector<std::string> Calls;
        std::vector<classlib::Variant> Data;  // every LayerSetData argument, in order
        int32_t FailCall = 0;                 // 0: none
        int32_t FailStatus = MapFail;
        // Logs Line and gives the status of this call.
        int32_t Record(std::string Line);
    };

    TRecordingMapLink();

    const std::vector<std::string>& Calls() const { return FState->Calls; }
    const std::vector<classlib::Variant>& Data() const { return FState->Data; }
    void ClearCalls();
    void FailAt(int32_t Call, int32_t Status = MapFail);

    // A factory for CoAtlas::Install that makes a new recorder each time and keeps the
    // latest in *Made (weakly, so that a dropped object is seen to be gone).
    static CoAtlas::TFactory Factory(std::weak_ptr<TRecordingMapLink>* Made);

    int32_t AtlasCall08(int32_t Value) override;
    int32_t AtlasCall10(int32_t Value) override;
    int32_t AtlasCall16(int32_t Flag) override;
    int32_t AtlasCall17() override;
    int32_t AtlasCall19(int32_t Flag) override;
    int32_t AtlasGetMap(std::shared_ptr<IDxMap>& Map) override;

private:
    std::shared_ptr<TState> FState;
    std::shared_ptr<IDxMap> FMap;
};

// The log's text of a variant (arrays as [a, b], see above).
std::string MapVariantText(const classlib::Variant& V);

}  // namespace tilo
