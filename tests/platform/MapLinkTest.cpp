// The map link's own rules: the failure text and code of a checked call, CoAtlas with and
// without a back end, and the recorder's log and failure injection.
#include "platform/MapLink.h"
#include "platform/MapLinkRecorder.h"

#include <gtest/gtest.h>

namespace {

using namespace tilo;

struct TInstalled {
    explicit TInstalled(CoAtlas::TFactory F) : Previous(CoAtlas::Install(std::move(F))) {}
    ~TInstalled() { CoAtlas::Install(std::move(Previous)); }
    CoAtlas::TFactory Previous;
};

TEST(MapLink, OleCheckRaisesInterfaceCallAndStatus) {
    EXPECT_NO_THROW(OleCheck(0, "IAtlas", "AtlasCall16"));
    try {
        OleCheck(int32_t(0x80010108u), "IDxMap", "MapCall12");
        FAIL() << "no exception";
    } catch (const EOleSysError& e) {
        EXPECT_STREQ(e.what(), "IDxMap.MapCall12 failed: status 0x80010108");
        EXPECT_EQ(e.ErrorCode(), int32_t(0x80010108u));
    }
    // A positive status is no success either.
    EXPECT_THROW(OleCheck(1, "IAtlas", "AtlasCall17"), EOleSysError);
}

TEST(MapLink, CreateWithoutBackEndIsClassNotRegistered) {
    TInstalled none{CoAtlas::TFactory{}};
    try {
        CoAtlas::Create();
        FAIL() << "no exception";
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.ErrorCode(), MapClassNotRegistered);
        EXPECT_STREQ(e.what(), "CoAtlas.Create failed: status 0x80040154");
    }
}

TEST(MapLink, CreateGivesTheBackEndsObjectOrItsFailure) {
    std::weak_ptr<TRecordingMapLink> made;
    {
        TInstalled rec{TRecordingMapLink::Factory(&made)};
        const std::shared_ptr<IAtlas> atlas = CoAtlas::Create();
        EXPECT_EQ(atlas.get(), made.lock().get());
    }
    TInstalled failing{[](std::shared_ptr<IAtlas>&) { return MapInvalidArg; }};
    try {
        CoAtlas::Create();
        FAIL() << "no exception";
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.ErrorCode(), MapInvalidArg);
    }
    // Success without an object is a failure all the same.
    TInstalled empty{[](std::shared_ptr<IAtlas>&) { return MapOk; }};
    EXPECT_THROW(CoAtlas::Create(), EOleSysError);
}

TEST(MapLinkRecorder, LogsEveryObjectsCallsInOrderAndFailsTheChosenOne) {
    TRecordingMapLink rec;
    rec.FailAt(4, MapInvalidArg);
    std::shared_ptr<IDxMap> map;
    ASSERT_EQ(rec.AtlasGetMap(map), MapOk);
    EXPECT_EQ(map->MapCall22(51.3f), MapOk);
    std::shared_ptr<IDxMapLayers> layers;
    ASSERT_EQ(map->MapGetLayers(layers), MapOk);
    std::shared_ptr<IDxMapLayer> layer;
    EXPECT_EQ(layers->LayersGetItem(4, layer), MapInvalidArg);  // call 4
    ASSERT_EQ(layers->LayersGetItem(4, layer), MapOk);
    std::shared_ptr<IDxMapLayer> again;
    ASSERT_EQ(layers->LayersGetItem(4, again), MapOk);
    EXPECT_EQ(layer, again);  // one object per layer number
    EXPECT_EQ(layer->LayerCall11(MapYellow), MapOk);
    std::shared_ptr<IFont> font;
    ASSERT_EQ(layer->LayerGetFont(font), MapOk);
    EXPECT_EQ(font->put_Name(u"Small fonts"), MapOk);
    EXPECT_EQ(font->put_Size(70000), MapOk);
    EXPECT_EQ(layer->LayerSetData(MapVariantArray({MapLabelledPoint(-1.25, 50.5, "NITON")})), MapOk);
    const std::vector<std::string> expected = {
        "IAtlas.AtlasGetMap()",
        "IDxMap.MapCall22(51.3)",
        "IDxMap.MapGetLayers()",
        "IDxMapLayers.LayersGetItem(4)",
        "IDxMapLayers.LayersGetItem(4)",
        "IDxMapLayers.LayersGetItem(4)",
        "IDxMapLayer[4].LayerCall11($00FFFF)",
        "IDxMapLayer[4].LayerGetFont()",
        "IFont[4].put_Name(u\"Small fonts\")",
        "IFont[4].put_Size(70000)",
        "IDxMapLayer[4].LayerSetData([[-1.25, 50.5, \"NITON\"]])",
    };
    EXPECT_EQ(rec.Calls(), expected);
    ASSERT_EQ(rec.Data().size(), 1u);
}

TEST(MapLinkRecorder, VariantTextShowsTypes) {
    using classlib::Variant;
    EXPECT_EQ(MapVariantText(MapVariantArray({Variant::FromSingle(0.5f), Variant::FromInteger(-3), Variant::FromDouble(0.1),
                                              Variant::FromOleStr(u"A"), Variant()})),
              "[0.5f, -3i, 0.1, u\"A\", Empty]");
}

}  // namespace
