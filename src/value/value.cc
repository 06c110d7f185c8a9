#include "value/value.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "value/json.h"

#if defined(__SANITIZE_ADDRESS__)
#define WEXLOR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEXLOR_ASAN 1
#endif
#endif
#ifdef WEXLOR_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace wexlor {

namespace detail {

namespace {

// Small blocks are carved in order from per-thread chunks, so the nodes of
// one document lie next to each other in memory, which makes building and
// freeing them much cheaper than one malloc each. A chunk counts the blocks
// still alive in it (from any thread) and goes back once the last is freed;
// while the owning thread still carves from it the count carries a large
// bias, removed when the thread moves on to a new chunk.
constexpr size_t kGranule = 16;
constexpr size_t kChunkSize = size_t{16} << 10;
constexpr size_t kHeaderSize = 64;  // the counter on a cache line of its own
constexpr size_t kOwnerBias = size_t{1} << 40;
// Empty chunks a thread keeps for reuse, at most (16 MiB): enough to recycle
// every node of a megabyte-sized document without going back to malloc.
constexpr size_t kMaxSpareChunks = 1024;

struct Chunk {
  std::atomic<size_t> live;
  Chunk* nextSpare;
};
static_assert(sizeof(Chunk) <= kHeaderSize);

// Trivially destructible, so it stays usable while other thread-local
// objects are destroyed at thread exit.
struct Arena {
  char* next;
  char* end;
  Chunk* chunk;
  size_t handedOut;  // blocks carved from `chunk`
  Chunk* spare;
  size_t spareCount;
  // Frees are counted here and applied to `freedChunk` in one step when a
  // block of another chunk is freed (runs of frees hit the same chunk).
  Chunk* freedChunk;
  size_t freedCount;
  bool armed;   // the closer below is registered for this thread
  bool closed;  // the thread is exiting: each block gets a chunk of its own
};
constinit thread_local Arena t_arena{};

void Poison(void* p, size_t n) {
#ifdef WEXLOR_ASAN
  ASAN_POISON_MEMORY_REGION(p, n);
#else
  (void)p;
  (void)n;
#endif
}

void Unpoison(void* p, size_t n) {
#ifdef WEXLOR_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
  (void)p;
  (void)n;
#endif
}

Chunk* ChunkOf(void* p) {
  return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(p) & ~(kChunkSize - 1));
}

void FreeChunk(Chunk* chunk) {
  Unpoison(chunk, kChunkSize);
  chunk->~Chunk();
  std::free(chunk);
}

// The last block of `chunk` is gone: keep it for reuse on this thread.
void ReleaseChunk(Chunk* chunk) {
  Arena& arena = t_arena;
  if (arena.closed || arena.spareCount >= kMaxSpareChunks) {
    FreeChunk(chunk);
    return;
  }
  chunk->nextSpare = arena.spare;
  arena.spare = chunk;
  ++arena.spareCount;
}

Chunk* NewChunk(size_t live) {
  Arena& arena = t_arena;
  Chunk* chunk = arena.spare;
  if (chunk != nullptr) {
    arena.spare = chunk->nextSpare;
    --arena.spareCount;
  } else {
    void* memory = std::aligned_alloc(kChunkSize, kChunkSize);
    if (memory == nullptr) throw std::bad_alloc();
    chunk = new (memory) Chunk{};
    Poison(static_cast<char*>(memory) + kHeaderSize, kChunkSize - kHeaderSize);
  }
  chunk->live.store(live, std::memory_order_relaxed);
  return chunk;
}

// Drops the owner's bias from the current chunk.
void RetireChunk(Arena& arena) {
  if (arena.chunk == nullptr) return;
  Chunk* chunk = arena.chunk;
  arena.chunk = nullptr;
  arena.next = arena.end = nullptr;
  const size_t bias = kOwnerBias - arena.handedOut;
  arena.handedOut = 0;
  if (chunk->live.fetch_sub(bias, std::memory_order_acq_rel) == bias) ReleaseChunk(chunk);
}

// Applies the counted frees.
void FlushFrees(Arena& arena) {
  Chunk* chunk = arena.freedChunk;
  if (chunk == nullptr) return;
  const size_t count = arena.freedCount;
  arena.freedChunk = nullptr;
  arena.freedCount = 0;
  if (chunk->live.fetch_sub(count, std::memory_order_acq_rel) == count) ReleaseChunk(chunk);
}

// Gives back the current chunk and the spare ones when the thread exits.
struct ArenaCloser {
  bool used = false;
  ~ArenaCloser() {
    Arena& arena = t_arena;
    FlushFrees(arena);
    RetireChunk(arena);
    arena.closed = true;
    while (Chunk* chunk = arena.spare) {
      arena.spare = chunk->nextSpare;
      FreeChunk(chunk);
    }
    arena.spareCount = 0;
  }
};
thread_local ArenaCloser t_closer;

}  // namespace

void* PoolAllocate(size_t bytes) {
  const size_t size = (bytes + kGranule - 1) / kGranule * kGranule;
  if (size == 0 || size > kPooledBlockMax) return ::operator new(bytes);
  Arena& arena = t_arena;
  if (arena.closed) {
    // Late in thread exit: a chunk for this block alone, never cached.
    char* block = reinterpret_cast<char*>(NewChunk(1)) + kHeaderSize;
    Unpoison(block, size);
    return block;
  }
  if (static_cast<size_t>(arena.end - arena.next) < size) {
    if (!arena.armed) {
      arena.armed = true;
      t_closer.used = true;  // first use registers its destructor for this thread
    }
    Chunk* chunk = NewChunk(kOwnerBias);
    RetireChunk(arena);
    arena.chunk = chunk;
    arena.next = reinterpret_cast<char*>(chunk) + kHeaderSize;
    arena.end = reinterpret_cast<char*>(chunk) + kChunkSize;
  }
  char* block = arena.next;
  arena.next += size;
  ++arena.handedOut;
  Unpoison(block, size);
  return block;
}

void PoolFree(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  const size_t size = (bytes + kGranule - 1) / kGranule * kGranule;
  if (size == 0 || size > kPooledBlockMax) {
    ::operator delete(p);
    return;
  }
  Poison(p, size);
  Chunk* chunk = ChunkOf(p);
  Arena& arena = t_arena;
  if (arena.closed) {
    if (chunk->live.fetch_sub(1, std::memory_order_acq_rel) == 1) ReleaseChunk(chunk);
    return;
  }
  if (chunk != arena.freedChunk) {
    FlushFrees(arena);
    if (!arena.armed) {
      arena.armed = true;
      t_closer.used = true;
    }
    arena.freedChunk = chunk;
  }
  ++arena.freedCount;
}

}  // namespace detail

namespace {

using ValueAllocator = detail::PoolAllocator<Value>;

template <Value::Type kType, typename T>
std::shared_ptr<Value> Make(T&& v) {
  return std::allocate_shared<Value>(
      ValueAllocator(), std::in_place_index<static_cast<size_t>(kType)>, std::forward<T>(v));
}

}  // namespace

std::shared_ptr<Value> Value::List() { return Make<Type::List>(ListType{}); }
std::shared_ptr<Value> Value::Dict() { return Make<Type::Dict>(DictType{}); }
std::shared_ptr<Value> Value::String(const std::string& s) { return Make<Type::String>(s); }
std::shared_ptr<Value> Value::String(std::string&& s) { return Make<Type::String>(std::move(s)); }
std::shared_ptr<Value> Value::Null() { return std::allocate_shared<Value>(ValueAllocator()); }
std::shared_ptr<Value> Value::Bool(bool b) { return Make<Type::Bool>(b); }
std::shared_ptr<Value> Value::Int(int32_t i) { return Make<Type::Int>(i); }
std::shared_ptr<Value> Value::Double(double d) { return Make<Type::Double>(d); }
std::shared_ptr<Value> Value::Callback(uint64_t id) { return Make<Type::Callback>(id); }

std::shared_ptr<Value> Value::Binary(const void* data, size_t size) {
  auto value = Make<Type::Binary>(BinaryData{});
  auto& bytes = std::get<BinaryData>(value->data).bytes;
  bytes.resize(size);  // zero-filled
  if (data != nullptr && size != 0) std::memcpy(bytes.data(), data, size);
  return value;
}

namespace {

// The arrays of dying lists and dictionaries waiting to be dropped by the
// outermost ~Value running on this thread.
struct Pending {
  std::vector<Value::ListType> lists;
  std::vector<Value::DictType> dicts;
};
// Null when no ~Value runs on this thread. Plain pointer: trivially
// destructible.
thread_local Pending* t_pending = nullptr;

}  // namespace

Value::~Value() {
  if (type != Type::List && type != Type::Dict) return;
  // A dying container hands its array to the outermost ~Value on this thread
  // instead of dropping it here, so a child container that dies with it is
  // released after this one has returned: however deep a value is nested,
  // dropping it never runs out of stack. Children are touched only when they
  // are released.
  auto handOver = [this](Pending& pending) noexcept {
    try {
      if (type == Type::List) {
        pending.lists.push_back(std::move(std::get<ListType>(data)));
      } else {
        pending.dicts.push_back(std::move(std::get<DictType>(data)));
      }
    } catch (...) {
      // Out of memory: this array is released recursively, as before.
    }
  };
  if (t_pending != nullptr) {
    handOver(*t_pending);
    return;
  }
  // Children lie apart in memory: each is fetched a few steps before it is
  // released, so the misses overlap instead of coming one after the other.
  constexpr size_t kAhead = 6;
  Pending pending;
  t_pending = &pending;
  handOver(pending);
  while (!pending.lists.empty() || !pending.dicts.empty()) {
    // Dropping an array may hand over more.
    if (!pending.lists.empty()) {
      ListType list = std::move(pending.lists.back());
      pending.lists.pop_back();
      for (size_t i = 0; i < list.size(); ++i) {
        if (i + kAhead < list.size()) __builtin_prefetch(list[i + kAhead].get());
        list[i].reset();
      }
    } else {
      DictType dict = std::move(pending.dicts.back());
      pending.dicts.pop_back();
      const size_t n = dict.size();
      auto it = dict.begin();
      for (size_t i = 0; i < n; ++i, ++it) {
        if (i + kAhead < n) __builtin_prefetch(it[kAhead].second.get());
        it->second.reset();
      }
    }
  }
  t_pending = nullptr;
}

const std::string& Value::GetString() const {
  static const std::string* const kEmpty = new std::string();
  return type == Type::String ? std::get<std::string>(data) : *kEmpty;
}

const BinaryData& Value::GetBinary() const {
  static const BinaryData* const kEmpty = new BinaryData();
  return type == Type::Binary ? std::get<BinaryData>(data) : *kEmpty;
}

namespace {

bool EqualAt(const Value* a, const Value* b, int depth) {
  static const Value kNull;
  if (a == nullptr) a = &kNull;
  if (b == nullptr) b = &kNull;
  if (a->type != b->type) return false;
  if (depth > json::kMaxDepth) return true;
  switch (a->type) {
    case Value::Type::List: {
      const auto& la = a->AsList();
      const auto& lb = b->AsList();
      if (la.size() != lb.size()) return false;
      for (size_t i = 0; i < la.size(); ++i) {
        if (!EqualAt(la[i].get(), lb[i].get(), depth + 1)) return false;
      }
      return true;
    }
    case Value::Type::Dict: {
      const auto& da = a->AsDict();
      const auto& db = b->AsDict();
      if (da.size() != db.size()) return false;
      for (auto ia = da.begin(), ib = db.begin(); ia != da.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !EqualAt(ia->second.get(), ib->second.get(), depth + 1)) {
          return false;
        }
      }
      return true;
    }
    case Value::Type::Binary:
      return a->GetBinary().bytes == b->GetBinary().bytes;
    case Value::Type::Double: {
      double x = std::get<double>(a->data), y = std::get<double>(b->data);
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    default:
      return a->data == b->data;
  }
}

}  // namespace

bool Equal(const std::shared_ptr<Value>& a, const std::shared_ptr<Value>& b) {
  return EqualAt(a.get(), b.get(), 1);
}

}  // namespace wexlor

wexlor_value::wexlor_value(std::shared_ptr<wexlor::Value> v) : value(std::move(v)) {
  if (value && value->type == wexlor::Value::Type::Callback) {
    isCallback = true;
    callbackId = std::get<uint64_t>(value->data);
  }
}

wexlor_value::~wexlor_value() = default;
