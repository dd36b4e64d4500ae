// The correlation family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::correlation() { return {nullptr, 0}; }

}  // namespace nuvra
