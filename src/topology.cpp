// The topology family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::topology() { return {nullptr, 0}; }

}  // namespace nuvra
