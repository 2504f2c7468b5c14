// Whether another bridge of this node and table is connected now, asked on
// a short connection of its own before the bridge's own connection: that
// one takes the client id, and with it the other bridge's session, over.
#ifndef KELTO_TOOLS_BRIDGE_STATE_PEEK_H_
#define KELTO_TOOLS_BRIDGE_STATE_PEEK_H_

#include <string>

#include "bridge/broker_link.h"

namespace kelto::bridge {

enum class PeerState {
  kUnknown,  // the broker could not be asked (the link reports why)
  kAbsent,   // no state, or "offline"
  kOnline,   // "online" of another run, and no "offline" followed within a second
};

// Reads the retained state on `topic`. A bridge killed a moment ago may
// still stand "online" until the broker publishes its Will, so an "online"
// is watched for a second before it counts.
// `listen_ms`: how long to listen after subscribing at least, for a state
// published a moment later (by a bridge that just took a session over).
PeerState PeekState(const LinkSettings& settings, const std::string& topic, int listen_ms = 200);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_STATE_PEEK_H_
