#include "platform/sim/sim_context.h"

namespace zelk::sim {

const char* SimKindName(SimKind kind) {
    switch (kind) {
        case SimKind::kEnumerator:
            return "enumerator";
        case SimKind::kCollection:
            return "collection";
        case SimKind::kEndpoint:
            return "endpoint";
        case SimKind::kPropertyStore:
            return "property store";
        case SimKind::kTopology:
            return "topology";
        case SimKind::kConnector:
            return "connector";
        case SimKind::kPart:
            return "part";
        case SimKind::kPartsList:
            return "parts list";
        case SimKind::kVolumeLevel:
            return "volume level";
        case SimKind::kMute:
            return "mute";
    }
    return "?";
}

}  // namespace zelk::sim
