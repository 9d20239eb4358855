// The link to the map program: the automation interfaces the receiver drives to show a
// day's stations, their paths and a title, and CoAtlas, which makes the map program's
// application object from whichever back end is installed (the program installs its own
// map window, tests a recording fake).
//
// Every call returns a status, 0 on success and a negative code on failure, and the
// caller checks it (OleCheck) except for the two font settings. Flags travel as 32-bit
// values, true -1 and false 0; colours as 32-bit blue-green-red numbers. Positions and
// layer data are classlib::Variant arrays: a position [longitude, latitude] of doubles,
// a labelled point [longitude, latitude, label], a layer's data a one-element array
// holding a path (an array of two positions) or a labelled point. Objects handed out
// are shared: a layer or map stays valid while anyone holds it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "classlib/SysUtils.h"
#include "classlib/Variant.h"

namespace tilo {

inline constexpr int32_t MapOk = 0;
inline constexpr int32_t MapTrue = -1;
inline constexpr int32_t MapFalse = 0;
// Failure statuses a back end gives (the platform's own codes, kept for the log).
inline constexpr int32_t MapFail = int32_t(0x80004005u);             // unspecified failure
inline constexpr int32_t MapInvalidArg = int32_t(0x80070057u);       // a malformed argument
inline constexpr int32_t MapClassNotRegistered = int32_t(0x80040154u);  // no back end installed

// Colours the receiver sends (blue-green-red).
inline constexpr int32_t MapBlue = 0xFF0000;
inline constexpr int32_t MapYellow = 0x00FFFF;
inline constexpr int32_t MapCyan = 0xFFFF00;
inline constexpr int32_t MapBlack = 0;

// A failed automation call: "<interface>.<call> failed: status 0x%08X".
class EOleSysError : public classlib::Exception {
public:
    EOleSysError(std::string Message, int32_t ErrorCode)
        : classlib::Exception(std::move(Message)), FErrorCode(ErrorCode) {}
    int32_t ErrorCode() const { return FErrorCode; }

private:
    int32_t FErrorCode;
};

// Raises EOleSysError when Status is not MapOk.
void OleCheck(int32_t Status, const char* Interface, const char* Call);

// The standard font interface: only the two settings the receiver makes. Size is the
// interface's currency value, points x 10000.
class IFont {
public:
    virtual ~IFont() = default;
    virtual int32_t put_Name(const std::u16string& Name) = 0;
    virtual int32_t put_Size(int64_t Size) = 0;
};

class IDxMapLayer {
public:
    virtual ~IDxMapLayer() = default;
    virtual int32_t LayerCall09(int32_t Colour) = 0;  // labels and paths
    virtual int32_t LayerCall11(int32_t Colour) = 0;  // point marks
    virtual int32_t LayerCall15(int32_t Flag) = 0;
    virtual int32_t LayerSetData(const classlib::Variant& Data) = 0;
    virtual int32_t LayerGetFont(std::shared_ptr<IFont>& Font) = 0;
};

class IDxMapLayers {
public:
    virtual ~IDxMapLayers() = default;
    virtual int32_t LayersGetItem(int32_t Index, std::shared_ptr<IDxMapLayer>& Layer) = 0;
    virtual int32_t LayersCall10() = 0;  // empties every layer
};

class IDxMap {
public:
    virtual ~IDxMap() = default;
    virtual int32_t MapCall11() = 0;  // opens a drawing bracket
    virtual int32_t MapCall12() = 0;  // closes it
    virtual int32_t MapCall14(int32_t Flag) = 0;
    virtual int32_t MapCall22(float Latitude) = 0;   // the receiver
    virtual int32_t MapCall24(float Longitude) = 0;
    virtual int32_t MapCall26(int32_t Flag) = 0;
    virtual int32_t MapCall28(int32_t Flag) = 0;
    virtual int32_t MapCall30(int32_t Flag) = 0;
    virtual int32_t MapCall32(int32_t Flag) = 0;
    virtual int32_t MapCall41(int32_t Flag) = 0;
    virtual int32_t MapGetLayers(std::shared_ptr<IDxMapLayers>& Layers) = 0;
};

class IAtlas {
public:
    virtual ~IAtlas() = default;
    virtual int32_t AtlasCall08(int32_t Value) = 0;
    virtual int32_t AtlasCall10(int32_t Value) = 0;
    virtual int32_t AtlasCall16(int32_t Flag) = 0;
    virtual int32_t AtlasCall17() = 0;  // shows the map
    virtual int32_t AtlasCall19(int32_t Flag) = 0;
    virtual int32_t AtlasGetMap(std::shared_ptr<IDxMap>& Map) = 0;
};

// The creatable class of the map program's application object.
class CoAtlas {
public:
    // Makes one application object into Atlas and gives its status.
    using TFactory = std::function<int32_t(std::shared_ptr<IAtlas>& Atlas)>;

    static constexpr const char* ClassId = "{B12E9F88-0F2F-41C3-9C06-508172A27061}";
    static constexpr const char* AtlasInterfaceId = "{9805614B-F01A-4904-AD4F-81F99E52082C}";
    static constexpr const char* MapInterfaceId = "{B5ED89B0-6104-4A46-B509-97D716514E9F}";

    // A new application object from the installed back end; raises EOleSysError
    // ("CoAtlas.Create failed: ...") with MapClassNotRegistered when none is installed,
    // or with the back end's status when it fails.
    static std::shared_ptr<IAtlas> Create();
    // Installs Factory as the back end (empty: none) and gives back the one it replaces.
    static TFactory Install(TFactory Factory);
};

// Small helpers for building and reading the link's variant arrays.
classlib::Variant MapVariantArray(std::initializer_list<classlib::Variant> Items);
classlib::Variant MapPosition(double Longitude, double Latitude);
classlib::Variant MapLabelledPoint(double Longitude, double Latitude, const std::string& Label);

}  // namespace tilo
