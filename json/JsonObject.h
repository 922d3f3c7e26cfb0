#pragma once
// A JSON value held as the script variable "da" inside a JavaScript engine
// that the object owns. The object has no JSON reader or writer of its own:
// every operation sends the engine a small script text built from the
// variable name, a path and a value, and reads the answer back.
//
// Paths and values go into the script texts unchanged: a path is any member
// expression (a.b, a[2].c), a value between quotes is not escaped, and a raw
// value is script. Loading evaluates the text as a script expression, so an
// answer from the network is run as a program: the engine is a sandbox
// (platform/script/ScriptEngine.h) with a time budget per call and a heap
// cap, and has no access to anything outside it.
//
// Nothing here reports a failure by throwing: a failed step yields 0, false
// or the empty text, and a write changes nothing. The one exception is the
// platform's ThreadEnded, which passes through once the calling worker's end
// was requested. An object, its clones and its engine belong to one thread.
//
// Ownership: objects returned by Clone, GetMemberObject and GetElementObject
// belong to the caller. Destroy releases the engine reference (an engine
// lives while any object refers to it); freeing the object afterwards is the
// owner's, and the destructor releases whatever Destroy did not.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/script/ScriptEngine.h"
#include "platform/text/Text.h"

// Type codes of TypeOf and Reset.
inline constexpr int kJsonNull = 0;  // null, or nothing there
inline constexpr int kJsonBoolean = 1;
inline constexpr int kJsonNumber = 2;
inline constexpr int kJsonObject = 4;
inline constexpr int kJsonArray = 5;
inline constexpr int kJsonString = 6;
inline constexpr int kJsonOther = -1;  // anything else, or a target that fails

class JsonObject {
 public:
  // Makes the engines of an object (its own, and those of the objects it
  // reads members into). Returns nullptr when no engine can be had.
  using EngineFactory = std::function<std::shared_ptr<platform::ScriptEngine>()>;

  // Runs Initialize: an engine with the prelude, holding an empty object.
  // (From a constructor that is always this class's own Initialize.) The
  // default engines are the platform's, with its default limits.
  JsonObject();
  explicit JsonObject(EngineFactory factory);
  virtual ~JsonObject();
  JsonObject(const JsonObject&) = delete;
  JsonObject& operator=(const JsonObject&) = delete;

  // The operations, in the order of their table.
  virtual void Destroy();
  virtual std::unique_ptr<JsonObject> Clone();
  virtual void Initialize();
  // Throws the engine away and evaluates `text` in a fresh one. True when the
  // value is afterwards neither null nor undefined.
  virtual bool Parse(std::string_view text);
  virtual text::Text ToJsonText();
  virtual void SetMember(std::string_view path, std::string_view value, bool evaluate = false);
  virtual void SetMemberEval(std::string_view path, std::string_view script);
  virtual void SetMemberNumber(std::string_view path, double number);
  virtual double GetNumber(std::string_view path);
  virtual text::Text GetMemberJson(std::string_view path);
  virtual text::Text GetText(std::string_view path, bool asJson = false);
  virtual std::unique_ptr<JsonObject> GetMemberObject(std::string_view path);
  virtual std::int32_t Count(std::string_view path = {});
  virtual void Push(std::string_view value, std::string_view path = {}, bool raw = false);
  virtual std::unique_ptr<JsonObject> GetElementObject(std::int32_t index,
                                                       std::string_view path = {});
  virtual text::Text GetElementText(std::int32_t index, std::string_view path = {},
                                    bool asJson = false);
  virtual void SetElement(std::int32_t index, std::string_view value, bool raw = false);
  virtual void RemoveElement(std::int32_t index);
  virtual void DeleteMember(std::string_view path);
  virtual void Reset(int typeCode);
  virtual void SetValue(std::string_view value, bool raw = false);
  virtual bool HasMember(std::string_view path);
  // Replaces `names` with the enumerable member names at the path; returns
  // their number.
  virtual std::int32_t MemberNames(text::TextArray& names, std::string_view path = {});
  virtual int TypeOf(std::string_view path = {});
  virtual void Clear();

  bool HasEngine() const { return engine_ != nullptr; }

 protected:
  struct CloneTag {};
  JsonObject(CloneTag, const JsonObject& from);

 private:
  // Target rules: how a path becomes the expression worked on.
  text::Text Dotted(std::string_view path) const;
  text::Text DottedBracket(std::string_view path) const;
  text::Text Optional(std::string_view path) const;
  text::Text OptionalBracket(std::string_view path) const;

  // Engine calls; without an engine each yields its failure value.
  void Send(std::string_view code);
  double SendNumber(std::string_view code);
  bool SendBool(std::string_view code);
  text::Text SendText(std::string_view code);

  text::Text name_;
  std::shared_ptr<platform::ScriptEngine> engine_;
  EngineFactory factory_;
};
