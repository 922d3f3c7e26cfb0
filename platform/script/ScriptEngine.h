#pragma once
// A JavaScript engine reached through a handful of calls, after the model of
// a script-control object: set the language, add code, evaluate a text and
// read its value in one kind. Texts cross this interface as GBK; inside the
// engine they are Unicode.
//
// Each engine is a sandbox of its own:
//  - no host bindings at all: no file, network, process or module access,
//    and no Duktape object (so no finalizers or coroutines either);
//  - every call has a time budget; past it the call fails and the engine
//    stays usable (a built-in that runs no script code, such as a huge
//    join, is ended by refusing its allocations shortly after the budget);
//  - the engine's heap takes at most a byte cap from the system, enforced by
//    its allocator: a script that asks for more fails cleanly. A script that
//    leaves the heap full of live data (in globals) makes every later call
//    of that engine fail at once;
//  - deep nesting (of the source, of calls, of data) fails cleanly: besides
//    Duktape's own limits (the compiler's 2,500 levels fit a default 8 MB
//    thread stack), recursion in built-ins stops short of the stack's end;
//  - once the calling thread's end is requested (platform::EndThread), a
//    running script is interrupted at once, and the call throws
//    platform::ThreadEnded after the engine has returned. A call made after
//    the request does nothing and throws too.
//
// Reading a result follows the conversions of a COM variant:
//  - undefined reads as 0, false or the empty text, and the call succeeds;
//  - null, and any value that cannot be converted, reads as the failure
//    value: 0, false or the empty text;
//  - as a number: a boolean true reads as -1 and false as 0 (a variant's
//    true is all bits set); a string reads as the decimal number it holds,
//    spaces around it allowed, and anything else in it fails;
//  - as true or false: a number is true when it is not 0; a string holding
//    "true" or "false" (any case) or a number reads as that;
//  - as text: a string as it is, a number as the script writes it (shortest
//    form: 33.10 gives 33.1), a boolean as true or false;
//  - an object, array or function reads through its text (what the script's
//    String() gives it), then as above: [5] reads as the number 5;
//  - a text that the script returns is converted to GBK: characters that GBK
//    lacks become '?', and the text ends at its first zero character.
// A failed call (a script error, the time budget, the heap cap, no language)
// gives the failure value of its kind. Nothing is shown or thrown for it.
//
// An engine and the values it gave out are used on the thread that created
// the engine.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/text/Text.h"

namespace platform {

struct ScriptLimits {
  std::chrono::milliseconds budget{1000};  // per call
  std::size_t heapCap = std::size_t{64} << 20;
};

// Why the last call failed.
enum class ScriptFailure {
  kNone,
  kNoLanguage,  // no language was set
  kScript,      // a syntax error, a thrown error, or a value that does not convert
  kTimeout,     // the call's time budget ran out
  kMemory,      // the heap cap was reached
  kStopped,     // the calling thread's end was requested
};

enum class ScriptValueType { kUndefined, kNull, kBoolean, kNumber, kString, kObject, kOther };

// A result read raw: its type, and a reference that keeps the value alive in
// its engine until the last copy of this handle goes.
class ScriptValue {
 public:
  ScriptValue() = default;
  ScriptValue(ScriptValueType type, std::shared_ptr<void> hold)
      : type_(type), hold_(std::move(hold)) {}
  ScriptValueType Type() const { return type_; }
  // Drops the reference now.
  void Release() { hold_.reset(); }

 private:
  ScriptValueType type_ = ScriptValueType::kUndefined;
  std::shared_ptr<void> hold_;
};

struct ScriptHeapUse {
  std::size_t now = 0;   // bytes in use by the engine's heap now
  std::size_t peak = 0;  // most memory the heap ever took from the system
  std::size_t cap = 0;   // what peak never passes
};

class ScriptEngine {
 public:
  virtual ~ScriptEngine() = default;

  // "JavaScript" (or "JScript"), in any case; nothing else is known. Until a
  // language is set, every other call fails.
  virtual bool SetLanguage(std::string_view language) = 0;
  // Runs `code` as a program in the global scope; true when it ran through.
  virtual bool AddCode(std::string_view code) = 0;

  // Runs `code` in the global scope and yields the value of the last
  // expression statement it evaluated, read in one kind. A var declared here
  // is a global that later calls see.
  virtual bool Eval(std::string_view code) = 0;  // not read; true when it ran through
  virtual double EvalNumber(std::string_view code) = 0;
  virtual bool EvalBool(std::string_view code) = 0;
  virtual text::Text EvalText(std::string_view code) = 0;
  virtual ScriptValue EvalValue(std::string_view code) = 0;

  virtual ScriptFailure LastFailure() const = 0;
  virtual ScriptHeapUse HeapUse() const = 0;
};

// A new engine with no language set yet; nullptr when it cannot be created.
// Releasing the last reference ends it. Throws ThreadEnded when the calling
// thread's end was requested.
std::shared_ptr<ScriptEngine> CreateScriptEngine(const ScriptLimits& limits = {});

}  // namespace platform
