// The information family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::information() { return {nullptr, 0}; }

}  // namespace nuvra
