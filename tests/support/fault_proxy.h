#pragma once
// A TCP proxy between the program and meter-sim that spoils load-profile
// transfers as a real meter can: it ends one early (the end of the transfer
// where a record was due) or makes one record unreadable (five objects
// declared of the six it carries, the frame otherwise whole). Everything else
// passes unchanged, both ways.

#include <cstdint>

#include "support/loopback_peer.h"

namespace qv::test {

// Records count from 1 in every load-profile transfer, the 00:00 record that
// closes the day before included; a record sent again for a repeated poll is
// the same record. 0: no such fault.
struct ProfileFault {
    int endAt = 0;  // this record and those after it become the end of the transfer
    int spoil = 0;  // this record cannot be read
};

class FaultProxy {
  public:
    // Serves the first connection, relaying it to 127.0.0.1:meterPort.
    FaultProxy(uint16_t meterPort, ProfileFault fault);
    uint16_t port() const { return peer_.port(); }

  private:
    LoopbackPeer peer_;
};

}  // namespace qv::test
