#pragma once

#include "ref.h"

namespace vext_py {

// Method definitions of the module-level functions, added by module init.
extern PyMethodDef diff_trees_def;
extern PyMethodDef merge_trees_def;

}  // namespace vext_py
