// The spectral family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::spectral() { return {nullptr, 0}; }

}  // namespace nuvra
