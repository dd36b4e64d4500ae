// The dynamics family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::dynamics() { return {nullptr, 0}; }

}  // namespace nuvra
