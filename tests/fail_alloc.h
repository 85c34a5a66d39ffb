#pragma once

// Replacements of the C++ allocation functions (fail_alloc.cpp), linked into
// the C++ tests and preloaded into Python test processes.
extern "C" {
// Arms the failure of the k-th allocation from now (k = 0: the next one),
// once; a negative k disarms.
void vext_fail_allocation(long k);
// Whether the armed failure has happened.
int vext_allocation_failed();
}
