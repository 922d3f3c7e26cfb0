#include "json/JsonObject.h"

#include <initializer_list>
#include <limits>

namespace {

// Run in every engine before anything else. get__count counts every
// enumerable property of its argument, own and inherited, from -2: the two
// prelude methods below are inherited by every object and array and met by
// every for...in. The engine has JSON.stringify and JSON.parse built in;
// stringify writes own members only, so the two methods never show in a
// JSON text.
constexpr std::string_view kPrelude =
    "function get__count(c){var i=-2;for(v in c)i++;return i}\n"
    "(function(){'use strict';"
    "if(!Object.prototype.toJSONString){Object.prototype.toJSONString=function(filter){return "
    "JSON.stringify(this,filter)};Object.prototype.parseJSON=function(filter){return "
    "JSON.parse(this,filter)}}"
    "}());\n";

std::shared_ptr<platform::ScriptEngine> DefaultEngine() { return platform::CreateScriptEngine(); }

text::Text Join(std::initializer_list<std::string_view> pieces) {
  text::Text out;
  std::size_t n = 0;
  for (std::string_view p : pieces) n += p.size();
  out.reserve(n);
  for (std::string_view p : pieces) out += p;
  return out;
}

std::string_view Quote(bool raw) { return raw ? std::string_view() : std::string_view("'"); }

}  // namespace

JsonObject::JsonObject() : JsonObject(EngineFactory(DefaultEngine)) {}

JsonObject::JsonObject(EngineFactory factory) : name_("da"), factory_(std::move(factory)) {
  if (!factory_) factory_ = DefaultEngine;
  Initialize();
}

JsonObject::JsonObject(CloneTag, const JsonObject& from)
    : name_(from.name_), engine_(from.engine_), factory_(from.factory_) {}

JsonObject::~JsonObject() = default;

// --- Targets -----------------------------------------------------------------

text::Text JsonObject::Dotted(std::string_view path) const { return Join({name_, ".", path}); }

text::Text JsonObject::DottedBracket(std::string_view path) const {
  if (!path.empty() && path.front() == '[') return Join({name_, path});
  return Dotted(path);
}

text::Text JsonObject::Optional(std::string_view path) const {
  return path.empty() ? name_ : Dotted(path);
}

text::Text JsonObject::OptionalBracket(std::string_view path) const {
  return path.empty() ? name_ : DottedBracket(path);
}

// --- Engine calls ------------------------------------------------------------

void JsonObject::Send(std::string_view code) {
  if (engine_) engine_->Eval(code);
}
double JsonObject::SendNumber(std::string_view code) {
  return engine_ ? engine_->EvalNumber(code) : 0;
}
bool JsonObject::SendBool(std::string_view code) { return engine_ && engine_->EvalBool(code); }
text::Text JsonObject::SendText(std::string_view code) {
  return engine_ ? engine_->EvalText(code) : text::Text();
}

// --- The table ---------------------------------------------------------------

void JsonObject::Destroy() {
  engine_.reset();
  name_.clear();
}

std::unique_ptr<JsonObject> JsonObject::Clone() {
  return std::unique_ptr<JsonObject>(new JsonObject(CloneTag{}, *this));
}

void JsonObject::Initialize() {
  // The engine needs no per-thread set-up. A failed creation keeps the engine
  // held so far.
  if (auto fresh = factory_()) engine_ = std::move(fresh);
  if (!engine_) return;
  engine_->SetLanguage("JavaScript");
  engine_->AddCode(kPrelude);
  SendNumber(Join({"var ", name_, "={}"}));
}

bool JsonObject::Parse(std::string_view text) {
  if (engine_) {
    engine_.reset();
    Initialize();
  }
  if (!engine_) return false;
  SendNumber(Join({"var ", name_, "=null"}));
  engine_->AddCode(Join({"var ", name_, "=eval(", text, ")"}));
  return SendBool(Join({"null !=", name_}));
}

text::Text JsonObject::ToJsonText() { return SendText(Join({"JSON.stringify(", name_, ")"})); }

void JsonObject::SetMember(std::string_view path, std::string_view value, bool evaluate) {
  if (evaluate) {
    Send(Join({Dotted(path), "= eval(", value.empty() ? std::string_view("{}") : value, ")"}));
  } else {
    Send(Join({Dotted(path), "='", value, "'"}));
  }
}

void JsonObject::SetMemberEval(std::string_view path, std::string_view script) {
  Send(Join({Dotted(path), "= eval(", script, ")"}));
}

void JsonObject::SetMemberNumber(std::string_view path, double number) {
  Send(Join({Dotted(path), "=", text::NumberToText(number)}));
}

double JsonObject::GetNumber(std::string_view path) { return SendNumber(Dotted(path)); }

text::Text JsonObject::GetMemberJson(std::string_view path) {
  return SendText(Join({"JSON.stringify(", Dotted(path), ")"}));
}

text::Text JsonObject::GetText(std::string_view path, bool asJson) {
  text::Text target = DottedBracket(path);
  if (asJson) return SendText(Join({"JSON.stringify(", target, ")"}));
  if (!engine_) return {};
  if (TypeOf(path) == kJsonNumber) return text::NumberToText(GetNumber(path));
  return SendText(target);
}

std::unique_ptr<JsonObject> JsonObject::GetMemberObject(std::string_view path) {
  // The member travels as JSON text into a second object, which Parse gives
  // a fresh engine; the clone that comes back shares that engine only.
  auto member = std::make_unique<JsonObject>(factory_);
  text::Text json = SendText(Join({"JSON.stringify(", DottedBracket(path), ")"}));
  member->Parse(json);
  std::unique_ptr<JsonObject> result = member->Clone();
  member->Destroy();
  return result;
}

std::int32_t JsonObject::Count(std::string_view path) {
  double n = SendNumber(Join({"get__count(", OptionalBracket(path), ")"}));
  // get__count gives -2 for null, undefined and other values that have no
  // members; a count is never below 0.
  if (!(n > 0)) return 0;
  if (n >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(n);  // truncates toward zero
}

void JsonObject::Push(std::string_view value, std::string_view path, bool raw) {
  text::Text t = Optional(path);
  Send(Join({"if (Object.prototype.toString.call(", t, ") != '[object Array]') { ", t,
             "=new Array();} ", t, ".push(", Quote(raw), value, Quote(raw), ")"}));
}

std::unique_ptr<JsonObject> JsonObject::GetElementObject(std::int32_t index,
                                                         std::string_view path) {
  auto element = std::make_unique<JsonObject>(factory_);
  text::Text json =
      SendText(Join({"JSON.stringify(", Optional(path), "[", text::IntegerToText(index), "])"}));
  element->Parse(json);
  std::unique_ptr<JsonObject> result = element->Clone();
  element->Destroy();
  return result;
}

text::Text JsonObject::GetElementText(std::int32_t index, std::string_view path, bool asJson) {
  text::Text element = Join({Optional(path), "[", text::IntegerToText(index), "]"});
  return SendText(asJson ? Join({"JSON.stringify(", element, ")"}) : element);
}

void JsonObject::SetElement(std::int32_t index, std::string_view value, bool raw) {
  Send(Join({name_, "[", text::IntegerToText(index), "]=", Quote(raw), value, Quote(raw)}));
}

void JsonObject::RemoveElement(std::int32_t index) {
  Send(Join({name_, ".splice(", text::IntegerToText(index), ",1)"}));
}

void JsonObject::DeleteMember(std::string_view path) { SendText(Join({"delete ", Dotted(path)})); }

void JsonObject::Reset(int typeCode) {
  if (typeCode == kJsonNull || typeCode == kJsonObject) {
    SendNumber(Join({"var ", name_, "={}"}));
  } else if (typeCode == kJsonArray) {
    SendNumber(Join({"var ", name_, "=new Array()"}));
  }
}

void JsonObject::SetValue(std::string_view value, bool raw) {
  SendBool(Join({name_, "=", Quote(raw), value, Quote(raw)}));
}

bool JsonObject::HasMember(std::string_view path) {
  return SendBool(Join({Dotted(path), " !=null"}));
}

std::int32_t JsonObject::MemberNames(text::TextArray& names, std::string_view path) {
  text::Text list =
      SendText(Join({"var ary=''; for (var key in ", Optional(path), ") {ary=ary+ key+','; }"}));
  // The two prelude methods are met by every for...in.
  list = text::Replace(list, "toJSONString,");
  list = text::Replace(list, "parseJSON,");
  if (engine_) engine_->EvalValue("ary=null").Release();
  names = text::Split(list, ",");
  return static_cast<std::int32_t>(names.size());
}

int JsonObject::TypeOf(std::string_view path) {
  text::Text target = Optional(path);
  if (SendBool(Join({target, "==null"}))) return kJsonNull;
  text::Text type = SendText(Join({"typeof (", target, ")"}));
  if (type == "string") return kJsonString;
  if (type == "object") {
    text::Text json = GetText(path, true);
    return !json.empty() && json.front() == '[' ? kJsonArray : kJsonObject;
  }
  if (type == "number") return kJsonNumber;
  if (type == "boolean") return kJsonBoolean;
  return kJsonOther;
}

void JsonObject::Clear() { Send(Join({name_, "={}"})); }
