// One request of the "app" scheme as the runtime sees it: it reads the
// request body and streams the response back. The platform shell
// implements it; the runtime holds it as an opaque wexlor_scheme_exchange.
//
// The handle the runtime holds encodes a 64-bit id that is never reused,
// not the exchange's address. The table entries look the id up in a
// registry, so a handle that is finished, stopped, garbage or belongs to a
// freed exchange whose memory now holds a new one reaches nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wexlor/wexlor.h"

class SchemeExchangeBase {
 public:
  SchemeExchangeBase();
  virtual ~SchemeExchangeBase() = default;
  SchemeExchangeBase(const SchemeExchangeBase&) = delete;
  SchemeExchangeBase& operator=(const SchemeExchangeBase&) = delete;

  // Copies up to `capacity` further bytes of the request body into `dest`;
  // returns how many were copied (0 at the end).
  virtual uint64_t ReadRequestBody(uint8_t* dest, uint64_t capacity) = 0;
  // Starts the response with a status and a flat header block.
  virtual void Begin(int32_t status, const char* headers, uint64_t headersLength) = 0;
  // Queues body bytes; returns the length accepted, or -1 once the request
  // has been stopped.
  virtual int64_t WriteResponse(const uint8_t* data, uint64_t length) = 0;
  // Ends the response; the exchange is released once its queued steps ran.
  virtual void Finish() = 0;

  // The handle given to the runtime; the same for the exchange's lifetime.
  wexlor_scheme_exchange* AsHandle() const;

  // Makes `exchange` reachable through its handle; the registry keeps it
  // alive until it is taken out again.
  static wexlor_scheme_exchange* Register(std::shared_ptr<SchemeExchangeBase> exchange);
  // The registered exchange behind `handle`, or null for any other handle.
  static std::shared_ptr<SchemeExchangeBase> FromHandle(wexlor_scheme_exchange* handle);
  // Takes the exchange out of the registry and returns it; null when it was
  // not there (already taken, or never a handle). Exactly one caller wins.
  static std::shared_ptr<SchemeExchangeBase> Unregister(wexlor_scheme_exchange* handle);
  // How many exchanges the registry holds.
  static size_t RegisteredCount();

 private:
  const uint64_t id_;
};
