#include "ZelHubApp.h"

#include "ZelHubProtocol.h"

bool ZelHubApp::operator==(const ZelHubApp &other) const
{
    return ZelHubProtocol::stringsEqual(id, other.id) &&
           ZelHubProtocol::stringsEqual(name, other.name) &&
           ZelHubProtocol::stringsEqual(bundleID, other.bundleID);
}
