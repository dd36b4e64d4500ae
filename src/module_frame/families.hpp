// The function tables of the family modules, each in its own add order.
// A family that is built defines its function here; the module's execution
// step adds the tables in the fixed family order (module.cpp).
#pragma once

#include "module_frame/frame.hpp"

namespace nuvra::family {

// Added directly by the execution step, in this order:
// entropy, fractal, statistics, correlation, distance, embedding.
FunctionTable statistics();
FunctionTable distance();

// Register steps, in this order: coupling, rt_geometry, dynamics, topology,
// information, network, spectral, matrix, physics.
FunctionTable rt_geometry();
FunctionTable physics();

}  // namespace nuvra::family
