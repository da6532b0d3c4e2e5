#include "phys/PhysicalLayerFactory.h"

#include "config/ConfigParameters.h"
#include "base/DriverInterfaces.h"
#include "phys/PhysicalLayer.h"
#include "phys/PhysicalLayer_Ethernet.h"
#include "phys/PhysicalLayer_RAS.h"
#include "phys/PhysicalLayer_Modem.h"
#include "phys/PhysicalLayer_Serial.h"

#include <new>
#include <string>

namespace quillon {
namespace {

enum class LinkType { None, Serial, Modem, Ethernet, Ras, Unknown };

// The type is compared without regard to case, each name also by its first
// letter alone.
LinkType ParseLinkType(const std::string &text) {
    static const struct {
        const char *name;
        LinkType type;
    } names[] = {{"None", LinkType::None},
                 {"Serial", LinkType::Serial},
                 {"Modem", LinkType::Modem},
                 {"Ethernet", LinkType::Ethernet},
                 {"RAS", LinkType::Ras}};
    for (const auto &entry : names) {
        const char initial[2] = {entry.name[0], '\0'};
        if (lstrcmpiA(text.c_str(), entry.name) == 0 || lstrcmpiA(text.c_str(), initial) == 0) return entry.type;
    }
    return LinkType::Unknown;
}

struct TestLinkType {
    std::string name;
    PhysicalLayerCreator creator = nullptr;
};

TestLinkType &TestLink() {
    static TestLinkType type;
    return type;
}

// Takes over the new link's reference; the link is released again when it
// cannot be started.
HRESULT StartLink(CPhysicalLayer *created, IIOInterface **link) {
    if (!created) return E_OUTOFMEMORY;
    ComPtr<CPhysicalLayer> owned = ComPtr<CPhysicalLayer>::Attach(created);
    if (FAILED(owned->Start())) return E_FAIL;
    *link = owned.detach();
    return S_OK;
}

} // namespace

void SetTestPhysicalLayer(const char *typeName, PhysicalLayerCreator creator) {
    TestLink().name = creator && typeName ? typeName : "";
    TestLink().creator = creator;
}

HRESULT CreatePhysicalLayer(CIOGlobals *globals, IIOHost *host, CConfigData &config, IIOInterface **link) {
    if (!link) return E_POINTER;
    *link = nullptr;
    const std::string type = config.GetString(param::Type, "None");
    const TestLinkType &testLink = TestLink();
    if (testLink.creator && lstrcmpiA(type.c_str(), testLink.name.c_str()) == 0)
        return StartLink(testLink.creator(globals, host, config), link);
    switch (ParseLinkType(type)) {
    case LinkType::None:
        return IO_E_INTERFACE_NONE;
    case LinkType::Ethernet:
        return StartLink(new (std::nothrow) CPhysicalLayer_Ethernet(globals, host, config), link);
    case LinkType::Ras:
        return StartLink(new (std::nothrow) CPhysicalLayer_RAS(globals, host, config), link);
    case LinkType::Serial:
        return StartLink(new (std::nothrow) CPhysicalLayer_Serial(globals, host, config), link);
    case LinkType::Modem:
        return StartLink(new (std::nothrow) CPhysicalLayer_Modem(globals, host, config), link);
    case LinkType::Unknown:
        break;
    }
    return E_FAIL;
}

} // namespace quillon
