// The script-backed JSON object: the worker's price read, the operations'
// edge cases, the texts sent to the engine, and hostile answers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "json/JsonObject.h"
#include "platform/script/ScriptEngine.h"
#include "platform/text/Text.h"

using platform::ScriptEngine;
using text::Text;

namespace {

// The sanitizers slow the engine down several times over; the budgets and
// the time limits of these tests grow with them, so that the same limit is
// met first as in a normal build.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 6;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 2;
#else
constexpr int kSlowdown = 1;
#endif

Text G(std::string_view utf8) { return text::FromUtf8(utf8); }

// The worker's read of one answer: Parse, GetMemberObject, ToJsonText, Destroy.
Text ReadLast(JsonObject& worker, std::string_view answer) {
  worker.Parse(answer);
  std::unique_ptr<JsonObject> last = worker.GetMemberObject("ticker.last");
  Text price = last->ToJsonText();
  last->Destroy();
  return price;
}

// Forwards to a real engine and writes down every call: "#engine Kind text".
// Also times every call and keeps every engine it made, so a test can look
// at the heaps afterwards.
struct Recorder {
  platform::ScriptLimits limits;
  std::vector<std::string> log;
  std::vector<std::shared_ptr<ScriptEngine>> engines;
  std::chrono::steady_clock::duration longestCall{};
  bool keepEngines = false;
  int made = 0;

  JsonObject::EngineFactory Factory();
};

class RecordingEngine final : public ScriptEngine {
 public:
  RecordingEngine(Recorder& r, std::shared_ptr<ScriptEngine> inner, int id)
      : r_(r), inner_(std::move(inner)), id_(id) {}

  bool SetLanguage(std::string_view l) override {
    return Call("SetLanguage", l, [&] { return inner_->SetLanguage(l); });
  }
  bool AddCode(std::string_view c) override {
    return Call("AddCode", c, [&] { return inner_->AddCode(c); });
  }
  bool Eval(std::string_view c) override {
    return Call("Eval", c, [&] { return inner_->Eval(c); });
  }
  double EvalNumber(std::string_view c) override {
    return Call("EvalNumber", c, [&] { return inner_->EvalNumber(c); });
  }
  bool EvalBool(std::string_view c) override {
    return Call("EvalBool", c, [&] { return inner_->EvalBool(c); });
  }
  Text EvalText(std::string_view c) override {
    return Call("EvalText", c, [&] { return inner_->EvalText(c); });
  }
  platform::ScriptValue EvalValue(std::string_view c) override {
    return Call("EvalValue", c, [&] { return inner_->EvalValue(c); });
  }
  platform::ScriptFailure LastFailure() const override { return inner_->LastFailure(); }
  platform::ScriptHeapUse HeapUse() const override { return inner_->HeapUse(); }

 private:
  template <class F>
  decltype(std::declval<F>()()) Call(const char* kind, std::string_view code, F f) {
    std::string shown(code.substr(0, code.size() > 80 ? 20 : code.size()));
    if (code.size() > 80) shown += "...";
    r_.log.push_back("#" + std::to_string(id_) + " " + kind + " " + shown);
    auto start = std::chrono::steady_clock::now();
    auto result = f();
    r_.longestCall = std::max(r_.longestCall, std::chrono::steady_clock::now() - start);
    return result;
  }

  Recorder& r_;
  std::shared_ptr<ScriptEngine> inner_;
  int id_;
};

JsonObject::EngineFactory Recorder::Factory() {
  return [this]() -> std::shared_ptr<ScriptEngine> {
    auto inner = platform::CreateScriptEngine(limits);
    if (!inner) return nullptr;
    auto engine = std::make_shared<RecordingEngine>(*this, inner, ++made);
    if (keepEngines) engines.push_back(inner);
    return engine;
  };
}

JsonObject::EngineFactory NoEngine() {
  return []() -> std::shared_ptr<ScriptEngine> { return nullptr; };
}

}  // namespace

TEST(JsonObject, WorkerReadsTickerLast) {
  struct Row {
    const char* name;
    std::string answer;
    Text want;
  };
  const Row rows[] = {
      {"string 33.15",
       R"({"date":"1528800000","ticker":{"buy":"33.14","high":"33.99","last":"33.15","low":"32.1","sell":"33.16","vol":"12345.6"}})",
       "33.15"},
      {"string 33.10", R"({"ticker":{"last":"33.10"}})", "33.1"},
      {"number 409.2", R"({"ticker":{"last":409.2}})", "409.2"},
      {"number 432.0", R"({"ticker":{"last":432.0}})", "432"},
      {"null", R"({"ticker":{"last":null}})", "null"},
      {"string of letters", R"({"ticker":{"last":"abc"}})", "null"},
      {"missing member", R"({"ticker":{"high":"33.99"}})", ""},
      {"missing ticker", R"({"date":"1528800000"})", ""},
      {"not an expression", "<html><body>502 Bad Gateway</body></html>", ""},
      {"empty answer", "", ""},
  };
  JsonObject worker;  // one object for every answer, as the worker keeps it
  for (const Row& r : rows) EXPECT_EQ(ReadLast(worker, r.answer), r.want) << r.name;
}

// The texts sent, their order and the kinds they are read in, engine by
// engine: the worker's engine is replaced by Parse, the member travels as
// JSON into a second object whose first engine Parse replaces too.
TEST(JsonObject, WorkerReadSendsTheseTexts) {
  Recorder rec;
  JsonObject worker(rec.Factory());
  EXPECT_EQ(ReadLast(worker, R"({"ticker":{"last":"33.15"}})"), "33.15");
  auto init = [](int e) {
    std::string n = "#" + std::to_string(e) + " ";
    return std::vector<std::string>{n + "SetLanguage JavaScript",
                                    n + "AddCode function get__count(...",
                                    n + "EvalNumber var da={}"};
  };
  std::vector<std::string> want;
  auto add = [&](std::vector<std::string> more) {
    want.insert(want.end(), more.begin(), more.end());
  };
  add(init(1));
  add(init(2));
  for (const char* s :
       {"#2 EvalNumber var da=null", "#2 AddCode var da=eval({\"ticker\":{\"last\":\"33.15\"}})",
        "#2 EvalBool null !=da"})
    want.push_back(s);
  add(init(3));
  want.push_back("#2 EvalText JSON.stringify(da.ticker.last)");
  add(init(4));
  for (const char* s : {"#4 EvalNumber var da=null", "#4 AddCode var da=eval(\"33.15\")",
                        "#4 EvalBool null !=da", "#4 EvalText JSON.stringify(da)"})
    want.push_back(s);
  EXPECT_EQ(rec.log, want);
}

TEST(JsonObject, ParseAndParseFreshEngine) {
  struct Row {
    const char* name;
    std::string text;
    bool ok;
    Text json;
  };
  const Row rows[] = {
      {"empty object", "{}", true, "{}"},
      {"syntax error", "{\"a\":", false, "null"},
      {"empty text", "", false, ""},
      {"array", "[1,\"2\",{\"b\":null}]", true, "[1,\"2\",{\"b\":null}]"},
      {"JSON string runs its content", "\"1+1\"", true, "2"},
      {"null", "null", false, "null"},
      {"throws", "(function(){throw 1})()", false, "null"},
  };
  JsonObject o;
  for (const Row& r : rows) {
    EXPECT_EQ(o.Parse(r.text), r.ok) << r.name;
    EXPECT_EQ(o.ToJsonText(), r.json) << r.name;
  }
  // Nothing of an earlier engine survives a Parse.
  EXPECT_TRUE(o.Parse("(leftover=5, {})"));
  EXPECT_FALSE(o.Parse("leftover"));
}

TEST(JsonObject, PreludeMethodsAreInheritedNotStringified) {
  JsonObject o;
  ASSERT_TRUE(o.Parse("(function(){var s=[];for(var n in {a:1})s.push(n);return s})()"));
  EXPECT_EQ(o.ToJsonText(), R"(["a","toJSONString","parseJSON"])");
  ASSERT_TRUE(o.Parse("[({a:1,b:[2]}).toJSONString(), ('[1,2]').parseJSON()]"));
  EXPECT_EQ(o.ToJsonText(), R"(["{\"a\":1,\"b\":[2]}",[1,2]])");
}

TEST(JsonObject, Count) {
  struct Row {
    const char* json;
    const char* path;
    int want;
  };
  const Row rows[] = {
      {"{}", "", 0},
      {"[]", "", 0},
      {R"({"a":1,"b":2})", "", 2},
      {"[1,2,3]", "", 3},
      {R"({"a":[1,2]})", "a", 2},
      {"[[1,2],3]", "[0]", 2},
      {R"({"a":1})", "missing", 0},
      {R"({"a":null})", "a", 0},
      {R"({"a":1})", "missing.x", 0},
  };
  JsonObject o;
  for (const Row& r : rows) {
    ASSERT_TRUE(o.Parse(r.json)) << r.json;
    EXPECT_EQ(o.Count(r.path), r.want) << r.json << " at '" << r.path << "'";
  }
}

TEST(JsonObject, MemberNames) {
  JsonObject o;
  text::TextArray names{"stale"};
  ASSERT_TRUE(o.Parse(R"({"a":1,"b":{"x":2}})"));
  EXPECT_EQ(o.MemberNames(names), 2);
  EXPECT_EQ(names, (text::TextArray{"a", "b"}));
  EXPECT_EQ(o.MemberNames(names, "b"), 1);
  EXPECT_EQ(names, (text::TextArray{"x"}));
  EXPECT_EQ(o.MemberNames(names, "missing"), 0);
  EXPECT_TRUE(names.empty());
  ASSERT_TRUE(o.Parse("{}"));
  names = {"stale"};
  EXPECT_EQ(o.MemberNames(names), 0);
  EXPECT_TRUE(names.empty());
  // GBK names come back as GBK.
  ASSERT_TRUE(o.Parse(G(R"({"价格":1})")));
  EXPECT_EQ(o.MemberNames(names), 1);
  EXPECT_EQ(names, (text::TextArray{G("价格")}));
}

TEST(JsonObject, TypeOf) {
  struct Row {
    const char* path;
    int want;
  };
  const Row rows[] = {
      {"s", kJsonString}, {"n", kJsonNumber},  {"t", kJsonBoolean},    {"o", kJsonObject},
      {"a", kJsonArray},  {"z", kJsonNull},    {"missing", kJsonNull}, {"missing.x", kJsonOther},
      {"f", kJsonOther},  {"[0]", kJsonOther}, {"", kJsonObject},
  };
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"(({"s":"x","n":1.5,"t":true,"o":{},"a":[],"z":null,"f":function(){}}))"));
  for (const Row& r : rows) EXPECT_EQ(o.TypeOf(r.path), r.want) << "'" << r.path << "'";
}

TEST(JsonObject, HasMember) {
  struct Row {
    const char* path;
    bool want;
  };
  const Row rows[] = {{"zero", true},     {"no", true},         {"empty", true}, {"nul", false},
                      {"missing", false}, {"missing.x", false}, {"[0]", false}};
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"({"zero":0,"no":false,"empty":"","nul":null})"));
  for (const Row& r : rows) EXPECT_EQ(o.HasMember(r.path), r.want) << r.path;
}

TEST(JsonObject, GetTextAndNumbers) {
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"({"s":"x","n":1.50,"big":1e21,"t":true,"o":{"k":[1,2]},"z":null})"));
  struct Row {
    const char* path;
    bool asJson;
    Text want;
  };
  const Row rows[] = {
      {"s", false, "x"},       {"s", true, "\"x\""},   {"n", false, "1.5"},
      {"big", false, "1e+21"}, {"t", false, "true"},   {"o", true, R"({"k":[1,2]})"},
      {"o.k", false, "1,2"},   {"o.k[1]", false, "2"}, {"z", false, ""},
      {"z", true, "null"},     {"missing", false, ""}, {"missing.x", true, ""},
  };
  for (const Row& r : rows)
    EXPECT_EQ(o.GetText(r.path, r.asJson), r.want) << r.path << (r.asJson ? " as JSON" : "");
  EXPECT_EQ(o.GetNumber("n"), 1.5);
  EXPECT_EQ(o.GetNumber("t"), -1);  // a variant's true
  EXPECT_EQ(o.GetNumber("s"), 0);
  EXPECT_EQ(o.GetMemberJson("o.k"), "[1,2]");
  o.SetMemberNumber("m", -0.25);
  EXPECT_EQ(o.GetNumber("m"), -0.25);
  EXPECT_EQ(o.GetText("m"), "-0.25");
}

TEST(JsonObject, Writes) {
  struct Row {
    const char* name;
    std::function<void(JsonObject&)> op;
    Text want;
  };
  const Row rows[] = {
      {"SetMember quoted", [](JsonObject& o) { o.SetMember("a", "1+1"); },
       R"({"a":"1+1","b":[1]})"},
      {"SetMember evaluated", [](JsonObject& o) { o.SetMember("a", "1+1", true); },
       R"({"a":2,"b":[1]})"},
      {"SetMember evaluated, empty value", [](JsonObject& o) { o.SetMember("a", "", true); },
       R"({"a":{},"b":[1]})"},
      {"SetMember, new member", [](JsonObject& o) { o.SetMember("c", "x"); },
       R"({"a":0,"b":[1],"c":"x"})"},
      {"SetMemberEval", [](JsonObject& o) { o.SetMemberEval("a", "'3*3'"); }, R"({"a":9,"b":[1]})"},
      {"SetMemberEval, empty script", [](JsonObject& o) { o.SetMemberEval("a", ""); },
       R"({"b":[1]})"},
      {"SetMemberNumber", [](JsonObject& o) { o.SetMemberNumber("a", 33.15); },
       R"({"a":33.15,"b":[1]})"},
      {"Push on missing", [](JsonObject& o) { o.Push("1", "c"); }, R"({"a":0,"b":[1],"c":["1"]})"},
      {"Push on non-array", [](JsonObject& o) { o.Push("1", "a"); }, R"({"a":["1"],"b":[1]})"},
      {"Push raw number", [](JsonObject& o) { o.Push("2", "b", true); }, R"({"a":0,"b":[1,2]})"},
      {"Push raw object", [](JsonObject& o) { o.Push("{x:1}", "b", true); },
       R"({"a":0,"b":[1,{"x":1}]})"},
      {"Push on the value", [](JsonObject& o) { o.Push("v"); }, R"(["v"])"},
      {"DeleteMember", [](JsonObject& o) { o.DeleteMember("a"); }, R"({"b":[1]})"},
      {"Clear", [](JsonObject& o) { o.Clear(); }, "{}"},
      {"SetValue", [](JsonObject& o) { o.SetValue("x"); }, "\"x\""},
      {"SetValue raw", [](JsonObject& o) { o.SetValue("[1,2]", true); }, "[1,2]"},
      {"Reset 0", [](JsonObject& o) { o.Reset(0); }, "{}"},
      {"Reset 4", [](JsonObject& o) { o.Reset(4); }, "{}"},
      {"Reset 5", [](JsonObject& o) { o.Reset(5); }, "[]"},
      {"Reset 3", [](JsonObject& o) { o.Reset(3); }, R"({"a":0,"b":[1]})"},
      {"Reset -1", [](JsonObject& o) { o.Reset(-1); }, R"({"a":0,"b":[1]})"},
      {"GBK value", [](JsonObject& o) { o.SetMember("a", G("价格")); },
       G(R"({"a":"价格","b":[1]})")},
      // A quoted value is not escaped: a quote or a line break in it makes
      // the text invalid, and nothing changes.
      {"SetMember with a quote", [](JsonObject& o) { o.SetMember("a", "it's"); },
       R"({"a":0,"b":[1]})"},
      {"SetMember with a line break", [](JsonObject& o) { o.SetMember("a", "x\ny"); },
       R"({"a":0,"b":[1]})"},
      {"Push with a quote", [](JsonObject& o) { o.Push("it's", "c"); }, R"({"a":0,"b":[1]})"},
      {"SetElement with a quote", [](JsonObject& o) { o.SetElement(0, "it's"); },
       R"({"a":0,"b":[1]})"},
      {"SetValue with a quote", [](JsonObject& o) { o.SetValue("it's"); }, R"({"a":0,"b":[1]})"},
      // A path starting with "[" is an invalid text outside GetText,
      // GetMemberObject and Count.
      {"SetMember at [0]", [](JsonObject& o) { o.SetMember("[0]", "x"); }, R"({"a":0,"b":[1]})"},
      {"DeleteMember at [0]", [](JsonObject& o) { o.DeleteMember("[0]"); }, R"({"a":0,"b":[1]})"},
  };
  for (const Row& r : rows) {
    JsonObject o;
    ASSERT_TRUE(o.Parse(R"({"a":0,"b":[1]})"));
    r.op(o);
    EXPECT_EQ(o.ToJsonText(), r.want) << r.name;
  }
}

TEST(JsonObject, Elements) {
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"([10,"x",{"a":[7,8]}])"));
  EXPECT_EQ(o.GetElementText(1), "x");
  EXPECT_EQ(o.GetElementText(1, "", true), "\"x\"");
  EXPECT_EQ(o.GetElementText(9), "");
  EXPECT_EQ(o.GetElementObject(2)->ToJsonText(), R"({"a":[7,8]})");
  EXPECT_EQ(o.GetElementObject(9)->ToJsonText(), "");
  o.SetElement(0, "5", true);
  o.SetElement(3, "y");
  EXPECT_EQ(o.ToJsonText(), R"([5,"x",{"a":[7,8]},"y"])");
  o.RemoveElement(1);
  EXPECT_EQ(o.ToJsonText(), R"([5,{"a":[7,8]},"y"])");

  ASSERT_TRUE(o.Parse(R"({"list":[{"p":1},{"p":2}]})"));
  EXPECT_EQ(o.GetElementObject(1, "list")->GetText("p"), "2");
  EXPECT_EQ(o.GetElementText(0, "list", true), R"({"p":1})");
}

TEST(JsonObject, BracketPaths) {
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"([[1,2],{"a":"b"}])"));
  EXPECT_EQ(o.GetText("[1].a"), "b");
  EXPECT_EQ(o.GetText("[0]", true), "[1,2]");
  EXPECT_EQ(o.GetText("[0][1]"), "2");  // read as text: TypeOf never sees a number here
  EXPECT_EQ(o.GetMemberObject("[1]")->ToJsonText(), R"({"a":"b"})");
  EXPECT_EQ(o.Count("[0]"), 2);
  // Everywhere else the path gives an invalid text.
  EXPECT_EQ(o.GetNumber("[0][0]"), 0);
  EXPECT_EQ(o.GetMemberJson("[0]"), "");
  EXPECT_FALSE(o.HasMember("[0]"));
  EXPECT_EQ(o.TypeOf("[0]"), kJsonOther);
}

TEST(JsonObject, MemberObjectSharesNothing) {
  JsonObject o;
  ASSERT_TRUE(o.Parse(R"({"m":{"k":1}})"));
  auto m = o.GetMemberObject("m");
  m->SetMember("k", "2", true);
  EXPECT_EQ(m->ToJsonText(), R"({"k":2})");
  EXPECT_EQ(o.ToJsonText(), R"({"m":{"k":1}})");
}

TEST(JsonObject, CloneSharesTheEngine) {
  Recorder rec;
  auto o = std::make_unique<JsonObject>(rec.Factory());
  ASSERT_TRUE(o->Parse(R"({"a":1})"));
  std::unique_ptr<JsonObject> c = o->Clone();
  int made = rec.made;
  c->SetMember("a", "2", true);
  EXPECT_EQ(o->GetText("a"), "2");
  o->Destroy();
  EXPECT_FALSE(o->HasEngine());
  EXPECT_EQ(o->ToJsonText(), "");
  EXPECT_EQ(c->ToJsonText(), R"({"a":2})");  // the engine lives on in the clone
  EXPECT_EQ(rec.made, made);                 // cloning made no engine
}

TEST(JsonObject, WithoutAnEngine) {
  JsonObject o(NoEngine());
  EXPECT_FALSE(o.HasEngine());
  EXPECT_FALSE(o.Parse("{}"));
  EXPECT_EQ(o.ToJsonText(), "");
  EXPECT_EQ(o.GetText("a"), "");
  EXPECT_EQ(o.GetText("a", true), "");
  EXPECT_EQ(o.GetNumber("a"), 0);
  EXPECT_EQ(o.Count(), 0);
  EXPECT_FALSE(o.HasMember("a"));
  EXPECT_EQ(o.TypeOf("a"), kJsonOther);
  text::TextArray names{"stale"};
  EXPECT_EQ(o.MemberNames(names), 0);
  EXPECT_TRUE(names.empty());
  o.SetMember("a", "x");
  o.Push("x");
  o.Reset(5);
  auto m = o.GetMemberObject("a");
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(m->HasEngine());
  EXPECT_FALSE(o.GetElementObject(0)->HasEngine());
}

TEST(JsonObject, EngineLostOnParse) {
  // Creation works once, then fails: Parse has thrown the old engine away.
  int calls = 0;
  JsonObject o([&]() -> std::shared_ptr<ScriptEngine> {
    return ++calls == 1 ? platform::CreateScriptEngine() : nullptr;
  });
  EXPECT_TRUE(o.HasEngine());
  EXPECT_FALSE(o.Parse("{}"));
  EXPECT_FALSE(o.HasEngine());
  EXPECT_EQ(o.ToJsonText(), "");
}

// Answers from the network are run as programs. Each must end within the
// call budget, keep the heap under its cap, and leave the next read working.
TEST(JsonObject, HostileAnswers) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  struct Row {
    const char* name;
    std::string answer;
    Text want;
  };
  const Row rows[] = {
      {"endless loop", "(function(){for(;;){}})()", ""},
      {"endless loop that catches", "(function(){for(;;){try{for(;;){}}catch(e){}}})()", ""},
      {"stringify replaced by a loop",
       R"(JSON.stringify=function(){for(;;){}}, {"ticker":{"last":"1"}})", ""},
      {"loop inside a member", R"x({"ticker":{"last":"(function(){for(;;){}})()"}})x", "null"},
      {"memory bomb", "(function(){var s='x';for(;;)s+=s})()", ""},
      {"object bomb", "(function(){var a=[];for(;;)a.push({})})()", ""},
      {"global bomb", "(function(){bomb=[];for(;;)bomb.push([1,2,3])})()", ""},
      {"huge repeat", "'x'.repeat(1<<30)", ""},
      {"huge sparse join", "new Array(4e9).join('')", ""},
      {"deep nesting", deep, ""},
      {"deep nesting in a member", R"({"ticker":{"last":)" + deep + "}}", ""},
      {"deep recursion", "(function f(){return f()+1})()", ""},
      {"deep structure stringified",
       R"({"ticker":{"last":(function(){var a=[];for(var i=0;i<100000;i++)a=[a];return a})()}})",
       ""},
      {"big string", R"({"ticker":{"last":")" + std::string(1 << 20, '7') + "\"}}", "null"},
      {"huge string", R"({"ticker":{"last":")" + std::string(100 << 20, '7') + "\"}}", ""},
  };
  Recorder rec;
  rec.limits.budget = std::chrono::milliseconds(250) * kSlowdown;
  rec.keepEngines = true;
  JsonObject worker(rec.Factory());
  for (const Row& r : rows) {
    rec.longestCall = {};
    EXPECT_EQ(ReadLast(worker, r.answer), r.want) << r.name;
    // Generous against a loaded machine, but far below "never ends".
    EXPECT_LT(rec.longestCall, std::chrono::milliseconds(1500) * kSlowdown) << r.name;
    for (auto& e : rec.engines) EXPECT_LE(e->HeapUse().peak, e->HeapUse().cap) << r.name;
    rec.engines.clear();
    EXPECT_EQ(ReadLast(worker, R"({"ticker":{"last":"33.15"}})"), "33.15") << "after " << r.name;
  }
}

TEST(JsonObject, LargeAnswerWithinLimits) {
  // A big but legitimate answer goes through.
  std::string answer =
      R"({"pad":")" + std::string(4 << 20, 'p') + R"(","ticker":{"last":"33.15"}})";
  JsonObject worker;
  EXPECT_EQ(ReadLast(worker, answer), "33.15");
}
