// The network family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::network() { return {nullptr, 0}; }

}  // namespace nuvra
