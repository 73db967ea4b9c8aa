// Dispatch: objects called by member name at run time.
//
// The host's progress window and rich-text control reach the component as
// objects of this interface; the component knows only member names.  A
// member the object does not have raises error 438.  A child object (the
// list box of a window) is read with `get` and comes back as a Variant
// holding an object.
#pragma once

#include <vector>

#include "kvistur/variant.h"

namespace kvistur {

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // Calls a method with its arguments (by reference: the callee may change them).
  virtual Variant invoke(TextView member, std::vector<Variant>& args) = 0;
  // Reads a property or a child object.
  virtual Variant get(TextView member) = 0;
  // Writes a property.
  virtual void put(TextView member, const Variant& value) = 0;
};

// The error an object raises for a member it lacks (or refuses).
Error no_such_member(TextView member);

// Calls that accept a Variant: error 91 when it holds no object, 438 from the
// object itself when the member is missing.
Variant invoke(const Variant& obj, TextView member, std::vector<Variant> args = {});
Variant get_member(const Variant& obj, TextView member);
void put_member(const Variant& obj, TextView member, const Variant& value);

}  // namespace kvistur
