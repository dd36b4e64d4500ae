// The coupling family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::coupling() { return {nullptr, 0}; }

}  // namespace nuvra
