// The fractal family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::fractal() { return {nullptr, 0}; }

}  // namespace nuvra
