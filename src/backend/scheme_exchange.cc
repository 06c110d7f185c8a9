#include "backend/scheme_exchange.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace {

static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "handles carry a 64-bit id");

std::atomic<uint64_t> g_next_exchange_id{1};

struct Registry {
  std::mutex mutex;
  std::unordered_map<uint64_t, std::shared_ptr<SchemeExchangeBase>> exchanges;
};

// Never destroyed, so exchanges released during exit find it intact.
Registry& TheRegistry() {
  static Registry* const registry = new Registry();
  return *registry;
}

uint64_t IdOf(wexlor_scheme_exchange* handle) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

SchemeExchangeBase::SchemeExchangeBase() : id_(g_next_exchange_id.fetch_add(1)) {}

wexlor_scheme_exchange* SchemeExchangeBase::AsHandle() const {
  return reinterpret_cast<wexlor_scheme_exchange*>(static_cast<uintptr_t>(id_));
}

wexlor_scheme_exchange* SchemeExchangeBase::Register(std::shared_ptr<SchemeExchangeBase> exchange) {
  wexlor_scheme_exchange* handle = exchange->AsHandle();
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.exchanges.insert_or_assign(exchange->id_, std::move(exchange));
  return handle;
}

std::shared_ptr<SchemeExchangeBase> SchemeExchangeBase::FromHandle(wexlor_scheme_exchange* handle) {
  if (handle == nullptr) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.exchanges.find(IdOf(handle));
  return it == r.exchanges.end() ? nullptr : it->second;
}

std::shared_ptr<SchemeExchangeBase> SchemeExchangeBase::Unregister(wexlor_scheme_exchange* handle) {
  if (handle == nullptr) return nullptr;
  std::shared_ptr<SchemeExchangeBase> taken;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.exchanges.find(IdOf(handle));
  if (it == r.exchanges.end()) return nullptr;
  taken = std::move(it->second);
  r.exchanges.erase(it);
  return taken;
}

size_t SchemeExchangeBase::RegisteredCount() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.exchanges.size();
}
