// The value forms of the JSON-lines host: how texts, integers, variants and
// arrays travel as JSON (see docs/host-protocol.md).
#pragma once

#include <nlohmann/json.hpp>
#include <functional>
#include <stdexcept>
#include <string>

#include "kvistur/automation.h"

namespace kvistur::host {

using json = nlohmann::json;

// A request the host cannot carry out (a value of the wrong form, ...):
// answered {"ok":false,"host_error":what}.
struct HostError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Finds host objects for {"object":"NAME"}; set by the host.
using ObjectResolver = std::function<std::shared_ptr<Dispatch>(const std::string& name)>;
using ObjectNamer = std::function<std::string(const std::shared_ptr<Dispatch>&)>;
void set_object_resolver(ObjectResolver r, ObjectNamer n);

Text text_from_json(const json& j);
json text_to_json(TextView t);
int32_t long_from_json(const json& j);
int16_t integer_from_json(const json& j);
Variant variant_from_json(const json& j);
json variant_to_json(const Variant& v);

template <typename T>
SafeArray<T> array_from_json(const json& j, T (*item)(const json&));
SafeArray<Text> text_array_from_json(const json& j);
SafeArray<int32_t> long_array_from_json(const json& j);
SafeArray<int16_t> integer_array_from_json(const json& j);
SafeArray<Variant> variant_array_from_json(const json& j);
json array_to_json(const SafeArray<Text>& a);
json array_to_json(const SafeArray<int32_t>& a);
json array_to_json(const SafeArray<int16_t>& a);
json array_to_json(const SafeArray<Variant>& a);

// eval operations: each takes the request's "args" (a JSON array) and gives
// the "result".  An Error thrown inside is answered with "ok":false and
// "error"; a HostError with "host_error".
using EvalFn = std::function<json(const json& args)>;
bool register_eval(const std::string& fn, EvalFn f);
const EvalFn* find_eval(const std::string& fn);

// The n-th argument, or a HostError naming it when it is missing.
const json& arg(const json& args, std::size_t n, const char* what);

}  // namespace kvistur::host
