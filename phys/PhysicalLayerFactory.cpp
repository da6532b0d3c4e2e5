#include "phys/PhysicalLayerFactory.h"

#include "config/ConfigParameters.h"
#include "driver/DriverInterfaces.h"

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

} // namespace

HRESULT CreatePhysicalLayer(CIOGlobals *, IIOHost *, CConfigData &config, IIOInterface **link) {
    if (!link) return E_POINTER;
    *link = nullptr;
    switch (ParseLinkType(config.GetString(param::Type, "None"))) {
    case LinkType::None:
        return IO_E_INTERFACE_NONE;
    case LinkType::Serial:
    case LinkType::Modem:
    case LinkType::Ethernet:
    case LinkType::Ras:
        // The link classes are not part of this build yet.
        return E_FAIL;
    case LinkType::Unknown:
        break;
    }
    return E_FAIL;
}

} // namespace quillon
