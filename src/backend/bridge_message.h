// Reading one bridge message from a page: JSON text carrying the window's
// key, the call id, the method and the arguments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "value/value.h"

struct BridgeMessage {
  enum class Kind {
    kDrop,    // not from the window's bridge: ignore it
    kReject,  // from the bridge, but the runtime cannot take it: reject the call
    kCall,    // a call for the runtime
  };
  Kind kind = Kind::kDrop;
  uint64_t callId = 0;
  std::string method;
  std::shared_ptr<wexlor::Value> args;  // always a list for kCall
  std::string error;                    // why, for kReject
  std::string origin;                   // the origin a dropped message gave, if any
};

// Reads `text` as a message of the window whose bridge key is `key`. Only a
// message with that key and a whole call id in [0, 2^53] is the bridge's; a
// method that holds NUL or is not valid UTF-8 text, or arguments nested
// deeper than the reader keeps, make a call that is rejected.
BridgeMessage ReadBridgeMessage(const std::string& text, const std::string& key);
// The same for NUL-terminated text of `length` bytes, without a copy.
BridgeMessage ReadBridgeMessage(const char* text, size_t length, const std::string& key);
