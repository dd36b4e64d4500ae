// The matrix family.
#include "module_frame/families.hpp"

namespace nuvra {

FunctionTable family::matrix() { return {nullptr, 0}; }

}  // namespace nuvra
