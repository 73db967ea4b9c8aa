#include "kvistur/dispatch.h"

namespace kvistur {

Error no_such_member(TextView member) {
  return Error(err::kNoSuchMember, kProjectName, standard_description(err::kNoSuchMember));
}

namespace {
Dispatch& object_of(const Variant& obj) {
  if (!obj.is_object() || !obj.as_object()) throw Error(err::kObjectNotSet);
  return *obj.as_object();
}
}  // namespace

Variant invoke(const Variant& obj, TextView member, std::vector<Variant> args) {
  return object_of(obj).invoke(member, args);
}

Variant get_member(const Variant& obj, TextView member) { return object_of(obj).get(member); }

void put_member(const Variant& obj, TextView member, const Variant& value) { object_of(obj).put(member, value); }

}  // namespace kvistur
