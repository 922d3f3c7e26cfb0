// The script engine on Duktape. Every Duktape call that may throw a Duktape
// error (which is a longjmp) runs inside a protected call, and no C++
// exception ever crosses Duktape's frames: the callbacks below only set flags
// and return, and ThreadEnded is thrown once Duktape has returned.
#include "platform/script/ScriptEngine.h"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "duktape.h"
#include "platform/thread/Thread.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeBlock = std::size_t{64} << 10;

// The memory of one heap. Small blocks come from chunks of our own, with a
// free list per size class; larger ones from malloc, linked so that they can
// all be found again. A fresh heap makes some thousands of small allocations
// and its teardown frees them all again, so this is most of what an engine
// costs to create and to end. Ending an arena releases everything at once,
// without visiting the blocks (see ~Heap for why that is enough).
class Arena {
 public:
  static constexpr std::size_t kSmallMax = 512;

  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    while (chunks_) {
      Chunk* next = chunks_->next;
      Unpoison(chunks_, kChunkSize);
      std::free(chunks_);
      chunks_ = next;
    }
    while (large_) {
      Large* next = large_->next;
      std::free(large_);
      large_ = next;
    }
  }

  // The size of the block at `ptr` (its size class, for a small one).
  static std::size_t SizeOf(void* ptr) {
    std::size_t size;
    std::memcpy(&size, static_cast<std::byte*>(ptr) - sizeof(std::size_t), sizeof size);
    return size;
  }

  // Bytes of the blocks handed out, with their headers.
  std::size_t Live() const { return live_; }
  // Bytes taken from the system: chunks and large blocks.
  std::size_t Held() const { return held_; }

  // What an allocation of `size` bytes would add to Held().
  std::size_t Cost(std::size_t size) const {
    if (size > kSmallMax) return size + sizeof(Large);
    std::size_t c = ClassOf(size);
    if (free_[c] || static_cast<std::size_t>(end_ - bump_) >= kSmallHeader + c * kStep) return 0;
    return kChunkSize;
  }
  // What growing the block at `ptr` to `size` bytes would add to Held().
  std::size_t GrowthCost(void* ptr, std::size_t size) const {
    std::size_t old = SizeOf(ptr);
    if (old > kSmallMax && size > kSmallMax) return size > old ? size - old : 0;
    if (old <= kSmallMax && size <= kSmallMax && ClassOf(size) * kStep == old) return 0;
    return Cost(size);
  }

  void* Alloc(std::size_t size) {
    if (size > kSmallMax) return AllocLarge(size);
    std::size_t c = ClassOf(size);
    std::size_t bytes = kSmallHeader + c * kStep;
    std::byte* block;
    if (free_[c]) {
      block = free_[c];
      Unpoison(block, sizeof(std::byte*));
      std::memcpy(&free_[c], block, sizeof(std::byte*));
    } else {
      if (static_cast<std::size_t>(end_ - bump_) < bytes && !NewChunk()) return nullptr;
      block = bump_;
      bump_ += bytes;
    }
    Unpoison(block, bytes);
    std::size_t cls = c * kStep;
    std::memcpy(block + kSmallHeader - sizeof(std::size_t), &cls, sizeof cls);
    live_ += bytes;
    return block + kSmallHeader;
  }

  void* Realloc(void* ptr, std::size_t size) {
    std::size_t old = SizeOf(ptr);
    if (old > kSmallMax && size > kSmallMax) {
      Large* block = static_cast<Large*>(ptr) - 1;
      Large* prev = block->prev;
      Large* next = block->next;
      auto* moved = static_cast<Large*>(std::realloc(block, sizeof(Large) + size));
      if (!moved) return nullptr;
      (prev ? prev->next : large_) = moved;
      if (next) next->prev = moved;
      moved->size = size;
      live_ = live_ - old + size;
      held_ = held_ - old + size;
      return moved + 1;
    }
    if (old <= kSmallMax && size <= kSmallMax && ClassOf(size) * kStep == old) return ptr;
    void* fresh = Alloc(size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, ptr, old < size ? old : size);
    Free(ptr);
    return fresh;
  }

  void Free(void* ptr) {
    std::size_t size = SizeOf(ptr);
    if (size > kSmallMax) {
      Large* block = static_cast<Large*>(ptr) - 1;
      (block->prev ? block->prev->next : large_) = block->next;
      if (block->next) block->next->prev = block->prev;
      live_ -= sizeof(Large) + size;
      held_ -= sizeof(Large) + size;
      std::free(block);
      return;
    }
    std::size_t c = size / kStep;
    std::byte* block = static_cast<std::byte*>(ptr) - kSmallHeader;
    std::memcpy(block, &free_[c], sizeof(std::byte*));
    free_[c] = block;
    live_ -= kSmallHeader + size;
    Poison(block, kSmallHeader + size);
  }

 private:
  static constexpr std::size_t kStep = 16;
  static constexpr std::size_t kSmallHeader = 16;  // keeps payloads 16-aligned
  static constexpr std::size_t kChunkSize = std::size_t{64} << 10;

  struct alignas(16) Chunk {
    Chunk* next;
  };
  // A large block's header; its size sits last, where a small block keeps
  // its size class, so SizeOf reads either the same way.
  struct alignas(16) Large {
    Large* prev;
    Large* next;
    std::size_t pad;
    std::size_t size;
  };
  static_assert(sizeof(Large) == 32);

  static std::size_t ClassOf(std::size_t size) {
    return size == 0 ? 1 : (size + kStep - 1) / kStep;
  }
  static void Poison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(p, n);
#endif
  }
  static void Unpoison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
  }

  void* AllocLarge(std::size_t size) {
    auto* block = static_cast<Large*>(std::malloc(sizeof(Large) + size));
    if (!block) return nullptr;
    block->prev = nullptr;
    block->next = large_;
    if (large_) large_->prev = block;
    large_ = block;
    block->size = size;
    live_ += sizeof(Large) + size;
    held_ += sizeof(Large) + size;
    return block + 1;
  }

  bool NewChunk() {
    auto* chunk = static_cast<Chunk*>(std::malloc(kChunkSize));
    if (!chunk) return false;
    chunk->next = chunks_;
    chunks_ = chunk;
    held_ += kChunkSize;
    bump_ = reinterpret_cast<std::byte*>(chunk) + sizeof(Chunk);
    end_ = reinterpret_cast<std::byte*>(chunk) + kChunkSize;
    Poison(bump_, static_cast<std::size_t>(end_ - bump_));
    return true;
  }

  std::byte* free_[kSmallMax / kStep + 1] = {};
  std::byte* bump_ = nullptr;
  std::byte* end_ = nullptr;
  Chunk* chunks_ = nullptr;
  Large* large_ = nullptr;
  std::size_t live_ = 0;
  std::size_t held_ = 0;
};

// One Duktape heap with its allocator account and the state of the call in
// progress. Owned through shared_ptr by the engine and by raw values still
// held, so the heap ends with the last of them.
//
// How a call is ended. Script code is ended by the interrupt counter: once
// the call is doomed (past its deadline, its thread's end requested, or its
// live data at the heap's limit), the time-out check answers yes at every
// instruction, so Duktape unwinds through every catch and finally of the
// script. The heap's limit is met in two steps: the first refused
// allocation makes Duktape collect garbage and ask again, and a second
// refusal dooms the call. Two things keep the end quick:
//  - a doomed call may still allocate, from a reserve between the normal
//    limit and the cap (which stays hard), so that the errors thrown while
//    unwinding can be made. Otherwise every refused allocation would cost
//    Duktape's last-ditch collections, ten passes over the whole heap each.
//  - a grace period after the doom, after which every allocation is refused:
//    built-ins that loop without running script code (a huge join) allocate
//    as they go, and so they end as well.
struct Heap {
  explicit Heap(const ScriptLimits& l)
      : limits(l), hardCap(l.heapCap), softCap(l.heapCap - l.heapCap / 8) {}
  // Duktape's own teardown runs three collections so that finalizers get
  // their turn, then frees block by block. Finalizers cannot be set here (the
  // Duktape object is gone), and every byte of the heap is the arena's, so
  // releasing the arena ends the heap just as well, at a fraction of the cost.
  ~Heap() = default;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  ScriptLimits limits;
  std::size_t hardCap;  // Held() never passes it
  std::size_t softCap;  // the limit of a call that is not doomed
  Arena arena;
  duk_context* ctx = nullptr;  // lives in the arena
  std::size_t peak = 0;        // of arena.Held()
  bool exhausted = false;      // filled with live data; see HasRoom()
  std::size_t collectAt = 0;   // live bytes that call for a collection; see HasRoom()
  std::uint64_t nextKey = 0;   // stash keys of raw values

  // The call in progress. Outside a call nothing expires.
  bool armed = false;
  Clock::time_point deadline;
  std::stop_token stop;
  ScriptFailure doom = ScriptFailure::kNone;  // why the call is doomed, first cause
  Clock::time_point doomedAt;
  bool cutOff = false;   // the grace is over: no more growth
  bool pressed = false;  // the last allocation met the limit
  unsigned tick = 0;

  bool Doomed() const { return doom != ScriptFailure::kNone; }
  Clock::duration Grace() const {
    auto grace = std::chrono::duration_cast<Clock::duration>(limits.budget) / 4;
    return std::clamp<Clock::duration>(grace, std::chrono::milliseconds(20),
                                       std::chrono::milliseconds(250));
  }
  void Doom(ScriptFailure why, Clock::time_point at) {
    if (Doomed()) return;
    doom = why;
    doomedAt = at;
  }

  // Sticky within a call: once doomed, Duktape keeps being told so until it
  // has unwound every catch in the script.
  bool Expired() {
    if (!armed) return false;
    if (Doomed()) return true;
    if (stop.stop_requested()) {
      Doom(ScriptFailure::kStopped, Clock::now());
    } else if (auto now = Clock::now(); now >= deadline) {
      Doom(ScriptFailure::kTimeout, now);
    }
    return Doomed();
  }

  // May the heap take `extra` more bytes from the system, for a block of
  // `block` bytes?
  bool Admit(std::size_t extra, std::size_t block) {
    std::size_t held = arena.Held();
    if (!armed) return extra <= hardCap && held <= hardCap - extra;
    // The clock is read on every 16th allocation and for every large block
    // (the lexer and string builders grow one buffer without running script
    // code); the interrupt counter covers script code in between.
    bool clock = (++tick & 15) == 0 || block >= kLargeBlock;
    if (!Doomed()) {
      if (stop.stop_requested()) {
        Doom(ScriptFailure::kStopped, Clock::now());
      } else if (clock) {
        if (auto now = Clock::now(); now >= deadline) Doom(ScriptFailure::kTimeout, now);
      }
    } else if (cutOff || (clock && Clock::now() >= doomedAt + Grace())) {
      cutOff = true;
      return false;
    }
    if (!Doomed()) {
      if (extra <= softCap && held <= softCap - extra) {
        pressed = false;
        return true;
      }
      // The first refusal makes Duktape collect garbage and ask again; only
      // a second one means the script's live data has reached the limit.
      if (!pressed) {
        pressed = true;
        return false;
      }
      Doom(ScriptFailure::kMemory, Clock::now());
    }
    return extra <= hardCap && held <= hardCap - extra;
  }
  void Taken() { peak = std::max(peak, arena.Held()); }
};

void* HeapAlloc(void* udata, duk_size_t size) {
  auto* heap = static_cast<Heap*>(udata);
  if (size > SIZE_MAX / 2) return nullptr;
  // Outside a call, a block that the arena has at hand needs no checks.
  std::size_t cost = heap->arena.Cost(size);
  if ((cost > 0 || heap->armed) && !heap->Admit(cost, size)) return nullptr;
  void* p = heap->arena.Alloc(size);
  heap->Taken();
  return p;
}

void* HeapRealloc(void* udata, void* ptr, duk_size_t size) {
  if (!ptr) return HeapAlloc(udata, size);
  auto* heap = static_cast<Heap*>(udata);
  if (size > SIZE_MAX / 2) return nullptr;
  std::size_t cost = heap->arena.GrowthCost(ptr, size);
  // A block that shrinks in place is never refused: Duktape shrinks while it
  // collects and unwinds, too.
  bool shrinks = size <= Arena::SizeOf(ptr) && cost == 0;
  if (!shrinks && (cost > 0 || heap->armed) && !heap->Admit(cost, size)) return nullptr;
  void* p = heap->arena.Realloc(ptr, size);
  heap->Taken();
  return p;
}

void HeapFree(void* udata, void* ptr) {
  if (ptr) static_cast<Heap*>(udata)->arena.Free(ptr);
}

// Reached only for an error outside every protected call, which this file
// never makes; there is no way back into the program from here.
void Fatal(void*, const char* message) {
  std::fprintf(stderr, "script engine: fatal error: %s\n", message ? message : "");
  std::abort();
}

// The heap whose call runs on this thread, for the stack-check hook, which
// Duktape calls without its heap.
thread_local Heap* tCallHeap = nullptr;

// Arms the heap for one call and disarms it however the call ends.
class CallGuard {
 public:
  explicit CallGuard(Heap& heap) : heap_(heap), outer_(tCallHeap) {
    tCallHeap = &heap_;
    heap_.stop = CurrentStopToken();
    // A day stands for "no budget" and keeps the sum from overflowing.
    heap_.deadline = Clock::now() + std::min<std::chrono::milliseconds>(heap_.limits.budget,
                                                                        std::chrono::hours(24));
    heap_.doom = ScriptFailure::kNone;
    heap_.cutOff = heap_.pressed = false;
    heap_.armed = true;
  }
  ~CallGuard() {
    heap_.armed = false;
    heap_.stop = {};
    tCallHeap = outer_;
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  Heap& heap_;
  Heap* outer_;
};

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The code as the engine reads it: ASCII is the same in GBK and UTF-8 and is
// passed as it is; anything else is converted into `buffer`.
std::string_view ToEngineText(std::string_view gbk, std::string& buffer) {
  // Never a null pointer: Duktape would take the source from its stack then.
  if (gbk.data() == nullptr) return std::string_view("", 0);
  if (IsAscii(gbk)) return gbk;
  buffer = text::ToUtf8(gbk);
  return buffer;
}

// Duktape keeps characters beyond the BMP as CESU-8 surrogate pairs; they
// are joined into UTF-8 proper before the GBK conversion, which then
// replaces them (and lone surrogates) with '?'.
text::Text FromEngineText(std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  if (IsAscii(utf8)) return text::Text(utf8);
  std::string joined;
  joined.reserve(utf8.size());
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
  for (std::size_t i = 0; i < utf8.size();) {
    if (i + 6 <= utf8.size() && at(i) == 0xED && (at(i + 1) & 0xF0) == 0xA0 && at(i + 3) == 0xED &&
        (at(i + 4) & 0xF0) == 0xB0) {
      std::uint32_t hi = ((at(i + 1) & 0x0F) << 6) | (at(i + 2) & 0x3F);
      std::uint32_t lo = ((at(i + 4) & 0x0F) << 6) | (at(i + 5) & 0x3F);
      std::uint32_t cp = 0x10000 + ((hi << 10) | lo);
      joined += static_cast<char>(0xF0 | (cp >> 18));
      joined += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      joined += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      joined += static_cast<char>(0x80 | (cp & 0x3F));
      i += 6;
    } else {
      joined += utf8[i++];
    }
  }
  return text::FromUtf8(joined);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A decimal number with spaces around it allowed; no hex, no Infinity.
bool ParseDecimal(std::string_view s, double& out) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !(s.front() == '.' || (s.front() >= '0' && s.front() <= '9'))) return false;
  double value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = negative ? -value : value;
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

constexpr std::size_t kHeadroom = std::size_t{256} << 10;
constexpr std::size_t kCollectGrowth = std::size_t{1} << 20;

enum class Kind { kNone, kNumber, kBool, kText, kRaw };

// What a protected read leaves behind: a primitive on the stack top.
struct Read {
  Kind kind;
  duk_int_t type = DUK_TYPE_NONE;  // of the value as the script gave it
  bool symbol = false;
  std::uint64_t key = 0;  // kRaw of an object: where the stash holds it
};

// Runs inside duk_safe_call on the result value. Objects are turned into
// their text here, since that may run script code and throw; a string or a
// primitive is left on the stack for the caller to read without allocating.
duk_ret_t ReadInside(duk_context* ctx, void* udata) {
  auto* read = static_cast<Read*>(udata);
  read->type = duk_get_type(ctx, -1);
  read->symbol = duk_is_symbol(ctx, -1) != 0;
  if (read->kind == Kind::kRaw) {
    if (read->type == DUK_TYPE_OBJECT || read->type == DUK_TYPE_LIGHTFUNC ||
        read->type == DUK_TYPE_BUFFER) {
      duk_push_heap_stash(ctx);
      duk_dup(ctx, -2);
      duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(read->key));
      duk_pop(ctx);
    }
    return 1;
  }
  switch (read->type) {
    case DUK_TYPE_OBJECT:
    case DUK_TYPE_LIGHTFUNC:
    case DUK_TYPE_BUFFER:
      duk_to_string(ctx, -1);  // its text stands for it
      break;
    case DUK_TYPE_NUMBER:
      if (read->kind == Kind::kText) duk_to_string(ctx, -1);
      break;
    default:
      break;
  }
  return 1;
}

void ReleaseStashed(Heap& heap, std::uint64_t key) {
  if (!heap.ctx) return;
  duk_safe_call(
      heap.ctx,
      [](duk_context* ctx, void* udata) -> duk_ret_t {
        duk_push_heap_stash(ctx);
        duk_del_prop_index(ctx, -1,
                           static_cast<duk_uarridx_t>(*static_cast<std::uint64_t*>(udata)));
        return 0;
      },
      &key, 0, 1);
  duk_pop(heap.ctx);
}

// Compiled programs, shared by every engine of the process. Every engine
// adds the same prelude, and compiling it was a good part of what a fresh
// engine costs; its bytecode is loaded instead. Only our own compiler's output
// is ever loaded, and only for the exact source text it came from.
class CodeCache {
 public:
  static constexpr std::size_t kMaxSource = 4096;
  static constexpr std::size_t kEntries = 8;

  bool Find(std::string_view source, std::vector<unsigned char>& bytecode) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->source == source) {
        entries_.splice(entries_.begin(), entries_, it);  // most recent first
        bytecode = it->bytecode;
        return true;
      }
    }
    return false;
  }
  void Add(std::string_view source, const unsigned char* bytecode, std::size_t n) {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_)
      if (e.source == source) return;
    entries_.push_front({std::string(source), std::vector<unsigned char>(bytecode, bytecode + n)});
    if (entries_.size() > kEntries) entries_.pop_back();
  }

 private:
  struct Entry {
    std::string source;
    std::vector<unsigned char> bytecode;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;
};

CodeCache& TheCodeCache() {
  static CodeCache* cache = new CodeCache;  // outlives every thread
  return *cache;
}

duk_ret_t LoadInside(duk_context* ctx, void* udata) {
  auto* bytecode = static_cast<std::vector<unsigned char>*>(udata);
  void* buffer = duk_push_fixed_buffer(ctx, bytecode->size());
  std::memcpy(buffer, bytecode->data(), bytecode->size());
  duk_load_function(ctx);
  return 1;
}

duk_ret_t DumpInside(duk_context* ctx, void*) {
  duk_dup(ctx, 0);
  duk_dump_function(ctx);
  return 2;  // the function, and its bytecode
}

// Leaves the program compiled from `source` on the stack; false (with the
// stack as it was) when it does not compile.
bool CompileProgram(duk_context* ctx, std::string_view source) {
  bool cacheable = source.size() <= CodeCache::kMaxSource;
  if (cacheable) {
    std::vector<unsigned char> bytecode;
    if (TheCodeCache().Find(source, bytecode)) {
      if (duk_safe_call(ctx, LoadInside, &bytecode, 0, 1) == DUK_EXEC_SUCCESS) return true;
      duk_pop(ctx);
      return false;
    }
  }
  if (duk_pcompile_lstring(ctx, 0, source.data(), source.size()) != DUK_EXEC_SUCCESS) {
    duk_pop(ctx);
    return false;
  }
  if (!cacheable) return true;
  if (duk_safe_call(ctx, DumpInside, nullptr, 1, 2) != DUK_EXEC_SUCCESS) {
    duk_pop_2(ctx);
    return false;
  }
  duk_size_t n = 0;
  auto* bytecode = static_cast<const unsigned char*>(duk_get_buffer(ctx, -1, &n));
  if (bytecode) TheCodeCache().Add(source, bytecode, n);
  duk_pop(ctx);
  return true;
}

class DukEngine final : public ScriptEngine {
 public:
  explicit DukEngine(std::shared_ptr<Heap> heap) : heap_(std::move(heap)) {}

  bool SetLanguage(std::string_view language) override {
    CheckEnd();
    language_ = EqualsNoCase(language, "JavaScript") || EqualsNoCase(language, "JScript");
    last_ = language_ ? ScriptFailure::kNone : ScriptFailure::kNoLanguage;
    return language_;
  }

  bool AddCode(std::string_view code) override {
    Read read{Kind::kNone};
    return Run(code, true, read);
  }
  bool Eval(std::string_view code) override {
    Read read{Kind::kNone};
    return Run(code, false, read);
  }

  double EvalNumber(std::string_view code) override {
    Read read{Kind::kNumber};
    if (!Run(code, false, read)) return 0;
    duk_context* ctx = heap_->ctx;
    double value = 0;
    bool ok = true;
    switch (read.type) {
      case DUK_TYPE_UNDEFINED:
        break;
      case DUK_TYPE_BOOLEAN:
        value = duk_get_boolean(ctx, -1) ? -1 : 0;
        break;
      case DUK_TYPE_NUMBER:
        value = duk_get_number(ctx, -1);
        break;
      default:
        ok = StringOnTop(read) && ParseDecimal(TopString(), value);
        break;
    }
    return Finish(ok) ? value : 0;
  }

  bool EvalBool(std::string_view code) override {
    Read read{Kind::kBool};
    if (!Run(code, false, read)) return false;
    duk_context* ctx = heap_->ctx;
    bool value = false;
    bool ok = true;
    switch (read.type) {
      case DUK_TYPE_UNDEFINED:
        break;
      case DUK_TYPE_BOOLEAN:
        value = duk_get_boolean(ctx, -1) != 0;
        break;
      case DUK_TYPE_NUMBER:
        value = duk_get_number(ctx, -1) != 0;  // NaN too, as a variant reads it
        break;
      default:
        if (!StringOnTop(read)) {
          ok = false;
        } else {
          std::string_view s = TopString();
          double number = 0;
          if (EqualsNoCase(s, "true") || EqualsNoCase(s, "false")) {
            value = EqualsNoCase(s, "true");
          } else if (ParseDecimal(s, number)) {
            value = number != 0;
          } else {
            ok = false;
          }
        }
        break;
    }
    return Finish(ok) && value;
  }

  text::Text EvalText(std::string_view code) override {
    Read read{Kind::kText};
    if (!Run(code, false, read)) return {};
    duk_context* ctx = heap_->ctx;
    text::Text value;
    bool ok = true;
    switch (read.type) {
      case DUK_TYPE_UNDEFINED:
        break;
      case DUK_TYPE_BOOLEAN:
        value = duk_get_boolean(ctx, -1) ? "true" : "false";
        break;
      default:
        ok = StringOnTop(read);
        if (ok) value = FromEngineText(TopString());
        break;
    }
    return Finish(ok) ? value : text::Text();
  }

  ScriptValue EvalValue(std::string_view code) override {
    Read read{Kind::kRaw};
    read.key = heap_->nextKey++;
    if (!Run(code, false, read)) return {};
    ScriptValueType type = ScriptValueType::kOther;
    std::shared_ptr<void> hold;
    switch (read.type) {
      case DUK_TYPE_UNDEFINED:
        type = ScriptValueType::kUndefined;
        break;
      case DUK_TYPE_NULL:
        type = ScriptValueType::kNull;
        break;
      case DUK_TYPE_BOOLEAN:
        type = ScriptValueType::kBoolean;
        break;
      case DUK_TYPE_NUMBER:
        type = ScriptValueType::kNumber;
        break;
      case DUK_TYPE_STRING:
        type = read.symbol ? ScriptValueType::kOther : ScriptValueType::kString;
        break;
      case DUK_TYPE_OBJECT:
      case DUK_TYPE_LIGHTFUNC:
      case DUK_TYPE_BUFFER:
        type = ScriptValueType::kObject;
        hold = std::shared_ptr<void>(
            nullptr, [heap = heap_, key = read.key](void*) { ReleaseStashed(*heap, key); });
        break;
      default:
        break;
    }
    Finish(true);
    return ScriptValue(type, std::move(hold));
  }

  ScriptFailure LastFailure() const override { return last_; }
  ScriptHeapUse HeapUse() const override {
    return {heap_->arena.Live(), heap_->peak, heap_->hardCap};
  }

 private:
  // Runs `code` and, when it ran through, reads its value in a protected
  // call. On success the read value is left on the stack for the caller,
  // who ends with Finish(); on failure the stack is already clean.
  bool Run(std::string_view code, bool program, Read& read) {
    CheckEnd();
    if (!language_) {
      last_ = ScriptFailure::kNoLanguage;
      return false;
    }
    std::string buffer;
    std::string_view source = ToEngineText(code, buffer);
    Heap& heap = *heap_;
    duk_context* ctx = heap.ctx;
    if (!HasRoom()) {
      last_ = ScriptFailure::kMemory;
      return false;
    }
    top_ = duk_get_top(ctx);
    bool ok;
    {
      CallGuard guard(heap);
      if (program) {
        ok = CompileProgram(ctx, source) && duk_pcall(ctx, 0) == DUK_EXEC_SUCCESS;
      } else {
        ok = duk_peval_lstring(ctx, source.data(), source.size()) == DUK_EXEC_SUCCESS;
      }
      if (ok && read.kind != Kind::kNone) {
        ok = duk_safe_call(ctx, ReadInside, &read, 1, 1) == DUK_EXEC_SUCCESS;
      }
      if (ok) {
        last_ = ScriptFailure::kNone;
      } else {
        last_ = heap.Doomed() ? heap.doom : ScriptFailure::kScript;
      }
    }
    if (!ok || read.kind == Kind::kNone || EndRequested()) duk_set_top(ctx, top_);
    CheckEnd();  // thrown only now that Duktape has returned and the stack is clean
    return ok;
  }

  // Before each call. Our configuration has no voluntary collection (it made
  // every new heap collect at once, a good part of what an engine costs), so
  // garbage in reference cycles goes when the heap meets its limit, and here
  // between calls once the heap has doubled since the last collection.
  //
  // A heap that its script has filled with live data would make every later
  // allocation fail only after Duktape's last-ditch collections, each a pass
  // over the whole heap: calls on it would take long and fail anyway. Such an
  // engine fails its calls at once instead.
  bool HasRoom() {
    Heap& heap = *heap_;
    if (heap.exhausted) return false;
    std::size_t headroom = std::min(heap.softCap / 8, kHeadroom);
    auto room = [&] {
      std::size_t live = heap.arena.Live();
      return live < heap.softCap && heap.softCap - live >= headroom;
    };
    if (heap.arena.Live() < heap.collectAt && room()) return true;
    duk_gc(heap.ctx, 0);
    heap.collectAt = heap.arena.Live() * 2 + kCollectGrowth;
    heap.exhausted = !room();
    return !heap.exhausted;
  }

  bool StringOnTop(const Read& read) const {
    return duk_get_type(heap_->ctx, -1) == DUK_TYPE_STRING && !read.symbol &&
           !duk_is_symbol(heap_->ctx, -1);
  }
  std::string_view TopString() const {
    duk_size_t n = 0;
    const char* s = duk_get_lstring(heap_->ctx, -1, &n);
    return s ? std::string_view(s, n) : std::string_view();
  }
  // Drops the read value; a value that did not convert is a failure.
  bool Finish(bool ok) {
    duk_set_top(heap_->ctx, top_);
    if (!ok) last_ = ScriptFailure::kScript;
    return ok;
  }

  std::shared_ptr<Heap> heap_;
  bool language_ = false;
  ScriptFailure last_ = ScriptFailure::kNone;
  duk_idx_t top_ = 0;
};

duk_ret_t SetUpGlobals(duk_context* ctx, void*) {
  // The Duktape object reaches finalizers (code that would run outside any
  // call's budget), coroutines and internals: a sandbox has no use for it.
  duk_push_global_object(ctx);
  duk_del_prop_string(ctx, -1, "Duktape");
  return 0;
}

}  // namespace

std::shared_ptr<ScriptEngine> CreateScriptEngine(const ScriptLimits& limits) {
  CheckEnd();
  auto heap = std::make_shared<Heap>(limits);
  heap->ctx = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, heap.get(), Fatal);
  if (!heap->ctx) return nullptr;
  bool ok;
  {
    CallGuard guard(*heap);
    ok = duk_safe_call(heap->ctx, SetUpGlobals, nullptr, 0, 1) == DUK_EXEC_SUCCESS;
  }
  duk_pop(heap->ctx);
  CheckEnd();  // before the null: a set-up that the end request cut short is no failure
  if (!ok) return nullptr;
  heap->collectAt = heap->arena.Live() * 2 + kCollectGrowth;
  return std::make_shared<DukEngine>(std::move(heap));
}

}  // namespace platform

// The hooks that our Duktape configuration calls (see CMakeLists.txt).
extern "C" int zantrel_script_expired(void* udata) {
  return udata && static_cast<platform::Heap*>(udata)->Expired() ? 1 : 0;
}

namespace {
// The lowest address that the calling thread's stack may reach before a
// script's recursion is cut off; 0 when unknown.
std::uintptr_t StackFloor() {
  thread_local std::uintptr_t floor = [] {
    std::uintptr_t result = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &base, &size) == 0 && base) {
        // Headroom for the frames between two checks, larger where the
        // sanitizers widen them.
#if defined(__SANITIZE_ADDRESS__)
        std::size_t margin = size / 4 < (std::size_t{2} << 20) ? size / 4 : (std::size_t{2} << 20);
#else
        std::size_t margin =
            size / 4 < (std::size_t{512} << 10) ? size / 4 : (std::size_t{512} << 10);
#endif
        result = reinterpret_cast<std::uintptr_t>(base) + margin;
      }
      pthread_attr_destroy(&attr);
    }
    return result;
  }();
  return floor;
}
}  // namespace

// Duktape checks the stack at every function call, and that is where a
// doomed call is ended too: the interrupt counter fires only every 1024
// instructions, and a loop calling a heavy built-in (a reverse of a big typed
// array) runs for many seconds in that many instructions.
extern "C" int zantrel_script_stack_low(void) {
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  std::uintptr_t floor = StackFloor();
  if (floor != 0 && here < floor) return 1;
  platform::Heap* heap = platform::tCallHeap;
  return heap && heap->Expired() ? 1 : 0;
}
