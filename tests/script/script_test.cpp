// The script engine: reads in each kind, texts across the GBK boundary, and
// the sandbox (time budget, heap cap, deep nesting, the worker's stop).
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "platform/script/ScriptEngine.h"
#include "platform/text/Text.h"
#include "platform/thread/Thread.h"

using namespace platform;
using namespace std::chrono_literals;
using text::Text;

namespace {

// The sanitizers slow the engine down several times over; the budgets and
// the time limits of these tests grow with them, so that the same limit is
// met first as in a normal build.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 6;
constexpr std::size_t kSmallStack = std::size_t{2} << 20;  // it keeps its thread state there
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 2;
constexpr std::size_t kSmallStack = std::size_t{1} << 20;
#else
constexpr int kSlowdown = 1;
constexpr std::size_t kSmallStack = std::size_t{1} << 20;
#endif

Text G(std::string_view utf8) { return text::FromUtf8(utf8); }

std::shared_ptr<ScriptEngine> NewEngine(ScriptLimits limits = {}) {
  auto e = CreateScriptEngine(limits);
  if (e) e->SetLanguage("JavaScript");
  return e;
}

}  // namespace

TEST(ScriptEngine, ReadsAsVariants) {
  struct Row {
    const char* code;
    double number;
    bool numberOk;
    bool truth;
    bool truthOk;
    Text text;
    bool textOk;
  };
  const Row rows[] = {
      {"undefined", 0, true, false, true, "", true},
      {"null", 0, false, false, false, "", false},
      {"true", -1, true, true, true, "true", true},
      {"false", 0, true, false, true, "false", true},
      {"33.10", 33.1, true, true, true, "33.1", true},
      {"0", 0, true, false, true, "0", true},
      {"1e21", 1e21, true, true, true, "1e+21", true},
      {"'12'", 12, true, true, true, "12", true},
      {"' -7.5 '", -7.5, true, true, true, " -7.5 ", true},
      {"'0'", 0, true, false, true, "0", true},
      {"'True'", 0, false, true, true, "True", true},
      {"'abc'", 0, false, false, false, "abc", true},
      {"''", 0, false, false, false, "", true},
      {"'0x10'", 0, false, false, false, "0x10", true},
      {"'Infinity'", 0, false, false, false, "Infinity", true},
      {"[5]", 5, true, true, true, "5", true},
      {"[1,2]", 0, false, false, false, "1,2", true},
      {"({})", 0, false, false, false, "[object Object]", true},
      {"({toString:function(){throw 1}})", 0, false, false, false, "", false},
      {"Symbol('s')", 0, false, false, false, "", false},
      {"syntax error (", 0, false, false, false, "", false},
      {"throw 7", 0, false, false, false, "", false},
      {"missing.member", 0, false, false, false, "", false},
  };
  auto e = NewEngine();
  ASSERT_NE(e, nullptr);
  for (const Row& r : rows) {
    EXPECT_EQ(e->EvalNumber(r.code), r.number) << r.code;
    EXPECT_EQ(e->LastFailure() == ScriptFailure::kNone, r.numberOk) << r.code << " as number";
    EXPECT_EQ(e->EvalBool(r.code), r.truth) << r.code;
    EXPECT_EQ(e->LastFailure() == ScriptFailure::kNone, r.truthOk) << r.code << " as bool";
    EXPECT_EQ(e->EvalText(r.code), r.text) << r.code;
    EXPECT_EQ(e->LastFailure() == ScriptFailure::kNone, r.textOk) << r.code << " as text";
  }
  EXPECT_TRUE(std::isnan(e->EvalNumber("0/0")));
  EXPECT_EQ(e->EvalText("0/0"), "NaN");
}

TEST(ScriptEngine, TextsCrossAsGbk) {
  auto e = NewEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Eval(G("var 价格='最新价'")));
  EXPECT_EQ(e->EvalText(G("价格")), G("最新价"));
  EXPECT_EQ(e->EvalNumber(G("价格.length")), 3);
  struct Row {
    const char* name;
    const char* code;
    Text want;
  };
  const Row rows[] = {
      {"GBK's euro sign", "'a\\u20acb'",
       "a\x80"
       "b"},
      {"beyond the BMP", "'a\\ud83d\\ude00b'", "a?b"},
      {"lone surrogate", "'a\\ud800b'", "a?b"},
      {"zero character ends the text", "'a\\u0000b'", "a"},
      {"missing in GBK", "'\\u0e01'", "?"},
  };
  for (const Row& r : rows) EXPECT_EQ(e->EvalText(r.code), r.want) << r.name;
  // A byte sequence that is not GBK is replaced on the way in, not refused.
  EXPECT_EQ(e->EvalText("'x\xFF'"), "x?");
}

TEST(ScriptEngine, CompletionValuesAndGlobals) {
  auto e = NewEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->EvalNumber("var a=1; a+1"), 2);
  EXPECT_EQ(e->EvalNumber("a"), 1);  // a var of Eval is a global
  EXPECT_TRUE(e->AddCode("var b=a+2"));
  EXPECT_EQ(e->EvalNumber("b"), 3);
  EXPECT_EQ(e->EvalText("var s=''; for (var k in {x:1,y:2}) {s=s+ k+','; }"), "x,y,");
  EXPECT_FALSE(e->AddCode("var ("));
  EXPECT_EQ(e->LastFailure(), ScriptFailure::kScript);
  EXPECT_EQ(e->EvalText("typeof eval('1+1')"), "number");
}

// A program added again (in any engine) runs from its cached bytecode: it
// must declare the same globals and fail the same way.
TEST(ScriptEngine, ProgramAddedAgainBehavesTheSame) {
  const char* program = "var g=40; function f(){return g+2} (function(){'use strict'; h=1})()";
  for (int i = 0; i < 3; ++i) {
    auto e = NewEngine();
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(e->AddCode(program)) << i;  // strict code: h is undeclared
    EXPECT_EQ(e->EvalNumber("f()"), 42) << i;
    EXPECT_TRUE(e->AddCode("var k=f()-2")) << i;
    EXPECT_EQ(e->EvalNumber("k"), 40) << i;
    EXPECT_FALSE(e->AddCode("var (")) << i;
  }
}

TEST(ScriptEngine, NeedsALanguage) {
  auto e = CreateScriptEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->Eval("1"));
  EXPECT_EQ(e->LastFailure(), ScriptFailure::kNoLanguage);
  EXPECT_FALSE(e->SetLanguage("VBScript"));
  EXPECT_EQ(e->EvalNumber("1"), 0);
  EXPECT_TRUE(e->SetLanguage("javascript"));
  EXPECT_EQ(e->EvalNumber("1"), 1);
}

TEST(ScriptEngine, RawValueHoldsUntilReleased) {
  auto e = NewEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->EvalValue("null").Type(), ScriptValueType::kNull);
  EXPECT_EQ(e->EvalValue("'x'").Type(), ScriptValueType::kString);
  EXPECT_EQ(e->EvalValue("undefined").Type(), ScriptValueType::kUndefined);
  std::size_t before = e->HeapUse().now;
  ScriptValue v =
      e->EvalValue("(function(){var a=[];for(var i=0;i<100000;i++)a.push(i);return a})()");
  EXPECT_EQ(v.Type(), ScriptValueType::kObject);
  EXPECT_GT(e->HeapUse().now, before + 500000);  // only the handle keeps the array
  v.Release();
  EXPECT_LT(e->HeapUse().now, before + 50000);
  // A value outliving its engine keeps the heap until it goes.
  ScriptValue kept = e->EvalValue("({})");
  e.reset();
  kept.Release();
}

TEST(ScriptEngine, NoHostBindings) {
  auto e = NewEngine();
  ASSERT_NE(e, nullptr);
  for (const char* name : {"Duktape", "require", "module", "exports", "process", "print", "alert",
                           "console", "XMLHttpRequest", "fetch", "setTimeout"})
    EXPECT_EQ(e->EvalText(std::string("typeof ") + name), "undefined") << name;
}

// Each hostile script fails within its budget, the heap stays under the cap
// and the engine answers the next call.
TEST(ScriptEngine, HostileScriptsFailCleanly) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  struct Row {
    const char* name;
    std::string code;
    ScriptFailure want;
  };
  const Row rows[] = {
      {"endless loop", "for(;;){}", ScriptFailure::kTimeout},
      {"endless loop that catches", "for(;;){try{for(;;){}}catch(e){}}", ScriptFailure::kTimeout},
      {"endless loop in a finally", "for(;;){try{for(;;){}}finally{for(;;){}}}",
       ScriptFailure::kTimeout},
      {"huge sparse join", "new Array(4e9).join('')", ScriptFailure::kTimeout},
      // Few instructions, each a long built-in or a long comparison: counting
      // instructions alone would let these run for many seconds.
      {"built-in called in a loop",
       "var a=new Uint8Array(1<<22);for(;;)Array.prototype.reverse.call(a)",
       ScriptFailure::kTimeout},
      {"long instructions in a loop",
       "var s='x'.repeat(1<<22)+'a',t='x'.repeat(1<<22)+'b';for(;;)s<t", ScriptFailure::kTimeout},
      {"regular expression backtracking",
       "/(a+)+b/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa')", ScriptFailure::kTimeout},
      {"string doubling", "(function(){var s='x';for(;;)s+=s})()", ScriptFailure::kMemory},
      {"huge repeat", "'x'.repeat(1<<30)", ScriptFailure::kMemory},
      {"deep nesting", deep, ScriptFailure::kScript},
      {"deep recursion", "(function f(){return f()+1})()", ScriptFailure::kScript},
      {"deep structure to text",
       "(function(){var a=[];for(var i=0;i<100000;i++)a=[a];return String(a)})()",
       ScriptFailure::kScript},
      {"deep structure to JSON",
       "(function(){var a=[];for(var i=0;i<100000;i++)a=[a];return JSON.stringify(a)})()",
       ScriptFailure::kScript},
  };
  ScriptLimits limits;
  limits.budget = 200ms * kSlowdown;
  auto e = NewEngine(limits);
  ASSERT_NE(e, nullptr);
  for (const Row& r : rows) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e->EvalText(r.code), "") << r.name;
    EXPECT_EQ(e->LastFailure(), r.want) << r.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms * kSlowdown) << r.name;
    EXPECT_LE(e->HeapUse().peak, e->HeapUse().cap) << r.name;
    EXPECT_EQ(e->EvalNumber("6*7"), 42) << "after " << r.name;
  }
}

// Recursion that Duktape's own limits allow (regular expressions may nest
// 10,000 deep) still fails cleanly on a thread whose stack is too small for
// it, instead of overflowing the stack.
TEST(ScriptEngine, SmallStackFailsCleanly) {
  struct Result {
    bool deepOk = true;
    ScriptFailure deepFailure = ScriptFailure::kNone;
    double after = 0;
  } result;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSmallStack);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* r = static_cast<Result*>(arg);
    auto e = NewEngine();
    if (!e) return nullptr;
    r->deepOk = e->Eval("new RegExp('('.repeat(9000) + ')'.repeat(9000))");
    r->deepFailure = e->LastFailure();
    r->after = e->EvalNumber("6*7");
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &result), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_FALSE(result.deepOk);
  EXPECT_EQ(result.deepFailure, ScriptFailure::kScript);
  EXPECT_EQ(result.after, 42);
}

TEST(ScriptEngine, FullHeapFailsAtOnce) {
  ScriptLimits limits;
  limits.heapCap = 8 << 20;
  auto e = NewEngine(limits);
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->Eval("kept=[];for(;;)kept.push([1,2,3])"));
  EXPECT_EQ(e->LastFailure(), ScriptFailure::kMemory);
  EXPECT_LE(e->HeapUse().peak, limits.heapCap);
  // The script's data fills the heap for good: later calls fail at once.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e->EvalNumber("1+1"), 0);
  EXPECT_EQ(e->LastFailure(), ScriptFailure::kMemory);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms * kSlowdown);
  EXPECT_EQ(CreateScriptEngine({1000ms, 16 << 10}), nullptr);  // too small to start
}

// Ending the worker interrupts its running script at once; the call throws
// ThreadEnded once the engine has returned, and so does every later call.
TEST(ScriptEngine, StopInterruptsRunningScript) {
  std::atomic<bool> running{false};
  std::atomic<int> ended{0};
  std::atomic<bool> laterCallRan{false};
  ThreadHandle h = StartThread([&] {
    ScriptLimits limits;
    limits.budget = 60s;
    auto e = NewEngine(limits);
    running = true;
    try {
      e->Eval("for(;;){}");
    } catch (const ThreadEnded&) {
      ++ended;
    }
    try {
      e->Eval("1");
      laterCallRan = true;
    } catch (const ThreadEnded&) {
      ++ended;
    }
    try {
      CreateScriptEngine();
    } catch (const ThreadEnded&) {
      ++ended;
    }
  });
  ASSERT_NE(h, 0u);
  while (!running) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // well inside the script by now
  auto start = std::chrono::steady_clock::now();
  EndThread(h);
  EXPECT_TRUE(JoinThread(h, 5000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms * kSlowdown);
  EXPECT_EQ(ended, 3);
  EXPECT_FALSE(laterCallRan);
}
