// The function tables of the family modules, each in its own add order.
// Every family defines its table in src/<family>.cpp; the module's execution
// step adds the tables in the fixed family order (module.cpp).
#pragma once

#include "module_frame/frame.hpp"

namespace nuvra::family {

// Added directly by the execution step, in this order:
// entropy, fractal, statistics, correlation, distance, embedding.
FunctionTable entropy();
FunctionTable fractal();
FunctionTable statistics();
FunctionTable correlation();
FunctionTable distance();
FunctionTable embedding();

// Register steps, in this order: coupling, rt_geometry, dynamics, topology,
// information, network, spectral, matrix, physics.
FunctionTable coupling();
FunctionTable rt_geometry();
FunctionTable dynamics();
FunctionTable topology();
FunctionTable information();
FunctionTable network();
FunctionTable spectral();
FunctionTable matrix();
FunctionTable physics();

}  // namespace nuvra::family
