// One request of the "app" scheme as the runtime sees it: it reads the
// request body and streams the response back. The platform shell
// implements it; the runtime holds it as an opaque wexlor_scheme_exchange.
#pragma once

#include <cstdint>

#include "wexlor/wexlor.h"

class SchemeExchangeBase {
 public:
  virtual ~SchemeExchangeBase() = default;
  // Copies up to `capacity` further bytes of the request body into `dest`;
  // returns how many were copied (0 at the end).
  virtual uint64_t ReadRequestBody(uint8_t* dest, uint64_t capacity) = 0;
  // Starts the response with a status and a flat header block.
  virtual void Begin(int32_t status, const char* headers, uint64_t headersLength) = 0;
  // Queues body bytes; returns the length accepted, or -1 once the request
  // has been stopped.
  virtual int64_t WriteResponse(const uint8_t* data, uint64_t length) = 0;
  // Ends the response and destroys the exchange.
  virtual void Finish() = 0;

  wexlor_scheme_exchange* AsHandle() { return reinterpret_cast<wexlor_scheme_exchange*>(this); }
  static SchemeExchangeBase* FromHandle(wexlor_scheme_exchange* h) {
    return reinterpret_cast<SchemeExchangeBase*>(h);
  }
};
