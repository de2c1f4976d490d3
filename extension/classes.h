// The classes of the module, in the order in which it registers them.
#pragma once

#include "binding/type.h"

namespace morvex::ext {

ClassDecl& monotonic_counter_class();
ClassDecl& governor_class();

}  // namespace morvex::ext
