// The one place where the link named by IO.Type is created and started.
#pragma once

#include "config/ConfigData.h"
#include "phys/IOInterface.h"

namespace quillon {

struct IIOHost;
class CPhysicalLayer;

// Creates and starts the link that the configuration's IO.Type names.
// IO_E_INTERFACE_NONE for "None", E_FAIL for a type that is not known or whose
// link cannot be started, E_OUTOFMEMORY when the link cannot be allocated.
HRESULT CreatePhysicalLayer(CIOGlobals *globals, IIOHost *host, CConfigData &config, IIOInterface **link);

// For tests only: lets IO.Type name a link class of the test's own, which
// the creator returns with one reference (null when out of memory). A null
// creator removes it again. Not for use while a link is being created.
using PhysicalLayerCreator = CPhysicalLayer *(*)(CIOGlobals *globals, IIOHost *host, const CConfigData &config);
void SetTestPhysicalLayer(const char *typeName, PhysicalLayerCreator creator);

} // namespace quillon
