#include "json_values.h"

#include <cmath>
#include <map>

namespace kvistur::host {

namespace {
ObjectResolver& resolver() {
  static ObjectResolver r;
  return r;
}
ObjectNamer& namer() {
  static ObjectNamer n;
  return n;
}
std::map<std::string, EvalFn>& evals() {
  static std::map<std::string, EvalFn> m;
  return m;
}
}  // namespace

void set_object_resolver(ObjectResolver r, ObjectNamer n) {
  resolver() = std::move(r);
  namer() = std::move(n);
}

Text text_from_json(const json& j) {
  if (!j.is_string()) throw HostError("expected a string, got " + j.dump());
  return from_utf8(j.get<std::string>());
}

json text_to_json(TextView t) { return to_utf8(t); }

int32_t long_from_json(const json& j) {
  if (!j.is_number_integer()) throw HostError("expected a 32-bit integer, got " + j.dump());
  long long v = j.get<long long>();
  if (j.is_number_unsigned() && j.get<unsigned long long>() > 2147483647ULL) throw HostError("integer out of 32-bit range: " + j.dump());
  if (v < INT32_MIN || v > INT32_MAX) throw HostError("integer out of 32-bit range: " + j.dump());
  return static_cast<int32_t>(v);
}

int16_t integer_from_json(const json& j) {
  int32_t v = long_from_json(j);
  if (v < INT16_MIN || v > INT16_MAX) throw HostError("integer out of 16-bit range: " + j.dump());
  return static_cast<int16_t>(v);
}

Variant variant_from_json(const json& j) {
  if (j.is_null()) return Variant::null();
  if (j.is_boolean()) return Variant(j.get<bool>());
  if (j.is_string()) return Variant(from_utf8(j.get<std::string>()));
  if (j.is_number_integer()) {
    if (j.is_number_unsigned() && j.get<unsigned long long>() > 2147483647ULL) return Variant(j.get<double>());
    long long v = j.get<long long>();
    if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
    return Variant(static_cast<double>(v));
  }
  if (j.is_number()) return Variant(j.get<double>());
  if (j.is_object()) {
    if (j.contains("object")) {
      if (!j["object"].is_string()) throw HostError("\"object\" must name a host object");
      std::string name = j["object"].get<std::string>();
      std::shared_ptr<Dispatch> o = resolver() ? resolver()(name) : nullptr;
      if (!o) throw HostError("unknown host object '" + name + "'");
      return Variant(o);
    }
    if (j.contains("variant")) {
      if (!j["variant"].is_string()) throw HostError("\"variant\" must be a type name");
      std::string t = j["variant"].get<std::string>();
      if (t == "Empty") return Variant();
      if (t == "Null") return Variant::null();
      if (!j.contains("value")) throw HostError("variant of type " + t + " needs a \"value\"");
      const json& v = j["value"];
      if (t == "Integer") return Variant(integer_from_json(v));
      if (t == "Long") return Variant(long_from_json(v));
      if (t == "Double") {
        if (!v.is_number()) throw HostError("Double needs a number");
        return Variant(v.get<double>());
      }
      if (t == "String") return Variant(text_from_json(v));
      if (t == "Boolean") {
        if (v.is_boolean()) return Variant(v.get<bool>());
        if (v.is_number_integer()) return Variant(v.get<long long>() != 0);
        throw HostError("Boolean needs true/false");
      }
      if (t == "Date") {
        auto d = parse_datetime(text_from_json(v));
        if (!d) throw HostError("Date needs \"YYYY-MM-DD HH:MM:SS\"");
        return Variant(*d);
      }
      throw HostError("unknown variant type '" + t + "'");
    }
  }
  throw HostError("not a variant value: " + j.dump());
}

json variant_to_json(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty: return json{{"variant", "Empty"}};
    case VarType::Null: return nullptr;
    case VarType::Integer: return json{{"variant", "Integer"}, {"value", v.as_integer()}};
    case VarType::Long: return v.as_long();
    case VarType::Double: {
      double d = v.as_double();
      if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15 && (d < INT32_MIN || d > INT32_MAX))
        return d;  // a whole double outside 32 bits reads back as a double
      if (std::isfinite(d) && d == std::floor(d)) return json{{"variant", "Double"}, {"value", d}};
      return std::isfinite(d) ? json(d) : json{{"variant", "Double"}, {"value", nullptr}};
    }
    case VarType::String: return to_utf8(v.as_string());
    case VarType::Boolean: return json{{"variant", "Boolean"}, {"value", v.as_bool()}};
    case VarType::Date: return json{{"variant", "Date"}, {"value", to_utf8(iso_text(v.as_date()))}};
    case VarType::Object: {
      std::string name = (v.as_object() && namer()) ? namer()(v.as_object()) : std::string();
      if (name.empty()) return json{{"object", nullptr}};
      return json{{"object", name}};
    }
  }
  return nullptr;
}

template <typename T>
SafeArray<T> array_from_json(const json& j, T (*item)(const json&)) {
  if (!j.is_object() || !j.contains("items")) throw HostError("expected an array {\"lbound\":L,\"items\":[...]}");
  const json& items = j["items"];
  if (items.is_null()) return SafeArray<T>();
  if (!items.is_array()) throw HostError("\"items\" must be a list or null");
  int32_t lb = 0;
  if (j.contains("lbound")) lb = long_from_json(j["lbound"]);
  std::vector<T> v;
  v.reserve(items.size());
  for (const auto& e : items) v.push_back(item(e));
  if (int64_t(lb) + int64_t(v.size()) - 1 > INT32_MAX) throw HostError("array bounds out of range");
  return SafeArray<T>(lb, std::move(v));
}

SafeArray<Text> text_array_from_json(const json& j) { return array_from_json<Text>(j, text_from_json); }
SafeArray<int32_t> long_array_from_json(const json& j) { return array_from_json<int32_t>(j, long_from_json); }
SafeArray<int16_t> integer_array_from_json(const json& j) { return array_from_json<int16_t>(j, integer_from_json); }
SafeArray<Variant> variant_array_from_json(const json& j) { return array_from_json<Variant>(j, variant_from_json); }

namespace {
template <typename T, typename F>
json to_json_array(const SafeArray<T>& a, F item) {
  if (!a.allocated()) return json{{"items", nullptr}};
  json items = json::array();
  for (const auto& e : a.items()) items.push_back(item(e));
  return json{{"lbound", a.lbound()}, {"items", items}};
}
}  // namespace

json array_to_json(const SafeArray<Text>& a) { return to_json_array(a, [](const Text& t) { return text_to_json(t); }); }
json array_to_json(const SafeArray<int32_t>& a) { return to_json_array(a, [](int32_t v) { return json(v); }); }
json array_to_json(const SafeArray<int16_t>& a) { return to_json_array(a, [](int16_t v) { return json(v); }); }
json array_to_json(const SafeArray<Variant>& a) { return to_json_array(a, variant_to_json); }

bool register_eval(const std::string& fn, EvalFn f) {
  evals()[fn] = std::move(f);
  return true;
}

const EvalFn* find_eval(const std::string& fn) {
  auto it = evals().find(fn);
  return it == evals().end() ? nullptr : &it->second;
}

const json& arg(const json& args, std::size_t n, const char* what) {
  if (!args.is_array() || n >= args.size()) throw HostError(std::string("missing argument ") + std::to_string(n + 1) + " (" + what + ")");
  return args[n];
}

}  // namespace kvistur::host
