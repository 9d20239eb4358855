// CoAtlas's installed back end and the status check. The back end is process-wide, as
// a registered class is; the receiver runs on one thread and so does every caller.
#include "platform/MapLink.h"

#include <cstdio>
#include <utility>

namespace tilo {

namespace {

CoAtlas::TFactory& InstalledFactory() {
    static CoAtlas::TFactory factory;
    return factory;
}

}  // namespace

void OleCheck(int32_t Status, const char* Interface, const char* Call) {
    if (Status == MapOk) return;
    char text[160];
    std::snprintf(text, sizeof text, "%s.%s failed: status 0x%08X", Interface, Call, uint32_t(Status));
    throw EOleSysError(text, Status);
}

std::shared_ptr<IAtlas> CoAtlas::Create() {
    const TFactory& factory = InstalledFactory();
    if (!factory) OleCheck(MapClassNotRegistered, "CoAtlas", "Create");
    std::shared_ptr<IAtlas> atlas;
    const int32_t status = factory(atlas);
    // A back end that reports success without an object has failed all the same.
    OleCheck(status == MapOk && !atlas ? MapFail : status, "CoAtlas", "Create");
    return atlas;
}

CoAtlas::TFactory CoAtlas::Install(TFactory Factory) {
    return std::exchange(InstalledFactory(), std::move(Factory));
}

classlib::Variant MapVariantArray(std::initializer_list<classlib::Variant> Items) {
    classlib::Variant a = classlib::Variant::CreateArray({{0, int32_t(Items.size()) - 1}}, classlib::varVariant);
    int32_t i = 0;
    for (const classlib::Variant& v : Items) a.PutElement({i++}, v);
    return a;
}

classlib::Variant MapPosition(double Longitude, double Latitude) {
    return MapVariantArray({classlib::Variant::FromDouble(Longitude), classlib::Variant::FromDouble(Latitude)});
}

classlib::Variant MapLabelledPoint(double Longitude, double Latitude, const std::string& Label) {
    return MapVariantArray({classlib::Variant::FromDouble(Longitude), classlib::Variant::FromDouble(Latitude),
                            classlib::Variant::FromString(Label)});
}

}  // namespace tilo
