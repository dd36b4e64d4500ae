// The entropy family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::entropy() { return {nullptr, 0}; }

}  // namespace nuvra
