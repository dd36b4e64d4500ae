// The embedding family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::embedding() { return {nullptr, 0}; }

}  // namespace nuvra
