#pragma once

#include "ref.h"

namespace vext_py {

// Creates the Repo type; returns a new reference, or nullptr with a Python
// error set.
PyObject* create_repo_type();

}  // namespace vext_py
